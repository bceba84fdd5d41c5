#pragma once
// A controller on the far end of a null-modem pair whose every answer a test
// decides: for each command frame it receives, a plan gives the bytes to send
// and when. Random, mutated or endless answers reach the driver exactly as a
// faulty controller or a noisy line would deliver them.

#include "platform/Owners.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace reliability {

struct Chunk {
    DWORD delayMs; // after the previous chunk (or after the command for the first)
    std::string bytes;
};

// Called on the controller's thread with the nine bytes of each command (fewer
// when the line fell silent within a frame).
using Planner = std::function<std::vector<Chunk>(const std::string& command)>;

class CHostileController {
public:
    CHostileController() = default;
    CHostileController(const CHostileController&) = delete;
    CHostileController& operator=(const CHostileController&) = delete;
    ~CHostileController() { Stop(); }

    bool Start(const char* port);
    void Stop();
    // A new plan replaces what is still to be sent.
    void SetPlanner(Planner planner);
    // Drops what is still to be sent.
    void Hush();
    int CommandsReceived() const;

private:
    static DWORD WINAPI ThreadStart(void* self);
    void Run();

    platform::UniqueFile m_port;
    platform::UniqueHandle m_thread;
    volatile LONG m_stop = 0;
    mutable platform::CriticalSection m_lock;
    // Under m_lock.
    Planner m_planner;
    std::vector<Chunk> m_pending;
    size_t m_next = 0;
    ULONGLONG m_due = 0;
    int m_commands = 0;
};

} // namespace reliability
