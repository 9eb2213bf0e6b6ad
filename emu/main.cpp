// vekos-emu: runs vekos programs on the host, standing in for the vekos kernel.
#include "kernel/kernel.h"
#include "kernel/trace.h"

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

#ifndef VEKOS_VERSION
#define VEKOS_VERSION "0.0.0"
#endif

namespace {

constexpr int kUsageStatus = 2;
constexpr int kInternalErrorStatus = 125;

const char kUsage[] =
    "Usage: vekos-emu [options] PROGRAM [ARGS...]\n"
    "Runs a vekos program (.uelf .vek .bin .flat, or a .shell script) with ARGS.\n"
    "PROGRAM is looked up in the guest's folder \"/\", then in /bin.\n"
    "\n"
    "Options:\n"
    "  --root DIR              the folder the program sees as \"/\" (default: .)\n"
    "  --trace                 show each trap on stderr\n"
    "  --max-instructions N    stop a program after N instructions (status 124)\n"
    "  --help                  show this help\n"
    "  --version               show the version\n"
    "  --                      end of options\n"
    "\n"
    "Exit status: the program's own (low 8 bits), 127 when it can't be loaded,\n"
    "139 when it faults, 124 when it is stopped, 2 for usage errors, 125 when the\n"
    "host fails, 130, 143 or 129 after SIGINT, SIGTERM or SIGHUP.\n";

// The reason and the synopsis; the whole help is one --help away.
int usage_error(const std::string &message) {
    std::fprintf(stderr,
                 "vekos-emu: %s\nUsage: vekos-emu [options] PROGRAM [ARGS...]\n"
                 "Try 'vekos-emu --help' for more.\n",
                 message.c_str());
    return kUsageStatus;
}

std::optional<uint64_t> parse_count(const char *text) {
    if (text == nullptr || *text < '0' || *text > '9') return std::nullopt;
    errno = 0;
    char *end;
    unsigned long long n = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || n == 0) return std::nullopt;
    return n;
}

} // namespace

int main(int argc, char **argv) {
    std::string root = ".";
    bool trace = false;
    vekos::KernelOptions options;
    int i = 1;
    for (; i < argc; i++) {
        std::string arg = argv[i];
        auto value = [&](const char *option) -> const char * {
            size_t n = std::strlen(option);
            if (arg.size() > n && arg.compare(0, n, option) == 0 && arg[n] == '=')
                return argv[i] + n + 1;
            return i + 1 < argc ? argv[++i] : nullptr;
        };
        auto is = [&](const char *option) {
            size_t n = std::strlen(option);
            return arg == option ||
                   (arg.compare(0, n, option) == 0 && arg.size() > n && arg[n] == '=');
        };
        if (arg == "--") {
            i++;
            break;
        }
        if (arg.empty() || arg[0] != '-' || arg == "-") break; // options stop at PROGRAM
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("vekos-emu %s\n", VEKOS_VERSION);
            return 0;
        }
        if (arg == "--trace") {
            trace = true;
        } else if (is("--root")) {
            const char *dir = value("--root");
            if (dir == nullptr) return usage_error("option --root needs a folder");
            root = dir;
        } else if (is("--max-instructions")) {
            const char *text = value("--max-instructions");
            auto n = parse_count(text);
            if (!n)
                return usage_error(std::string("--max-instructions needs a positive number") +
                                   (text ? std::string(", not '") + text + "'" : ""));
            options.max_instructions = *n;
        } else {
            return usage_error("unknown option '" + arg + "'");
        }
    }
    if (i >= argc) return usage_error("no PROGRAM given");

    auto fs = vekos::RootFs::open(root);
    if (!fs) {
        std::fprintf(stderr, "vekos-emu: --root %s: not a folder\n", root.c_str());
        return kUsageStatus;
    }
    // Transparent huge pages make each engine's code buffer cost a 2 MiB clear.
    prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);

    vekos::HostConsole console;
    vekos::Kernel kernel(std::move(*fs), console, options);
    vekos::TraceObserver tracer(console);
    if (trace) kernel.add_observer(&tracer);
    int status;
    try {
        status = kernel.run_main(std::vector<std::string>(argv + i, argv + argc));
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
