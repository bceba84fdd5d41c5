#pragma once
// The trace log's switch and where its files go: the "Trace" value beside the two
// link settings, the user's documents folder, the newest log, and the reason the
// driver last could not write one. The driver writes the logs; the tools show
// these facts to the user.

#include <windows.h>

#include <string>

namespace settings {

// "1" turns tracing on; a missing value or any other text leaves it off.
bool ReadTraceSetting(HKEY key);
// Through the settings key opened read-only; off without the key.
bool TraceSettingOn();
// Stores "1" or "0"; false when the key cannot be created or the write is refused.
bool WriteTraceSetting(bool on);

// "<Documents>\ASCOM", empty when the documents folder cannot be found. The
// folder comes from the user's shell folder settings ("User Shell Folders",
// then "Shell Folders"), else %USERPROFILE%\Documents: the shell's own lookup
// would bring shell32 into the server.
std::string TraceRootFolder();
// The newest "ASCOM.Morvantis.Focuser.*.txt" in the newest "Logs YYYY-MM-DD"
// folder; empty when there is none.
std::string NewestTraceLog();

// The reason the last session could not write its log (empty clears it), kept
// per user since the documents folder is.
void RecordTraceProblem(const std::string& reason);
std::string TraceProblem();

} // namespace settings
