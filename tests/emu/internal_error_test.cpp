// A host crash ends vekos-emu with one line and status 125, after the guest's pending output.
#include "host/console.h"
#include "host/internal_error.h"
#include "subprocess.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <string>

namespace {

TEST(InternalError, ACrashWritesThePendingOutputAndEndsWith125) {
    for (int signal : {SIGSEGV, SIGABRT}) {
        Finished crashed =
            Child([signal] {
                vekos::HostConsole console; // a pipe: output is held back
                vekos::report_internal_errors();
                const char guest[] = "written by the guest";
                console.write(reinterpret_cast<const uint8_t *>(guest), sizeof guest - 1);
                raise(signal);
                return 1;
            }).finish();
        const char *name = signal == SIGSEGV ? "SIGSEGV" : "SIGABRT";
        EXPECT_EQ(crashed.status, vekos::kStatusInternalError) << name << ": " << crashed.err;
        EXPECT_EQ(crashed.out, "written by the guest") << name;
        EXPECT_EQ(crashed.err, std::string("vekos-emu: internal error: ") + name + "\n");
    }
}

} // namespace
