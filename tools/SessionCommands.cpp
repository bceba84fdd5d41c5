// FocuserCtl's session commands: one driver object, found by its ProgID and
// called only through IDispatch by member name, exactly as a scripting client
// does, so they exercise the same path as VBScript or JScript.

#include "tools/SessionCommands.h"

#include "contract/FocuserMembers.h"
#include "platform/Owners.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <string>

namespace tools {

namespace {

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
        return Narrow(V_BSTR(copy.get()));
    return "(a value of type " + std::to_string(V_VT(&value)) + ")";
}

bool RunStatus(Session& session) {
    bool linked = false;
    if (!GetBool(session, L"Link", linked))
        return Report(session, "reading Link");
    Print("  %-18s %s\n", "Link:", linked ? "on" : "off");
    for (const contract::FocuserMember& member : contract::kFocuserMembers) {
        if (member.kind == contract::MemberKind::Method || std::wcscmp(member.name, L"Link") == 0)
            continue;
        if (member.needsLink && !linked)
            continue;
        const std::string label = Narrow(member.name) + ":";
        platform::UniqueVariant value;
        if (FAILED(session.driver.Get(member.name, value))) {
            if (!member.optional)
                return Report(session, "reading " + Narrow(member.name));
            Print("  %-18s not available (%s)\n", label.c_str(),
                  session.driver.LastError().description.c_str());
            continue;
        }
        Print("  %-18s %s\n", label.c_str(), Describe(*value.get()).c_str());
    }
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

} // namespace

void Print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    // Pipes are fully buffered by the C run-time; readers want each line as it comes.
    std::fflush(stdout);
}

bool Report(const Session& session, const std::string& what) {
    const DispatchError& error = session.driver.LastError();
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

bool StdoutIsConsole() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
}

int RunSessionCommands(const CommandLine& commandLine) {
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

} // namespace tools
