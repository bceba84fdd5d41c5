// A host that ends its process while the driver is loaded and other threads are
// inside driver calls, run by the module tests in a process of its own.
//
// module_exit_host <simulator port> return|exitprocess|thread
// The driver's settings name the port across from the simulator. One thread
// waits inside put_Link for a handshake reply that the silent simulator never
// sends; another is stopped inside the framework's first use on that thread,
// right after it took the lock of the framework's thread records, which the
// process exit then ends with the lock held. Once both are there the host prints
// "exiting <GetTickCount64>" and returns kReturnCode from main, calls
// ExitProcess(kExitProcessCode), or has a new thread that never called the
// driver (and so has no framework record) call ExitProcess(kThreadExitCode).
// Exit code 1: the threads were not brought there.

#include "contract/FocuserContract.h"
#include "platform/Owners.h"
#include "simulator/FocuserSimulator.h"
#include "tests/common/DriverHarness.h"
#include "tests/common/TestSupport.h"
#include "tests/module/ImportTable.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>

namespace {

constexpr int kReturnCode = 41;
constexpr UINT kExitProcessCode = 42;
constexpr UINT kThreadExitCode = 43;
constexpr DWORD kReadyWaitMs = 10000;

void(WINAPI* g_realAcquire)(PSRWLOCK) = nullptr;
volatile DWORD g_holderThread = 0;
HANDLE g_holding = nullptr;

// The server's AcquireSRWLockExclusive: on the holder thread it never returns
// once the lock is taken, as a thread ended there by the exit would leave it.
void WINAPI AcquireAndHold(PSRWLOCK lock) {
    g_realAcquire(lock);
    if (GetCurrentThreadId() == g_holderThread) {
        SetEvent(g_holding);
        for (;;)
            Sleep(INFINITE);
    }
}

// What the host holds when it ends. Never released: the process end takes it,
// as it takes a real host's driver, objects and threads.
struct Host {
    platform::ComApartment apartment{COINIT_MULTITHREADED};
    HMODULE driver = nullptr;
    testing_support::GetClassObjectFn getClassObject = nullptr;
    CFocuserSimulator simulator{[] {
        SimulatorOptions silent;
        silent.silent = true;
        return silent;
    }()};
    platform::UniqueHandle holding{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    testing_support::ImportHook* hook = nullptr;
};
Host* g_host = nullptr;

IFocuser* NewFocuser() {
    IClassFactory* factory = nullptr;
    if (FAILED(g_host->getClassObject(CLSID_Focuser, IID_IClassFactory, reinterpret_cast<void**>(&factory))))
        return nullptr;
    IFocuser* focuser = nullptr;
    if (FAILED(factory->CreateInstance(nullptr, IID_IFocuser, reinterpret_cast<void**>(&focuser))))
        focuser = nullptr;
    factory->Release();
    return focuser;
}

// Links for ever against the silent simulator: always inside a call that waits on the line.
DWORD WINAPI LinkForEver(void*) {
    const platform::ComApartment apartment(COINIT_MULTITHREADED);
    IFocuser* focuser = NewFocuser();
    if (focuser == nullptr)
        return 1;
    for (;;)
        focuser->put_Link(VARIANT_TRUE);
}

DWORD WINAPI HoldRecordLock(void* focuser) {
    g_holderThread = GetCurrentThreadId();
    LONG maxStep = 0;
    static_cast<IFocuser*>(focuser)->get_MaxStep(&maxStep);
    return 0;
}

DWORD WINAPI ExitFromNewThread(void*) {
    ExitProcess(kThreadExitCode);
}

bool Fail(const char* what) {
    std::printf("FAILED: %s (error %lu)\n", what, static_cast<unsigned long>(GetLastError()));
    return false;
}

bool BringThreadsIntoDriverCalls(const char* simulatorPort) {
    g_host = new (std::nothrow) Host;
    if (g_host == nullptr || !g_host->holding)
        return Fail("no memory or event");
    g_holding = g_host->holding.get();
    if (FAILED(g_host->apartment.result()))
        return Fail("joining the multithreaded apartment");
    g_host->driver = LoadLibraryA(testing_support::DriverModulePath().c_str());
    if (g_host->driver == nullptr)
        return Fail("loading the driver");
    g_host->getClassObject = reinterpret_cast<testing_support::GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(g_host->driver, "DllGetClassObject")));
    IFocuser* focuser = g_host->getClassObject != nullptr ? NewFocuser() : nullptr;
    if (focuser == nullptr)
        return Fail("making an object");

    if (!g_host->simulator.Start(simulatorPort))
        return Fail("starting the simulator");
    if (!platform::UniqueHandle(CreateThread(nullptr, 0, LinkForEver, nullptr, 0, nullptr)))
        return Fail("starting the link thread");
    if (!g_host->simulator.WaitForReceived(1, kReadyWaitMs))
        return Fail("no handshake reached the simulator");

    g_host->hook = new (std::nothrow) testing_support::ImportHook(
        g_host->driver, "kernel32.dll", "AcquireSRWLockExclusive", reinterpret_cast<void*>(&AcquireAndHold));
    if (g_host->hook == nullptr || !g_host->hook->installed())
        return Fail("hooking the driver's AcquireSRWLockExclusive");
    g_realAcquire = reinterpret_cast<decltype(g_realAcquire)>(g_host->hook->original());
    if (!platform::UniqueHandle(CreateThread(nullptr, 0, HoldRecordLock, focuser, 0, nullptr)))
        return Fail("starting the lock thread");
    if (WaitForSingleObject(g_holding, kReadyWaitMs) != WAIT_OBJECT_0)
        return Fail("the lock thread did not take the framework's record lock");
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const char* const ways[] = {"return", "exitprocess", "thread"};
    const bool known = argc == 3 && std::any_of(std::begin(ways), std::end(ways), [&](const char* way) {
                           return std::strcmp(argv[2], way) == 0;
                       });
    if (!known) {
        std::printf("usage: module_exit_host <simulator port> return|exitprocess|thread\n");
        return 1;
    }
    if (!BringThreadsIntoDriverCalls(argv[1]))
        return 1;
    std::printf("exiting %llu\n", static_cast<unsigned long long>(GetTickCount64()));
    std::fflush(stdout);
    if (std::strcmp(argv[2], "exitprocess") == 0)
        ExitProcess(kExitProcessCode);
    if (std::strcmp(argv[2], "thread") == 0) {
        if (!platform::UniqueHandle(CreateThread(nullptr, 0, ExitFromNewThread, nullptr, 0, nullptr)))
            return 1;
        for (;;)
            Sleep(INFINITE);
    }
    return kReturnCode;
}
