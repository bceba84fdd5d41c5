#pragma once
// The trace log a user turns on with the "Trace" setting: one file per process
// and linked session in <Documents>\ASCOM\Logs YYYY-MM-DD\, one line per call
// with the bytes on the wire. Writing it never changes what a client sees: any
// failure turns the log off for the session and leaves the reason for doctor.

#include "platform/Owners.h"
#include "serial/SerialPort.h"

#include <windows.h>

#include <memory>

class CTraceLog : public IWireTap {
public:
    // A new file for a session; null when none could be made (the reason is recorded).
    static std::unique_ptr<CTraceLog> Open() noexcept;
    CTraceLog(const CTraceLog&) = delete;
    CTraceLog& operator=(const CTraceLog&) = delete;
    virtual ~CTraceLog();

    // Calls nest (a member that runs another through the interface): only the
    // outermost one makes a line, and the inner ones' bytes are part of it.
    void Begin(const char* member) noexcept;
    void Argument(const char* text) noexcept;
    // The message the client receives; ignored from a nested call, whose
    // failure its caller does not pass on.
    void Failed(const char* message) noexcept;
    void End(const char* answer) noexcept;

    void Sent(const unsigned char* bytes, DWORD count) override;
    void Received(const unsigned char* bytes, DWORD count) override;

private:
    CTraceLog() = default;
    bool OpenFile() noexcept;
    void Fold() noexcept;
    void FlushFold() noexcept;
    void WriteLine(const char* text, int length) noexcept;
    void Stop(const char* what, DWORD error) noexcept;
    void AppendWire(char direction, const unsigned char* bytes, DWORD count) noexcept;

    platform::UniqueFile m_file;
    char m_path[MAX_PATH] = {};
    unsigned long long m_written = 0;

    int m_depth = 0;
    const char* m_member = nullptr;
    char m_arguments[64] = {};
    char m_failure[128] = {};
    bool m_failed = false;
    SYSTEMTIME m_started = {};
    LONGLONG m_startCount = 0;
    char m_wire[1024] = {};
    int m_wireLength = 0;
    char m_lastDirection = 0;
    int m_progress = 0;
    unsigned char m_lastProgress = 0;

    // IsMoving calls that only polled the motion stream, folded into one line.
    int m_foldCalls = 0;
    int m_foldProgress = 0;
    unsigned char m_foldLast = 0;
    char m_foldAnswer[16] = {};
    SYSTEMTIME m_foldStarted = {};
    LONGLONG m_foldStartCount = 0;
    double m_foldMs = 0;
};

// The call that writes a line: the system's WriteFile unless a test installs
// another. A disk that fills or a folder made read-only under an open log cannot
// be had on the bench (Wine runs as root), so its failure is injected here.
using TraceWriteCall = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
// Tests only: null puts WriteFile back. Install it while no session is traced.
void SetTraceWrite(TraceWriteCall write) noexcept;

// What a traced call answers: the out-parameter, read when the call ends.
enum class TraceAnswerKind { None, Bool, Long, Float };
struct TraceAnswer {
    TraceAnswer() = default;
    TraceAnswer(const VARIANT_BOOL* p) : kind(TraceAnswerKind::Bool), value(p) {}
    TraceAnswer(const LONG* p) : kind(TraceAnswerKind::Long), value(p) {}
    TraceAnswer(const float* p) : kind(TraceAnswerKind::Float), value(p) {}
    TraceAnswerKind kind = TraceAnswerKind::None;
    const void* value = nullptr;
};

// One member call in the log, or nothing when the log is off: then the cost is
// the test of the pointer.
class CTracedCall {
public:
    CTracedCall(CTraceLog* log, const char* member, TraceAnswer answer = TraceAnswer()) noexcept
        : m_log(log), m_answer(answer) {
        if (m_log != nullptr)
            m_log->Begin(member);
    }
    CTracedCall(const CTracedCall&) = delete;
    CTracedCall& operator=(const CTracedCall&) = delete;
    ~CTracedCall() {
        if (m_log != nullptr)
            Finish();
    }
    void Argument(long value) noexcept;

private:
    void Finish() noexcept;

    CTraceLog* m_log;
    TraceAnswer m_answer;
};
