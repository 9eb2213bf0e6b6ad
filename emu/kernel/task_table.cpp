#include "kernel/task_table.h"

#include <cerrno>
#include <utility>

namespace vekos {

Task &TaskTable::add(std::unique_ptr<Process> process, std::string name, int parent) {
    auto task = std::make_unique<Task>();
    task->pid = next_pid_++;
    task->parent = parent;
    task->kernel_waits = parent == 0;
    task->name = std::move(name);
    if (process) process->set_pid(task->pid);
    task->process = std::move(process);
    tasks_.push_back(std::move(task));
    return *tasks_.back();
}

void TaskTable::remove(int pid) {
    for (size_t i = 0; i < tasks_.size(); i++) {
        if (tasks_[i]->pid != pid) continue;
        tasks_.erase(tasks_.begin() + ptrdiff_t(i));
        if (turn_ > i) turn_--;
        return;
    }
}

void TaskTable::ended(const Task &task) {
    for (auto &other : tasks_)
        if (other->parent == task.pid) other->parent = 0;
    for (size_t i = tasks_.size(); i-- > 0;) {
        const Task &t = *tasks_[i];
        if (t.state == Task::State::Ended && t.parent == 0 && !t.kernel_waits) remove(t.pid);
    }
}

bool TaskTable::alone() const {
    size_t live = 0;
    for (const auto &task : tasks_) live += task->state != Task::State::Ended;
    return live <= 1;
}

std::string TaskTable::shown_name(const Task &task) const {
    return several() ? task.name + " (pid " + std::to_string(task.pid) + ")" : task.name;
}

std::optional<Result<int32_t, HostError>> TaskTable::reap(int parent, int32_t child, bool no_hang,
                                                          int32_t &status, WaitFor &wait) {
    auto is_wanted = [parent, child](const Task &t) {
        return t.parent == parent && (child == -1 || t.pid == child);
    };
    bool any = false;
    for (auto &task : tasks_) {
        if (!is_wanted(*task)) continue;
        any = true;
        if (task->state != Task::State::Ended) continue;
        status = task->status;
        const int pid = task->pid;
        remove(pid);
        return Result<int32_t, HostError>(pid);
    }
    if (!any) return Result<int32_t, HostError>(HostError{ECHILD});
    if (no_hang) return Result<int32_t, HostError>(0);
    const Task *one = child == -1 ? nullptr : find(child);
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
