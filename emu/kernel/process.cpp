#include "kernel/process.h"

#include "testing/test_hooks.h"

#include <chrono>
#include <utility>

namespace vekos {

Process::Process(const ProcessServices &services, std::string name, std::string cwd, int depth)
    : engine_(*services.engine), traps_(services.traps), runner_(services.runner),
      limits_(services.limits), name_(std::move(name)), cwd_(cwd), initial_cwd_(std::move(cwd)),
      depth_(depth), mappings_(memory_, services.limits.memory()),
      streams_(services.limits.memory()), context_{memory_,
                                                   fds_,
                                                   cwd_,
                                                   services.fs,
                                                   services.changes,
                                                   services.console,
                                                   services.limits,
                                                   mappings_,
                                                   streams_,
                                                   services.fifos,
                                                   spawn_settings_,
                                                   services.table,
                                                   pid_,
                                                   services.replaying} {}

Process::~Process() {
    if (counter_ && engine_.attached(memory_)) engine_.set_block_sink(nullptr);
    engine_.detach(memory_);
}

Result<std::unique_ptr<Process>> Process::create(const ProcessServices &services, std::string name,
                                                 const Image &image, std::string cwd, int depth) {
    std::unique_ptr<Process> p(new Process(services, std::move(name), std::move(cwd), depth));
    for (const Segment &s : image.segments) {
        uint32_t base = s.vaddr & ~(kPageSize - 1);
        uint64_t end = (uint64_t(s.vaddr) + s.memsz + kPageSize - 1) & ~uint64_t(kPageSize - 1);
        if (!p->memory_.add_region(base, uint32_t(end - base), s.prot, "image") ||
            !p->memory_.poke(s.vaddr, s.bytes.data(), uint32_t(s.bytes.size())))
            return Failure{"cannot map the image"};
    }
    const uint32_t stack = services.stack_size;
    if (!p->memory_.add_region(kStackTop - stack, stack, kProtRead | kProtWrite, "stack"))
        return Failure{"cannot map the stack"};
    p->stack_size_ = stack;
    p->symbols_ = image.symbols; // shared, not copied
    p->entry_ = image.entry;
    return p;
}

bool arguments_fit(const std::vector<std::string> &argv, uint32_t misalign) {
    uint64_t bytes = 4 * (uint64_t(argv.size()) + 2) + misalign + 16;
    for (const std::string &a : argv) bytes += a.size() + 1;
    return bytes <= kMaxArgBytes;
}

bool Process::lay_out(const std::vector<std::string> &argv, uint32_t misalign) {
    if (!arguments_fit(argv, misalign)) return false;
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

bool TestHooks::set_arguments(Process &process, const std::vector<std::string> &argv,
                              uint32_t misalign) {
    return process.lay_out(argv, misalign);
}

void Process::attach() {
    engine_.attach(memory_);
    engine_.set_block_sink(counter_.get());
}

void Process::set_block_counter(std::shared_ptr<ProcessCounter> counter) {
    counter_ = std::move(counter);
    if (engine_.attached(memory_)) engine_.set_block_sink(counter_.get());
}

void Process::start() {
    attach();
    for (Reg r : {Reg::Eax, Reg::Ebx, Reg::Ecx, Reg::Edx, Reg::Esi, Reg::Edi, Reg::Ebp})
        engine_.set_reg(r, 0);
    engine_.set_reg(Reg::Eflags, 0x2); // bit 1 always reads as one
    engine_.reset_fpu();               // the engine may have run another program
    engine_.set_reg(Reg::Esp, initial_esp_);
    engine_.set_reg(Reg::Eip, entry_);
}

Outcome Process::run(uint32_t until) {
    attach();
    take_up_trap();
    if (traps_.acting()) traps_.take_action(); // left over from a run a host failure cut short
    for (;;) {
        Engine::RunResult r{};
        {
            RunLimits::Running running(limits_, engine_, scheduled_);
            if (limits_.out_of_time()) return {Outcome::Kind::Limit, 0, {}};
            r = engine_.run(*this, engine_.reg(Reg::Eip), until, &limits_.instructions());
        }
        if (counter_) count_stop(r);
        if (traps_.acting()) {
            PendingAction action = traps_.take_action();
            switch (action.kind) {
            case PendingAction::Kind::Exit:
                return {Outcome::Kind::Exited, action.status, {}};
            case PendingAction::Kind::Spawn:
                traps_.complete(engine_, context_, action, spawn_child(action));
                continue;
            case PendingAction::Kind::WaitChild: {
                WaitFor wait;
                if (auto reaped = wait_for_child(action, wait)) {
                    traps_.complete(engine_, context_, action, *reaped);
                    continue;
                }
                action.wait = std::move(wait);
                [[fallthrough]];
            }
            case PendingAction::Kind::Wait:
                if (!leave_trap(action))
                    return {Outcome::Kind::Faulted, 0, {FaultKind::Exception, 0, 0, 0}};
                if (scheduled_ || !runner_.wait_here(*this, action.wait))
                    return {Outcome::Kind::Waiting, 0, {}, std::move(action.wait)};
                take_up_trap();
                continue;
            case PendingAction::Kind::Backtrace: {
                const bool stop = runner_.show_backtrace(*this, action.from);
                traps_.complete(engine_, context_, action, 0);
                if (stop) return {Outcome::Kind::Paused, 0, {}};
                continue;
            }
            case PendingAction::Kind::RunLine:
            case PendingAction::Kind::None: {
                const int32_t ran = runner_.run_request(*this, action.line);
                if (runner_.deadlocked()) {
                    WaitFor wait;
                    wait.what = "waits for the program it ran";
                    return {Outcome::Kind::Waiting, 0, {}, std::move(wait)};
                }
                traps_.complete(engine_, context_, action, ran);
                continue;
            }
            }
        }
        // The watchdog's stop looks like any other: the deadline says whose it was.
        if (limits_.out_of_time() && r.stop != Engine::Stop::Fault)
            return {Outcome::Kind::Limit, 0, {}};
        switch (r.stop) {
        case Engine::Stop::Fault:
            return {Outcome::Kind::Faulted, 0, r.fault};
        case Engine::Stop::Limit:
            return {Outcome::Kind::Limit, 0, {}};
        case Engine::Stop::Until:
            return {Outcome::Kind::Returned, 0, {}};
        case Engine::Stop::Watch:
            return {Outcome::Kind::Paused, 0, {}};
        case Engine::Stop::Preempted:
            return {Outcome::Kind::Sliced, 0, {}};
        case Engine::Stop::Stopped: {
            // A stop no hook asked for: Unicorn halting after `hlt` (at privilege level 3
            // it faults first). A user program may not halt the CPU: the fault it raises.
            uint32_t at = engine_.reg(Reg::Eip);
            uint8_t byte = 0;
            if (memory_.read(at - 1, &byte, 1) && byte == 0xF4) at--;
            return {Outcome::Kind::Faulted, 0, {FaultKind::GeneralProtection, at, at, 13}};
        }
        }
    }
}

// A trap that can't be answered now waits (the run loop's Wait): where a scheduler runs the
// process, the wait is handed back to it, else the process waits here while the others run.
// When the wait ends the trap is taken up: it gives the wait's answer, or without one runs
// again, eip having gone back on it.
bool Process::leave_trap(const PendingAction &action) {
    answer_ = action.wait.answer;
    return action.wait.answer || action.on_instruction || rewind_trap();
}

void Process::take_up_trap() {
    if (auto answer = std::exchange(answer_, std::nullopt)) engine_.set_trap_result(*answer);
}

// A trap is `int 0x80`, two bytes, as is `rdtsc`; eip stands after it.
bool Process::rewind_trap() {
    const uint32_t at = engine_.reg(Reg::Eip) - 2;
    uint8_t code[2] = {};
    if (!memory_.read(at, code, 2)) return false;
    const bool trap = code[0] == 0xCD && code[1] == 0x80,
               rdtsc = code[0] == 0x0F && code[1] == 0x31;
    if (!trap && !rdtsc) return false;
    engine_.set_reg(Reg::Eip, at);
    return true;
}

int32_t Process::spawn_child(PendingAction &action) {
    auto pid = runner_.spawn(*this, action.spawn);
    return pid ? *pid : kTrapFailed;
}

// The status word is checked before the child is reaped, so that a bad pointer loses no
// child's status.
std::optional<int32_t> Process::wait_for_child(PendingAction &action, WaitFor &wait) {
    if (action.status_at != 0 && !memory_.accessible(action.status_at, 4, kProtWrite))
        return kTrapFailed;
    int32_t status = 0;
    auto reaped = runner_.reap(*this, action.child, action.no_hang, status, wait);
    if (!reaped) return std::nullopt;
    if (!*reaped) return kTrapFailed;
    if (**reaped > 0 && action.status_at != 0) memory_.write(action.status_at, &status, 4);
    return **reaped;
}

// A run that ended inside a block ran only part of it.
void Process::count_stop(const Engine::RunResult &result) {
    if (result.stop == Engine::Stop::Fault)
        counter_->cut_short(result.fault.eip, true);
    else if (result.stop == Engine::Stop::Limit || result.stop == Engine::Stop::Watch)
        counter_->cut_short(engine_.reg(Reg::Eip), false);
}

void Process::on_trap() {
    if (!counter_) {
        traps_.dispatch(engine_, context_);
        return;
    }
    const uint32_t number = engine_.reg(Reg::Eax);
    const auto start = std::chrono::steady_clock::now();
    traps_.dispatch(engine_, context_);
    const auto spent = std::chrono::steady_clock::now() - start;
    counter_->on_trap(number, uint64_t(std::chrono::nanoseconds(spent).count()));
}

std::optional<uint64_t> Process::on_time_stamp() {
    return traps_.time_stamp(engine_, context_);
}

Process::Suspension::Suspension(Process &process)
    : process_(process), cpu_(process.engine_.save()) {
    process_.engine_.detach(process_.memory_);
}

Process::Suspension::~Suspension() {
    process_.attach();
    process_.engine_.restore(*cpu_);
}

std::shared_ptr<Process::Snapshot> Process::snapshot() {
    auto s = std::make_shared<Snapshot>();
    attach();
    s->memory = memory_.snapshot();
    engine_.watch_stores();
    s->cpu = engine_.save();
    return s;
}

// A snapshot is of memory without mappings: those made since go, as do streams not ended.
void Process::restore(const Snapshot &s) {
    streams_.drop_all();
    mappings_.release_all();
    GuestMemory::HostSpan restored = memory_.restore(s.memory);
    attach();
    engine_.watch_stores(restored);
    engine_.restore(*s.cpu);
    fds_ = FdTable();
    cwd_ = initial_cwd_;
    answer_.reset(); // no trap waits in a snapshot
}

std::string Process::describe(const Fault &fault) const {
    std::string text = describe_fault(fault);
    // Outside the image the nearest symbol below says nothing about the address.
    const Region *region = memory_.find(fault.eip);
    std::string symbol = region && region->name == "image" ? symbols_.describe(fault.eip) : "";
    if (!symbol.empty()) text += " (" + symbol + ")";
    return text;
}

} // namespace vekos
