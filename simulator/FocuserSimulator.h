#pragma once
// A stand-in for the focuser controller: a thread on one end of a null-modem pair
// that speaks the controller's frame protocol at 9600 baud 8N1, for tests and for
// users without hardware.
//
// It shares no code with the driver's serial and protocol layers on purpose: it
// stands for the controller, so its frames, checksums and line set-up are written
// from the controller's side, and a fault in the driver's copy cannot agree with
// itself here.
//
// What it does with its input:
// - Frames are found by hunting for 'F'; bytes before an 'F' are dropped. A partial
//   frame that sees no further byte for 200 ms is dropped too.
// - "FV000000" (handshake) is answered with "FV" + the six-character firmware
//   version + checksum; "FG000000" (position query) with "FD" + six digits +
//   checksum.
// - "FO dddddd" / "FI dddddd" start a relative move (position increasing /
//   decreasing). While it runs, 'O' or 'I' is sent every progressIntervalMs; it ends
//   with the final frame "FD" + six digits of the new position + checksum. The
//   position moves at stepsPerSecond and is clamped to 0..999999 (a move into a
//   limit ends there). A move of 0 steps ends at once with its final frame.
// - "FVXXXXXX" (stop) ends a move at once with its final frame. Both lengths
//   work: it acts when its checksum byte comes, or when 20 ms pass after its
//   eighth character without one (or another byte comes first).
//   A stop while idle does nothing.
// - A frame with a bad checksum, and a command it does not know (other letters,
//   arguments that are not six digits), get no reply and have no effect.
// - During a move only the stop is acted on; every other command is ignored.
// Every received byte is recorded (Received()), also those ignored because of a
// fault or a boot delay.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Owners.h"

struct SimulatorOptions {
    int stepsPerSecond = 1000;
    DWORD progressIntervalMs = 100;
    // Six characters carried in bytes 2..7 of the handshake reply.
    std::string firmwareVersion = "010200";

    // Faults.
    // Sends nothing at all and acts on nothing; received bytes are still recorded.
    bool silent = false;
    // Replies (handshake, position, final frame) carry checksum + 1.
    bool badChecksum = false;
    // Function letter of the position reply and of the final frame ('G' for a wrong one).
    char positionLetter = 'D';
    // 1..8: only this many bytes of each reply are sent; 0 sends whole replies.
    int shortReplyBytes = 0;
    // The first N commands that expect a reply (handshake, position query) after
    // Start or SetOptions get none.
    int ignoreRequests = 0;
    // When not empty: the eight text characters of every handshake and position
    // reply (shorter texts are padded with '0', longer ones cut); the checksum is
    // computed as usual (and spoilt by badChecksum).
    std::string replyText;
    // Sent after every progress character during a move. A controller's noise; an
    // 'F' in here ends the driver's view of the move, so tests keep it out.
    std::string motionGarbage;
    // A move stops sending anything (no progress, no final frame) once it has run
    // this long or this many steps; negative: never. The stalled move is abandoned:
    // the position stays where it stalled and later commands are answered.
    int stallAfterMs = -1;
    int stallAfterSteps = -1;
    // Everything received during the first N ms after Start is ignored.
    DWORD bootDelayMs = 0;
};

class CFocuserSimulator {
public:
    // Called on the simulator thread for every frame received (sent = false) and
    // every piece of output (sent = true): a frame, a progress character, a reply.
    using Monitor = std::function<void(bool sent, const unsigned char* bytes, size_t count)>;

    explicit CFocuserSimulator(const SimulatorOptions& options = {});
    CFocuserSimulator(const CFocuserSimulator&) = delete;
    CFocuserSimulator& operator=(const CFocuserSimulator&) = delete;
    ~CFocuserSimulator();

    // Opens the port ("COM5", or a path beginning with '/' or '\\') at 9600 8N1 and
    // starts the thread. False if the port cannot be opened or it already runs.
    bool Start(const char* port);
    // Joins the thread and closes the port; a move in progress is dropped.
    void Stop();

    void SetOptions(const SimulatorOptions& options);
    SimulatorOptions Options() const;
    // Set before Start; called on the simulator thread.
    void SetMonitor(Monitor monitor);

    // Every byte received since Start or the last ClearReceived.
    std::vector<unsigned char> Received() const;
    void ClearReceived();
    // True once at least count bytes have been received, false after timeoutMs.
    bool WaitForReceived(size_t count, DWORD timeoutMs) const;

    int32_t Position() const;
    // Clamped to 0..999999; ignored during a move.
    void SetPosition(int32_t position);
    bool IsMoving() const;

private:
    struct Event {
        bool sent;
        std::vector<unsigned char> bytes;
    };

    static DWORD WINAPI ThreadStart(void* self);
    void Run();
    // Under m_lock, on the simulator thread.
    void OnBytes(const unsigned char* bytes, size_t count, ULONGLONG now);
    void CheckPartialFrame(ULONGLONG now);
    void EndPendingStop(ULONGLONG now);
    void OnFrame(const unsigned char* frame, ULONGLONG now);
    void DoStop(ULONGLONG now);
    void RunMove(ULONGLONG now);
    void EndMove();
    void SendReply(const char* text);
    void Send(const void* bytes, size_t count);
    void Report(bool sent, const unsigned char* bytes, size_t count);
    int32_t StepsAt(ULONGLONG now) const;
    int32_t PositionAt(ULONGLONG now) const;
    // Outside m_lock: writes what the last step queued and tells the monitor.
    void Flush();

    mutable platform::CriticalSection m_lock;
    platform::UniqueHandle m_receivedEvent; // set on every received byte
    platform::UniqueFile m_port;
    platform::UniqueHandle m_thread;
    volatile LONG m_stopRequested = 0;
    Monitor m_monitor;

    // Under m_lock.
    SimulatorOptions m_options;
    int m_requestsIgnored = 0;
    std::vector<unsigned char> m_received;
    int32_t m_position = 0;
    bool m_moving = false;
    int m_direction = 1; // +1 increasing ('O'), -1 decreasing ('I')
    int32_t m_moveStart = 0;
    int32_t m_moveTarget = 0;
    ULONGLONG m_moveStartTime = 0;
    ULONGLONG m_nextProgress = 0;

    // Simulator thread only (and Start before the thread runs).
    ULONGLONG m_startTime = 0;
    ULONGLONG m_lastByteTime = 0;
    std::vector<unsigned char> m_frame;
    bool m_stopPending = false; // m_frame holds a stop waiting for its checksum byte
    std::vector<Event> m_events;
};
