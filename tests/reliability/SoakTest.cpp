// Long runs against the simulator: link cycles and status calls must not leak
// handles or memory. Counts and growth are printed for the record.

#include "tests/common/TestSupport.h"
#include "tests/common/DriverHarness.h"
#include "tests/common/ProcessUsage.h"
#include "tests/common/SettingsKey.h"
#include "tests/reliability/FuzzSupport.h"
#include "simulator/FocuserSimulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

using platform::ComPtr;
using testing_support::CurrentUsage;
using testing_support::FirstPair;
using testing_support::NowMs;
using testing_support::ProcessUsage;
using testing_support::TakeErrorDescription;

namespace {

constexpr int kLinkCycles = 1000;
constexpr int kStatusCalls = 100000;
// One Position query (a round trip to the simulator) per this many calls; the
// rest are IsMoving on an idle object, which touches no line.
constexpr int kQueryEvery = 50;
constexpr int kWarmUpPercent = 5;

// Growth allowed between the end of the warm-up and the end of the run: a
// leak of one handle per cycle, or a few bytes per call, shows far beyond it.
constexpr long kHandleGrowth = 8;
constexpr long long kPrivateGrowth = 512 * 1024;

class Soak : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dll.loaded()) << m_dll.problem();
        m_settings.SetText("COM", std::to_string(FirstPair().driverIndex));
        m_settings.SetText("MaxPos", "50000");
        ASSERT_TRUE(m_simulator.Start(FirstPair().simulator));
        m_simulator.SetPosition(777);
        ASSERT_EQ(S_OK, m_dll.Create(m_focuser));
    }
    void TearDown() override {
        m_focuser.reset();
        m_simulator.Stop();
    }

    static void ExpectFlat(const char* what, const ProcessUsage& warm, const ProcessUsage& end) {
        const long handles = end.handles - warm.handles;
        const long long bytes = end.privateBytes - warm.privateBytes;
        std::printf("  %s: handles %ld -> %ld, private bytes %lld -> %lld (%+lld)\n", what, warm.handles,
                    end.handles, warm.privateBytes, end.privateBytes, bytes);
        EXPECT_LE(handles, kHandleGrowth) << what << ": handle count grew";
        EXPECT_LE(bytes, kPrivateGrowth) << what << ": private bytes grew";
        EXPECT_NE(0, end.privateBytes) << "private bytes not measured";
    }

    platform::ComApartment m_apartment;
    testing_support::LoadedDriver m_dll{testing_support::LoadedDriver::Registration::ForLateBinding};
    testing_support::SettingsKeyGuard m_settings;
    CFocuserSimulator m_simulator;
    ComPtr<IFocuser> m_focuser;
};

TEST_F(Soak, LinkCyclesKeepHandlesAndMemoryFlat) {
    ProcessUsage warm;
    const double started = NowMs();
    double slowest = 0;
    for (int i = 0; i < kLinkCycles; ++i) {
        if (i == kLinkCycles * kWarmUpPercent / 100)
            warm = CurrentUsage();
        const double t0 = NowMs();
        const HRESULT on = m_focuser->put_Link(VARIANT_TRUE);
        if (on != S_OK) {
            ADD_FAILURE() << "cycle " << i << ": Link on 0x" << std::hex << on << " "
                          << TakeErrorDescription();
            break;
        }
        ASSERT_EQ(S_OK, m_focuser->put_Link(VARIANT_FALSE));
        slowest = std::max(slowest, NowMs() - t0);
    }
    const double elapsed = NowMs() - started;
    std::printf("  %d link cycles in %.1f s (%.2f ms each, slowest %.1f ms)\n", kLinkCycles, elapsed / 1000,
                elapsed / kLinkCycles, slowest);
    ExpectFlat("link cycles", warm, CurrentUsage());
}

TEST_F(Soak, StatusCallsKeepHandlesAndMemoryFlat) {
    ASSERT_EQ(S_OK, m_focuser->put_Link(VARIANT_TRUE)) << TakeErrorDescription();
    ProcessUsage warm;
    int queries = 0;
    int failures = 0;
    const double started = NowMs();
    for (int i = 0; i < kStatusCalls && failures < 5; ++i) {
        if (i == kStatusCalls * kWarmUpPercent / 100)
            warm = CurrentUsage();
        if (i % kQueryEvery == 0) {
            LONG position = 0x5A5A5A5A;
            const HRESULT hr = m_focuser->get_Position(&position);
            ++queries;
            if (hr != S_OK || position != 777) {
                ++failures;
                ADD_FAILURE() << "call " << i << ": Position 0x" << std::hex << hr << std::dec << " value "
                              << position;
            }
        } else {
            VARIANT_BOOL moving = 0x5A5A;
            const HRESULT hr = m_focuser->get_IsMoving(&moving);
            if (hr != S_OK || moving != VARIANT_FALSE) {
                ++failures;
                ADD_FAILURE() << "call " << i << ": IsMoving 0x" << std::hex << hr << " value " << moving;
            }
        }
    }
    const double elapsed = NowMs() - started;
    std::printf("  %d status calls (%d position queries) in %.1f s\n", kStatusCalls, queries, elapsed / 1000);
    ExpectFlat("status calls", warm, CurrentUsage());
}

} // namespace
