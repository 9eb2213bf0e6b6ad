// The vekos kernel's trap numbers, as the wrappers use them.
#pragma once

namespace vekos::trap_number {

constexpr unsigned write = 1;
constexpr unsigned exit = 2;
constexpr unsigned read = 3;
constexpr unsigned open = 4;
constexpr unsigned close = 5;
constexpr unsigned getkey = 6;
constexpr unsigned writefile = 21;
constexpr unsigned usleep = 22;
constexpr unsigned mkdir = 49;
constexpr unsigned unlink = 50;
constexpr unsigned rmdir = 51;
constexpr unsigned getcwd = 52;
constexpr unsigned vekfs_stream_begin = 53;
constexpr unsigned vekfs_stream_write = 54;
constexpr unsigned vekfs_stream_end = 55;
constexpr unsigned chdir = 95;
constexpr unsigned run = 96;
constexpr unsigned mmap = 98;
constexpr unsigned munmap = 99;
constexpr unsigned lseek = 110;
constexpr unsigned pipe = 124;
constexpr unsigned mkfifo = 125;
constexpr unsigned dup = 126;
constexpr unsigned dup2 = 127;
constexpr unsigned fd_set_inherit = 128;
constexpr unsigned fd_set_stdio = 129;
constexpr unsigned fd_set_nonblock = 130;
constexpr unsigned spawn = 131;
constexpr unsigned waitpid = 132;
constexpr unsigned spawn_ex = 150;

} // namespace vekos::trap_number
