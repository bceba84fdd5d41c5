#include "tests/common/Process.h"

#include "platform/Owners.h"

namespace testing_support {

ProcessResult RunProcess(const std::string& commandLine, DWORD timeoutMs) {
    ProcessResult result;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    platform::UniqueHandle readEnd;
    platform::UniqueHandle writeEnd;
    if (!CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0))
        return result;
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION info{};
    std::string mutableLine = commandLine;
    if (!CreateProcessA(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &info))
        return result;
    platform::UniqueHandle process(info.hProcess);
    platform::UniqueHandle thread(info.hThread);
    writeEnd.reset();
    result.started = true;

    // The pipe is read while the process runs and drained once it has ended; its
    // end of file cannot be awaited, since a process the child starts (Wine's
    // desktop process, for one) may inherit the writing end and outlive it.
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        const bool ended = WaitForSingleObject(process.get(), 10) == WAIT_OBJECT_0;
        DWORD available = 0;
        while (PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            char buffer[4096];
            DWORD got = 0;
            if (!ReadFile(readEnd.get(), buffer, sizeof buffer, &got, nullptr) || got == 0)
                break;
            for (DWORD i = 0; i < got; ++i) {
                if (buffer[i] != '\r')
                    result.output += buffer[i];
            }
        }
        if (ended) {
            GetExitCodeProcess(process.get(), &result.exitCode);
            break;
        }
        if (GetTickCount64() >= deadline) {
            // A hung program must not outlive the test that started it.
            result.timedOut = true;
            TerminateProcess(process.get(), 124);
            WaitForSingleObject(process.get(), 5000);
            break;
        }
    }
    return result;
}

} // namespace testing_support
