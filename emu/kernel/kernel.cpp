#include "kernel/kernel.h"

#include "kernel/fault_report.h"
#include "testing/test_hooks.h"

#include <chrono>
#include <cstdio>
#include <utility>

namespace vekos {

Kernel::Kernel(RootFs fs, Console &console, KernelOptions options)
    : fs_(std::move(fs)), console_(console), options_(options), engine_(std::make_unique<Engine>()),
      limits_(*engine_, options.max_instructions,
              std::chrono::duration<double>(options.timeout_seconds)),
      services_{engine_.get(), traps_,  fs_,    changes_, console_,
                *this,         limits_, fifos_, tasks_,   options.stack_size},
      reports_(console_, limits_, options.timeout_seconds), engines_(*engine_),
      scheduler_(tasks_, engines_, limits_, console_, reports_, launcher_),
      launcher_(fs_, console_, limits_, services_, engines_, tasks_, scheduler_, reports_) {
    limits_.memory().limit = options.max_memory;
}

Kernel::~Kernel() {
    console_.flush();
}

void Kernel::set_journal(RunJournal *journal, bool replaying) {
    launcher_.set_journal(journal);
    scheduler_.set_journal(journal);
    traps_.set_journal(journal);
    services_.replaying = replaying;
}

bool Kernel::show_backtrace(Process &process, uint32_t from) {
    Debugger *debugger = launcher_.debugger();
    Debugger::ReportTurn turn = debugger ? debugger->on_report(process) : Debugger::ReportTurn{};
    const Task *task = tasks_.find(process.pid());
    if (turn.show && task != nullptr && task->elf) {
        console_.flush(); // under the report's line
        std::fputs(report_backtrace(process, process.engine(), from, *task->elf).c_str(), stderr);
    }
    return turn.stop;
}

// The processes and traps hold the kernel's RootFs by reference: it is replaced in place.
void TestHooks::set_fs(Kernel &kernel, RootFs fs) {
    kernel.fs_ = std::move(fs);
}

} // namespace vekos
