// Runs a command and collects its exit status, stdout and stderr (for testing vekos-emu as
// users run it).
#pragma once

#include <string>
#include <vector>

struct Finished {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
};

Finished run_command(const std::vector<std::string> &argv, const std::string &input = "",
                     const std::string &folder = "");
