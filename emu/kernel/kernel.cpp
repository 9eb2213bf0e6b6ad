#include "kernel/kernel.h"

#include "common/escape.h"
#include "kernel/fault_report.h"
#include "profile/collector.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

namespace vekos {
namespace {

constexpr size_t kMaxScript = 1 << 20;

std::vector<std::string> split_words(std::string_view line) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < line.size()) {
        size_t start = line.find_first_not_of(' ', at);
        if (start == std::string_view::npos) break;
        size_t end = std::min(line.find(' ', start), line.size());
        words.emplace_back(line.substr(start, end - start));
        at = end;
    }
    return words;
}

// The program `name` read whole: a regular file in the current folder, else in /bin. A name
// that leads out of the root says so.
Result<std::vector<uint8_t>> read_program(const RootFs &fs, const std::string &cwd,
                                          std::string_view name, size_t max) {
    int outside = 0;
    for (const std::string &folder : {cwd, std::string("/bin")}) {
        auto place = fs.locate(folder, name);
        if (place && place->exists && place->type == S_IFREG)
            return read_file_at(place->folder.get(), place->name, max);
        if (!place && place.failure().code == kOutsideRoot) outside++;
    }
    return Failure{outside > 0 ? "outside the root" : "no such program"};
}

} // namespace

Kernel::Kernel(RootFs fs, Console &console, KernelOptions options)
    : fs_(std::move(fs)), console_(console), options_(options), engine_(std::make_unique<Engine>()),
      limits_(*engine_, options.max_instructions,
              std::chrono::duration<double>(options.timeout_seconds)),
      services_{*engine_, traps_,  fs_,    changes_,          console_,
                *this,    limits_, fifos_, options.stack_size} {
    limits_.memory().limit = options.max_memory;
}

Kernel::~Kernel() {
    console_.flush();
}

void Kernel::stopped(std::string_view name) {
    if (std::exchange(stopped_, true)) return;
    if (limits_.out_of_time()) {
        console_.flush();
        double seconds = options_.timeout_seconds > 0 ? options_.timeout_seconds
                                                      : limits_.call_timeout().count();
        char text[64];
        std::snprintf(text, sizeof text, "stopped after %g seconds", seconds);
        report(name, text);
        return;
    }
    report(name, "stopped after " + std::to_string(limits_.instructions().limit) + " instructions");
}

// The message may carry guest-chosen names too (a symbol in a fault description).
void Kernel::report(std::string_view name, std::string_view message) {
    console_.flush();
    std::string shown_name = escape_bytes(name, Escapes::C);
    std::string shown_message = escape_bytes(message, Escapes::C);
    std::fprintf(stderr, "vekos-emu: %s: %s\n", shown_name.c_str(), shown_message.c_str());
}

Result<std::unique_ptr<Process>> Kernel::load_image(const std::string &host_path, ProgramKind kind,
                                                    const std::vector<std::string> &argv,
                                                    const std::string &cwd, int depth) {
    if (kind == ProgramKind::Script) return Failure{not_a_program(true)};
    auto file = read_host_file(host_path, kMaxImageFile);
    if (!file) return Failure{file.error()};
    return load_image(*file, kind, argv, cwd, depth);
}

Result<std::unique_ptr<Process>> Kernel::load_image(const std::vector<uint8_t> &file,
                                                    ProgramKind kind,
                                                    const std::vector<std::string> &argv,
                                                    const std::string &cwd, int depth) {
    if (kind == ProgramKind::Script) return Failure{not_a_program(true)};
    auto image = kind == ProgramKind::Elf ? parse_elf_image(file) : parse_flat_image(file);
    if (!image) return Failure{image.error()};
    auto process = Process::create(services_, argv.at(0), *image, cwd, depth);
    if (process && !(*process)->set_arguments(argv)) return Failure{"argument list too long"};
    if (process && collector_)
        (*process)->set_block_counter(collector_->counter(file, argv.at(0), (*process)->memory()));
    return process;
}

Kernel::Ran Kernel::run_words(const std::vector<std::string> &words, const std::string &cwd,
                              int depth, const std::string *host_path) {
    const std::string &name = words.at(0);
    auto kind = program_kind(name);
    // A host file may be an image by its content alone (`vekos-cc -o test1`).
    if (!kind && !host_path) {
        report(name, not_a_program());
        return {false, kStatusNotRun};
    }
    const size_t max = kind == ProgramKind::Script ? kMaxScript : kMaxImageFile;
    auto file = host_path ? read_host_file(*host_path, max) : read_program(fs_, cwd, name, max);
    if (!file) {
        report(name, file.error());
        return {false, kStatusNotRun};
    }
    if (host_path) kind = host_program_kind(name, *file);
    if (!kind) {
        report(name, not_a_program());
        return {false, kStatusNotRun};
    }
    if (*kind == ProgramKind::Script) return run_script(name, *file, cwd, depth);
    auto loaded = load_image(*file, *kind, words, cwd, depth);
    if (!loaded) {
        report(name, loaded.error());
        return {false, kStatusNotRun};
    }
    std::unique_ptr<Process> process = std::move(*loaded);
    const int pid = next_pid_++;
    console_.flush();
    process->start();
    Outcome outcome = depth == 0 && debugger_ ? debugger_->run(*process) : process->run();
    console_.flush();
    // The first program's memory stays mapped until the kernel goes: vekos-emu exits right
    // after it, and unmapping costs a translation-cache flush per page.
    Process &finished = *process;
    if (depth == 0) first_program_ = std::move(process);
    switch (outcome.kind) {
    case Outcome::Kind::Exited:
        return {true, outcome.status & 0xff};
    case Outcome::Kind::Limit:
        stopped(name);
        return {true, kStatusLimit};
    case Outcome::Kind::Killed:
    case Outcome::Kind::Paused: // a debugger leaves no program paused
        report(name, "killed from the debugger");
        return {true, kStatusKilled};
    case Outcome::Kind::Waiting: // no other process runs meanwhile: it waits forever
        // The parent of a run request waits on this one, already reported.
        if (!std::exchange(deadlocked_, true))
            report("deadlock", name + " (pid " + std::to_string(pid) + ") " + outcome.waits);
        return {true, kStatusDeadlock};
    case Outcome::Kind::Returned: // reached kNoUntil: a jump to 0xffffffff
        outcome.fault = {FaultKind::FetchUnmapped, kNoUntil, kNoUntil, 0};
        [[fallthrough]];
    case Outcome::Kind::Faulted:
        report(name, finished.describe(outcome.fault));
        if (*kind == ProgramKind::Elf)
            std::fputs(fault_backtrace(finished, *engine_, outcome.fault, *file).c_str(), stderr);
        break;
    }
    return {true, kStatusFault};
}

// Every line runs, whatever the previous ones gave: a script is a list of commands, not a
// program with error handling. The script counts as run once it could be read.
Kernel::Ran Kernel::run_script(const std::string &name, const std::vector<uint8_t> &text,
                               const std::string &cwd, int depth) {
    std::string_view rest(reinterpret_cast<const char *>(text.data()), text.size());
    while (!rest.empty() && !deadlocked_) {
        if (limits_.out_of_instructions() || limits_.out_of_time()) {
            stopped(name); // the lines left won't run
            break;
        }
        size_t end = std::min(rest.find('\n'), rest.size());
        std::string_view line = rest.substr(0, end);
        rest = end < rest.size() ? rest.substr(end + 1) : std::string_view();
        size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string_view::npos || line[first] == '#') continue;
        size_t last = line.find_last_not_of(" \t\r");
        run_line(std::string(line.substr(first, last - first + 1)), cwd, depth + 1);
    }
    return {true, 0};
}

int32_t Kernel::run_line(const std::string &line, const std::string &cwd, int depth) {
    std::vector<std::string> words = split_words(line);
    if (words.empty()) return -1;
    if (!limits_.charge_run() || limits_.out_of_time()) { // refused lines cost too
        stopped(words[0]);
        return -1;
    }
    if (depth > kMaxNesting) {
        report(words[0], "run requests nested deeper than " + std::to_string(kMaxNesting));
        return -1;
    }
    return run_words(words, cwd, depth).started ? 0 : -1;
}

// The parent leaves the engine only when a child may really run.
int32_t Kernel::run_request(Process &parent, const std::string &line) {
    const int depth = parent.depth() + 1;
    if (split_words(line).empty() || depth > kMaxNesting)
        return run_line(line, parent.cwd(), depth);
    Process::Suspension away(parent);
    return run_line(line, parent.cwd(), depth);
}

int Kernel::run_main(const std::vector<std::string> &argv, const std::string &cwd) {
    // A name with a slash that names a host file is that file, wherever it lies; the
    // programs it runs are found inside the root as usual. A FIFO or device there is that
    // file too, refused by the reader as not a regular file.
    const std::string &name = argv.at(0);
    struct stat st;
    bool host_file =
        name.find('/') != std::string::npos && stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
    int status = run_words(argv, cwd, 0, host_file ? &name : nullptr).status;
    return stopped_ ? kStatusLimit : deadlocked_ ? kStatusDeadlock : status;
}

} // namespace vekos
