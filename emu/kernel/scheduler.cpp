#include "kernel/scheduler.h"

#include "common/exit_status.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>

namespace vekos {

Scheduler::Scheduler(TaskTable &tasks, EnginePool &engines, RunLimits &limits, Console &console,
                     RunReports &reports, ScriptTurns &scripts)
    : tasks_(tasks), engines_(engines), limits_(limits), console_(console), reports_(reports),
      scripts_(scripts), slices_(limits) {}

Task &Scheduler::start(std::unique_ptr<Process> process, std::string name, int parent) {
    Task &task = tasks_.add(std::move(process), std::move(name), parent);
    if (task.process) {
        task.process->set_scheduled(true);
        task.process->start();
    }
    update_slices();
    return task;
}

void Scheduler::update_slices() {
    bool spawned = false;
    for (const auto &task : tasks_.tasks())
        spawned = spawned || (!task->kernel_waits && task->state != Task::State::Ended);
    slices_.set_active(spawned);
}

bool Scheduler::may_go_on(const Task &task) const {
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

bool Scheduler::run_until(const std::function<bool()> &done, const WaitFor *here) {
    while (!done()) {
        if (deadlocked_) return false;
        if (Task *next = tasks_.next([this](const Task &task) { return may_go_on(task); })) {
            run_turn(*next);
        } else if (!idle(here)) {
            report_deadlock(here);
            return false;
        }
    }
    return true;
}

int Scheduler::run_to_end(int pid) {
    run_until([this, pid] {
        Task *task = tasks_.find(pid);
        return task == nullptr || task->state == Task::State::Ended;
    });
    Task *task = tasks_.find(pid);
    if (task == nullptr || task->state != Task::State::Ended) return kStatusDeadlock;
    const int status = task->status;
    tasks_.remove(pid);
    return status;
}

// A process that waits takes its trap up itself when it runs again (Process::run).
void Scheduler::run_turn(Task &task) {
    if (task.script) return scripts_.script_turn(task);
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
        end(task, std::move(outcome));
    }
}

// A debugged program that waits with nothing left to run ends the run as a deadlock.
void Scheduler::end(Task &task, Outcome outcome) {
    if (outcome.kind == Outcome::Kind::Waiting && !deadlocked_) {
        task.wait = std::move(outcome.wait);
        report_deadlock(nullptr);
    }
    task.status = task.script ? 0 : reports_.ended(task, outcome, tasks_);
    task.state = Task::State::Ended;
    task.wait = {};
    update_slices();
    console_.flush();
    if (task.process) engines_.release(std::move(task.process), task.borrows_engine);
    tasks_.ended(task);
}

// end() takes ended orphans out of the table: look again from the start each time.
void Scheduler::kill_all() {
    for (;;) {
        const auto &tasks = tasks_.tasks();
        auto live = std::find_if(tasks.begin(), tasks.end(), [](const auto &task) {
            return task->state != Task::State::Ended;
        });
        if (live == tasks.end()) return;
        end(**live, {Outcome::Kind::Killed});
    }
}

bool Scheduler::idle(const WaitFor *here) {
    std::optional<std::chrono::steady_clock::time_point> earliest;
    bool input = false;
    auto consider = [&](const WaitFor &wait) {
        if (!wait.external) return;
        if (!wait.until)
            input = true;
        else if (!earliest || *wait.until < *earliest)
            earliest = wait.until;
    };
    for (const auto &task : tasks_.tasks())
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

void Scheduler::report_deadlock(const WaitFor *here) {
    if (std::exchange(deadlocked_, true)) return;
    for (const auto &task : tasks_.tasks()) {
        if (task->state == Task::State::Ended) continue;
        std::string what = task->wait.what;
        if (task->state == Task::State::Held && here != nullptr && what.empty()) what = here->what;
        if (what.empty()) what = "waits";
        reports_.report("deadlock",
                        task->name + " (pid " + std::to_string(task->pid) + ") " + what);
        if (journal_ != nullptr) journal_->deadlocked(task->pid, what);
    }
}

bool Scheduler::wait_here(Process &process, const WaitFor &wait) {
    Task *task = tasks_.find(process.pid());
    if (task != nullptr) task->wait = wait;
    const bool ended = run_until(
        [this, &wait] {
            return limits_.out_of_time() || limits_.out_of_instructions() ||
                   (wait.ready && wait.ready());
        },
        &wait);
    if ((task = tasks_.find(process.pid())) != nullptr) task->wait = {};
    return ended;
}

} // namespace vekos
