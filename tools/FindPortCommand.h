#pragma once
// FocuserCtl find-port [--save].

namespace tools {

// Parses the words after "find-port" and runs the search; the exit status.
int RunFindPortCommand(int argc, const char* const* argv, bool console);

} // namespace tools
