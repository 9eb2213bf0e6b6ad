// A GoogleTest fixture for whole programs on vekos-emu, run as a user runs them: a vekos
// root in a temporary host folder holding chosen images in /bin and files put into it, and
// vekos-emu started over it with arguments and standard input.
#pragma once

#include "subprocess.h"
#include "temp_root.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// "a 'b c' ''" gives a, "b c" and an empty word: single quotes group, nothing else is special.
std::vector<std::string> shell_words(const std::string &line);

class EmuProgramTest : public testing::Test {
  protected:
    // Host paths of the images that the root's /bin will hold.
    explicit EmuProgramTest(const std::vector<std::string> &programs);

    // vekos-emu --root ROOT followed by `args`, as words or as one line (see shell_words),
    // with `input` on its stdin.
    Finished emu_words(const std::vector<std::string> &args, const std::string &input = "");
    Finished emu(const std::string &args, const std::string &input = "") {
        return emu_words(shell_words(args), input);
    }
    // The command line of such a run, for a Child.
    std::vector<std::string> emu_command(const std::vector<std::string> &args) const;

    TempRoot root;
};

// An image of the build's root, /bin/<name> (run.uelf, hello.uelf, the examples).
std::string built_program(const std::string &name);
