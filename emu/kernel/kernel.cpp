#include "kernel.h"

#include "programs.h"

#include <algorithm>
#include <cstdio>

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

} // namespace

Kernel::Kernel(RootFs fs, Console &console, KernelOptions options)
    : fs_(std::move(fs)), console_(console), options_(options),
      engine_(std::make_unique<Engine>()) {}

Kernel::~Kernel() {
    console_.flush();
}

void Kernel::remove_observer(TrapObserver *observer) {
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void Kernel::report(std::string_view name, std::string_view message) {
    console_.flush();
    std::fprintf(stderr, "vekos-emu: %.*s: %.*s\n", int(name.size()), name.data(),
                 int(message.size()), message.data());
}

std::unique_ptr<Process> Kernel::load(const std::vector<std::string> &argv, const std::string &cwd,
                                      int depth, std::string *error) {
    const std::string &name = argv.at(0);
    auto kind = program_kind(name);
    if (!kind || *kind == ProgramKind::Script) {
        *error = "not a program (expected .uelf, .vek, .bin or .flat)";
        return nullptr;
    }
    auto host = find_program(fs_, cwd, name);
    if (!host) {
        *error = "no such program";
        return nullptr;
    }
    return load_file(*host, argv, cwd, depth, error);
}

std::unique_ptr<Process> Kernel::load_file(const std::string &host_path,
                                           const std::vector<std::string> &argv,
                                           const std::string &cwd, int depth, std::string *error) {
    const std::string &name = argv.at(0);
    auto kind = program_kind(host_path);
    if (!kind || *kind == ProgramKind::Script) {
        *error = "not a program (expected .uelf, .vek, .bin or .flat)";
        return nullptr;
    }
    auto file = read_host_file(host_path, kMaxImageFile, error);
    if (!file) return nullptr;
    ImageResult image =
        *kind == ProgramKind::Elf ? parse_elf_image(*file) : parse_flat_image(*file);
    if (auto *reason = std::get_if<std::string>(&image)) {
        *error = *reason;
        return nullptr;
    }
    auto process = Process::create(*this, name, std::get<Image>(image), cwd, depth, error);
    if (process && !process->set_arguments(argv)) {
        *error = "argument list too long";
        return nullptr;
    }
    return process;
}

Kernel::Ran Kernel::run_words(const std::vector<std::string> &words, const std::string &cwd,
                              int depth) {
    const std::string &name = words.at(0);
    if (program_kind(name) == ProgramKind::Script) {
        auto host = find_program(fs_, cwd, name);
        if (!host) {
            report(name, "no such program");
            return {false, kStatusNotRun};
        }
        return run_script(name, *host, cwd, depth);
    }
    std::string error;
    auto process = load(words, cwd, depth, &error);
    if (!process) {
        report(name, error);
        return {false, kStatusNotRun};
    }
    console_.flush();
    process->start();
    Outcome outcome = process->run();
    // The first program's memory stays mapped until the kernel goes: vekos-emu exits right
    // after it, and unmapping costs a translation-cache flush per page.
    Process &finished = *process;
    if (depth == 0) first_program_ = std::move(process);
    switch (outcome.kind) {
    case Outcome::Kind::Exited:
        return {true, outcome.status & 0xff};
    case Outcome::Kind::Limit:
        report(name, "stopped after " + std::to_string(finished.budget().limit) + " instructions");
        return {true, kStatusLimit};
    case Outcome::Kind::Returned: // reached kNoUntil: a jump to 0xffffffff
        outcome.fault = {FaultKind::FetchUnmapped, kNoUntil, kNoUntil, 0};
        [[fallthrough]];
    case Outcome::Kind::Faulted:
        report(name, finished.describe(outcome.fault));
        break;
    }
    return {true, kStatusFault};
}

// Every line runs, whatever the previous ones gave: a script is a list of commands, not a
// program with error handling. The script counts as run once it could be read.
Kernel::Ran Kernel::run_script(const std::string &name, const std::string &host_path,
                               const std::string &cwd, int depth) {
    std::string error;
    auto text = read_host_file(host_path, kMaxScript, &error);
    if (!text) {
        report(name, error);
        return {false, kStatusNotRun};
    }
    std::string_view rest(reinterpret_cast<const char *>(text->data()), text->size());
    while (!rest.empty()) {
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
    if (depth > kMaxNesting) {
        report(words[0], "run requests nested deeper than " + std::to_string(kMaxNesting));
        return -1;
    }
    return run_words(words, cwd, depth).started ? 0 : -1;
}

int32_t Kernel::run_request(Process &parent, const std::string &line) {
    if (split_words(line).empty() || parent.depth() + 1 > kMaxNesting)
        return run_line(line, parent.cwd(), parent.depth() + 1);
    parent.suspend();
    int32_t result = run_line(line, parent.cwd(), parent.depth() + 1);
    parent.resume();
    return result;
}

int Kernel::run_main(const std::vector<std::string> &argv) {
    return run_words(argv, "/", 0).status;
}

} // namespace vekos
