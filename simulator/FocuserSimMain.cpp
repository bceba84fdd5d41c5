// FocuserSim: the controller simulator as a console program, for trying the driver
// without hardware. Prints every frame it receives and every piece it sends.

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Owners.h"
#include "simulator/FocuserSimulator.h"

namespace {

const char kUsage[] = "Usage: FocuserSim <port> [options]\n"
                      "Simulates the focuser controller on a serial port (for example COM5; 9600 8N1)\n"
                      "until Ctrl-C, the end of standard input (a pipe or a console), or the --seconds\n"
                      "limit. Every frame received (RX) and every piece sent (TX) is printed with its\n"
                      "time in ms, as text and hex.\n"
                      "\n"
                      "Options:\n"
                      "  --rate N          steps per second of a move (default 1000)\n"
                      "  --interval MS     time between progress characters 'I'/'O' (default 100)\n"
                      "  --position N      initial position, 0..999999 (default 0)\n"
                      "  --version TEXT    six characters of the handshake reply (default 010200)\n"
                      "  --seconds N       stop after N seconds\n"
                      "  --no-stdin        do not stop at the end of standard input\n"
                      "                    (input from a file or /dev/null is never watched)\n"
                      "Faults:\n"
                      "  --silent          send nothing and act on nothing\n"
                      "  --bad-checksum    replies carry a wrong checksum\n"
                      "  --letter C        function letter of position replies and final frames\n"
                      "                    (default D; G makes them invalid for the driver)\n"
                      "  --short N         send only the first N (1..8) bytes of each reply\n"
                      "  --ignore N        leave the first N handshakes or position queries unanswered\n"
                      "  --reply TEXT      eight characters sent as every handshake and position reply\n"
                      "  --garbage TEXT    characters sent after every progress character\n"
                      "  --stall-ms N      a move falls silent N ms after it starts\n"
                      "  --stall-steps N   a move falls silent after N steps\n"
                      "  --boot-delay MS   ignore everything received during the first MS ms\n"
                      "  --help            this text\n";

platform::CriticalSection g_printLock;
ULONGLONG g_startTime = 0;
HANDLE g_quitEvent = nullptr;

void PrintLine(const char* line) {
    platform::ScopedLock<platform::CriticalSection> lock(g_printLock);
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    // Read through pipes: every line must leave at once.
    std::fflush(stdout);
}

void PrintBytes(bool sent, const unsigned char* bytes, size_t count) {
    std::string text;
    std::string hex;
    char piece[8];
    for (size_t i = 0; i < count; ++i) {
        if (bytes[i] >= 0x20 && bytes[i] < 0x7F && bytes[i] != '\\') {
            text += static_cast<char>(bytes[i]);
        } else {
            std::snprintf(piece, sizeof piece, "\\x%02X", bytes[i]);
            text += piece;
        }
        std::snprintf(piece, sizeof piece, "%s%02X", i == 0 ? "" : " ", bytes[i]);
        hex += piece;
    }
    const std::string line = std::to_string(GetTickCount64() - g_startTime) + (sent ? " TX " : " RX ") +
                             "\"" + text + "\"  " + hex;
    PrintLine(line.c_str());
}

BOOL WINAPI OnConsoleCtrl(DWORD) {
    SetEvent(g_quitEvent);
    return TRUE;
}

DWORD WINAPI WatchStdin(void* event) {
    char buffer[256];
    DWORD count = 0;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    while (ReadFile(input, buffer, sizeof buffer, &count, nullptr) && count > 0) {
    }
    SetEvent(static_cast<HANDLE>(event));
    return 0;
}

// A pipe from a controlling script, or a console. Not a file or a null device:
// a program started in the background reads end of input from /dev/null at once.
bool WatchesAsInput(HANDLE input) {
    if (input == nullptr || input == INVALID_HANDLE_VALUE)
        return false;
    DWORD mode = 0;
    return GetFileType(input) == FILE_TYPE_PIPE || GetConsoleMode(input, &mode) != FALSE;
}

bool ParseInt(const char* text, long low, long high, long* value) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high)
        return false;
    *value = v;
    return true;
}

int Usage(const char* problem) {
    if (problem != nullptr)
        std::fprintf(stderr, "FocuserSim: %s\n\n", problem);
    std::fputs(kUsage, problem != nullptr ? stderr : stdout);
    return problem != nullptr ? 2 : 0;
}

int Run(int argc, char** argv) {
    SimulatorOptions options;
    const char* port = nullptr;
    long position = 0;
    long seconds = -1;
    bool watchStdin = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h" || arg == "/?")
            return Usage(nullptr);
        if (arg == "--silent") {
            options.silent = true;
            continue;
        }
        if (arg == "--bad-checksum") {
            options.badChecksum = true;
            continue;
        }
        if (arg == "--no-stdin") {
            watchStdin = false;
            continue;
        }
        if (arg.compare(0, 2, "--") != 0) {
            if (port != nullptr)
                return Usage("more than one port given");
            port = argv[i];
            continue;
        }
        if (i + 1 >= argc)
            return Usage((arg + " needs a value").c_str());
        const char* value = argv[++i];
        long n = 0;
        const auto number = [&](long low, long high) {
            if (!ParseInt(value, low, high, &n)) {
                Usage((arg + ": " + value + " is not a number from " + std::to_string(low) + " to " +
                       std::to_string(high))
                          .c_str());
                return false;
            }
            return true;
        };
        if (arg == "--rate") {
            if (!number(1, 1000000))
                return 2;
            options.stepsPerSecond = static_cast<int>(n);
        } else if (arg == "--interval") {
            if (!number(1, 3600000))
                return 2;
            options.progressIntervalMs = static_cast<DWORD>(n);
        } else if (arg == "--position") {
            if (!number(0, 999999))
                return 2;
            position = n;
        } else if (arg == "--seconds") {
            if (!number(0, 1000000))
                return 2;
            seconds = n;
        } else if (arg == "--short") {
            if (!number(1, 8))
                return 2;
            options.shortReplyBytes = static_cast<int>(n);
        } else if (arg == "--ignore") {
            if (!number(0, 1000000))
                return 2;
            options.ignoreRequests = static_cast<int>(n);
        } else if (arg == "--stall-ms") {
            if (!number(0, 86400000))
                return 2;
            options.stallAfterMs = static_cast<int>(n);
        } else if (arg == "--stall-steps") {
            if (!number(0, 999999))
                return 2;
            options.stallAfterSteps = static_cast<int>(n);
        } else if (arg == "--boot-delay") {
            if (!number(0, 86400000))
                return 2;
            options.bootDelayMs = static_cast<DWORD>(n);
        } else if (arg == "--version") {
            options.firmwareVersion = value;
        } else if (arg == "--letter") {
            if (std::strlen(value) != 1)
                return Usage("--letter takes one character");
            options.positionLetter = value[0];
        } else if (arg == "--reply") {
            options.replyText = value;
        } else if (arg == "--garbage") {
            options.motionGarbage = value;
        } else {
            return Usage(("unknown option " + arg).c_str());
        }
    }
    if (port == nullptr)
        return Usage("no port given");

    platform::UniqueHandle quit(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    platform::UniqueHandle inputEnded(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!quit || !inputEnded)
        return 1;
    g_quitEvent = quit.get();
    SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);

    CFocuserSimulator simulator(options);
    simulator.SetPosition(static_cast<int32_t>(position));
    simulator.SetMonitor(PrintBytes);
    g_startTime = GetTickCount64();
    if (!simulator.Start(port)) {
        std::fprintf(stderr, "FocuserSim: cannot open %s (error %lu)\n", port,
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    PrintLine(("0 listening on " + std::string(port) + " at position " + std::to_string(position)).c_str());

    platform::UniqueHandle stdinThread;
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (watchStdin && WatchesAsInput(input))
        stdinThread.reset(CreateThread(nullptr, 0, WatchStdin, inputEnded.get(), 0, nullptr));

    const HANDLE events[] = {quit.get(), inputEnded.get()};
    const DWORD timeout = seconds >= 0 ? static_cast<DWORD>(seconds * 1000) : INFINITE;
    const DWORD which = WaitForMultipleObjects(2, events, FALSE, timeout);
    simulator.Stop();
    const char* reason = which == WAIT_OBJECT_0       ? "interrupted"
                         : which == WAIT_OBJECT_0 + 1 ? "end of input"
                                                      : "time limit";
    PrintLine((std::to_string(GetTickCount64() - g_startTime) + " stopped (" + reason + ") at position " +
               std::to_string(simulator.Position()))
                  .c_str());
    // The stdin reader may still block in ReadFile; ExitProcess ends it.
    std::fflush(stdout);
    ExitProcess(0);
}

} // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (...) {
        std::fputs("FocuserSim: out of memory\n", stderr);
        return 1;
    }
}
