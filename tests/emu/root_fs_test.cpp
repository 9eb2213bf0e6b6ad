// Guest paths stay inside the root folder, whatever "..", absolute paths or symbolic links
// they use.
#include "abi/open_flags.h"
#include "abi/trap_numbers.h"
#include "fs/root_fs.h"
#include "guest.h"
#include "loader/programs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

namespace {

using vekos::RootFs;
using vekos::RootFsOptions;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Both ways paths resolve: openat2 where the host has it, and the walk it falls back to.
const RootFsOptions kLookups[] = {{.openat2 = true}, {.openat2 = false}};

const char *lookup_name(const RootFsOptions &options) {
    return options.openat2 ? "openat2" : "walk";
}

TEST(RootFs, NormalizesLexicallyAndDotDotStopsAtTheRoot) {
    struct Case {
        const char *cwd, *path, *expected;
    } cases[] = {
        {"/", "a/b", "/a/b"},
        {"/x", "a", "/x/a"},
        {"/x", "/a", "/a"},
        {"/", "..", "/"},
        {"/", "../../..", "/"},
        {"/a/b", "../c", "/a/c"},
        {"/a", "./b//c/.", "/a/b/c"},
        {"/a", "b/../../..", "/"},
        {"/", "", "/"},
        {"/a/b", "/../x/../y", "/y"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(RootFs::normalize(c.cwd, c.path), c.expected)
            << "cwd " << c.cwd << ", path " << c.path;
}

class RootEscapes : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(root.host("inside/sub"));
        root.write_file("inside/file", "in");
        // A file next to the root, not in it, named after the root so tests can run at once.
        secret = fs::canonical(root.path()).string() + ".secret";
        std::ofstream(secret) << "secret";
        secret_name = fs::path(secret).filename().string();
        fs::create_symlink(secret, root.host("link-out"));
        outside = fs::canonical(root.path()).string() + ".outside";
        fs::create_directories(outside);
        std::ofstream(outside + "/passwd") << "outside";
        fs::create_symlink(outside, root.host("dir-out"));
        fs::create_symlink(root.host("inside/file"), root.host("link-in"));
        fs::create_symlink(outside + "/dangling-target", root.host("dangling-out"));
        fs::create_symlink("../file", root.host("inside/sub/up-in"));
        fs::create_symlink("../../" + secret_name, root.host("inside/climb-out"));
        fs::create_symlink(root.host("inside"), root.host("abs-dir-in"));
        fs::create_symlink("inside/missing", root.host("dangling-in"));
        fs::create_symlink("loop", root.host("loop"));
        auto opened = RootFs::open(root.path());
        ASSERT_TRUE(opened) << "expected the root to open, got: " << opened.error();
        fs_.emplace(std::move(*opened));
    }
    void TearDown() override {
        fs::remove(secret);
        fs::remove_all(outside);
    }

    TempRoot root;
    std::string secret, secret_name, outside;
    std::optional<RootFs> fs_;
};

TEST_F(RootEscapes, PathsThatLeaveTheRootAreRefusedOrClampedToIt) {
    std::string real_root = fs::canonical(root.path()).string();
    struct Case {
        const char *path;
        RootFs::Final final;
        bool allowed;
        const char *leads_to = nullptr; // inside the root, when allowed
    } cases[] = {
        {"/../../etc/passwd", RootFs::Final::Follow, false}, // clamped: no such file in root
        {"link-out", RootFs::Final::Follow, false},
        {"dir-out/passwd", RootFs::Final::Follow, false},
        {"dir-out/newfile", RootFs::Final::Follow, false},
        {"dangling-out", RootFs::Final::Follow, false},
        {"link-in", RootFs::Final::Follow, true},
        {"inside/sub/../file", RootFs::Final::Follow, true},
        {"inside/new-file", RootFs::Final::Follow, true},
        {"link-out", RootFs::Final::NoFollow, true}, // the link itself, for unlink
        {"dir-out/x", RootFs::Final::NoFollow, false},
        {"missing-folder/x", RootFs::Final::Follow, false},
        {"inside/sub/up-in", RootFs::Final::Follow, true, "inside/file"},
        {"inside/climb-out", RootFs::Final::Follow, false},
        {"abs-dir-in/file", RootFs::Final::Follow, true, "inside/file"},
        {"abs-dir-in/sub/../file", RootFs::Final::Follow, true, "inside/file"},
        {"dangling-in", RootFs::Final::Follow, false}, // nothing is created through it
        {"dangling-in", RootFs::Final::NoFollow, true, "dangling-in"},
        {"loop", RootFs::Final::Follow, false},
        {"inside/file/", RootFs::Final::Follow, false}, // a trailing slash wants a folder
        {"inside/sub/", RootFs::Final::Follow, true, "inside/sub"},
    };
    std::string up = "../" + secret_name; // clamped to the root: no such file there
    std::vector<Case> all(std::begin(cases), std::end(cases));
    all.push_back({up.c_str(), RootFs::Final::Follow, false});
    for (const RootFsOptions &options : kLookups) {
        auto fs = RootFs::open(root.path(), options);
        ASSERT_TRUE(fs);
        for (const Case &c : all) {
            auto host = fs->resolve("/", c.path, c.final);
            if (!c.allowed) {
                // Refused, or resolved to something inside the root that doesn't exist.
                if (host) {
                    EXPECT_EQ(host->rfind(real_root + "/", 0), 0u)
                        << lookup_name(options) << ": " << c.path << " gave " << *host;
                    EXPECT_FALSE(fs::exists(*host) && fs::equivalent(*host, secret)) << c.path;
                }
                continue;
            }
            ASSERT_TRUE(host) << lookup_name(options) << ": " << c.path
                              << " should resolve inside the root";
            EXPECT_EQ(host->rfind(real_root + "/", 0), 0u)
                << lookup_name(options) << ": " << c.path << " gave " << *host;
            if (c.leads_to) {
                EXPECT_EQ(*host, real_root + "/" + c.leads_to)
                    << lookup_name(options) << ": " << c.path;
            }
        }
    }
}

TEST_F(RootEscapes, AGuestCannotReadOrWriteThroughALinkOut) {
    auto &g = vekos::harness::Guest::fresh(PROBE_IMAGE);
    g.set_root(root.path());
    std::string up = "../" + secret_name;
    for (std::string path : {"link-out", "dir-out/passwd", up.c_str(), "dangling-out"})
        EXPECT_EQ(int32_t(g.call("raw_trap", {VEKOS_TRAP_OPEN, g.put_string(path), 0, 0, 0, 0, 0})),
                  -1)
            << "open(\"" << path << "\") must fail";
    uint32_t data = g.put_string("overwritten");
    for (const char *path : {"link-out", "dangling-out", "dir-out/vekos-test"})
        EXPECT_EQ(int32_t(g.call("raw_trap",
                                 {VEKOS_TRAP_WRITEFILE, g.put_string(path), data, 11, 0, 0, 0})),
                  -1)
            << "writefile(\"" << path << "\") must fail";
    EXPECT_EQ(
        int32_t(g.call("raw_trap", {VEKOS_TRAP_CHDIR, g.put_string("dir-out"), 0, 0, 0, 0, 0})), -1)
        << "chdir through a link out";
    std::ifstream in(secret);
    std::string content((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(content, "secret") << "the file outside the root was changed";
    EXPECT_FALSE(fs::exists(outside + "/dangling-target")) << "the dangling link was followed";
    EXPECT_FALSE(fs::exists(outside + "/vekos-test")) << "a link to a folder was followed";
    EXPECT_EQ(
        int32_t(g.call("raw_trap", {VEKOS_TRAP_UNLINK, g.put_string("link-out"), 0, 0, 0, 0, 0})),
        0)
        << "unlink removes the link itself";
    EXPECT_TRUE(fs::exists(secret)) << "the link's target must survive";
    EXPECT_EQ(int32_t(g.call("raw_trap", {VEKOS_TRAP_RMDIR, g.put_string("/"), 0, 0, 0, 0, 0})), -1)
        << "the root itself can't be removed";
}

// Something on the host swaps a folder inside the root with a link out, as fast as it can,
// while the guest works in that folder: nothing outside may be read, made or removed.
TEST_F(RootEscapes, SwappingAFolderForALinkOutNeverLeadsOutside) {
    constexpr uint32_t kCreate = VEKOS_O_WRONLY | VEKOS_O_CREAT;
    root.write_file("d/f", "inside");
    std::ofstream(outside + "/f") << "outside";
    std::ofstream(outside + "/victim") << "victim";
    fs::create_directory(outside + "/victimdir");
    const std::set<std::string> outside_before = {"f", "passwd", "victim", "victimdir"};
    fs::create_symlink(outside, root.host("l"));
    auto &g = vekos::harness::Guest::fresh(PROBE_IMAGE);
    auto trap = [&g](uint32_t number, uint32_t a, uint32_t b = 0, uint32_t c = 0) {
        return int32_t(g.call("raw_trap", {number, a, b, c, 0, 0, 0}));
    };
    const uint32_t file = g.put_string("d/f"), created = g.put_string("d/created"),
                   written = g.put_string("d/written"), folder = g.put_string("d/folder"),
                   victim = g.put_string("d/victim"), victim_dir = g.put_string("d/victimdir"),
                   data = g.put_string("new"), buffer = g.alloc(16);
    for (const RootFsOptions &options : kLookups) {
        g.set_root(root.path(), options);
        std::atomic<bool> stop = false;
        std::thread swapper([&] {
            std::string a = root.host("d"), b = root.host("l");
            while (!stop) renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
        });
        int reads_outside = 0, reads_inside = 0;
        for (auto end = std::chrono::steady_clock::now() + 250ms;
             std::chrono::steady_clock::now() < end;) {
            int32_t fd = trap(VEKOS_TRAP_OPEN, file);
            if (fd >= 0) {
                int32_t n = trap(VEKOS_TRAP_READ, uint32_t(fd), buffer, 15);
                std::string got = g.read_string(buffer).substr(0, size_t(std::max(n, 0)));
                (got == "inside" ? reads_inside : reads_outside) += 1;
                trap(VEKOS_TRAP_CLOSE, uint32_t(fd));
            }
            fd = trap(VEKOS_TRAP_OPEN, created, kCreate, kCreate);
            if (fd >= 0) trap(VEKOS_TRAP_CLOSE, uint32_t(fd));
            trap(VEKOS_TRAP_WRITEFILE, written, data, 3);
            trap(VEKOS_TRAP_MKDIR, folder);
            trap(VEKOS_TRAP_UNLINK, victim);
            trap(VEKOS_TRAP_RMDIR, victim_dir);
            g.clear_traps();
        }
        stop = true;
        swapper.join();
        std::set<std::string> outside_now;
        for (const auto &entry : fs::directory_iterator(outside))
            outside_now.insert(entry.path().filename().string());
        EXPECT_EQ(outside_now, outside_before)
            << lookup_name(options) << ": files outside the root were made or removed";
        EXPECT_EQ(reads_outside, 0) << lookup_name(options) << ": a file outside was read";
        EXPECT_GT(reads_inside, 0) << lookup_name(options) << ": the guest never got through";
        if (fs::is_symlink(root.host("d")))
            renameat2(AT_FDCWD, root.host("d").c_str(), AT_FDCWD, root.host("l").c_str(),
                      RENAME_EXCHANGE);
        fs::remove_all(root.host("d"));
        root.write_file("d/f", "inside");
    }
}

// Program files are opened without waiting: a FIFO put where a program was must not stall
// vekos-emu in the open.
TEST(ProgramFiles, AFifoOrALinkIsRefusedWithoutWaiting) {
    TempRoot root;
    std::string fifo = root.host("prog.uelf");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::atomic<bool> done = false;
    bool refused = false;
    std::thread reader([&] {
        refused = !vekos::read_host_file(fifo, 1 << 20);
        done = true;
    });
    auto end = std::chrono::steady_clock::now() + 2s;
    while (!done && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(1ms);
    bool waited = !done;
    if (waited) ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK)); // lets the open go on
    reader.join();
    EXPECT_FALSE(waited) << "reading a FIFO waited for a writer instead of failing";
    EXPECT_TRUE(refused) << "a FIFO read as a program";
    int folder = ::open(root.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    root.write_file("real.uelf", "image");
    fs::create_symlink("real.uelf", root.host("link.uelf"));
    EXPECT_FALSE(vekos::read_file_at(folder, "prog.uelf", 1 << 20)) << "the FIFO";
    EXPECT_FALSE(vekos::read_file_at(folder, "link.uelf", 1 << 20)) << "a link";
    auto real = vekos::read_file_at(folder, "real.uelf", 1 << 20);
    EXPECT_TRUE(real && real->size() == 5) << "a regular file is read whole";
    ::close(folder);
}

} // namespace
