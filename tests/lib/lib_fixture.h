// A GoogleTest fixture for calling library functions inside a vekos image: each test gets a
// fresh harness Guest (guest()), and the calls library tests make all the time under short
// names. Types are the harness's own (CallOutcome, TrapRecord); the library's binary interface
// is in library_abi.h.
//
//     TEST_F(LibFixture, Example) {
//         EXPECT_EQ(call("strlen", {str("abc")}), 3u);
//         script_trap(VEKOS_TRAP_WRITE, {-1});      // the next write trap fails
//         EXPECT_EQ(as_int(call("puts", {str("x")})), -1);
//     }
#pragma once

#include "guest.h"
#include "library_abi.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

using vekos::harness::CallOutcome;
using vekos::harness::carried_bytes;
using vekos::harness::describe;
using vekos::harness::Guest;
using vekos::harness::GuestArg;
using vekos::harness::TrapRecord;

class LibFixture : public testing::Test {
  protected:
    explicit LibFixture(std::string image = VEKOS_TEST_IMAGE) : image_(std::move(image)) {}
    void SetUp() override { guest_ = &Guest::fresh(image_); }

    Guest &guest() { return *guest_; }

    // Calls; a fault, exit or runaway fails the test, except in call_outcome.
    uint32_t call(std::string_view function, const std::vector<uint32_t> &args) {
        return guest_->call(function, args);
    }
    uint64_t call64(std::string_view function, const std::vector<uint32_t> &args) {
        return guest_->call64(function, args);
    }
    long double call_long_double(std::string_view function, const std::vector<uint32_t> &args) {
        return guest_->call_long_double(function, args);
    }
    CallOutcome call_outcome(std::string_view function, const std::vector<uint32_t> &args,
                             uint64_t limit = 0) {
        return guest_->call_outcome(function, args, limit);
    }
    static int32_t as_int(uint32_t word) { return static_cast<int32_t>(word); }

    // Scratch memory between canaries. str: a NUL-terminated copy; buffer: exactly these
    // bytes; words: these 32-bit words.
    uint32_t str(std::string_view text) { return guest_->put_string(text); }
    uint32_t buffer(std::string_view bytes) {
        return guest_->put_bytes(bytes.data(), bytes.size());
    }
    uint32_t alloc(size_t n, uint8_t fill = 0) { return guest_->alloc(uint32_t(n), fill); }
    uint32_t words(const std::vector<uint32_t> &values) {
        return guest_->put_bytes(values.data(), values.size() * 4);
    }
    std::vector<uint32_t> argument_words(const std::vector<GuestArg> &args,
                                         std::vector<uint32_t> head = {}) {
        return guest_->put_arguments(std::move(head), args);
    }
    testing::AssertionResult canaries_intact() { return guest_->canaries_intact(); }

    std::string read_bytes(uint32_t address, size_t n) {
        std::vector<uint8_t> bytes = guest_->read_bytes(address, uint32_t(n));
        return std::string(bytes.begin(), bytes.end());
    }
    std::string read_string(uint32_t address, size_t max = 1 << 20) {
        return guest_->read_string(address, uint32_t(max));
    }
    uint32_t read_u32(uint32_t address) { return guest_->read_u32(address); }
    void write_u32(uint32_t address, uint32_t value) { guest_->write_u32(address, value); }
    void write_bytes(uint32_t address, std::string_view bytes) {
        guest_->write_bytes(address, std::vector<uint8_t>(bytes.begin(), bytes.end()));
    }
    uint32_t symbol(std::string_view name) { return guest_->symbol(name); }

    const std::vector<TrapRecord> &traps() { return guest_->traps(); }
    void clear_traps() { guest_->clear_traps(); }
    template <typename Script> void script_trap(uint32_t number, Script script) {
        guest_->script_trap(number, std::move(script));
    }
    void script_trap(uint32_t number, std::initializer_list<int32_t> results) {
        guest_->script_trap(number, results);
    }
    void clear_scripts() { guest_->clear_scripts(); }

    std::string console() { return guest_->console(); }
    void clear_console() { guest_->clear_console(); }
    // The folder that is / for this test's guest: emptied for each test.
    std::filesystem::path root() { return guest_->root(); }

  private:
    std::string image_;
    Guest *guest_ = nullptr;
};

// Bytes with C escapes (\n, \\, \xNN), so that failures show what differs.
std::string escaped(std::string_view bytes);
