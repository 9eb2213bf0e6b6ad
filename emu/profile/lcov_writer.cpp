#include "profile/lcov_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace vekos::profile {
namespace {

template <typename Number> bool parse_number(std::string_view text, Number &value) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// "12,34" as its two parts.
std::pair<std::string_view, std::string_view> split_comma(std::string_view text) {
    size_t comma = text.find(',');
    if (comma == std::string_view::npos) return {text, {}};
    return {text.substr(0, comma), text.substr(comma + 1)};
}

Result<std::string> read_all(int fd) {
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Failure{std::strerror(errno)};
        if (n == 0) return text;
        text.append(buffer, size_t(n));
    }
}

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(size_t(n));
    }
    return true;
}

} // namespace

size_t add_coverage(Coverage &coverage, const ImageCosts &costs) {
    std::map<std::pair<std::string_view, int>, uint64_t> lines;
    for (const debug::LineRow &row : costs.rows()) {
        if (row.end_sequence || row.line <= 0) continue;
        uint64_t &count = lines[{row.file, row.line}];
        count = std::max(count, costs.executions_at(row.address));
    }
    for (const auto &[place, count] : lines)
        coverage[std::string(place.first)].lines[place.second] += count;
    size_t without_lines = 0;
    for (const auto &symbol : costs.functions()) {
        SourceLine at = costs.line_at(symbol.address);
        const std::string file = at.file.empty() ? costs.image().name() : std::string(at.file);
        FunctionCoverage &function = coverage[file].functions[symbol.name];
        function.line = at.line;
        function.count += costs.executions_at(symbol.address);
        without_lines += at.file.empty();
    }
    return without_lines;
}

void merge(Coverage &into, const Coverage &from) {
    for (const auto &[name, file] : from) {
        FileCoverage &target = into[name];
        for (const auto &[line, count] : file.lines) target.lines[line] += count;
        for (const auto &[function, data] : file.functions) {
            FunctionCoverage &f = target.functions[function];
            if (f.line == 0) f.line = data.line;
            f.count += data.count;
        }
    }
}

std::string format_lcov(const Coverage &coverage, std::string_view test_name) {
    std::string out;
    auto line = [&out](std::string_view key, const std::string &value) {
        out.append(key).append(":").append(value).append("\n");
    };
    for (const auto &[name, file] : coverage) {
        line("TN", std::string(test_name));
        line("SF", name);
        size_t functions_hit = 0, lines_hit = 0;
        for (const auto &[function, data] : file.functions)
            line("FN", std::to_string(data.line) + "," + function);
        for (const auto &[function, data] : file.functions) {
            line("FNDA", std::to_string(data.count) + "," + function);
            functions_hit += data.count > 0;
        }
        line("FNF", std::to_string(file.functions.size()));
        line("FNH", std::to_string(functions_hit));
        for (const auto &[number, count] : file.lines) {
            line("DA", std::to_string(number) + "," + std::to_string(count));
            lines_hit += count > 0;
        }
        line("LF", std::to_string(file.lines.size()));
        line("LH", std::to_string(lines_hit));
        out += "end_of_record\n";
    }
    return out;
}

Coverage parse_lcov(std::string_view text) {
    Coverage coverage;
    FileCoverage *file = nullptr;
    while (!text.empty()) {
        size_t end = std::min(text.find('\n'), text.size());
        std::string_view record = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        size_t colon = record.find(':');
        std::string_view key = record.substr(0, colon);
        std::string_view value = colon == std::string_view::npos ? "" : record.substr(colon + 1);
        if (key == "SF") {
            file = &coverage[std::string(value)];
        } else if (key == "end_of_record") {
            file = nullptr;
        } else if (file != nullptr && (key == "DA" || key == "FN" || key == "FNDA")) {
            auto [first, second] = split_comma(value);
            if (key == "DA") {
                int number = 0;
                uint64_t count = 0;
                // A DA line may end with a checksum: ",count,checksum".
                if (parse_number(first, number) && parse_number(split_comma(second).first, count))
                    file->lines[number] += count;
            } else if (key == "FN") {
                int number = 0;
                if (parse_number(first, number) && !second.empty())
                    file->functions[std::string(second)].line = number;
            } else {
                uint64_t count = 0;
                if (parse_number(first, count) && !second.empty())
                    file->functions[std::string(second)].count += count;
            }
        }
    }
    return coverage;
}

Result<std::string> save_lcov(const std::string &path, const Coverage &coverage,
                              std::string_view test_name) {
    struct stat st;
    std::string target = path;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        target = path + "/vekos-" + std::to_string(getpid()) + ".info";
    int fd = open(target.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return Failure{target + ": " + std::strerror(errno)};
    // Held until the file is closed: concurrent runs (ctest -j) merge one after another.
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    auto old = read_all(fd);
    bool written = false;
    if (old) {
        Coverage merged = parse_lcov(*old);
        merge(merged, coverage);
        std::string text = format_lcov(merged, test_name);
        written = lseek(fd, 0, SEEK_SET) == 0 && ftruncate(fd, 0) == 0 && write_all(fd, text);
    }
    int saved = errno;
    close(fd);
    if (!old) return Failure{target + ": " + old.error()};
    if (!written) return Failure{target + ": " + std::strerror(saved)};
    return target;
}

} // namespace vekos::profile
