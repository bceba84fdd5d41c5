// The driver's side of link_loss_test.sh: a move runs when the harness takes the
// serial pair away; the driver must report "Link fail" within the motion
// time-out, switch the link off cleanly, and link again once the pair is back.
//
// reliability_link_loss_probe <simulator port> <driver settings index> <signal folder>
// Signals are empty files: the probe writes "cut" and "restore" and waits for
// "cut-done" and "restored". Prints PASS and exits 0 when every step held.

#include "tests/common/DriverHarness.h"
#include "tests/common/SettingsKey.h"
#include "simulator/FocuserSimulator.h"

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

using platform::ComPtr;
using testing_support::TakeErrorDescription;

namespace {

// Bounds with room for a loaded machine: the motion time-out is 1000 ms after
// the last progress character, and one IsMoving call drains for about 2 ms.
constexpr double kLinkFailBoundMs = 1000 + 600;
constexpr double kCallBoundMs = 150 + 350;
constexpr DWORD kSignalWaitMs = 20000;

int g_failures = 0;

double NowMs() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

void Expect(bool condition, const char* what) {
    if (!condition) {
        ++g_failures;
        Say("FAILED: %s", what);
    }
}

void Signal(const std::string& folder, const char* name) {
    std::FILE* file = std::fopen((folder + "/" + name).c_str(), "wb");
    if (file != nullptr)
        std::fclose(file);
}

bool AwaitSignal(const std::string& folder, const char* name) {
    const std::string path = folder + "/" + name;
    const double started = NowMs();
    while (NowMs() - started < kSignalWaitMs) {
        if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
            return true;
        Sleep(20);
    }
    Say("FAILED: no %s signal from the harness", name);
    ++g_failures;
    return false;
}

int Run(const char* simulatorPort, int driverIndex, const std::string& folder) {
    platform::ComApartment apartment;
    testing_support::LoadedDriver dll(testing_support::LoadedDriver::Registration::ForLateBinding);
    if (!dll.loaded()) {
        Say("FAILED: %s", dll.problem().c_str());
        return 1;
    }
    testing_support::SettingsKeyGuard settings;
    settings.SetText("COM", std::to_string(driverIndex));
    settings.SetText("MaxPos", "50000");

    CFocuserSimulator simulator;
    if (!simulator.Start(simulatorPort)) {
        Say("FAILED: cannot start the simulator on %s", simulatorPort);
        return 1;
    }
    ComPtr<IFocuser> focuser;
    if (dll.Create(focuser) != S_OK)
        return 1;
    HRESULT hr = focuser->put_Link(VARIANT_TRUE);
    if (hr != S_OK) {
        Say("FAILED: the first link: 0x%08lX %s", static_cast<unsigned long>(hr),
            TakeErrorDescription().c_str());
        return 1;
    }
    Expect(focuser->Move(20000) == S_OK, "a move starts");
    VARIANT_BOOL moving = VARIANT_FALSE;
    Sleep(300);
    Expect(focuser->get_IsMoving(&moving) == S_OK && moving == VARIANT_TRUE, "the move runs");

    Say("cutting the line during the move");
    Signal(folder, "cut");
    if (!AwaitSignal(folder, "cut-done"))
        return 1;
    const double cut = NowMs();
    double slowest = 0;
    hr = S_OK;
    while (hr == S_OK && NowMs() - cut < 5000) {
        const double started = NowMs();
        moving = 0x5A5A;
        hr = focuser->get_IsMoving(&moving);
        slowest = std::max(slowest, NowMs() - started);
        if (hr == S_OK)
            Sleep(20);
    }
    const double failedAfter = NowMs() - cut;
    const std::string message = TakeErrorDescription();
    Say("IsMoving failed %.0f ms after the cut with \"%s\" (0x%08lX); slowest call %.1f ms", failedAfter,
        message.c_str(), static_cast<unsigned long>(hr), slowest);
    Expect(hr == DISP_E_EXCEPTION && message == "Link fail", "the lost line is reported as Link fail");
    Expect(moving == VARIANT_FALSE, "IsMoving answers false with the failure");
    Expect(failedAfter <= kLinkFailBoundMs, "the failure comes within the motion time-out");
    Expect(slowest <= kCallBoundMs, "no IsMoving call blocks on the dead line");
    moving = 0x5A5A;
    Expect(focuser->get_IsMoving(&moving) == S_OK && moving == VARIANT_FALSE, "then the object is idle");

    const double offStarted = NowMs();
    Expect(focuser->put_Link(VARIANT_FALSE) == S_OK, "the link goes off");
    Say("Link off took %.1f ms", NowMs() - offStarted);
    VARIANT_BOOL linked = 0x5A5A;
    Expect(focuser->get_Link(&linked) == S_OK && linked == VARIANT_FALSE, "Link reads false");
    simulator.Stop();

    Signal(folder, "restore");
    if (!AwaitSignal(folder, "restored"))
        return 1;
    if (!simulator.Start(simulatorPort)) {
        Say("FAILED: the simulator cannot reopen %s", simulatorPort);
        return 1;
    }
    simulator.SetPosition(4321);
    const double linkStarted = NowMs();
    hr = focuser->put_Link(VARIANT_TRUE);
    Say("the link came back in %.1f ms (0x%08lX %s)", NowMs() - linkStarted, static_cast<unsigned long>(hr),
        hr == S_OK ? "" : TakeErrorDescription().c_str());
    Expect(hr == S_OK, "the link comes back with the pair");
    LONG position = -1;
    Expect(focuser->get_Position(&position) == S_OK && position == 4321, "the position is read again");
    Expect(focuser->Move(4400) == S_OK, "a new move starts");
    const double moveStarted = NowMs();
    moving = VARIANT_TRUE;
    while (moving == VARIANT_TRUE && NowMs() - moveStarted < 3000) {
        if (focuser->get_IsMoving(&moving) != S_OK)
            break;
        Sleep(20);
    }
    Expect(moving == VARIANT_FALSE && simulator.Position() == 4400, "the new move completes");
    focuser->put_Link(VARIANT_FALSE);
    simulator.Stop();
    return g_failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <simulator port> <driver settings index> <signal folder>\n", argv[0]);
        return 2;
    }
    const int result = Run(argv[1], std::atoi(argv[2]), argv[3]);
    Say(result == 0 && g_failures == 0 ? "PASS" : "FAIL (%d)", g_failures);
    return result == 0 && g_failures == 0 ? 0 : 1;
}
