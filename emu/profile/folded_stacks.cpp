#include "profile/folded_stacks.h"

#include "kernel/trap_table.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <set>

namespace vekos::profile {
namespace {

// Each stack's functions, outermost first.
std::vector<std::string> stack_names(const ImageCosts &costs, uint32_t node) {
    const std::vector<StackNode> &nodes = costs.image().stacks();
    std::vector<std::string> names;
    for (;; node = nodes[node].parent) {
        names.push_back(costs.callee_at(nodes[node].function));
        if (node == 0) break;
    }
    std::reverse(names.begin(), names.end());
    return names;
}

// Folded-stack frames may not hold ';' or spaces, which separate frames and the count.
std::string frame_name(std::string name) {
    std::replace(name.begin(), name.end(), ';', ':');
    std::replace(name.begin(), name.end(), ' ', '_');
    return name;
}

std::string program_name(const ImageCosts &costs) {
    const std::string &name = costs.image().name();
    return frame_name(name.substr(name.rfind('/') + 1));
}

using Ranking = std::vector<std::pair<uint64_t, std::string>>;

void append_ranking(std::string &out, const char *title, Ranking ranking, uint64_t total,
                    size_t top) {
    std::sort(ranking.begin(), ranking.end(), std::greater<>());
    out += title;
    for (size_t i = 0; i < ranking.size() && i < top; i++) {
        char line[64];
        std::snprintf(line, sizeof line, "  %14" PRIu64 " %5.1f%%  ", ranking[i].first,
                      total ? 100.0 * double(ranking[i].first) / double(total) : 0.0);
        out += line + ranking[i].second + "\n";
    }
}

} // namespace

std::string format_folded_stacks(const std::vector<const ImageCosts *> &images) {
    std::string out;
    for (const ImageCosts *costs : images) {
        const std::vector<StackNode> &nodes = costs->image().stacks();
        for (uint32_t node = 0; node < nodes.size(); node++) {
            if (nodes[node].cost == 0) continue;
            out += program_name(*costs);
            for (const std::string &name : stack_names(*costs, node)) out += ";" + frame_name(name);
            out += " " + std::to_string(nodes[node].cost) + "\n";
        }
    }
    return out;
}

std::string format_summary(const std::vector<const ImageCosts *> &images, size_t top) {
    std::map<std::string, uint64_t> exclusive, inclusive;
    std::map<uint32_t, TrapTime> traps;
    uint64_t total = 0;
    for (const ImageCosts *costs : images) {
        const std::string prefix = images.size() > 1 ? program_name(*costs) + ":" : "";
        for (const auto &[address, count] : costs->executions()) {
            exclusive[prefix + costs->function_at(address)] += count;
            total += count;
        }
        const std::vector<StackNode> &nodes = costs->image().stacks();
        for (uint32_t node = 0; node < nodes.size(); node++) {
            if (nodes[node].cost == 0) continue;
            std::vector<std::string> names = stack_names(*costs, node);
            for (const std::string &name : std::set<std::string>(names.begin(), names.end()))
                inclusive[prefix + name] += nodes[node].cost;
        }
        for (const auto &[number, time] : costs->image().traps()) {
            traps[number].count += time.count;
            traps[number].nanoseconds += time.nanoseconds;
        }
    }
    std::string out = "vekos-emu: profile: " + std::to_string(total) + " instructions\n";
    auto ranking = [](const std::map<std::string, uint64_t> &costs) {
        Ranking r;
        for (const auto &[name, cost] : costs) r.emplace_back(cost, name);
        return r;
    };
    append_ranking(out, "exclusive instructions:\n", ranking(exclusive), total, top);
    append_ranking(out, "inclusive instructions:\n", ranking(inclusive), total, top);
    if (!traps.empty()) out += "host time in traps:\n";
    for (const auto &[number, time] : traps) {
        const auto *row = find_trap(number);
        char line[128];
        std::snprintf(line, sizeof line, "  %-12s %8" PRIu64 " calls %12.3f ms\n",
                      row ? std::string(row->name).c_str() : std::to_string(number).c_str(),
                      time.count, double(time.nanoseconds) / 1e6);
        out += line;
    }
    return out;
}

} // namespace vekos::profile
