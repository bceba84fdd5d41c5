#include "simulator/FocuserSimulator.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

namespace {

constexpr int32_t kMaxPosition = 999999;
constexpr size_t kFrameSize = 9;
constexpr size_t kTextSize = 8;
// A partial frame that sees no more bytes for this long is dropped, so a lost
// byte costs one command, not every one after it.
constexpr ULONGLONG kPartialFrameMs = 200;
// How long a stop waits for the checksum byte of its 9-byte form before it acts
// as the 8-byte form.
constexpr ULONGLONG kStopChecksumMs = 20;
// The longest the thread blocks in one read, and so the delay of Stop and of a
// progress character.
constexpr DWORD kReadWaitMs = 5;

const char kHandshake[] = "FV000000";
const char kQuery[] = "FG000000";
const char kStop[] = "FVXXXXXX";

unsigned char Sum(const unsigned char* text) {
    unsigned char sum = 0;
    for (size_t i = 0; i < kTextSize; ++i)
        sum = static_cast<unsigned char>(sum + text[i]);
    return sum;
}

int32_t Clamp(int64_t position) {
    return position < 0 ? 0 : position > kMaxPosition ? kMaxPosition : static_cast<int32_t>(position);
}

bool IsSixDigits(const unsigned char* field) {
    for (size_t i = 0; i < 6; ++i)
        if (field[i] < '0' || field[i] > '9')
            return false;
    return true;
}

// Eight characters: the text cut or padded with '0'.
std::string EightChars(std::string text) {
    text.resize(kTextSize, '0');
    return text;
}

} // namespace

CFocuserSimulator::CFocuserSimulator(const SimulatorOptions& options)
    : m_receivedEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)), m_options(options) {}

CFocuserSimulator::~CFocuserSimulator() {
    Stop();
}

bool CFocuserSimulator::Start(const char* port) {
    if (m_thread || port == nullptr)
        return false;
    std::string name(port);
    if (name.empty() || (name[0] != '/' && name[0] != '\\'))
        name = "//./" + name;
    platform::UniqueFile handle(
        CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!handle)
        return false;

    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle.get(), &dcb))
        return false;
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    // Reads return at once with whatever has arrived, or after kReadWaitMs with
    // nothing: the thread both listens and keeps a move's clock. Writes give up
    // after a second: a far end that reads nothing fills the line's buffers, and
    // an unbounded write would then hold the thread, and Stop, for ever.
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, kReadWaitMs, 0, 1000};
    if (!SetCommState(handle.get(), &dcb) || !SetCommTimeouts(handle.get(), &timeouts))
        return false;
    PurgeComm(handle.get(), PURGE_RXCLEAR | PURGE_TXCLEAR);

    {
        platform::ScopedLock<platform::CriticalSection> lock(m_lock);
        m_received.clear();
        m_requestsIgnored = 0;
        m_moving = false;
    }
    m_frame.clear();
    m_stopPending = false;
    m_events.clear();
    m_startTime = GetTickCount64();
    m_lastByteTime = m_startTime;
    m_port = std::move(handle);
    InterlockedExchange(&m_stopRequested, 0);
    m_thread.reset(CreateThread(nullptr, 0, ThreadStart, this, 0, nullptr));
    if (!m_thread) {
        m_port.reset();
        return false;
    }
    return true;
}

void CFocuserSimulator::Stop() {
    if (m_thread) {
        InterlockedExchange(&m_stopRequested, 1);
        WaitForSingleObject(m_thread.get(), INFINITE);
        m_thread.reset();
    }
    m_port.reset();
    platform::ScopedLock<platform::CriticalSection> lock(m_lock);
    if (m_moving) {
        m_position = PositionAt(GetTickCount64());
        m_moving = false;
    }
}

void CFocuserSimulator::SetOptions(const SimulatorOptions& options) {
    platform::ScopedLock<platform::CriticalSection> lock(m_lock);
    m_options = options;
    m_requestsIgnored = 0;
}

SimulatorOptions CFocuserSimulator::Options() const {
    platform::ScopedLock<platform::CriticalSection> lock(m_lock);
    return m_options;
}

void CFocuserSimulator::SetMonitor(Monitor monitor) {
    m_monitor = std::move(monitor);
}

std::vector<unsigned char> CFocuserSimulator::Received() const {
    platform::ScopedLock<platform::CriticalSection> lock(m_lock);
    return m_received;
}

void CFocuserSimulator::ClearReceived() {
    platform::ScopedLock<platform::CriticalSection> lock(m_lock);
    m_received.clear();
}

bool CFocuserSimulator::WaitForReceived(size_t count, DWORD timeoutMs) const {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        // Reset before looking: a byte that lands after the look sets it again.
        ResetEvent(m_receivedEvent.get());
        {
            platform::ScopedLock<platform::CriticalSection> lock(m_lock);
            if (m_received.size() >= count)
                return true;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return false;
        // Bounded, since another waiter may reset the event under this one.
        const ULONGLONG left = deadline - now;
        WaitForSingleObject(m_receivedEvent.get(), left < 10 ? static_cast<DWORD>(left) : 10);
    }
}

int32_t CFocuserSimulator::Position() const {
    platform::ScopedLock<platform::CriticalSection> lock(m_lock);
    return m_moving ? PositionAt(GetTickCount64()) : m_position;
}

void CFocuserSimulator::SetPosition(int32_t position) {
    platform::ScopedLock<platform::CriticalSection> lock(m_lock);
    if (!m_moving)
        m_position = Clamp(position);
}

bool CFocuserSimulator::IsMoving() const {
    platform::ScopedLock<platform::CriticalSection> lock(m_lock);
    return m_moving;
}

DWORD WINAPI CFocuserSimulator::ThreadStart(void* self) {
    try {
        static_cast<CFocuserSimulator*>(self)->Run();
        return 0;
    } catch (...) {
        return 1;
    }
}

void CFocuserSimulator::Run() {
    while (InterlockedCompareExchange(&m_stopRequested, 0, 0) == 0) {
        unsigned char bytes[64];
        DWORD count = 0;
        if (!ReadFile(m_port.get(), bytes, sizeof bytes, &count, nullptr)) {
            count = 0;
            Sleep(kReadWaitMs);
        }
        const ULONGLONG now = GetTickCount64();
        {
            platform::ScopedLock<platform::CriticalSection> lock(m_lock);
            if (count > 0) {
                m_received.insert(m_received.end(), bytes, bytes + count);
                const bool booting = now - m_startTime < m_options.bootDelayMs;
                if (!booting && !m_options.silent)
                    OnBytes(bytes, count, now);
            } else {
                CheckPartialFrame(now);
            }
            RunMove(now);
        }
        if (count > 0)
            SetEvent(m_receivedEvent.get());
        Flush();
    }
}

void CFocuserSimulator::OnBytes(const unsigned char* bytes, size_t count, ULONGLONG now) {
    for (size_t i = 0; i < count; ++i) {
        const unsigned char byte = bytes[i];
        if (m_stopPending) {
            // A 9-byte stop brings its checksum next; anything else means the
            // 8-byte form, and the byte starts what follows.
            const bool checksum = byte == Sum(m_frame.data());
            if (checksum)
                m_frame.push_back(byte);
            EndPendingStop(now);
            if (checksum)
                continue;
        }
        if (m_frame.empty() && byte != 'F') {
            Report(false, &byte, 1);
            continue;
        }
        m_frame.push_back(byte);
        if (m_frame.size() == kTextSize && std::memcmp(m_frame.data(), kStop, kTextSize) == 0) {
            m_stopPending = true;
        } else if (m_frame.size() == kFrameSize) {
            Report(false, m_frame.data(), m_frame.size());
            OnFrame(m_frame.data(), now);
            m_frame.clear();
        }
    }
    m_lastByteTime = now;
}

void CFocuserSimulator::CheckPartialFrame(ULONGLONG now) {
    if (m_frame.empty())
        return;
    const ULONGLONG quiet = now - m_lastByteTime;
    if (m_stopPending && quiet >= kStopChecksumMs) {
        EndPendingStop(now);
    } else if (quiet >= kPartialFrameMs) {
        Report(false, m_frame.data(), m_frame.size());
        m_frame.clear();
    }
}

void CFocuserSimulator::EndPendingStop(ULONGLONG now) {
    Report(false, m_frame.data(), m_frame.size());
    m_frame.clear();
    m_stopPending = false;
    DoStop(now);
}

void CFocuserSimulator::OnFrame(const unsigned char* frame, ULONGLONG now) {
    if (frame[kTextSize] != Sum(frame) || m_moving)
        return;
    const bool handshake = std::memcmp(frame, kHandshake, kTextSize) == 0;
    const bool query = std::memcmp(frame, kQuery, kTextSize) == 0;
    if (handshake || query) {
        if (m_requestsIgnored < m_options.ignoreRequests) {
            ++m_requestsIgnored;
            return;
        }
        char text[kTextSize + 1];
        if (!m_options.replyText.empty())
            std::snprintf(text, sizeof text, "%s", EightChars(m_options.replyText).c_str());
        else if (handshake)
            std::snprintf(text, sizeof text, "FV%s",
                          EightChars(m_options.firmwareVersion).substr(0, 6).c_str());
        else
            std::snprintf(text, sizeof text, "F%c%06d", m_options.positionLetter,
                          static_cast<int>(m_position));
        SendReply(text);
        return;
    }
    if (frame[0] == 'F' && (frame[1] == 'O' || frame[1] == 'I') && IsSixDigits(frame + 2)) {
        int32_t distance = 0;
        for (size_t i = 2; i < kTextSize; ++i)
            distance = distance * 10 + (frame[i] - '0');
        m_direction = frame[1] == 'O' ? 1 : -1;
        m_moveStart = m_position;
        m_moveTarget = Clamp(static_cast<int64_t>(m_position) + m_direction * static_cast<int64_t>(distance));
        m_moveStartTime = now;
        m_nextProgress = now + m_options.progressIntervalMs;
        m_moving = true;
        RunMove(now);
    }
}

void CFocuserSimulator::DoStop(ULONGLONG now) {
    if (!m_moving)
        return;
    m_moveTarget = PositionAt(now);
    EndMove();
}

int32_t CFocuserSimulator::StepsAt(ULONGLONG now) const {
    const int64_t total = m_direction * (static_cast<int64_t>(m_moveTarget) - m_moveStart);
    const int64_t rate = m_options.stepsPerSecond > 0 ? m_options.stepsPerSecond : 1;
    const int64_t done = static_cast<int64_t>(now - m_moveStartTime) * rate / 1000;
    return static_cast<int32_t>(done < total ? done : total);
}

int32_t CFocuserSimulator::PositionAt(ULONGLONG now) const {
    return m_moveStart + m_direction * StepsAt(now);
}

void CFocuserSimulator::RunMove(ULONGLONG now) {
    if (!m_moving)
        return;
    const int32_t steps = StepsAt(now);
    const int32_t total = m_direction * (m_moveTarget - m_moveStart);
    // A stall abandons the move where it stopped; nothing more is sent for it.
    int32_t stallAt = total;
    if (m_options.stallAfterSteps >= 0 && steps >= m_options.stallAfterSteps)
        stallAt = m_options.stallAfterSteps;
    if (m_options.stallAfterMs >= 0 &&
        now - m_moveStartTime >= static_cast<ULONGLONG>(m_options.stallAfterMs)) {
        const int32_t atTime = StepsAt(m_moveStartTime + static_cast<ULONGLONG>(m_options.stallAfterMs));
        if (atTime < stallAt)
            stallAt = atTime;
    }
    if (stallAt < total) {
        m_position = m_moveStart + m_direction * stallAt;
        m_moving = false;
        return;
    }
    if (steps >= total) {
        EndMove();
        return;
    }
    if (now >= m_nextProgress) {
        if (!m_options.silent) {
            std::string stream(1, m_direction > 0 ? 'O' : 'I');
            stream += m_options.motionGarbage;
            Send(stream.data(), stream.size());
        }
        const ULONGLONG interval = m_options.progressIntervalMs > 0 ? m_options.progressIntervalMs : 1;
        m_nextProgress += interval;
        if (m_nextProgress <= now)
            m_nextProgress = now + interval;
    }
}

void CFocuserSimulator::EndMove() {
    m_position = m_moveTarget;
    m_moving = false;
    if (m_options.silent)
        return;
    char text[kTextSize + 1];
    std::snprintf(text, sizeof text, "F%c%06d", m_options.positionLetter, static_cast<int>(m_position));
    SendReply(text);
}

void CFocuserSimulator::SendReply(const char* text) {
    unsigned char frame[kFrameSize];
    std::memcpy(frame, text, kTextSize);
    frame[kTextSize] = Sum(frame);
    if (m_options.badChecksum)
        frame[kTextSize] = static_cast<unsigned char>(frame[kTextSize] + 1);
    size_t count = kFrameSize;
    if (m_options.shortReplyBytes > 0 && static_cast<size_t>(m_options.shortReplyBytes) < kFrameSize)
        count = static_cast<size_t>(m_options.shortReplyBytes);
    Send(frame, count);
}

void CFocuserSimulator::Send(const void* bytes, size_t count) {
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    m_events.push_back({true, std::vector<unsigned char>(p, p + count)});
}

void CFocuserSimulator::Report(bool sent, const unsigned char* bytes, size_t count) {
    if (m_monitor)
        m_events.push_back({sent, std::vector<unsigned char>(bytes, bytes + count)});
}

void CFocuserSimulator::Flush() {
    // Outside the lock: a slow write or a monitor that calls back in must not
    // hold up the test thread.
    for (const Event& event : m_events) {
        if (event.sent) {
            DWORD written = 0;
            WriteFile(m_port.get(), event.bytes.data(), static_cast<DWORD>(event.bytes.size()), &written,
                      nullptr);
        }
        if (m_monitor)
            m_monitor(event.sent, event.bytes.data(), event.bytes.size());
    }
    m_events.clear();
}
