#pragma once
// One look at a serial port through the driver's own serial and protocol layers:
// open it as the driver does, send the handshake, optionally ask the position,
// then put back the line settings and time-outs it had and close it. Nothing but
// those two commands is ever written.

#include <windows.h>

#include <cstdint>
#include <string>

namespace tools {

enum class PortState {
    Answered,    // a handshake reply with a valid checksum came
    Silent,      // opened, but nothing answered the handshake
    Missing,     // no such device
    Busy,        // another program holds it open
    Failed,      // CreateFile or the line set-up failed for some other reason
    LineRefused, // opened, but the device refused 9600 baud 8N1
};

struct PortProbe {
    PortState state = PortState::Failed;
    DWORD error = 0;     // the platform's error when the open failed
    std::string version; // the six characters after "FV" in the handshake reply
    bool positionKnown = false;
    int32_t position = 0;
    bool restored = true; // the line settings and time-outs went back as found
};

// What CreateFile's error says about a port: missing or held by another program
// (Windows opens a port for one program at a time), else Failed.
PortState ClassifyOpenError(DWORD error);

// name is "COM1".."COM25" or any device name CSerialPort accepts.
PortProbe ProbePort(const std::string& name, bool queryPosition);

// One line for a user: what the state means ("does not exist", "is held by another program", ...).
std::string DescribePortState(const PortProbe& probe);

} // namespace tools
