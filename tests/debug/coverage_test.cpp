// Coverage and profiles of counted.uelf, whose source marks each line's expected executions
// ("runs N"): the lcov tracefile holds exactly those counts (twice after two runs into one
// file), the library's lines under its installed sources, and genhtml reads it; the profile
// holds the calls, its folded stacks are the same on every run, and callgrind_annotate reads it.
#include "subprocess.h"
#include "temp_root.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kProgram = std::string(DEBUG_TEST_BIN) + "/counted.uelf";
const std::string kSource = std::string(DEBUG_TEST_SOURCE) + "/guest/counted.c";
const std::string kDeep = std::string(DEBUG_TEST_BIN) + "/deep.uelf";

std::string read_text(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Line number -> N for each "runs N" in the program's source.
std::map<int, uint64_t> marked_counts() {
    std::map<int, uint64_t> counts;
    std::istringstream in(read_text(kSource));
    static const std::regex marker("// runs ([0-9]+)");
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        number++;
        std::smatch match;
        if (std::regex_search(line, match, marker)) counts[number] = std::stoull(match[1]);
    }
    return counts;
}

// The records of one source file (SF) of a tracefile: "DA:line" and "FNDA:name" -> count.
std::map<std::string, uint64_t> records_of(const std::string &tracefile, const std::string &file) {
    std::map<std::string, uint64_t> records;
    std::istringstream in(tracefile);
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("SF:", 0) == 0) inside = line.substr(3) == file;
        size_t comma = line.find(',');
        if (!inside || comma == std::string::npos) continue;
        if (line.rfind("DA:", 0) == 0)
            records[line.substr(0, comma)] = std::stoull(line.substr(comma + 1));
        if (line.rfind("FNDA:", 0) == 0)
            records["FNDA:" + line.substr(comma + 1)] = std::stoull(line.substr(5, comma - 5));
    }
    return records;
}

bool installed(const char *tool) {
    return access(tool, X_OK) == 0;
}

TEST(Coverage, CountsEachLineExactlyAndRunsAddUp) {
    TempRoot folder;
    const std::string tracefile = folder.path() + "/counted.info";
    for (uint64_t runs = 1; runs <= 2; runs++) {
        Finished f = run_command({VEKOS_EMU, "--coverage", tracefile, kProgram});
        ASSERT_EQ(f.status, 0) << f.err;
        std::map<std::string, uint64_t> records = records_of(read_text(tracefile), kSource);
        for (const auto &[line, count] : marked_counts())
            EXPECT_EQ(records["DA:" + std::to_string(line)], runs * count)
                << "line " << line << " after " << runs << " run(s)";
        EXPECT_EQ(records["FNDA:add"], runs * 3) << "calls of add after " << runs << " run(s)";
        EXPECT_EQ(records["FNDA:main"], runs) << "calls of main after " << runs << " run(s)";
    }
    // strlen ran once per run, in a file of the kit's sources.
    std::string text = read_text(tracefile);
    std::string library;
    static const std::regex library_file("SF:(/[^\n]*/vekos/lib/[^\n]*)");
    for (std::sregex_iterator it(text.begin(), text.end(), library_file), end; it != end; ++it)
        if (records_of(text, (*it)[1]).count("FNDA:strlen")) library = (*it)[1];
    ASSERT_FALSE(library.empty()) << "no library file with strlen in:\n" << text;
    EXPECT_EQ(access(library.c_str(), R_OK), 0) << library << " does not exist";
    EXPECT_EQ(records_of(text, library)["FNDA:strlen"], 2u) << "strlen in " << library;

    // Stopped after its first instruction, the program reached one line (its first block
    // holds several).
    const std::string first = folder.path() + "/first.info";
    Finished stopped =
        run_command({VEKOS_EMU, "--max-instructions", "1", "--coverage", first, kProgram});
    std::string lines_hit;
    static const std::regex hit("LH:([0-9]+)");
    std::string first_text = read_text(first);
    for (std::sregex_iterator it(first_text.begin(), first_text.end(), hit), end; it != end; ++it)
        if ((*it)[1] != "0") lines_hit += (*it)[1].str() + " ";
    EXPECT_EQ(lines_hit, "1 ") << "lines hit per file after one instruction:\n" << first_text;

    if (!installed("/usr/bin/genhtml")) GTEST_SKIP() << "genhtml (Debian's lcov) not installed";
    Finished html =
        run_command({"/usr/bin/genhtml", "-q", "-o", folder.path() + "/html", tracefile});
    EXPECT_EQ(html.status, 0) << html.err;
    EXPECT_EQ(access((folder.path() + "/html/index.html").c_str(), R_OK), 0) << html.err;
}

TEST(Coverage, ConcurrentRunsAddUpAndAFolderGetsAFilePerRun) {
    TempRoot folder;
    const std::string tracefile = folder.path() + "/all.info";
    constexpr uint64_t kRuns = 4;
    std::vector<std::unique_ptr<Child>> runs;
    for (uint64_t i = 0; i < kRuns; i++)
        runs.push_back(std::make_unique<Child>(
            std::vector<std::string>{VEKOS_EMU, "--coverage", tracefile, kProgram}));
    for (auto &run : runs) {
        Finished f = run->finish();
        EXPECT_EQ(f.status, 0) << f.err;
    }
    std::map<std::string, uint64_t> records = records_of(read_text(tracefile), kSource);
    for (const auto &[line, count] : marked_counts())
        EXPECT_EQ(records["DA:" + std::to_string(line)], kRuns * count)
            << "line " << line << " after " << kRuns << " concurrent runs";

    const std::string per_run = folder.path() + "/runs";
    ASSERT_EQ(mkdir(per_run.c_str(), 0755), 0);
    Finished f = run_command({VEKOS_EMU, "--coverage", per_run, kProgram});
    ASSERT_EQ(f.status, 0) << f.err;
    Finished listed = run_command({"/bin/ls", per_run});
    EXPECT_TRUE(std::regex_match(listed.out, std::regex("vekos-[0-9]+\\.info\n")))
        << "expected one vekos-PID.info in the folder, found: " << listed.out;
}

TEST(Profile, CountsCallsAndGivesTheSameStacksEachRun) {
    TempRoot folder;
    std::string stacks[2];
    for (int run = 0; run < 2; run++) {
        const std::string profile = folder.path() + "/callgrind.out." + std::to_string(run);
        Finished f = run_command({VEKOS_EMU, "--profile", profile, kProgram});
        ASSERT_EQ(f.status, 0) << f.err;
        stacks[run] = read_text(profile + ".folded");
        EXPECT_TRUE(
            std::regex_search(read_text(profile), std::regex("cfn=\\([0-9]+\\)( add)?\ncalls=3 ")))
            << "no 3 calls of add in:\n"
            << read_text(profile);
    }
    EXPECT_EQ(stacks[0], stacks[1]) << "two runs gave different stacks";
    std::smatch add;
    ASSERT_TRUE(
        std::regex_search(stacks[0], add, std::regex("counted.uelf;_start;main;add ([0-9]+)\n")))
        << "no stack main;add in:\n"
        << stacks[0];
    EXPECT_EQ(std::stoull(add[1]) % 3, 0u)
        << "three calls of add ran " << add[1] << " instructions";

    // A run stopped inside a block counts only the instructions that ran.
    for (const char *limit : {"1", "57", "150"}) {
        Finished f =
            run_command({VEKOS_EMU, "--max-instructions", limit, "--profile-summary", kProgram});
        EXPECT_NE(f.err.find("profile: " + std::string(limit) + " instructions\n"),
                  std::string::npos)
            << "after --max-instructions " << limit << ":\n"
            << f.err;
    }

    if (!installed("/usr/bin/callgrind_annotate"))
        GTEST_SKIP() << "callgrind_annotate not installed";
    Finished annotated = run_command(
        {"/usr/bin/callgrind_annotate", "--inclusive=yes", folder.path() + "/callgrind.out.0"});
    EXPECT_EQ(annotated.status, 0) << annotated.err;
    EXPECT_EQ(annotated.err.find("malformed"), std::string::npos) << annotated.err;
    EXPECT_NE(annotated.out.find(":add"), std::string::npos) << annotated.out;
}

// Stacks stop at their outermost 512 frames: a recursion 1000 deep gives 512, no more.
TEST(Profile, StacksStopAt512Frames) {
    TempRoot folder;
    const std::string profile = folder.path() + "/deep.out";
    Finished f = run_command({VEKOS_EMU, "--profile", profile, kDeep});
    ASSERT_EQ(f.status, 0) << f.err;
    std::istringstream in(read_text(profile + ".folded"));
    size_t deepest = 0;
    for (std::string line; std::getline(in, line);)
        deepest = std::max<size_t>(deepest, std::count(line.begin(), line.end(), ';'));
    EXPECT_EQ(deepest, 512u) << "frames below the program's name on the deepest stack";
}

} // namespace
