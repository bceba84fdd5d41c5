#include "tools/PortProbe.h"

#include "serial/DeviceFrame.h"
#include "serial/SerialPort.h"
#include "tools/DispatchClient.h"

namespace tools {

PortState ClassifyOpenError(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
        return PortState::Missing;
    // A port is opened exclusively: a second open is refused with one of these.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return PortState::Busy;
    default:
        return PortState::Failed;
    }
}

PortProbe ProbePort(const std::string& name, bool queryPosition) {
    PortProbe probe;
    CSerialPort port;
    SetLastError(ERROR_SUCCESS);
    const bool opened = protocol::OpenControllerPort(port, name);
    const DWORD error = GetLastError();
    if (!port.IsOpen()) {
        probe.error = error;
        probe.state = ClassifyOpenError(error);
        return probe;
    }
    if (!opened) {
        probe.error = error;
        probe.state = PortState::LineRefused;
    } else {
        protocol::DeviceFrame reply = {};
        if (protocol::Handshake(port, &reply)) {
            probe.state = PortState::Answered;
            probe.version.assign(reinterpret_cast<const char*>(reply + 2), 6);
            if (queryPosition)
                probe.positionKnown = protocol::QueryPosition(port, &probe.position);
        } else {
            probe.state = PortState::Silent;
        }
    }
    probe.restored = port.RestoreFoundLine();
    return probe;
}

std::string DescribePortState(const PortProbe& probe) {
    switch (probe.state) {
    case PortState::Answered:
        return "a controller answered \"" + probe.version + "\"";
    case PortState::Silent:
        return "opens, but nothing answered the handshake";
    case PortState::Missing:
        return "does not exist";
    case PortState::Busy:
        return "is held by another program";
    case PortState::LineRefused:
        return "opens, but refused the line settings (9600 baud, 8N1)";
    case PortState::Failed:
        break;
    }
    std::string reason = SystemMessage(HRESULT_FROM_WIN32(probe.error));
    if (reason.empty())
        reason = "error " + std::to_string(probe.error);
    return "could not be opened: " + reason;
}

} // namespace tools
