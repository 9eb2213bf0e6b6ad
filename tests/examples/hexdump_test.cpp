// hexdump through run on the stand-in kernel: files and standard input, every byte value,
// short last lines, and a file that can't be opened.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Output {
    int status;
    std::string text;
};

class Hexdump : public testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("vekos-hexdump-test-" + std::to_string(::getpid()) + "-" +
                 testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_ / "bin");
        for (const char *program : {"run.uelf", "hexdump.uelf"})
            fs::copy_file(fs::path(VEKOS_ROOT_DIR) / "bin" / program, root_ / "bin" / program);
    }
    void TearDown() override {
        fs::remove_all(root_);
        fs::remove(stdin_file());
    }

    fs::path stdin_file() { return root_.string() + ".stdin"; }
    void put_file(const std::string &name, const std::string &content) {
        std::ofstream(root_ / name, std::ios::binary) << content;
    }
    // vekos-emu with these arguments (shell words), standard input from `input`.
    Output emu(const std::string &args, const std::string &input = "") {
        std::ofstream(stdin_file(), std::ios::binary) << input;
        std::string command = std::string(VEKOS_EMU) + " --root '" + root_.string() + "' " + args +
                              " < '" + stdin_file().string() + "'";
        FILE *pipe = popen(command.c_str(), "r");
        if (!pipe) return {-1, ""};
        std::string text;
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) text.append(chunk, n);
        int status = pclose(pipe);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
    }

    fs::path root_;
};

// The same layout made with the host's own printf family.
std::string host_dump(const std::string &data) {
    std::string out;
    char piece[32];
    for (size_t offset = 0; offset < data.size(); offset += 16) {
        std::snprintf(piece, sizeof piece, "%08zx ", offset);
        out += piece;
        std::string text;
        for (size_t i = 0; i < 16; i++) {
            if (i % 8 == 0) out += ' ';
            if (offset + i >= data.size()) {
                out += "   ";
                continue;
            }
            unsigned char byte = static_cast<unsigned char>(data[offset + i]);
            std::snprintf(piece, sizeof piece, "%02x ", byte);
            out += piece;
            text += byte >= 0x20 && byte < 0x7f ? char(byte) : '.';
        }
        out += " |" + text + "|\n";
    }
    std::snprintf(piece, sizeof piece, "%08zx\n", data.size());
    return out + piece;
}

TEST_F(Hexdump, ShortFileLayout) {
    put_file("hi.txt", "hi\n");
    Output r = emu("run.uelf hexdump.uelf hi.txt");
    EXPECT_EQ(r.text, "00000000  68 69 0a                                          |hi.|\n"
                      "00000003\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Hexdump, EveryByteValueAndAShortLastLine) {
    std::string data;
    for (int i = 0; i < 300; i++) data += char((i * 37 + 5) & 0xff);
    for (size_t length : {size_t(0), size_t(8), size_t(16), size_t(17), data.size()}) {
        put_file("data.bin", data.substr(0, length));
        Output r = emu("run.uelf hexdump.uelf data.bin");
        EXPECT_EQ(r.text, host_dump(data.substr(0, length))) << length << " bytes";
        EXPECT_EQ(r.status, 0);
    }
}

TEST_F(Hexdump, StandardInputWithDashOrNoArgument) {
    std::string data = "standard input, more than one line of it\n";
    EXPECT_EQ(emu("run.uelf hexdump.uelf -", data).text, host_dump(data));
    EXPECT_EQ(emu("run.uelf hexdump.uelf", data).text, host_dump(data));
    EXPECT_EQ(emu("hexdump.uelf", "").text, "00000000\n");
}

TEST_F(Hexdump, MissingFile) {
    Output direct = emu("hexdump.uelf nowhere.bin");
    EXPECT_EQ(direct.text, "hexdump: cannot open nowhere.bin\n");
    EXPECT_EQ(direct.status, 1);
    Output through_run = emu("run.uelf hexdump.uelf nowhere.bin");
    EXPECT_EQ(through_run.text, direct.text);
    EXPECT_EQ(through_run.status, 0) << "run reports only whether the kernel ran the program";
}

} // namespace
