// The run-wide collector behind --coverage and --profile: one ImageProfile per distinct
// program image (by content: different programs share addresses, copies of one share counts),
// a BlockCounter for each process, and the files written when the run ends.
#pragma once

#include "kernel/block_counting.h"
#include "machine/guest_memory.h"
#include "profile/block_counts.h"
#include "profile/image_costs.h"

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace vekos::profile {

struct CollectorOptions {
    std::string coverage; // lcov tracefile, or a folder for one per run; empty: none
    std::string profile;  // callgrind file; folded stacks beside it (FILE.folded); empty: none
    bool summary = false; // top functions on stderr
    std::string command;  // the run's command line, for the profile's header
    SourcePaths paths;
};

class Collector final : public ProcessCounters {
  public:
    explicit Collector(CollectorOptions options) : options_(std::move(options)) {}

    std::shared_ptr<ProcessCounter> counter(const std::vector<uint8_t> &file,
                                            const std::string &name,
                                            const GuestMemory &memory) override;
    // Writes the files asked for; false when one couldn't be (reported on stderr). Counters
    // still alive are finished first.
    bool finish();

  private:
    bool calls() const { return !options_.profile.empty() || options_.summary; }

    CollectorOptions options_;
    // By size and hash of the file's content; in the order first run.
    std::unordered_map<std::string, std::unique_ptr<ImageProfile>> images_;
    std::vector<ImageProfile *> order_;
    std::vector<std::weak_ptr<BlockCounter>> counters_;
};

} // namespace vekos::profile
