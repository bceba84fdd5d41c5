#pragma once
// FocuserCtl doctor [--move STEPS] [--progid ID].

#include "tools/CommandLine.h"

namespace tools {

// Runs every check, and the move check when options ask for one; the exit
// status: 0 when every check passed, else kExitFailed.
int RunDoctorCommand(const DoctorOptions& options, bool console);

} // namespace tools
