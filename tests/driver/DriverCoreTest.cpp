// The driver core linked into the test program, so that its clock and its
// serial channel run through the tests' seams: the motion time-out and the drain
// budget are driven by a clock the test sets, without waiting for them.

#include "platform/Clock.h"
#include "simulator/FocuserSimulator.h"
#include "tests/common/BareFocuser.h"
#include "tests/common/DriverHarness.h"
#include "tests/common/TestSupport.h"
#include "tests/common/SerialRecorder.h"
#include "tests/common/SettingsKey.h"
#include "tests/common/SimulatorTest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

using testing_support::CBareFocuser;
using testing_support::ClearError;
using testing_support::CSerialRecorder;
using testing_support::FirstPair;
using testing_support::Hr;
using testing_support::SettingsKeyGuard;
using testing_support::TakeError;

namespace {

constexpr VARIANT_BOOL kSentinelBool = static_cast<VARIANT_BOOL>(0x5A5A);

volatile LONG g_fakeNow = 0;

uint32_t FakeClock() {
    return static_cast<uint32_t>(g_fakeNow);
}

void SetFakeNow(uint32_t now) {
    InterlockedExchange(&g_fakeNow, static_cast<LONG>(now));
}

void AdvanceFakeNow(uint32_t ms) {
    InterlockedExchangeAdd(&g_fakeNow, static_cast<LONG>(ms));
}

class DriverCore : public testing_support::SimulatorTest {
protected:
    DriverCore() : m_settings(std::to_string(FirstPair().driverIndex).c_str(), "10000") {}

    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(m_apartment.result())) << Hr(m_apartment.result());
        SimulatorOptions options;
        options.stepsPerSecond = 10;
        // Silent once a move starts: the motion watch alone decides.
        options.stallAfterMs = 0;
        StartSimulator(options);
        SetFakeNow(0);
        platform::SetClockSource(&FakeClock);
        ASSERT_EQ(S_OK, m_focuser.put_Link(VARIANT_TRUE)) << TakeError().description;
    }

    void TearDown() override {
        m_focuser.put_Link(VARIANT_FALSE);
        platform::SetClockSource(nullptr);
        SimulatorTest::TearDown();
    }

    // A move started with the clock at now.
    void MoveAt(uint32_t now) {
        SetFakeNow(now);
        ASSERT_EQ(S_OK, m_focuser.Move(m_sim.Position() + 40)) << TakeError().description;
    }

    // IsMoving with the clock at now: its result and what it answered.
    std::pair<HRESULT, VARIANT_BOOL> IsMovingAt(uint32_t now) {
        SetFakeNow(now);
        VARIANT_BOOL moving = kSentinelBool;
        ClearError();
        const HRESULT hr = m_focuser.get_IsMoving(&moving);
        return {hr, moving};
    }

    platform::ComApartment m_apartment;
    testing_support::PortSettingsGuard m_portGuard{FirstPair().driver};
    SettingsKeyGuard m_settings;
    CBareFocuser m_focuser;
};

// Where the clock stands at the move: early, across the signed and across the
// unsigned wrap of the 32-bit count.
const uint32_t kMoveTimes[] = {1000u, 0x7FFFFE00u, 0xFFFFFE00u};

TEST_F(DriverCore, ASilentMoveFailsWhenTheClockReaches1000MsAfterTheCommand) {
    for (uint32_t t0 : kMoveTimes) {
        SCOPED_TRACE(t0);
        MoveAt(t0);
        for (uint32_t quiet : {1u, 500u, 999u})
            EXPECT_EQ(std::make_pair(S_OK, VARIANT_TRUE), IsMovingAt(t0 + quiet)) << quiet << " ms after";
        const auto [hr, moving] = IsMovingAt(t0 + 1000);
        EXPECT_EQ(DISP_E_EXCEPTION, hr) << Hr(hr);
        EXPECT_EQ(VARIANT_FALSE, moving);
        EXPECT_EQ("Link fail", TakeError().description);
        EXPECT_EQ(std::make_pair(S_OK, VARIANT_FALSE), IsMovingAt(t0 + 1001)) << "reported once";
    }
}

TEST_F(DriverCore, AProgressCharacterGivesTheMoveAnother1000Ms) {
    for (uint32_t t0 : kMoveTimes) {
        SCOPED_TRACE(t0);
        MoveAt(t0);
        {
            // One 'O' waits on the line when the watch runs 600 ms after the command.
            CSerialRecorder recorder;
            bool sent = false;
            recorder.input = [&sent](void* buffer, DWORD count, DWORD* read) {
                *read = 0;
                if (count == 1 && !sent) {
                    *static_cast<char*>(buffer) = 'O';
                    *read = 1;
                    sent = true;
                }
                return TRUE;
            };
            EXPECT_EQ(std::make_pair(S_OK, VARIANT_TRUE), IsMovingAt(t0 + 600));
        }
        EXPECT_EQ(std::make_pair(S_OK, VARIANT_TRUE), IsMovingAt(t0 + 1599));
        EXPECT_EQ(DISP_E_EXCEPTION, IsMovingAt(t0 + 1600).first);
        EXPECT_EQ("Link fail", TakeError().description);
    }
}

// A line that never falls quiet (noise, a device babbling at the wrong speed):
// one call drains for 50 ms of the clock and leaves the rest for the next call.
TEST_F(DriverCore, OneCallDrainsABabblingLineFor50MsOfTheClock) {
    const struct {
        const char* what;
        char byte;
    } lines[] = {{"noise", 'x'}, {"progress", 'I'}};
    for (const auto& line : lines) {
        SCOPED_TRACE(line.what);
        MoveAt(5000);
        CSerialRecorder recorder;
        int polls = 0;
        recorder.input = [&](void* buffer, DWORD count, DWORD* read) {
            *read = 0;
            if (count == 1) {
                // Each character takes a millisecond of the clock.
                AdvanceFakeNow(1);
                *static_cast<char*>(buffer) = line.byte;
                *read = 1;
                ++polls;
            }
            return TRUE;
        };
        VARIANT_BOOL moving = kSentinelBool;
        EXPECT_EQ(S_OK, m_focuser.get_IsMoving(&moving)) << TakeError().description;
        EXPECT_EQ(VARIANT_TRUE, moving);
        EXPECT_EQ(50, polls) << "characters drained in one call";
        const std::vector<std::string> calls = recorder.Calls();
        EXPECT_EQ(50, std::count(calls.begin(), calls.end(), std::string("ReadFile 1")));
        EXPECT_EQ(calls.end(), std::find(calls.begin(), calls.end(), std::string("WriteFile 9")))
            << "IsMoving sent a command";
        recorder.input = nullptr;
        m_focuser.Halt();
        m_focuser.put_Link(VARIANT_FALSE);
        ASSERT_EQ(S_OK, m_focuser.put_Link(VARIANT_TRUE)) << TakeError().description;
    }
}

// A standard user, refused write access to the settings key: the link must still
// use the stored port and maximum, not COM1 and 10000.
TEST(DriverSettingsAccess, AStandardUserLinksWithTheStoredSettings) {
    platform::ComApartment apartment;
    SettingsKeyGuard settings(std::to_string(FirstPair().driverIndex).c_str(), "4321");
    CFocuserSimulator sim;
    ASSERT_TRUE(sim.Start(FirstPair().simulator));
    CBareFocuser focuser;
    testing_support::StandardUserRights rights;
    ClearError();
    EXPECT_EQ(S_OK, focuser.put_Link(VARIANT_TRUE)) << TakeError().description;
    LONG maxStep = 0;
    EXPECT_EQ(S_OK, focuser.get_MaxStep(&maxStep));
    EXPECT_EQ(4321, maxStep);
    EXPECT_EQ("create 0x0002021F refused", rights.Calls().at(0));
    focuser.put_Link(VARIANT_FALSE);
}

TEST(DriverClock, TheRealClockRunsOnWhileTheThreadWaits) {
    platform::SetClockSource(nullptr);
    const uint32_t before = platform::ClockMs();
    Sleep(100);
    const uint32_t elapsed = platform::ClockMs() - before;
    EXPECT_GE(elapsed, 90u);
    EXPECT_LT(elapsed, 2000u);
}

} // namespace
