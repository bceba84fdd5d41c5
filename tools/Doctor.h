#pragma once
// FocuserCtl doctor and find-port: what a user runs when a program cannot use the
// focuser. Each check prints one line, "ok" or "problem" with the reason and what
// to do, plain enough to paste into a forum post. Nothing is changed unless asked.

#include <string>

namespace tools {

class CCheckReport {
public:
    // On a console the verdict is coloured; into a pipe or file it is plain text.
    explicit CCheckReport(bool console) : m_console(console) {}

    void Ok(const std::string& check, const std::string& detail);
    void Problem(const std::string& check, const std::string& reason, const std::string& whatToDo);
    int problems() const { return m_problems; }

private:
    void Verdict(const char* word, unsigned short colour);

    bool m_console;
    int m_problems = 0;
};

// The registration in both registry views, the object in this bitness (by
// progId), the profile key, the settings and the user's rights on them, the
// configured port and the controller on it.
void RunDoctorChecks(CCheckReport& report, const std::string& progId);

// Tries COM1..COM25 one at a time, printing each result as it comes; with save,
// writes the one port that answered as the COM setting. Returns the exit status:
// 0 when a controller answered (and, with save, the setting was written).
int RunFindPort(bool console, bool save);

} // namespace tools
