// Coverage and profiles of counted.uelf, whose source marks each line's expected executions
// ("runs N"): the lcov tracefile holds exactly those counts (twice after two runs into one
// file), the library's lines under its installed sources, and genhtml reads it; the profile
// holds the calls, its folded stacks are the same on every run, and callgrind_annotate reads it.
// Files that can't take a run's counts are refused before it, and a writer killed midway leaves
// the old files whole.
#include "profile/tracefile.h"
#include "subprocess.h"
#include "temp_root.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
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
constexpr uint64_t kMaxTracefile = vekos::profile::kMaxTracefileBytes;

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

std::vector<std::string> emu_command(const std::vector<std::string> &args) {
    std::vector<std::string> argv{VEKOS_EMU};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(kProgram);
    return argv;
}

// vekos-emu ARGS counted.uelf, killed (status 137) if it takes ten seconds.
Finished emu_bounded(const std::vector<std::string> &args) {
    std::vector<std::string> argv{"/usr/bin/env", "timeout", "-s", "KILL", "10"};
    for (std::string &word : emu_command(args)) argv.push_back(std::move(word));
    return run_command(argv);
}

// vekos-emu ARGS counted.uelf with files limited to `bytes`: the host kills it (SIGXFSZ, no
// core) at its first write past them, as abruptly as SIGKILL would.
Finished emu_killed_writing(const std::vector<std::string> &args, rlim_t bytes) {
    std::vector<std::string> words = emu_command(args);
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    Child child([&] {
        const rlimit limit{bytes, bytes}, no_core{0, 0};
        setrlimit(RLIMIT_FSIZE, &limit);
        setrlimit(RLIMIT_CORE, &no_core);
        execv(argv[0], argv.data());
        return 127;
    });
    return child.finish();
}

// The names in a folder, sorted.
std::vector<std::string> listing(const std::string &folder) {
    std::istringstream in(run_command({"/bin/ls", "-A", folder}).out);
    std::vector<std::string> names;
    for (std::string name; std::getline(in, name);) names.push_back(name);
    return names;
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

// Not a regular file, not a tracefile, or too large to read: refused before the run with
// status 2, without waiting or reading without end, and left as it was.
TEST(Coverage, RefusesFilesItCannotWriteBeforeTheRun) {
    TempRoot folder;
    const std::string fifo = folder.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string garbage = folder.path() + "/garbage.info";
    const std::string kGarbage = "TN:\nSF:/a.c\nDA:1,2\nhello garbage\n";
    std::ofstream(garbage) << kGarbage;
    const std::string large = folder.path() + "/large.info";
    std::ofstream(large).close();
    ASSERT_EQ(truncate(large.c_str(), off_t(kMaxTracefile) + 1), 0);
    const std::string profile = folder.path() + "/prof";
    ASSERT_EQ(mkfifo((profile + ".folded").c_str(), 0600), 0);
    const std::string regular = ": not a regular file\n";
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--coverage", fifo}, "--coverage " + fifo + regular},
        {{"--coverage", "/dev/zero"}, "--coverage /dev/zero" + regular},
        {{"--coverage", "/dev/full"}, "--coverage /dev/full" + regular},
        {{"--coverage", garbage}, "--coverage " + garbage + ": line 4: not an lcov record\n"},
        {{"--coverage", large},
         "--coverage " + large + ": larger than 64 MiB, the most a tracefile may hold\n"},
        {{"--profile", fifo}, "--profile " + fifo + regular},
        {{"--profile", profile}, "--profile " + profile + ".folded" + regular},
    };
    for (const Case &c : cases) {
        Finished f = emu_bounded(c.args);
        EXPECT_EQ(f.status, 2) << c.args[0] << " " << c.args[1] << ": " << f.err;
        EXPECT_EQ(f.err, "vekos-emu: " + c.err);
    }
    EXPECT_EQ(read_text(garbage), kGarbage) << "the file refused was changed";
    struct stat st;
    EXPECT_TRUE(stat(large.c_str(), &st) == 0 && uint64_t(st.st_size) == kMaxTracefile + 1)
        << "the file refused was changed";
    EXPECT_EQ(listing(folder.path()),
              (std::vector<std::string>{"fifo", "garbage.info", "large.info", "prof.folded"}))
        << "files were made for runs refused";
}

// Counts that would pass the largest are held there, and one line says so.
TEST(Coverage, CountsAreHeldAtTheLargestAndSaySo) {
    TempRoot folder;
    const std::string tracefile = folder.path() + "/full.info";
    const auto [line, count] = *marked_counts().rbegin();
    std::ofstream(tracefile) << "SF:" << kSource << "\nDA:" << line
                             << ",18446744073709551615\nend_of_record\n";
    Finished f = run_command(emu_command({"--coverage", tracefile}));
    EXPECT_EQ(f.status, 0);
    EXPECT_EQ(f.err, "vekos-emu: --coverage " + tracefile +
                         ": a count went past 18446744073709551615 and was held there\n");
    EXPECT_EQ(records_of(read_text(tracefile), kSource)["DA:" + std::to_string(line)],
              18446744073709551615u)
        << "line " << line << ", which ran " << count << " times";
}

// A run killed while it writes (a ctest timeout) leaves the tracefile and the profile as they
// were, and no file of its own beside them.
TEST(CoverageAndProfile, AWriterKilledMidwayLeavesTheOldFilesWhole) {
    TempRoot folder;
    const std::string tracefile = folder.path() + "/t.info", profile = folder.path() + "/p.out";
    Finished first = run_command(emu_command({"--coverage", tracefile, "--profile", profile}));
    ASSERT_EQ(first.status, 0) << first.err;
    const std::vector<std::string> files = {tracefile, profile, profile + ".folded"};
    std::vector<std::string> before;
    for (const std::string &file : files) before.push_back(read_text(file));
    for (const char *option : {"--coverage", "--profile"}) {
        Finished f = emu_killed_writing({option, option[2] == 'c' ? tracefile : profile}, 64);
        EXPECT_EQ(f.status, 128 + SIGXFSZ) << option << ": expected a run killed writing";
        for (size_t i = 0; i < files.size(); i++) {
            std::string now = read_text(files[i]);
            EXPECT_TRUE(now == before[i])
                << files[i] << " after " << option << ": expected its " << before[i].size()
                << " bytes as they were, found " << now.size() << " bytes";
        }
        EXPECT_EQ(listing(folder.path()),
                  (std::vector<std::string>{"p.out", "p.out.folded", "t.info"}))
            << "after " << option;
    }
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
