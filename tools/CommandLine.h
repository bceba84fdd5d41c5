#pragma once
// The command line of FocuserCtl: options, then commands that run in order in one
// session with the driver.

#include <cstdint>
#include <string>
#include <vector>

namespace tools {

enum class CommandKind {
    Status,   // the link state, the position when linked, limits and capabilities
    Link,     // switch the link on
    Unlink,   // switch the link off
    Position, // print the position
    Move,     // move to the value and follow the move until it ends
    Start,    // start a move to the value without waiting for it
    Wait,     // follow the move in progress until it ends
    Halt,     // stop the focuser
    Setup,    // open the setup dialog
    Sleep,    // wait the value in milliseconds without talking to the driver
};

struct Command {
    CommandKind kind;
    int32_t value; // target position for Move and Start, milliseconds for Sleep
};

struct CommandLine {
    bool help = false;
    bool version = false;
    std::string progId = "Morvantis.Focuser";
    uint32_t timeoutSeconds = 300; // longest a move is followed before it is halted
    std::vector<Command> commands;
};

// Exit status of FocuserCtl for a failed command and for a mistake on the command line.
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Parses argv[1..argc-1]. On a mistake returns false with a one-line reason in
// error; "--help" or "--version" anywhere succeeds with it set and no commands
// needed.
bool ParseCommandLine(int argc, const char* const* argv, CommandLine& result, std::string& error);

// doctor [--move STEPS] [--progid ID]
struct DoctorOptions {
    std::string progId = "Morvantis.Focuser";
    int32_t moveSteps = 0; // 0: no move check
};

// Parses the words after "doctor" (argv[0..argc-1]). On a mistake returns false
// with the one-line usage in error and leaves result alone.
bool ParseDoctorArguments(int argc, const char* const* argv, DoctorOptions& result, std::string& error);

// The words after "find-port": nothing, or --save. On a mistake returns false
// with the one-line usage in error and leaves save alone.
bool ParseFindPortArguments(int argc, const char* const* argv, bool& save, std::string& error);

// The text that --help prints.
const char* UsageText();

} // namespace tools
