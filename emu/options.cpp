#include "options.h"

#include "common/escape.h"
#include "common/exit_status.h"
#include "kernel/limit_values.h"
#include "kernel/process.h"
#include "kernel/trap_table.h"
#include "loader/programs.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#ifndef VEKOS_VERSION
#define VEKOS_VERSION "0.0.0"
#endif

namespace vekos {
namespace {

// The whole help; usage_text() fills in the kinds of program and the exit statuses from
// their own lists.
const char kUsage[] =
    "Usage: vekos-emu [options] PROGRAM [ARGS...]\n"
    "       vekos-emu [options] --replay FILE\n"
    "Runs a vekos program ({kinds}) with ARGS.\n"
    "PROGRAM with a slash that names a host file is loaded from there; otherwise it is\n"
    "looked up in the guest's starting folder, then in /bin.\n"
    "\n"
    "Options:\n"
    "  --root DIR              the folder the program sees as \"/\" (default: .)\n"
    "  --cwd DIR               the guest's starting folder, inside the root (default: /)\n"
    "  --trace[=NAMES]         show each trap on stderr, or only those named (open,write)\n"
    "  --trace-file FILE       write the trace to FILE instead (implies --trace): a\n"
    "                          regular file or a character device (a terminal,\n"
    "                          /dev/null); a FIFO or socket is refused\n"
    "  --trace-time            start trace lines with the seconds since the start\n"
    "  -g, --gdb PORT          wait for gdb on 127.0.0.1:PORT before the first instruction\n"
    "                          (0: any free port, shown on stderr); programs it starts\n"
    "                          by run requests run unwatched\n"
    "  --checkpoint-memory MIB memory for the checkpoints that let gdb run a replayed\n"
    "                          program backwards, in MiB (default 256); past it, older\n"
    "                          checkpoints thin out and going back far re-runs more\n"
    "  --max-instructions N    stop the run after N instructions in all (status {limit});\n"
    "                          each run request or script line costs 10000\n"
    "  --timeout SECONDS       stop the run after SECONDS of wall-clock time, sleeps and\n"
    "                          the wait for gdb included (status {limit}); decimals allowed\n"
    "  --stack SIZE            the stack of each program it starts, in bytes or with K or\n"
    "                          M (default {stack}, from {min stack} to {max stack})\n"
    "  --max-memory SIZE       memory that mappings and unfinished streamed files of all\n"
    "                          programs may hold at once, in bytes or with K, M or G\n"
    "                          (default: no limit beyond 64M per program)\n"
    "  --coverage FILE         at the end, add each source line's executions to the lcov\n"
    "                          tracefile FILE (merged under a lock with what it holds; a\n"
    "                          regular file of at most 64 MiB), or write one of its own\n"
    "                          into FILE when it is a folder\n"
    "  --profile FILE          at the end, write a callgrind profile to FILE (guest\n"
    "                          instructions per line and function, calls, host time in\n"
    "                          traps) and its folded stacks to FILE.folded (regular files)\n"
    "  --profile-summary       at the end, show the costliest functions on stderr\n"
    "  --record FILE           write everything the run takes from outside to FILE (trap\n"
    "                          results and bytes, time-stamp reads, program files, the\n"
    "                          command line), to replay it exactly\n"
    "  --replay FILE           run the recording in FILE again, without the host's files,\n"
    "                          console input or clock (no PROGRAM; its limits are the\n"
    "                          recording's, but for a --timeout given, and none under\n"
    "                          --gdb); a replay that leaves the recording stops at once\n"
    "                          and says where (status {internal})\n"
    "  --replay-check          with --replay: compare the output with the recording's\n"
    "                          instead of printing it, and say whether it matched\n"
    "  --help                  show this help\n"
    "  --version               show the version\n"
    "  --                      end of options\n"
    "An option given twice takes its last value; every value must be valid.\n"
    "\n"
    "Exit status: the program's own (low 8 bits), {not run} when it can't be loaded,\n"
    "{fault} when it faults, {limit} when it is stopped or deadlocks, {killed} when gdb\n"
    "kills it, {usage} for usage "
    "errors, {internal} when the host fails, {SIGINT}, {SIGTERM} or {SIGHUP} after SIGINT, "
    "SIGTERM or SIGHUP.\n"
    "A trace that can't be written is reported once and turns status 0 into {internal};\n"
    "any other status stays.\n";

// A size as --stack takes it: "64K", "1M".
std::string size_text(uint32_t bytes) {
    return bytes % (1 << 20) == 0 ? std::to_string(bytes >> 20) + "M"
                                  : std::to_string(bytes >> 10) + "K";
}

// "4M", "512K", "1G" or a number of bytes; nullopt when it isn't one.
std::optional<uint64_t> size_bytes(const std::string &text) {
    size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
    std::string suffix = text.substr(digits);
    uint64_t unit = suffix.empty()                   ? 1
                    : suffix == "K" || suffix == "k" ? 1 << 10
                    : suffix == "M" || suffix == "m" ? 1 << 20
                    : suffix == "G" || suffix == "g" ? 1 << 30
                                                     : 0;
    if (digits == 0 || digits > 10 || unit == 0) return std::nullopt;
    return std::stoull(text.substr(0, digits)) * unit;
}

uint64_t whole_pages(uint64_t bytes) {
    return (bytes + kPageSize - 1) & ~uint64_t(kPageSize - 1);
}

// A --stack size: from kMinStackSize to kMaxStackSize as given, then rounded up to whole
// pages (which keeps it within them).
std::optional<uint32_t> stack_bytes(const std::string &text) {
    auto bytes = size_bytes(text);
    if (!bytes || *bytes < kMinStackSize || *bytes > kMaxStackSize) return std::nullopt;
    return uint32_t(whole_pages(*bytes));
}

// A --max-memory size, rounded up to whole pages.
std::optional<uint64_t> memory_bytes(const std::string &text) {
    auto bytes = size_bytes(text);
    if (!bytes || !valid_memory_limit(whole_pages(*bytes))) return std::nullopt;
    return whole_pages(*bytes);
}

std::string memory_size(const std::string &text) {
    if (memory_bytes(text)) return "";
    return "needs a positive size (bytes, or with K, M or G), not '" + text + "'";
}

std::string stack_size(const std::string &text) {
    if (stack_bytes(text)) return "";
    return "needs a size from " + size_text(kMinStackSize) + " to " + size_text(kMaxStackSize) +
           " (bytes, or with K or M), not '" + text + "'";
}

std::string usage_text() {
    auto status = [](int value) { return std::to_string(value); };
    const std::pair<std::string_view, std::string> fills[] = {
        {"{kinds}", program_kinds_summary()},
        {"{stack}", size_text(kStackSize)},
        {"{min stack}", size_text(kMinStackSize)},
        {"{max stack}", size_text(kMaxStackSize)},
        {"{limit}", status(kStatusLimit)},
        {"{not run}", status(kStatusNotRun)},
        {"{fault}", status(kStatusFault)},
        {"{killed}", status(kStatusKilled)},
        {"{usage}", status(kStatusUsage)},
        {"{internal}", status(kStatusInternalError)},
        {"{SIGINT}", status(status_after_signal(SIGINT))},
        {"{SIGTERM}", status(status_after_signal(SIGTERM))},
        {"{SIGHUP}", status(status_after_signal(SIGHUP))}};
    std::string text = kUsage;
    for (const auto &[name, value] : fills)
        for (size_t at; (at = text.find(name)) != std::string::npos;)
            text.replace(at, name.size(), value);
    return text;
}

// The reason, on one line with the values it quotes escaped, and the synopsis; the whole help
// is one --help away.
ParsedOptions usage_error(const std::string &message) {
    std::fprintf(stderr,
                 "vekos-emu: %s\nUsage: vekos-emu [options] PROGRAM [ARGS...]\n"
                 "Try 'vekos-emu --help' for more.\n",
                 escape_bytes(message, Escapes::C).c_str());
    return {{}, kStatusUsage};
}

std::string positive_count(const std::string &text) {
    bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    if (digits && text.size() <= 19 && valid_instruction_limit(std::stoull(text))) return "";
    return "needs a positive number, not '" + text + "'";
}

// Whole MiB, up to a TiB.
std::string mebibytes(const std::string &text) {
    bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    if (digits && text.find_first_not_of('0') != std::string::npos && text.size() <= 7 &&
        std::stoul(text) <= (1u << 20))
        return "";
    return "needs a number of MiB from 1 to 1048576, not '" + text + "'";
}

std::string port_number(const std::string &text) {
    bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    if (digits && text.size() <= 5 && std::stoul(text) <= 65535) return "";
    return "needs a port number (0 to 65535), not '" + text + "'";
}

// "open,write" as its names; "open," and ",open" hold an empty one.
std::vector<std::string> split_names(const std::string &text) {
    std::vector<std::string> names;
    size_t start = 0;
    for (size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1)
        names.push_back(text.substr(start, comma - start));
    names.push_back(text.substr(start));
    return names;
}

// --trace=open,write: names of traps in the table.
std::string trap_names(const std::string &text) {
    for (const std::string &name : split_names(text)) {
        if (name.empty()) return "an empty name in '" + text + "'";
        if (find_trap(std::string_view(name)) == nullptr)
            return "'" + name + "' is not the name of a trap";
    }
    return "";
}

std::string positive_seconds(const std::string &text) {
    const char *begin = text.c_str();
    char *end = nullptr;
    bool plain = !text.empty() && text.find_first_not_of("0123456789.") == std::string::npos;
    double seconds = plain ? std::strtod(begin, &end) : 0;
    if (plain && end == begin + text.size() && valid_timeout(seconds)) return "";
    return "needs a positive number of seconds, not '" + text + "'";
}

} // namespace

ParsedOptions parse_options(int argc, char **argv) {
    ParsedOptions parsed;
    EmuOptions &o = parsed.options;
    CLI::App app{"", "vekos-emu"};
    app.set_help_flag();
    bool help = false, version = false;
    // An option given without its value.
    const std::pair<const char *, const char *> kMissing[] = {
        {"--root", "option --root needs a folder"},
        {"--cwd", "option --cwd needs a folder"},
        {"--max-instructions", "--max-instructions needs a positive number"},
        {"--trace-file", "option --trace-file needs a file"},
        {"--gdb", "option --gdb needs a port number"},
        {"--checkpoint-memory", "--checkpoint-memory needs a number of MiB"},
        {"--timeout", "--timeout needs a number of seconds"},
        {"--stack", "--stack needs a size"},
        {"--max-memory", "--max-memory needs a size"},
        {"--coverage", "option --coverage needs a file"},
        {"--profile", "option --profile needs a file"},
        {"--record", "option --record needs a file"},
        {"--replay", "option --replay needs a file"}};
    // One rule for every option given twice: the last value counts, as with most tools (a
    // wrapper's options can be overridden by appending); each value is checked all the same.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_flag("-h,--help", help);
    app.add_flag("--version", version);
    std::string traced;
    // A value only with '=': a word after --trace is the PROGRAM.
    app.add_flag("--trace{all}", traced)->check([](const std::string &text) {
        return text == "all" ? "" : trap_names(text);
    });
    app.add_option("--trace-file", o.trace_file);
    app.add_flag("--trace-time", o.trace_time);
    app.add_option("-g,--gdb", o.gdb_port)->check(port_number);
    app.add_option("--checkpoint-memory", o.checkpoint_mib)->check(mebibytes);
    app.add_option("--root", o.root);
    app.add_option("--cwd", o.cwd);
    app.add_option("--max-instructions", o.max_instructions)->check(positive_count);
    app.add_option("--timeout", o.timeout_seconds)->check(positive_seconds);
    std::string stack;
    app.add_option("--stack", stack)->check(stack_size);
    std::string max_memory;
    app.add_option("--max-memory", max_memory)->check(memory_size);
    app.add_option("--coverage", o.coverage_file);
    app.add_option("--profile", o.profile_file);
    app.add_flag("--profile-summary", o.profile_summary);
    app.add_option("--record", o.record_file);
    app.add_option("--replay", o.replay_file);
    app.add_flag("--replay-check", o.replay_check);
    app.prefix_command(); // options stop at PROGRAM
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        std::string text = error.what();
        for (const auto &[name, message] : kMissing)
            if (error.get_name() == "ArgumentMismatch" &&
                text.rfind(std::string(name) + ":", 0) == 0)
                return usage_error(message);
        return usage_error(text);
    }
    if (help) {
        std::fputs(usage_text().c_str(), stdout);
        return {{}, 0};
    }
    if (version) {
        std::printf("vekos-emu %s\n", VEKOS_VERSION);
        return {{}, 0};
    }
    o.argv = app.remaining();
    // CLI11 gives "--trace=" the value of a bare --trace: told apart among the options here.
    const auto options_end = argv + (argc - std::ptrdiff_t(o.argv.size()));
    if (std::find(argv + 1, options_end, std::string_view("--trace=")) != options_end)
        return usage_error("--trace: no names after '=' (--trace alone shows every trap)");
    if (traced != "all" && !traced.empty()) o.trace_only = split_names(traced);
    o.trace = !traced.empty() || !o.trace_file.empty() || o.trace_time;
    if (!stack.empty()) o.stack_size = stack_bytes(stack);
    if (!max_memory.empty()) o.max_memory = *memory_bytes(max_memory);
    // "--trace open prog": a word after --trace is the PROGRAM, and a trap's name never is one.
    if (!o.argv.empty() && options_end[-1] == std::string_view("--trace") &&
        trap_names(o.argv[0]).empty() && !program_kind(o.argv[0]) &&
        o.argv[0].find('/') == std::string::npos)
        return usage_error("'" + o.argv[0] + "' is not a program; to trace only those traps, " +
                           "write --trace=" + o.argv[0]);
    if (!o.argv.empty() && o.argv[0] == "--")
        o.argv.erase(o.argv.begin());
    else if (!o.argv.empty() && o.argv[0].size() > 1 && o.argv[0][0] == '-')
        return usage_error("unknown option '" + o.argv[0] + "'");
    if (!o.replay_file.empty()) {
        if (!o.argv.empty()) return usage_error("--replay takes its program from the recording");
        if (!o.record_file.empty()) return usage_error("--record and --replay go apart");
        return parsed;
    }
    if (o.replay_check) return usage_error("--replay-check needs --replay");
    if (o.argv.empty()) return usage_error("no PROGRAM given");
    return parsed;
}

} // namespace vekos
