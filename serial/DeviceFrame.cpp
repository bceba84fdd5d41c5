#include "serial/DeviceFrame.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial/SerialPort.h"

namespace protocol {

namespace {

constexpr int kHandshakeAttempts = 10;
constexpr int kQueryAttempts = 3;
constexpr int64_t kMaxDistance = 999999;

// Templates whose ninth character only holds the checksum's place.
const char kHandshakeText[] = "FV000000x";
const char kQueryText[] = "FG000000x";
const char kStopText[] = "FVXXXXXX";

// Checksums over the text and sends the frame after a purge, so that the read
// that follows sees only the answer to this command. A failed write shows as a
// missing reply.
void SendFrame(CSerialPort& port, unsigned char* frame) {
    SetChecksum(frame);
    port.Purge();
    port.Write(frame, kFrameSize);
}

void FrameFromText(DeviceFrame frame, const char* text) {
    std::memcpy(frame, text, kFrameSize);
}

} // namespace

namespace {

// The 8-bit sum of the eight text bytes, wrapping.
unsigned char TextSum(const unsigned char* frame) {
    unsigned char sum = 0;
    for (int i = 0; i < kFrameSize - 1; ++i)
        sum = static_cast<unsigned char>(sum + frame[i]);
    return sum;
}

} // namespace

void SetChecksum(unsigned char* frame) {
    frame[kFrameSize - 1] = TextSum(frame);
}

bool IsChecksumValid(const unsigned char* frame) {
    return frame[kFrameSize - 1] == TextSum(frame);
}

std::string ControllerPortName(int portIndex) {
    return "//./COM" + std::to_string(portIndex + 1);
}

bool OpenControllerPort(CSerialPort& port, const std::string& name) {
    constexpr DWORD kBaudRate = 9600;
    return port.Open(name, kBaudRate, 0);
}

bool Handshake(CSerialPort& port, DeviceFrame* reply) {
    for (int attempt = 0; attempt < kHandshakeAttempts; ++attempt) {
        DeviceFrame command;
        FrameFromText(command, kHandshakeText);
        SendFrame(port, command);
        // Any reply with a valid checksum shows the controller is there.
        DeviceFrame received = {};
        if (port.Read(received, kFrameSize) && IsChecksumValid(received)) {
            if (reply != nullptr)
                std::memcpy(*reply, received, kFrameSize);
            return true;
        }
    }
    return false;
}

bool QueryPosition(CSerialPort& port, int32_t* position) {
    for (int attempt = 0; attempt < kQueryAttempts; ++attempt) {
        DeviceFrame command;
        FrameFromText(command, kQueryText);
        SendFrame(port, command);
        DeviceFrame reply = {};
        if (port.Read(reply, kFrameSize) && IsChecksumValid(reply) && reply[0] == 'F' && reply[1] == 'D') {
            // The checksum byte becomes the terminator of the six-character field.
            reply[kFrameSize - 1] = 0;
            *position = static_cast<int32_t>(std::atoi(reinterpret_cast<const char*>(reply + 2)));
            return true;
        }
    }
    return false;
}

void SendMove(CSerialPort& port, int32_t distance) {
    // The controller's field holds six digits; a larger request (none of ours
    // makes one) goes out as the largest move rather than as its leading digits.
    int64_t magnitude = distance < 0 ? -static_cast<int64_t>(distance) : distance;
    if (magnitude > kMaxDistance)
        magnitude = kMaxDistance;
    char text[kFrameSize + 1] = {};
    if (distance < 0)
        std::snprintf(text, sizeof text, "FI%06ix", static_cast<int>(magnitude));
    else
        std::snprintf(text, sizeof text, "FO%06ix", static_cast<int>(magnitude));
    DeviceFrame frame;
    std::memcpy(frame, text, kFrameSize);
    SendFrame(port, frame);
}

void SendStop(CSerialPort& port) {
    // The stop text has no checksum placeholder; the frame goes out complete, as
    // every other command does.
    DeviceFrame frame = {};
    std::memcpy(frame, kStopText, kFrameSize - 1);
    SendFrame(port, frame);
}

} // namespace protocol
