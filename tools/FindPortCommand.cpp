#include "tools/FindPortCommand.h"

#include "tools/CommandLine.h"
#include "tools/Doctor.h"

#include <cstdio>
#include <string>

namespace tools {

int RunFindPortCommand(int argc, const char* const* argv, bool console) {
    bool save = false;
    std::string error;
    if (!ParseFindPortArguments(argc, argv, save, error)) {
        std::fprintf(stderr, "FocuserCtl: %s\n", error.c_str());
        return kExitUsage;
    }
    return RunFindPort(console, save);
}

} // namespace tools
