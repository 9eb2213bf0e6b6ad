// The plugin inside vekos-cc, on C and C++ sources: every annotated pitfall of the corpus
// warns at its column with its text and nothing else warns; correct calls, the options that
// silence the check or make it an error.
#include "subprocess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string corpus = CORPUS_DIR;

struct Compiled {
    int status = 0;
    std::string output;
};

// Compiles `path` with `options` (words apart by spaces); a compile still running after
// `limit` seconds is killed.
Compiled compile_file(const std::string &path, const std::string &options, double limit = 600) {
    std::vector<std::string> argv{"/usr/bin/timeout", "-s", "KILL", std::to_string(limit),
                                  VEKOS_CC};
    std::istringstream words(options);
    for (std::string word; words >> word;) argv.push_back(word);
    argv.insert(argv.end(), {"-c", path, "-o", "/dev/null"});
    Finished f = run_command(argv);
    return {f.status, f.out + f.err};
}

Compiled compile(const std::string &source, const std::string &options = "") {
    return compile_file(corpus + "/" + source, options);
}

struct Diagnostic {
    int line, column;
    std::string kind, text;
};

// "file:LINE:COLUMN: warning: TEXT [-Wvekos-format]" lines, in order.
std::vector<Diagnostic> diagnostics(const std::string &output) {
    static const std::regex line(
        R"(^[^:\n]+:(\d+):(\d+): (warning|error): (.*) \[-Wvekos-format\]$)");
    std::vector<Diagnostic> found;
    std::istringstream lines(output);
    for (std::string text; std::getline(lines, text);) {
        std::smatch m;
        if (std::regex_match(text, m, line))
            found.push_back({std::stoi(m[1]), std::stoi(m[2]), m[3], m[4]});
    }
    return found;
}

// The "expect COLUMN: TEXT" annotations of a source, by line.
std::multimap<int, std::pair<int, std::string>> expectations(const std::string &source) {
    std::multimap<int, std::pair<int, std::string>> expected;
    std::ifstream in(corpus + "/" + source);
    static const std::regex note(R"(expect (\d+): (.*?)\s*(?=//|$))");
    int number = 0;
    for (std::string text; std::getline(in, text);) {
        number++;
        for (std::sregex_iterator it(text.begin(), text.end(), note), end; it != end; ++it)
            expected.insert({number, {std::stoi((*it)[1]), (*it)[2]}});
    }
    return expected;
}

void expect_annotated(const std::string &source) {
    Compiled result = compile(source);
    EXPECT_EQ(result.status, 0) << source << ": warnings only, got:\n" << result.output;
    auto expected = expectations(source);
    for (const Diagnostic &d : diagnostics(result.output)) {
        auto [from, to] = expected.equal_range(d.line);
        auto match = std::find_if(from, to, [&](const auto &e) {
            return e.second.first == d.column && d.text.find(e.second.second) != std::string::npos;
        });
        if (match == to) {
            ADD_FAILURE() << source << ":" << d.line << ":" << d.column << ": unexpected " << d.kind
                          << ": " << d.text;
            continue;
        }
        EXPECT_EQ(d.kind, "warning") << source << ":" << d.line;
        expected.erase(match);
    }
    for (const auto &[line, e] : expected)
        ADD_FAILURE() << source << ":" << line << ":" << e.first << ": expected a warning saying \""
                      << e.second << "\", got none";
}

TEST(FormatPlugin, StreamFormatterCorpus) {
    expect_annotated("stream.c");
}

TEST(FormatPlugin, BufferFormatterCorpus) {
    expect_annotated("buffer.c");
}

TEST(FormatPlugin, ScanCorpus) {
    expect_annotated("scan.c");
}

TEST(FormatPlugin, CxxCorpus) {
    expect_annotated("calls.cpp");
}

TEST(FormatPlugin, OwnPrintfIsNotChecked) {
    expect_annotated("own_printf.cpp");
}

// Sources that cost the check time: deeply nested statement expressions (in several
// functions, so the compile is long enough to time), and many calls.
std::string nested_statement_expressions(int depth, int functions) {
    std::string value = "x";
    for (int i = depth; i > 0; i--) {
        std::string name = "v" + std::to_string(i);
        value = "({ int " + name + " = " + value + "; " + name + "; })";
    }
    std::string text;
    for (int f = 0; f < functions; f++)
        text += "int nested" + std::to_string(f) + "(int x) { return " + value + "; }\n";
    return text;
}

std::string many_calls(int count) {
    std::string text = "#include <stdio.h>\nvoid many(int x, const char *s) {\n";
    for (int i = 0; i < count; i++) text += "    printf(\"%d %s %x\\n\", x, s, x + 1);\n";
    return text + "}\n";
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The check costs time in proportion to the source, measured against the same compile
// without it; the front end alone (-fsyntax-only) keeps both fast. A walk that grows with
// depth takes hundreds of times as long at depth 200, so the bound leaves room for a busy
// machine.
TEST(FormatPlugin, CompileTimeGrowsLinearly) {
    constexpr double ratio = 10;
    struct Source {
        std::string name, text;
    };
    for (const Source &source :
         {Source{"statement expressions nested 200 deep", nested_statement_expressions(200, 20)},
          Source{"10000 calls", many_calls(10000)}}) {
        std::string path = testing::TempDir() + "vekos_format_cost.c";
        std::ofstream(path) << source.text;
        // Each the faster of two runs, against a busy machine; a checked run past the bound
        // is killed, so a cost that grows with depth fails rather than stalls.
        auto fastest = [&](const std::string &options, double limit, Compiled &last) {
            double best = limit;
            for (int i = 0; i < 2; i++) {
                auto start = std::chrono::steady_clock::now();
                last = compile_file(path, "-fsyntax-only " + options, limit);
                best = std::min(best, seconds_since(start));
            }
            return best;
        };
        Compiled unchecked_run, checked_run;
        double unchecked = fastest("-Wno-vekos-format", 600, unchecked_run);
        double checked = fastest("", ratio * unchecked, checked_run);
        EXPECT_EQ(checked_run.status, 0) << source.name << ": expected a clean compile, got:\n"
                                         << checked_run.output;
        EXPECT_LE(checked, ratio * unchecked)
            << source.name << ": expected at most " << ratio << " times the " << unchecked
            << " s it takes unchecked, took " << checked << " s";
        std::remove(path.c_str());
    }
}

TEST(FormatPlugin, Options) {
    for (const char *option : {"-Wall -Werror -Wno-vekos-format", "-w -Werror"}) {
        Compiled off = compile("stream.c", option);
        EXPECT_EQ(off.status, 0) << option << ": expected silence, got:\n" << off.output;
        EXPECT_EQ(off.output, "") << option;
    }

    for (const char *option : {"-Werror", "-Werror=vekos-format"}) {
        Compiled strict = compile("stream.c", option);
        std::vector<Diagnostic> found = diagnostics(strict.output);
        EXPECT_NE(strict.status, 0) << option << ": expected the compile to fail";
        EXPECT_EQ(found.size(), expectations("stream.c").size()) << option << ":\n"
                                                                 << strict.output;
        for (const Diagnostic &d : found) EXPECT_EQ(d.kind, "error") << option << ": " << d.text;
    }

    Compiled relaxed = compile("stream.c", "-Werror -Wno-error=vekos-format");
    EXPECT_EQ(relaxed.status, 0) << "-Wno-error=vekos-format:\n" << relaxed.output;
    for (const Diagnostic &d : diagnostics(relaxed.output)) EXPECT_EQ(d.kind, "warning") << d.text;
}

} // namespace
