#include "emu_program_test.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

std::vector<std::string> shell_words(const std::string &line) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false, quoted = false;
    for (char c : line) {
        if (c == '\'') {
            quoted = !quoted;
            in_word = true;
        } else if (c == ' ' && !quoted) {
            if (in_word) words.push_back(word);
            word.clear();
            in_word = false;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (in_word) words.push_back(word);
    return words;
}

std::string built_program(const std::string &name) {
    return (fs::path(VEKOS_ROOT_DIR) / "bin" / name).string();
}

void EmuProgramTest::SetUp() {
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() / ("vekos-program-test-" + std::to_string(::getpid()) + "-" +
                                         test->test_suite_name() + "-" + test->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "bin");
    for (const std::string &program : programs_)
        fs::copy_file(program, root_ / "bin" / fs::path(program).filename());
}

void EmuProgramTest::TearDown() {
    fs::remove_all(root_);
}

void EmuProgramTest::put_file(const std::string &name, const std::string &content) {
    std::ofstream(root_ / name, std::ios::binary) << content;
}

std::string EmuProgramTest::file(const std::string &name) {
    std::ifstream in(root_ / name, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

Finished EmuProgramTest::emu(const std::string &args, const std::string &input) {
    std::vector<std::string> argv = {VEKOS_EMU, "--root", root_.string()};
    for (const std::string &word : shell_words(args)) argv.push_back(word);
    return run_command(argv, input);
}
