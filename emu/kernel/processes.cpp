// The process table and its scheduler. One host thread runs every process in turn, each
// spawned one on an engine of its own, so that a switch costs no translation: a process runs
// until it waits, ends or has run for a slice of time, then the next one that may go on has
// its turn. A run request's parent stays on the C++ stack below its child's loop (the child
// borrows its engine); the others still run.
#include "kernel/kernel.h"

#include <algorithm>
#include <utility>

namespace vekos {
namespace {

// The engines of processes after the first are kept for the next ones; their translations
// are dropped when another program comes and more than this is in use, so that up to
// kMaxProcesses of them stay small. The first program keeps the larger buffer.
constexpr size_t kChildTranslationBuffer = 4 << 20;
constexpr size_t kChildTranslationLimit = 1 << 20;

} // namespace

Kernel::Task &Kernel::add_task(std::unique_ptr<Process> process, std::string name, int parent) {
    auto task = std::make_unique<Task>();
    task->pid = next_pid_++;
    task->parent = parent;
    task->kernel_waits = parent == 0;
    task->name = std::move(name);
    if (process) {
        process->set_pid(task->pid);
        process->set_scheduled(true);
        process->start();
        task->process = std::move(process);
    }
    tasks_.push_back(std::move(task));
    update_slices();
    return *tasks_.back();
}

Kernel::Task *Kernel::find_task(int pid) {
    for (auto &task : tasks_)
        if (task->pid == pid) return task.get();
    return nullptr;
}

void Kernel::remove_task(int pid) {
    for (size_t i = 0; i < tasks_.size(); i++) {
        if (tasks_[i]->pid != pid) continue;
        tasks_.erase(tasks_.begin() + ptrdiff_t(i));
        if (turn_ > i) turn_--;
        return;
    }
}

size_t Kernel::live_tasks() const {
    size_t live = 0;
    for (const auto &task : tasks_) live += task->state != Task::State::Ended;
    return live;
}

Engine &Kernel::take_engine() {
    if (!idle_engines_.empty()) {
        Engine *engine = idle_engines_.back();
        idle_engines_.pop_back();
        return *engine;
    }
    engines_.push_back(std::make_unique<Engine>(kChildTranslationBuffer, kChildTranslationLimit));
    return *engines_.back();
}

// The first program's memory stays mapped until the kernel goes: vekos-emu exits soon after
// it, and unmapping costs a translation-cache flush per page.
void Kernel::release(std::unique_ptr<Process> process, bool borrowed) {
    Engine *engine = &process->engine();
    if (engine == engine_.get() && process->pid() == 1) {
        process->fds() = FdTable(); // its pipe ends close: a child may read to the end
        first_program_ = std::move(process);
        return;
    }
    process.reset();
    if (engine != engine_.get() && !borrowed) idle_engines_.push_back(engine);
}

void Kernel::update_slices() {
    bool spawned = false;
    for (const auto &task : tasks_)
        spawned = spawned || (!task->kernel_waits && task->state != Task::State::Ended);
    slices_.set_active(spawned);
}

bool Kernel::may_go_on(const Task &task) const {
    switch (task.state) {
    case Task::State::Ready:
        return true;
    case Task::State::Waiting:
        // Out of time or instructions, it goes on to be stopped.
        return limits_.out_of_time() || limits_.out_of_instructions() ||
               (task.wait.ready && task.wait.ready());
    case Task::State::Held:
    case Task::State::Ended:
        break;
    }
    return false;
}

Kernel::Task *Kernel::next_ready() {
    const size_t n = tasks_.size();
    for (size_t i = 0; i < n; i++) {
        size_t k = (turn_ + i) % n;
        if (may_go_on(*tasks_[k])) {
            turn_ = k + 1;
            return tasks_[k].get();
        }
    }
    return nullptr;
}

bool Kernel::run_until(const std::function<bool()> &done, const WaitFor *here) {
    while (!done()) {
        if (deadlocked_) return false;
        if (Task *next = next_ready()) {
            run_turn(*next);
        } else if (!idle(here)) {
            report_deadlock(here);
            return false;
        }
    }
    return true;
}

int Kernel::run_to_end(int pid) {
    run_until([this, pid] {
        Task *task = find_task(pid);
        return task == nullptr || task->state == Task::State::Ended;
    });
    Task *task = find_task(pid);
    if (task == nullptr || task->state != Task::State::Ended) return kStatusDeadlock;
    const int status = task->status;
    remove_task(pid);
    return status;
}

// A process that waits takes its trap up itself when it runs again (Process::run).
void Kernel::run_turn(Task &task) {
    if (task.script) return run_script_turn(task);
    task.state = Task::State::Held;
    task.wait = {};
    Outcome outcome = task.process->run();
    switch (outcome.kind) {
    case Outcome::Kind::Sliced:
        task.state = Task::State::Ready;
        break;
    case Outcome::Kind::Waiting:
        task.state = Task::State::Waiting;
        task.wait = std::move(outcome.wait);
        break;
    default:
        end_task(task, std::move(outcome));
    }
}

// A script's turn runs its next line to the end, the other processes running meanwhile.
void Kernel::run_script_turn(Task &task) {
    Task::Script &script = *task.script;
    std::optional<std::string> line;
    while (!line && script.at < script.text.size()) line = next_script_line(script.text, script.at);
    if (!line || deadlocked_) return end_task(task, {});
    if (limits_.out_of_instructions() || limits_.out_of_time()) {
        stopped(task.name); // the lines left won't run
        return end_task(task, {});
    }
    const int pid = task.pid;
    task.state = Task::State::Held;
    task.wait.what = "waits for the program its script line runs";
    Process *outer = std::exchange(requester_, nullptr); // no engine to lend
    run_line(*line, script.cwd, script.depth + 1);
    requester_ = outer;
    if (Task *still = find_task(pid); still != nullptr && still->state == Task::State::Held) {
        still->state = Task::State::Ready;
        still->wait = {};
    }
}

void Kernel::end_task(Task &task, Outcome outcome) {
    task.status = task.script ? 0 : ended_status(task, outcome);
    task.state = Task::State::Ended;
    task.wait = {};
    update_slices();
    console_.flush();
    if (task.process) release(std::move(task.process), task.borrows_engine);
    // Its children run on with no parent to wait for them.
    for (auto &other : tasks_)
        if (other->parent == task.pid) other->parent = 0;
    for (size_t i = tasks_.size(); i-- > 0;) {
        const Task &t = *tasks_[i];
        if (t.state == Task::State::Ended && t.parent == 0 && !t.kernel_waits) remove_task(t.pid);
    }
}

// end_task takes ended orphans out of the table: look again from the start each time.
void Kernel::kill_all() {
    for (;;) {
        auto live = std::find_if(tasks_.begin(), tasks_.end(), [](const auto &task) {
            return task->state != Task::State::Ended;
        });
        if (live == tasks_.end()) return;
        end_task(**live, {Outcome::Kind::Killed});
    }
}

bool Kernel::idle(const WaitFor *here) {
    std::optional<std::chrono::steady_clock::time_point> earliest;
    bool input = false;
    auto consider = [&](const WaitFor &wait) {
        if (!wait.external) return;
        if (!wait.until)
            input = true;
        else if (!earliest || *wait.until < *earliest)
            earliest = wait.until;
    };
    for (const auto &task : tasks_)
        if (task->state == Task::State::Waiting) consider(task->wait);
    if (here != nullptr) consider(*here);
    if (!earliest && !input) return false;
    console_.flush();
    const auto left = earliest ? *earliest - std::chrono::steady_clock::now()
                               : std::chrono::steady_clock::duration::max();
    if (!input) {
        limits_.sleep(std::chrono::ceil<std::chrono::microseconds>(
            std::max(left, std::chrono::steady_clock::duration::zero())));
        return true;
    }
    int wait_ms = limits_.poll_timeout_ms();
    if (earliest) {
        auto ms = std::chrono::ceil<std::chrono::milliseconds>(
            std::max(left, std::chrono::steady_clock::duration::zero()));
        wait_ms = wait_ms < 0 ? int(ms.count()) : std::min(wait_ms, int(ms.count()));
    }
    console_.wait_for_input(wait_ms);
    limits_.deadline_passed();
    return true;
}

// Every process that hasn't ended waits: one line each.
void Kernel::report_deadlock(const WaitFor *here) {
    if (std::exchange(deadlocked_, true)) return;
    for (const auto &task : tasks_) {
        if (task->state == Task::State::Ended) continue;
        std::string what = task->wait.what;
        if (task->state == Task::State::Held && here != nullptr && what.empty()) what = here->what;
        if (what.empty()) what = "waits";
        report("deadlock", task->name + " (pid " + std::to_string(task->pid) + ") " + what);
        if (journal_ != nullptr) journal_->deadlocked(task->pid, what);
    }
}

bool Kernel::wait_here(Process &process, const WaitFor &wait) {
    Task *task = find_task(process.pid());
    if (task != nullptr) task->wait = wait;
    const bool ended = run_until(
        [this, &wait] {
            return limits_.out_of_time() || limits_.out_of_instructions() ||
                   (wait.ready && wait.ready());
        },
        &wait);
    if ((task = find_task(process.pid())) != nullptr) task->wait = {};
    return ended;
}

std::optional<Result<int32_t, HostError>> Kernel::reap(Process &parent, int32_t child, bool no_hang,
                                                       int32_t &status, WaitFor &wait) {
    const int ppid = parent.pid();
    auto is_wanted = [ppid, child](const Task &t) {
        return t.parent == ppid && (child == -1 || t.pid == child);
    };
    bool any = false;
    for (auto &task : tasks_) {
        if (!is_wanted(*task)) continue;
        any = true;
        if (task->state != Task::State::Ended) continue;
        status = task->status;
        const int pid = task->pid;
        remove_task(pid);
        return Result<int32_t, HostError>(pid);
    }
    if (!any) return Result<int32_t, HostError>(HostError{ECHILD});
    if (no_hang) return Result<int32_t, HostError>(0);
    const Task *one = child == -1 ? nullptr : find_task(child);
    wait.what = one != nullptr
                    ? "waits for its child " + one->name + " (pid " + std::to_string(one->pid) + ")"
                    : "waits for any of its children";
    wait.ready = [this, is_wanted] {
        for (const auto &task : tasks_)
            if (is_wanted(*task) && task->state == Task::State::Ended) return true;
        return false;
    };
    return std::nullopt;
}

} // namespace vekos
