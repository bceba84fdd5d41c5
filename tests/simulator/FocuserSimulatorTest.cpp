#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/common/LinePair.h"

using namespace protocol;

using testing_support::FirstPair;
using testing_support::FrameBytes;
using testing_support::LinePair;
using testing_support::MotionStream;
using testing_support::NowMs;
using testing_support::ReadMotion;
using testing_support::Show;

namespace {

// The controller as the driver's side of the line sees it.
class Simulator : public LinePair {
protected:
    // Sends text with its checksum (or only the text) and returns what comes back
    // within one standard read.
    std::string Exchange(const char* text, bool withChecksum = true) {
        std::vector<unsigned char> frame = FrameBytes(text);
        if (!withChecksum)
            frame.pop_back();
        m_port.Purge();
        m_port.Write(frame.data(), static_cast<DWORD>(frame.size()));
        unsigned char reply[kFrameSize];
        std::memset(reply, 0, sizeof reply);
        DWORD count = 0;
        ReadFile(m_port.handle(), reply, kFrameSize, &count, nullptr);
        return Show(reply, count);
    }

    void Write(const std::vector<unsigned char>& bytes) {
        ASSERT_TRUE(m_port.Write(bytes.data(), static_cast<DWORD>(bytes.size())));
    }
};

TEST_F(Simulator, AnswersHandshakeAndPositionQueries) {
    m_sim.SetPosition(54321);
    EXPECT_EQ(Exchange("FV000000"), Show(FrameBytes("FV010200")));
    EXPECT_EQ(Exchange("FG000000"), Show(FrameBytes("FD054321")));
    SetFaults([](SimulatorOptions& o) { o.firmwareVersion = "ABC"; });
    EXPECT_EQ(Exchange("FV000000"), Show(FrameBytes("FVABC000")));
}

TEST_F(Simulator, IgnoresBadChecksumsUnknownCommandsAndBytesBeforeAnF) {
    struct Case {
        std::vector<unsigned char> bytes;
        const char* what;
    };
    std::vector<unsigned char> badSum = FrameBytes("FV000000");
    badSum[8] ^= 1;
    const Case cases[] = {
        {badSum, "handshake with a bad checksum"},
        {FrameBytes("FZ000000"), "unknown letter"},
        {FrameBytes("FV123456"), "handshake with another argument"},
        {FrameBytes("FO00A000"), "move with a non-digit"},
        {FrameBytes("FG00000X"), "query with another argument"},
    };
    for (const Case& c : cases) {
        m_port.Purge();
        Write(c.bytes);
        unsigned char reply[kFrameSize];
        DWORD count = 0;
        ReadFile(m_port.handle(), reply, kFrameSize, &count, nullptr);
        EXPECT_EQ(count, 0u) << c.what << ": answered " << Show(reply, count);
        EXPECT_FALSE(m_sim.IsMoving()) << c.what;
    }
    // Noise before a frame is skipped, and the frame still answered.
    std::vector<unsigned char> noisy = {'x', 0x00, 0xFF, '0'};
    const std::vector<unsigned char> handshake = FrameBytes("FV000000");
    noisy.insert(noisy.end(), handshake.begin(), handshake.end());
    m_port.Purge();
    Write(noisy);
    unsigned char reply[kFrameSize];
    EXPECT_TRUE(m_port.Read(reply, kFrameSize));
    EXPECT_EQ(Show(reply, kFrameSize), Show(FrameBytes("FV010200")));
}

TEST_F(Simulator, AMoveRunsAtTheStepRateWithProgressAndEndsWithTheFinalFrame) {
    struct Case {
        int32_t from;
        int32_t distance;
        char progress;
        const char* final;
    };
    const Case cases[] = {
        {1000, 500, 'O', "FD001500"},
        {1000, -400, 'I', "FD000600"},
    };
    for (const Case& c : cases) {
        m_sim.SetPosition(c.from);
        SendMove(m_port, c.distance);
        const double start = NowMs();
        const MotionStream motion = ReadMotion(m_port, 1500);
        const double took = NowMs() - start;
        const double expected = (c.distance < 0 ? -c.distance : c.distance); // ms at 1000 steps/s
        EXPECT_EQ(Show(motion.frame), Show(FrameBytes(c.final))) << c.distance;
        EXPECT_GT(took, expected * 0.8) << c.distance;
        EXPECT_LT(took, expected + 1000) << c.distance;
        // One progress character per 100 ms; loose for a loaded machine.
        EXPECT_EQ(motion.stream.find_first_not_of(c.progress), std::string::npos) << motion.stream;
        EXPECT_GE(motion.stream.size(), static_cast<size_t>(expected / 100) - 2) << motion.stream;
        EXPECT_LE(motion.stream.size(), static_cast<size_t>(expected / 100) + 1) << motion.stream;
        EXPECT_FALSE(m_sim.IsMoving());
        EXPECT_EQ(m_sim.Position(), c.from + c.distance);
    }
}

TEST_F(Simulator, PositionFollowsAMoveInProgress) {
    SetFaults([](SimulatorOptions& o) { o.stepsPerSecond = 100; });
    m_sim.SetPosition(0);
    SendMove(m_port, 10000);
    ASSERT_TRUE(m_sim.WaitForReceived(kFrameSize, 1000));
    const double start = NowMs();
    while (NowMs() - start < 300)
        Sleep(10);
    EXPECT_TRUE(m_sim.IsMoving());
    const int32_t position = m_sim.Position();
    EXPECT_GE(position, 20);
    EXPECT_LE(position, 200);
    m_sim.SetPosition(5);
    EXPECT_GE(m_sim.Position(), position) << "SetPosition took effect during a move";
}

TEST_F(Simulator, AStopEndsAMoveAtOnceInEitherLength) {
    for (bool withChecksum : {true, false}) {
        SetFaults([](SimulatorOptions& o) { o.stepsPerSecond = 100; });
        m_sim.SetPosition(0);
        SendMove(m_port, 10000); // 100 s
        ASSERT_TRUE(m_sim.WaitForReceived(kFrameSize, 1000));
        m_sim.ClearReceived();
        const MotionStream before = ReadMotion(m_port, 250, 250);
        ASSERT_TRUE(before.frame.empty()) << "move ended by itself";
        std::vector<unsigned char> stop = FrameBytes("FVXXXXXX");
        if (!withChecksum)
            stop.pop_back();
        Write(stop);
        MotionStream after = ReadMotion(m_port, 500);
        ASSERT_EQ(after.frame.size(), kFrameSize) << (withChecksum ? 9 : 8) << "-byte stop: no final frame";
        EXPECT_LT(after.frameAtMs, 100.0);
        EXPECT_TRUE(IsChecksumValid(after.frame.data()));
        EXPECT_EQ(after.frame[1], 'D');
        after.frame.back() = 0;
        const int32_t reported = std::atoi(reinterpret_cast<const char*>(after.frame.data() + 2));
        EXPECT_EQ(reported, m_sim.Position());
        EXPECT_GE(reported, 5);
        EXPECT_LE(reported, 200);
        EXPECT_FALSE(m_sim.IsMoving());
        // Idle again: queries are answered.
        char expected[9];
        std::snprintf(expected, sizeof expected, "FD%06d", static_cast<int>(reported));
        EXPECT_EQ(Exchange("FG000000"), Show(FrameBytes(expected)));
    }
}

TEST_F(Simulator, MovesStopAtTheEndsOfTheRange) {
    struct Case {
        int32_t from;
        int32_t distance;
        const char* final;
        int32_t position;
    };
    const Case cases[] = {
        {100, -500, "FD000000", 0},
        {999900, 500, "FD999999", 999999},
        {0, -1, "FD000000", 0},
        {5, 0, "FD000005", 5},
    };
    SetFaults([](SimulatorOptions& o) { o.stepsPerSecond = 100000; });
    for (const Case& c : cases) {
        m_sim.SetPosition(c.from);
        SendMove(m_port, c.distance);
        const MotionStream motion = ReadMotion(m_port, 1000);
        EXPECT_EQ(Show(motion.frame), Show(FrameBytes(c.final))) << c.from << " by " << c.distance;
        EXPECT_EQ(m_sim.Position(), c.position);
    }
    m_sim.SetPosition(-7);
    EXPECT_EQ(m_sim.Position(), 0);
    m_sim.SetPosition(1234567);
    EXPECT_EQ(m_sim.Position(), 999999);
}

TEST_F(Simulator, CommandsOtherThanStopAreIgnoredDuringAMove) {
    SetFaults([](SimulatorOptions& o) {
        o.stepsPerSecond = 100;
        o.progressIntervalMs = 1000;
    });
    SendMove(m_port, 10000);
    ASSERT_TRUE(m_sim.WaitForReceived(kFrameSize, 1000));
    for (const char* command : {"FG000000", "FV000000", "FO000001"})
        EXPECT_EQ(Exchange(command), "") << command;
    EXPECT_TRUE(m_sim.IsMoving());
}

TEST_F(Simulator, FaultsShapeTheReplies) {
    struct Case {
        const char* what;
        void (*fault)(SimulatorOptions&);
        std::string query;     // reply to FG000000 at position 1234
        std::string handshake; // reply to FV000000
    };
    std::vector<unsigned char> bad = FrameBytes("FD001234");
    bad[8] = static_cast<unsigned char>(bad[8] + 1);
    const std::string badQuery = Show(bad);
    bad = FrameBytes("FV010200");
    bad[8] = static_cast<unsigned char>(bad[8] + 1);
    const std::string badHandshake = Show(bad);
    const std::string letterG = Show(FrameBytes("FG001234"));
    const std::string raw = Show(FrameBytes("FD 00042"));
    const Case cases[] = {
        {"silent", [](SimulatorOptions& o) { o.silent = true; }, "", ""},
        {"bad checksum", [](SimulatorOptions& o) { o.badChecksum = true; }, badQuery.c_str(),
         badHandshake.c_str()},
        {"letter G", [](SimulatorOptions& o) { o.positionLetter = 'G'; }, letterG,
         Show(FrameBytes("FV010200")).c_str()},
        {"short reply", [](SimulatorOptions& o) { o.shortReplyBytes = 5; }, "FD001", "FV010"},
        {"raw reply", [](SimulatorOptions& o) { o.replyText = "FD 00042"; }, raw, raw},
    };
    m_sim.SetPosition(1234);
    for (const Case& c : cases) {
        SimulatorOptions options;
        c.fault(options);
        m_sim.SetOptions(options);
        EXPECT_EQ(Exchange("FG000000"), c.query) << c.what;
        EXPECT_EQ(Exchange("FV000000"), c.handshake) << c.what;
    }
}

TEST_F(Simulator, GarbageIsMixedIntoTheMotionStream) {
    SetFaults([](SimulatorOptions& o) { o.motionGarbage = "#?\x01"; });
    SendMove(m_port, 350);
    const MotionStream motion = ReadMotion(m_port, 1000);
    EXPECT_EQ(Show(motion.frame), Show(FrameBytes("FD000350")));
    EXPECT_NE(motion.stream.find("O#?\x01O#?\x01"), std::string::npos)
        << Show(reinterpret_cast<const unsigned char*>(motion.stream.data()), motion.stream.size());
}

TEST_F(Simulator, ProgressComesAtTheConfiguredInterval) {
    SetFaults([](SimulatorOptions& o) {
        o.stepsPerSecond = 1;
        o.progressIntervalMs = 300;
    });
    SendMove(m_port, 100);
    std::vector<double> times;
    const double start = NowMs();
    while (times.size() < 4 && NowMs() - start < 3000) {
        unsigned char c = 0;
        if (m_port.PollByte(&c) && c == 'O')
            times.push_back(NowMs());
    }
    ASSERT_EQ(times.size(), 4u);
    for (size_t i = 1; i < times.size(); ++i) {
        EXPECT_GT(times[i] - times[i - 1], 200.0) << "gap " << i;
        EXPECT_LT(times[i] - times[i - 1], 600.0) << "gap " << i;
    }
}

TEST_F(Simulator, AStalledMoveFallsSilentAndIsAbandoned) {
    struct Case {
        const char* what;
        void (*fault)(SimulatorOptions&);
        int32_t low, high; // where it stalls
    };
    const Case cases[] = {
        {"after 300 ms", [](SimulatorOptions& o) { o.stallAfterMs = 300; }, 200, 450},
        {"after 250 steps", [](SimulatorOptions& o) { o.stallAfterSteps = 250; }, 250, 250},
        {"at once", [](SimulatorOptions& o) { o.stallAfterSteps = 0; }, 0, 0},
    };
    for (const Case& c : cases) {
        SimulatorOptions options;
        c.fault(options);
        m_sim.SetOptions(options);
        m_sim.SetPosition(0);
        SendMove(m_port, 2000);
        const MotionStream motion = ReadMotion(m_port, 1000);
        EXPECT_TRUE(motion.frame.empty()) << c.what << ": final frame " << Show(motion.frame);
        EXPECT_FALSE(m_sim.IsMoving()) << c.what;
        EXPECT_GE(m_sim.Position(), c.low) << c.what;
        EXPECT_LE(m_sim.Position(), c.high) << c.what;
        char expected[9];
        std::snprintf(expected, sizeof expected, "FD%06d", static_cast<int>(m_sim.Position()));
        EXPECT_EQ(Exchange("FG000000"), Show(FrameBytes(expected))) << c.what;
    }
}

TEST(SimulatorStart, IgnoresEverythingDuringTheBootDelay) {
    SimulatorOptions options;
    options.bootDelayMs = 400;
    CFocuserSimulator sim(options);
    const double started = NowMs();
    ASSERT_TRUE(sim.Start(FirstPair().simulator));
    CSerialPort port;
    ASSERT_TRUE(port.Open(FirstPair().driver, 9600, 0));
    int attempts = 0;
    double answeredAt = 0;
    while (answeredAt == 0 && NowMs() - started < 3000) {
        ++attempts;
        if (Handshake(port))
            answeredAt = NowMs() - started;
    }
    EXPECT_GT(answeredAt, 390.0);
    EXPECT_LT(answeredAt, 2000.0);
    EXPECT_GE(sim.Received().size(), 2 * kFrameSize) << "nothing was sent during the delay";
}

TEST(SimulatorStart, FailsOnAMissingPortOrWhenRunning) {
    CFocuserSimulator sim;
    EXPECT_FALSE(sim.Start("COM1"));
    EXPECT_FALSE(sim.Start(nullptr));
    ASSERT_TRUE(sim.Start(FirstPair().simulator));
    EXPECT_FALSE(sim.Start(FirstPair().simulator));
    sim.Stop();
    sim.Stop();
    EXPECT_TRUE(sim.Start(FirstPair().simulator)) << "cannot restart after Stop";
}

} // namespace
