#include "fs/pipe.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace vekos {

Pipe::Transfer Pipe::read(uint8_t *to, uint32_t n) {
    if (n == 0) return {Status::Done};
    if (held_ == 0) return {writers_ > 0 ? Status::WouldWait : Status::Done};
    const uint32_t count = std::min(n, held_);
    const uint32_t first = std::min(count, kCapacity - start_); // up to the ring's end
    std::memcpy(to, ring_.data() + start_, first);
    std::memcpy(to + first, ring_.data(), count - first);
    start_ = (start_ + count) % kCapacity;
    held_ -= count;
    return {Status::Done, count};
}

Pipe::Transfer Pipe::write(const uint8_t *from, uint32_t n) {
    if (readers_ == 0) return {Status::Broken};
    if (n == 0) return {Status::Done};
    if (held_ == kCapacity) return {Status::WouldWait};
    if (ring_.empty()) ring_.resize(kCapacity);
    const uint32_t count = std::min(n, kCapacity - held_);
    const uint32_t end = (start_ + held_) % kCapacity;
    const uint32_t first = std::min(count, kCapacity - end);
    std::memcpy(ring_.data() + end, from, first);
    std::memcpy(ring_.data(), from + first, count - first);
    held_ += count;
    return {Status::Done, count};
}

PipeEnd::PipeEnd(std::shared_ptr<Pipe> pipe, Pipe::Side side)
    : pipe_(std::move(pipe)), side_(side) {
    (side_ == Pipe::Side::Read ? pipe_->readers_ : pipe_->writers_)++;
}

PipeEnd::~PipeEnd() {
    (side_ == Pipe::Side::Read ? pipe_->readers_ : pipe_->writers_)--;
}

std::shared_ptr<Pipe> FifoPipes::pipe_for(dev_t device, ino_t inode) {
    std::erase_if(pipes_, [](const auto &entry) { return entry.second.expired(); });
    std::weak_ptr<Pipe> &known = pipes_[{device, inode}];
    std::shared_ptr<Pipe> pipe = known.lock();
    if (!pipe) known = pipe = std::make_shared<Pipe>();
    return pipe;
}

} // namespace vekos
