// vekos-emu: runs vekos programs on the host, standing in for the vekos kernel.
#include "common/escape.h"
#include "common/exit_status.h"
#include "gdb_session.h"
#include "host/internal_error.h"
#include "host/output_file.h"
#include "kernel/kernel.h"
#include "kernel/trap_table.h"
#include "options.h"
#include "profile/collector.h"
#include "profile/tracefile.h"
#include "replay/recorder.h"
#include "replay/replayer.h"
#include "trace/trace.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
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

// "vekos-emu: OPTION VALUE: PROBLEM" on one line, the value escaped: a host path may hold a
// newline or a terminal's control sequence.
void option_error(const char *option, const std::string &value, const std::string &problem) {
    std::string shown = vekos::escape_bytes(value, vekos::Escapes::C);
    std::fprintf(stderr, "vekos-emu: %s %s: %s\n", option, shown.c_str(), problem.c_str());
}

// --trace's filter, file (open until vekos-emu exits) and times; false (reported) when the
// file can't be opened or isn't one to write a trace into.
bool trace_settings(const vekos::EmuOptions &options, vekos::TraceSettings &settings) {
    if (!options.trace_file.empty()) {
        auto opened = vekos::open_output_file(options.trace_file);
        if (!opened) {
            option_error("--trace-file", options.trace_file, opened.error());
            return false;
        }
        settings.out = fdopen(opened->get(), "w");
        if (settings.out == nullptr) {
            option_error("--trace-file", options.trace_file, std::strerror(errno));
            return false;
        }
        opened->release(); // the stream owns it now
        std::setvbuf(settings.out, nullptr, _IOLBF, 0);
        settings.out_name =
            "--trace-file " + vekos::escape_bytes(options.trace_file, vekos::Escapes::C);
    }
    for (const std::string &name : options.trace_only) // checked by parse_options
        settings.only.insert(vekos::find_trap(std::string_view(name))->number);
    settings.timestamps = options.trace_time;
    return true;
}

// --coverage's tracefile and --profile's two files, before the run: each must be a regular
// file or not there yet, and a tracefile one to merge into; false (reported) otherwise. The
// files are written only when the run ends, and checked again then.
bool outputs_usable(const vekos::EmuOptions &options) {
    if (!options.coverage_file.empty()) {
        if (auto why = vekos::profile::tracefile_refused(options.coverage_file)) {
            option_error("--coverage", options.coverage_file, *why);
            return false;
        }
    }
    if (options.profile_file.empty()) return true;
    for (const std::string &file : {options.profile_file, options.profile_file + ".folded"}) {
        if (auto why = vekos::not_a_regular_file(file)) {
            option_error("--profile", file, *why);
            return false;
        }
    }
    return true;
}

// The gdb stub listening on the loopback address, or nullptr (reported) when it can't.
std::unique_ptr<vekos::debug::GdbStub> listen_for_gdb(uint16_t port) {
    auto listening = vekos::debug::GdbStub::listen(port, [](std::string_view note) {
        std::fprintf(stderr, "vekos-emu: %.*s\n", int(note.size()), note.data());
    });
    if (!listening) {
        std::fprintf(stderr, "vekos-emu: --gdb %u: %s\n", unsigned(port),
                     listening.error().c_str());
        return nullptr;
    }
    return std::move(*listening);
}

// The library's installed sources, beside the kit's bin/ (the build tree has them too).
std::string library_sources() {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return "";
    std::string path(exe, size_t(n));
    path = path.substr(0, path.rfind('/'));
    std::string sources = path.substr(0, path.rfind('/')) + "/share/vekos/src";
    return access(sources.c_str(), F_OK) == 0 ? sources : "";
}

// The collector for --coverage and --profile, or nullopt without them.
std::optional<vekos::profile::Collector> collector(const vekos::EmuOptions &options) {
    if (options.coverage_file.empty() && options.profile_file.empty() && !options.profile_summary)
        return std::nullopt;
    vekos::profile::CollectorOptions settings;
    settings.coverage = options.coverage_file;
    settings.profile = options.profile_file;
    settings.summary = options.profile_summary;
    for (const std::string &word : options.argv)
        settings.command += (settings.command.empty() ? "" : " ") + word;
    // The profile's header is one line.
    std::replace(settings.command.begin(), settings.command.end(), '\n', ' ');
    settings.paths.library_root = library_sources();
    return vekos::profile::Collector(std::move(settings));
}

// The run a replay repeats: the recording's program, folder and limits. A --timeout given
// with the replay counts instead of the recording's, and under gdb none does unless given:
// a debugging session may take its time.
void take_from_recording(const vekos::replay::RunHeader &header, vekos::EmuOptions &options) {
    options.argv = header.argv;
    options.cwd = header.cwd;
    options.max_instructions = header.max_instructions;
    if (options.timeout_seconds == 0 && !options.gdb_port)
        options.timeout_seconds = double(header.timeout_ms) / 1000;
    options.max_memory = header.max_memory;
    options.stack_size.reset();
    if (header.stack_size != 0) options.stack_size = header.stack_size;
}

vekos::replay::RunHeader recording_header(const vekos::EmuOptions &options,
                                          const vekos::KernelOptions &limits,
                                          const std::string &cwd) {
    vekos::replay::RunHeader header;
    header.argv = options.argv;
    header.cwd = cwd;
    header.stack_size = limits.stack_size;
    header.max_instructions = limits.max_instructions;
    header.timeout_ms = uint64_t(limits.timeout_seconds * 1000 + 0.5);
    header.max_memory = limits.max_memory;
    return header;
}

} // namespace

int main(int argc, char **argv) {
    vekos::ParsedOptions parsed = vekos::parse_options(argc, argv);
    if (parsed.exit_status) return *parsed.exit_status;
    vekos::EmuOptions &options = parsed.options;

    std::optional<vekos::replay::Replayer> replayer;
    vekos::HostConsole console;
    if (!options.replay_file.empty()) {
        auto recording = vekos::replay::read_recording(options.replay_file);
        if (!recording) {
            option_error("--replay", options.replay_file, recording.error());
            return vekos::kStatusUsage;
        }
        take_from_recording(recording->header, options);
        replayer.emplace(std::move(*recording), console, options.replay_check);
    }

    auto fs = vekos::RootFs::open(options.root);
    if (!fs) {
        option_error("--root", options.root, "not a folder");
        return vekos::kStatusUsage;
    }
    std::string cwd = vekos::RootFs::normalize("/", options.cwd);
    // A replay never looks at the host's files: the folder is the recording's word.
    if (!replayer && !fs->is_folder(cwd)) {
        option_error("--cwd", options.cwd, "not a folder inside the root");
        return vekos::kStatusUsage;
    }
    // Transparent huge pages make each engine's code buffer cost a 2 MiB clear.
    prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);

    vekos::TraceSettings trace;
    if (!trace_settings(options, trace) || !outputs_usable(options)) return vekos::kStatusUsage;
    std::unique_ptr<vekos::debug::GdbStub> stub;
    if (options.gdb_port && !(stub = listen_for_gdb(*options.gdb_port))) return vekos::kStatusUsage;

    vekos::KernelOptions kernel_options{options.max_instructions, options.timeout_seconds};
    if (options.stack_size) kernel_options.stack_size = *options.stack_size;
    kernel_options.max_memory = options.max_memory;
    std::optional<vekos::replay::Recorder> recorder;
    if (!options.record_file.empty()) {
        auto writer = vekos::replay::RecordingWriter::create(options.record_file);
        if (!writer) {
            option_error("--record", options.record_file, writer.error());
            return vekos::kStatusUsage;
        }
        recorder.emplace(std::move(*writer), recording_header(options, kernel_options, cwd),
                         console);
    }
    vekos::report_internal_errors();
    // Before the kernel: its processes count into the collector's images until they go.
    std::optional<vekos::profile::Collector> profiles = collector(options);
    vekos::Kernel kernel(std::move(*fs), recorder ? recorder->console() : console, kernel_options);
    if (recorder) kernel.set_journal(&*recorder, false);
    if (replayer) kernel.set_journal(&*replayer, true);
    vekos::TraceObserver tracer(console, trace);
    if (options.trace) kernel.add_observer(&tracer);
    std::optional<vekos::GdbSession> gdb;
    if (stub) kernel.set_debugger(&gdb.emplace(std::move(stub), kernel.engine()));
    if (gdb) gdb->set_checkpoint_memory(options.checkpoint_mib << 20);
    if (gdb && replayer) gdb->set_history(&*replayer); // gdb may run the program backwards
    if (profiles) kernel.set_counters(&*profiles);
    int status;
    try {
        status = kernel.run_main(options.argv, cwd);
        // A replay gdb ended ends there; any other must have followed the recording to its end.
        if (replayer && status != vekos::kStatusKilled) status = replayer->finish(status);
        if (replayer && options.replay_check) {
            console.flush();
            std::fprintf(stderr,
                         "vekos-emu: the replay matches the recording: %zu events, %llu bytes of "
                         "output, status %d\n",
                         replayer->events(), (unsigned long long)replayer->output_bytes(), status);
        }
    } catch (const vekos::replay::ReplayEnded &ended) {
        console.flush();
        std::fprintf(stderr, "vekos-emu: the recording ends here: %s\n",
                     ended.status == vekos::kStatusKilled ? "gdb ended the run"
                                                          : "the run's limits stopped it");
        status = ended.status;
    } catch (const vekos::replay::ReplayDiverged &diverged) {
        console.flush();
        std::fprintf(stderr, "vekos-emu: the replay left the recording: %s\n",
                     vekos::escape_bytes(diverged.what(), vekos::Escapes::C).c_str());
        status = vekos::kStatusInternalError;
    } catch (const std::exception &error) {
        // The host ran out of something (memory, mappings); not the guest's doing.
        console.flush();
        std::fprintf(stderr, "vekos-emu: %s\n", error.what());
        status = vekos::kStatusInternalError;
    }
    console.flush();
    if (recorder) {
        auto written = recorder->finish(status);
        if (!written) {
            option_error("--record", options.record_file, written.error());
            if (status == 0) status = vekos::kStatusInternalError;
        }
    }
    // Coverage or a profile that can't be written is lost as a trace is.
    if (profiles && !profiles->finish() && status == 0) status = vekos::kStatusInternalError;
    // A lost trace never passes for a clean run; a failing program's own status says more.
    if (options.trace && !tracer.finish() && status == 0) status = vekos::kStatusInternalError;
    // Tearing the engine down costs more than the whole guest run: let the host reclaim it.
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(status);
}
