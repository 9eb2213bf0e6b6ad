#include "host/internal_error.h"

#include "host/console.h"

#include <signal.h>
#include <unistd.h>

namespace vekos {
namespace {

struct Named {
    int signal;
    const char *line;
};
constexpr Named kSignals[] = {
    {SIGSEGV, "vekos-emu: internal error: SIGSEGV\n"},
    {SIGBUS, "vekos-emu: internal error: SIGBUS\n"},
    {SIGILL, "vekos-emu: internal error: SIGILL\n"},
    {SIGFPE, "vekos-emu: internal error: SIGFPE\n"},
    {SIGABRT, "vekos-emu: internal error: SIGABRT\n"},
};

alignas(16) char g_handler_stack[64 * 1024];

void on_internal_error(int signal) {
    write_pending_console_output();
    for (const Named &s : kSignals)
        if (s.signal == signal) write_stderr(s.line);
    _exit(kStatusInternalError);
}

} // namespace

void report_internal_errors() {
    stack_t stack{};
    stack.ss_sp = g_handler_stack;
    stack.ss_size = sizeof g_handler_stack;
    sigaltstack(&stack, nullptr);
    struct sigaction action {};
    action.sa_handler = &on_internal_error;
    action.sa_flags = SA_ONSTACK | SA_RESETHAND;
    sigfillset(&action.sa_mask);
    for (const Named &s : kSignals) sigaction(s.signal, &action, nullptr);
}

} // namespace vekos
