#include "tools/TraceCommand.h"

#include "settings/TraceSettings.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace tools {

int RunTraceCommand(int argc, const char* const* argv) {
    const char* action = argc == 1 ? argv[0] : "";
    if (std::strcmp(action, "on") == 0 || std::strcmp(action, "off") == 0) {
        const bool on = action[1] == 'n';
        if (!settings::WriteTraceSetting(on)) {
            std::fprintf(stderr,
                         "FocuserCtl: the trace setting could not be saved: Windows refused to change "
                         "the settings (run as an administrator)\n");
            return 1;
        }
        std::printf("Tracing %s; it takes effect at the next link.\n", on ? "on" : "off");
        return 0;
    }
    if (std::strcmp(action, "status") != 0) {
        std::fprintf(stderr, "FocuserCtl: trace takes one of on, off, status\n");
        return 2;
    }
    std::printf("Tracing %s.\n", settings::TraceSettingOn() ? "on" : "off");
    const std::string newest = settings::NewestTraceLog();
    if (newest.empty())
        std::printf("No log yet (logs go to %s\\Logs YYYY-MM-DD).\n", settings::TraceRootFolder().c_str());
    else
        std::printf("Newest log: %s\n", newest.c_str());
    const std::string problem = settings::TraceProblem();
    if (!problem.empty())
        std::printf("The last session could not write its log: %s.\n", problem.c_str());
    return 0;
}

} // namespace tools
