// hexdump through run on the stand-in kernel: files and standard input, every byte value,
// short last lines, and a file that can't be opened.
#include "emu_program_test.h"

#include <cstdio>
#include <string>

namespace {

class Hexdump : public EmuProgramTest {
  protected:
    Hexdump() : EmuProgramTest({built_program("run.uelf"), built_program("hexdump.uelf")}) {}
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
    root.write_file("hi.txt", "hi\n");
    Finished r = emu("run.uelf hexdump.uelf hi.txt");
    EXPECT_EQ(r.out, "00000000  68 69 0a                                          |hi.|\n"
                     "00000003\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Hexdump, EveryByteValueAndAShortLastLine) {
    std::string data;
    for (int i = 0; i < 300; i++) data += char((i * 37 + 5) & 0xff);
    for (size_t length : {size_t(0), size_t(8), size_t(16), size_t(17), data.size()}) {
        root.write_file("data.bin", data.substr(0, length));
        Finished r = emu("run.uelf hexdump.uelf data.bin");
        EXPECT_EQ(r.out, host_dump(data.substr(0, length))) << length << " bytes";
        EXPECT_EQ(r.status, 0);
    }
}

TEST_F(Hexdump, StandardInputWithDashOrNoArgument) {
    std::string data = "standard input, more than one line of it\n";
    EXPECT_EQ(emu("run.uelf hexdump.uelf -", data).out, host_dump(data));
    EXPECT_EQ(emu("run.uelf hexdump.uelf", data).out, host_dump(data));
    EXPECT_EQ(emu("hexdump.uelf", "").out, "00000000\n");
}

TEST_F(Hexdump, MissingFile) {
    Finished direct = emu("hexdump.uelf nowhere.bin");
    EXPECT_EQ(direct.out, "hexdump: cannot open nowhere.bin\n");
    EXPECT_EQ(direct.status, 1);
    Finished through_run = emu("run.uelf hexdump.uelf nowhere.bin");
    EXPECT_EQ(through_run.out, direct.out);
    EXPECT_EQ(through_run.status, 0) << "run reports only whether the kernel ran the program";
}

} // namespace
