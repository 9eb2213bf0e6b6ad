#include "emu_program_test.h"

#include <filesystem>

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

EmuProgramTest::EmuProgramTest(const std::vector<std::string> &programs) {
    fs::create_directories(root.host("bin"));
    for (const std::string &program : programs)
        fs::copy_file(program, fs::path(root.host("bin")) / fs::path(program).filename());
}

std::vector<std::string> EmuProgramTest::emu_command(const std::vector<std::string> &args) const {
    std::vector<std::string> argv = {VEKOS_EMU, "--root", root.path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

Finished EmuProgramTest::emu_words(const std::vector<std::string> &args, const std::string &input) {
    return run_command(emu_command(args), input);
}
