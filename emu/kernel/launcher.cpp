#include "kernel/launcher.h"

#include "common/exit_status.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>

namespace vekos {
namespace {

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

Result<std::vector<uint8_t>> Launcher::program_file(std::string_view name,
                                                    const RunJournal::FileReader &read) {
    return journal_ ? journal_->program_file(name, read) : read();
}

Result<std::unique_ptr<Process>> Launcher::load_image(const std::string &host_path,
                                                      ProgramKind kind,
                                                      const std::vector<std::string> &argv,
                                                      const std::string &cwd, int depth) {
    if (kind == ProgramKind::Script) return Failure{not_a_program(true)};
    auto file = read_host_file(host_path, kMaxImageFile);
    if (!file) return Failure{file.error()};
    return load_image(*file, kind, argv.empty() ? std::string() : argv[0], argv, cwd, depth,
                      engines_.first());
}

Result<std::unique_ptr<Process>> Launcher::load_image(const std::vector<uint8_t> &file,
                                                      ProgramKind kind, const std::string &name,
                                                      const std::vector<std::string> &argv,
                                                      const std::string &cwd, int depth,
                                                      Engine &engine) {
    if (kind == ProgramKind::Script) return Failure{not_a_program(true)};
    auto image = kind == ProgramKind::Elf ? parse_elf_image(file) : parse_flat_image(file);
    if (!image) return Failure{image.error()};
    ProcessServices services = processes_;
    services.engine = &engine;
    auto process = Process::create(services, name, *image, cwd, depth);
    if (process && !(*process)->set_arguments(argv)) return Failure{"argument list too long"};
    if (process && counters_)
        (*process)->set_block_counter(counters_->counter(file, name, (*process)->memory()));
    return process;
}

int Launcher::run_main(const std::vector<std::string> &argv, const std::string &cwd) {
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
    scheduler_.run_until([this] { return tasks_.empty(); });
    return reports_.stopped() ? kStatusLimit : scheduler_.deadlocked() ? kStatusDeadlock : status;
}

// The parent waits in its run loop meanwhile, off its engine only when a child may really
// run there; the other processes run as usual.
int32_t Launcher::run_request(Process &parent, const std::string &line) {
    const int depth = parent.depth() + 1;
    if (split_words(line).empty() || depth > kMaxNesting)
        return run_line(line, parent.cwd(), depth);
    Task *task = tasks_.find(parent.pid());
    if (task != nullptr) task->wait.what = "waits for the program its run request runs";
    Process *outer = std::exchange(requester_, &parent);
    int32_t ran;
    {
        Process::Suspension away(parent);
        ran = run_line(line, parent.cwd(), depth);
    }
    requester_ = outer;
    if ((task = tasks_.find(parent.pid())) != nullptr) task->wait.what.clear();
    return ran;
}

int32_t Launcher::run_line(const std::string &line, const std::string &cwd, int depth) {
    std::vector<std::string> words = split_words(line);
    if (words.empty()) return -1;
    if (!limits_.charge_run() || limits_.out_of_time()) { // refused lines cost too
        reports_.stopped(words[0]);
        return -1;
    }
    if (depth > kMaxNesting) {
        reports_.report(words[0], "run requests nested deeper than " + std::to_string(kMaxNesting));
        return -1;
    }
    return run_words(words, cwd, depth).started ? 0 : -1;
}

Launcher::Ran Launcher::run_words(const std::vector<std::string> &words, const std::string &cwd,
                                  int depth, const std::string *host_path) {
    const std::string &name = words.at(0);
    auto kind = program_kind(name);
    // A host file may be an image by its content alone (`vekos-cc -o test1`).
    if (!kind && !host_path) {
        reports_.report(name, not_a_program());
        return {false, kStatusNotRun};
    }
    const size_t max = kind == ProgramKind::Script ? kMaxScript : kMaxImageFile;
    auto file = program_file(name, [&] {
        return host_path ? read_host_file(*host_path, max) : read_program(fs_, cwd, name, max);
    });
    if (!file) {
        reports_.report(name, file.error());
        return {false, kStatusNotRun};
    }
    if (host_path) kind = host_program_kind(name, *file);
    if (!kind) {
        reports_.report(name, not_a_program());
        return {false, kStatusNotRun};
    }
    if (*kind == ProgramKind::Script) return run_script(name, *file, cwd, depth);
    const bool first = depth == 0 && tasks_.none_started();
    const bool borrowed = !first && requester_ != nullptr;
    Engine &engine = first ? engines_.first() : borrowed ? requester_->engine() : engines_.take();
    auto loaded = load_image(*file, *kind, name, words, cwd, depth, engine);
    if (!loaded) {
        if (!first && !borrowed) engines_.give_back(engine);
        reports_.report(name, loaded.error());
        return {false, kStatusNotRun};
    }
    Task &task = scheduler_.start(std::move(*loaded), name, 0);
    task.borrows_engine = borrowed;
    if (*kind == ProgramKind::Elf)
        task.elf = std::make_shared<const std::vector<uint8_t>>(std::move(*file));
    console_.flush();
    if (!first || !debugger_) return {true, scheduler_.run_to_end(task.pid)};
    // gdb runs the first program; the others run while it waits. Its kill ends them all.
    task.state = Task::State::Held;
    task.process->set_scheduled(false);
    Outcome outcome = debugger_->run(*task.process);
    const bool killed = outcome.kind == Outcome::Kind::Killed;
    scheduler_.end(task, std::move(outcome));
    if (killed) scheduler_.kill_all();
    return {true, scheduler_.run_to_end(task.pid)};
}

// The child's run requests may nest as deep as the first program's: it is no run request
// itself.
Result<int32_t, HostError> Launcher::spawn(Process &parent, const SpawnRequest &request) {
    if (tasks_.size() >= kMaxProcesses) return HostError{EAGAIN};
    auto kind = program_kind(request.path);
    if (!kind) return HostError{ENOEXEC};
    const size_t max = *kind == ProgramKind::Script ? kMaxScript : kMaxImageFile;
    auto file = program_file(request.path,
                             [&] { return read_program(fs_, parent.cwd(), request.path, max); });
    if (!file) return HostError{ENOENT};
    if (*kind == ProgramKind::Script) {
        Task &task = scheduler_.start(nullptr, request.path, parent.pid());
        task.script = Task::Script{std::string(file->begin(), file->end()), 0, parent.cwd(), 0};
        return task.pid;
    }
    Engine &engine = engines_.take();
    auto loaded = load_image(*file, *kind, request.path, request.argv, parent.cwd(), 0, engine);
    if (!loaded) {
        engines_.give_back(engine);
        return HostError{arguments_fit(request.argv) ? ENOEXEC : E2BIG};
    }
    (*loaded)->fds() = parent.fds().for_child(request.settings.stdio, request.settings.inherit);
    Task &task = scheduler_.start(std::move(*loaded), request.path, parent.pid());
    if (*kind == ProgramKind::Elf)
        task.elf = std::make_shared<const std::vector<uint8_t>>(std::move(*file));
    return task.pid;
}

} // namespace vekos
