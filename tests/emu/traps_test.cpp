// Traps through the kernel's real table, called from the probe program: hostile pointers,
// descriptors, files, folders and the console.
#include "guest.h"
#include "subprocess.h"

#include "abi/open_flags.h"
#include "abi/trap_numbers.h"
#include "kernel/trap_table.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using vekos::harness::Guest;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uint32_t O_WRONLY = VEKOS_O_WRONLY, O_RDWR = VEKOS_O_RDWR, O_CREAT = VEKOS_O_CREAT,
                   O_TRUNC = VEKOS_O_TRUNC;

class Traps : public ::testing::Test {
  protected:
    int32_t trap(uint32_t number, std::vector<uint32_t> args = {}) {
        args.resize(6, 0);
        args.insert(args.begin(), number);
        return int32_t(g.call("raw_trap", args));
    }
    uint32_t str(std::string_view s) { return g.put_string(s); }

    Guest &g = Guest::fresh(PROBE_IMAGE);
};

// Every pointer argument of every trap, from the table's argument kinds: each bad address
// fails the trap with EFAULT and harms nothing.
TEST_F(Traps, HostilePointersFailTheTrapAndHarmNothing) {
    TempRoot root;
    g.set_root(root.path());
    root.write_file("keep", "old");
    g.set_input("input");
    const uint32_t good = str("data"), path = str("/keep"), code = g.symbol("main");
    const uint32_t words = g.alloc(64); // room for what a Pointer argument names
    // A path with no NUL within the 4096-byte cap.
    const uint32_t endless = g.alloc(5000, 'a');
    const std::vector<uint8_t> code_before = g.read_bytes(code, 16);
    const uint32_t bad_pointers[] = {0, 0x10, 0xfff, 0xBF000000, 0xFFFFFFF0, 0xFFFFFFFF};
    // Sound arguments, so that only the pointer under test can make the trap fail: descriptor
    // 1 (the console reads and writes), 4-byte lengths.
    auto sound_argument = [&](const vekos::TrapArg &arg) -> uint32_t {
        switch (arg.kind) {
        case vekos::ArgKind::Path:
            return path;
        case vekos::ArgKind::BufferIn:
        case vekos::ArgKind::BufferOut:
            return good;
        case vekos::ArgKind::Pointer:
            return words;
        case vekos::ArgKind::Int:
            return 1;
        default:
            return 4;
        }
    };
    int pointer_arguments = 0;
    for (const vekos::TrapRow &row : vekos::trap_rows()) {
        for (int i = 0; i < row.arity; i++) {
            const vekos::TrapArg &arg = row.args[i];
            if (!arg.is_pointer()) continue;
            pointer_arguments++;
            std::vector<uint32_t> pointers(std::begin(bad_pointers), std::end(bad_pointers));
            if (arg.kind == vekos::ArgKind::BufferOut) pointers.push_back(code); // not writable
            if (arg.kind == vekos::ArgKind::Path) pointers.push_back(endless);
            for (uint32_t bad : pointers) {
                if (row.number == VEKOS_TRAP_WAITPID && bad == 0) continue; // no status wanted
                std::vector<uint32_t> args;
                for (int j = 0; j < row.arity; j++)
                    args.push_back(j == i ? bad : sound_argument(row.args[j]));
                g.clear_traps();
                EXPECT_EQ(trap(row.number, args), -1)
                    << row.name << " with argument " << i << " at 0x" << std::hex << bad;
                ASSERT_EQ(g.traps().size(), 1u);
                int error = g.traps()[0].error;
                EXPECT_EQ(error, EFAULT)
                    << row.name << " with argument " << i << " at 0x" << std::hex << bad;
            }
        }
    }
    EXPECT_GE(pointer_arguments, 10) << "the table's argument kinds name the pointers";
    // Lengths that run past the mapped memory.
    EXPECT_EQ(trap(VEKOS_TRAP_WRITE, {1, good, 0x7fffffff}), -1);
    EXPECT_EQ(trap(VEKOS_TRAP_READ, {0, good, 0x7fffffff}), -1);
    EXPECT_EQ(trap(VEKOS_TRAP_WRITEFILE, {path, good, 0x7fffffff}), -1);
    EXPECT_EQ(trap(VEKOS_TRAP_WRITE, {1, 0xFFFFFFFC, 8}), -1) << "a range wrapping past 4 GiB";

    EXPECT_EQ(g.console(), "") << "no failed write may reach the console";
    EXPECT_EQ(root.read_file("keep"), "old") << "no failed writefile may touch the file";
    EXPECT_EQ(g.read_bytes(code, 16), code_before) << "read must not write into code";
    EXPECT_EQ(trap(VEKOS_TRAP_WRITE, {1, good, 4}), 4) << "the process still works";
    EXPECT_EQ(g.console(), "data");
    EXPECT_TRUE(g.canaries_intact());
}

// Every number without a row up to past the last one, and the far ends: -1, and no harm.
TEST_F(Traps, UnknownTrapNumbersReturnMinusOne) {
    std::vector<uint32_t> unknown = {0x80000000u, 0xFFFFFFFFu};
    for (uint32_t number = 0; number < 256; number++)
        if (vekos::find_trap(number) == nullptr) unknown.push_back(number);
    ASSERT_GT(unknown.size(), 200u);
    for (uint32_t number : unknown)
        EXPECT_EQ(trap(number, {1, 2, 3, 4, 5, 6}), -1) << "trap " << number;
    EXPECT_EQ(g.console(), "");
    EXPECT_TRUE(g.canaries_intact());
}

TEST_F(Traps, DescriptorsAreLowestFreeFromThreeAndShareOffsetsWhenDuplicated) {
    TempRoot root;
    g.set_root(root.path());
    uint32_t name = str("/f");
    EXPECT_EQ(trap(VEKOS_TRAP_OPEN, {name, O_RDWR | O_CREAT, O_RDWR | O_CREAT}), 3);
    EXPECT_EQ(trap(VEKOS_TRAP_OPEN, {name, 0, 0}), 4);
    EXPECT_EQ(trap(VEKOS_TRAP_CLOSE, {3}), 0);
    EXPECT_EQ(trap(VEKOS_TRAP_CLOSE, {3}), -1) << "closing twice";
    EXPECT_EQ(trap(VEKOS_TRAP_OPEN, {name, O_RDWR, 0}), 3) << "the lowest free number comes back";
    EXPECT_EQ(trap(VEKOS_TRAP_WRITE, {3, str("hello"), 5}), 5);
    EXPECT_EQ(trap(VEKOS_TRAP_DUP, {3}), 5);
    EXPECT_EQ(trap(VEKOS_TRAP_LSEEK, {5, 1, 0}), 1) << "lseek through the duplicate";
    uint32_t buffer = g.alloc(8);
    EXPECT_EQ(trap(VEKOS_TRAP_READ, {3, buffer, 8}), 4) << "the original shares the offset";
    EXPECT_EQ(g.read_string(buffer), "ello");
    EXPECT_EQ(trap(VEKOS_TRAP_LSEEK, {3, uint32_t(-2), 2}), 3) << "from the end";
    EXPECT_EQ(trap(VEKOS_TRAP_LSEEK, {3, 0, 1}), 3) << "from the current offset";
    EXPECT_EQ(trap(VEKOS_TRAP_LSEEK, {3, 0, 3}), -1) << "unknown whence";
    EXPECT_EQ(trap(VEKOS_TRAP_LSEEK, {3, uint32_t(-10), 0}), -1) << "before the start";
    EXPECT_EQ(trap(VEKOS_TRAP_LSEEK, {1, 0, 0}), -1) << "the console can't seek";
    EXPECT_EQ(trap(VEKOS_TRAP_WRITE, {4, str("x"), 1}), -1) << "opened read-only";
    EXPECT_EQ(trap(VEKOS_TRAP_DUP2, {4, 10}), 10);
    EXPECT_EQ(trap(VEKOS_TRAP_READ, {10, buffer, 8}), 5);
    EXPECT_EQ(trap(VEKOS_TRAP_DUP2, {4, 64}), -1) << "beyond the table";
    EXPECT_EQ(trap(VEKOS_TRAP_DUP2, {40, 12}), -1) << "from a free descriptor";
    EXPECT_EQ(trap(VEKOS_TRAP_CLOSE, {uint32_t(-1)}), -1);
    EXPECT_EQ(trap(VEKOS_TRAP_OPEN, {name, 3, 0}), -1) << "access mode 3";
    EXPECT_EQ(trap(VEKOS_TRAP_OPEN, {str("/missing"), 0, 0}), -1);
    ASSERT_EQ(mkfifo(root.host("fifo").c_str(), 0600), 0);
    EXPECT_EQ(trap(VEKOS_TRAP_OPEN, {str("/fifo"), 2, 0}), -1) << "a FIFO's two ends at once";

    int opened = 0;
    while (trap(VEKOS_TRAP_OPEN, {name, 0, 0}) >= 0) opened++;
    EXPECT_EQ(opened, 64 - 7) << "the table holds 64 descriptors; 7 were in use";
}

// Byte reads are served from a chunk read ahead; the guest must not be able to tell.
TEST_F(Traps, ByteReadsSeeOffsetsAndWritesAsUnbufferedReadsWould) {
    TempRoot root;
    root.write_file("f", "abcdefghij");
    g.set_root(root.path());
    uint32_t name = str("/f"), byte = g.alloc(1), buffer = g.alloc(16);
    auto next = [&](int fd) {
        return trap(VEKOS_TRAP_READ, {uint32_t(fd), byte, 1}) == 1 ? char(g.read_bytes(byte, 1)[0])
                                                                   : '?';
    };
    ASSERT_EQ(trap(VEKOS_TRAP_OPEN, {name, O_RDWR, 0}), 3);
    ASSERT_EQ(trap(VEKOS_TRAP_OPEN, {name, O_RDWR, 0}), 4); // its own offset
    EXPECT_EQ(next(3), 'a');
    EXPECT_EQ(next(3), 'b');
    EXPECT_EQ(trap(VEKOS_TRAP_LSEEK, {3, 0, 1}), 2) << "where am I, after two bytes";
    EXPECT_EQ(trap(VEKOS_TRAP_WRITE, {3, str("C"), 1}), 1) << "lands at offset 2";
    EXPECT_EQ(next(3), 'd');
    EXPECT_EQ(trap(VEKOS_TRAP_DUP, {3}), 5);
    EXPECT_EQ(next(5), 'e') << "a duplicate shares the offset";
    EXPECT_EQ(trap(VEKOS_TRAP_LSEEK, {4, 5, 0}), 5);
    EXPECT_EQ(trap(VEKOS_TRAP_WRITE, {4, str("F"), 1}), 1) << "another descriptor writes ahead";
    EXPECT_EQ(next(3), 'F') << "and the reader sees it";
    EXPECT_EQ(trap(VEKOS_TRAP_LSEEK, {3, uint32_t(-6), 1}), 0) << "relative to the guest's offset";
    EXPECT_EQ(trap(VEKOS_TRAP_READ, {3, buffer, 16}), 10);
    EXPECT_EQ(g.read_string(buffer), "abCdeFghij");
    EXPECT_EQ(trap(VEKOS_TRAP_LSEEK, {4, 3, 0}), 3);
    EXPECT_EQ(next(4), 'd');
    ASSERT_EQ(trap(VEKOS_TRAP_OPEN, {name, O_WRONLY | O_TRUNC, 0}), 6);
    EXPECT_EQ(next(4), '?') << "the file was emptied under the open descriptor";
}

TEST_F(Traps, OpenCreatesAndTruncatesAsLinuxFlagsSay) {
    TempRoot root;
    g.set_root(root.path());
    root.write_file("t", "long old content");
    EXPECT_EQ(trap(VEKOS_TRAP_OPEN, {str("/new"), O_WRONLY, 0}), -1) << "no O_CREAT";
    int fd = trap(VEKOS_TRAP_OPEN, {str("/new"), O_WRONLY | O_CREAT, O_WRONLY | O_CREAT});
    EXPECT_EQ(trap(VEKOS_TRAP_WRITE, {uint32_t(fd), str("abc"), 3}), 3);
    EXPECT_EQ(trap(VEKOS_TRAP_READ, {uint32_t(fd), g.alloc(4), 3}), -1) << "opened write-only";
    trap(VEKOS_TRAP_CLOSE, {uint32_t(fd)});
    EXPECT_EQ(root.read_file("new"), "abc");
    fd = trap(VEKOS_TRAP_OPEN, {str("t"), O_WRONLY | O_TRUNC, 0});
    EXPECT_EQ(trap(VEKOS_TRAP_WRITE, {uint32_t(fd), str("new"), 3}), 3);
    trap(VEKOS_TRAP_CLOSE, {uint32_t(fd)});
    EXPECT_EQ(root.read_file("t"), "new");
}

TEST_F(Traps, ARefusedLseekLeavesTheOffsetWhereItWas) {
    TempRoot root;
    g.set_root(root.path());
    root.write_file("f", "0123456789");
    uint32_t fd = uint32_t(trap(VEKOS_TRAP_OPEN, {str("f"), 0, 0}));
    ASSERT_EQ(trap(VEKOS_TRAP_LSEEK, {fd, 4, 0}), 4);
    struct Case {
        uint32_t offset, whence;
    } refused[] = {{0x7fffffff, 1}, {0x7ffffff8, 2}, {uint32_t(-5), 1}, {uint32_t(-11), 2}};
    for (const Case &c : refused) {
        EXPECT_EQ(trap(VEKOS_TRAP_LSEEK, {fd, c.offset, c.whence}), -1)
            << "lseek(" << int32_t(c.offset) << ", " << c.whence << ")";
        EXPECT_EQ(trap(VEKOS_TRAP_LSEEK, {fd, 0, 1}), 4)
            << "the refused lseek(" << int32_t(c.offset) << ", " << c.whence
            << ") moved the offset";
    }
    uint32_t buffer = g.alloc(4);
    EXPECT_EQ(trap(VEKOS_TRAP_READ, {fd, buffer, 1}), 1);
    EXPECT_EQ(g.read_string(buffer), "4") << "reads go on from where the offset was";
}

TEST_F(Traps, ATrailingSlashNamesOnlyAFolder) {
    TempRoot root;
    g.set_root(root.path());
    root.write_file("file.txt", "x");
    fs::create_directory(root.host("dir"));
    struct Case {
        vekos_trap_number number;
        const char *path;
        uint32_t flags;
        bool succeeds;
    } cases[] = {
        {VEKOS_TRAP_OPEN, "file.txt/", 0, false},
        {VEKOS_TRAP_OPEN, "file.txt/.", 0, false},
        {VEKOS_TRAP_OPEN, "new/", O_WRONLY | O_CREAT, false},
        {VEKOS_TRAP_OPEN, "dir/", 0, true},
        {VEKOS_TRAP_WRITEFILE, "file.txt/", 0, false},
        {VEKOS_TRAP_WRITEFILE, "new/", 0, false},
        {VEKOS_TRAP_UNLINK, "file.txt/", 0, false},
        {VEKOS_TRAP_CHDIR, "file.txt/", 0, false},
        {VEKOS_TRAP_MKDIR, "newdir/", 0, true},
        {VEKOS_TRAP_RMDIR, "newdir/", 0, true},
        {VEKOS_TRAP_CHDIR, "dir/", 0, true},
    };
    uint32_t data = str("data");
    for (const Case &c : cases) {
        uint32_t second = c.number == VEKOS_TRAP_WRITEFILE ? data : c.flags;
        int32_t result =
            trap(c.number, {str(c.path), second, c.number == VEKOS_TRAP_WRITEFILE ? 4 : c.flags});
        EXPECT_EQ(result >= 0, c.succeeds)
            << "trap " << c.number << " on \"" << c.path << "\" gave " << result;
    }
    EXPECT_EQ(root.read_file("file.txt"), "x");
    EXPECT_FALSE(fs::exists(root.host("new"))) << "nothing may be created for \"new/\"";
}

// A writer killed in the middle of a writefile leaves the old content and no partial file.
TEST_F(Traps, AWritefileKilledMidWriteLeavesNoPartialFile) {
    if (!std::ifstream("/proc/self/syscall")) GTEST_SKIP() << "the host has no /proc/PID/syscall";
    TempRoot root;
    g.set_root(root.path());
    root.write_file("f", "old");
    const std::string data(900 << 10, 'n');
    uint32_t path = str("f"), bytes = g.put_bytes(data.data(), data.size());
    for (int round = 0; round < 3; round++) {
        Child writer([&] {
            alarm(10); // never outlives the test
            for (;;) {
                g.call_outcome("raw_trap",
                               {VEKOS_TRAP_WRITEFILE, path, bytes, uint32_t(data.size()), 0, 0, 0});
                g.clear_traps();
            }
            return 0;
        });
        // Killed while writing or syncing, mostly: the kill may also land a moment later.
        bool caught = writer.wait_in_system_call({SYS_write, SYS_fsync}, 5s);
        writer.signal(SIGKILL);
        writer.wait(5s);
        ASSERT_TRUE(caught) << "the writer was never seen writing";
        // Nothing partial is ever left. Only a kill between naming the finished file and
        // renaming it over `f` (two system calls apart) leaves it, whole, under its own name.
        for (const auto &entry : fs::directory_iterator(root.path())) {
            std::string name = entry.path().filename().string();
            if (name == "f") continue;
            EXPECT_EQ(name.rfind(".vekos-writefile-", 0), 0u) << "round " << round << ": " << name;
            EXPECT_EQ(root.read_file(name).value_or("").size(), data.size())
                << "round " << round << ": " << name << " is partial";
            fs::remove(entry.path());
        }
        std::string content = root.read_file("f").value_or("(missing)");
        EXPECT_TRUE(content == "old" || content == data)
            << "expected the old or the whole new content, got " << content.size() << " bytes";
    }
}

TEST_F(Traps, WritefileReplacesTheWholeFileOrLeavesItAlone) {
    for (const vekos::RootFsOptions &options :
         {vekos::RootFsOptions{}, vekos::RootFsOptions{.unnamed_temp_files = false}}) {
        SCOPED_TRACE(options.unnamed_temp_files ? "unnamed temporary file"
                                                : "named temporary file");
        TempRoot root;
        g.set_root(root.path(), options);
        root.write_file("f", "the old content");
        uint32_t path = str("f");
        EXPECT_EQ(trap(VEKOS_TRAP_WRITEFILE, {path, str("new"), 3}), 3);
        EXPECT_EQ(root.read_file("f"), "new");
        EXPECT_EQ(trap(VEKOS_TRAP_WRITEFILE, {path, str(""), 0}), 0);
        EXPECT_EQ(root.read_file("f"), "") << "zero bytes make an empty file";
        EXPECT_EQ(trap(VEKOS_TRAP_WRITEFILE, {path, str("kept"), 4}), 4);
        uint32_t short_buffer = g.alloc(4, 'x');
        EXPECT_EQ(trap(VEKOS_TRAP_WRITEFILE, {path, short_buffer + 0x300000, 4}), -1);
        EXPECT_EQ(trap(VEKOS_TRAP_WRITEFILE, {path, short_buffer, 0x100000}), -1)
            << "runs past scratch memory";
        EXPECT_EQ(root.read_file("f"), "kept") << "a failing writefile must keep the old content";
        fs::create_directory(root.host("folder"));
        EXPECT_EQ(trap(VEKOS_TRAP_WRITEFILE, {str("folder"), short_buffer, 4}), -1);
        EXPECT_EQ(trap(VEKOS_TRAP_WRITEFILE, {str("/no/such/dir/f"), short_buffer, 4}), -1);
        int entries = 0;
        for (const auto &entry : fs::directory_iterator(root.path()))
            entries += !entry.path().empty();
        EXPECT_EQ(entries, 2) << "no temporary file may be left behind";
    }
}

TEST_F(Traps, FoldersAndTheCurrentFolder) {
    TempRoot root;
    g.set_root(root.path());
    uint32_t buffer = g.alloc(64);
    EXPECT_EQ(trap(VEKOS_TRAP_GETCWD, {buffer, 64}), 1);
    EXPECT_EQ(g.read_string(buffer), "/");
    EXPECT_EQ(trap(VEKOS_TRAP_MKDIR, {str("a")}), 0);
    EXPECT_EQ(trap(VEKOS_TRAP_MKDIR, {str("a")}), -1) << "already there";
    EXPECT_EQ(trap(VEKOS_TRAP_CHDIR, {str("a")}), 0);
    EXPECT_EQ(trap(VEKOS_TRAP_MKDIR, {str("b")}), 0) << "relative to the new folder";
    EXPECT_TRUE(fs::is_directory(root.host("a/b")));
    EXPECT_EQ(trap(VEKOS_TRAP_CHDIR, {str("b/../../../..")}), 0);
    EXPECT_EQ(trap(VEKOS_TRAP_GETCWD, {buffer, 64}), 1) << "\"..\" stops at the root";
    EXPECT_EQ(trap(VEKOS_TRAP_CHDIR, {str("/a/b")}), 0);
    EXPECT_EQ(trap(VEKOS_TRAP_GETCWD, {buffer, 5}), 4) << "exactly enough room for the NUL";
    EXPECT_EQ(g.read_string(buffer), "/a/b");
    EXPECT_EQ(trap(VEKOS_TRAP_GETCWD, {buffer, 4}), -1) << "no room for the NUL";
    EXPECT_EQ(trap(VEKOS_TRAP_CHDIR, {str("/missing")}), -1);
    root.write_file("a/file", "x");
    EXPECT_EQ(trap(VEKOS_TRAP_CHDIR, {str("/a/file")}), -1) << "not a folder";
    EXPECT_EQ(trap(VEKOS_TRAP_RMDIR, {str("/a")}), -1) << "not empty";
    EXPECT_EQ(trap(VEKOS_TRAP_UNLINK, {str("/a/file")}), 0);
    EXPECT_EQ(trap(VEKOS_TRAP_UNLINK, {str("/a/file")}), -1);
    EXPECT_EQ(trap(VEKOS_TRAP_RMDIR, {str("/a/b")}), 0);
    EXPECT_EQ(trap(VEKOS_TRAP_RMDIR, {str("/a")}), 0);
    EXPECT_FALSE(fs::exists(root.host("a")));
}

TEST_F(Traps, TheConsoleIsDescriptorsZeroToTwo) {
    g.set_input("ab");
    EXPECT_EQ(trap(VEKOS_TRAP_WRITE, {1, str("out "), 4}), 4);
    EXPECT_EQ(trap(VEKOS_TRAP_WRITE, {2, str("err"), 3}), 3);
    EXPECT_EQ(g.console(), "out err") << "descriptors 1 and 2 both reach the console";
    EXPECT_EQ(trap(VEKOS_TRAP_GETKEY), 'a');
    uint32_t buffer = g.alloc(8);
    EXPECT_EQ(trap(VEKOS_TRAP_READ, {0, buffer, 8}), 1);
    EXPECT_EQ(g.read_string(buffer), "b");
    EXPECT_EQ(trap(VEKOS_TRAP_READ, {0, buffer, 8}), 0) << "end of input";
    EXPECT_EQ(trap(VEKOS_TRAP_GETKEY), -1) << "end of input";
    EXPECT_EQ(trap(VEKOS_TRAP_CLOSE, {1}), 0);
    EXPECT_EQ(trap(VEKOS_TRAP_WRITE, {1, str("x"), 1}), -1) << "a closed console descriptor";
    EXPECT_EQ(trap(VEKOS_TRAP_USLEEP, {1000}), 0);
}

TEST_F(Traps, TheLogShowsEachTrapAsTraceDoes) {
    TempRoot root;
    g.set_root(root.path());
    g.set_input("xy");
    trap(VEKOS_TRAP_WRITE, {1, str("hi\n"), 3});
    trap(VEKOS_TRAP_OPEN, {str("/nope"), 0, 0});
    trap(VEKOS_TRAP_READ, {0, g.alloc(4), 4});
    trap(7, {1, 2, 3});
    trap(VEKOS_TRAP_WRITE, {1, str(std::string(40, 'z')), 40});
    std::string z32(32, 'z');
    EXPECT_EQ(vekos::harness::describe(g.traps()),
              "write(1, \"hi\\n\", 3) = 3; open(\"/nope\", O_RDONLY, 0x0) = -1 (no such file); "
              "read(0, \"xy\", 4) = 2; trap_7(0x1, 0x2, 0x3) = -1 (not implemented); write(1, \"" +
                  z32 + "\"..., 40) = 40");
    ASSERT_EQ(g.traps().size(), 5u);
    EXPECT_EQ(g.traps()[0].data[1], "hi\n") << "the bytes a write carried";
    EXPECT_EQ(g.traps()[1].data[0], "/nope") << "the path an open carried";
    EXPECT_EQ(g.traps()[4].data[1]->size(), 40u) << "the log keeps all bytes; only describe cuts";
}

TEST_F(Traps, TheLogDecodesFlagsAndWhenceAndSaysWhyTrapsFailed) {
    TempRoot root;
    g.set_root(root.path());
    root.write_file("old/f", "x");
    struct Case {
        uint32_t number;
        std::vector<uint32_t> args;
        std::string shown;
    } cases[] = {
        {VEKOS_TRAP_OPEN,
         {str("/new"), O_WRONLY | O_CREAT | O_TRUNC, 0644},
         "open(\"/new\", O_WRONLY|O_CREAT|O_TRUNC, 0x1a4) = 3"},
        {VEKOS_TRAP_LSEEK, {3, 0, 2}, "lseek(3, 0, SEEK_END) = 0"},
        {VEKOS_TRAP_LSEEK, {3, 0, 7}, "lseek(3, 0, 7) = -1 (invalid argument)"},
        {VEKOS_TRAP_CLOSE, {9}, "close(9) = -1 (bad descriptor)"},
        {VEKOS_TRAP_WRITE, {1, 0x10, 4}, "write(1, 0x10, 4) = -1 (bad address)"},
        {VEKOS_TRAP_MKDIR, {str("/old")}, "mkdir(\"/old\") = -1 (file exists)"},
        {VEKOS_TRAP_RMDIR, {str("/old")}, "rmdir(\"/old\") = -1 (folder not empty)"},
        {VEKOS_TRAP_OPEN,
         {str("/old/f/g"), O_RDWR, 0},
         "open(\"/old/f/g\", O_RDWR, 0x0) = -1 (not a folder)"},
    };
    for (const Case &c : cases) {
        g.clear_traps();
        trap(c.number, c.args);
        EXPECT_EQ(vekos::harness::describe(g.traps()), c.shown);
    }
}

} // namespace

namespace {

// A fresh guest starts without the mappings and streams of the one before: the first mapping
// lands at the start of the area again, and the old stream's handle is unknown.
TEST(TrapsFresh, MappingsAndStreamsGoWithTheGuest) {
    TempRoot root;
    auto trap = [](Guest &g, uint32_t number, std::vector<uint32_t> args) {
        args.resize(6, 0);
        args.insert(args.begin(), number);
        return uint32_t(g.call("raw_trap", args));
    };
    uint32_t handle = 0;
    for (int round = 0; round < 2; round++) {
        Guest &g = Guest::fresh(PROBE_IMAGE);
        g.set_root(root.path());
        EXPECT_EQ(trap(g, VEKOS_TRAP_MMAP, {0, 4096, 3, 0x22, 0xFFFFFFFF, 0}), 0xA0000000u)
            << "round " << round;
        if (round == 1) {
            EXPECT_EQ(trap(g, VEKOS_TRAP_VEKFS_STREAM_END, {handle}), 0xFFFFFFFFu)
                << "the last guest's stream is gone";
        }
        handle = trap(g, VEKOS_TRAP_VEKFS_STREAM_BEGIN, {g.put_string("/f")});
        EXPECT_EQ(handle, 1u);
    }
    EXPECT_FALSE(root.read_file("f")) << "a stream never ended stores nothing";
}

} // namespace
