// Guest stores on the fast path stay correct: code rewritten while it runs is run as rewritten,
// stores to read-only pages still fault, and memory-write hooks still see every store.
#include "subprocess.h"

#include <gtest/gtest.h>
#include <unicorn/unicorn.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

TEST(Stores, GuestCodeRewrittenWhileRunningRunsAsRewritten) {
    struct Case {
        const char *command;
        int status;
        const char *err;
    } cases[] = {
        // Written with stores, called, rewritten, called again: 10 * 3 + 4.
        {"rewrite-function", 34, ""},
        // The store patches the immediate of the next instruction of its own block.
        {"patch-next", 5, ""},
        // Loads from a read-only page first, so its page is in the TLB when the store comes.
        {"store-after-loads", 139, "vekos-emu: stores.uelf: write to read-only address 0x"},
    };
    for (const Case &c : cases) {
        Finished f = run_command({VEKOS_EMU, "--root", EMU_TEST_ROOT, "stores.uelf", c.command});
        EXPECT_EQ(f.status, c.status) << c.command << ": " << f.err;
        EXPECT_EQ(f.err.substr(0, std::strlen(c.err)), c.err) << c.command;
    }
}

TEST(Stores, CodeATrapOverwritesRunsAsWritten) {
    // read(0, code, 6) brings "mov eax, 4; ret" over the "mov eax, 3; ret" already run.
    Finished f = run_command({VEKOS_EMU, "--root", EMU_TEST_ROOT, "stores.uelf", "read-code"},
                             std::string("\xb8\x04\x00\x00\x00\xc3", 6));
    EXPECT_EQ(f.status, 34) << "expected 10 * 3 + 4; 33 means the old code ran again: " << f.err;
}

// A bare engine mapping host memory as vekos-emu does, for what the kernel doesn't expose.
class BareEngine {
  public:
    static constexpr uint64_t kCode = 0x10000, kData = 0x20000, kPage = 0x1000;

    BareEngine() {
        EXPECT_EQ(uc_open(UC_ARCH_X86, UC_MODE_32, &uc_), UC_ERR_OK);
        map(kCode, UC_PROT_READ | UC_PROT_EXEC);
    }
    ~BareEngine() { uc_close(uc_); }

    uint8_t *map(uint64_t address, uint32_t prot) {
        pages_.emplace_back(static_cast<uint8_t *>(std::aligned_alloc(kPage, kPage)), &std::free);
        uint8_t *host = pages_.back().get();
        std::memset(host, 0, kPage);
        EXPECT_EQ(uc_mem_map_ptr(uc_, address, kPage, prot, host), UC_ERR_OK);
        return host;
    }
    // Places code at `offset` in the code page and runs it to its end.
    uc_err run(uint64_t offset, const std::vector<uint8_t> &code) {
        uint8_t *host = code_host();
        std::memcpy(host + offset, code.data(), code.size());
        return uc_emu_start(uc_, kCode + offset, kCode + offset + code.size(), 0, 0);
    }
    uint8_t *code_host() { return pages_.front().get(); }
    uc_engine *uc() { return uc_; }

  private:
    uc_engine *uc_ = nullptr;
    std::vector<std::unique_ptr<uint8_t, decltype(&std::free)>> pages_;
};

// mov eax, [kData]; mov ebx, [kData + 4]; mov [kData + 8], eax
const std::vector<uint8_t> kLoadsThenStore = {0xa1, 0x00, 0x00, 0x02, 0x00, 0x8b, 0x1d, 0x04,
                                              0x00, 0x02, 0x00, 0xa3, 0x08, 0x00, 0x02, 0x00};

TEST(Stores, ReadOnlyPagesFaultAfterLoadsAndAfterStores) {
    {
        BareEngine e;
        uint8_t *data = e.map(BareEngine::kData, UC_PROT_READ);
        data[0] = 0x11;
        EXPECT_EQ(e.run(0, kLoadsThenStore), UC_ERR_WRITE_PROT) << "page mapped read-only";
        EXPECT_EQ(data[8], 0) << "the store to a read-only page went through";
    }
    {
        BareEngine e;
        uint8_t *data = e.map(BareEngine::kData, UC_PROT_READ | UC_PROT_WRITE);
        data[0] = 0x11;
        ASSERT_EQ(e.run(0, kLoadsThenStore), UC_ERR_OK) << "while writable";
        ASSERT_EQ(data[8], 0x11);
        data[8] = 0;
        ASSERT_EQ(uc_mem_protect(e.uc(), BareEngine::kData, BareEngine::kPage, UC_PROT_READ),
                  UC_ERR_OK);
        EXPECT_EQ(e.run(0, kLoadsThenStore), UC_ERR_WRITE_PROT) << "page made read-only";
        EXPECT_EQ(data[8], 0) << "the store to a page made read-only went through";
    }
}

struct StoreCount {
    int stores = 0;
    int passes = 0; // through the store instruction
    int add_at = 0; // pass on which the write hook is added, 0: before the run
    uc_hook hook = 0;
};

void count_store(uc_engine *, uc_mem_type, uint64_t, int, int64_t, void *count) {
    static_cast<StoreCount *>(count)->stores++;
}

void add_write_hook(uc_engine *uc, StoreCount &count) {
    EXPECT_EQ(uc_hook_add(uc, &count.hook, UC_HOOK_MEM_WRITE,
                          reinterpret_cast<void *>(&count_store), &count, 1, 0),
              UC_ERR_OK);
}

void at_store(uc_engine *uc, uint64_t, uint32_t, void *data) {
    auto &count = *static_cast<StoreCount *>(data);
    if (++count.passes == count.add_at) add_write_hook(uc, count);
}

TEST(Stores, WriteHooksSeeEveryStore) {
    // mov edi, kData; mov ecx, 64; again: mov [edi], cl; inc edi; dec ecx; jnz again
    const std::vector<uint8_t> fill = {0xbf, 0x00, 0x00, 0x02, 0x00, 0xb9, 0x40, 0x00,
                                       0x00, 0x00, 0x88, 0x0f, 0x47, 0x49, 0x75, 0xfa};
    const uint64_t store_at = BareEngine::kCode + 10;
    struct Case {
        const char *when;
        int add_at, expected;
    } cases[] = {
        {"hook added before the run", 0, 64},
        // The loop's block was translated without the hook and runs on: stores 33 to 64.
        {"hook added on the 33rd pass", 33, 32},
    };
    for (const Case &c : cases) {
        BareEngine e;
        uint8_t *data = e.map(BareEngine::kData, UC_PROT_READ | UC_PROT_WRITE);
        StoreCount count;
        count.add_at = c.add_at;
        uc_hook code_hook;
        ASSERT_EQ(uc_hook_add(e.uc(), &code_hook, UC_HOOK_CODE, reinterpret_cast<void *>(&at_store),
                              &count, store_at, store_at),
                  UC_ERR_OK);
        if (c.add_at == 0) add_write_hook(e.uc(), count);
        ASSERT_EQ(e.run(0, fill), UC_ERR_OK) << c.when;
        EXPECT_EQ(count.stores, c.expected) << c.when;
        EXPECT_EQ(data[0], 64) << c.when;
        EXPECT_EQ(data[63], 1) << c.when;
    }
}

} // namespace
