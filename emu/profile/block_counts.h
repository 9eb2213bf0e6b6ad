// Counting translated blocks for coverage and profiles. An ImageProfile holds, per program
// image, how often each block ran and each block's instructions (decoded once, when first
// seen); a BlockCounter is one process's sink on the engine, with its shadow call stack.
//
// A block cut short (a fault, the instruction budget, a debugger's stop) is told of by
// cut_short, and only its instructions that ran count. A call is a block ending in `call`; a return
// is a block ending in `ret` whose successor is a pending return address (longjmp-like unwinding
// past several frames is followed; a `ret` to elsewhere leaves the stack as it is).
#pragma once

#include "kernel/block_counting.h"
#include "machine/guest_memory.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vekos::profile {

enum class BlockExit : uint8_t { Other, Call, Return };

struct DecodedBlock {
    std::vector<uint8_t> lengths; // of each instruction, in order
    BlockExit exit = BlockExit::Other;
};
// i386 code at `address`; bytes that don't decode count as one instruction.
DecodedBlock decode_block(std::span<const uint8_t> code, uint32_t address);

// A call site and its target, with the calls made and the instructions run inside them.
struct CallEdge {
    uint64_t calls = 0;
    uint64_t inclusive = 0;
};

struct Block {
    uint32_t address = 0;
    uint32_t size = 0;
    DecodedBlock code;
    uint64_t count = 0;
    uint32_t instructions() const { return uint32_t(code.lengths.size()); }
    // The last call this block made (it ends in one), from stack node `from`: its edge and
    // the callee's node. A loop's calls find them here, not in two map lookups each.
    struct LastCall {
        uint32_t target = 0;
        uint32_t from = 0;
        uint32_t node = 0;
        CallEdge *edge = nullptr;
    } last_call;
};

// One distinct stack of called functions (by their entry address), below `parent`.
struct StackNode {
    uint32_t parent;
    uint32_t function;
    uint64_t cost = 0; // instructions run with this stack on top
};

// Host time the kernel spent serving one trap number.
struct TrapTime {
    uint64_t count = 0;
    uint64_t nanoseconds = 0;
};

class ImageProfile {
  public:
    ImageProfile(std::string name, std::vector<uint8_t> file)
        : name_(std::move(name)), file_(std::move(file)) {}

    const std::string &name() const { return name_; }
    const std::vector<uint8_t> &file() const { return file_; }
    // The block at `address` of `size` bytes, decoded from `memory` when first seen.
    Block &block(uint32_t address, uint32_t size, const GuestMemory &memory);
    const std::unordered_map<uint64_t, Block> &blocks() const { return blocks_; }
    // Blocks that stopped before `first_not_run`, once per entry.
    struct Cut {
        const Block *block;
        uint32_t first_not_run;
    };
    std::vector<Cut> &cuts() { return cuts_; }
    const std::vector<Cut> &cuts() const { return cuts_; }

    // The call graph and stacks (profiles only). Node 0 is the stack's root.
    std::map<std::pair<uint32_t, uint32_t>, CallEdge> &calls() { return calls_; }
    const std::map<std::pair<uint32_t, uint32_t>, CallEdge> &calls() const { return calls_; }
    uint32_t child(uint32_t parent, uint32_t function);
    std::vector<StackNode> &stacks() { return stacks_; }
    const std::vector<StackNode> &stacks() const { return stacks_; }
    // Trap numbers' host time; and each trap site's (the `int 0x80` address).
    std::map<uint32_t, TrapTime> &traps() { return traps_; }
    const std::map<uint32_t, TrapTime> &traps() const { return traps_; }
    std::map<uint32_t, uint64_t> &trap_sites() { return trap_sites_; }
    const std::map<uint32_t, uint64_t> &trap_sites() const { return trap_sites_; }

  private:
    std::string name_;
    std::vector<uint8_t> file_;
    std::unordered_map<uint64_t, Block> blocks_; // by size << 32 | address; nodes stay put
    std::vector<Cut> cuts_;
    std::map<std::pair<uint32_t, uint32_t>, CallEdge> calls_;
    std::vector<StackNode> stacks_{{0, 0, 0}};
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> children_;
    std::map<uint32_t, TrapTime> traps_;
    std::map<uint32_t, uint64_t> trap_sites_;
};

// One process's counts, into its image's profile. With `calls` it also keeps the shadow call
// stack (profiles); without, it only counts blocks (coverage).
class BlockCounter final : public ProcessCounter {
  public:
    BlockCounter(ImageProfile &image, const GuestMemory &memory, bool calls)
        : image_(image), memory_(memory), calls_(calls) {}
    ~BlockCounter() override { finish(); }
    BlockCounter(const BlockCounter &) = delete;
    BlockCounter &operator=(const BlockCounter &) = delete;

    // Stacks deeper than this share the node of their first kMaxStackDepth frames: a deep
    // recursion would otherwise make as many distinct stacks as it has frames, and folded
    // stacks of a size that grows with the square of its depth.
    static constexpr size_t kMaxStackDepth = 512;

    void on_block(uint32_t address, uint32_t size) override;
    void cut_short(uint32_t eip, bool faulted) override;
    void on_trap(uint32_t number, uint64_t nanoseconds) override;
    // Closes the frames still open (the program ended inside them); again, it does nothing.
    void finish();

  private:
    struct Frame {
        uint32_t return_address;
        uint32_t node;
        CallEdge *edge;
        uint64_t entered; // instructions run before the call
    };
    Block &find(uint32_t address, uint32_t size);
    void follow_calls(uint32_t address);
    void close(const Frame &frame);

    ImageProfile &image_;
    const GuestMemory &memory_;
    const bool calls_;
    // Blocks by address, direct-mapped: a hash lookup per block would double the cost.
    static constexpr size_t kCacheSize = 4096;
    std::array<std::pair<uint64_t, Block *>, kCacheSize> cache_{};
    Block *last_ = nullptr;
    std::vector<Frame> frames_;
    uint32_t node_ = 0;
    uint64_t executed_ = 0;
};

} // namespace vekos::profile
