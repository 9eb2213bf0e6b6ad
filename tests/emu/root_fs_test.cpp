// Guest paths stay inside the root folder, whatever "..", absolute paths or symbolic links
// they use.
#include "abi/trap_numbers.h"
#include "guest.h"
#include "kernel/root_fs.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

using vekos::RootFs;
namespace fs = std::filesystem;

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
        fs_ = RootFs::open(root.path());
        ASSERT_TRUE(fs_.has_value());
    }
    void TearDown() override {
        fs::remove(secret);
        fs::remove_all(outside);
    }

    vekos::harness::TempRoot root;
    std::string secret, secret_name, outside;
    std::optional<RootFs> fs_;
};

TEST_F(RootEscapes, PathsThatLeaveTheRootAreRefusedOrClampedToIt) {
    std::string real_root = fs::canonical(root.path()).string();
    struct Case {
        const char *path;
        RootFs::Final final;
        bool allowed;
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
    };
    std::string up = "../" + secret_name; // clamped to the root: no such file there
    std::vector<Case> all(std::begin(cases), std::end(cases));
    all.push_back({up.c_str(), RootFs::Final::Follow, false});
    for (const Case &c : all) {
        auto host = fs_->resolve("/", c.path, c.final);
        if (!c.allowed) {
            // Refused, or resolved to something inside the root that doesn't exist.
            if (host) {
                EXPECT_EQ(host->rfind(real_root + "/", 0), 0u) << c.path << " gave " << *host;
                EXPECT_FALSE(fs::exists(*host) && fs::equivalent(*host, secret)) << c.path;
            }
            continue;
        }
        ASSERT_TRUE(host.has_value()) << c.path << " should resolve inside the root";
        EXPECT_EQ(host->rfind(real_root + "/", 0), 0u) << c.path << " gave " << *host;
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

} // namespace
