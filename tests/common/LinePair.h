#pragma once
// A simulated controller on one end of the bench's first null-modem pair and the
// channel under test on the other, plus the readers the tests share.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "serial/DeviceFrame.h"
#include "serial/SerialPort.h"
#include "simulator/FocuserSimulator.h"
#include "tests/common/SimulatorTest.h"
#include "tests/common/TestSupport.h"
#include "tests/common/TextSupport.h"

namespace testing_support {

// Bytes as text with non-printing ones in hex, for failure messages.
inline std::string Show(const unsigned char* bytes, size_t count) {
    return Printable(std::string(reinterpret_cast<const char*>(bytes), count));
}
inline std::string Show(const std::vector<unsigned char>& bytes) {
    return Show(bytes.data(), bytes.size());
}

// The eight characters of text and their checksum.
inline std::vector<unsigned char> FrameBytes(const char* text) {
    const std::string frame = Frame(text);
    return std::vector<unsigned char>(frame.begin(), frame.end());
}

inline std::vector<unsigned char> Repeat(const std::vector<unsigned char>& frame, int times) {
    std::vector<unsigned char> out;
    for (int i = 0; i < times; ++i)
        out.insert(out.end(), frame.begin(), frame.end());
    return out;
}

inline double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

// What the driver side saw of one move: the characters before the final frame,
// the frame, and when the frame's 'F' came.
struct MotionStream {
    std::string stream;
    std::vector<unsigned char> frame; // empty if none came
    double frameAtMs = 0;             // since the start of the read
};

// Drains the motion stream with PollByte until an 'F' and its 8 bytes, until
// quietMs pass without any character, or until limitMs in all.
inline MotionStream ReadMotion(CSerialPort& port, double quietMs, double limitMs = 5000) {
    MotionStream result;
    const double start = testing_support::NowMs();
    double last = start;
    for (;;) {
        unsigned char c = 0;
        if (port.PollByte(&c)) {
            last = testing_support::NowMs();
            if (c == 'F') {
                result.frameAtMs = last - start;
                unsigned char rest[8] = {};
                result.frame.push_back('F');
                if (port.Read(rest, sizeof rest))
                    result.frame.insert(result.frame.end(), rest, rest + 8);
                return result;
            }
            result.stream += static_cast<char>(c);
        } else if (testing_support::NowMs() - last > quietMs) {
            return result;
        }
        if (testing_support::NowMs() - start > limitMs)
            return result;
    }
}

// The simulator with a port of the test's own on the near end of the pair.
class LinePair : public SimulatorTest {
protected:
    void SetUp() override {
        StartSimulator(m_sim.Options());
        ASSERT_TRUE(m_port.Open(testing_support::FirstPair().driver, 9600, 0))
            << "could not open " << testing_support::FirstPair().driver;
    }
    void TearDown() override {
        m_port.Close();
        SimulatorTest::TearDown();
    }

    // Waits until the simulator has taken in atLeast bytes, then gives a byte
    // more than that 20 ms to come, and returns what it has.
    std::vector<unsigned char> ReceivedAfter(size_t atLeast) {
        if (m_sim.WaitForReceived(atLeast, 2000))
            m_sim.WaitForReceived(atLeast + 1, 20);
        return m_sim.Received();
    }

    CSerialPort m_port;
};

} // namespace testing_support
