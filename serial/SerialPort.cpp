#include "serial/SerialPort.h"

#include "serial/SerialPlatform.h"

namespace {

// A 9-byte read gives up after 4 * 9 + 100 = 136 ms, or 200 ms after a byte when
// the line falls quiet mid-reply. A 9-byte write gives up after 4 * 9 + 200 =
// 236 ms (about 9 ms on the wire at 9600 baud): whatever holds the line (flow
// control, a stuck adapter), no command blocks its caller for long, and a write
// that times out is a lost command, which the protocol already survives.
const COMMTIMEOUTS kStandardTimeouts = {200, 4, 100, 4, 200};
// A one-byte read with nothing waiting returns after about 2 ms. Writes keep
// their bound here too, should restoring the standard set ever fail.
const COMMTIMEOUTS kPollTimeouts = {1, 1, 1, 4, 200};

// The line the protocol needs, whatever an earlier program left on the port
// (Windows keeps a port's settings from one open to the next): with XON/XOFF
// output flow control a 0x13 byte from the controller, which a checksum may be,
// would hold every later write; CTS or DSR flow control on a cable without those
// wires holds them from the start; abort-on-error stops all traffic at the
// first framing error; null stripping drops every 0x00 byte of a reply; parity
// checking with error replacement swaps a byte that arrived damaged for the
// error character, where the checksum already rejects the reply. DTR and RTS
// keep their state when plainly on or off (a device may draw its power from
// them); from handshake mode they go plainly on. RTS toggle mode stays: RS-485
// adapters switch their transmitter with it.
void SetProtocolLine(DCB& dcb) {
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.fNull = FALSE;
    dcb.fParity = FALSE;
    dcb.fErrorChar = FALSE;
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE)
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
    if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
}

} // namespace

CSerialPort::~CSerialPort() {
    Close();
}

bool CSerialPort::Open(std::string name, DWORD baudRate, int evenParity) {
    const SerialPlatform& os = CurrentSerialPlatform();
    // The "//./" device namespace is what reaches ports above COM9; a bare
    // "COM12" would be taken as a file name.
    if (name.empty() || name[0] != '/')
        name = "//./" + name;

    m_handle.reset(
        os.createFile(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!m_handle)
        return false;

    COMMTIMEOUTS timeouts = kStandardTimeouts;
    m_dcb.DCBlength = sizeof m_dcb;
    if (!os.getCommState(m_handle.get(), &m_dcb) || !os.getCommTimeouts(m_handle.get(), &m_foundTimeouts) ||
        !os.setCommTimeouts(m_handle.get(), &timeouts)) {
        m_handle.reset();
        return false;
    }
    m_foundDcb = m_dcb;

    m_dcb.BaudRate = baudRate;
    m_dcb.ByteSize = 8;
    m_dcb.Parity = evenParity != 0 ? EVENPARITY : NOPARITY;
    m_dcb.StopBits = ONESTOPBIT;
    SetProtocolLine(m_dcb);
    return os.setCommState(m_handle.get(), &m_dcb) != FALSE;
}

bool CSerialPort::RestoreFoundLine() {
    const SerialPlatform& os = CurrentSerialPlatform();
    DCB dcb = m_foundDcb;
    COMMTIMEOUTS timeouts = m_foundTimeouts;
    // Both are tried: a refused line setting does not keep the time-outs from going back.
    const bool line = os.setCommState(m_handle.get(), &dcb) != FALSE;
    return os.setCommTimeouts(m_handle.get(), &timeouts) != FALSE && line;
}

void CSerialPort::Close() {
    m_handle.reset();
}

bool CSerialPort::Write(const void* buffer, DWORD count) {
    // A write that the time-out cut short is a failure like any other.
    DWORD written = 0;
    const bool ok = CurrentSerialPlatform().writeFile(m_handle.get(), buffer, count, &written, nullptr);
    if (m_tap != nullptr)
        m_tap->Sent(static_cast<const unsigned char*>(buffer), ok ? written : 0);
    return ok && written == count;
}

bool CSerialPort::Read(void* buffer, DWORD count) {
    // A time-out is a successful ReadFile with fewer bytes: still a failure here.
    DWORD read = 0;
    const bool ok = CurrentSerialPlatform().readFile(m_handle.get(), buffer, count, &read, nullptr);
    if (m_tap != nullptr)
        m_tap->Received(static_cast<const unsigned char*>(buffer), ok ? read : 0);
    return ok && read == count;
}

BOOL CSerialPort::Purge() {
    return CurrentSerialPlatform().purgeComm(m_handle.get(), PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

bool CSerialPort::PollByte(unsigned char* byte) {
    const SerialPlatform& os = CurrentSerialPlatform();
    COMMTIMEOUTS poll = kPollTimeouts;
    if (!os.setCommTimeouts(m_handle.get(), &poll))
        return false;
    const bool ok = Read(byte, 1);
    // Every other read runs under the standard time-outs; a failure to restore
    // them would show in the next read, so it is not reported here.
    COMMTIMEOUTS standard = kStandardTimeouts;
    os.setCommTimeouts(m_handle.get(), &standard);
    return ok;
}
