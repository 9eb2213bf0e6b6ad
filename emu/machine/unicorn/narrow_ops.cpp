// 32-bit arithmetic in 32-bit registers. Unicorn runs i386 code on QEMU's x86_64 target, whose
// registers, flag inputs and temporaries are 64 bits wide: a 32-bit add becomes a 64-bit add
// and an extension that clears the upper half, a 32-bit compare becomes two extensions and a
// 64-bit compare, each one host instruction more than qemu-i386 spends. After QEMU's own
// optimizer has run over a block's ops (tcg_optimize, wrapped), three rewrites remove them:
//
//   narrowing  a 64-bit add, sub, mul, and, or, xor, not or neg whose result is only ever read
//              for its low 32 bits (by an extension, a 32-bit store, another narrowed op, or a
//              register overwritten before anything else reads it) becomes its 32-bit form,
//              which on an x86-64 host also clears the upper half;
//   extensions an extension of a value whose upper half is already clear (or already the
//              sign) becomes a move, and one onto itself goes;
//   compares   a 64-bit brcond or setcond of two sign extensions (or two zero extensions, or
//              constants that fit) compares the 32-bit sources instead, with the unsigned
//              condition for zero extensions; the extensions are then dead and QEMU's
//              liveness pass drops them.
// Besides, a 64-bit input that holds a constant is read from the constant (which the backend
// then takes as an immediate), and one that is a copy from the value it was copied from, while
// that still holds it: a copy made only to be read then needs no register of its own.
// Multiply-add rounds went from 23 host instructions to 17 (qemu-i386 spends 17). The forward
// pass also knows which guest addresses are zero-extended: those loads and stores go straight
// through the engine's window, where it has one (direct_access.cpp).
//
// Each rewrite keeps the low 32 bits of every value that is read, and every value read in
// full, exactly as they were: the guest sees the same registers, flags, faults and stores.
// Ops that end a basic block, call helpers, touch guest memory or may leave the block make
// every global (the guest registers) count as read in full there. The layouts are QEMU 5.0's
// (TCGOp, TCGTemp, TCGOpDef) and the ops list and op table are read at the offsets of Debian's
// build (read off tcg_optimize); the opcodes are checked by name once, and the rewrites are
// skipped if any differs. Linked only against 2.0.1 (VEKOS_UNICORN_TWEAKS), x86-64 hosts only.
#include "machine/unicorn/internals.h"
#include "machine/unicorn/tcg_ops.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <mutex>
#include <utility>
#include <vector>

namespace {

using namespace vekos::unicorn;

constexpr uint8_t kTempGlobal = 0x20, kTempLocal = 0x40; // TCGTemp's flag byte (offset 4)

constexpr uint8_t kTypeI64 = 1; // TCGTemp::type (offset 3)

bool is_64_bit(uintptr_t temp) {
    return temp != 0 && *reinterpret_cast<const uint8_t *>(temp + 3) == kTypeI64;
}

bool outlives_block(uintptr_t temp) {
    return *reinterpret_cast<const uint8_t *>(temp + 4) & (kTempGlobal | kTempLocal);
}

// 64-bit ops whose result's low half doesn't depend on their inputs' upper halves, and their
// 32-bit forms.
constexpr std::pair<Opcode, Opcode> kNarrowForms[] = {
    {kAddI64, kAddI32}, {kSubI64, kSubI32}, {kMulI64, kMulI32}, {kAndI64, kAndI32},
    {kOrI64, kOrI32},   {kXorI64, kXorI32}, {kNotI64, kNotI32}, {kNegI64, kNegI32}};

// The 32-bit form of a 64-bit op, or kDiscard.
Opcode narrow_form(uint8_t opc) {
    for (auto [wide, narrow] : kNarrowForms)
        if (opc == wide) return narrow;
    return kDiscard;
}

// 32-bit ops whose x86-64 code writes the whole 32-bit register, which clears its upper half
// (not moves, which may pass a 64-bit register on, nor partial-register writes such as
// deposit): the result is zero-extended wherever it is kept.
constexpr Opcode kWhole32BitWrites[] = {
    kSetcondI32, kLdI32,     kLd8uI32,    kLd8sI32,  kLd16uI32, kLd16sI32, kAddI32,
    kSubI32,     kMulI32,    kAndI32,     kOrI32,    kXorI32,   kShlI32,   kShrI32,
    kSarI32,     kRotlI32,   kRotrI32,    kMulu2I32, kMuls2I32, kExt8sI32, kExt16sI32,
    kExt8uI32,   kExt16uI32, kBswap32I32, kNotI32,   kNegI32};

bool writes_32_bit_register(uint8_t opc) {
    return std::find(std::begin(kWhole32BitWrites), std::end(kWhole32BitWrites), opc) !=
           std::end(kWhole32BitWrites);
}

// TCGCond: bit 1 marks signed conditions, bit 2 unsigned ones.
uintptr_t unsigned_condition(uintptr_t cond) {
    return cond & 2 ? (cond & ~uintptr_t(2)) | 4 : cond;
}

enum Need : uint8_t { kNone, kLow, kFull };
enum Kind : uint8_t { kZeroExtended = 1, kSignExtended = 2 };

// What is known of a value since its op: its upper half is a zero or sign extension
// (`kinds`), perhaps of `source`; it is the constant the temp `constant` was given; it was
// copied from `copied`. Each holds while that temp keeps the version it had then.
struct Fact {
    uint8_t kinds = 0;
    uintptr_t source = 0;
    uint32_t source_version = 0;
    uintptr_t constant = 0;
    uint32_t constant_version = 0;
    uintptr_t copied = 0;
    uint32_t copied_version = 0;
};

// What the passes know of one temp in one block. The temps are one array (TCGContext::temps),
// so a temp's slot is its place in it; a slot from an earlier block (generation) is blank, and
// one set before the last barrier (epochs) is out of date.
struct Slot {
    uint32_t generation = 0;
    uint32_t version = 0;
    uint32_t need_epoch = 0;
    uint32_t fact_epoch = 0;
    bool need_known = false, fact_known = false;
    Need need = kNone;
    Fact fact;
};
constexpr size_t kTempBytes = 56; // sizeof(TCGTemp)
constexpr size_t kMaxTemps = 1024;

// Reused from block to block on each translating thread.
struct Scratch {
    std::vector<TcgOp *> ops;
    std::vector<Slot> slots;
    uint32_t generation = 0;
};

class Pass {
  public:
    Pass(TCGContext *s, TcgOpDef *defs, uintptr_t window, Scratch &scratch)
        : s_(s), defs_(defs), window_(window), ops_(scratch.ops), slots_(scratch.slots),
          generation_(++scratch.generation) {
        ops_.clear();
        for (TcgOp *op = first_op(s); op; op = op->next) ops_.push_back(op);
    }

    // Runs the rewrites, unless the block's temps don't lie as one array of TCGTemp would.
    void run() {
        if (!index_temps()) return;
        narrow_unread_upper_halves();
        drop_extensions_and_narrow_compares();
    }

  private:
    bool index_temps() {
        uintptr_t first = UINTPTR_MAX, last = 0;
        for (const TcgOp *op : ops_) {
            for (int i = 0, n = outputs(op) + inputs(op); i < n; i++) {
                uintptr_t temp = op->args[i];
                if (temp == 0) continue;
                if (first != UINTPTR_MAX && intptr_t(temp - first) % intptr_t(kTempBytes) != 0)
                    return false;
                first = std::min(first, temp);
                last = std::max(last, temp);
            }
        }
        first_ = first;
        if (last < first) return true;
        size_t count = (last - first) / kTempBytes + 1;
        if (count > kMaxTemps) return false;
        if (slots_.size() < count) slots_.resize(count);
        return true;
    }

    Slot &slot(uintptr_t temp) {
        Slot &s = slots_[(temp - first_) / kTempBytes];
        if (s.generation != generation_) {
            s = Slot{};
            s.generation = generation_;
        }
        return s;
    }

    int outputs(const TcgOp *op) const {
        return op->opc == kCall ? op->call_args >> 4 : defs_[op->opc].outputs;
    }
    int inputs(const TcgOp *op) const {
        return op->opc == kCall ? op->call_args & 15 : defs_[op->opc].inputs;
    }
    // Loads and stores of host memory count as none, although a direct guest access marks
    // them as having effects (direct_access.cpp): the translator's own, of the CPU state,
    // observe no global.
    bool is_barrier(const TcgOp *op) const {
        bool host_access = (op->opc >= kLd8uI32 && op->opc <= kStI32) ||
                           (op->opc >= kLd8uI64 && op->opc <= kStI64);
        return op->opc == kCall || op->opc == kSetLabel ||
               (!host_access && (defs_[op->opc].flags & (kOpEndsBlock | kOpHasEffects)));
    }

    // Backward: which bits of each value are read later. Globals and local temps count as
    // read in full at every barrier and at the end of the block.
    Need need(uintptr_t temp) {
        Slot &s = slot(temp);
        if (outlives_block(temp) && s.need_epoch != need_epoch_) return kFull;
        return s.need_known ? s.need : kNone;
    }
    void set_need(uintptr_t temp, Need bits) {
        Slot &s = slot(temp);
        s.need = bits;
        s.need_known = true;
        s.need_epoch = need_epoch_;
    }
    void require(uintptr_t temp, Need bits) {
        if (temp != 0 && need(temp) < bits) set_need(temp, bits);
    }
    void forget_needs_of_globals() { need_epoch_++; }

    void narrow_unread_upper_halves() {
        for (auto it = ops_.rbegin(); it != ops_.rend(); ++it) {
            TcgOp *op = *it;
            if (op->opc == kInsnStart) continue;
            int outs = outputs(op), ins = inputs(op);
            Need wanted = outs == 1 ? need(op->args[0]) : kFull;
            for (int i = 0; i < outs; i++) set_need(op->args[i], kNone);
            if (op->opc == kDiscard) continue;
            if (is_barrier(op)) forget_needs_of_globals();
            Opcode narrow = narrow_form(op->opc);
            if (narrow != kDiscard && wanted == kLow) op->opc = narrow;
            Need from_inputs = kFull;
            switch (op->opc) {
            case kMovI64:
                from_inputs = wanted;
                break;
            case kExt32uI64:
            case kExt32sI64:
            case kExtrlI64I32:
                from_inputs = wanted == kNone ? kNone : kLow;
                break;
            default:
                if (narrow != kDiscard) from_inputs = wanted;
            }
            // A store of 32 bits or fewer reads its value's (the first input's) low half.
            bool stores_low_half =
                op->opc == kSt8I64 || op->opc == kSt16I64 || op->opc == kSt32I64 ||
                (op->opc == kQemuStI64 && ((op->args[2] >> 4) & kMemSizeMask) < 3);
            for (int i = outs; i < outs + ins; i++)
                require(op->args[i], i == 0 && stores_low_half ? kLow : from_inputs);
        }
    }

    // Forward: facts about values, used to drop extensions and narrow compares.
    const Fact *fact(uintptr_t temp) {
        Slot &s = slot(temp);
        return s.fact_known && s.fact_epoch == fact_epoch_ ? &s.fact : nullptr;
    }
    uint32_t version(uintptr_t temp) { return slot(temp).version; }
    void forget_facts() { fact_epoch_++; }
    bool has(uintptr_t temp, uint8_t kind) {
        const Fact *f = fact(temp);
        return f && (f->kinds & kind);
    }
    // The constant temp a value is a copy of, else the first value it was copied from that
    // still holds it, else the value itself.
    uintptr_t original(uintptr_t temp) {
        const Fact *f = fact(temp);
        if (f && f->constant && version(f->constant) == f->constant_version) return f->constant;
        if (f && f->copied && version(f->copied) == f->copied_version && is_64_bit(f->copied))
            return f->copied;
        return temp;
    }

    // A compare operand as a 32-bit value of the given kind: the source of its extension,
    // itself if already extended so, or 0.
    uintptr_t narrowed_operand(uintptr_t temp, uint8_t kind) {
        const Fact *f = fact(temp);
        if (!f || !(f->kinds & kind)) return 0;
        if (f->source && version(f->source) == f->source_version) return f->source;
        return temp;
    }

    // Rewrites a 64-bit compare of args[first] and args[first + 1] (condition after them).
    void narrow_compare(TcgOp *op, int first, Opcode narrow) {
        uintptr_t &a = op->args[first], &b = op->args[first + 1], &cond = op->args[first + 2];
        for (uint8_t kind : {kSignExtended, kZeroExtended}) {
            uintptr_t a32 = narrowed_operand(a, kind), b32 = narrowed_operand(b, kind);
            if (!a32 || !b32) continue;
            a = original(a32);
            b = original(b32);
            if (kind == kZeroExtended) cond = unsigned_condition(cond);
            op->opc = narrow;
            return;
        }
    }

    void remove(TcgOp *op);

    Fact fact_of_result(const TcgOp *op) {
        Fact f;
        uintptr_t in = op->args[1];
        switch (op->opc) {
        case kMovI64:
            if (const Fact *copied = fact(in)) f = *copied;
            if (!f.copied || version(f.copied) != f.copied_version) {
                f.copied = in;
                f.copied_version = version(in);
            }
            break;
        case kMoviI64: {
            auto value = int64_t(op->args[1]);
            f.kinds = (uint64_t(value) <= UINT32_MAX ? kZeroExtended : 0) |
                      (value == int32_t(value) ? kSignExtended : 0);
            f.constant = op->args[0];
            f.constant_version = version(op->args[0]) + 1;
            break;
        }
        case kExt32uI64:
            f = {kZeroExtended, in, version(in)};
            break;
        case kExt32sI64:
            f = {kSignExtended, in, version(in)};
            break;
        case kExtuI32I64:
        case kLd8uI64:
        case kLd16uI64:
        case kLd32uI64:
            f.kinds = kZeroExtended;
            break;
        case kSetcondI32:
        case kSetcondI64:
            f.kinds = kZeroExtended | kSignExtended;
            break;
        case kExtI32I64:
        case kLd8sI64:
        case kLd16sI64:
        case kLd32sI64:
            f.kinds = kSignExtended;
            break;
        case kQemuLdI64: {
            uintptr_t memop = op->args[2] >> 4;
            if ((memop & kMemSizeMask) < 3)
                f.kinds = memop & kMemSigned ? kSignExtended : kZeroExtended;
            break;
        }
        default:
            if (writes_32_bit_register(op->opc)) f.kinds = kZeroExtended;
            break;
        }
        return f;
    }

    void drop_extensions_and_narrow_compares() {
        for (TcgOp *op : ops_) {
            if (op->opc == kInsnStart) continue;
            if (op->opc == kSetLabel || op->opc == kCall) forget_facts();
            int outs = outputs(op), ins = inputs(op);
            // A 64-bit input reads the constant or the original it copies: the backend takes a
            // constant as an immediate, and a copy read no more needs no register of its own.
            if (op->opc != kCall)
                for (int i = outs; i < outs + ins; i++)
                    if (is_64_bit(op->args[i])) op->args[i] = original(op->args[i]);
            switch (op->opc) {
            case kExt32uI64:
            case kExt32sI64:
                if (has(op->args[1], op->opc == kExt32uI64 ? kZeroExtended : kSignExtended)) {
                    if (op->args[0] == op->args[1]) {
                        remove(op);
                        continue;
                    }
                    op->opc = kMovI64;
                }
                break;
            case kExtuI32I64:
                // The 32-bit value's host register already holds it zero-extended.
                if (has(op->args[1], kZeroExtended)) op->opc = kMovI64;
                break;
            case kBrcondI64:
                narrow_compare(op, 0, kBrcondI32);
                break;
            case kSetcondI64:
                narrow_compare(op, 1, kSetcondI32);
                break;
            case kQemuLdI32:
            case kQemuLdI64:
            case kQemuStI32:
            case kQemuStI64:
                // A guest address known to fit in 32 bits can't reach past the window.
                if (window_ != 0 && has(op->args[1], kZeroExtended))
                    access_directly(s_, op, defs_, window_);
                break;
            default:
                break;
            }
            Fact result = outs > 0 ? fact_of_result(op) : Fact{};
            bool known = result.kinds || result.constant || result.copied;
            for (int i = 0; i < outs; i++) {
                Slot &s = slot(op->args[i]);
                s.version++;
                s.fact_known = known && op->opc != kDiscard;
                s.fact = result;
                s.fact_epoch = fact_epoch_;
            }
            if (defs_[op->opc].flags & kOpEndsBlock) forget_facts();
        }
    }

    TCGContext *s_;
    TcgOpDef *defs_;
    uintptr_t window_;
    std::vector<TcgOp *> &ops_;
    std::vector<Slot> &slots_;
    uint32_t generation_;
    uintptr_t first_ = 0;
    uint32_t need_epoch_ = 1, fact_epoch_ = 1;
};

} // namespace

extern "C" {
void __real_tcg_optimize_x86_64(TCGContext *s);
void tcg_op_remove_x86_64(TCGContext *s, void *op);

void __wrap_tcg_optimize_x86_64(TCGContext *s) {
    __real_tcg_optimize_x86_64(s);
#if defined(__x86_64__)
    static std::once_flag checked;
    static bool usable = false;
    std::call_once(checked, [s] { usable = opcodes_match(s); });
    thread_local Scratch scratch;
    if (usable) Pass(s, op_defs(s), direct_window(s), scratch).run();
#endif
}
}

void Pass::remove(TcgOp *op) {
    tcg_op_remove_x86_64(s_, op);
}
