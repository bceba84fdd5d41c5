// FocuserCtl: a command-line client of the focuser driver. It finds the driver by
// its ProgID and calls it only through IDispatch, by member name, exactly as a
// scripting client does, so it exercises the same path as VBScript or JScript.

#include "platform/Owners.h"
#include "tools/CommandLine.h"
#include "tools/Doctor.h"
#include "tools/DispatchClient.h"
#include "tools/TraceCommand.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

namespace {

using tools::CDispatchClient;
using tools::Command;
using tools::CommandKind;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr DWORD kPollMs = 100;
// Polls of IsMoving before doctor's return move: 3 s, well past the driver's
// motion time-out.
constexpr int kStopWaitPolls = 30;

struct Session {
    CDispatchClient driver;
    uint32_t timeoutSeconds = 300;
    bool console = false;      // stdout is a console: progress is redrawn in place
    bool targetKnown = false;  // a move was started in this session
    int32_t target = 0;        // its target
    ULONGLONG moveStarted = 0; // and when it was started
};

void Print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    // Pipes are fully buffered by the C run-time; readers want each line as it comes.
    std::fflush(stdout);
}

bool Report(const Session& session, const std::string& what) {
    const tools::DispatchError& error = session.driver.LastError();
    std::fflush(stdout);
    std::fprintf(stderr, "FocuserCtl: %s failed: %s (", what.c_str(), error.description.c_str());
    if (!error.source.empty())
        std::fprintf(stderr, "source %s, ", error.source.c_str());
    std::fprintf(stderr, "code 0x%08lX)\n", static_cast<unsigned long>(error.code));
    std::fflush(stderr);
    return false;
}

bool GetLong(Session& session, const wchar_t* name, long& value) {
    platform::UniqueVariant result;
    if (FAILED(session.driver.Get(name, result)))
        return false;
    if (FAILED(VariantChangeType(result.get(), result.get(), 0, VT_I4)))
        return false;
    value = V_I4(result.get());
    return true;
}

bool GetBool(Session& session, const wchar_t* name, bool& value) {
    platform::UniqueVariant result;
    if (FAILED(session.driver.Get(name, result)))
        return false;
    if (FAILED(VariantChangeType(result.get(), result.get(), 0, VT_BOOL)))
        return false;
    value = V_BOOL(result.get()) != VARIANT_FALSE;
    return true;
}

// The value as the status table shows it: true/false, whole numbers, one decimal.
std::string Describe(VARIANT& value) {
    char text[64] = {};
    switch (V_VT(&value)) {
    case VT_BOOL:
        return V_BOOL(&value) != VARIANT_FALSE ? "true" : "false";
    case VT_I4:
        std::snprintf(text, sizeof text, "%ld", static_cast<long>(V_I4(&value)));
        return text;
    case VT_R4:
        std::snprintf(text, sizeof text, "%.1f", static_cast<double>(V_R4(&value)));
        return text;
    default:
        break;
    }
    platform::UniqueVariant copy;
    if (SUCCEEDED(VariantChangeType(copy.get(), &value, 0, VT_BSTR)))
        return tools::ToAnsi(V_BSTR(copy.get()));
    return "(a value of type " + std::to_string(V_VT(&value)) + ")";
}

bool RunStatus(Session& session) {
    bool linked = false;
    if (!GetBool(session, L"Link", linked))
        return Report(session, "reading Link");
    Print("  %-18s %s\n", "Link:", linked ? "on" : "off");
    // Position needs the link; StepSize is optional for a focuser and may be refused.
    struct Row {
        const wchar_t* name;
        const char* label;
        bool needsLink;
        bool mayFail;
    };
    const Row rows[] = {
        {L"Position", "Position:", true, false},  {L"IsMoving", "IsMoving:", false, false},
        {L"MaxStep", "MaxStep:", false, false},   {L"MaxIncrement", "MaxIncrement:", false, false},
        {L"Absolute", "Absolute:", false, false}, {L"TempCompAvailable", "TempCompAvailable:", false, false},
        {L"TempComp", "TempComp:", false, false}, {L"Temperature", "Temperature:", false, false},
        {L"StepSize", "StepSize:", false, true},
    };
    for (const Row& row : rows) {
        if (row.needsLink && !linked)
            continue;
        platform::UniqueVariant value;
        if (FAILED(session.driver.Get(row.name, value))) {
            if (!row.mayFail)
                return Report(session, "reading " + tools::ToAnsi(row.name));
            Print("  %-18s not available (%s)\n", row.label, session.driver.LastError().description.c_str());
            continue;
        }
        Print("  %-18s %s\n", row.label, Describe(*value.get()).c_str());
    }
    return true;
}

bool RunLink(Session& session, bool on) {
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_BOOL;
    V_BOOL(&value) = on ? VARIANT_TRUE : VARIANT_FALSE;
    if (FAILED(session.driver.Put(L"Link", value)))
        return Report(session, on ? "link" : "unlink");
    Print(on ? "Linked.\n" : "Unlinked.\n");
    return true;
}

bool StartMove(Session& session, int32_t target) {
    VARIANT argument;
    VariantInit(&argument);
    V_VT(&argument) = VT_I4;
    V_I4(&argument) = target;
    if (FAILED(session.driver.Call(L"Move", &argument, 1)))
        return Report(session, "move to " + std::to_string(target));
    session.targetKnown = true;
    session.target = target;
    session.moveStarted = GetTickCount64();
    return true;
}

std::string Progress(const Session& session, ULONGLONG elapsedMs) {
    char text[96] = {};
    if (session.targetKnown)
        std::snprintf(text, sizeof text, "Moving to %ld ... %.1f s", static_cast<long>(session.target),
                      static_cast<double>(elapsedMs) / 1000.0);
    else
        std::snprintf(text, sizeof text, "Moving ... %.1f s", static_cast<double>(elapsedMs) / 1000.0);
    return text;
}

// Polls IsMoving every 100 ms until the focuser stops, then reads where it is.
bool FollowMove(Session& session) {
    const ULONGLONG begin = session.targetKnown ? session.moveStarted : GetTickCount64();
    const ULONGLONG limit = static_cast<ULONGLONG>(session.timeoutSeconds) * 1000;
    ULONGLONG lastSecondShown = ~0ULL;
    size_t shownWidth = 0;
    auto endLine = [&]() {
        if (shownWidth > 0)
            Print("\n");
        shownWidth = 0;
    };
    ULONGLONG elapsed = 0;
    for (;;) {
        bool moving = false;
        if (!GetBool(session, L"IsMoving", moving)) {
            endLine();
            return Report(session, "watching the move (IsMoving)");
        }
        elapsed = GetTickCount64() - begin;
        if (!moving)
            break;
        if (elapsed >= limit) {
            endLine();
            session.driver.Call(L"Halt", nullptr, 0);
            std::fprintf(stderr, "FocuserCtl: the focuser was still moving after %lu s; halted it\n",
                         static_cast<unsigned long>(session.timeoutSeconds));
            return false;
        }
        const std::string line = Progress(session, elapsed);
        if (session.console) {
            Print("\r%s", line.c_str());
            shownWidth = line.size();
        } else if (elapsed / 1000 != lastSecondShown) {
            lastSecondShown = elapsed / 1000;
            Print("%s\n", line.c_str());
        }
        Sleep(kPollMs);
    }
    long position = 0;
    if (!GetLong(session, L"Position", position)) {
        endLine();
        return Report(session, "reading the position after the move");
    }
    char text[128] = {};
    const double seconds = static_cast<double>(elapsed) / 1000.0;
    if (!session.targetKnown)
        std::snprintf(text, sizeof text, "Stopped at %ld after %.1f s.", position, seconds);
    else if (position == session.target)
        std::snprintf(text, sizeof text, "Arrived at %ld after %.1f s.", position, seconds);
    else
        std::snprintf(text, sizeof text, "Stopped at %ld after %.1f s (target %ld).", position, seconds,
                      static_cast<long>(session.target));
    std::string final = text;
    if (session.console && shownWidth > final.size())
        final.append(shownWidth - final.size(), ' ');
    Print("%s%s\n", session.console ? "\r" : "", final.c_str());
    session.targetKnown = false;
    return true;
}

bool Run(Session& session, const Command& command) {
    switch (command.kind) {
    case CommandKind::Status:
        Print("Status:\n");
        return RunStatus(session);
    case CommandKind::Link:
        return RunLink(session, true);
    case CommandKind::Unlink:
        return RunLink(session, false);
    case CommandKind::Position: {
        long position = 0;
        if (!GetLong(session, L"Position", position))
            return Report(session, "reading Position");
        Print("Position: %ld\n", position);
        return true;
    }
    case CommandKind::Move:
        return StartMove(session, command.value) && FollowMove(session);
    case CommandKind::Start:
        if (!StartMove(session, command.value))
            return false;
        Print("Started a move to %ld.\n", static_cast<long>(command.value));
        return true;
    case CommandKind::Wait:
        return FollowMove(session);
    case CommandKind::Halt:
        if (FAILED(session.driver.Call(L"Halt", nullptr, 0)))
            return Report(session, "halt");
        Print("Halted.\n");
        return true;
    case CommandKind::Setup:
        if (FAILED(session.driver.Call(L"SetupDialog", nullptr, 0)))
            return Report(session, "setup");
        Print("Setup dialog closed; saved settings apply at the next link.\n");
        return true;
    case CommandKind::Sleep:
        Sleep(static_cast<DWORD>(command.value));
        return true;
    }
    return false;
}

bool StdoutIsConsole() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
}

// One leg of doctor's move: started means the driver took the move, so the
// focuser may have left where it was; finished means it stopped and its
// position was read.
struct MoveLeg {
    bool started = false;
    bool finished = false;
    long at = -1;
    std::string refusal; // the driver's message when it did not take the move
};

MoveLeg RunMoveLeg(Session& session, int32_t target) {
    MoveLeg leg;
    leg.started = StartMove(session, target);
    if (!leg.started) {
        leg.refusal = session.driver.LastError().description;
        return leg;
    }
    leg.finished = FollowMove(session) && GetLong(session, L"Position", leg.at);
    return leg;
}

std::string DescribeLeg(const MoveLeg& leg) {
    if (!leg.started)
        return "was refused (" + leg.refusal + ")";
    if (!leg.finished)
        return "did not finish";
    return "ended at " + std::to_string(leg.at);
}

// Waits until the driver sees no move, for kStopWaitPolls polls at most: after
// a halt the controller's final frame may still be on its way, and the driver
// refuses a move while one runs. A failed IsMoving has ended the move in the
// driver.
void WaitForStop(Session& session) {
    for (int i = 0; i < kStopWaitPolls; ++i) {
        bool moving = false;
        if (!GetBool(session, L"IsMoving", moving) || !moving)
            return;
        Sleep(kPollMs);
    }
}

// Up by steps, or down where up would pass MaxStep; where neither fits, as far
// as the range goes on its roomier side.
int32_t OutboundTarget(long position, long maxStep, int32_t steps) {
    if (steps <= maxStep - position)
        return position + steps;
    if (steps <= position)
        return position - steps;
    return maxStep - position >= position ? maxStep : 0;
}

// Moves away and back again through the driver, as a program would, then
// unlinks. Once the driver took the outbound move, the return is tried whatever
// became of it, so the focuser ends at the user's focus point where it can.
void CheckMove(Session& session, tools::CCheckReport& report, int32_t steps) {
    long position = 0;
    long maxStep = 0;
    if (!RunLink(session, true) || !GetLong(session, L"Position", position) ||
        !GetLong(session, L"MaxStep", maxStep)) {
        report.Problem("move", "the driver did not link: " + session.driver.LastError().description,
                       "mend the problems above first");
        return;
    }
    // The driver refuses a move beyond its range, so there would be no way back.
    if (position < 0 || position > maxStep) {
        RunLink(session, false);
        report.Problem("move",
                       "the focuser is at " + std::to_string(position) +
                           ", outside the driver's range 0 to " + std::to_string(maxStep) +
                           ", so it was not moved",
                       "set MaxPos in the setup dialog to at least " + std::to_string(position));
        return;
    }
    const int32_t target = OutboundTarget(position, maxStep, steps);
    const MoveLeg out = RunMoveLeg(session, target);
    MoveLeg back;
    if (out.started) {
        if (!out.finished)
            WaitForStop(session);
        back = RunMoveLeg(session, position);
    }
    RunLink(session, false);
    if (out.finished && back.finished && back.at == position) {
        report.Ok("move", "to " + std::to_string(target) + " and back to " + std::to_string(position));
        return;
    }
    std::string reason = "the move of " + std::to_string(steps) + " steps to " + std::to_string(target) +
                         " " + DescribeLeg(out);
    if (out.started)
        reason += "; the return to " + std::to_string(position) + " " + DescribeLeg(back);
    const bool home = !out.started || (back.finished && back.at == position);
    report.Problem("move", reason,
                   home ? "check the focuser's mechanics and cable"
                        : "check the focuser's mechanics and cable, then move it back to " +
                              std::to_string(position));
}

// doctor [--move N] [--progid ID]
int RunDoctor(int argc, char** argv, bool console) {
    std::string progId = "Morvantis.Focuser";
    int32_t steps = 0;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--progid" && i + 1 < argc && argv[i + 1][0] != '\0') {
            progId = argv[++i];
        } else if (arg == "--move" && i + 1 < argc && std::atoi(argv[i + 1]) > 0 &&
                   std::atoi(argv[i + 1]) <= 100000) {
            steps = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "FocuserCtl: doctor takes --move STEPS (1 to 100000) and --progid ID\n");
            return kExitUsage;
        }
    }
    platform::ComApartment apartment;
    tools::CCheckReport report(console);
    if (FAILED(apartment.result())) {
        report.Problem("COM", "COM did not initialise", "restart the computer");
        return kExitFailed;
    }
    tools::RunDoctorChecks(report, progId);
    if (steps > 0) {
        Session session;
        session.console = console;
        if (FAILED(session.driver.Create(progId)))
            report.Problem("move", "no driver object to move with", "mend the problems above first");
        else
            CheckMove(session, report, steps);
    }
    if (report.problems() == 0)
        std::printf("All checks passed.\n");
    else
        std::printf("%d problem%s found.\n", report.problems(), report.problems() == 1 ? "" : "s");
    return report.problems() == 0 ? 0 : kExitFailed;
}

int RunFindPortCommand(int argc, char** argv, bool console) {
    bool save = false;
    for (int i = 0; i < argc; ++i) {
        if (std::string(argv[i]) != "--save") {
            std::fprintf(stderr, "FocuserCtl: find-port takes only --save\n");
            return kExitUsage;
        }
        save = true;
    }
    return tools::RunFindPort(console, save);
}

int RunMain(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "doctor")
        return RunDoctor(argc - 2, argv + 2, StdoutIsConsole());
    if (argc >= 2 && std::string(argv[1]) == "trace")
        return tools::RunTraceCommand(argc - 2, argv + 2);
    if (argc >= 2 && std::string(argv[1]) == "find-port")
        return RunFindPortCommand(argc - 2, argv + 2, StdoutIsConsole());
    tools::CommandLine commandLine;
    std::string error;
    if (!tools::ParseCommandLine(argc, argv, commandLine, error)) {
        std::fprintf(stderr, "FocuserCtl: %s\nTry 'FocuserCtl --help'.\n", error.c_str());
        return kExitUsage;
    }
    if (commandLine.help) {
        std::fputs(tools::UsageText(), stdout);
        return 0;
    }
    platform::ComApartment apartment;
    if (FAILED(apartment.result())) {
        std::fprintf(stderr, "FocuserCtl: COM did not initialise (code 0x%08lX)\n",
                     static_cast<unsigned long>(apartment.result()));
        return kExitFailed;
    }
    // Declared after the apartment: the driver object goes before COM is uninitialised.
    Session session;
    session.timeoutSeconds = commandLine.timeoutSeconds;
    session.console = StdoutIsConsole();
    if (FAILED(session.driver.Create(commandLine.progId))) {
        Report(session, "creating " + commandLine.progId);
        return kExitFailed;
    }
    for (const Command& command : commandLine.commands) {
        if (!Run(session, command))
            return kExitFailed;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return RunMain(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("FocuserCtl: out of memory\n", stderr);
        return kExitFailed;
    }
}
