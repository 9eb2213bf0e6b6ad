#include "profile/lcov_writer.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace vekos::profile {
namespace {

constexpr uint64_t kMaxCount = std::numeric_limits<uint64_t>::max();

// Adds `count`, held at kMaxCount; true when it was.
bool add_count(uint64_t &into, uint64_t count) {
    if (count > kMaxCount - into) {
        into = kMaxCount;
        return true;
    }
    into += count;
    return false;
}

// Digits only, as lcov writes numbers; a count past kMaxCount is held there.
bool parse_count(std::string_view text, uint64_t &value, bool &saturated) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc::result_out_of_range) {
        value = kMaxCount;
        saturated = true;
    }
    return true;
}

bool parse_line_number(std::string_view text, int &number) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    return error == std::errc();
}

// "12,34" as its two parts.
std::pair<std::string_view, std::string_view> split_comma(std::string_view text) {
    size_t comma = text.find(',');
    if (comma == std::string_view::npos) return {text, {}};
    return {text.substr(0, comma), text.substr(comma + 1)};
}

// "KEY:" with a key of capitals, digits and '_', as every lcov record but end_of_record.
bool record_key(std::string_view key) {
    return !key.empty() && key[0] >= 'A' && key[0] <= 'Z' &&
           key.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") == std::string_view::npos;
}

// Takes one line into `coverage`; "" or what is wrong with it.
std::string take_record(Coverage &coverage, FileCoverage *&file, std::string_view record,
                        bool &saturated) {
    if (record.empty()) return "";
    if (record == "end_of_record") {
        file = nullptr;
        return "";
    }
    size_t colon = record.find(':');
    std::string_view key = record.substr(0, colon);
    if (colon == std::string_view::npos || !record_key(key)) return "not an lcov record";
    std::string_view value = record.substr(colon + 1);
    if (key == "SF") {
        if (value.empty()) return "SF without a file name";
        file = &coverage[std::string(value)];
        return "";
    }
    if (key != "DA" && key != "FN" && key != "FNDA") return ""; // TN, LF, BRDA...
    if (file == nullptr) return std::string(key) + " outside a file's record (no SF before it)";
    const std::string malformed = "malformed " + std::string(key) + " record";
    auto [first, second] = split_comma(value);
    if (key == "DA") {
        // A DA line may end with a checksum: ",count,checksum".
        int number = 0;
        uint64_t count = 0;
        if (!parse_line_number(first, number) ||
            !parse_count(split_comma(second).first, count, saturated))
            return malformed;
        saturated |= add_count(file->lines[number], count);
    } else if (key == "FN") {
        // lcov 2 puts the function's last line before its name: "FN:3,9,f".
        int number = 0, last = 0;
        auto [maybe_last, name] = split_comma(second);
        if (!parse_line_number(maybe_last, last)) name = second;
        if (!parse_line_number(first, number) || name.empty()) return malformed;
        file->functions[std::string(name)].line = number;
    } else {
        uint64_t count = 0;
        if (!parse_count(first, count, saturated) || second.empty()) return malformed;
        saturated |= add_count(file->functions[std::string(second)].count, count);
    }
    return "";
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

bool merge(Coverage &into, const Coverage &from) {
    bool saturated = false;
    for (const auto &[name, file] : from) {
        FileCoverage &target = into[name];
        for (const auto &[line, count] : file.lines)
            saturated |= add_count(target.lines[line], count);
        for (const auto &[function, data] : file.functions) {
            FunctionCoverage &f = target.functions[function];
            if (f.line == 0) f.line = data.line;
            saturated |= add_count(f.count, data.count);
        }
    }
    return saturated;
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

Result<Coverage> parse_lcov(std::string_view text, bool &saturated) {
    Coverage coverage;
    FileCoverage *file = nullptr;
    for (size_t number = 1; !text.empty(); number++) {
        size_t end = std::min(text.find('\n'), text.size());
        std::string_view record = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (record.ends_with('\r')) record.remove_suffix(1);
        std::string problem = take_record(coverage, file, record, saturated);
        if (!problem.empty()) return Failure{"line " + std::to_string(number) + ": " + problem};
    }
    return coverage;
}

} // namespace vekos::profile
