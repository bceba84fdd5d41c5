#pragma once
// The controller's frame protocol: 9-byte frames of eight ASCII characters and an
// 8-bit additive checksum, and the exchanges built on CSerialPort.

#include <cstdint>
#include <string>

class CSerialPort;

namespace protocol {

constexpr int kFrameSize = 9;
using DeviceFrame = unsigned char[kFrameSize];

// "//./COMn" for the 0-based port index the settings hold.
std::string ControllerPortName(int portIndex);
// Opens name on the controller's line (9600 baud, 8 data bits, no parity, one
// stop bit), as the driver links; CSerialPort::Open's answer.
bool OpenControllerPort(CSerialPort& port, const std::string& name);

void SetChecksum(unsigned char* frame);
bool IsChecksumValid(const unsigned char* frame);

// Up to 10 attempts of "FV000000"; true when a reply with a valid checksum came,
// which is copied to reply when one is given.
bool Handshake(CSerialPort& port, DeviceFrame* reply = nullptr);
// Up to 3 attempts of "FG000000"; true and the position on an 'F' 'D' reply with a
// valid checksum; the position is left unchanged on failure.
bool QueryPosition(CSerialPort& port, int32_t* position);
// "FI" (negative distance) or "FO" with the magnitude in six digits; no reply read.
void SendMove(CSerialPort& port, int32_t distance);
// "FVXXXXXX" as a complete 9-byte frame; no reply read.
void SendStop(CSerialPort& port);

} // namespace protocol
