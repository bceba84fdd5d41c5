// The port probe of doctor and find-port against a stood-in device at the serial
// layer's seam: the bench cannot make a port that another program holds (Wine
// does not refuse a second open), nor show what the probe puts back on the line.
#include "serial/SerialPlatform.h"
#include "tools/PortProbe.h"
#include "tests/common/TextSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using testing_support::Frame;

struct Device {
    DWORD openError = ERROR_SUCCESS; // CreateFile fails with this unless ERROR_SUCCESS
    std::string reply;               // what answers each frame; empty: silence
    DCB found = {};
    COMMTIMEOUTS foundTimeouts = {};
    std::vector<std::string> written;
    DCB lastState = {};
    COMMTIMEOUTS lastTimeouts = {};
    std::string pending;
};

Device* g_device = nullptr;

HANDLE WINAPI FakeCreateFile(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    if (g_device->openError != ERROR_SUCCESS) {
        SetLastError(g_device->openError);
        return INVALID_HANDLE_VALUE;
    }
    // A real handle for the channel's owner to close.
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}
BOOL WINAPI FakeGetCommState(HANDLE, LPDCB dcb) {
    *dcb = g_device->found;
    return TRUE;
}
BOOL WINAPI FakeSetCommState(HANDLE, LPDCB dcb) {
    g_device->lastState = *dcb;
    return TRUE;
}
BOOL WINAPI FakeGetCommTimeouts(HANDLE, LPCOMMTIMEOUTS timeouts) {
    *timeouts = g_device->foundTimeouts;
    return TRUE;
}
BOOL WINAPI FakeSetCommTimeouts(HANDLE, LPCOMMTIMEOUTS timeouts) {
    g_device->lastTimeouts = *timeouts;
    return TRUE;
}
BOOL WINAPI FakePurge(HANDLE, DWORD) {
    g_device->pending.clear();
    return TRUE;
}
BOOL WINAPI FakeWrite(HANDLE, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED) {
    g_device->written.emplace_back(static_cast<const char*>(buffer), count);
    g_device->pending = g_device->reply;
    *written = count;
    return TRUE;
}
BOOL WINAPI FakeRead(HANDLE, LPVOID buffer, DWORD count, LPDWORD read, LPOVERLAPPED) {
    const DWORD n = static_cast<DWORD>(std::min<size_t>(count, g_device->pending.size()));
    std::memcpy(buffer, g_device->pending.data(), n);
    g_device->pending.erase(0, n);
    *read = n;
    return TRUE;
}

const SerialPlatform kFake = {&FakeCreateFile, &FakeGetCommState, &FakeSetCommState, &FakeSetCommTimeouts,
                              &FakePurge,      &FakeRead,         &FakeWrite,        &FakeGetCommTimeouts};

class PortProbe : public ::testing::Test {
protected:
    void SetUp() override {
        g_device = &m_device;
        SetSerialPlatform(&kFake);
        // A line another program left: 19200 baud, XON/XOFF, odd time-outs.
        m_device.found.DCBlength = sizeof(DCB);
        m_device.found.BaudRate = 19200;
        m_device.found.ByteSize = 7;
        m_device.found.fOutX = TRUE;
        m_device.foundTimeouts = {11, 22, 33, 44, 55};
    }
    void TearDown() override {
        SetSerialPlatform(nullptr);
        g_device = nullptr;
    }

    void ExpectLineAsFound() const {
        EXPECT_EQ(0, std::memcmp(&m_device.found, &m_device.lastState, sizeof(DCB))) << "line settings";
        EXPECT_EQ(0, std::memcmp(&m_device.foundTimeouts, &m_device.lastTimeouts, sizeof(COMMTIMEOUTS)))
            << "time-outs";
    }

    Device m_device;
};

TEST_F(PortProbe, CreateFileErrorsTellAMissingPortFromOneHeldByAnotherProgram) {
    const struct {
        DWORD error;
        tools::PortState state;
        const char* text;
    } cases[] = {
        {ERROR_FILE_NOT_FOUND, tools::PortState::Missing, "does not exist"},
        {ERROR_PATH_NOT_FOUND, tools::PortState::Missing, "does not exist"},
        {ERROR_ACCESS_DENIED, tools::PortState::Busy, "is held by another program"},
        {ERROR_SHARING_VIOLATION, tools::PortState::Busy, "is held by another program"},
        {ERROR_GEN_FAILURE, tools::PortState::Failed, "could not be opened: "},
    };
    for (const auto& c : cases) {
        m_device.openError = c.error;
        const tools::PortProbe probe = tools::ProbePort("COM3", true);
        EXPECT_EQ(static_cast<int>(c.state), static_cast<int>(probe.state)) << c.error;
        EXPECT_EQ(c.error, probe.error);
        EXPECT_EQ(0u, tools::DescribePortState(probe).find(c.text)) << tools::DescribePortState(probe);
        EXPECT_TRUE(m_device.written.empty());
    }
}

TEST_F(PortProbe, ASilentPortGetsOnlyHandshakesAndItsLineBack) {
    const tools::PortProbe probe = tools::ProbePort("COM4", true);
    EXPECT_EQ(static_cast<int>(tools::PortState::Silent), static_cast<int>(probe.state));
    EXPECT_EQ(10u, m_device.written.size());
    for (const std::string& frame : m_device.written)
        EXPECT_EQ(Frame("FV000000"), frame);
    EXPECT_TRUE(probe.restored);
    ExpectLineAsFound();
}

TEST_F(PortProbe, AnAnsweringControllerShowsItsVersionAndPositionAndGetsItsLineBack) {
    m_device.reply = Frame("FV010203");
    tools::PortProbe probe = tools::ProbePort("COM4", false);
    EXPECT_EQ(static_cast<int>(tools::PortState::Answered), static_cast<int>(probe.state));
    EXPECT_EQ("010203", probe.version);
    EXPECT_FALSE(probe.positionKnown);
    ASSERT_EQ(1u, m_device.written.size()) << "find-port writes nothing but the handshake";
    ExpectLineAsFound();

    m_device.written.clear();
    m_device.reply = Frame("FD001234");
    probe = tools::ProbePort("COM4", true);
    // Any valid frame answers the handshake; the position comes from the query.
    EXPECT_EQ(static_cast<int>(tools::PortState::Answered), static_cast<int>(probe.state));
    EXPECT_TRUE(probe.positionKnown);
    EXPECT_EQ(1234, probe.position);
    ASSERT_EQ(2u, m_device.written.size());
    EXPECT_EQ(Frame("FG000000"), m_device.written[1]);
    ExpectLineAsFound();
}

} // namespace
