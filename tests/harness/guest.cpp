#include "guest.h"

#include "testing/test_hooks.h"

#include "abi/trap_numbers.h"
#include "kernel/trap_table.h"
#include "trace/trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vekos::harness {
namespace {

// Harness-only memory, well away from where images and the stack live.
constexpr uint32_t kScratchBase = 0xB0000000;
constexpr uint32_t kScratchSize = 1 << 20;
constexpr uint32_t kSentinel = 0xB0200000; // return address of every call; never executed
constexpr uint32_t kNotReturned = 0xDEADBEEF;

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

std::string call_text(std::string_view function, const std::vector<uint32_t> &args) {
    std::string text = std::string(function) + "(";
    for (size_t i = 0; i < args.size(); i++) text += (i ? ", " : "") + hex(args[i]);
    return text + ")";
}

} // namespace

std::vector<uint32_t> wide64(uint64_t value) {
    return {uint32_t(value), uint32_t(value >> 32)};
}

std::vector<uint32_t> double_words(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, 8);
    return wide64(bits);
}

std::vector<uint32_t> long_double_words(long double value) {
    uint32_t out[3] = {};
    std::memcpy(out, &value, 10); // x87 extended: 10 bytes, padded to 12 on the i386 stack
    return {out[0], out[1], out[2]};
}

std::string CallOutcome::describe() const {
    if (returned) return "returned " + std::to_string(eax);
    if (exited) return "exited with status " + std::to_string(exit_status);
    if (hit_instruction_limit) return "stopped by the instruction limit";
    if (hit_time_limit) {
        char text[64];
        std::snprintf(text, sizeof text, "stopped after %g seconds", time_limit);
        return text;
    }
    if (fault) return "faulted: " + fault_text;
    return "did not return";
}

void Guest::CaptureConsole::write(const uint8_t *data, size_t n) {
    output.append(reinterpret_cast<const char *>(data), n);
}

int32_t Guest::CaptureConsole::read(uint8_t *out, size_t n) {
    size_t count = std::min(n, input.size() - input_at);
    std::memcpy(out, input.data() + input_at, count);
    input_at += count;
    return int32_t(count);
}

Guest::Guest(const std::string &image_path)
    : image_path_(image_path), default_root_(make_temp_folder("vekos-harness-root-")),
      root_(default_root_) {
    kernel_ = std::make_unique<Kernel>(*RootFs::open(root_), console_);
    kernel_->add_observer(this);
    set_time_limit(kDefaultTimeLimit);
    std::string name = std::filesystem::path(image_path).filename().string();
    auto kind = program_kind(name);
    if (!kind) throw std::runtime_error(image_path + ": " + not_a_program(true));
    auto loaded = kernel_->load_image(image_path, *kind, {name}, "/", 0);
    if (!loaded) throw std::runtime_error(image_path + ": " + loaded.error());
    process_ = std::move(*loaded);
    GuestMemory &memory = process_->memory();
    if (!memory.add_region(kSentinel, kPageSize, kProtRead | kProtExec, "sentinel") ||
        !memory.add_region(kScratchBase, kScratchSize, kProtRead | kProtWrite, "scratch"))
        throw std::runtime_error(image_path + ": image overlaps the harness's scratch memory");
    memory.fill(kSentinel, 0xF4, kPageSize); // hlt, should anything ever execute it
    process_->start();
    call_stack_top_ = (kStackTop - kMaxArgBytes - 256) & ~15u;
    snapshot_ = process_->snapshot();
    scratch_next_ = kScratchBase;
}

Guest::~Guest() {
    process_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(default_root_, ignored);
}

Guest &Guest::fresh(const std::string &image_path) {
    static std::map<std::string, std::unique_ptr<Guest>> loaded;
    std::unique_ptr<Guest> &guest = loaded[image_path];
    if (!guest) guest = std::make_unique<Guest>(image_path);
    guest->reset();
    return *guest;
}

void Guest::reset() {
    process_->restore(*snapshot_);
    if (root_ != default_root_) set_root(default_root_);
    if (root_touched_) { // each test starts with an empty root
        std::error_code ignored;
        for (const auto &entry : std::filesystem::directory_iterator(default_root_, ignored))
            std::filesystem::remove_all(entry.path(), ignored);
        root_touched_ = false;
    }
    scratch_next_ = kScratchBase;
    allocations_.clear();
    traps_.clear();
    scripts_.clear();
    console_.output.clear();
    console_.input.clear();
    console_.input_at = 0;
}

void Guest::set_time_limit(std::chrono::duration<double> limit) {
    TestHooks::set_call_timeout(kernel_->limits(), limit);
}

CallOutcome Guest::run(uint32_t until, uint64_t limit) {
    RunLimits &limits = kernel_->limits();
    process_->budget() = {limit ? limit : limit_, 0};
    Outcome outcome{};
    bool out_of_time = false;
    {
        TestHooks::Call call(limits);
        outcome = process_->run(until);
        out_of_time = limits.out_of_time();
    }
    CallOutcome out;
    Engine &e = kernel_->engine();
    out.instructions = process_->budget().used;
    switch (outcome.kind) {
    case Outcome::Kind::Returned: {
        out.returned = true;
        out.eax = e.reg(Reg::Eax);
        out.edx = e.reg(Reg::Edx);
        auto st0 = e.st0();
        std::memcpy(&out.st0, st0.data(), st0.size());
        break;
    }
    case Outcome::Kind::Exited:
        out.exited = true;
        out.exit_status = outcome.status;
        break;
    case Outcome::Kind::Limit:
        out.hit_time_limit = out_of_time;
        out.hit_instruction_limit = !out_of_time;
        if (out_of_time) out.time_limit = limits.call_timeout().count();
        break;
    case Outcome::Kind::Faulted:
        out.fault = outcome.fault;
        out.fault_text = process_->describe(outcome.fault);
        break;
    case Outcome::Kind::Paused: // only under a debugger, which the harness never sets
    case Outcome::Kind::Killed:
    case Outcome::Kind::Waiting: // a read or write of a pipe that would wait
    case Outcome::Kind::Sliced:  // only processes the kernel schedules
        break;
    }
    return out;
}

CallOutcome Guest::call_address(uint32_t address, const std::vector<uint32_t> &args,
                                uint64_t limit) {
    uint32_t bytes = uint32_t(args.size() * 4);
    // At entry esp + 4 is 16-byte aligned, as the i386 System V ABI has it.
    uint32_t base = (call_stack_top_ - bytes) & ~15u;
    GuestMemory &memory = process_->memory();
    uint32_t frame[32]; // the return address, then the arguments: one write for most calls
    if (args.size() < std::size(frame)) {
        frame[0] = kSentinel;
        std::copy(args.begin(), args.end(), frame + 1);
        memory.poke(base - 4, frame, bytes + 4);
    } else {
        memory.poke(base, args.data(), bytes);
        memory.poke(base - 4, &kSentinel, 4);
    }
    Engine &e = kernel_->engine();
    e.attach(memory);
    e.set_reg(Reg::Esp, base - 4);
    e.set_reg(Reg::Eip, address);
    e.set_reg(Reg::Eflags, 0x2); // direction flag clear, as callers guarantee
    e.empty_fpu_stack();
    return run(kSentinel, limit);
}

CallOutcome Guest::call_outcome(std::string_view function, const std::vector<uint32_t> &args,
                                uint64_t limit) {
    auto address = find_symbol(function);
    if (!address) {
        ADD_FAILURE() << "no symbol '" << function << "' in " << image_path_;
        return {};
    }
    return call_address(*address, args, limit);
}

uint32_t Guest::checked_call(std::string_view function, const std::vector<uint32_t> &args,
                             CallOutcome *out) {
    *out = call_outcome(function, args);
    if (out->returned) return out->eax;
    ADD_FAILURE() << call_text(function, args) << " should have returned, but it "
                  << out->describe();
    return kNotReturned;
}

uint32_t Guest::call(std::string_view function, const std::vector<uint32_t> &args) {
    CallOutcome out;
    return checked_call(function, args, &out);
}

uint64_t Guest::call64(std::string_view function, const std::vector<uint32_t> &args) {
    CallOutcome out;
    checked_call(function, args, &out);
    return out.returned ? out.result64() : kNotReturned;
}

long double Guest::call_long_double(std::string_view function, const std::vector<uint32_t> &args) {
    CallOutcome out;
    checked_call(function, args, &out);
    return out.st0;
}

CallOutcome Guest::start(const std::vector<std::string> &argv, std::string_view stop_at,
                         uint32_t misalign, uint64_t limit) {
    uint32_t until = kNoUntil;
    if (!stop_at.empty()) {
        auto address = find_symbol(stop_at);
        if (!address) {
            ADD_FAILURE() << "no symbol '" << stop_at << "' in " << image_path_;
            return {};
        }
        until = *address;
    }
    if (!TestHooks::set_arguments(*process_, argv, misalign)) {
        ADD_FAILURE() << "argument list too long";
        return {};
    }
    process_->start();
    return run(until, limit);
}

uint32_t Guest::reg(Reg reg) const {
    return kernel_->engine().reg(reg);
}

uint32_t Guest::alloc(uint32_t n, uint8_t fill) {
    uint64_t payload = ((uint64_t(scratch_next_) + kCanaryBytes + 15) & ~uint64_t(15));
    if (payload + n + kCanaryBytes > uint64_t(kScratchBase) + kScratchSize) {
        ADD_FAILURE() << "scratch memory exhausted allocating " << n << " bytes";
        return 0;
    }
    GuestMemory &memory = process_->memory();
    std::vector<uint8_t> canary(kCanaryBytes, kCanary), body(n, fill);
    memory.poke(uint32_t(payload - kCanaryBytes), canary.data(), kCanaryBytes);
    memory.poke(uint32_t(payload), body.data(), n);
    memory.poke(uint32_t(payload + n), canary.data(), kCanaryBytes);
    scratch_next_ = uint32_t(payload + n + kCanaryBytes);
    allocations_.push_back({uint32_t(payload), n});
    return uint32_t(payload);
}

uint32_t Guest::put_bytes(const void *data, size_t n) {
    uint32_t at = alloc(uint32_t(n));
    if (at != 0) process_->memory().poke(at, data, uint32_t(n));
    return at;
}

uint32_t Guest::put_bytes(const std::vector<uint8_t> &bytes) {
    return put_bytes(bytes.data(), bytes.size());
}

std::vector<uint32_t> Guest::put_arguments(std::vector<uint32_t> head,
                                           const std::vector<GuestArg> &args) {
    for (const GuestArg &arg : args) head.push_back(arg.text ? put_string(arg.text) : arg.word);
    return head;
}

uint32_t Guest::put_string(std::string_view text) {
    std::string copy(text);
    return put_bytes(copy.c_str(), copy.size() + 1);
}

::testing::AssertionResult Guest::canaries_intact() const {
    for (size_t i = 0; i < allocations_.size(); i++) {
        const Allocation &a = allocations_[i];
        for (int side = 0; side < 2; side++) {
            uint32_t from = side == 0 ? a.address - kCanaryBytes : a.address + a.size;
            std::vector<uint8_t> bytes(kCanaryBytes);
            process_->memory().read(from, bytes.data(), kCanaryBytes);
            for (uint32_t k = 0; k < kCanaryBytes; k++) {
                if (bytes[k] == kCanary) continue;
                char byte[8];
                std::snprintf(byte, sizeof byte, "0x%02x", bytes[k]);
                return ::testing::AssertionFailure()
                       << "canary " << (side == 0 ? "before" : "after") << " allocation #" << i
                       << " (" << a.size << " bytes at " << hex(a.address)
                       << ") overwritten: byte at " << hex(from + k) << " is " << byte
                       << ", expected 0xcb";
            }
        }
    }
    return ::testing::AssertionSuccess();
}

std::vector<uint8_t> Guest::read_bytes(uint32_t address, uint32_t n) const {
    std::vector<uint8_t> bytes(n);
    if (!process_->memory().read(address, bytes.data(), n)) {
        ADD_FAILURE() << "cannot read " << n << " bytes at " << hex(address);
        return {};
    }
    return bytes;
}

std::string Guest::read_string(uint32_t address, uint32_t max) const {
    auto text = process_->memory().read_string(address, max);
    if (!text) {
        ADD_FAILURE() << "no readable string of at most " << max << " bytes at " << hex(address);
        return {};
    }
    return *text;
}

uint32_t Guest::read_u32(uint32_t address) const {
    auto value = process_->memory().read_u32(address);
    if (!value) ADD_FAILURE() << "cannot read a word at " << hex(address);
    return value.value_or(0);
}

// Writes are privileged, like the loader's: tests may patch read-only data too.
void Guest::write_u32(uint32_t address, uint32_t value) {
    if (!process_->memory().poke(address, &value, 4))
        ADD_FAILURE() << "cannot write a word at " << hex(address);
}

void Guest::write_bytes(uint32_t address, const std::vector<uint8_t> &bytes) {
    if (!process_->memory().poke(address, bytes.data(), uint32_t(bytes.size())))
        ADD_FAILURE() << "cannot write " << bytes.size() << " bytes at " << hex(address);
}

// Tests call a few functions many times: those found are kept at hand.
std::optional<uint32_t> Guest::find_symbol(std::string_view name) const {
    auto known = found_symbols_.find(name);
    if (known != found_symbols_.end()) return known->second;
    auto address = process_->symbols().address_of(name);
    if (address) found_symbols_.emplace(name, *address);
    return address;
}

uint32_t Guest::symbol(std::string_view name) const {
    auto address = find_symbol(name);
    if (!address) ADD_FAILURE() << "no symbol '" << name << "' in " << image_path_;
    return address.value_or(0);
}

void Guest::script_trap(uint32_t number, std::vector<int32_t> results) {
    if (results.empty()) {
        ADD_FAILURE() << "script_trap(" << number << ") got no results: list at least one, or "
                      << "call clear_scripts() to let the kernel serve the trap";
        return;
    }
    scripts_[number] = {std::deque<int32_t>(results.begin(), results.end()), nullptr};
}

void Guest::script_trap(uint32_t number, TrapScript script) {
    scripts_[number] = {{}, std::move(script)};
}

std::optional<int32_t> Guest::before(const TrapRecord &record) {
    auto found = scripts_.find(record.number);
    if (found == scripts_.end()) return std::nullopt;
    Script &script = found->second;
    if (script.function) return script.function(record);
    int32_t result = script.results.front();
    script.results.pop_front();
    if (script.results.empty()) scripts_.erase(found); // then the kernel serves it again
    return result;
}

void Guest::after(const TrapRecord &record) {
    const vekos::TrapRow *row = vekos::find_trap(record.number);
    if (!record.scripted && row != nullptr && row->has(vekos::kCreatesEntries))
        root_touched_ = true;
    traps_.push_back(record);
}

void Guest::set_root(const std::string &host_folder, vekos::RootFsOptions options) {
    auto fs = RootFs::open(host_folder, options);
    if (!fs) {
        ADD_FAILURE() << "root " << host_folder << " is not a folder";
        return;
    }
    TestHooks::set_fs(*kernel_, std::move(*fs));
    root_ = host_folder;
}

// Whoever asks for the root may put files there: the next reset empties it.
const std::string &Guest::root() {
    root_touched_ = true;
    return root_;
}

std::string describe(const TrapRecord &record) {
    return describe_trap(record);
}

std::string describe(const std::vector<TrapRecord> &records) {
    std::string text;
    for (const TrapRecord &r : records) text += (text.empty() ? "" : "; ") + describe(r);
    return text;
}

std::string carried_bytes(const TrapRecord &record) {
    const vekos::TrapRow *row = vekos::find_trap(record.number);
    int arg = row != nullptr ? row->data_arg() : -1;
    return arg < 0 ? "" : record.data[size_t(arg)].value_or("");
}

} // namespace vekos::harness
