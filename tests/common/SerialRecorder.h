#pragma once
// Watches what the serial channel asks of the platform: installs a table of its
// own that writes every call down and passes it on to the system, so that the
// real device still answers. A test may also stand in for the device's line
// settings or for its input, where the bench cannot produce them.

#include "serial/SerialPlatform.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace testing_support {

class CSerialRecorder {
public:
    // Installs the recorder for every channel until destruction. One at a time.
    CSerialRecorder();
    CSerialRecorder(const CSerialRecorder&) = delete;
    CSerialRecorder& operator=(const CSerialRecorder&) = delete;
    ~CSerialRecorder();

    // Every call so far, one line each, for example "PurgeComm 0x0E",
    // "SetCommTimeouts {200, 4, 100, 4, 200}", "ReadFile 9".
    std::vector<std::string> Calls() const { return m_calls; }
    void Clear() { m_calls.clear(); }
    // The record the channel passed to the last SetCommState.
    const DCB& LastState() const { return m_lastState; }

    // Changes what GetCommState returned before the channel sees it: the state an
    // earlier program may leave on a Windows port. While set, SetCommState is
    // recorded and answered TRUE without reaching the device.
    std::function<void(DCB&)> deviceState;
    // Answers ReadFile in place of the device when set: fills the buffer, sets
    // the count and returns the call's result.
    std::function<BOOL(void* buffer, DWORD count, DWORD* read)> input;

private:
    static HANDLE WINAPI CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    static BOOL WINAPI GetCommState(HANDLE, LPDCB);
    static BOOL WINAPI SetCommState(HANDLE, LPDCB);
    static BOOL WINAPI SetCommTimeouts(HANDLE, LPCOMMTIMEOUTS);
    static BOOL WINAPI PurgeComm(HANDLE, DWORD);
    static BOOL WINAPI ReadFile(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    static BOOL WINAPI WriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
    void Note(const char* format, ...);

    static CSerialRecorder* s_active;
    SerialPlatform m_table;
    std::vector<std::string> m_calls;
    DCB m_lastState = {};
};

// "{200, 4, 100, 4, 200}": the five fields in their order.
std::string Describe(const COMMTIMEOUTS& timeouts);

} // namespace testing_support
