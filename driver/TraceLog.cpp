#include "driver/TraceLog.h"

#include "settings/TraceSettings.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

// Past this a session goes on in a new file, so a night of polling cannot fill the disk.
constexpr unsigned long long kMaxFileBytes = 10ull * 1024 * 1024;
// Folded IsMoving calls are written at least this often, so a crash loses little.
constexpr double kFoldLineMs = 1000;
// Two servers that open a log in the same tenth of a millisecond take the next name.
constexpr int kNameAttempts = 50;

double MsBetween(LONGLONG from, LONGLONG to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(to - from) / static_cast<double>(frequency.QuadPart);
}

LONGLONG Count() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

int FormatTime(char* out, size_t size, const SYSTEMTIME& t) {
    return std::snprintf(out, size, "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay, t.wHour,
                         t.wMinute, t.wSecond, t.wMilliseconds);
}

bool IsProgress(unsigned char c) {
    return c == 'I' || c == 'O';
}

TraceWriteCall g_write = nullptr;

} // namespace

void SetTraceWrite(TraceWriteCall write) noexcept {
    g_write = write;
}

std::unique_ptr<CTraceLog> CTraceLog::Open() noexcept {
    std::unique_ptr<CTraceLog> log(new (std::nothrow) CTraceLog);
    if (!log)
        return log;
    if (!log->OpenFile())
        log.reset();
    return log;
}

CTraceLog::~CTraceLog() {
    FlushFold();
}

bool CTraceLog::OpenFile() noexcept {
    try {
        const std::string root = settings::TraceRootFolder();
        if (root.empty()) {
            settings::RecordTraceProblem("the documents folder is not known");
            return false;
        }
        SYSTEMTIME now;
        GetLocalTime(&now);
        char day[32];
        std::snprintf(day, sizeof day, "\\Logs %04u-%02u-%02u", now.wYear, now.wMonth, now.wDay);
        const std::string folder = root + day;
        // Room for "\ASCOM.Morvantis.Focuser.hhmm.ssffff.txt" and its terminator.
        if (folder.size() + 42 > MAX_PATH) {
            settings::RecordTraceProblem("the log folder's path is too long: " + folder);
            return false;
        }
        for (const std::string& path : {root, folder}) {
            if (!CreateDirectoryA(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
                settings::RecordTraceProblem("the folder " + path + " could not be created (Windows error " +
                                             std::to_string(GetLastError()) + ")");
                return false;
            }
        }
        DWORD error = 0;
        for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
            const unsigned fraction = now.wMilliseconds * 10u + static_cast<unsigned>(attempt);
            std::snprintf(m_path, sizeof m_path, "%s\\ASCOM.Morvantis.Focuser.%02u%02u.%02u%04u.txt",
                          folder.c_str(), now.wHour, now.wMinute, now.wSecond, fraction % 10000u);
            // Share read: the user may look at the log while the driver writes it.
            m_file.reset(CreateFileA(m_path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
            if (m_file)
                break;
            error = GetLastError();
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
                break;
        }
        if (!m_file) {
            settings::RecordTraceProblem(std::string("the log file ") + m_path +
                                         " could not be created (Windows error " + std::to_string(error) +
                                         ")");
            return false;
        }
        m_written = 0;
        settings::RecordTraceProblem(std::string());
        return true;
    } catch (...) {
        return false;
    }
}

void CTraceLog::Stop(const char* what, DWORD error) noexcept {
    m_file.reset();
    try {
        settings::RecordTraceProblem(std::string(what) + " " + m_path + " failed (Windows error " +
                                     std::to_string(error) + ")");
    } catch (...) {
        // Out of memory: tracing is off all the same.
    }
}

void CTraceLog::WriteLine(const char* text, int length) noexcept {
    if (!m_file || length <= 0)
        return;
    if (m_written + static_cast<unsigned long long>(length) > kMaxFileBytes) {
        m_file.reset();
        if (!OpenFile())
            return;
    }
    // One write per line and no buffer here: a host that crashes loses nothing written before.
    DWORD written = 0;
    const TraceWriteCall write = g_write != nullptr ? g_write : &WriteFile;
    if (!write(m_file.get(), text, static_cast<DWORD>(length), &written, nullptr) ||
        written != static_cast<DWORD>(length)) {
        Stop("writing", GetLastError());
        return;
    }
    m_written += written;
}

void CTraceLog::Begin(const char* member) noexcept {
    if (m_depth++ > 0 || !m_file)
        return;
    m_member = member;
    m_arguments[0] = '\0';
    m_failed = false;
    m_wireLength = 0;
    m_wire[0] = '\0';
    m_lastDirection = 0;
    m_progress = 0;
    GetLocalTime(&m_started);
    m_startCount = Count();
}

void CTraceLog::Argument(const char* text) noexcept {
    if (m_depth == 1 && m_file)
        std::snprintf(m_arguments, sizeof m_arguments, "%s", text);
}

void CTraceLog::Failed(const char* message) noexcept {
    if (m_depth != 1)
        return;
    m_failed = true;
    std::snprintf(m_failure, sizeof m_failure, "%s", message);
}

void CTraceLog::AppendWire(char direction, const unsigned char* bytes, DWORD count) noexcept {
    // A read that timed out with nothing is the normal answer of a quiet poll.
    if (count == 0)
        return;
    // Room kept for the mark of a cut: a line never outgrows its buffer.
    const int limit = static_cast<int>(sizeof m_wire) - 8;
    if (direction != m_lastDirection && m_wireLength < limit) {
        m_wireLength += std::snprintf(m_wire + m_wireLength, sizeof m_wire - m_wireLength, " %c ", direction);
        m_lastDirection = direction;
    }
    for (DWORD i = 0; i < count && m_wireLength < limit; ++i) {
        const unsigned char c = bytes[i];
        if (c >= 0x20 && c < 0x7F && c != '\\')
            m_wire[m_wireLength++] = static_cast<char>(c);
        else
            m_wireLength += std::snprintf(m_wire + m_wireLength, sizeof m_wire - m_wireLength, "\\x%02X", c);
    }
    if (m_wireLength >= limit)
        m_wireLength = limit + std::snprintf(m_wire + limit, sizeof m_wire - limit, "...");
    m_wire[m_wireLength] = '\0';
}

void CTraceLog::Sent(const unsigned char* bytes, DWORD count) {
    if (m_depth > 0 && m_file)
        AppendWire('>', bytes, count);
}

void CTraceLog::Received(const unsigned char* bytes, DWORD count) {
    if (m_depth == 0 || !m_file)
        return;
    // A poll's progress character is counted, not listed.
    if (count == 1 && IsProgress(bytes[0])) {
        ++m_progress;
        m_lastProgress = bytes[0];
        return;
    }
    AppendWire('<', bytes, count);
}

void CTraceLog::End(const char* answer) noexcept {
    if (--m_depth > 0 || !m_file)
        return;
    const LONGLONG endCount = Count();
    const double ms = MsBetween(m_startCount, endCount);
    const bool foldable = !m_failed && m_wireLength == 0 && std::strcmp(m_member, "IsMoving") == 0;
    if (foldable) {
        if (m_foldCalls > 0 && std::strcmp(m_foldAnswer, answer) != 0)
            FlushFold();
        if (m_foldCalls == 0) {
            m_foldStarted = m_started;
            m_foldStartCount = m_startCount;
            m_foldProgress = 0;
            std::snprintf(m_foldAnswer, sizeof m_foldAnswer, "%s", answer);
        }
        ++m_foldCalls;
        m_foldMs += ms;
        m_foldProgress += m_progress;
        if (m_progress > 0)
            m_foldLast = m_lastProgress;
        if (MsBetween(m_foldStartCount, endCount) >= kFoldLineMs)
            FlushFold();
        return;
    }
    FlushFold();
    char line[1536];
    int length = FormatTime(line, sizeof line, m_started);
    length += std::snprintf(line + length, sizeof line - length, " %s%s%s%s", m_member,
                            m_arguments[0] != '\0' ? " " : "", m_arguments, m_wire);
    if (m_progress > 0)
        length += std::snprintf(line + length, sizeof line - length, " progress %d last '%c'", m_progress,
                                m_lastProgress);
    length += std::snprintf(line + length, sizeof line - length, " %.1f ms -> %s%s%s\r\n", ms,
                            m_failed ? "error \"" : "", m_failed ? m_failure : answer, m_failed ? "\"" : "");
    if (length >= static_cast<int>(sizeof line))
        length = static_cast<int>(sizeof line) - 1;
    WriteLine(line, length);
}

void CTraceLog::FlushFold() noexcept {
    if (m_foldCalls == 0)
        return;
    char line[256];
    int length = FormatTime(line, sizeof line, m_foldStarted);
    length += std::snprintf(line + length, sizeof line - length, " IsMoving x%d over %.0f ms", m_foldCalls,
                            MsBetween(m_foldStartCount, Count()));
    if (m_foldProgress > 0)
        length += std::snprintf(line + length, sizeof line - length, " progress %d last '%c'", m_foldProgress,
                                m_foldLast);
    length +=
        std::snprintf(line + length, sizeof line - length, " %.1f ms -> %s\r\n", m_foldMs, m_foldAnswer);
    m_foldCalls = 0;
    m_foldMs = 0;
    WriteLine(line, length);
}

void CTracedCall::Argument(long value) noexcept {
    if (m_log == nullptr)
        return;
    char text[16];
    std::snprintf(text, sizeof text, "%ld", value);
    m_log->Argument(text);
}

void CTracedCall::Finish() noexcept {
    char text[32] = "ok";
    switch (m_answer.kind) {
    case TraceAnswerKind::None:
        break;
    case TraceAnswerKind::Bool:
        std::snprintf(text, sizeof text, "%s",
                      *static_cast<const VARIANT_BOOL*>(m_answer.value) != VARIANT_FALSE ? "True" : "False");
        break;
    case TraceAnswerKind::Long:
        std::snprintf(text, sizeof text, "%ld", static_cast<long>(*static_cast<const LONG*>(m_answer.value)));
        break;
    case TraceAnswerKind::Float:
        std::snprintf(text, sizeof text, "%g",
                      static_cast<double>(*static_cast<const float*>(m_answer.value)));
        break;
    }
    m_log->End(text);
}
