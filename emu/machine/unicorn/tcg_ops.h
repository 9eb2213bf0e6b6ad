// QEMU 5.0's TCG ops as the translation passes over them read and rewrite them (narrow_ops.cpp,
// direct_access.cpp): the layouts of TCGOp and TCGOpDef, the opcode numbers the passes use,
// checked by name against the op table once (opcodes_match), and the op list and op table at
// the offsets of Debian's build (read off tcg_optimize). Linked only against 2.0.1
// (VEKOS_UNICORN_TWEAKS).
#pragma once

#include <cstddef>
#include <cstdint>

struct TCGContext;

namespace vekos::unicorn {

constexpr size_t kTcgOpsOffset = 0x7388;    // TCGContext::ops, first op
constexpr size_t kTcgOpDefsOffset = 0x9968; // TCGContext::tcg_op_defs, the context's own copy

struct TcgOp {
    uint8_t opc;
    uint8_t call_args; // TCGOP_CALLI (low nibble), TCGOP_CALLO (high nibble)
    uint16_t life;
    uint32_t unused;
    TcgOp *next;
    void *prev;
    uintptr_t args[10];
};

struct TcgOpDef {
    const char *name;
    uint8_t outputs, inputs, constants, total;
    uint8_t flags;
    void *constraints, *sorted_args;
};
static_assert(sizeof(TcgOpDef) == 32 && sizeof(TcgOp) == 104, "QEMU 5.0's layouts");
constexpr uint8_t kOpEndsBlock = 0x03;   // TCG_OPF_BB_EXIT | TCG_OPF_BB_END
constexpr uint8_t kOpSideEffects = 0x08; // TCG_OPF_SIDE_EFFECTS
constexpr uint8_t kOpHasEffects = 0x0c;  // TCG_OPF_CALL_CLOBBER | TCG_OPF_SIDE_EFFECTS

// MemOp of a guest access (qemu_ld and qemu_st's constant, above the MMU index's 4 bits):
// size in bits 0-1, sign in bit 2, byte swap in bit 3, alignment in bits 4-6.
constexpr uintptr_t kMemSizeMask = 3, kMemSigned = 4, kMemSwapped = 8, kMemAlignMask = 0x70;

// The ops the passes read or write: QEMU 5.0's opcode numbers and names.
// clang-format off
#define VEKOS_TCG_OPCODES(X)                                                                    \
    X(Discard, 0, discard) X(SetLabel, 1, set_label) X(Call, 2, call) X(MovI32, 5, mov_i32)     \
    X(SetcondI32, 7, setcond_i32) X(Ld8uI32, 9, ld8u_i32) X(Ld8sI32, 10, ld8s_i32)              \
    X(Ld16uI32, 11, ld16u_i32) X(Ld16sI32, 12, ld16s_i32) X(LdI32, 13, ld_i32)                  \
    X(St8I32, 14, st8_i32) X(St16I32, 15, st16_i32) X(StI32, 16, st_i32)                        \
    X(AddI32, 17, add_i32) X(SubI32, 18, sub_i32) X(MulI32, 19, mul_i32)                        \
    X(AndI32, 26, and_i32) X(OrI32, 27, or_i32) X(XorI32, 28, xor_i32) X(ShlI32, 29, shl_i32)   \
    X(ShrI32, 30, shr_i32) X(SarI32, 31, sar_i32) X(RotlI32, 32, rotl_i32)                      \
    X(RotrI32, 33, rotr_i32) X(BrcondI32, 38, brcond_i32) X(Mulu2I32, 41, mulu2_i32)            \
    X(Muls2I32, 42, muls2_i32) X(Ext8sI32, 47, ext8s_i32) X(Ext16sI32, 48, ext16s_i32)          \
    X(Ext8uI32, 49, ext8u_i32) X(Ext16uI32, 50, ext16u_i32) X(Bswap32I32, 52, bswap32_i32)      \
    X(NotI32, 53, not_i32) X(NegI32, 54, neg_i32) X(MovI64, 63, mov_i64)                        \
    X(MoviI64, 64, movi_i64) X(SetcondI64, 65, setcond_i64) X(Ld8uI64, 67, ld8u_i64)            \
    X(Ld8sI64, 68, ld8s_i64) X(Ld16uI64, 69, ld16u_i64) X(Ld16sI64, 70, ld16s_i64)              \
    X(Ld32uI64, 71, ld32u_i64) X(Ld32sI64, 72, ld32s_i64) X(LdI64, 73, ld_i64)                  \
    X(St8I64, 74, st8_i64) X(St16I64, 75, st16_i64) X(St32I64, 76, st32_i64)                    \
    X(StI64, 77, st_i64) X(AddI64, 78, add_i64)                                                 \
    X(SubI64, 79, sub_i64) X(MulI64, 80, mul_i64) X(AndI64, 87, and_i64) X(OrI64, 88, or_i64)   \
    X(XorI64, 89, xor_i64) X(ExtI32I64, 99, ext_i32_i64) X(ExtuI32I64, 100, extu_i32_i64)       \
    X(ExtrlI64I32, 101, extrl_i64_i32) X(BrcondI64, 103, brcond_i64)                            \
    X(Ext32sI64, 106, ext32s_i64) X(Ext32uI64, 109, ext32u_i64) X(NotI64, 113, not_i64)         \
    X(NegI64, 114, neg_i64) X(InsnStart, 129, insn_start) X(QemuLdI32, 133, qemu_ld_i32)        \
    X(QemuStI32, 134, qemu_st_i32) X(QemuLdI64, 135, qemu_ld_i64) X(QemuStI64, 136, qemu_st_i64)
// clang-format on

#define VEKOS_OPCODE_ENUM(name, number, text) k##name = number,
enum Opcode : uint8_t { VEKOS_TCG_OPCODES(VEKOS_OPCODE_ENUM) };
#undef VEKOS_OPCODE_ENUM

inline TcgOp *first_op(TCGContext *s) {
    return *reinterpret_cast<TcgOp **>(reinterpret_cast<char *>(s) + kTcgOpsOffset);
}
inline TcgOpDef *op_defs(TCGContext *s) {
    return *reinterpret_cast<TcgOpDef **>(reinterpret_cast<char *>(s) + kTcgOpDefsOffset);
}
// Whether the op table has every opcode above under its name.
bool opcodes_match(TCGContext *s);

} // namespace vekos::unicorn
