#include "machine/unicorn/tcg_ops.h"

#include <cstring>

namespace vekos::unicorn {
namespace {

struct NamedOpcode {
    Opcode opcode;
    const char *name;
};
#define VEKOS_OPCODE_NAME(name, number, text) {k##name, #text},
constexpr NamedOpcode kOpcodes[] = {VEKOS_TCG_OPCODES(VEKOS_OPCODE_NAME)};
#undef VEKOS_OPCODE_NAME

} // namespace

bool opcodes_match(TCGContext *s) {
    const TcgOpDef *defs = op_defs(s);
    for (const NamedOpcode &named : kOpcodes)
        if (std::strcmp(defs[named.opcode].name, named.name) != 0) return false;
    return true;
}

} // namespace vekos::unicorn
