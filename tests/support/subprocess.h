// Runs a command and collects its exit status, stdout and stderr (for testing vekos-emu as
// users run it). Input and output move at the same time, so neither size is limited.
#pragma once

#include <string>
#include <vector>

struct Finished {
    int status = -1; // exit status, or 128 + signal; -1 when it could not run (err says why)
    std::string out, err;
};

// argv[0] is the program's path; `folder`, when given, is its working folder.
Finished run_command(const std::vector<std::string> &argv, const std::string &input = "",
                     const std::string &folder = "");
