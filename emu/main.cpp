// vekos-emu: runs vekos programs on the host, standing in for the vekos kernel.
#include "kernel/kernel.h"
#include "kernel/trace.h"
#include "options.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kUsageStatus = 2;
constexpr int kInternalErrorStatus = 125;

} // namespace

int main(int argc, char **argv) {
    vekos::ParsedOptions parsed = vekos::parse_options(argc, argv);
    if (parsed.exit_status) return *parsed.exit_status;
    const vekos::EmuOptions &options = parsed.options;

    auto fs = vekos::RootFs::open(options.root);
    if (!fs) {
        std::fprintf(stderr, "vekos-emu: --root %s: not a folder\n", options.root.c_str());
        return kUsageStatus;
    }
    std::string cwd = vekos::RootFs::normalize("/", options.cwd);
    if (!fs->is_folder(cwd)) {
        std::fprintf(stderr, "vekos-emu: --cwd %s: not a folder inside the root\n",
                     options.cwd.c_str());
        return kUsageStatus;
    }
    // Transparent huge pages make each engine's code buffer cost a 2 MiB clear.
    prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);

    vekos::HostConsole console;
    vekos::Kernel kernel(std::move(*fs), console,
                         {options.max_instructions, options.timeout_seconds});
    vekos::TraceObserver tracer(console);
    if (options.trace) kernel.add_observer(&tracer);
    int status;
    try {
        status = kernel.run_main(options.argv, cwd);
    } catch (const std::exception &error) {
        // The host ran out of something (memory, mappings); not the guest's doing.
        console.flush();
        std::fprintf(stderr, "vekos-emu: %s\n", error.what());
        status = kInternalErrorStatus;
    }
    console.flush();
    // Tearing the engine down costs more than the whole guest run: let the host reclaim it.
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(status);
}
