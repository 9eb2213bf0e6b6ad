// The vekos console: what descriptors 0, 1 and 2 reach. vekos-emu uses the host's standard
// input and output; the test harness captures output and scripts input instead.
#pragma once

#include <cstdint>
#include <string>

namespace vekos {

class Console {
  public:
    virtual ~Console() = default;
    virtual void write(const uint8_t *data, size_t n) = 0;
    // Up to n bytes of input; 0 at end of input, -1 on error.
    virtual int32_t read(uint8_t *out, size_t n) = 0;
    virtual void flush() = 0;
};

// Host stdout, buffered (guests write a byte per trap); flushed before any read of stdin, any
// message on stderr, and at exit, so output keeps its order.
class HostConsole : public Console {
  public:
    ~HostConsole() override { flush(); }
    void write(const uint8_t *data, size_t n) override;
    int32_t read(uint8_t *out, size_t n) override;
    void flush() override;

  private:
    std::string pending_;
};

} // namespace vekos
