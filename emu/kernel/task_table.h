// The process table: every process of the run, and every script run as one, from its start
// until it is waited for (by its parent, or by the kernel for those it runs itself). It gives
// out the process ids and keeps the tasks in start order, with the turn that goes round them.
#pragma once

#include "common/result.h"
#include "kernel/process.h"
#include "kernel/trap_table.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vekos {

// Processes the table holds at once, running, waiting or ended and not yet waited for.
constexpr size_t kMaxProcesses = 64;

// A process of the run, or a script run as one: running, waiting, or ended and not yet
// waited for.
struct Task {
    enum class State { Ready, Waiting, Held, Ended };
    int pid = 0;
    int parent = 0;              // 0: the kernel waits for it, or its parent has ended
    bool kernel_waits = false;   // run by the kernel (the first program, run requests)
    bool borrows_engine = false; // runs on its run request's parent's engine
    std::string name;
    std::unique_ptr<Process> process;                // none for a script, nor once ended
    std::shared_ptr<const std::vector<uint8_t>> elf; // the image, for a fault's backtrace
    State state = State::Ready;
    WaitFor wait; // Waiting; Held: what it waits for, for a deadlock's report
    int status = 0;
    struct Script {
        std::string text;
        size_t at = 0;
        std::string cwd;
        int depth = 0;
    };
    std::optional<Script> script;
};

class TaskTable final : public ProcessTable {
  public:
    // Takes the next process id; parent 0: the kernel waits for it.
    Task &add(std::unique_ptr<Process> process, std::string name, int parent);
    // The scheduler looks a task up on each of its turns: inline.
    Task *find(int pid) {
        for (auto &task : tasks_)
            if (task->pid == pid) return task.get();
        return nullptr;
    }
    void remove(int pid);
    const std::vector<std::unique_ptr<Task>> &tasks() const { return tasks_; }
    bool empty() const { return tasks_.empty(); }
    size_t size() const { return tasks_.size(); }
    // No program was started yet: the next is the run's first.
    bool none_started() const { return next_pid_ == 1; }

    // The first task from the turn on, round the table, that `may_go_on` lets run; the turn
    // passes it. nullptr when none may.
    template <typename MayGoOn> Task *next(MayGoOn &&may_go_on);
    // The task has ended: its children run on with no parent to wait for them, and ended tasks
    // nobody will wait for go.
    void ended(const Task &task);
    // waitpid for the process `parent` (RunRequests::reap).
    std::optional<Result<int32_t, HostError>> reap(int parent, int32_t child, bool no_hang,
                                                   int32_t &status, WaitFor &wait);

    bool alone() const override;
    bool several() const override { return next_pid_ > 2; }
    // "hello.uelf", or "hello.uelf (pid 3)" once several processes were started.
    std::string shown_name(const Task &task) const;

  private:
    std::vector<std::unique_ptr<Task>> tasks_; // in start order
    size_t turn_ = 0;                          // where the search for the next to run starts
    int next_pid_ = 1;                         // each program started takes the next
};

template <typename MayGoOn> Task *TaskTable::next(MayGoOn &&may_go_on) {
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

} // namespace vekos
