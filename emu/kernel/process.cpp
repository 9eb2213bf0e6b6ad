#include "process.h"

#include "kernel.h"
#include "trap_table.h"

#include <sys/mman.h>

#include <cstring>
#include <utility>

namespace vekos {

struct Process::Snapshot {
    struct Saved {
        uint32_t base;
        std::vector<uint8_t> bytes;
        std::vector<bool> zero_page; // restored by dropping the page, not by copying
    };
    std::vector<Saved> writable;
    std::unique_ptr<Engine::Context> cpu;
};

Process::Process(Kernel &kernel, std::string name, std::string cwd, int depth)
    : kernel_(kernel), name_(std::move(name)), cwd_(cwd), initial_cwd_(std::move(cwd)),
      depth_(depth) {
    budget_.limit = kernel.options().max_instructions;
}

Process::~Process() {
    engine().detach(memory_);
}

Engine &Process::engine() {
    return kernel_.engine();
}

std::unique_ptr<Process> Process::create(Kernel &kernel, std::string name, const Image &image,
                                         std::string cwd, int depth, std::string *error) {
    std::unique_ptr<Process> p(new Process(kernel, std::move(name), std::move(cwd), depth));
    for (const Segment &s : image.segments) {
        uint32_t base = s.vaddr & ~(kPageSize - 1);
        uint64_t end = (uint64_t(s.vaddr) + s.memsz + kPageSize - 1) & ~uint64_t(kPageSize - 1);
        if (p->memory_.add_region(base, uint32_t(end - base), s.prot, "image") == nullptr ||
            !p->memory_.poke(s.vaddr, s.bytes.data(), uint32_t(s.bytes.size()))) {
            *error = "cannot map the image";
            return nullptr;
        }
    }
    if (p->memory_.add_region(kStackTop - kStackSize, kStackSize, kProtRead | kProtWrite,
                              "stack") == nullptr) {
        *error = "cannot map the stack";
        return nullptr;
    }
    p->symbols_ = image.symbols;
    p->entry_ = image.entry;
    return p;
}

bool Process::set_arguments(const std::vector<std::string> &argv, uint32_t misalign) {
    uint64_t bytes = 4 * (uint64_t(argv.size()) + 2) + misalign + 16;
    for (const std::string &a : argv) bytes += a.size() + 1;
    if (bytes > kMaxArgBytes) return false;
    uint32_t at = kStackTop;
    std::vector<uint32_t> words{uint32_t(argv.size())};
    for (const std::string &a : argv) {
        at -= uint32_t(a.size() + 1);
        memory_.poke(at, a.c_str(), uint32_t(a.size() + 1));
        words.push_back(at);
    }
    words.push_back(0);
    at = (at - uint32_t(words.size() * 4)) & ~15u; // argc on a 16-byte boundary
    at -= misalign;
    memory_.poke(at, words.data(), uint32_t(words.size() * 4));
    initial_esp_ = at;
    return true;
}

void Process::start() {
    Engine &e = engine();
    e.attach(memory_);
    for (int id : {UC_X86_REG_EAX, UC_X86_REG_EBX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_ESI,
                   UC_X86_REG_EDI, UC_X86_REG_EBP})
        e.set_reg(id, 0);
    e.set_reg(UC_X86_REG_EFLAGS, 0x2); // bit 1 always reads as one
    // The engine may have run another program: x87 as after FNINIT.
    e.set_reg(UC_X86_REG_FPCW, 0x37F);
    e.empty_fpu_stack();
    e.set_reg(UC_X86_REG_ESP, initial_esp_);
    e.set_reg(UC_X86_REG_EIP, entry_);
}

Outcome Process::run(uint32_t until) {
    Engine &e = engine();
    e.attach(memory_);
    for (;;) {
        Engine::Result r = e.run(*this, e.reg(UC_X86_REG_EIP), until, &budget_);
        if (pending_exception_) std::rethrow_exception(std::exchange(pending_exception_, nullptr));
        if (exit_requested_) {
            exit_requested_ = false;
            return {Outcome::Kind::Exited, exit_status_, {}};
        }
        if (run_line_) {
            std::string line = std::move(*run_line_);
            run_line_.reset();
            complete_trap(*this, kernel_.run_request(*this, line));
            continue;
        }
        switch (r.stop) {
        case Engine::Stop::Fault:
            return {Outcome::Kind::Faulted, 0, r.fault};
        case Engine::Stop::Limit:
            return {Outcome::Kind::Limit, 0, {}};
        case Engine::Stop::Until:
            return {Outcome::Kind::Returned, 0, {}};
        case Engine::Stop::Stopped: {
            // Unicorn stops after `hlt` (it runs the guest at privilege level 0); a user
            // program may not halt the CPU, so this is the fault real hardware raises.
            uint32_t at = e.reg(UC_X86_REG_EIP);
            uint8_t byte = 0;
            if (memory_.read(at - 1, &byte, 1) && byte == 0xF4) at--;
            return {Outcome::Kind::Faulted, 0, {FaultKind::GeneralProtection, at, at, 13}};
        }
        }
    }
}

// Called inside Unicorn's C code, which no exception may cross: it is carried past it.
void Process::on_trap() {
    try {
        dispatch_trap(*this);
    } catch (...) {
        pending_exception_ = std::current_exception();
        engine().stop();
    }
}

void Process::request_exit(int32_t status) {
    exit_requested_ = true;
    exit_status_ = status;
    engine().stop();
}

void Process::request_run(std::string line) {
    run_line_ = std::move(line);
    engine().stop();
}

void Process::suspend() {
    suspended_ = engine().save();
    engine().detach(memory_);
}

void Process::resume() {
    engine().attach(memory_);
    if (suspended_) engine().restore(*suspended_);
    suspended_.reset();
}

std::shared_ptr<Process::Snapshot> Process::snapshot() {
    auto s = std::make_shared<Snapshot>();
    static const uint8_t zeros[kPageSize] = {};
    for (const Region &r : memory_.regions()) {
        if (!(r.prot & kProtWrite)) continue;
        Snapshot::Saved saved{r.base, {r.host, r.host + r.size}, {}};
        for (uint32_t at = 0; at < r.size; at += kPageSize)
            saved.zero_page.push_back(std::memcmp(r.host + at, zeros, kPageSize) == 0);
        s->writable.push_back(std::move(saved));
    }
    s->cpu = engine().save();
    return s;
}

void Process::restore(const Snapshot &s) {
    // Most writable memory (stack, bss, the harness's scratch) starts as zeros: dropping those
    // pages costs only what the guest touched, where copying would cost all of it.
    for (const Snapshot::Saved &saved : s.writable) {
        const Region *r = memory_.find(saved.base);
        if (r == nullptr) continue;
        size_t pages = saved.zero_page.size();
        for (size_t first = 0; first < pages;) {
            size_t last = first;
            while (last < pages && saved.zero_page[last] == saved.zero_page[first]) last++;
            size_t offset = first * kPageSize, length = (last - first) * kPageSize;
            if (!saved.zero_page[first] || madvise(r->host + offset, length, MADV_DONTNEED) != 0)
                std::memcpy(r->host + offset, saved.bytes.data() + offset, length);
            first = last;
        }
    }
    engine().attach(memory_);
    engine().restore(*s.cpu);
    fds_ = FdTable();
    cwd_ = initial_cwd_;
    budget_.used = 0;
    exit_requested_ = false;
    run_line_.reset();
    trap_record_.reset();
}

std::string Process::describe(const Fault &fault) const {
    std::string text = describe_fault(fault);
    std::string symbol = symbols_.describe(fault.eip);
    if (!symbol.empty()) text += " (" + symbol + ")";
    return text;
}

} // namespace vekos
