// The driver against a controller that answers with random, mutated, late or
// endless bytes: every call returns within its bound, with a documented result,
// the object stays in one of its states, and an honest controller afterwards is
// served as if nothing had happened.

#include "tests/common/TestSupport.h"
#include "tests/common/DriverHarness.h"
#include "tests/common/SettingsKey.h"
#include "tests/reliability/FuzzSupport.h"
#include "tests/reliability/HostileController.h"
#include "simulator/FocuserSimulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

using platform::ComPtr;
using reliability::CHostileController;
using reliability::Chunk;
using reliability::CRandom;
using testing_support::FirstPair;
using testing_support::Frame;
using testing_support::LoadedDriver;
using testing_support::NowMs;
using testing_support::Printable;
using testing_support::SettingsKeyGuard;
using testing_support::TakeErrorDescription;

namespace {

constexpr int kHostileOperations = 160;
constexpr int kOperationsBetweenChecks = 20;

// Bounds of one call, with room for a loaded machine: a link attempt makes at
// most 10 handshakes of 136 ms, a position query 3 of 136 ms; IsMoving drains
// the stream and may read the 8 bytes of a final frame (132 ms).
constexpr double kMarginMs = 350;
constexpr double kLinkBoundMs = 1500 + kMarginMs;
constexpr double kIsMovingBoundMs = 150 + kMarginMs;
constexpr double kQueryBoundMs = 450 + kIsMovingBoundMs;
constexpr double kMoveBoundMs = kQueryBoundMs + kIsMovingBoundMs;
constexpr double kQuickBoundMs = 50 + kMarginMs;

const char* const kMessages[] = {"Link fail", "Focuser already in motion", "Value out of range",
                                 "Focuser did not respond", "Out of memory"};

bool IsDocumentedMessage(const std::string& message) {
    for (const char* m : kMessages) {
        if (message == m)
            return true;
    }
    return message.rfind("Could not open port //./COM", 0) == 0;
}

// Honest answers: the handshake, the position, and a move that reports progress
// and ends with its final frame.
struct HonestState {
    volatile LONG position = 1234;
    // Moves are answered only once the good exchange sends its own: a move of
    // the hostile phase that reaches this controller late is left unanswered.
    volatile LONG movesAccepted = 0;
};

reliability::Planner HonestPlanner(std::shared_ptr<HonestState> state) {
    return [state](const std::string& command) {
        std::vector<Chunk> plan;
        if (command.size() < 9 || Frame(command.substr(0, 8)) != command)
            return plan;
        const std::string text = command.substr(0, 8);
        char reply[16];
        if (text == "FV000000") {
            plan.push_back({0, Frame("FV010200")});
        } else if (text == "FG000000") {
            std::snprintf(reply, sizeof reply, "FD%06ld", static_cast<long>(state->position));
            plan.push_back({0, Frame(reply)});
        } else if ((text[1] == 'O' || text[1] == 'I') &&
                   InterlockedCompareExchange(&state->movesAccepted, 0, 0)) {
            const long distance = std::atol(text.substr(2).c_str());
            const long target = state->position + (text[1] == 'O' ? distance : -distance);
            for (int i = 0; i < 3; ++i)
                plan.push_back({20, std::string(1, text[1])});
            std::snprintf(reply, sizeof reply, "FD%06ld", target);
            plan.push_back({20, Frame(reply)});
            InterlockedExchange(&state->position, target);
        }
        return plan;
    };
}

std::string RandomBytes(CRandom& rng, int count) {
    std::string bytes;
    for (int i = 0; i < count; ++i)
        bytes += static_cast<char>(rng.Below(256));
    return bytes;
}

// One frame spoilt in one of the ways a line or a controller spoils it.
std::string Spoilt(CRandom& rng, std::string frame) {
    switch (rng.Below(6)) {
    case 0:
        frame[8] = static_cast<char>(frame[8] + 1);
        break;
    case 1:
        frame[rng.Below(8)] = static_cast<char>(rng.Below(256));
        break;
    case 2:
        frame.resize(rng.Below(9));
        break;
    case 3:
        frame += RandomBytes(rng, rng.Between(1, 12));
        break;
    case 4:
        frame = RandomBytes(rng, rng.Between(1, 5)) + frame;
        break;
    default:
        frame = Frame("F" + std::string(1, "DGVX?"[rng.Below(5)]) + RandomBytes(rng, 6));
        break;
    }
    return frame;
}

// A motion stream: progress, noise, gaps, and an end that may be whole, cut
// short or missing.
std::vector<Chunk> RandomMotion(CRandom& rng, char letter) {
    std::vector<Chunk> plan;
    const int pieces = rng.Between(0, 25);
    for (int i = 0; i < pieces; ++i) {
        // Gaps of at least 5 ms: a stream without gaps is the babbling test's.
        const DWORD gap = rng.Percent(5) ? static_cast<DWORD>(rng.Between(900, 1300))
                                         : static_cast<DWORD>(rng.Between(5, 150));
        std::string piece;
        const int length = rng.Between(1, 4);
        for (int k = 0; k < length; ++k) {
            const uint32_t kind = rng.Below(10);
            piece += kind < 5 ? letter : kind < 7 ? "IO"[rng.Below(2)] : static_cast<char>(rng.Below(256));
        }
        plan.push_back({gap, piece});
    }
    switch (rng.Below(4)) {
    case 0:
        plan.push_back({static_cast<DWORD>(rng.Between(5, 100)), "F" + RandomBytes(rng, 8)});
        break;
    case 1:
        plan.push_back({static_cast<DWORD>(rng.Between(5, 100)), "F" + RandomBytes(rng, rng.Between(0, 7))});
        break;
    case 2:
        plan.push_back({static_cast<DWORD>(rng.Between(5, 100)), Frame("FD001000")});
        break;
    default: // stalls
        break;
    }
    return plan;
}

reliability::Planner HostilePlanner(uint64_t seed) {
    auto rng = std::make_shared<CRandom>(seed);
    return [rng](const std::string& command) {
        std::vector<Chunk> plan;
        const std::string text = command.substr(0, 8);
        const DWORD delay = rng->Percent(80) ? 0 : static_cast<DWORD>(rng->Between(1, 300));
        const uint32_t choice = rng->Below(10);
        if (text.size() == 8 && (text[1] == 'O' || text[1] == 'I') && text[2] != 'X') {
            return RandomMotion(*rng, text[1]);
        }
        std::string good = Frame(
            text == "FG000000" ? "FD" + std::to_string(1000000 + rng->Below(1000000)).substr(1) : "FV010200");
        if (choice < 3)
            plan.push_back({delay, good});
        else if (choice < 6)
            plan.push_back({delay, Spoilt(*rng, good)});
        else if (choice < 8)
            plan.push_back({delay, RandomBytes(*rng, rng->Between(0, 14))});
        else if (choice == 8)
            plan.push_back({delay, good + good});
        // else silence
        return plan;
    };
}

class ControllerStreams : public testing_support::DriverSuite {
protected:
    void SetUp() override {
        m_settings.SetText("COM", std::to_string(FirstPair().driverIndex));
        m_settings.SetText("MaxPos", "100000");
        ASSERT_TRUE(m_peer.Start(FirstPair().simulator)) << "cannot open " << FirstPair().simulator;
        DriverSuite::SetUp();
    }
    void TearDown() override {
        m_focuser.reset();
        m_peer.Stop();
    }

    // One call, timed; a failure must be DISP_E_EXCEPTION with a documented message.
    template <typename Call>
    void Check(const char* what, double boundMs, Call call, std::string* message = nullptr) {
        const double started = NowMs();
        const HRESULT hr = call();
        const double elapsed = NowMs() - started;
        std::string text;
        if (hr != S_OK)
            text = TakeErrorDescription();
        if (message != nullptr)
            *message = text;
        EXPECT_LE(elapsed, boundMs) << what << " took " << elapsed << " ms (result 0x" << std::hex << hr
                                    << ")";
        EXPECT_TRUE(hr == S_OK || hr == DISP_E_EXCEPTION) << what << " returned 0x" << std::hex << hr;
        if (hr == DISP_E_EXCEPTION) {
            EXPECT_TRUE(IsDocumentedMessage(text))
                << what << " failed with \"" << Printable(text, 400) << "\"";
        }
        m_worst = std::max(m_worst, elapsed / boundMs);
    }

    VARIANT_BOOL Linked() {
        VARIANT_BOOL linked = 0x5A5A;
        EXPECT_EQ(S_OK, m_focuser->get_Link(&linked));
        EXPECT_TRUE(linked == VARIANT_TRUE || linked == VARIANT_FALSE) << "Link answered " << linked;
        return linked;
    }

    // With an honest controller the object links, reports the position and
    // completes a move, whatever state the hostile exchanges left it in.
    void ExpectGoodExchange(const char* when) {
        SCOPED_TRACE(when);
        auto state = std::make_shared<HonestState>();
        m_peer.SetPlanner(HonestPlanner(state));
        // A move left running ends by its time-out at the latest.
        VARIANT_BOOL moving = VARIANT_TRUE;
        const double started = NowMs();
        while (NowMs() - started < 2500) {
            moving = 0x5A5A;
            Check("IsMoving (settling)", kIsMovingBoundMs, [&] { return m_focuser->get_IsMoving(&moving); });
            if (moving == VARIANT_FALSE)
                break;
            Sleep(20);
        }
        ASSERT_EQ(VARIANT_FALSE, moving) << "the object never stopped moving";
        ASSERT_EQ(S_OK, m_focuser->put_Link(VARIANT_FALSE));
        ASSERT_EQ(S_OK, m_focuser->put_Link(VARIANT_TRUE)) << TakeErrorDescription();
        LONG position = 0x5A5A5A5A;
        ASSERT_EQ(S_OK, m_focuser->get_Position(&position)) << TakeErrorDescription();
        EXPECT_EQ(1234, position);
        InterlockedExchange(&state->movesAccepted, 1);
        ASSERT_EQ(S_OK, m_focuser->Move(1300)) << TakeErrorDescription();
        moving = VARIANT_TRUE;
        const double moveStarted = NowMs();
        while (moving == VARIANT_TRUE && NowMs() - moveStarted < 2000) {
            ASSERT_EQ(S_OK, m_focuser->get_IsMoving(&moving)) << TakeErrorDescription();
            Sleep(10);
        }
        EXPECT_EQ(VARIANT_FALSE, moving);
        position = 0x5A5A5A5A;
        ASSERT_EQ(S_OK, m_focuser->get_Position(&position)) << TakeErrorDescription();
        EXPECT_EQ(1300, position);
    }

    SettingsKeyGuard m_settings;
    CHostileController m_peer;
    double m_worst = 0;
};

TEST_F(ControllerStreams, RandomAndSpoiltAnswersKeepEveryCallInItsBoundAndTheObjectInADocumentedState) {
    const uint64_t seed = reliability::RunSeed("hostile controller", 0x686F7374);
    CRandom rng(seed);
    m_peer.SetPlanner(HostilePlanner(seed ^ 0x5555));
    int counts[3] = {}; // S_OK, failures, link switches that worked
    const double started = NowMs();
    for (int i = 0; i < kHostileOperations && !HasFatalFailure(); ++i) {
        SCOPED_TRACE("operation " + std::to_string(i) + " (seed " + std::to_string(seed) + ")");
        const uint32_t op = rng.Below(100);
        HRESULT hr = S_OK;
        auto run = [&](const char* what, double bound, auto call) {
            Check(what, bound, [&] {
                hr = call();
                return hr;
            });
        };
        if (op < 14) {
            run("Link on", kLinkBoundMs, [&] { return m_focuser->put_Link(VARIANT_TRUE); });
            counts[2] += hr == S_OK ? 1 : 0;
        } else if (op < 18) {
            run("Link off", kQuickBoundMs, [&] { return m_focuser->put_Link(VARIANT_FALSE); });
            EXPECT_EQ(S_OK, hr);
        } else if (op < 50) {
            VARIANT_BOOL moving = 0x5A5A;
            run("IsMoving", kIsMovingBoundMs, [&] { return m_focuser->get_IsMoving(&moving); });
            EXPECT_TRUE(moving == VARIANT_TRUE || moving == VARIANT_FALSE) << "IsMoving wrote " << moving;
        } else if (op < 65) {
            LONG position = 0x5A5A5A5A;
            run("Position", kQueryBoundMs, [&] { return m_focuser->get_Position(&position); });
            if (hr == S_OK) {
                EXPECT_TRUE(position >= -99999 && position <= 999999) << "Position " << position;
            } else {
                EXPECT_EQ(0x5A5A5A5A, position) << "a failed Position wrote its result";
            }
        } else if (op < 85) {
            const LONG target = rng.Percent(10) ? (rng.Percent(50) ? -1 : 100001) : rng.Between(0, 100000);
            run("Move", kMoveBoundMs, [&] { return m_focuser->Move(target); });
        } else if (op < 92) {
            run("Stop", kQuickBoundMs, [&] { return m_focuser->Stop(); });
            EXPECT_EQ(S_OK, hr);
        } else if (op < 95) {
            run("Halt", kQuickBoundMs, [&] { return m_focuser->Halt(); });
            EXPECT_EQ(S_OK, hr);
        } else {
            LONG max = 0;
            run("MaxStep", kQuickBoundMs, [&] { return m_focuser->get_MaxStep(&max); });
            EXPECT_EQ(100000, max);
        }
        counts[hr == S_OK ? 0 : 1]++;

        if (Linked() == VARIANT_FALSE) {
            // Off: the position is unknown and nothing is sent.
            LONG position = 0x5A5A5A5A;
            EXPECT_EQ(DISP_E_EXCEPTION, m_focuser->get_Position(&position));
            EXPECT_EQ("Link fail", TakeErrorDescription());
        }
        if (i % kOperationsBetweenChecks == kOperationsBetweenChecks - 1) {
            ExpectGoodExchange("after hostile operations");
            m_peer.SetPlanner(HostilePlanner(seed + static_cast<uint64_t>(i)));
        }
    }
    std::printf(
        "  %d operations in %.1f s: %d succeeded, %d failed with a documented message, %d links made; "
        "slowest call at %.0f%% of its bound; controller saw %d commands\n",
        kHostileOperations, (NowMs() - started) / 1000.0, counts[0], counts[1], counts[2], m_worst * 100,
        m_peer.CommandsReceived());
    ExpectGoodExchange("at the end");
}

TEST_F(ControllerStreams, BabblingControllerDoesNotHoldIsMovingAndNoiseIsNoProgress) {
    // During the move the controller sends a character every millisecond, none
    // of them progress: IsMoving must come back within its bound every time, and
    // the move counts as failed once the motion time-out has passed.
    auto state = std::make_shared<HonestState>();
    state->movesAccepted = 1;
    auto honest = HonestPlanner(state);
    m_peer.SetPlanner([honest](const std::string& command) {
        if (command.size() == 9 && (command[1] == 'O' || command[1] == 'I') && command[2] != 'X') {
            std::vector<Chunk> plan;
            // 32 characters a millisecond: more than a drain reads in that time,
            // so the line never pauses as long as the 2 ms poll.
            for (int i = 0; i < 1500; ++i)
                plan.push_back({1, std::string(32, "xyz?.#"[i % 6])});
            return plan;
        }
        return honest(command);
    });
    ASSERT_EQ(S_OK, m_focuser->put_Link(VARIANT_TRUE)) << TakeErrorDescription();
    ASSERT_EQ(S_OK, m_focuser->Move(5000)) << TakeErrorDescription();
    const double moveStarted = NowMs();
    double slowest = 0;
    HRESULT hr = S_OK;
    VARIANT_BOOL moving = VARIANT_TRUE;
    int calls = 0;
    while (hr == S_OK && moving == VARIANT_TRUE && NowMs() - moveStarted < 3000) {
        const double started = NowMs();
        hr = m_focuser->get_IsMoving(&moving);
        slowest = std::max(slowest, NowMs() - started);
        ++calls;
    }
    const double ended = NowMs() - moveStarted;
    EXPECT_LE(slowest, kIsMovingBoundMs) << "IsMoving held the caller for " << slowest << " ms of noise";
    EXPECT_EQ(DISP_E_EXCEPTION, hr) << "noise was taken for progress; ended after " << ended << " ms";
    EXPECT_EQ("Link fail", TakeErrorDescription());
    EXPECT_GE(ended, 950.0);
    EXPECT_LE(ended, 1000 + kIsMovingBoundMs);
    std::printf("  babbling line: %d IsMoving calls, slowest %.0f ms, move failed after %.0f ms\n", calls,
                slowest, ended);
    m_peer.Hush();
    ExpectGoodExchange("after the babbling");
}

TEST(ControllerBoot, ControllerThatResetsOnOpenIsLinkedByTheHandshakeRetries) {
    platform::ComApartment apartment;
    LoadedDriver dll(LoadedDriver::Registration::ForLateBinding);
    ASSERT_TRUE(dll.loaded()) << dll.problem();
    SettingsKeyGuard settings;
    settings.SetText("COM", std::to_string(FirstPair().driverIndex));
    settings.SetText("MaxPos", "20000");
    // Deaf for 500 ms after the port opens, like a controller rebooting on DTR:
    // the first handshakes go unanswered, a later one is.
    SimulatorOptions options;
    options.bootDelayMs = 500;
    CFocuserSimulator simulator(options);
    ComPtr<IFocuser> focuser;
    ASSERT_EQ(S_OK, dll.Create(focuser));
    ASSERT_TRUE(simulator.Start(FirstPair().simulator));
    const double started = NowMs();
    ASSERT_EQ(S_OK, focuser->put_Link(VARIANT_TRUE)) << TakeErrorDescription();
    const double elapsed = NowMs() - started;
    const std::vector<unsigned char> received = simulator.Received();
    const size_t handshakes = received.size() / 9;
    EXPECT_GE(handshakes, 3u) << "the boot delay did not cost any handshake";
    EXPECT_GE(elapsed, 350.0);
    EXPECT_LE(elapsed, kLinkBoundMs);
    std::printf("  linked after %.0f ms and %u handshakes\n", elapsed, static_cast<unsigned>(handshakes));
    LONG position = -1;
    EXPECT_EQ(S_OK, focuser->get_Position(&position));
    EXPECT_EQ(simulator.Position(), position);
    simulator.Stop();
}

} // namespace
