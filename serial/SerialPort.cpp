#include "serial/SerialPort.h"

namespace {

// A 9-byte read gives up after 4 * 9 + 100 = 136 ms, or 200 ms after a byte when
// the line falls quiet mid-reply. Writes never time out.
const COMMTIMEOUTS kStandardTimeouts = {200, 4, 100, 0, 0};
// A one-byte read with nothing waiting returns after about 2 ms.
const COMMTIMEOUTS kPollTimeouts = {1, 1, 1, 0, 0};

} // namespace

CSerialPort::~CSerialPort() {
    Close();
}

bool CSerialPort::Open(std::string name, DWORD baudRate, int evenParity) {
    // The "//./" device namespace is what reaches ports above COM9; a bare
    // "COM12" would be taken as a file name.
    if (name.empty() || name[0] != '/')
        name = "//./" + name;

    m_handle.reset(
        CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!m_handle)
        return false;

    COMMTIMEOUTS timeouts = kStandardTimeouts;
    if (!GetCommState(m_handle.get(), &m_dcb) || !SetCommTimeouts(m_handle.get(), &timeouts)) {
        m_handle.reset();
        return false;
    }

    // Only the framing changes; flow control, handshake lines and the special
    // characters stay as the device reported them.
    m_dcb.BaudRate = baudRate;
    m_dcb.ByteSize = 8;
    m_dcb.Parity = evenParity != 0 ? EVENPARITY : NOPARITY;
    m_dcb.StopBits = ONESTOPBIT;
    return SetCommState(m_handle.get(), &m_dcb) != FALSE;
}

void CSerialPort::Close() {
    m_handle.reset();
}

bool CSerialPort::Write(const void* buffer, DWORD count) {
    DWORD written = 0;
    return WriteFile(m_handle.get(), buffer, count, &written, nullptr) && written == count;
}

bool CSerialPort::Read(void* buffer, DWORD count) {
    // A time-out is a successful ReadFile with fewer bytes: still a failure here.
    DWORD read = 0;
    return ReadFile(m_handle.get(), buffer, count, &read, nullptr) && read == count;
}

BOOL CSerialPort::Purge() {
    return PurgeComm(m_handle.get(), PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

bool CSerialPort::PollByte(unsigned char* byte) {
    COMMTIMEOUTS poll = kPollTimeouts;
    if (!SetCommTimeouts(m_handle.get(), &poll))
        return false;
    const bool ok = Read(byte, 1);
    // Every other read runs under the standard time-outs; a failure to restore
    // them would show in the next read, so it is not reported here.
    COMMTIMEOUTS standard = kStandardTimeouts;
    SetCommTimeouts(m_handle.get(), &standard);
    return ok;
}
