#include "tests/reliability/HostileController.h"

namespace reliability {

using Lock = platform::ScopedLock<platform::CriticalSection>;

bool CHostileController::Start(const char* port) {
    if (m_thread)
        return false;
    const std::string path = std::string("//./") + port;
    m_port.reset(
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!m_port)
        return false;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    GetCommState(m_port.get(), &dcb);
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    // Reads come back after 1 ms without data, so that due chunks go out on
    // time; a write into a line nobody drains gives up after a second.
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 1, 0, 1000};
    if (!SetCommState(m_port.get(), &dcb) || !SetCommTimeouts(m_port.get(), &timeouts)) {
        m_port.reset();
        return false;
    }
    PurgeComm(m_port.get(), PURGE_RXCLEAR | PURGE_TXCLEAR);
    m_stop = 0;
    m_thread.reset(CreateThread(nullptr, 0, ThreadStart, this, 0, nullptr));
    return static_cast<bool>(m_thread);
}

void CHostileController::Stop() {
    if (m_thread) {
        InterlockedExchange(&m_stop, 1);
        WaitForSingleObject(m_thread.get(), INFINITE);
        m_thread.reset();
    }
    m_port.reset();
}

void CHostileController::SetPlanner(Planner planner) {
    Lock lock(m_lock);
    m_planner = std::move(planner);
    m_pending.clear();
    m_next = 0;
}

void CHostileController::Hush() {
    Lock lock(m_lock);
    m_pending.clear();
    m_next = 0;
}

int CHostileController::CommandsReceived() const {
    Lock lock(m_lock);
    return m_commands;
}

DWORD WINAPI CHostileController::ThreadStart(void* self) {
    static_cast<CHostileController*>(self)->Run();
    return 0;
}

void CHostileController::Run() {
    std::string frame;
    ULONGLONG lastByte = 0;
    while (InterlockedCompareExchange(&m_stop, 0, 0) == 0) {
        unsigned char buffer[64];
        DWORD count = 0;
        if (!ReadFile(m_port.get(), buffer, sizeof buffer, &count, nullptr)) {
            // The line is gone; keep the thread alive until asked to stop.
            Sleep(5);
            count = 0;
        }
        const ULONGLONG now = GetTickCount64();
        if (count == 0 && !frame.empty() && now - lastByte > 200)
            frame.clear();
        for (DWORD i = 0; i < count; ++i) {
            if (frame.empty() && buffer[i] != 'F')
                continue;
            frame += static_cast<char>(buffer[i]);
            lastByte = now;
            if (frame.size() < 9)
                continue;
            Lock lock(m_lock);
            ++m_commands;
            m_pending = m_planner ? m_planner(frame) : std::vector<Chunk>();
            m_next = 0;
            m_due = now + (m_pending.empty() ? 0 : m_pending[0].delayMs);
            frame.clear();
        }

        for (;;) {
            std::string bytes;
            {
                Lock lock(m_lock);
                if (m_next >= m_pending.size() || GetTickCount64() < m_due)
                    break;
                bytes = m_pending[m_next].bytes;
                ++m_next;
                if (m_next < m_pending.size())
                    m_due = GetTickCount64() + m_pending[m_next].delayMs;
            }
            DWORD written = 0;
            WriteFile(m_port.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        }
    }
}

} // namespace reliability
