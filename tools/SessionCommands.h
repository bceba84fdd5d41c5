#pragma once
// FocuserCtl's session commands (status, link, move, ...) and the pieces of them
// that doctor's move check uses too.

#include "tools/CommandLine.h"
#include "tools/DispatchClient.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace tools {

// How often a move in progress is polled (IsMoving).
constexpr DWORD kPollMs = 100;

struct Session {
    CDispatchClient driver;
    uint32_t timeoutSeconds = 300;
    bool console = false;      // stdout is a console: progress is redrawn in place
    bool targetKnown = false;  // a move was started in this session
    int32_t target = 0;        // its target
    ULONGLONG moveStarted = 0; // and when it was started
};

// printf to stdout, flushed at once.
void Print(const char* format, ...);
// Prints "what failed" with the driver's last error to stderr; always false.
bool Report(const Session& session, const std::string& what);
// A property read and converted; false when the call or the conversion failed.
bool GetLong(Session& session, const wchar_t* name, long& value);
bool GetBool(Session& session, const wchar_t* name, bool& value);
// Switches the link and says so; false (reported) when the driver refused.
bool RunLink(Session& session, bool on);
// Starts a move and remembers its target and start time; false (reported) when refused.
bool StartMove(Session& session, int32_t target);
// Polls IsMoving every kPollMs until the focuser stops, then reads where it is.
// Halts and fails a move still running after the session's time-out.
bool FollowMove(Session& session);
bool StdoutIsConsole();

// Runs the parsed commands in order on one driver object; the exit status.
int RunSessionCommands(const CommandLine& commandLine);

} // namespace tools
