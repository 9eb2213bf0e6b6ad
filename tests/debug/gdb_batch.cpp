#include "gdb_batch.h"

#include "subprocess.h"

#include <chrono>

Debugged debug_with_gdb(const std::string &program, const std::vector<std::string> &commands,
                        const std::vector<std::string> &args) {
    using namespace std::chrono_literals;
    std::vector<std::string> emu_argv{"/usr/bin/env", "timeout", "30",   VEKOS_EMU,
                                      "--gdb",        "0",       program};
    emu_argv.insert(emu_argv.end(), args.begin(), args.end());
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
    run.emu_err = ended.err;
    return run;
}

bool gdb_installed() {
    return run_command({"/usr/bin/env", "gdb", "--version"}).status == 0;
}
