#include "profile/callgrind_writer.h"

#include <map>
#include <tuple>

namespace vekos::profile {
namespace {

// Callgrind's name compression: "(id) name" the first time, "(id)" after.
class Names {
  public:
    std::string operator()(const std::string &name) {
        auto [it, added] = ids_.try_emplace(name, ids_.size() + 1);
        std::string id = "(" + std::to_string(it->second) + ")";
        return added ? id + " " + name : id;
    }

  private:
    std::map<std::string, size_t> ids_;
};

struct Cost {
    uint64_t instructions = 0;
    uint64_t kernel_ns = 0;
};

struct Call {
    std::string callee;
    std::string callee_file;
    int callee_line;
    CallEdge edge;
};

// One function's lines and calls, by file and line.
struct FunctionCosts {
    std::string file; // where its entry is
    std::map<std::pair<std::string, int>, Cost> lines;
    std::map<std::pair<std::string, int>, std::vector<Call>> calls;
};

std::string file_or_unknown(std::string_view file) {
    return file.empty() ? "???" : std::string(file);
}

std::map<std::string, FunctionCosts> function_costs(const ImageCosts &costs) {
    std::map<std::string, FunctionCosts> functions;
    auto function = [&](uint32_t address) -> FunctionCosts & {
        FunctionCosts &f = functions[costs.function_at(address)];
        if (f.file.empty())
            f.file = file_or_unknown(costs.line_at(costs.function_entry(address)).file);
        return f;
    };
    for (const auto &[address, count] : costs.executions()) {
        SourceLine at = costs.line_at(address);
        function(address).lines[{file_or_unknown(at.file), at.line}].instructions += count;
    }
    for (const auto &[address, ns] : costs.image().trap_sites()) {
        SourceLine at = costs.line_at(address);
        function(address).lines[{file_or_unknown(at.file), at.line}].kernel_ns += ns;
    }
    for (const auto &[key, edge] : costs.image().calls()) {
        auto [site, target] = key;
        SourceLine from = costs.line_at(site), to = costs.line_at(target);
        function(site).calls[{file_or_unknown(from.file), from.line}].push_back(
            {costs.function_at(target), file_or_unknown(to.file), to.line, edge});
    }
    return functions;
}

} // namespace

std::string format_callgrind(const std::vector<const ImageCosts *> &images,
                             const std::string &command) {
    uint64_t total = 0, total_ns = 0;
    for (const ImageCosts *costs : images) {
        for (const auto &[address, count] : costs->executions()) total += count;
        for (const auto &[address, ns] : costs->image().trap_sites()) total_ns += ns;
    }
    std::string out = "# callgrind format\nversion: 1\ncreator: vekos-emu\n";
    out += "cmd: " + command + "\npositions: line\nevents: Ir Kns\n";
    out += "summary: " + std::to_string(total) + " " + std::to_string(total_ns) + "\n";
    Names objects, files, functions;
    for (const ImageCosts *costs : images) {
        out += "\nob=" + objects(costs->image().name()) + "\n";
        for (const auto &[name, f] : function_costs(*costs)) {
            out += "\nfl=" + files(f.file) + "\nfn=" + functions(name) + "\n";
            std::string current = f.file;
            auto in_file = [&](const std::string &file) {
                if (file != current) out += "fi=" + files(file) + "\n";
                current = file;
            };
            for (const auto &[place, cost] : f.lines) {
                in_file(place.first);
                out += std::to_string(place.second) + " " + std::to_string(cost.instructions);
                if (cost.kernel_ns != 0) out += " " + std::to_string(cost.kernel_ns);
                out += "\n";
            }
            for (const auto &[place, calls] : f.calls) {
                for (const Call &call : calls) {
                    in_file(place.first);
                    out += "cfi=" + files(call.callee_file) + "\ncfn=" + functions(call.callee) +
                           "\ncalls=" + std::to_string(call.edge.calls) + " " +
                           std::to_string(call.callee_line) + "\n" + std::to_string(place.second) +
                           " " + std::to_string(call.edge.inclusive) + "\n";
                }
            }
        }
    }
    return out;
}

} // namespace vekos::profile
