// A host that ends its process with the server loaded: the other threads were
// ended wherever they were, one of them holding the lock of the framework's
// thread records, and the server's detach must not wait for them. The host is
// module_exit_host, beside this program.

#include "tests/common/Process.h"
#include "tests/common/SettingsKey.h"
#include "tests/common/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using testing_support::ProcessResult;

namespace {

// From the host's last line to its end; an exit that waits on a dead thread's
// lock never ends and is cut off at kRunLimitMs.
constexpr ULONGLONG kExitBoundMs = 3000;
constexpr DWORD kRunLimitMs = 20000;

std::string HostPath() {
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    const std::string path(exe);
    return path.substr(0, path.find_last_of("\\/") + 1) + "module_exit_host.exe";
}

TEST(ProcessExit, AHostEndsPromptlyWithItsOwnExitCodeWhileOtherThreadsAreInsideDriverCalls) {
    const testing_support::PortPair& pair = testing_support::SecondPair();
    const testing_support::PortSettingsGuard simulatorLine(pair.simulator);
    const testing_support::PortSettingsGuard driverLine(pair.driver);
    const testing_support::SettingsKeyGuard settings(std::to_string(pair.driverIndex).c_str(), "20000");
    struct Case {
        const char* how;
        DWORD exitCode;
    };
    // The last: the exiting thread has no framework record of the server yet.
    const Case cases[] = {{"return", 41}, {"exitprocess", 42}, {"thread", 43}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        const ProcessResult run = testing_support::RunProcess(
            "\"" + HostPath() + "\" " + pair.simulator + " " + c.how, kRunLimitMs);
        const ULONGLONG ended = GetTickCount64();
        ASSERT_TRUE(run.started) << HostPath();
        unsigned long long exiting = 0;
        const size_t line = run.output.find("exiting ");
        ASSERT_TRUE(line != std::string::npos &&
                    std::sscanf(run.output.c_str() + line, "exiting %llu", &exiting) == 1)
            << "the host did not get its threads into driver calls:\n"
            << run.output;
        EXPECT_FALSE(run.timedOut) << "the host was still running " << (ended - exiting)
                                   << " ms after it began to exit";
        EXPECT_LT(ended - exiting, kExitBoundMs);
        EXPECT_EQ(c.exitCode, run.exitCode) << run.output;
    }
}

} // namespace
