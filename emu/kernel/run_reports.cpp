#include "kernel/run_reports.h"

#include "common/escape.h"
#include "common/exit_status.h"
#include "kernel/fault_report.h"

#include <cstdio>
#include <string>
#include <utility>

namespace vekos {

// The message may carry guest-chosen names too (a symbol in a fault description).
void RunReports::report(std::string_view name, std::string_view message) {
    console_.flush();
    std::string shown_name = escape_bytes(name, Escapes::C);
    std::string shown_message = escape_bytes(message, Escapes::C);
    std::fprintf(stderr, "vekos-emu: %s: %s\n", shown_name.c_str(), shown_message.c_str());
}

void RunReports::stopped(std::string_view name) {
    if (std::exchange(stopped_, true)) return;
    if (limits_.out_of_time()) {
        console_.flush();
        double seconds = timeout_seconds_ > 0 ? timeout_seconds_ : limits_.call_timeout().count();
        char text[64];
        std::snprintf(text, sizeof text, "stopped after %g seconds", seconds);
        report(name, text);
        return;
    }
    report(name, "stopped after " + std::to_string(limits_.instructions().limit) + " instructions");
}

int RunReports::ended(const Task &task, Outcome &outcome, const TaskTable &tasks) {
    switch (outcome.kind) {
    case Outcome::Kind::Exited:
        return outcome.status & 0xff;
    case Outcome::Kind::Limit:
        stopped(task.name);
        return kStatusLimit;
    case Outcome::Kind::Killed:
    case Outcome::Kind::Paused: // a debugger leaves no program paused
    case Outcome::Kind::Sliced: // nor does it give up its turn
        report(tasks.shown_name(task), "killed from the debugger");
        return kStatusKilled;
    case Outcome::Kind::Waiting:
        return kStatusDeadlock;
    case Outcome::Kind::Returned: // reached kNoUntil: a jump to 0xffffffff
        outcome.fault = {FaultKind::FetchUnmapped, kNoUntil, kNoUntil, 0};
        [[fallthrough]];
    case Outcome::Kind::Faulted:
        report(tasks.shown_name(task), task.process->describe(outcome.fault));
        if (task.elf)
            std::fputs(
                fault_backtrace(*task.process, task.process->engine(), outcome.fault, *task.elf)
                    .c_str(),
                stderr);
        break;
    }
    return kStatusFault;
}

} // namespace vekos
