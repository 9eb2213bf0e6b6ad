#include "profile/collector.h"

#include "common/escape.h"
#include "fs/replace_file.h"
#include "profile/callgrind_writer.h"
#include "profile/folded_stacks.h"
#include "profile/lcov_writer.h"
#include "profile/tracefile.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace vekos::profile {
namespace {

// "vekos-emu: OPTION FILE: WHAT" on one line, the path escaped as option errors escape it.
void report(const char *option, const std::string &path, const std::string &what) {
    std::fprintf(stderr, "vekos-emu: %s %s: %s\n", option, escape_bytes(path, Escapes::C).c_str(),
                 what.c_str());
}

// Replaces the file whole: a run killed meanwhile leaves the old one.
bool write_text(const std::string &path, const std::string &text, const char *option) {
    auto why = replace_host_file(path, text);
    if (why) report(option, path, *why);
    return !why;
}

bool write_coverage(const std::string &path, const Coverage &coverage) {
    const std::string file = tracefile_path(path);
    auto saved = save_lcov(file, coverage, "");
    if (!saved) report("--coverage", file, saved.error());
    if (saved && saved->saturated)
        report("--coverage", file, "a count went past 18446744073709551615 and was held there");
    return bool(saved);
}

} // namespace

std::shared_ptr<ProcessCounter> Collector::counter(const std::vector<uint8_t> &file,
                                                   const std::string &name,
                                                   const GuestMemory &memory) {
    std::string_view bytes(reinterpret_cast<const char *>(file.data()), file.size());
    std::string key =
        std::to_string(file.size()) + ":" + std::to_string(std::hash<std::string_view>()(bytes));
    std::unique_ptr<ImageProfile> &image = images_[key];
    if (!image) {
        image = std::make_unique<ImageProfile>(name, file);
        order_.push_back(image.get());
    }
    auto counter = std::make_shared<BlockCounter>(*image, memory, calls());
    counters_.push_back(counter);
    return counter;
}

bool Collector::finish() {
    for (const auto &weak : counters_)
        if (auto counter = weak.lock()) counter->finish();
    std::vector<std::unique_ptr<ImageCosts>> owned;
    std::vector<const ImageCosts *> costs;
    for (const ImageProfile *image : order_) {
        owned.push_back(std::make_unique<ImageCosts>(*image, options_.paths));
        costs.push_back(owned.back().get());
    }
    bool ok = true;
    if (!options_.coverage.empty()) {
        Coverage coverage;
        for (const ImageCosts *c : costs) {
            // Only a program whose own main has no lines says so: the library's helpers
            // without lines are no news, and a note on stderr can fail a test that reads it.
            add_coverage(coverage, *c);
            auto main = std::find_if(c->functions().begin(), c->functions().end(),
                                     [](const auto &symbol) { return symbol.name == "main"; });
            if (main == c->functions().end() || c->line_at(main->address).file.empty())
                std::fprintf(stderr,
                             "vekos-emu: --coverage: %s has no line information for main (built "
                             "without -g?): its functions' counts only\n",
                             c->image().name().c_str());
        }
        ok = write_coverage(options_.coverage, coverage);
    }
    if (!options_.profile.empty()) {
        ok = write_text(options_.profile, format_callgrind(costs, options_.command), "--profile") &&
             ok;
        ok = write_text(options_.profile + ".folded", format_folded_stacks(costs), "--profile") &&
             ok;
    }
    if (options_.summary) std::fputs(format_summary(costs).c_str(), stderr);
    return ok;
}

} // namespace vekos::profile
