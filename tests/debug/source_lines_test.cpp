// Lines and backtraces of tests/debug/guest/faulty.c, built -g -O0, -g -O2 and -O0 alone.
// The stacks are laid out by hand, as the program would have them when the read in
// sum_list faults.
#include "debug/source_lines.h"

#include <gtest/gtest.h>

#include <map>

namespace vekos::debug {
namespace {

constexpr int kSumListLine = 11; // "int sum_list(" in faulty.c
constexpr int kReadLine = 14;    // "sum += list->value;"
constexpr int kCallLine = 21;    // "return sum_list(head, length);"
constexpr AddressRange kStack{0xBFF00000, 0xC0000000};

std::unique_ptr<DebugInfo> open_image(const char *name) {
    auto opened = DebugInfo::open_file(std::string(DEBUG_TEST_BIN) + "/" + name);
    if (!opened) {
        ADD_FAILURE() << name << ": expected an image, got: " << opened.error();
        return nullptr;
    }
    return std::move(*opened);
}

// Guest memory of a stack: words by address.
struct FakeStack {
    std::map<uint32_t, uint32_t> words;
    ReadU32 reader() const {
        return [this](uint32_t addr) -> std::optional<uint32_t> {
            auto it = words.find(addr);
            return it == words.end() ? std::nullopt : std::optional(it->second);
        };
    }
};

// The call instruction in main that calls sum_list: its return address is what a fault
// in sum_list finds on the stack.
uint32_t return_address_into_main(const DebugInfo &info) {
    uint32_t main = *info.address_of("main");
    for (uint32_t pc = main; pc < main + 64; ++pc) {
        Place place = info.place(pc);
        if (place.function != "main") break;
        if (info.place(pc).line == kCallLine && info.place(pc + 1).line != kCallLine) return pc + 1;
    }
    return main + 8;
}

TEST(SourceLines, FunctionsAndLinesWithAndWithoutDebugInformation) {
    struct Case {
        const char *image;
        bool lines;
    };
    for (Case c : {Case{"faulty_o0_g.uelf", true}, Case{"faulty_o2_g.uelf", true},
                   Case{"faulty_o0_plain.uelf", false}}) {
        SCOPED_TRACE(c.image);
        auto info = open_image(c.image);
        ASSERT_TRUE(info);
        // The library brings its own lines: only the program's code goes without.
        EXPECT_TRUE(info->has_lines() || !c.lines);
        auto sum_list = info->address_of("sum_list");
        ASSERT_TRUE(sum_list) << "expected a sum_list symbol";
        Place place = info->place(*sum_list + 3);
        EXPECT_EQ(place.function, "sum_list");
        EXPECT_EQ(place.offset, 3u);
        if (c.lines) {
            EXPECT_EQ(info->place(*sum_list).file, "faulty.c");
            EXPECT_EQ(info->place(*sum_list).line, kSumListLine);
        } else {
            EXPECT_EQ(place.line, 0) << "expected no line without -g, got " << place.file;
        }
        EXPECT_FALSE(info->in_image(0xdeadbeef));
        EXPECT_EQ(info->place(0xdeadbeef).function, "") << "a wild address has no function";
    }
}

TEST(SourceLines, BacktraceThroughFramePointersAndCallFrameInformation) {
    for (const char *image : {"faulty_o0_g.uelf", "faulty_o0_plain.uelf"}) {
        SCOPED_TRACE(image);
        auto info = open_image(image);
        ASSERT_TRUE(info);
        // Inside sum_list after its prologue: ebp points at the saved ebp, then the
        // return address into main; main's frame is the outermost (saved ebp 0).
        uint32_t ret = return_address_into_main(*info);
        FakeStack stack;
        const uint32_t ebp = 0xBFFFFF00;
        stack.words = {{ebp, 0xBFFFFF40}, {ebp + 4, ret}, {0xBFFFFF40, 0}, {0xBFFFFF44, 0}};
        Registers regs;
        regs.set(kDwEip, *info->address_of("sum_list") + 12);
        regs.set(kDwEsp, ebp - 16);
        regs.set(kDwEbp, ebp);
        Backtrace trace = backtrace(*info, regs, stack.reader(), kStack, 0);
        ASSERT_GE(trace.frames.size(), 2u) << format_backtrace(trace);
        EXPECT_EQ(trace.frames[0].place.function, "sum_list");
        EXPECT_EQ(trace.frames[1].place.function, "main");
        EXPECT_EQ(trace.frames[1].pc, ret);
        EXPECT_FALSE(trace.stack_overflow);
        std::string text = format_backtrace(trace);
        EXPECT_NE(text.find("  #1 0x"), std::string::npos) << text;
        if (std::string_view(image).find("_g.") != std::string_view::npos) {
            EXPECT_NE(text.find("(faulty.c:" + std::to_string(kCallLine) + ")"), std::string::npos)
                << "expected main's frame at the call line, got:\n"
                << text;
        }
    }
}

TEST(SourceLines, BacktraceWithoutFramePointerByCallFrameInformation) {
    auto info = open_image("faulty_o2_g.uelf");
    ASSERT_TRUE(info);
    // At -O2 sum_list keeps no frame pointer: it pushes ebx and reads through esp.
    uint32_t sum_list = *info->address_of("sum_list"), read_pc = 0;
    for (uint32_t pc = sum_list + 1; pc < sum_list + 64 && !read_pc; ++pc)
        if (info->place(pc).line == kReadLine && info->place(pc).function == "sum_list")
            read_pc = pc;
    ASSERT_NE(read_pc, 0u) << "expected an instruction of line " << kReadLine;
    uint32_t ret = return_address_into_main(*info);
    const uint32_t esp = 0xBFFFFF00;
    FakeStack stack;
    stack.words = {{esp, 0x5eb0}, {esp + 4, ret}};
    Registers regs;
    regs.set(kDwEip, read_pc);
    regs.set(kDwEsp, esp);
    regs.set(kDwEbp, 0x12345678); // not a frame pointer: must not be followed
    Backtrace trace = backtrace(*info, regs, stack.reader(), kStack, 0);
    std::string text = format_backtrace(trace);
    ASSERT_GE(trace.frames.size(), 2u) << text;
    EXPECT_EQ(trace.frames[1].pc, ret) << text;
    EXPECT_NE(text.find("sum_list+0x"), std::string::npos) << text;
    EXPECT_NE(text.find("(faulty.c:" + std::to_string(kReadLine) + ")\n  #1"), std::string::npos)
        << text;
    EXPECT_NE(text.find("(faulty.c:" + std::to_string(kCallLine) + ")"), std::string::npos) << text;
    auto caller = info->unwind(regs, stack.reader(), false);
    ASSERT_TRUE(caller);
    EXPECT_EQ(caller->value[kDwEbx], 0x5eb0u) << "expected ebx restored from the stack";
    EXPECT_EQ(caller->value[kDwEsp], esp + 8);
}

TEST(SourceLines, WildJumpAndStackOverflow) {
    auto info = open_image("faulty_o2_g.uelf");
    ASSERT_TRUE(info);
    uint32_t ret = *info->address_of("main") + 5;
    FakeStack stack;
    stack.words = {{0xBFFFFF00, ret}};
    Registers regs;
    regs.set(kDwEip, 0xdeadbeef);
    regs.set(kDwEsp, 0xBFFFFF00);
    regs.set(kDwEbp, 0);
    Backtrace trace = backtrace(*info, regs, stack.reader(), kStack, 0xdeadbeef);
    ASSERT_GE(trace.frames.size(), 2u) << format_backtrace(trace);
    EXPECT_TRUE(trace.frames[0].outside_image);
    EXPECT_EQ(trace.frames[1].pc, ret);
    std::string text = format_backtrace(trace);
    EXPECT_EQ(text.substr(0, text.find('\n')), "  #0 0xdeadbeef (outside the image)");
    EXPECT_NE(text.find("  #1 0x"), std::string::npos) << text;
    EXPECT_NE(text.find(" main+0x5"), std::string::npos) << text;

    regs.set(kDwEip, *info->address_of("sum_list"));
    regs.set(kDwEsp, kStack.begin);
    trace = backtrace(*info, regs, stack.reader(), kStack, kStack.begin - 4);
    EXPECT_TRUE(trace.stack_overflow);
    EXPECT_EQ(format_backtrace(trace).find("  stack overflow"), 0u) << format_backtrace(trace);
}

} // namespace
} // namespace vekos::debug
