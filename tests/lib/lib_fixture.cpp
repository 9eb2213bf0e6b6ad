#include "lib_fixture.h"

#include "guest.h"

#include <cstring>

namespace {

using vekos::harness::Guest;

// Traps whose second argument is the buffer they move; the rest carry a path or string first.
bool carries_buffer(uint32_t number) {
    return number == 1 || number == 3 || number == 21 || number == 54;
}

TrapRecord with_bytes(const vekos::TrapRecord &record) {
    TrapRecord out;
    static_cast<vekos::TrapRecord &>(out) = record;
    const auto &data = record.data[carries_buffer(record.number) ? 1 : 0];
    out.bytes = data.value_or("");
    return out;
}

CallOutcome convert(const vekos::harness::CallOutcome &in) {
    CallOutcome out;
    out.eax = in.eax;
    out.edx = in.edx;
    std::memcpy(out.st0.data(), &in.st0, out.st0.size());
    out.returned = in.returned;
    out.faulted = in.fault.has_value();
    out.hit_instruction_limit = in.hit_instruction_limit;
    out.exited = in.exited;
    out.exit_status = in.exit_status;
    if (in.fault) out.fault_address = in.fault->address;
    out.fault = in.fault_text;
    out.instructions = in.instructions;
    return out;
}

} // namespace

struct LibFixture::State {
    Guest *guest = nullptr;
    std::vector<TrapRecord> traps; // converted from the guest's log on demand
};

LibFixture::LibFixture(std::string image) : image_(std::move(image)), state_(new State) {}

LibFixture::~LibFixture() = default;

void LibFixture::SetUp() {
    state_->guest = &Guest::fresh(image_);
}

void LibFixture::TearDown() {
    state_->guest = nullptr;
}

uint32_t LibFixture::call(const std::string &function, const std::vector<uint32_t> &args) {
    return state_->guest->call(function, args);
}

uint64_t LibFixture::call64(const std::string &function, const std::vector<uint32_t> &args) {
    return state_->guest->call64(function, args);
}

long double LibFixture::call_long_double(const std::string &function,
                                         const std::vector<uint32_t> &args) {
    return state_->guest->call_long_double(function, args);
}

CallOutcome LibFixture::call_outcome(const std::string &function, const std::vector<uint32_t> &args,
                                     uint64_t max_instructions) {
    return convert(state_->guest->call_outcome(function, args, max_instructions));
}

// Every call runs under an instruction limit, which counts as it goes.
void LibFixture::count_instructions(bool) {}

uint32_t LibFixture::str(std::string_view text) {
    return state_->guest->put_string(text);
}

uint32_t LibFixture::buffer(std::string_view bytes) {
    return state_->guest->put_bytes(bytes.data(), bytes.size());
}

uint32_t LibFixture::alloc(size_t n, uint8_t fill) {
    return state_->guest->alloc(uint32_t(n), fill);
}

uint32_t LibFixture::words(const std::vector<uint32_t> &values) {
    return state_->guest->put_bytes(values.data(), values.size() * 4);
}

std::vector<uint32_t> LibFixture::argument_words(const std::vector<GuestArg> &args,
                                                 std::vector<uint32_t> head) {
    for (const GuestArg &arg : args) head.push_back(arg.text ? str(arg.text) : arg.word);
    return head;
}

bool LibFixture::canaries_intact() {
    testing::AssertionResult intact = state_->guest->canaries_intact();
    if (!intact) ADD_FAILURE() << intact.message();
    return bool(intact);
}

std::string LibFixture::read_bytes(uint32_t address, size_t n) {
    std::vector<uint8_t> bytes = state_->guest->read_bytes(address, uint32_t(n));
    return std::string(bytes.begin(), bytes.end());
}

std::string LibFixture::read_string(uint32_t address, size_t max) {
    return state_->guest->read_string(address, uint32_t(max));
}

uint32_t LibFixture::read_u32(uint32_t address) {
    return state_->guest->read_u32(address);
}

void LibFixture::write_u32(uint32_t address, uint32_t value) {
    state_->guest->write_u32(address, value);
}

void LibFixture::write_bytes(uint32_t address, std::string_view bytes) {
    state_->guest->write_bytes(address, std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

uint32_t LibFixture::symbol(const std::string &name) {
    return state_->guest->symbol(name);
}

const std::vector<TrapRecord> &LibFixture::traps() {
    state_->traps.clear();
    for (const vekos::TrapRecord &record : state_->guest->traps())
        state_->traps.push_back(with_bytes(record));
    return state_->traps;
}

void LibFixture::clear_traps() {
    state_->guest->clear_traps();
    state_->traps.clear();
}

std::string LibFixture::describe(const std::vector<TrapRecord> &traps) {
    std::vector<vekos::TrapRecord> records(traps.begin(), traps.end());
    return vekos::harness::describe(records);
}

void LibFixture::script_trap(uint32_t number, std::function<int32_t(const TrapRecord &)> handler) {
    state_->guest->script_trap(number,
                               [handler = std::move(handler)](const vekos::TrapRecord &record) {
                                   return std::optional<int32_t>(handler(with_bytes(record)));
                               });
}

void LibFixture::script_results(uint32_t number, std::vector<int32_t> results) {
    state_->guest->script_trap(number, std::move(results));
}

void LibFixture::clear_scripts() {
    state_->guest->clear_scripts();
}

std::string LibFixture::console() {
    return state_->guest->console();
}

void LibFixture::clear_console() {
    state_->guest->clear_console();
}

void LibFixture::set_stdin(std::string_view bytes) {
    state_->guest->set_input(std::string(bytes));
}

std::filesystem::path LibFixture::root() {
    return state_->guest->root();
}

std::string LibFixture::escaped(std::string_view bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c >= 0x20 && c < 0x7f)
            out += char(c);
        else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}
