// vekos-emu: runs vekos programs on the host, standing in for the vekos kernel.
#include "gdb_session.h"
#include "kernel/kernel.h"
#include "kernel/trace.h"
#include "kernel/trap_table.h"
#include "options.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
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

    vekos::TraceSettings trace;
    std::unique_ptr<FILE, int (*)(FILE *)> trace_file(nullptr, std::fclose);
    if (!options.trace_file.empty()) {
        trace_file.reset(std::fopen(options.trace_file.c_str(), "we"));
        if (!trace_file) {
            std::fprintf(stderr, "vekos-emu: --trace-file %s: %s\n", options.trace_file.c_str(),
                         std::strerror(errno));
            return kUsageStatus;
        }
        setvbuf(trace_file.get(), nullptr, _IOLBF, 0);
        trace.out = trace_file.get();
    }
    for (const std::string &name : options.trace_only)
        trace.only.insert(vekos::find_trap(std::string_view(name))->number);
    trace.timestamps = options.trace_time;

    std::unique_ptr<vekos::debug::GdbStub> stub;
    if (options.gdb_port) {
        auto listening =
            vekos::debug::GdbStub::listen(*options.gdb_port, [](std::string_view note) {
                std::fprintf(stderr, "vekos-emu: %.*s\n", int(note.size()), note.data());
            });
        if (auto *error = std::get_if<std::string>(&listening)) {
            std::fprintf(stderr, "vekos-emu: --gdb %u: %s\n", unsigned(*options.gdb_port),
                         error->c_str());
            return kUsageStatus;
        }
        stub = std::move(std::get<0>(listening));
    }

    vekos::HostConsole console;
    vekos::Kernel kernel(std::move(*fs), console, {options.max_instructions});
    vekos::TraceObserver tracer(console, trace);
    if (options.trace) kernel.add_observer(&tracer);
    std::optional<vekos::GdbSession> gdb;
    if (stub) kernel.set_debugger(&gdb.emplace(std::move(stub), kernel.engine()));
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
