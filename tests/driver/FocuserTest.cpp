// The driver object through the built module, against the controller simulator
// on the far end of the bench's first null-modem pair.

#include "tests/common/DialogDriver.h"
#include "tests/common/DriverHarness.h"
#include "tests/common/SettingsKey.h"
#include "tests/common/SimulatorTest.h"

#include "simulator/FocuserSimulator.h"
#include "tests/common/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using platform::ComPtr;
using testing_support::CharDeviceHandles;
using testing_support::ClearError;
using testing_support::CountFrames;
using testing_support::FirstPair;
using testing_support::Frame;
using testing_support::Hr;
using testing_support::LoadedDriver;
using testing_support::NewHandles;
using testing_support::NowMs;
using testing_support::Printable;
using testing_support::SettingsKeyGuard;
using testing_support::TakeError;
using testing_support::Text;

namespace {

constexpr VARIANT_BOOL kSentinelBool = static_cast<VARIANT_BOOL>(0x5A5A);
constexpr LONG kSentinelLong = static_cast<LONG>(0xdeadbeef);

std::string PortIndexText(int index) {
    return std::to_string(index);
}

constexpr unsigned char kXoff = 0x13;

// A move that the simulator runs for about seconds at 10 steps per second.
constexpr int kSlowStepsPerSecond = 10;

class FocuserTest : public testing_support::SimulatorTest {
protected:
    FocuserTest() : m_settings(PortIndexText(FirstPair().driverIndex).c_str(), "10000") {}

    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(m_apartment.result())) << Hr(m_apartment.result());
        ASSERT_TRUE(m_driver.loaded());
    }

    void TearDown() override {
        SimulatorTest::TearDown();
        // The next test must find the module's initial values again.
        EXPECT_TRUE(m_driver.Unload()) << "the module stayed loaded";
    }

    void StartSimulator(const SimulatorOptions& options = FastOptions()) {
        m_sim.SetOptions(options);
        m_sim.SetMonitor([this](bool sent, const unsigned char* bytes, size_t count) {
            if (sent && count == 9 && bytes[0] == 'F' && bytes[1] == 'D')
                ++m_positionFramesSent;
            if (sent)
                m_xoffsSent += static_cast<int>(std::count(bytes, bytes + count, kXoff));
        });
        SimulatorTest::StartSimulator(options);
    }

    static SimulatorOptions FastOptions() {
        SimulatorOptions options;
        options.stepsPerSecond = 100000;
        options.progressIntervalMs = 50;
        return options;
    }

    static SimulatorOptions SlowOptions(DWORD progressIntervalMs) {
        SimulatorOptions options;
        options.stepsPerSecond = kSlowStepsPerSecond;
        options.progressIntervalMs = progressIntervalMs;
        return options;
    }

    ComPtr<IFocuser> LinkedFocuser() {
        ComPtr<IFocuser> focuser = m_driver.Create();
        if (!focuser)
            return focuser;
        const HRESULT hr = focuser->put_Link(VARIANT_TRUE);
        if (hr != S_OK) {
            ADD_FAILURE() << "Link on: " << Hr(hr) << " " << TakeError().description;
            focuser.reset();
        }
        return focuser;
    }

    // Asserts a failure with exactly message, and that the thread's error object
    // carries it with IFocuser's identifier.
    static void ExpectFailure(HRESULT hr, const char* message) {
        EXPECT_EQ(DISP_E_EXCEPTION, hr) << Hr(hr) << " instead of the failure \"" << message << "\"";
        const testing_support::ErrorRecord error = TakeError();
        EXPECT_TRUE(error.present) << "no error object for \"" << message << "\"";
        EXPECT_EQ(message, error.description);
        EXPECT_TRUE(IsEqualGUID(IID_IFocuser, error.guid)) << "error object GUID is not IID_IFocuser";
    }

    // Calls IsMoving until it answers false; every call must succeed. Returns the
    // number of calls that answered true.
    static int WaitUntilStopped(IFocuser* focuser, double timeoutMs) {
        const double start = NowMs();
        int moving = 0;
        for (;;) {
            VARIANT_BOOL value = kSentinelBool;
            const HRESULT hr = focuser->get_IsMoving(&value);
            if (hr != S_OK) {
                ADD_FAILURE() << "IsMoving during a move: " << Hr(hr) << " " << TakeError().description;
                return moving;
            }
            if (value == VARIANT_FALSE)
                return moving;
            EXPECT_EQ(VARIANT_TRUE, value);
            ++moving;
            if (NowMs() - start > timeoutMs) {
                ADD_FAILURE() << "still moving after " << timeoutMs << " ms";
                return moving;
            }
            Sleep(5);
        }
    }

    // Waits until the simulator has sent count position frames (replies and final
    // frames), and a little longer for them to cross the line.
    bool WaitForPositionFrames(int count, DWORD timeoutMs) {
        const double start = NowMs();
        while (m_positionFramesSent.load() < count) {
            if (NowMs() - start > timeoutMs)
                return false;
            Sleep(1);
        }
        Sleep(30);
        return true;
    }

    std::string Wire() const { return Text(m_sim.Received()); }

    platform::ComApartment m_apartment;
    SettingsKeyGuard m_settings;
    LoadedDriver m_driver;
    std::atomic<int> m_positionFramesSent{0};
    std::atomic<int> m_xoffsSent{0};
};

// Runs before any other test of the program too, but loads its own module anyway.
TEST_F(FocuserTest, MaxStepAndMaxIncrementAnswer65535UntilTheFirstLinkAttemptThenTheSetting) {
    ComPtr<IFocuser> focuser = m_driver.Create();
    ASSERT_TRUE(focuser);
    LONG maxStep = kSentinelLong, maxIncrement = kSentinelLong;
    EXPECT_EQ(S_OK, focuser->get_MaxStep(&maxStep));
    EXPECT_EQ(S_OK, focuser->get_MaxIncrement(&maxIncrement));
    EXPECT_EQ(65535, maxStep);
    EXPECT_EQ(65535, maxIncrement);

    // A failed attempt takes the setting all the same.
    m_settings.Write("0", "4321");
    ClearError();
    ExpectFailure(focuser->put_Link(VARIANT_TRUE), "Could not open port //./COM1");
    EXPECT_EQ(S_OK, focuser->get_MaxStep(&maxStep));
    EXPECT_EQ(S_OK, focuser->get_MaxIncrement(&maxIncrement));
    EXPECT_EQ(4321, maxStep);
    EXPECT_EQ(4321, maxIncrement);

    // A successful one, and it stays after the link is off; another object sees it too.
    m_settings.Write(PortIndexText(FirstPair().driverIndex).c_str(), "10000");
    StartSimulator();
    ASSERT_EQ(S_OK, focuser->put_Link(VARIANT_TRUE));
    ASSERT_EQ(S_OK, focuser->put_Link(VARIANT_FALSE));
    ComPtr<IFocuser> other = m_driver.Create();
    ASSERT_TRUE(other);
    for (IFocuser* f : {focuser.get(), other.get()}) {
        maxStep = maxIncrement = kSentinelLong;
        EXPECT_EQ(S_OK, f->get_MaxStep(&maxStep));
        EXPECT_EQ(S_OK, f->get_MaxIncrement(&maxIncrement));
        EXPECT_EQ(10000, maxStep);
        EXPECT_EQ(10000, maxIncrement);
    }
}

TEST_F(FocuserTest, LinkSwitchesOnAndOffAndRepeatingAStateDoesNothing) {
    StartSimulator();
    ComPtr<IFocuser> focuser = m_driver.Create();
    ASSERT_TRUE(focuser);
    VARIANT_BOOL linked = kSentinelBool;
    EXPECT_EQ(S_OK, focuser->get_Link(&linked));
    EXPECT_EQ(VARIANT_FALSE, linked);

    EXPECT_EQ(S_OK, focuser->put_Link(VARIANT_FALSE)) << "off while off";
    EXPECT_EQ(S_OK, focuser->put_Link(VARIANT_TRUE));
    EXPECT_EQ(S_OK, focuser->put_Link(1)) << "any nonzero value counts as true";
    linked = kSentinelBool;
    EXPECT_EQ(S_OK, focuser->get_Link(&linked));
    EXPECT_EQ(VARIANT_TRUE, linked);
    const std::string wire = Wire();
    EXPECT_EQ(1, CountFrames(wire, "FV000000")) << "one handshake for two switch-ons: " << Printable(wire);
    EXPECT_EQ(wire.size(), 9u) << Printable(wire);

    m_sim.ClearReceived();
    EXPECT_EQ(S_OK, focuser->put_Link(VARIANT_FALSE));
    EXPECT_EQ(S_OK, focuser->put_Link(VARIANT_FALSE));
    linked = kSentinelBool;
    EXPECT_EQ(S_OK, focuser->get_Link(&linked));
    EXPECT_EQ(VARIANT_FALSE, linked);
    WaitForStrayBytes(20);
    EXPECT_EQ("", Printable(Wire())) << "switching off sends nothing";

    // And on again.
    EXPECT_EQ(S_OK, focuser->put_Link(VARIANT_TRUE));
    LONG position = kSentinelLong;
    EXPECT_EQ(S_OK, focuser->get_Position(&position));
    EXPECT_EQ(0, position);
}

TEST_F(FocuserTest, LinkToAPortThatDoesNotExistFailsAndLeavesTheLinkOff) {
    const int missingIndexes[] = {0, 2};
    const char* const messages[] = {"Could not open port //./COM1", "Could not open port //./COM3"};
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(missingIndexes[i]);
        m_settings.Write(PortIndexText(missingIndexes[i]).c_str(), "2500");
        ComPtr<IFocuser> focuser = m_driver.Create();
        ASSERT_TRUE(focuser);
        ClearError();
        ExpectFailure(focuser->put_Link(VARIANT_TRUE), messages[i]);
        VARIANT_BOOL linked = kSentinelBool;
        EXPECT_EQ(S_OK, focuser->get_Link(&linked));
        EXPECT_EQ(VARIANT_FALSE, linked);
        LONG maxStep = kSentinelLong;
        EXPECT_EQ(S_OK, focuser->get_MaxStep(&maxStep));
        EXPECT_EQ(2500, maxStep);
        LONG position = kSentinelLong;
        ExpectFailure(focuser->get_Position(&position), "Link fail");
        EXPECT_EQ(kSentinelLong, position);
    }
}

TEST_F(FocuserTest, SilentControllerGetsTenHandshakesThenThePortIsClosedAgain) {
    SimulatorOptions options = FastOptions();
    options.silent = true;
    StartSimulator(options);
    ComPtr<IFocuser> focuser = m_driver.Create();
    ASSERT_TRUE(focuser);

    const std::vector<HANDLE> before = CharDeviceHandles();
    ClearError();
    const double start = NowMs();
    const HRESULT hr = focuser->put_Link(VARIANT_TRUE);
    const double elapsed = NowMs() - start;
    ExpectFailure(hr, "Focuser did not respond");
    std::printf("[ measure  ] Link on with a silent controller: %.0f ms\n", elapsed);
    EXPECT_GE(elapsed, 1200.0) << "10 handshakes of 136 ms each";
    EXPECT_LE(elapsed, 4000.0);

    ASSERT_TRUE(m_sim.WaitForReceived(90, 1000));
    const std::string wire = Wire();
    EXPECT_EQ(10, CountFrames(wire, "FV000000")) << Printable(wire);
    EXPECT_EQ(90u, wire.size()) << Printable(wire);

    VARIANT_BOOL linked = kSentinelBool;
    EXPECT_EQ(S_OK, focuser->get_Link(&linked));
    EXPECT_EQ(VARIANT_FALSE, linked);
    EXPECT_TRUE(NewHandles(before, CharDeviceHandles()).empty()) << "the port is closed again";
    // And another handle opens it.
    const std::string path = std::string("//./") + FirstPair().driver;
    platform::UniqueFile port(
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(port.valid()) << "error " << GetLastError();
}

TEST_F(FocuserTest, ControllerThatAnswersOnALaterHandshakeIsLinked) {
    SimulatorOptions options = FastOptions();
    options.ignoreRequests = 3;
    StartSimulator(options);
    ComPtr<IFocuser> focuser = m_driver.Create();
    ASSERT_TRUE(focuser);
    EXPECT_EQ(S_OK, focuser->put_Link(VARIANT_TRUE)) << TakeError().description;
    VARIANT_BOOL linked = kSentinelBool;
    EXPECT_EQ(S_OK, focuser->get_Link(&linked));
    EXPECT_EQ(VARIANT_TRUE, linked);
    EXPECT_EQ(4, CountFrames(Wire(), "FV000000")) << Printable(Wire());
}

TEST_F(FocuserTest, MoveChecksTheRangeBeforeTheLinkWhileOff) {
    ComPtr<IFocuser> focuser = m_driver.Create();
    ASSERT_TRUE(focuser);
    const struct {
        LONG target;
        const char* message;
    } cases[] = {
        {-1, "Value out of range"}, {65536, "Value out of range"}, {LONG(0x80000000), "Value out of range"},
        {0, "Link fail"},           {65535, "Link fail"},          {300, "Link fail"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        ClearError();
        ExpectFailure(focuser->Move(c.target), c.message);
    }
}

TEST_F(FocuserTest, MoveWhileLinkedAcceptsBothEndsAndRefusesBeyondThem) {
    StartSimulator();
    ComPtr<IFocuser> focuser = LinkedFocuser();
    ASSERT_TRUE(focuser);
    for (LONG target : {-1, 10001}) {
        SCOPED_TRACE(target);
        m_sim.ClearReceived();
        ClearError();
        ExpectFailure(focuser->Move(target), "Value out of range");
        WaitForStrayBytes(10);
        EXPECT_EQ("", Printable(Wire())) << "a refused move sends nothing";
    }
    for (LONG target : {10000, 0}) {
        SCOPED_TRACE(target);
        EXPECT_EQ(S_OK, focuser->Move(target)) << TakeError().description;
        WaitUntilStopped(focuser.get(), 3000);
        LONG position = kSentinelLong;
        EXPECT_EQ(S_OK, focuser->get_Position(&position));
        EXPECT_EQ(target, position);
        EXPECT_EQ(target, m_sim.Position());
    }
}

TEST_F(FocuserTest, MoveSendsTheRelativeDistanceFromTheQueriedPosition) {
    StartSimulator();
    m_sim.SetPosition(1234);
    ComPtr<IFocuser> focuser = LinkedFocuser();
    ASSERT_TRUE(focuser);
    const struct {
        LONG target;
        const char* frame;
    } cases[] = {
        {1234, "FO000000"},
        {1484, "FO000250"},
        {1234, "FI000250"},
        {0, "FI001234"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        m_sim.ClearReceived();
        ASSERT_EQ(S_OK, focuser->Move(c.target)) << TakeError().description;
        ASSERT_TRUE(m_sim.WaitForReceived(18, 1000));
        const std::string wire = Wire();
        EXPECT_EQ(Frame("FG000000") + Frame(c.frame), wire.substr(0, 18)) << Printable(wire);
        WaitUntilStopped(focuser.get(), 3000);
        EXPECT_EQ(c.target, m_sim.Position());
    }
}

TEST_F(FocuserTest, MoveDuringAMoveIsRefusedAndAMoveRightAfterTheFinalFrameIsAccepted) {
    StartSimulator(SlowOptions(100));
    ComPtr<IFocuser> focuser = LinkedFocuser();
    ASSERT_TRUE(focuser);
    ASSERT_EQ(S_OK, focuser->Move(30)) << TakeError().description;
    ClearError();
    m_sim.ClearReceived();
    ExpectFailure(focuser->Move(10), "Focuser already in motion");
    Sleep(10);
    EXPECT_EQ(0, CountFrames(Wire(), "FG000000")) << Printable(Wire());

    // Stop ends the simulated move with its final frame; the next Move's refresh
    // reads that frame and the new move goes out without any IsMoving in between.
    const int framesBefore = m_positionFramesSent.load();
    ASSERT_EQ(S_OK, focuser->Stop());
    ASSERT_TRUE(WaitForPositionFrames(framesBefore + 1, 2000)) << "no final frame after the stop";
    m_sim.ClearReceived();
    const LONG reached = m_sim.Position();
    EXPECT_EQ(S_OK, focuser->Move(reached + 5)) << TakeError().description;
    ASSERT_TRUE(m_sim.WaitForReceived(18, 1000));
    char expected[16];
    std::snprintf(expected, sizeof expected, "FO%06d", 5);
    EXPECT_EQ(Frame("FG000000") + Frame(expected), Wire().substr(0, 18)) << Printable(Wire());
    WaitUntilStopped(focuser.get(), 5000);
}

TEST_F(FocuserTest, TheFinalFrameEndsAMoveAndGarbageInTheStreamIsIgnored) {
    SimulatorOptions options = SlowOptions(100);
    options.stepsPerSecond = 100;
    options.motionGarbage = "x#0 D\x7f";
    StartSimulator(options);
    ComPtr<IFocuser> focuser = LinkedFocuser();
    ASSERT_TRUE(focuser);
    const double start = NowMs();
    ASSERT_EQ(S_OK, focuser->Move(60)) << TakeError().description;
    const int movingAnswers = WaitUntilStopped(focuser.get(), 5000);
    const double elapsed = NowMs() - start;
    EXPECT_GT(movingAnswers, 10);
    EXPECT_GE(elapsed, 500.0) << "the move lasts 600 ms";
    EXPECT_FALSE(m_sim.IsMoving());
    LONG position = kSentinelLong;
    EXPECT_EQ(S_OK, focuser->get_Position(&position));
    EXPECT_EQ(60, position);
    // Ended: no traffic, not moving.
    m_sim.ClearReceived();
    VARIANT_BOOL moving = kSentinelBool;
    EXPECT_EQ(S_OK, focuser->get_IsMoving(&moving));
    EXPECT_EQ(VARIANT_FALSE, moving);
    WaitForStrayBytes(10);
    EXPECT_EQ("", Printable(Wire())) << "IsMoving sends nothing";
}

TEST_F(FocuserTest, SilenceForTheMotionTimeOutFailsOnceThenAnswersNotMoving) {
    SimulatorOptions options = SlowOptions(100);
    options.stallAfterMs = 0;
    StartSimulator(options);
    ComPtr<IFocuser> focuser = LinkedFocuser();
    ASSERT_TRUE(focuser);
    const double start = NowMs();
    ASSERT_EQ(S_OK, focuser->Move(50)) << TakeError().description;

    HRESULT hr = S_OK;
    VARIANT_BOOL moving = VARIANT_TRUE;
    int movingAnswers = 0;
    while (hr == S_OK && moving == VARIANT_TRUE && NowMs() - start < 3000) {
        moving = kSentinelBool;
        hr = focuser->get_IsMoving(&moving);
        if (hr == S_OK && moving == VARIANT_TRUE)
            ++movingAnswers;
    }
    const double elapsed = NowMs() - start;
    ExpectFailure(hr, "Link fail");
    EXPECT_EQ(VARIANT_FALSE, moving) << "IsMoving writes its answer before failing";
    // The clock must keep running while the calls wait on the line.
    EXPECT_GE(elapsed, 990.0);
    EXPECT_LE(elapsed, 1500.0);
    EXPECT_GT(movingAnswers, 20);

    moving = kSentinelBool;
    ClearError();
    EXPECT_EQ(S_OK, focuser->get_IsMoving(&moving));
    EXPECT_EQ(VARIANT_FALSE, moving);
    EXPECT_FALSE(TakeError().present);
}

TEST_F(FocuserTest, AProgressCharacterEvery900MsKeepsTheMoveAlive) {
    StartSimulator(SlowOptions(900));
    ComPtr<IFocuser> focuser = LinkedFocuser();
    ASSERT_TRUE(focuser);
    const double start = NowMs();
    ASSERT_EQ(S_OK, focuser->Move(28)) << TakeError().description;
    WaitUntilStopped(focuser.get(), 6000);
    const double elapsed = NowMs() - start;
    EXPECT_GE(elapsed, 2500.0) << "moving answered through three quiet stretches of 900 ms";
    EXPECT_EQ(28, m_sim.Position());
}

TEST_F(FocuserTest, PositionDuringAMoveAnswersTheCachedValueWithoutAQuery) {
    StartSimulator(SlowOptions(100));
    m_sim.SetPosition(700);
    ComPtr<IFocuser> focuser = LinkedFocuser();
    ASSERT_TRUE(focuser);
    ASSERT_EQ(S_OK, focuser->Move(720)) << TakeError().description;
    Sleep(300);
    m_sim.ClearReceived();
    LONG position = kSentinelLong;
    EXPECT_EQ(S_OK, focuser->get_Position(&position));
    EXPECT_EQ(700, position);
    Sleep(20);
    EXPECT_EQ(0, CountFrames(Wire(), "FG000000")) << Printable(Wire());
    EXPECT_NE(700, m_sim.Position()) << "the focuser is under way";
    ASSERT_EQ(S_OK, focuser->Halt());
    WaitUntilStopped(focuser.get(), 3000);
}

TEST_F(FocuserTest, StopAndHaltWithTheLinkOffSendNothing) {
    StartSimulator();
    ComPtr<IFocuser> focuser = m_driver.Create();
    ASSERT_TRUE(focuser);
    EXPECT_EQ(S_OK, focuser->Stop());
    EXPECT_EQ(S_OK, focuser->Halt());
    WaitForStrayBytes(20);
    EXPECT_EQ("", Printable(Wire()));
}

TEST_F(FocuserTest, StopAndHaltDuringAMoveLeaveTheEndToTheMotionWatch) {
    using Member = HRESULT (STDMETHODCALLTYPE IFocuser::*)();
    const struct {
        const char* name;
        Member member;
    } members[] = {{"Stop", &IFocuser::Stop}, {"Halt", &IFocuser::Halt}};

    // A controller that goes on: the stop ends the move through the stream.
    StartSimulator(SlowOptions(100));
    ComPtr<IFocuser> focuser = LinkedFocuser();
    ASSERT_TRUE(focuser);
    for (const auto& m : members) {
        SCOPED_TRACE(m.name);
        ASSERT_EQ(S_OK, focuser->Move(m_sim.Position() + 40)) << TakeError().description;
        Sleep(150);
        m_sim.ClearReceived();
        EXPECT_EQ(S_OK, (focuser.get()->*m.member)());
        ASSERT_TRUE(m_sim.WaitForReceived(8, 1000));
        EXPECT_EQ(0u, Wire().find("FVXXXXXX")) << Printable(Wire());
        const double start = NowMs();
        WaitUntilStopped(focuser.get(), 2000);
        EXPECT_LT(NowMs() - start, 900.0) << "ended by the final frame, not the time-out";
        EXPECT_FALSE(m_sim.IsMoving());
    }

    // A controller gone silent: IsMoving still answers moving until the time-out.
    SimulatorOptions stalled = SlowOptions(100);
    stalled.stallAfterMs = 0;
    m_sim.SetOptions(stalled);
    for (const auto& m : members) {
        SCOPED_TRACE(m.name);
        ASSERT_EQ(S_OK, focuser->Move(m_sim.Position() + 40)) << TakeError().description;
        EXPECT_EQ(S_OK, (focuser.get()->*m.member)());
        VARIANT_BOOL moving = kSentinelBool;
        EXPECT_EQ(S_OK, focuser->get_IsMoving(&moving));
        EXPECT_EQ(VARIANT_TRUE, moving) << "the stop leaves the move to the motion watch";
        HRESULT hr = S_OK;
        const double start = NowMs();
        while (hr == S_OK && NowMs() - start < 3000)
            hr = focuser->get_IsMoving(&moving);
        ExpectFailure(hr, "Link fail");
    }
}

// Windows keeps a port's line settings from one open to the next, and a pty keeps
// its termios: an earlier program left XON/XOFF output flow control on, and the
// controller's stream carries 0x13 (XOFF) bytes, as a checksum byte may be.
TEST_F(FocuserTest, HaltGoesOutAtOnceOnAPortAnEarlierProgramLeftWithXonXoffOn) {
    testing_support::PortSettingsGuard guard(FirstPair().driver);
    ASSERT_TRUE(guard.saved());
    ASSERT_TRUE(testing_support::LeaveLineSettings(FirstPair().driver, [](DCB& dcb) {
        dcb.fOutX = TRUE;
        dcb.fInX = TRUE;
    }));
    SimulatorOptions options = SlowOptions(20);
    options.motionGarbage = std::string(1, static_cast<char>(kXoff));
    StartSimulator(options);
    ComPtr<IFocuser> focuser = LinkedFocuser();
    ASSERT_TRUE(focuser);
    ASSERT_EQ(S_OK, focuser->Move(m_sim.Position() + 40)) << TakeError().description;
    const double sentFrom = NowMs();
    while (m_xoffsSent.load() < 3 && NowMs() - sentFrom < 2000)
        Sleep(1);
    ASSERT_GE(m_xoffsSent.load(), 3) << "the simulator sent no XOFF";
    Sleep(30);

    m_sim.ClearReceived();
    testing_support::HeldOutputRescue rescue(FirstPair().driver, 5000);
    const double start = NowMs();
    const HRESULT hr = focuser->Halt();
    const double elapsed = NowMs() - start;
    const bool released = rescue.Finish();
    std::printf("[ measure  ] Halt on a port left with XON/XOFF, after XOFF: %.1f ms%s\n", elapsed,
                released ? " (held until XON/XOFF was cleared after 5 s)" : "");
    EXPECT_EQ(S_OK, hr);
    EXPECT_FALSE(released) << "Halt was still blocked after 5 s";
    EXPECT_LT(elapsed, 200.0);
    EXPECT_TRUE(m_sim.WaitForReceived(9, 1000)) << "the stop did not reach the controller";
    EXPECT_EQ(Frame("FVXXXXXX"), Wire().substr(0, 9)) << Printable(Wire());
    WaitUntilStopped(focuser.get(), 2000);
}

TEST_F(FocuserTest, SwitchingTheLinkOffDuringAMoveEndsTheWatchWithoutTheChannel) {
    StartSimulator(SlowOptions(100));
    ComPtr<IFocuser> focuser = LinkedFocuser();
    ASSERT_TRUE(focuser);
    ASSERT_EQ(S_OK, focuser->Move(40)) << TakeError().description;
    ASSERT_TRUE(m_sim.WaitForReceived(27, 1000));
    m_sim.ClearReceived();
    ASSERT_EQ(S_OK, focuser->put_Link(VARIANT_FALSE));
    WaitForStrayBytes(20);
    EXPECT_TRUE(m_sim.IsMoving()) << "the controller is told nothing";
    EXPECT_EQ("", Printable(Wire()));
    VARIANT_BOOL moving = kSentinelBool;
    ClearError();
    EXPECT_EQ(S_OK, focuser->get_IsMoving(&moving));
    EXPECT_EQ(VARIANT_FALSE, moving);
    EXPECT_FALSE(TakeError().present);
    // Move is refused for the link, not for a motion left over.
    ExpectFailure(focuser->Move(10), "Link fail");
}

TEST_F(FocuserTest, AFailingPositionQueryTriesThreeTimes) {
    StartSimulator();
    ComPtr<IFocuser> focuser = LinkedFocuser();
    ASSERT_TRUE(focuser);
    SimulatorOptions silent = FastOptions();
    silent.silent = true;
    m_sim.SetOptions(silent);
    m_sim.ClearReceived();
    LONG position = kSentinelLong;
    ClearError();
    const double start = NowMs();
    const HRESULT hr = focuser->get_Position(&position);
    const double elapsed = NowMs() - start;
    ExpectFailure(hr, "Link fail");
    EXPECT_EQ(kSentinelLong, position);
    std::printf("[ measure  ] failing position query: %.0f ms\n", elapsed);
    EXPECT_GE(elapsed, 350.0);
    EXPECT_LE(elapsed, 2000.0);
    ASSERT_TRUE(m_sim.WaitForReceived(27, 1000));
    EXPECT_EQ(3, CountFrames(Wire(), "FG000000")) << Printable(Wire());

    // A failed Move for the same reason sends no move.
    m_sim.ClearReceived();
    ExpectFailure(focuser->Move(100), "Link fail");
    Sleep(20);
    const std::string wire = Wire();
    EXPECT_EQ(3, CountFrames(wire, "FG000000")) << Printable(wire);
    EXPECT_EQ(std::string::npos, wire.find("FO")) << Printable(wire);
}

TEST_F(FocuserTest, IsMovingOnAQuietLineReturnsWithinAFewMilliseconds) {
    StartSimulator(SlowOptions(700));
    ComPtr<IFocuser> focuser = LinkedFocuser();
    ASSERT_TRUE(focuser);
    ASSERT_EQ(S_OK, focuser->Move(30)) << TakeError().description;
    std::vector<double> times;
    while (times.size() < 200) {
        VARIANT_BOOL moving = kSentinelBool;
        const double start = NowMs();
        const HRESULT hr = focuser->get_IsMoving(&moving);
        times.push_back(NowMs() - start);
        ASSERT_EQ(S_OK, hr) << TakeError().description;
        ASSERT_EQ(VARIANT_TRUE, moving) << "after " << times.size() << " calls";
    }
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    std::printf("[ measure  ] IsMoving on a quiet line: median %.2f ms, max %.2f ms over %zu calls\n", median,
                times.back(), times.size());
    EXPECT_LT(median, 10.0);
    EXPECT_LT(times.back(), 200.0);
    ASSERT_EQ(S_OK, focuser->Stop());
    WaitUntilStopped(focuser.get(), 2000);
}

TEST_F(FocuserTest, TheConstantMembersAnswerWithoutTheLink) {
    ComPtr<IFocuser> focuser = m_driver.Create();
    ASSERT_TRUE(focuser);
    using GetBool = HRESULT (STDMETHODCALLTYPE IFocuser::*)(VARIANT_BOOL*);
    const struct {
        const char* name;
        GetBool member;
        VARIANT_BOOL expected;
    } bools[] = {
        {"Absolute", &IFocuser::get_Absolute, VARIANT_TRUE},
        {"TempCompAvailable", &IFocuser::get_TempCompAvailable, VARIANT_FALSE},
        {"TempComp", &IFocuser::get_TempComp, VARIANT_FALSE},
    };
    for (const auto& b : bools) {
        SCOPED_TRACE(b.name);
        VARIANT_BOOL value = kSentinelBool;
        EXPECT_EQ(S_OK, (focuser.get()->*b.member)(&value));
        EXPECT_EQ(b.expected, value);
    }

    float temperature = -1.0f;
    EXPECT_EQ(S_OK, focuser->get_Temperature(&temperature));
    uint32_t bits = 0;
    std::memcpy(&bits, &temperature, sizeof bits);
    EXPECT_EQ(0x42C80000u, bits) << temperature;

    float stepSize = -1.0f;
    ClearError();
    ExpectFailure(focuser->get_StepSize(&stepSize), "Not supported by focuser");
    EXPECT_EQ(-1.0f, stepSize) << "not written on failure";
    for (VARIANT_BOOL value : {VARIANT_TRUE, VARIANT_FALSE}) {
        SCOPED_TRACE(value);
        ExpectFailure(focuser->put_TempComp(value), "Not Supported");
    }

    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(S_OK, focuser->QueryInterface(IID_ISupportErrorInfo, support.put_void()));
    EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID_IFocuser));
    EXPECT_EQ(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IDispatch));
}

TEST_F(FocuserTest, NullOutParametersGiveEPointer) {
    StartSimulator();
    ComPtr<IFocuser> focuser = LinkedFocuser();
    ASSERT_TRUE(focuser);
    using GetBool = HRESULT (STDMETHODCALLTYPE IFocuser::*)(VARIANT_BOOL*);
    using GetLong = HRESULT (STDMETHODCALLTYPE IFocuser::*)(LONG*);
    using GetFloat = HRESULT (STDMETHODCALLTYPE IFocuser::*)(float*);
    const std::pair<const char*, GetBool> bools[] = {{"IsMoving", &IFocuser::get_IsMoving},
                                                     {"Link", &IFocuser::get_Link},
                                                     {"Absolute", &IFocuser::get_Absolute},
                                                     {"TempCompAvailable", &IFocuser::get_TempCompAvailable},
                                                     {"TempComp", &IFocuser::get_TempComp}};
    const std::pair<const char*, GetLong> longs[] = {{"MaxStep", &IFocuser::get_MaxStep},
                                                     {"Position", &IFocuser::get_Position},
                                                     {"MaxIncrement", &IFocuser::get_MaxIncrement}};
    const std::pair<const char*, GetFloat> floats[] = {{"StepSize", &IFocuser::get_StepSize},
                                                       {"Temperature", &IFocuser::get_Temperature}};
    m_sim.ClearReceived();
    for (const auto& m : bools)
        EXPECT_EQ(E_POINTER, (focuser.get()->*m.second)(nullptr)) << m.first;
    for (const auto& m : longs)
        EXPECT_EQ(E_POINTER, (focuser.get()->*m.second)(nullptr)) << m.first;
    for (const auto& m : floats)
        EXPECT_EQ(E_POINTER, (focuser.get()->*m.second)(nullptr)) << m.first;
    EXPECT_EQ(E_POINTER, focuser->GetTypeInfoCount(nullptr));
    WaitForStrayBytes(10);
    EXPECT_EQ("", Printable(Wire())) << "nothing is asked of the controller";
}

struct DialogCloser {
    WPARAM button;
    bool found = false;
};

// Waits for the setup dialog on the bench's display and presses one of its buttons.
DWORD WINAPI CloseSetupDialog(void* param) {
    DialogCloser* closer = static_cast<DialogCloser*>(param);
    if (HWND dialog = testing_support::WaitForSetupDialog()) {
        closer->found = true;
        PostMessageA(dialog, WM_COMMAND, closer->button, 0);
    }
    return 0;
}

TEST_F(FocuserTest, SetupDialogAnswersSOkAndChangesNeitherTheMaximumNorTheLink) {
    StartSimulator();
    ComPtr<IFocuser> focuser = m_driver.Create();
    ASSERT_TRUE(focuser);
    m_settings.Write(PortIndexText(FirstPair().driverIndex).c_str(), "777");
    for (WPARAM button : {WPARAM(IDCANCEL), WPARAM(IDOK)}) {
        SCOPED_TRACE(button);
        DialogCloser closer{button};
        platform::UniqueHandle thread(CreateThread(nullptr, 0, CloseSetupDialog, &closer, 0, nullptr));
        ASSERT_TRUE(thread.valid());
        EXPECT_EQ(S_OK, focuser->SetupDialog());
        WaitForSingleObject(thread.get(), 15000);
        if (!closer.found)
            GTEST_SKIP() << "no dialog appeared within 10 s";
        LONG maxStep = kSentinelLong;
        EXPECT_EQ(S_OK, focuser->get_MaxStep(&maxStep));
        EXPECT_EQ(65535, maxStep) << "the settings take effect at the next link";
        VARIANT_BOOL linked = kSentinelBool;
        EXPECT_EQ(S_OK, focuser->get_Link(&linked));
        EXPECT_EQ(VARIANT_FALSE, linked);
    }
    EXPECT_EQ("", Printable(Wire()));
    ASSERT_EQ(S_OK, focuser->put_Link(VARIANT_TRUE)) << TakeError().description;
    LONG maxStep = kSentinelLong;
    EXPECT_EQ(S_OK, focuser->get_MaxStep(&maxStep));
    EXPECT_EQ(777, maxStep);
}

TEST_F(FocuserTest, ReleasingAnObjectWhoseLinkIsOnClosesThePort) {
    StartSimulator();
    ComPtr<IFocuser> unlinked = m_driver.Create();
    ComPtr<IFocuser> focuser = m_driver.Create();
    ASSERT_TRUE(focuser);
    ASSERT_TRUE(unlinked);
    const std::vector<HANDLE> before = CharDeviceHandles();
    ASSERT_EQ(S_OK, focuser->put_Link(VARIANT_TRUE)) << TakeError().description;
    const std::vector<HANDLE> port = NewHandles(before, CharDeviceHandles());
    ASSERT_EQ(1u, port.size()) << "the channel is one new device handle";
    unlinked.reset();
    EXPECT_EQ(FILE_TYPE_CHAR, GetFileType(port[0])) << "releasing an unlinked object touches no device";
    focuser.reset();
    EXPECT_TRUE(NewHandles(before, CharDeviceHandles()).empty()) << "the last Release closed the channel";
    EXPECT_EQ(S_OK, m_driver.CanUnloadNow());
}

} // namespace
