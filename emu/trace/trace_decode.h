// Words for trace lines: guest open flags, mmap protection and flags, lseek whence and host error
// numbers, each decoded from one table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vekos {

// Guest open flags (Linux i386 values) as "O_WRONLY|O_CREAT|O_TRUNC"; bits without a name
// follow as hex ("O_RDONLY|0x100000").
std::string describe_open_flags(uint32_t flags);

// mmap's protection and flags (the library's values) as "PROT_READ|PROT_WRITE" ("PROT_NONE"
// for 0) and "MAP_PRIVATE|MAP_ANONYMOUS"; bits without a name follow as hex.
std::string describe_map_prot(uint32_t prot);
std::string describe_map_flags(uint32_t flags);

// "SEEK_SET", "SEEK_CUR", "SEEK_END", or the number for any other value.
std::string describe_whence(int32_t whence);

// Why a host call failed, short and lower-case ("no such file"); "error N" for an error
// number without a row.
std::string describe_errno(int host_errno);

} // namespace vekos
