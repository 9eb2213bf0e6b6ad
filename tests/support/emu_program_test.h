// A GoogleTest fixture for whole programs on vekos-emu, run as a user runs them: a vekos
// root in a temporary host folder holding chosen images, files put into it, and vekos-emu
// started over it with arguments and standard input.
#pragma once

#include "subprocess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

// "a 'b c' ''" gives a, "b c" and an empty word: single quotes group, nothing else is special.
std::vector<std::string> shell_words(const std::string &line);

class EmuProgramTest : public testing::Test {
  protected:
    // Host paths of the images that the root's /bin will hold.
    explicit EmuProgramTest(std::vector<std::string> programs) : programs_(std::move(programs)) {}
    void SetUp() override;
    void TearDown() override;

    // Files in the root, by guest path from /.
    void put_file(const std::string &name, const std::string &content);
    std::string file(const std::string &name);

    // vekos-emu --root ROOT followed by `args` (see shell_words), with `input` on its stdin.
    Finished emu(const std::string &args, const std::string &input = "");

    std::filesystem::path root_;

  private:
    std::vector<std::string> programs_;
};

// An image of the build's root, /bin/<name> (run.uelf, hello.uelf, the examples).
std::string built_program(const std::string &name);
