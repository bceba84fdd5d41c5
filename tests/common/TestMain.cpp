// The main of every test program: GoogleTest plus a watchdog that turns a hang
// into a failure with a message, so the bench never stalls.

#include "platform/Owners.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string g_currentTest = "(before the first test)";
CRITICAL_SECTION g_currentTestLock;

class CurrentTestListener : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo& info) override {
        EnterCriticalSection(&g_currentTestLock);
        g_currentTest = std::string(info.test_suite_name()) + "." + info.name();
        LeaveCriticalSection(&g_currentTestLock);
    }
};

// Stopped only by the run-time's teardown after main, so that a hang in a test
// program's static objects is caught too.
platform::StoppableThread g_watchdog;

DWORD WINAPI Watchdog(void* param) {
    const DWORD seconds = static_cast<DWORD>(reinterpret_cast<UINT_PTR>(param));
    if (g_watchdog.WaitForStop(seconds * 1000))
        return 0;
    EnterCriticalSection(&g_currentTestLock);
    std::fprintf(stderr, "\nWATCHDOG: no result after %lu s; hung in %s\n",
                 static_cast<unsigned long>(seconds), g_currentTest.c_str());
    std::fprintf(stdout, "[  FAILED  ] %s (watchdog: hung)\n", g_currentTest.c_str());
    std::fflush(stderr);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 124);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    InitializeCriticalSection(&g_currentTestLock);
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new CurrentTestListener);

    DWORD seconds = 300;
    char value[32] = {};
    if (GetEnvironmentVariableA("FOCUSER_TEST_TIMEOUT", value, sizeof value) > 0 && std::atoi(value) > 0)
        seconds = static_cast<DWORD>(std::atoi(value));
    g_watchdog.Start(Watchdog, reinterpret_cast<void*>(static_cast<UINT_PTR>(seconds)));
    const int result = RUN_ALL_TESTS();
    std::fflush(stdout);
    return result;
}
