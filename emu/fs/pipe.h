// Pipes: bytes written at one end come out at the other, in order, at most kCapacity held at
// a time. A pipe never blocks the host: a read or write that can't go on now says it would
// wait, and whoever runs the process decides whether it waits (and what else runs meanwhile).
// Its state lives while any end is open; ends count themselves in and out.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace vekos {

class Pipe {
  public:
    static constexpr uint32_t kCapacity = 64 << 10;

    enum class Side : uint8_t { Read, Write };
    // Done: `count` bytes moved (a read's 0: the end of the data, no writer is left).
    // WouldWait: an empty pipe with a writer, or a full one. Broken: a write with no reader left.
    enum class Status : uint8_t { Done, WouldWait, Broken };
    struct Transfer {
        Status status;
        uint32_t count = 0;
    };

    // Up to n of the bytes held.
    Transfer read(uint8_t *to, uint32_t n);
    // As many of the n bytes as fit: a write waits only when none fit.
    Transfer write(const uint8_t *from, uint32_t n);
    // A read or write would not wait now.
    bool can_read() const { return held_ > 0 || writers_ == 0; }
    bool can_write() const { return held_ < kCapacity || readers_ == 0; }

  private:
    friend class PipeEnd;
    std::vector<uint8_t> ring_; // kCapacity bytes once something is written
    uint32_t start_ = 0;        // where the oldest byte held lies in ring_
    uint32_t held_ = 0;
    int readers_ = 0;
    int writers_ = 0;
};

// One end of a pipe, shared by every descriptor that dup, dup2 or an inherited table made of
// it: the end closes when the last of them does.
class PipeEnd {
  public:
    PipeEnd(std::shared_ptr<Pipe> pipe, Pipe::Side side);
    ~PipeEnd();
    PipeEnd(const PipeEnd &) = delete;
    PipeEnd &operator=(const PipeEnd &) = delete;

    Pipe &pipe() const { return *pipe_; }
    const std::shared_ptr<Pipe> &shared_pipe() const { return pipe_; }
    Pipe::Side side() const { return side_; }
    // A read or write that would wait fails at once instead (fd_set_nonblock).
    bool nonblocking = false;

  private:
    std::shared_ptr<Pipe> pipe_;
    Pipe::Side side_;
};

// The pipe behind each FIFO node of the root folder, keyed by the node's device and inode:
// every open of the node reaches the same pipe while any end of it is open.
class FifoPipes {
  public:
    std::shared_ptr<Pipe> pipe_for(dev_t device, ino_t inode);
    // The node is gone: its open ends keep their pipe, a new node gets its own.
    void forget(dev_t device, ino_t inode) { pipes_.erase({device, inode}); }

  private:
    std::map<std::pair<dev_t, ino_t>, std::weak_ptr<Pipe>> pipes_;
};

} // namespace vekos
