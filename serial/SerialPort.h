#pragma once
// The driver's only path to the focuser controller: one serial device opened
// exclusively, synchronous reads and writes of fixed byte counts under fixed
// time-outs. Every operation answers true or false; messages belong to the driver.
// Platform calls go through the table of serial/SerialPlatform.h.

#include <windows.h>

#include <string>

#include "platform/Owners.h"

// Sees every byte that goes out or comes in, for a trace of the line.
class IWireTap {
public:
    virtual void Sent(const unsigned char* bytes, DWORD count) = 0;
    virtual void Received(const unsigned char* bytes, DWORD count) = 0;

protected:
    ~IWireTap() = default;
};

class CSerialPort {
public:
    CSerialPort() = default;
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;
    ~CSerialPort();

    // Opens the device at baudRate, 8 data bits, one stop bit, even parity when
    // evenParity is nonzero else none, in binary mode without flow control,
    // abort-on-error, null stripping, parity checking or error replacement; the
    // other line settings stay as the device had them. A
    // name that does not begin with '/' gets the "//./" prefix. True only when
    // the line settings were applied; after a failed SetCommState the device
    // stays open until Close or destruction.
    bool Open(std::string name, DWORD baudRate, int evenParity);
    // Puts back the line settings and time-outs the device had when Open found
    // it, for a caller that must leave a port as it was (a port finder); the
    // driver does not. True when the device took both.
    bool RestoreFoundLine();
    void Close();
    // True only if all count bytes went out within the write time-out (236 ms
    // for a 9-byte frame).
    bool Write(const void* buffer, DWORD count);
    // True only if all count bytes arrived before the standard time-outs ran out.
    bool Read(void* buffer, DWORD count);
    BOOL Purge();
    // One byte under the short poll time-outs (about 2 ms with nothing arriving);
    // the standard time-outs are in force again afterwards.
    bool PollByte(unsigned char* byte);

    // The tap (null: none) sees the bytes Write sent and Read received, short
    // reads included; it must outlive the port or be removed first.
    void SetTap(IWireTap* tap) { m_tap = tap; }

    bool IsOpen() const { return m_handle.get() != INVALID_HANDLE_VALUE; }
    HANDLE handle() const { return m_handle.get(); }
    const DCB& dcb() const { return m_dcb; }

private:
    platform::UniqueFile m_handle; // INVALID_HANDLE_VALUE while closed
    DCB m_dcb = {};
    DCB m_foundDcb = {};
    COMMTIMEOUTS m_foundTimeouts = {};
    IWireTap* m_tap = nullptr;
};
