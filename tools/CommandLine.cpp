#include "tools/CommandLine.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace tools {

namespace {

struct CommandName {
    const char* name;
    CommandKind kind;
    bool takesValue;
};

const CommandName kCommands[] = {
    {"status", CommandKind::Status, false}, {"link", CommandKind::Link, false},
    {"unlink", CommandKind::Unlink, false}, {"position", CommandKind::Position, false},
    {"move", CommandKind::Move, true},      {"start", CommandKind::Start, true},
    {"wait", CommandKind::Wait, false},     {"halt", CommandKind::Halt, false},
    {"setup", CommandKind::Setup, false},   {"sleep", CommandKind::Sleep, true},
};

// A whole decimal number in [low, high]; strtol alone accepts "12x" and " 12".
bool ParseNumber(const char* text, long long low, long long high, long long& value) {
    if (text == nullptr || *text == '\0' || std::strchr("+-0123456789", *text) == nullptr)
        return false;
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high)
        return false;
    value = parsed;
    return true;
}

} // namespace

bool ParseCommandLine(int argc, const char* const* argv, CommandLine& result, std::string& error) {
    CommandLine parsed;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h" || arg == "/?") {
            parsed.help = true;
            continue;
        }
        if (arg == "--version") {
            parsed.version = true;
            continue;
        }
        if (arg == "--progid") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                error = "--progid needs a ProgID";
                return false;
            }
            parsed.progId = argv[++i];
            continue;
        }
        if (arg == "--timeout") {
            long long seconds = 0;
            if (i + 1 >= argc || !ParseNumber(argv[i + 1], 1, 86400, seconds)) {
                error = "--timeout needs a number of seconds from 1 to 86400";
                return false;
            }
            parsed.timeoutSeconds = static_cast<uint32_t>(seconds);
            ++i;
            continue;
        }
        const CommandName* found = nullptr;
        for (const CommandName& candidate : kCommands) {
            if (arg == candidate.name)
                found = &candidate;
        }
        if (found == nullptr) {
            error = "unknown command '" + arg + "'";
            return false;
        }
        Command command{found->kind, 0};
        if (found->takesValue) {
            const bool isSleep = found->kind == CommandKind::Sleep;
            const long long low = isSleep ? 0 : std::numeric_limits<int32_t>::min();
            const long long high = isSleep ? 3600000 : std::numeric_limits<int32_t>::max();
            long long value = 0;
            if (i + 1 >= argc || !ParseNumber(argv[i + 1], low, high, value)) {
                error = arg + (isSleep ? " needs milliseconds from 0 to 3600000"
                                       : " needs a position (a whole number of steps)");
                return false;
            }
            command.value = static_cast<int32_t>(value);
            ++i;
        }
        parsed.commands.push_back(command);
    }
    if (!parsed.help && !parsed.version && parsed.commands.empty()) {
        error = "no command given";
        return false;
    }
    result = parsed;
    return true;
}

bool ParseDoctorArguments(int argc, const char* const* argv, DoctorOptions& result, std::string& error) {
    DoctorOptions parsed;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        long long steps = 0;
        if (arg == "--progid" && i + 1 < argc && argv[i + 1][0] != '\0') {
            parsed.progId = argv[++i];
        } else if (arg == "--move" && i + 1 < argc && ParseNumber(argv[i + 1], 1, 100000, steps)) {
            parsed.moveSteps = static_cast<int32_t>(steps);
            ++i;
        } else {
            error = "doctor takes --move STEPS (1 to 100000) and --progid ID";
            return false;
        }
    }
    result = parsed;
    return true;
}

bool ParseFindPortArguments(int argc, const char* const* argv, bool& save, std::string& error) {
    bool parsed = false;
    for (int i = 0; i < argc; ++i) {
        if (std::string(argv[i]) != "--save") {
            error = "find-port takes only --save";
            return false;
        }
        parsed = true;
    }
    save = parsed;
    return true;
}

const char* UsageText() {
    return "Usage: FocuserCtl [--progid ID] [--timeout SECONDS] COMMAND...\n"
           "\n"
           "Drives the registered Morvantis focuser driver through late binding (IDispatch),\n"
           "as scripting clients do. The commands run in order on one driver object.\n"
           "\n"
           "Commands:\n"
           "  status      link state, position (when linked), IsMoving, MaxStep, MaxIncrement,\n"
           "              Absolute, TempCompAvailable, TempComp, Temperature, StepSize\n"
           "  link        switch the link to the focuser on (port and MaxPos from the settings)\n"
           "  unlink      switch the link off\n"
           "  position    print the current position\n"
           "  move N      move to position N and show the move until the focuser stops\n"
           "  start N     start a move to position N and go on at once\n"
           "  wait        show the move in progress until the focuser stops\n"
           "  halt        stop the focuser\n"
           "  setup       open the setup dialog (port and maximum position)\n"
           "  sleep MS    pause MS milliseconds\n"
           "\n"
           "Options:\n"
           "  --progid ID       the driver's ProgID (default Morvantis.Focuser)\n"
           "  --timeout SECONDS halt and fail a move still running after this long (default 300)\n"
           "  --help            this text\n"
           "  --version         FocuserCtl's version\n"
           "\n"
           "A move is polled every 100 ms. On a console the progress line is updated in place;\n"
           "into a pipe or file it is printed once a second.\n"
           "Exit status: 0 when every command succeeded; 1 when a command failed (the driver's\n"
           "message and its source are printed); 2 for a mistake on the command line.\n"
           "\n"
           "Example: FocuserCtl link status move 5000 start 0 sleep 500 halt wait unlink\n"
           "\n"
           "When a program cannot use the focuser:\n"
           "  FocuserCtl doctor [--move STEPS] [--progid ID]\n"
           "              checks the registration of both bitnesses, the ASCOM profile key, the\n"
           "              settings, the port and the controller, one line each (ok / problem and\n"
           "              what to do); with --move, a move of STEPS and back. Changes nothing.\n"
           "              Exit status 0 when every check passed, else 1.\n"
           "  FocuserCtl find-port [--save]\n"
           "              sends the controller's handshake to COM1..COM25 in turn and lists what\n"
           "              each port did; --save stores the one port that answered as the setting.\n"
           "  FocuserCtl trace on|off|status\n"
           "              the driver's trace log, from the next link on: one line per call in\n"
           "              Documents\\ASCOM\\Logs YYYY-MM-DD; status shows the newest log.\n";
}

} // namespace tools
