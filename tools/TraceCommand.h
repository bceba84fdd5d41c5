#pragma once
// FocuserCtl trace on|off|status: the driver's trace switch, which takes effect
// at the next link, and where the newest log is.

namespace tools {

// args: what follows "trace". Returns the exit status: 0 done, 1 the setting
// could not be written, 2 a mistake on the command line.
int RunTraceCommand(int argc, const char* const* argv);

} // namespace tools
