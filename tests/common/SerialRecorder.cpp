#include "tests/common/SerialRecorder.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>

namespace testing_support {

CSerialRecorder* CSerialRecorder::s_active = nullptr;

CSerialRecorder::CSerialRecorder()
    : m_table{&CreateFileA, &GetCommState, &SetCommState, &SetCommTimeouts,
              &PurgeComm,   &ReadFile,     &WriteFile,    SystemSerialPlatform().getCommTimeouts} {
    EXPECT_EQ(nullptr, s_active) << "a second recorder";
    s_active = this;
    SetSerialPlatform(&m_table);
}

CSerialRecorder::~CSerialRecorder() {
    SetSerialPlatform(nullptr);
    s_active = nullptr;
}

void CSerialRecorder::Note(const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    m_calls.push_back(line);
}

HANDLE WINAPI CSerialRecorder::CreateFileA(LPCSTR name, DWORD access, DWORD share,
                                           LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                           HANDLE templateFile) {
    s_active->Note(
        "CreateFileA %s access 0x%08lX share 0x%lX security %s disposition %lu flags 0x%lX template %s", name,
        static_cast<unsigned long>(access), static_cast<unsigned long>(share),
        security != nullptr ? "given" : "null", static_cast<unsigned long>(disposition),
        static_cast<unsigned long>(flags), templateFile != nullptr ? "given" : "null");
    return SystemSerialPlatform().createFile(name, access, share, security, disposition, flags, templateFile);
}

BOOL WINAPI CSerialRecorder::GetCommState(HANDLE handle, LPDCB dcb) {
    s_active->Note("GetCommState");
    const BOOL ok = SystemSerialPlatform().getCommState(handle, dcb);
    if (ok && s_active->deviceState)
        s_active->deviceState(*dcb);
    return ok;
}

BOOL WINAPI CSerialRecorder::SetCommState(HANDLE handle, LPDCB dcb) {
    s_active->Note("SetCommState");
    s_active->m_lastState = *dcb;
    // A stood-in device takes the record as it is; the pty would refuse some of
    // what a Windows port keeps (RTS toggle mode).
    if (s_active->deviceState)
        return TRUE;
    return SystemSerialPlatform().setCommState(handle, dcb);
}

BOOL WINAPI CSerialRecorder::SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    s_active->Note("SetCommTimeouts %s", Describe(*timeouts).c_str());
    return SystemSerialPlatform().setCommTimeouts(handle, timeouts);
}

BOOL WINAPI CSerialRecorder::PurgeComm(HANDLE handle, DWORD flags) {
    s_active->Note("PurgeComm 0x%02lX", static_cast<unsigned long>(flags));
    return SystemSerialPlatform().purgeComm(handle, flags);
}

BOOL WINAPI CSerialRecorder::ReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD read,
                                      LPOVERLAPPED overlapped) {
    s_active->Note("ReadFile %lu%s", static_cast<unsigned long>(count),
                   overlapped != nullptr ? " overlapped" : "");
    if (s_active->input)
        return s_active->input(buffer, count, read);
    return SystemSerialPlatform().readFile(handle, buffer, count, read, overlapped);
}

BOOL WINAPI CSerialRecorder::WriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD written,
                                       LPOVERLAPPED overlapped) {
    s_active->Note("WriteFile %lu%s", static_cast<unsigned long>(count),
                   overlapped != nullptr ? " overlapped" : "");
    return SystemSerialPlatform().writeFile(handle, buffer, count, written, overlapped);
}

std::string Describe(const COMMTIMEOUTS& t) {
    char text[96];
    std::snprintf(text, sizeof text, "{%lu, %lu, %lu, %lu, %lu}",
                  static_cast<unsigned long>(t.ReadIntervalTimeout),
                  static_cast<unsigned long>(t.ReadTotalTimeoutMultiplier),
                  static_cast<unsigned long>(t.ReadTotalTimeoutConstant),
                  static_cast<unsigned long>(t.WriteTotalTimeoutMultiplier),
                  static_cast<unsigned long>(t.WriteTotalTimeoutConstant));
    return text;
}

} // namespace testing_support
