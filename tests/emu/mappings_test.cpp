// Mappings (mmap, munmap) and streamed files (vekfs_stream_*), from a guest program run as a
// user runs it.
#include "common/exit_status.h"
#include "emu_program_test.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

class Mappings : public EmuProgramTest {
  protected:
    Mappings() : EmuProgramTest({MAPS_IMAGE}) {}
};

TEST_F(Mappings, MapAndUnmapAsRequested) {
    root.write_file("data", "file bytes");
    struct Case {
        std::string args;
        int status;
        std::string out;     // the whole standard output
        std::string err_has; // in the fault report, when it faults
    } cases[] = {
        {"anonymous", 0, "anonymous ok\n", ""},
        {"read-only", vekos::kStatusFault, "0\n", "write to read-only address 0xa000000a"},
        {"none", vekos::kStatusFault, "", "read of unreadable address 0xa0000000"},
        {"exec", vekos::kStatusFault, "", "execution of non-executable address 0xa0000000"},
        // The file's bytes, zeros past its end; the change stays in the copy.
        {"file /data 0", 0, "file bytes|zero past the end\nfile bytes\n", ""},
        {"file /data 4096", 0, "|zero past the end\nfile bytes\n", ""},
        {"partial", vekos::kStatusFault, "0\n4\n", "read of unmapped address 0xa0001000"},
        {"refused", 0,
         "fixed -1\nshared -1\nno private -1\nunknown flag -1\nunknown prot -1\nzero length -1\n"
         "anonymous with fd -1\nbad fd -1\nconsole -1\nunaligned offset -1\ntoo long -1\n"
         "unmap image -1\nunmap stack -1\n",
         ""},
        // 64 MiB per process; released pages can be mapped again.
        {"release", 0, "64 0 64\n", ""},
        {"--max-memory 10M maps.uelf grab", 0, "grab 10\n", ""},
        // The limit holds for the whole run; a child's mappings go when it ends.
        {"--max-memory 48M maps.uelf hold", 0, "grab 16\nafter 16\n", ""},
    };
    for (const Case &c : cases) {
        std::string line =
            c.args.find("maps.uelf") == std::string::npos ? "maps.uelf " + c.args : c.args;
        Finished run = emu(line);
        EXPECT_EQ(run.status, c.status) << line << "\n" << run.err;
        EXPECT_EQ(run.out, c.out) << line;
        EXPECT_NE(run.err.find(c.err_has), std::string::npos)
            << line << ": expected the report to name '" << c.err_has << "', got: " << run.err;
    }
    EXPECT_EQ(root.read_file("data"), "file bytes") << "a private mapping never reaches the file";
}

TEST_F(Mappings, TraceNamesProtectionAndFlags) {
    Finished run = emu("--trace=mmap,munmap maps.uelf partial");
    EXPECT_NE(run.err.find("mmap(0x0, 12288, PROT_READ|PROT_WRITE, MAP_PRIVATE|MAP_ANONYMOUS, -1, "
                           "0) = 0xa0000000"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("munmap(0xa0001000, 4096) = 0"), std::string::npos) << run.err;
}

TEST_F(Mappings, StreamedFilesAppearWholeAtTheirEnd) {
    root.write_file("f", "old");
    Finished run = emu("maps.uelf stream /f 'maps.uelf cat /f'");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "handle 1\n4\n7\nold\nend 0\nnew content\n")
        << "a reader sees the old content until the end";
    EXPECT_EQ(root.read_file("f"), "new content");

    Finished bad = emu("maps.uelf bad-streams");
    EXPECT_EQ(bad.out, "-1 -1 -1 -1 -1\n")
        << "unknown handles, a missing folder and a folder all fail";
}

TEST_F(Mappings, UnfinishedStreamsLeaveNothingBehind) {
    root.write_file("f", "old");
    const struct {
        std::string args;
        int status;
    } cases[] = {{"maps.uelf unfinished /f", 0},
                 {"maps.uelf unfinished /new", 0},
                 {"--max-instructions 100000 maps.uelf unfinished /f spin", vekos::kStatusLimit},
                 {"--max-instructions 100000 maps.uelf unfinished /new spin", vekos::kStatusLimit}};
    for (const auto &c : cases) {
        Finished run = emu(c.args);
        EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.err;
        EXPECT_EQ(root.read_file("f"), "old") << c.args;
        int entries = 0;
        for (const auto &entry : std::filesystem::directory_iterator(root.path()))
            entries += entry.path().filename() != "bin";
        EXPECT_EQ(entries, 1) << c.args << ": expected only /f and /bin, no new file or temporary";
    }
}

} // namespace
