#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Owners.h"
#include "tests/common/LinePair.h"
#include "tests/common/SerialRecorder.h"

using namespace protocol;

using testing_support::Describe;
using testing_support::FirstPair;
using testing_support::FrameBytes;
using testing_support::LinePair;
using testing_support::Median;
using testing_support::NowMs;
using testing_support::Show;

namespace {

std::string DevicePath(const char* port) {
    return std::string("//./") + port;
}

platform::UniqueFile OpenRaw(const std::string& path) {
    return platform::UniqueFile(
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
}

bool IsOpenHandle(HANDLE h) {
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != FALSE;
}

std::string CurrentTimeouts(HANDLE h) {
    COMMTIMEOUTS t;
    std::memset(&t, 0xEF, sizeof t);
    if (!GetCommTimeouts(h, &t))
        return "GetCommTimeouts failed";
    return Describe(t);
}

const char kStandard[] = "{200, 4, 100, 4, 200}";

TEST(SerialPortOpen, OpensExistingPortsAndFailsClosedOnOthers) {
    struct Case {
        std::string name;
        bool opens;
    };
    const Case cases[] = {
        {FirstPair().driver, true},
        {DevicePath(FirstPair().driver), true},
        {"COM1", false},
        {"//./COM1", false},
        {"COM99", false},
        {"", false},
    };
    for (const Case& c : cases) {
        CSerialPort port;
        EXPECT_EQ(port.Open(c.name, 9600, 0), c.opens) << "\"" << c.name << "\"";
        if (c.opens)
            EXPECT_NE(port.handle(), INVALID_HANDLE_VALUE) << c.name;
        else
            EXPECT_EQ(port.handle(), INVALID_HANDLE_VALUE) << c.name;
    }
}

// Both spellings of COM6 reach the same device, so the prefix shows on a name that
// is also an ordinary file: held exclusively here, opening it as a file fails with
// a sharing violation, looking it up among the devices does not find it at all.
TEST(SerialPortOpen, ANameWithoutALeadingSlashIsLookedUpAmongTheDevices) {
    const char kProbe[] = "SerialPrefixProbe.tmp";
    char directory[MAX_PATH] = {};
    ASSERT_GT(GetCurrentDirectoryA(MAX_PATH, directory), 2u);
    std::string rooted(directory + 2); // "X:\dir" -> "\dir", the same file on the current drive
    for (char& c : rooted)
        if (c == '\\')
            c = '/';
    rooted += "/";
    rooted += kProbe;

    platform::UniqueFile holder(CreateFileA(kProbe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    ASSERT_TRUE(holder.valid()) << "cannot create " << kProbe << ": " << GetLastError();

    CSerialPort port;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(port.Open(kProbe, 9600, 0));
    const DWORD bareError = GetLastError();
    EXPECT_EQ(port.handle(), INVALID_HANDLE_VALUE);
    EXPECT_NE(bareError, static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << kProbe << " was opened as a file";
    EXPECT_NE(bareError, 0xdeadbeefu);

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(port.Open(rooted, 9600, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION))
        << rooted << " was not used unchanged";
    EXPECT_EQ(port.handle(), INVALID_HANDLE_VALUE);
}

TEST(SerialPortOpen, APortHeldByAnotherHandleIsRefused) {
    const std::string path = DevicePath(FirstPair().driver);
    platform::UniqueFile holder = OpenRaw(path);
    ASSERT_TRUE(holder.valid()) << "cannot open " << path << ": " << GetLastError();
    {
        platform::UniqueFile probe = OpenRaw(path);
        if (probe.valid())
            GTEST_SKIP() << "this platform (Wine) lets a second exclusive CreateFileA of " << path
                         << " succeed; Windows refuses it, so the refusal cannot be checked here";
    }
    CSerialPort port;
    EXPECT_FALSE(port.Open(FirstPair().driver, 9600, 0));
    EXPECT_EQ(port.handle(), INVALID_HANDLE_VALUE);
    holder.reset();
    EXPECT_TRUE(port.Open(FirstPair().driver, 9600, 0)) << "not reusable once the holder closed";
}

TEST(SerialPortOpen, CloseReleasesTheDeviceAndASecondCloseDoesNothing) {
    CSerialPort port;
    port.Close();
    EXPECT_EQ(port.handle(), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(port.Open(FirstPair().driver, 9600, 0));
    const HANDLE h = port.handle();
    ASSERT_TRUE(IsOpenHandle(h));
    port.Close();
    EXPECT_EQ(port.handle(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(IsOpenHandle(h)) << "handle still open after Close";
    port.Close();
    EXPECT_EQ(port.handle(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(OpenRaw(DevicePath(FirstPair().driver)).valid()) << "device not free after Close";
    EXPECT_TRUE(port.Open(FirstPair().driver, 9600, 0)) << "cannot reopen after Close";
}

TEST(SerialPortOpen, DestructionClosesTheDevice) {
    HANDLE h = INVALID_HANDLE_VALUE;
    {
        CSerialPort port;
        ASSERT_TRUE(port.Open(FirstPair().driver, 9600, 0));
        h = port.handle();
    }
    EXPECT_FALSE(IsOpenHandle(h));
}

TEST(SerialPortOpen, OpenAppliesTheStandardTimeouts) {
    testing_support::PortSettingsGuard guard(FirstPair().driver);
    {
        // Leave other time-outs on the device first.
        platform::UniqueFile raw = OpenRaw(DevicePath(FirstPair().driver));
        ASSERT_TRUE(raw.valid());
        COMMTIMEOUTS other = {7, 7, 7, 7, 7};
        ASSERT_TRUE(SetCommTimeouts(raw.get(), &other));
    }
    CSerialPort port;
    ASSERT_TRUE(port.Open(FirstPair().driver, 9600, 0));
    EXPECT_EQ(CurrentTimeouts(port.handle()), kStandard);
}

// Every field of the record, for comparisons that name what differs.
// clang-format off
#define DCB_FIELDS(X)                                                                                        \
    X(DCBlength) X(BaudRate) X(fBinary) X(fParity) X(fOutxCtsFlow) X(fOutxDsrFlow) X(fDtrControl)            \
    X(fDsrSensitivity) X(fTXContinueOnXoff) X(fOutX) X(fInX) X(fErrorChar) X(fNull) X(fRtsControl)           \
    X(fAbortOnError) X(XonLim) X(XoffLim) X(ByteSize) X(Parity) X(StopBits) X(XonChar) X(XoffChar)          \
    X(ErrorChar) X(EofChar) X(EvtChar)
// clang-format on

std::string FieldDifferences(const DCB& expected, const DCB& actual) {
    std::string out;
#define COMPARE_FIELD(f)                                                                                     \
    if (static_cast<long>(expected.f) != static_cast<long>(actual.f))                                        \
        out += std::string(" " #f ": ") + std::to_string(static_cast<long>(expected.f)) + " -> " +           \
               std::to_string(static_cast<long>(actual.f));
    DCB_FIELDS(COMPARE_FIELD)
#undef COMPARE_FIELD
    return out;
}

// The line fields Open sets whatever the device had, with the value each must
// get; the "kept" cases change only fields that must stay as they were.
struct LineCase {
    const char* what;
    void (*leave)(DCB&);  // what an earlier program left on the port
    void (*expect)(DCB&); // what Open must make of it beyond the framing
};
void Nothing(DCB&) {}
const LineCase kLineCases[] = {
    {"not binary", [](DCB& d) { d.fBinary = FALSE; }, [](DCB& d) { d.fBinary = TRUE; }},
    {"CTS output flow", [](DCB& d) { d.fOutxCtsFlow = TRUE; }, [](DCB& d) { d.fOutxCtsFlow = FALSE; }},
    {"DSR output flow", [](DCB& d) { d.fOutxDsrFlow = TRUE; }, [](DCB& d) { d.fOutxDsrFlow = FALSE; }},
    {"DSR sensitivity", [](DCB& d) { d.fDsrSensitivity = TRUE; }, [](DCB& d) { d.fDsrSensitivity = FALSE; }},
    {"XON/XOFF output", [](DCB& d) { d.fOutX = TRUE; }, [](DCB& d) { d.fOutX = FALSE; }},
    {"XON/XOFF input", [](DCB& d) { d.fInX = TRUE; }, [](DCB& d) { d.fInX = FALSE; }},
    {"abort on error", [](DCB& d) { d.fAbortOnError = TRUE; }, [](DCB& d) { d.fAbortOnError = FALSE; }},
    {"null stripping", [](DCB& d) { d.fNull = TRUE; }, [](DCB& d) { d.fNull = FALSE; }},
    {"parity checking", [](DCB& d) { d.fParity = TRUE; }, [](DCB& d) { d.fParity = FALSE; }},
    {"error replacement", [](DCB& d) { d.fErrorChar = TRUE; }, [](DCB& d) { d.fErrorChar = FALSE; }},
    {"DTR handshake", [](DCB& d) { d.fDtrControl = DTR_CONTROL_HANDSHAKE; },
     [](DCB& d) { d.fDtrControl = DTR_CONTROL_ENABLE; }},
    {"DTR on kept", [](DCB& d) { d.fDtrControl = DTR_CONTROL_ENABLE; }, Nothing},
    {"DTR off kept", [](DCB& d) { d.fDtrControl = DTR_CONTROL_DISABLE; }, Nothing},
    {"RTS handshake", [](DCB& d) { d.fRtsControl = RTS_CONTROL_HANDSHAKE; },
     [](DCB& d) { d.fRtsControl = RTS_CONTROL_ENABLE; }},
    {"RTS on kept", [](DCB& d) { d.fRtsControl = RTS_CONTROL_ENABLE; }, Nothing},
    {"RTS off kept", [](DCB& d) { d.fRtsControl = RTS_CONTROL_DISABLE; }, Nothing},
    {"RTS toggle kept", [](DCB& d) { d.fRtsControl = RTS_CONTROL_TOGGLE; }, Nothing},
    {"characters, limits and the rest kept",
     [](DCB& d) {
         d.fTXContinueOnXoff = TRUE;
         d.XonLim = 123;
         d.XoffLim = 456;
         d.XonChar = 0x21;
         d.XoffChar = 0x22;
         d.ErrorChar = 0x23;
         d.EofChar = 0x24;
         d.EvtChar = 0x25;
     },
     Nothing},
};

struct FramingCase {
    DWORD baud;
    int evenParity;
    BYTE parity;
};
const FramingCase kFramings[] = {
    {9600, 0, NOPARITY}, {4800, 1, EVENPARITY}, {19200, 7, EVENPARITY}, {2400, -1, EVENPARITY}};

void SetFraming(DCB& d, const FramingCase& c) {
    d.BaudRate = c.baud;
    d.ByteSize = 8;
    d.Parity = c.parity;
    d.StopBits = ONESTOPBIT;
}

// A Windows port keeps every field an earlier program set; the bench's pty keeps
// only some, so the recorder stands in for the device's record here.
TEST(SerialPortOpen, EachInheritedLineFaultIsClearedAndEveryOtherFieldKept) {
    testing_support::PortSettingsGuard guard(FirstPair().driver);
    ASSERT_TRUE(guard.saved());
    for (const FramingCase& framing : kFramings) {
        for (const LineCase& c : kLineCases) {
            SCOPED_TRACE(std::string(c.what) + ", " + std::to_string(framing.baud));
            testing_support::CSerialRecorder recorder;
            DCB device = {};
            recorder.deviceState = [&](DCB& d) {
                d.BaudRate = 1200;
                d.ByteSize = 7;
                d.Parity = ODDPARITY;
                d.StopBits = TWOSTOPBITS;
                c.leave(d);
                device = d;
            };
            CSerialPort port;
            ASSERT_TRUE(port.Open(FirstPair().driver, framing.baud, framing.evenParity));
            DCB expected = device;
            SetFraming(expected, framing);
            c.expect(expected);
            EXPECT_EQ("", FieldDifferences(expected, recorder.LastState())) << "asked of SetCommState";
            EXPECT_EQ("", FieldDifferences(expected, port.dcb())) << "the channel's copy";
        }
    }
}

// The same against the bench's device, all faults at once as one program may leave
// them: what the pty keeps of them (XON/XOFF in both directions) must be gone from
// the device, and what it keeps of the rest must be as it was.
TEST(SerialPortOpen, APortLeftWithFlowControlOnRunsWithoutItAfterOpen) {
    testing_support::PortSettingsGuard guard(FirstPair().driver);
    ASSERT_TRUE(guard.saved());
    DCB before = {};
    ASSERT_TRUE(testing_support::LeaveLineSettings(FirstPair().driver, [&](DCB& d) {
        for (const LineCase& c : kLineCases)
            if (c.expect != Nothing)
                c.leave(d);
        d.XonChar = 0x21;
        d.XoffChar = 0x22;
        d.BaudRate = 1200;
    }));
    {
        platform::UniqueFile raw = OpenRaw(DevicePath(FirstPair().driver));
        ASSERT_TRUE(raw.valid());
        before.DCBlength = sizeof before;
        ASSERT_TRUE(GetCommState(raw.get(), &before));
    }
    ASSERT_TRUE(before.fOutX && before.fInX) << "the pty did not keep XON/XOFF from the earlier open";
    CSerialPort port;
    ASSERT_TRUE(port.Open(FirstPair().driver, 9600, 0));
    DCB now = {};
    now.DCBlength = sizeof now;
    ASSERT_TRUE(GetCommState(port.handle(), &now));
    DCB expected = before;
    SetFraming(expected, kFramings[0]);
    for (const LineCase& c : kLineCases)
        if (c.expect != Nothing)
            c.expect(expected);
    // A pty has no parity and no handshake lines: those fields read back as the
    // pty makes them, before and after alike, so only the rest is compared.
    expected.Parity = now.Parity;
    expected.fDtrControl = now.fDtrControl;
    expected.fRtsControl = now.fRtsControl;
    EXPECT_EQ("", FieldDifferences(expected, now)) << "the device after Open";
    EXPECT_NE(DTR_CONTROL_HANDSHAKE, now.fDtrControl);
    EXPECT_NE(RTS_CONTROL_HANDSHAKE, now.fRtsControl);
}

// Output held by the line (here XON/XOFF switched on under the open channel and an
// XOFF from the far end; on Windows also a CTS or DSR wire that is never raised)
// must not block a command for longer than the write time-out.
TEST(SerialPortWrite, AWriteHeldByTheLineFailsAfterTheWriteTimeout) {
    testing_support::PortSettingsGuard guardDriver(FirstPair().driver);
    testing_support::PortSettingsGuard guardFarEnd(FirstPair().simulator);
    ASSERT_TRUE(guardDriver.saved() && guardFarEnd.saved());
    platform::UniqueFile farEnd = OpenRaw(DevicePath(FirstPair().simulator));
    ASSERT_TRUE(farEnd.valid());
    CSerialPort port;
    ASSERT_TRUE(port.Open(FirstPair().driver, 9600, 0));
    ASSERT_TRUE(testing_support::LeaveLineSettings(FirstPair().driver, [](DCB& d) { d.fOutX = TRUE; }));
    const unsigned char xoff = 0x13;
    DWORD sent = 0;
    ASSERT_TRUE(WriteFile(farEnd.get(), &xoff, 1, &sent, nullptr) && sent == 1);
    Sleep(50);

    const std::vector<unsigned char> stop = FrameBytes("FVXXXXXX");
    std::vector<double> times;
    for (int i = 0; i < 3; ++i) {
        testing_support::HeldOutputRescue rescue(FirstPair().driver, 3000);
        const double start = NowMs();
        EXPECT_FALSE(port.Write(stop.data(), static_cast<DWORD>(stop.size())));
        times.push_back(NowMs() - start);
        ASSERT_FALSE(rescue.Finish()) << "the write was still blocked after 3 s";
    }
    std::printf("9-byte write held by XOFF: min %.1f median %.1f max %.1f ms\n",
                *std::min_element(times.begin(), times.end()), Median(times),
                *std::max_element(times.begin(), times.end()));
    EXPECT_GT(Median(times), 150.0) << "the write gave up before its time-out";
    EXPECT_LT(Median(times), 1000.0);
}

using SerialPortIo = LinePair;

TEST_F(SerialPortIo, ReadWithNothingArrivingGivesUpAfterTheStandardTimeout) {
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
        unsigned char buffer[kFrameSize];
        std::memset(buffer, 0xEF, sizeof buffer);
        const double start = NowMs();
        EXPECT_FALSE(m_port.Read(buffer, kFrameSize));
        times.push_back(NowMs() - start);
        EXPECT_EQ(Show(buffer, kFrameSize), Show(std::vector<unsigned char>(kFrameSize, 0xEF)));
    }
    const double median = Median(times);
    std::printf("9-byte read, nothing arriving: min %.1f median %.1f max %.1f ms\n",
                *std::min_element(times.begin(), times.end()), median,
                *std::max_element(times.begin(), times.end()));
    EXPECT_GT(median, 100.0);
    EXPECT_LT(median, 600.0);
}

TEST_F(SerialPortIo, ReadOfNineWhenFiveArriveFailsAfterTheTimeout) {
    SetFaults([](SimulatorOptions& o) { o.shortReplyBytes = 5; });
    const std::vector<unsigned char> handshake = FrameBytes("FV000000");
    ASSERT_TRUE(m_port.Write(handshake.data(), static_cast<DWORD>(handshake.size())));
    unsigned char buffer[kFrameSize];
    std::memset(buffer, 0xEF, sizeof buffer);
    const double start = NowMs();
    EXPECT_FALSE(m_port.Read(buffer, kFrameSize));
    const double elapsed = NowMs() - start;
    EXPECT_GT(elapsed, 100.0);
    EXPECT_LT(elapsed, 600.0);
    EXPECT_EQ(Show(buffer, kFrameSize), "FV010\\xEF\\xEF\\xEF\\xEF") << "the five bytes that came";
}

TEST_F(SerialPortIo, ReadAndWriteMoveWholeFrames) {
    const std::vector<unsigned char> query = FrameBytes("FG000000");
    m_sim.SetPosition(777);
    EXPECT_TRUE(m_port.Write(query.data(), static_cast<DWORD>(query.size())));
    unsigned char reply[kFrameSize];
    std::memset(reply, 0xEF, sizeof reply);
    EXPECT_TRUE(m_port.Read(reply, kFrameSize));
    EXPECT_EQ(Show(reply, kFrameSize), Show(FrameBytes("FD000777")));
}

TEST_F(SerialPortIo, PollByteWithNothingArrivingReturnsQuicklyAndRestoresTheStandardTimeouts) {
    std::vector<double> times;
    for (int i = 0; i < 100; ++i) {
        unsigned char byte = 0xEF;
        const double start = NowMs();
        EXPECT_FALSE(m_port.PollByte(&byte));
        times.push_back(NowMs() - start);
        if (byte != 0xEF)
            ADD_FAILURE() << "byte written without input: 0x" << std::hex << int(byte);
    }
    const double median = Median(times);
    std::printf("PollByte, nothing arriving (100 calls): min %.2f median %.2f max %.2f ms\n",
                *std::min_element(times.begin(), times.end()), median,
                *std::max_element(times.begin(), times.end()));
    EXPECT_LT(median, 60.0);
    EXPECT_EQ(CurrentTimeouts(m_port.handle()), kStandard);

    // The next read waits the standard time, not the poll's 2 ms.
    unsigned char buffer[kFrameSize];
    const double start = NowMs();
    EXPECT_FALSE(m_port.Read(buffer, kFrameSize));
    EXPECT_GT(NowMs() - start, 100.0);
}

TEST_F(SerialPortIo, PollByteTakesOneWaitingByteAtATime) {
    const std::vector<unsigned char> handshake = FrameBytes("FV000000");
    ASSERT_TRUE(m_port.Write(handshake.data(), static_cast<DWORD>(handshake.size())));
    std::vector<unsigned char> got;
    const double start = NowMs();
    while (got.size() < kFrameSize && NowMs() - start < 1000) {
        unsigned char byte = 0;
        if (m_port.PollByte(&byte))
            got.push_back(byte);
    }
    EXPECT_EQ(Show(got), Show(FrameBytes("FV010200")));
    EXPECT_EQ(CurrentTimeouts(m_port.handle()), kStandard);
}

TEST_F(SerialPortIo, PurgeDiscardsUnreadInput) {
    const std::vector<unsigned char> handshake = FrameBytes("FV000000");
    ASSERT_TRUE(m_port.Write(handshake.data(), static_cast<DWORD>(handshake.size())));
    // Wait until the whole reply sits unread in the input queue.
    COMSTAT status = {};
    DWORD errors = 0;
    const double start = NowMs();
    while (ClearCommError(m_port.handle(), &errors, &status) && status.cbInQue < kFrameSize &&
           NowMs() - start < 1000)
        Sleep(1);
    ASSERT_EQ(status.cbInQue, static_cast<DWORD>(kFrameSize));
    EXPECT_TRUE(m_port.Purge());
    ASSERT_TRUE(ClearCommError(m_port.handle(), &errors, &status));
    EXPECT_EQ(status.cbInQue, 0u);
    unsigned char byte = 0xEF;
    EXPECT_FALSE(m_port.PollByte(&byte)) << "left after purge: 0x" << std::hex << int(byte);
}

} // namespace

namespace {

std::string Lines(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines)
        out += line + "\n";
    return out;
}

// What each operation asks of the platform, call by call: how the device is
// opened, both time-out sets, the purge flags and the byte counts. Any changed
// constant shows here, also one whose effect the bench's pty cannot show.
TEST(SerialPortContract, EachOperationMakesExactlyItsPlatformCalls) {
    testing_support::PortSettingsGuard guard(FirstPair().driver);
    ASSERT_TRUE(guard.saved());
    testing_support::CSerialRecorder recorder;
    CSerialPort port;
    const std::string path = DevicePath(FirstPair().driver);
    const std::string open =
        "CreateFileA " + path +
        " access 0xC0000000 share 0x0 security null disposition 3 flags 0x0 template null";
    const char kStandardSet[] = "SetCommTimeouts {200, 4, 100, 4, 200}";
    unsigned char buffer[kFrameSize] = {};
    struct Step {
        const char* what;
        std::function<void()> run;
        std::vector<std::string> calls;
    } steps[] = {
        {"Open",
         [&] { EXPECT_TRUE(port.Open(FirstPair().driver, 9600, 0)); },
         {open, "GetCommState", kStandardSet, "SetCommState"}},
        {"Write", [&] { port.Write(buffer, kFrameSize); }, {"WriteFile 9"}},
        {"Read", [&] { port.Read(buffer, kFrameSize); }, {"ReadFile 9"}},
        {"Purge", [&] { port.Purge(); }, {"PurgeComm 0x0E"}},
        {"PollByte",
         [&] { port.PollByte(buffer); },
         {"SetCommTimeouts {1, 1, 1, 4, 200}", "ReadFile 1", kStandardSet}},
        {"Close", [&] { port.Close(); }, {}},
        {"Open by path",
         [&] { EXPECT_TRUE(port.Open(path, 9600, 0)); },
         {open, "GetCommState", kStandardSet, "SetCommState"}},
    };
    for (const Step& step : steps) {
        recorder.Clear();
        step.run();
        EXPECT_EQ(Lines(step.calls), Lines(recorder.Calls())) << step.what;
    }
}

} // namespace
