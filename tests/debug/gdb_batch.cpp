#include "gdb_batch.h"

#include "subprocess.h"
#include "temp_root.h"

#include <chrono>

namespace {

// Runs vekos-emu with `emu_args` (which end in --gdb 0) and gdb on `program` against it.
Debugged run_with_gdb(const std::vector<std::string> &emu_args, const std::string &program,
                      const std::vector<std::string> &commands) {
    using namespace std::chrono_literals;
    std::vector<std::string> emu_argv{"/usr/bin/env", "timeout", "30", VEKOS_EMU};
    emu_argv.insert(emu_argv.end(), emu_args.begin(), emu_args.end());
    Child emu(emu_argv);
    const std::string waiting = "vekos-emu: waiting for gdb on 127.0.0.1:";
    std::string line = emu.read_err_until("\n", 30s);
    Debugged run;
    if (line.rfind(waiting, 0) == 0 && line.find('\n') != std::string::npos) {
        std::string port = line.substr(waiting.size(), line.find('\n') - waiting.size());
        std::vector<std::string> argv{"/usr/bin/env", "timeout", "30", "gdb", "-nx", "-batch"};
        argv.insert(argv.end(), {"-ex", "target remote 127.0.0.1:" + port});
        for (const std::string &command : commands) argv.insert(argv.end(), {"-ex", command});
        argv.push_back(program);
        Finished gdb = run_command(argv);
        run.gdb = gdb.out + gdb.err;
    }
    Finished ended = emu.finish();
    run.emu_status = ended.status;
    run.emu_out = ended.out;
    run.emu_err = ended.err;
    return run;
}

} // namespace

Debugged debug_with_gdb(const std::string &program, const std::vector<std::string> &commands,
                        const EmuRun &run) {
    std::vector<std::string> emu_args = run.options;
    emu_args.insert(emu_args.end(), {"--gdb", "0", program});
    emu_args.insert(emu_args.end(), run.args.begin(), run.args.end());
    return run_with_gdb(emu_args, program, commands);
}

Debugged debug_replay_with_gdb(const std::string &program, const std::vector<std::string> &commands,
                               const EmuRun &run) {
    TempRoot folder;
    std::string recording = folder.path() + "/run.rec";
    std::vector<std::string> record{VEKOS_EMU, "--record", recording};
    record.insert(record.end(), run.options.begin(), run.options.end());
    record.push_back(program);
    record.insert(record.end(), run.args.begin(), run.args.end());
    Finished recorded = run_command(record);
    if (recorded.status < 0) {
        Debugged failed;
        failed.emu_err = "the recording failed: " + recorded.err;
        return failed;
    }
    return run_with_gdb({"--replay", recording, "--gdb", "0"}, program, commands);
}

bool gdb_installed() {
    return run_command({"/usr/bin/env", "gdb", "--version"}).status == 0;
}
