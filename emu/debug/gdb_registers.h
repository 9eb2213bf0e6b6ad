// gdb's i386 registers, in the order of its target description: a register's number is its
// index here. The stub, its target description and the debugger's link to the engine all read
// this table; nothing else knows the order.
#pragma once

#include <cstdint>
#include <iterator>
#include <string_view>

namespace vekos::debug {

struct GdbRegister {
    std::string_view name; // also the name the engine knows it by
    uint8_t bytes;
    std::string_view type; // in the target description
    bool x87_control = false;
};

inline constexpr GdbRegister kGdbRegisters[] = {
    {"eax", 4, "int32"},          {"ecx", 4, "int32"},       {"edx", 4, "int32"},
    {"ebx", 4, "int32"},          {"esp", 4, "data_ptr"},    {"ebp", 4, "data_ptr"},
    {"esi", 4, "int32"},          {"edi", 4, "int32"},       {"eip", 4, "code_ptr"},
    {"eflags", 4, "i386_eflags"}, {"cs", 4, "int32"},        {"ss", 4, "int32"},
    {"ds", 4, "int32"},           {"es", 4, "int32"},        {"fs", 4, "int32"},
    {"gs", 4, "int32"},           {"st0", 10, "i387_ext"},   {"st1", 10, "i387_ext"},
    {"st2", 10, "i387_ext"},      {"st3", 10, "i387_ext"},   {"st4", 10, "i387_ext"},
    {"st5", 10, "i387_ext"},      {"st6", 10, "i387_ext"},   {"st7", 10, "i387_ext"},
    {"fctrl", 4, "int", true},    {"fstat", 4, "int", true}, {"ftag", 4, "int", true},
    {"fiseg", 4, "int", true},    {"fioff", 4, "int", true}, {"foseg", 4, "int", true},
    {"fooff", 4, "int", true},    {"fop", 4, "int", true},
};
inline constexpr int kGdbRegCount = int(std::size(kGdbRegisters));

// A register's number by its name; -1 for none.
constexpr int gdb_reg(std::string_view name) {
    for (int i = 0; i < kGdbRegCount; i++)
        if (kGdbRegisters[i].name == name) return i;
    return -1;
}
inline constexpr int kEax = gdb_reg("eax"), kEsp = gdb_reg("esp"), kEip = gdb_reg("eip"),
                     kEflags = gdb_reg("eflags"), kSt0 = gdb_reg("st0");

// Bytes of a register: 10 for st0..st7, 4 for the rest.
constexpr uint32_t gdb_reg_size(int reg) {
    return kGdbRegisters[reg].bytes;
}

// The target description the stub gives gdb: the table above laid out as gdb's own
// 32bit-core feature, so stock gdb accepts it as i386.
std::string_view i386_target_xml();

} // namespace vekos::debug
