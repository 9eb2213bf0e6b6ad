#include "profile/block_counts.h"

#include <capstone/capstone.h>

namespace vekos::profile {
namespace {

// One disassembler for the whole run, opened when first needed.
csh disassembler() {
    static csh handle = [] {
        csh opened = 0;
        if (cs_open(CS_ARCH_X86, CS_MODE_32, &opened) != CS_ERR_OK) return csh(0);
        return opened;
    }();
    return handle;
}

BlockExit exit_of(unsigned id) {
    switch (id) {
    case X86_INS_CALL:
        return BlockExit::Call;
    case X86_INS_RET:
    case X86_INS_RETF:
        return BlockExit::Return;
    default:
        return BlockExit::Other;
    }
}

} // namespace

DecodedBlock decode_block(std::span<const uint8_t> code, uint32_t address) {
    DecodedBlock decoded;
    csh handle = disassembler();
    const uint8_t *at = code.data();
    size_t left = code.size();
    uint64_t pc = address;
    cs_insn *insn = handle ? cs_malloc(handle) : nullptr;
    while (left > 0) {
        if (insn == nullptr || !cs_disasm_iter(handle, &at, &left, &pc, insn)) {
            decoded.lengths.push_back(uint8_t(std::min<size_t>(left, 15)));
            decoded.exit = BlockExit::Other;
            break;
        }
        decoded.lengths.push_back(uint8_t(insn->size));
        decoded.exit = exit_of(insn->id);
    }
    if (insn) cs_free(insn, 1);
    return decoded;
}

Block &ImageProfile::block(uint32_t address, uint32_t size, const GuestMemory &memory) {
    auto [it, added] = blocks_.try_emplace(uint64_t(size) << 32 | address);
    Block &b = it->second;
    if (added) {
        b.address = address;
        b.size = size;
        std::vector<uint8_t> code(size);
        if (!memory.read(address, code.data(), size)) code.clear();
        b.code = decode_block(code, address);
        if (b.code.lengths.empty()) b.code.lengths.push_back(uint8_t(std::min<uint32_t>(size, 15)));
    }
    return b;
}

uint32_t ImageProfile::child(uint32_t parent, uint32_t function) {
    auto [it, added] = children_.try_emplace({parent, function}, uint32_t(stacks_.size()));
    if (added) stacks_.push_back({parent, function, 0});
    return it->second;
}

Block &BlockCounter::find(uint32_t address, uint32_t size) {
    uint64_t key = uint64_t(size) << 32 | address;
    auto &slot = cache_[(address ^ (address >> 12)) % kCacheSize];
    if (slot.first != key || slot.second == nullptr)
        slot = {key, &image_.block(address, size, memory_)};
    return *slot.second;
}

void BlockCounter::on_block(uint32_t address, uint32_t size) {
    Block &b = find(address, size);
    b.count++;
    if (calls_) {
        if (last_ == nullptr && image_.stacks()[0].function == 0)
            image_.stacks()[0].function = address;
        if (last_ != nullptr) follow_calls(address);
        executed_ += b.instructions();
        image_.stacks()[node_].cost += b.instructions();
    }
    last_ = &b; // also for cut_short, in coverage alone
}

void BlockCounter::follow_calls(uint32_t address) {
    Block &from = *last_;
    if (from.code.exit == BlockExit::Call) {
        Block::LastCall &call = from.last_call;
        if (call.edge == nullptr || call.target != address || call.from != node_) {
            const uint32_t site = from.address + from.size - from.code.lengths.back();
            // The stack on top holds the root's frame and one for each open call.
            const bool full = frames_.size() + 1 >= kMaxStackDepth;
            call = {address, node_, full ? node_ : image_.child(node_, address),
                    &image_.calls()[{site, address}]};
        }
        call.edge->calls++;
        frames_.push_back({from.address + from.size, call.node, call.edge, executed_});
        node_ = call.node;
        return;
    }
    if (from.code.exit != BlockExit::Return) return;
    size_t depth = frames_.size();
    while (depth > 0 && frames_[depth - 1].return_address != address) depth--;
    if (depth == 0) return; // a return to no pending caller: taken as a jump
    while (frames_.size() >= depth) {
        close(frames_.back());
        frames_.pop_back();
    }
    node_ = frames_.empty() ? 0 : frames_.back().node;
}

void BlockCounter::close(const Frame &frame) {
    frame.edge->inclusive += executed_ - frame.entered;
}

void BlockCounter::cut_short(uint32_t eip, bool faulted) {
    if (last_ == nullptr || eip < last_->address || eip - last_->address >= last_->size) return;
    uint32_t address = last_->address, not_run = 0, first_not_run = 0;
    for (uint8_t length : last_->code.lengths) {
        const bool runs = address < eip || (faulted && address == eip);
        if (!runs && not_run++ == 0) first_not_run = address;
        address += length;
    }
    if (not_run == 0) return;
    image_.cuts().push_back({last_, first_not_run});
    if (!calls_) return;
    executed_ -= not_run;
    image_.stacks()[node_].cost -= not_run;
}

void BlockCounter::on_trap(uint32_t number, uint64_t nanoseconds) {
    TrapTime &time = image_.traps()[number];
    time.count++;
    time.nanoseconds += nanoseconds;
    if (last_ != nullptr)
        image_.trap_sites()[last_->address + last_->size - last_->code.lengths.back()] +=
            nanoseconds;
}

void BlockCounter::finish() {
    for (; !frames_.empty(); frames_.pop_back()) close(frames_.back());
    node_ = 0;
}

} // namespace vekos::profile
