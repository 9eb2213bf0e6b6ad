// Guest memory: the user regions of one process, backed by host buffers that the CPU engine
// maps directly. Besides the guest's own instructions, this is the only code that reads or
// writes guest memory, or hands out a view of it for one trap (traps, the loader, the test
// harness, snapshots): every range is checked against the regions and their permissions,
// with arithmetic that cannot overflow.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vekos {

// Permission bits; the values are Unicorn's UC_PROT_* so they map through unchanged.
enum Prot : uint32_t { kProtRead = 1, kProtWrite = 2, kProtExec = 4 };

constexpr uint32_t kPageSize = 0x1000;

struct Region {
    uint32_t base;
    uint32_t size; // page multiple
    uint32_t prot;
    std::string name;
    uint8_t *host;                // owned by GuestMemory
    std::vector<uint8_t> written; // per page of a writable region: written since the snapshot
    uint64_t end() const { return uint64_t(base) + size; }
};

// Told of every write the kernel makes into executable memory (traps, the loader, the test
// harness, snapshots): code translated from the old bytes must go, as after the guest's own
// stores.
class CodeWriteObserver {
  public:
    virtual ~CodeWriteObserver() = default;
    virtual void code_written(uint32_t address, uint32_t size) = 0;
};

// Told when regions come or go while the memory is attached (mappings made and released by
// traps), for the engine to map what changed: [begin, end) covers every region that went, and
// the regions there now.
class RegionObserver {
  public:
    virtual ~RegionObserver() = default;
    virtual void regions_changed(uint32_t begin, uint64_t end) = 0;
};

class GuestMemory {
  public:
    GuestMemory() = default;
    GuestMemory(const GuestMemory &) = delete;
    GuestMemory &operator=(const GuestMemory &) = delete;
    ~GuestMemory();

    // Adds a zero-filled region. Base and size must be page multiples, the size non-zero and
    // the range free.
    bool add_region(uint32_t base, uint32_t size, uint32_t prot, std::string name);
    // Takes the whole pages of [base, base + size) out of the regions called `name` they lie
    // in, splitting a region that reaches past the range; other pages are left alone. Base and
    // size must be page multiples. Returns the bytes taken.
    uint64_t remove_range(uint32_t base, uint32_t size, std::string_view name);
    const std::vector<Region> &regions() const { return regions_; }
    const Region *find(uint32_t addr) const;
    void set_code_write_observer(CodeWriteObserver *observer) { code_observer_ = observer; }
    void set_region_observer(RegionObserver *observer) { region_observer_ = observer; }

    // True when every byte of [addr, addr + n) is mapped with all of `prot`. n == 0 is true.
    bool accessible(uint32_t addr, uint32_t n, uint32_t prot) const;

    // Guest-permission checked copies; nothing is copied unless the whole range passes.
    bool read(uint32_t addr, void *out, uint32_t n) const;
    bool write(uint32_t addr, const void *in, uint32_t n);
    std::optional<std::vector<uint8_t>> read_bytes(uint32_t addr, uint32_t n) const;
    // The NUL-terminated string at addr, if it is readable and ends within `cap` bytes.
    std::optional<std::string> read_string(uint32_t addr, uint32_t cap) const;
    std::optional<uint32_t> read_u32(uint32_t addr) const;
    // The host bytes of [addr, addr + n) when they lie in one region with all of `prot`, to
    // move data without a copy in between; nullptr otherwise (callers then copy). The
    // writable view counts as written.
    const uint8_t *view(uint32_t addr, uint32_t n, uint32_t prot) const;
    uint8_t *writable_view(uint32_t addr, uint32_t n);
    bool write_u32(uint32_t addr, uint32_t value);

    // For the loader and the test harness: writes regardless of guest permissions (code and
    // read-only data must be filled somehow), still range checked.
    bool poke(uint32_t addr, const void *in, uint32_t n);
    bool fill(uint32_t addr, uint8_t byte, uint32_t n);

    // Recording: the ranges written from now on (a trap's bytes), until taken. `room` marks a
    // writable view, which its taker may have filled only in part.
    struct Written {
        uint32_t addr, size;
        bool room;
    };
    void log_writes() {
        logging_ = true;
        written_log_.clear();
    }
    // The ranges written since log_writes(); the log stops.
    const std::vector<Written> &stop_logging() {
        logging_ = false;
        return written_log_;
    }

    // The writable regions' bytes at one moment, to bring them back to it cheaply.
    struct Snapshot {
        struct Saved {
            uint32_t base;
            std::vector<uint8_t> bytes;
            std::vector<bool> zero_page; // restored by dropping the page, not by copying
        };
        std::vector<Saved> writable;
    };
    // Taking one starts noting which pages are written: the kernel's writes (write, poke,
    // fill) note themselves, the guest's stores are noted by the engine (note_store). While
    // the engine says it sees every store (set_stores_noted), restore() brings back only the
    // pages written; otherwise all writable memory. It returns the host span of the pages it
    // brought back, for the engine to watch for stores again.
    Snapshot snapshot();
    struct HostSpan {
        uint8_t *begin = nullptr, *end = nullptr;
    };
    HostSpan restore(const Snapshot &snapshot);
    bool has_snapshot() const { return has_snapshot_; }
    void set_stores_noted(bool noted) { stores_noted_ = noted; }
    // For the engine: whether the page at `host` (one of ours) still needs its first store
    // noted, and noting it; the latter gives its guest address, when the page is ours.
    bool store_unnoted(const uint8_t *host) const;
    std::optional<uint32_t> note_store(const uint8_t *host);

    // For the engine, which keeps its host mappings from one process to the next. The guest
    // sees the same bytes either way; only their host address changes. Moves the pages of the
    // region at `base` onto `frame` (same size; its old range goes), or off their current
    // range to a new one, leaving that range mapped and empty. False when the host refuses,
    // and then nothing has changed.
    bool move_pages_to(uint32_t base, uint8_t *frame);
    bool move_pages_off(uint32_t base);

  private:
    Region *region_at(uint32_t base);
    const Region *find_host(const uint8_t *host) const;
    void note_written(uint32_t addr, uint32_t n);
    void note_page(Region &region, uint32_t page);
    static void restore_region(const Region &region, const Snapshot::Saved &saved);
    HostSpan restore_written(const Snapshot &snapshot);
    template <typename Piece>
    bool each_piece(uint32_t addr, uint32_t n, uint32_t prot, Piece &&piece) const;
    template <typename Piece> bool store(uint32_t addr, uint32_t n, uint32_t prot, Piece &&piece);
    void wrote(uint32_t addr, uint32_t n);

    std::vector<Region> regions_;   // sorted by base
    mutable size_t last_found_ = 0; // find()'s last answer
    std::vector<uint32_t> written_; // guest addresses of the pages written since the snapshot
    bool has_snapshot_ = false;
    bool logging_ = false;
    std::vector<Written> written_log_;
    bool stores_noted_ = false;
    CodeWriteObserver *code_observer_ = nullptr;
    RegionObserver *region_observer_ = nullptr;
};

} // namespace vekos
