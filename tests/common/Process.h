#pragma once
// Another program run to its end with its output collected.

#include <windows.h>

#include <string>

namespace testing_support {

struct ProcessResult {
    bool started = false;
    DWORD exitCode = 0xdeadbeef;
    std::string output;    // stdout and stderr, CR removed
    bool timedOut = false; // still running after timeoutMs: ended by TerminateProcess
};
ProcessResult RunProcess(const std::string& commandLine, DWORD timeoutMs = 30000);

} // namespace testing_support
