// Scripts: lists of command lines, one run after the other, each as a run request. A script
// the kernel runs (the first program, a run request's) runs to its end at once; one spawned
// runs a line per turn, the other processes running meanwhile.
#include "kernel/launcher.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace vekos {
namespace {

// The next command line of a script from `at` on, trimmed; none for a blank or comment line.
std::optional<std::string> next_script_line(std::string_view text, size_t &at) {
    size_t end = std::min(text.find('\n', at), text.size());
    std::string_view line = text.substr(at, end - at);
    at = end < text.size() ? end + 1 : text.size();
    size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos || line[first] == '#') return std::nullopt;
    size_t last = line.find_last_not_of(" \t\r");
    return std::string(line.substr(first, last - first + 1));
}

} // namespace

// Every line runs, whatever the previous ones gave: a script is a list of commands, not a
// program with error handling. The script counts as run once it could be read.
Launcher::Ran Launcher::run_script(const std::string &name, const std::vector<uint8_t> &text,
                                   const std::string &cwd, int depth) {
    const std::string_view all(reinterpret_cast<const char *>(text.data()), text.size());
    size_t at = 0;
    while (at < all.size() && !scheduler_.deadlocked()) {
        if (limits_.out_of_instructions() || limits_.out_of_time()) {
            reports_.stopped(name); // the lines left won't run
            break;
        }
        if (auto line = next_script_line(all, at)) run_line(*line, cwd, depth + 1);
    }
    return {true, 0};
}

// A spawned script's turn runs its next line to the end, the other processes running
// meanwhile.
void Launcher::script_turn(Task &task) {
    Task::Script &script = *task.script;
    std::optional<std::string> line;
    while (!line && script.at < script.text.size()) line = next_script_line(script.text, script.at);
    if (!line || scheduler_.deadlocked()) return scheduler_.end(task, {});
    if (limits_.out_of_instructions() || limits_.out_of_time()) {
        reports_.stopped(task.name); // the lines left won't run
        return scheduler_.end(task, {});
    }
    const int pid = task.pid;
    task.state = Task::State::Held;
    task.wait.what = "waits for the program its script line runs";
    Process *outer = std::exchange(requester_, nullptr); // no engine to lend
    run_line(*line, script.cwd, script.depth + 1);
    requester_ = outer;
    if (Task *still = tasks_.find(pid); still != nullptr && still->state == Task::State::Held) {
        still->state = Task::State::Ready;
        still->wait = {};
    }
}

} // namespace vekos
