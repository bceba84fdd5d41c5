// FocuserCtl: a command-line client of the focuser driver. "doctor",
// "find-port" and "trace" are commands of their own; any other command line is a
// session of commands run in order on one driver object.

#include "tools/CommandLine.h"
#include "tools/DoctorCommand.h"
#include "tools/FileVersion.h"
#include "tools/FindPortCommand.h"
#include "tools/SessionCommands.h"
#include "tools/TraceCommand.h"

#include <cstdio>
#include <new>
#include <string>

namespace {

int RunDoctor(int argc, const char* const* argv) {
    tools::DoctorOptions options;
    std::string error;
    if (!tools::ParseDoctorArguments(argc, argv, options, error)) {
        std::fprintf(stderr, "FocuserCtl: %s\n", error.c_str());
        return tools::kExitUsage;
    }
    return tools::RunDoctorCommand(options, tools::StdoutIsConsole());
}

int RunMain(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "doctor")
        return RunDoctor(argc - 2, argv + 2);
    if (argc >= 2 && std::string(argv[1]) == "trace")
        return tools::RunTraceCommand(argc - 2, argv + 2);
    if (argc >= 2 && std::string(argv[1]) == "find-port")
        return tools::RunFindPortCommand(argc - 2, argv + 2, tools::StdoutIsConsole());
    tools::CommandLine commandLine;
    std::string error;
    if (!tools::ParseCommandLine(argc, argv, commandLine, error)) {
        std::fprintf(stderr, "FocuserCtl: %s\nTry 'FocuserCtl --help'.\n", error.c_str());
        return tools::kExitUsage;
    }
    if (commandLine.help) {
        std::fputs(tools::UsageText(), stdout);
        return 0;
    }
    if (commandLine.version) {
        const std::string version = tools::OwnVersionText();
        std::printf("FocuserCtl %s\n", version.empty() ? "(no version information)" : version.c_str());
        return 0;
    }
    return tools::RunSessionCommands(commandLine);
}

} // namespace

int main(int argc, char** argv) {
    try {
        return RunMain(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("FocuserCtl: out of memory\n", stderr);
        return tools::kExitFailed;
    }
}
