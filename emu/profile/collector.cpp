#include "profile/collector.h"

#include "profile/callgrind_writer.h"
#include "profile/folded_stacks.h"
#include "profile/lcov_writer.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string_view>

namespace vekos::profile {
namespace {

bool write_text(const std::string &path, const std::string &text, const char *option) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (out) return true;
    std::fprintf(stderr, "vekos-emu: %s: %s: cannot be written\n", option, path.c_str());
    return false;
}

} // namespace

std::shared_ptr<BlockCounter> Collector::counter(const std::vector<uint8_t> &file,
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
        auto saved = save_lcov(options_.coverage, coverage, "");
        if (!saved) {
            std::fprintf(stderr, "vekos-emu: --coverage: %s\n", saved.error().c_str());
            ok = false;
        }
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
