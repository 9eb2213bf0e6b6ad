#include "kernel/kernel.h"

#include "common/escape.h"
#include "kernel/fault_report.h"
#include "testing/test_hooks.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
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

Kernel::Kernel(RootFs fs, Console &console, KernelOptions options)
    : fs_(std::move(fs)), console_(console), options_(options), engine_(std::make_unique<Engine>()),
      limits_(*engine_, options.max_instructions,
              std::chrono::duration<double>(options.timeout_seconds)),
      slices_(limits_), services_{engine_.get(), traps_,  fs_,    changes_, console_,
                                  *this,         limits_, fifos_, *this,    options.stack_size} {
    limits_.memory().limit = options.max_memory;
}

// Processes still in the table (after a deadlock) go before the engines they ran on.
Kernel::~Kernel() {
    console_.flush();
    tasks_.clear();
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

// The processes and traps hold the kernel's RootFs by reference: it is replaced in place.
void TestHooks::set_fs(Kernel &kernel, RootFs fs) {
    kernel.fs_ = std::move(fs);
}

void Kernel::set_journal(RunJournal *journal, bool replaying) {
    journal_ = journal;
    traps_.set_journal(journal);
    services_.replaying = replaying;
}

Result<std::vector<uint8_t>> Kernel::program_file(std::string_view name,
                                                  const RunJournal::FileReader &read) {
    return journal_ ? journal_->program_file(name, read) : read();
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
                                                    ProgramKind kind, const std::string &name,
                                                    const std::vector<std::string> &argv,
                                                    const std::string &cwd, int depth,
                                                    Engine &engine) {
    if (kind == ProgramKind::Script) return Failure{not_a_program(true)};
    auto image = kind == ProgramKind::Elf ? parse_elf_image(file) : parse_flat_image(file);
    if (!image) return Failure{image.error()};
    ProcessServices services = services_;
    services.engine = &engine;
    auto process = Process::create(services, name, *image, cwd, depth);
    if (process && !(*process)->set_arguments(argv)) return Failure{"argument list too long"};
    if (process && counters_)
        (*process)->set_block_counter(counters_->counter(file, name, (*process)->memory()));
    return process;
}

std::string Kernel::shown_name(const Task &task) const {
    return several() ? task.name + " (pid " + std::to_string(task.pid) + ")" : task.name;
}

int Kernel::ended_status(Task &task, Outcome &outcome) {
    switch (outcome.kind) {
    case Outcome::Kind::Exited:
        return outcome.status & 0xff;
    case Outcome::Kind::Limit:
        stopped(task.name);
        return kStatusLimit;
    case Outcome::Kind::Killed:
    case Outcome::Kind::Paused: // a debugger leaves no program paused
    case Outcome::Kind::Sliced: // nor does it give up its turn
        report(shown_name(task), "killed from the debugger");
        return kStatusKilled;
    case Outcome::Kind::Waiting: // the debugged program waits with nothing left to run
        if (!deadlocked_) {
            task.wait = std::move(outcome.wait);
            report_deadlock(nullptr);
        }
        return kStatusDeadlock;
    case Outcome::Kind::Returned: // reached kNoUntil: a jump to 0xffffffff
        outcome.fault = {FaultKind::FetchUnmapped, kNoUntil, kNoUntil, 0};
        [[fallthrough]];
    case Outcome::Kind::Faulted:
        report(shown_name(task), task.process->describe(outcome.fault));
        if (task.elf)
            std::fputs(
                fault_backtrace(*task.process, task.process->engine(), outcome.fault, *task.elf)
                    .c_str(),
                stderr);
        break;
    }
    return kStatusFault;
}

bool Kernel::show_backtrace(Process &process, uint32_t from) {
    Debugger::ReportTurn turn = debugger_ ? debugger_->on_report(process) : Debugger::ReportTurn{};
    const Task *task = find_task(process.pid());
    if (turn.show && task != nullptr && task->elf) {
        console_.flush(); // under the report's line
        std::fputs(report_backtrace(process, process.engine(), from, *task->elf).c_str(), stderr);
    }
    return turn.stop;
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
    auto file = program_file(name, [&] {
        return host_path ? read_host_file(*host_path, max) : read_program(fs_, cwd, name, max);
    });
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
    const bool first = depth == 0 && next_pid_ == 1;
    const bool borrowed = !first && requester_ != nullptr;
    Engine &engine = first ? *engine_ : borrowed ? requester_->engine() : take_engine();
    auto loaded = load_image(*file, *kind, name, words, cwd, depth, engine);
    if (!loaded) {
        if (!first && !borrowed) idle_engines_.push_back(&engine);
        report(name, loaded.error());
        return {false, kStatusNotRun};
    }
    Task &task = add_task(std::move(*loaded), name, 0);
    task.borrows_engine = borrowed;
    if (*kind == ProgramKind::Elf)
        task.elf = std::make_shared<const std::vector<uint8_t>>(std::move(*file));
    console_.flush();
    if (!first || !debugger_) return {true, run_to_end(task.pid)};
    // gdb runs the first program; the others run while it waits. Its kill ends them all.
    task.state = Task::State::Held;
    task.process->set_scheduled(false);
    Outcome outcome = debugger_->run(*task.process);
    const bool killed = outcome.kind == Outcome::Kind::Killed;
    end_task(task, std::move(outcome));
    if (killed) kill_all();
    return {true, run_to_end(task.pid)};
}

// Every line runs, whatever the previous ones gave: a script is a list of commands, not a
// program with error handling. The script counts as run once it could be read.
Kernel::Ran Kernel::run_script(const std::string &name, const std::vector<uint8_t> &text,
                               const std::string &cwd, int depth) {
    const std::string_view all(reinterpret_cast<const char *>(text.data()), text.size());
    size_t at = 0;
    while (at < all.size() && !deadlocked_) {
        if (limits_.out_of_instructions() || limits_.out_of_time()) {
            stopped(name); // the lines left won't run
            break;
        }
        if (auto line = next_script_line(all, at)) run_line(*line, cwd, depth + 1);
    }
    return {true, 0};
}

// Started at once; the child runs when its turn comes. Its run requests may nest as deep as
// the first program's: it is no run request itself.
Result<int32_t, HostError> Kernel::spawn(Process &parent, const SpawnRequest &request) {
    if (tasks_.size() >= kMaxProcesses) return HostError{EAGAIN};
    auto kind = program_kind(request.path);
    if (!kind) return HostError{ENOEXEC};
    const size_t max = *kind == ProgramKind::Script ? kMaxScript : kMaxImageFile;
    auto file = program_file(request.path,
                             [&] { return read_program(fs_, parent.cwd(), request.path, max); });
    if (!file) return HostError{ENOENT};
    if (*kind == ProgramKind::Script) {
        Task &task = add_task(nullptr, request.path, parent.pid());
        task.script = Task::Script{std::string(file->begin(), file->end()), 0, parent.cwd(), 0};
        return task.pid;
    }
    Engine &engine = take_engine();
    auto loaded = load_image(*file, *kind, request.path, request.argv, parent.cwd(), 0, engine);
    if (!loaded) {
        idle_engines_.push_back(&engine);
        return HostError{arguments_fit(request.argv) ? ENOEXEC : E2BIG};
    }
    (*loaded)->fds() = parent.fds().for_child(request.settings.stdio, request.settings.inherit);
    Task &task = add_task(std::move(*loaded), request.path, parent.pid());
    if (*kind == ProgramKind::Elf)
        task.elf = std::make_shared<const std::vector<uint8_t>>(std::move(*file));
    return task.pid;
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

// The parent waits in its run loop meanwhile, off its engine only when a child may really
// run there; the other processes run as usual.
int32_t Kernel::run_request(Process &parent, const std::string &line) {
    const int depth = parent.depth() + 1;
    if (split_words(line).empty() || depth > kMaxNesting)
        return run_line(line, parent.cwd(), depth);
    Task *task = find_task(parent.pid());
    if (task != nullptr) task->wait.what = "waits for the program its run request runs";
    Process *outer = std::exchange(requester_, &parent);
    int32_t ran;
    {
        Process::Suspension away(parent);
        ran = run_line(line, parent.cwd(), depth);
    }
    requester_ = outer;
    if ((task = find_task(parent.pid())) != nullptr) task->wait.what.clear();
    return ran;
}

int Kernel::run_main(const std::vector<std::string> &argv, const std::string &cwd) {
    // A name with a slash that names a host file is that file, wherever it lies; the
    // programs it runs are found inside the root as usual. A FIFO or device there is that
    // file too, refused by the reader as not a regular file.
    const std::string &name = argv.at(0);
    auto look = [&name] {
        struct stat st;
        return name.find('/') != std::string::npos && stat(name.c_str(), &st) == 0 &&
               !S_ISDIR(st.st_mode);
    };
    const bool host_file = journal_ ? journal_->program_on_host(look) : look();
    int status = run_words(argv, cwd, 0, host_file ? &name : nullptr).status;
    // The run ends when every process it started has ended.
    run_until([this] { return tasks_.empty(); });
    return stopped_ ? kStatusLimit : deadlocked_ ? kStatusDeadlock : status;
}

} // namespace vekos
