#include <gtest/gtest.h>

#include <cstring>

#include "tests/common/LinePair.h"
#include "tests/common/SerialRecorder.h"

#include <functional>
#include <string>
#include <vector>

using namespace protocol;

using testing_support::FrameBytes;
using testing_support::LinePair;
using testing_support::Repeat;
using testing_support::Show;

namespace {

struct ChecksumCase {
    const char* text;
    unsigned char checksum;
};

const ChecksumCase kChecksums[] = {
    {"FV000000", 0xBC},
    {"FG000000", 0xAD},
    {"FVXXXXXX", 0xAC},
    {"FI000123", 0xB5},
    {"FO000123", 0xBB},
    {"FD001234", 0xB4},
    {"\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 0xF8},
};

TEST(Checksum, SetChecksumWritesTheWrappedSumIntoByteEightOnly) {
    for (const ChecksumCase& c : kChecksums) {
        unsigned char frame[kFrameSize + 1];
        std::memset(frame, 0xEF, sizeof frame);
        std::memcpy(frame, c.text, 8);
        SetChecksum(frame);
        EXPECT_EQ(frame[8], c.checksum) << c.text << ": got 0x" << std::hex << int(frame[8]);
        EXPECT_EQ(0, std::memcmp(frame, c.text, 8)) << c.text << " text changed to " << Show(frame, 8);
        EXPECT_EQ(frame[9], 0xEF) << c.text << ": wrote past the frame";
    }
}

TEST(Checksum, IsChecksumValidComparesOnlyByteEightWithTheSum) {
    for (const ChecksumCase& c : kChecksums) {
        unsigned char frame[kFrameSize];
        std::memcpy(frame, c.text, 8);
        frame[8] = c.checksum;
        EXPECT_TRUE(IsChecksumValid(frame)) << c.text;
        for (int delta : {1, -1, 0x80}) {
            frame[8] = static_cast<unsigned char>(c.checksum + delta);
            EXPECT_FALSE(IsChecksumValid(frame))
                << c.text << " with checksum 0x" << std::hex << int(frame[8]);
        }
    }
    // The characters themselves are not examined.
    const unsigned char odd[kFrameSize] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x1C};
    EXPECT_TRUE(IsChecksumValid(odd));
}

// The bytes each command puts on the wire, as the controller receives them.
using WireBytes = LinePair;

TEST_F(WireBytes, HandshakeAndQuerySendTheirFixedFrames) {
    ASSERT_TRUE(Handshake(m_port));
    EXPECT_EQ(Show(m_sim.Received()), Show(FrameBytes("FV000000")));
    EXPECT_EQ(m_sim.Received().back(), 0xBC);

    m_sim.ClearReceived();
    int32_t position = 0;
    ASSERT_TRUE(QueryPosition(m_port, &position));
    EXPECT_EQ(Show(m_sim.Received()), Show(FrameBytes("FG000000")));
    EXPECT_EQ(m_sim.Received().back(), 0xAD);
}

TEST_F(WireBytes, MovesCarryTheMagnitudeInSixDigitsAfterTheDirectionLetter) {
    struct Case {
        int32_t distance;
        const char* text;
    };
    const Case cases[] = {
        {-1, "FI000001"},
        {0, "FO000000"},
        {1, "FO000001"},
        {100000, "FO100000"},
        {-250, "FI000250"},
        {250, "FO000250"},
        {123, "FO000123"},
        {-123, "FI000123"},
        {999999, "FO999999"},
        {-999999, "FI999999"},
        // Beyond six digits: the largest move, never the leading digits.
        {1234567, "FO999999"},
        {-1234567, "FI999999"},
        {INT32_MIN, "FI999999"},
        {INT32_MAX, "FO999999"},
    };
    // A silent controller records the frames without starting moves that would
    // make it ignore the next ones.
    SetFaults([](SimulatorOptions& o) { o.silent = true; });
    for (const Case& c : cases) {
        m_sim.ClearReceived();
        SendMove(m_port, c.distance);
        EXPECT_EQ(Show(ReceivedAfter(9)), Show(FrameBytes(c.text))) << "distance " << c.distance;
    }
}

TEST_F(WireBytes, StopSendsTheCompleteNineByteFrame) {
    SetFaults([](SimulatorOptions& o) { o.silent = true; });
    SendStop(m_port);
    const std::vector<unsigned char> received = ReceivedAfter(9);
    EXPECT_EQ(Show(received), Show(FrameBytes("FVXXXXXX")));
    ASSERT_EQ(received.size(), 9u);
    EXPECT_EQ(received[8], 0xAC);
}

using Exchanges = LinePair;

TEST_F(Exchanges, HandshakeAnsweredOnTheThirdAttemptTakesThreeFrames) {
    SetFaults([](SimulatorOptions& o) { o.ignoreRequests = 2; });
    EXPECT_TRUE(Handshake(m_port));
    EXPECT_EQ(Show(ReceivedAfter(27)), Show(Repeat(FrameBytes("FV000000"), 3)));
}

TEST_F(Exchanges, HandshakeGivesUpAfterTenAttemptsAgainstASilentController) {
    SetFaults([](SimulatorOptions& o) { o.silent = true; });
    const double start = testing_support::NowMs();
    EXPECT_FALSE(Handshake(m_port));
    const double elapsed = testing_support::NowMs() - start;
    EXPECT_EQ(Show(ReceivedAfter(90)), Show(Repeat(FrameBytes("FV000000"), 10)));
    // Ten reads of 136 ms each.
    EXPECT_GT(elapsed, 1000.0);
    EXPECT_LT(elapsed, 6000.0);
}

TEST_F(Exchanges, HandshakeAcceptsAnyNineBytesWithAValidChecksum) {
    for (const char* reply : {"FD001000", "FG123456", "XXXXXXXX", "FV010200"}) {
        SetFaults([reply](SimulatorOptions& o) { o.replyText = reply; });
        m_sim.ClearReceived();
        EXPECT_TRUE(Handshake(m_port)) << reply;
        EXPECT_EQ(ReceivedAfter(9).size(), 9u) << reply << ": more than one attempt";
    }
}

TEST_F(Exchanges, HandshakeRejectsBadChecksumsAndShortReplies) {
    SetFaults([](SimulatorOptions& o) { o.badChecksum = true; });
    EXPECT_FALSE(Handshake(m_port));
    EXPECT_EQ(ReceivedAfter(90).size(), 90u);

    SetFaults([](SimulatorOptions& o) {
        o.badChecksum = false;
        o.shortReplyBytes = 8;
    });
    m_sim.ClearReceived();
    EXPECT_FALSE(Handshake(m_port));
    EXPECT_EQ(ReceivedAfter(90).size(), 90u);
}

TEST_F(Exchanges, QueryAnsweredOnTheThirdAttemptSucceeds) {
    m_sim.SetPosition(4321);
    SetFaults([](SimulatorOptions& o) { o.ignoreRequests = 2; });
    int32_t position = static_cast<int32_t>(0xdeadbeef);
    EXPECT_TRUE(QueryPosition(m_port, &position));
    EXPECT_EQ(position, 4321);
    EXPECT_EQ(Show(ReceivedAfter(27)), Show(Repeat(FrameBytes("FG000000"), 3)));
}

TEST_F(Exchanges, RejectedPositionRepliesFailAfterThreeAttemptsAndLeaveThePosition) {
    struct Case {
        const char* what;
        void (*fault)(SimulatorOptions&);
    };
    const Case cases[] = {
        {"no reply", [](SimulatorOptions& o) { o.ignoreRequests = 3; }},
        {"bad checksum", [](SimulatorOptions& o) { o.badChecksum = true; }},
        {"function letter G", [](SimulatorOptions& o) { o.positionLetter = 'G'; }},
        {"first byte not F", [](SimulatorOptions& o) { o.replyText = "GD001234"; }},
        {"short reply of 5", [](SimulatorOptions& o) { o.shortReplyBytes = 5; }},
        {"short reply of 8", [](SimulatorOptions& o) { o.shortReplyBytes = 8; }},
    };
    m_sim.SetPosition(1234);
    for (const Case& c : cases) {
        SimulatorOptions options;
        c.fault(options);
        m_sim.SetOptions(options);
        m_sim.ClearReceived();
        int32_t position = static_cast<int32_t>(0xdeadbeef);
        EXPECT_FALSE(QueryPosition(m_port, &position)) << c.what;
        EXPECT_EQ(position, static_cast<int32_t>(0xdeadbeef)) << c.what;
        EXPECT_EQ(Show(ReceivedAfter(27)), Show(Repeat(FrameBytes("FG000000"), 3))) << c.what;
    }
}

TEST_F(Exchanges, PositionFieldIsReadLikeAtoi) {
    struct Case {
        const char* reply;
        int32_t position;
    };
    const Case cases[] = {
        {"FD012345", 12345}, {"FD 00042", 42}, {"FD000000", 0}, {"FD999999", 999999}, {"FD-00042", -42},
        {"FD+00042", 42},    {"FD12AB34", 12}, {"FDABCDEF", 0}, {"FD\t -7 9", -7},    {"FD00001 ", 1},
    };
    for (const Case& c : cases) {
        SetFaults([&c](SimulatorOptions& o) { o.replyText = c.reply; });
        int32_t position = static_cast<int32_t>(0xdeadbeef);
        EXPECT_TRUE(QueryPosition(m_port, &position)) << Show(FrameBytes(c.reply));
        EXPECT_EQ(position, c.position) << Show(FrameBytes(c.reply));
    }
}

TEST_F(Exchanges, StaleInputIsPurgedBeforeEachCommand) {
    // A finished move leaves its progress characters and final frame unread.
    SetFaults([](SimulatorOptions& o) {
        o.stepsPerSecond = 2000;
        o.progressIntervalMs = 5;
    });
    SendMove(m_port, 200);
    for (int i = 0; i < 400 && (m_sim.IsMoving() || m_sim.Position() != 200); ++i)
        Sleep(5);
    ASSERT_EQ(m_sim.Position(), 200);
    Sleep(20);

    m_sim.ClearReceived();
    int32_t position = static_cast<int32_t>(0xdeadbeef);
    EXPECT_TRUE(QueryPosition(m_port, &position));
    EXPECT_EQ(position, 200);
    EXPECT_EQ(Show(ReceivedAfter(9)), Show(FrameBytes("FG000000")))
        << "more than one attempt: stale input was read";
}

} // namespace

namespace {

std::string Attempts(int count, const std::vector<std::string>& attempt) {
    std::string out;
    for (int i = 0; i < count; ++i)
        for (const std::string& call : attempt)
            out += call + "\n";
    return out;
}

std::string Lines(const std::vector<std::string>& lines) {
    return Attempts(1, lines);
}

// Each exchange as the platform sees it: a purge of both directions (pending
// read, unread input, unsent output) before every command, the frame written
// whole, the reply read whole, and the attempt counts, against a line on which
// every read comes back empty at once.
TEST(ExchangeContract, EachExchangePurgesWritesAndReadsItsAttempts) {
    testing_support::PortSettingsGuard guard(testing_support::FirstPair().driver);
    CSerialPort port;
    ASSERT_TRUE(port.Open(testing_support::FirstPair().driver, 9600, 0));
    testing_support::CSerialRecorder recorder;
    recorder.input = [](void*, DWORD, DWORD* read) {
        *read = 0;
        return TRUE;
    };
    const std::vector<std::string> command = {"PurgeComm 0x0E", "WriteFile 9"};
    const std::vector<std::string> request = {"PurgeComm 0x0E", "WriteFile 9", "ReadFile 9"};
    int32_t position = 0x5A5A;
    const struct {
        const char* what;
        std::function<void()> run;
        std::string calls;
    } cases[] = {
        {"Handshake", [&] { EXPECT_FALSE(Handshake(port)); }, Attempts(10, request)},
        {"QueryPosition", [&] { EXPECT_FALSE(QueryPosition(port, &position)); }, Attempts(3, request)},
        {"SendMove", [&] { SendMove(port, -20); }, Lines(command)},
        {"SendStop", [&] { SendStop(port); }, Lines(command)},
    };
    for (const auto& c : cases) {
        recorder.Clear();
        c.run();
        EXPECT_EQ(c.calls, Lines(recorder.Calls())) << c.what;
    }
    EXPECT_EQ(0x5A5A, position);
}

} // namespace
