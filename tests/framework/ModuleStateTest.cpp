#include "framework/DynLinkLibrary.h"
#include "framework/ModuleState.h"
#include "framework/WinApp.h"
#include "framework/Wnd.h"
#include "platform/Owners.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>

namespace {

// Module states of made-up modules, each distinct by address.
AFX_MODULE_STATE g_hostState(FALSE, nullptr, 0x0600);
AFX_MODULE_STATE g_stateA(TRUE, nullptr, 0x0600);
AFX_MODULE_STATE g_stateB(TRUE, nullptr, 0x0600);

AFX_MODULE_STATE* Sentinel() {
    return reinterpret_cast<AFX_MODULE_STATE*>(static_cast<UINT_PTR>(0xdeadbeef));
}

// Makes a state current for one test and puts back what was there.
class CurrentState {
public:
    explicit CurrentState(AFX_MODULE_STATE* state) : m_previous(AfxSetModuleState(state)) {}
    ~CurrentState() { AfxSetModuleState(m_previous); }

private:
    AFX_MODULE_STATE* m_previous;
};

std::string ProbePath() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path);
    return dir.substr(0, dir.find_last_of("\\/")) + "\\framework_probe.dll";
}

class Probe {
public:
    Probe() : m_module(LoadLibraryA(ProbePath().c_str())) {}
    bool loaded() const { return m_module.valid(); }
    template <typename F> F Get(const char* name) const {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m_module.get(), name)));
    }
    void Unload() { m_module.reset(); }

private:
    platform::UniqueModule m_module;
};

using StateFn = AFX_MODULE_STATE* (*)();
using SetStateFn = AFX_MODULE_STATE* (*)(AFX_MODULE_STATE*);
using EnterFn = AFX_MODULE_STATE* (*)(AFX_MODULE_STATE* (*)());
using ThreadStateFn = AFX_THREAD_STATE* (*)();

} // namespace

TEST(ModuleState, SetModuleStateReturnsWhatWasCurrent) {
    CurrentState host(&g_hostState);
    EXPECT_EQ(&g_hostState, AfxSetModuleState(&g_stateA));
    EXPECT_EQ(&g_stateA, AfxGetModuleState());
    EXPECT_EQ(&g_stateA, AfxSetModuleState(&g_hostState));
    EXPECT_EQ(&g_hostState, AfxGetThreadState()->m_pModuleState);
}

TEST(ModuleState, SwitchesNestAndEachRestoresWhatItFound) {
    CurrentState host(&g_hostState);
    {
        AFX_MAINTAIN_STATE2 outer(&g_stateA);
        EXPECT_EQ(&g_stateA, AfxGetModuleState());
        {
            AFX_MAINTAIN_STATE2 inner(&g_stateB);
            EXPECT_EQ(&g_stateB, AfxGetModuleState());
            {
                AFX_MAINTAIN_STATE2 same(&g_stateB);
                EXPECT_EQ(&g_stateB, AfxGetModuleState());
            }
            EXPECT_EQ(&g_stateB, AfxGetModuleState());
        }
        EXPECT_EQ(&g_stateA, AfxGetModuleState());
    }
    EXPECT_EQ(&g_hostState, AfxGetModuleState());
}

TEST(ModuleState, SwitchRestoresOnEveryWayOut) {
    CurrentState host(&g_hostState);
    auto returnsEarly = [](bool early) {
        AFX_MAINTAIN_STATE2 state(&g_stateA);
        if (early)
            return 1;
        return AfxGetModuleState() == &g_stateA ? 2 : 0;
    };
    EXPECT_EQ(1, returnsEarly(true));
    EXPECT_EQ(&g_hostState, AfxGetModuleState());
    EXPECT_EQ(2, returnsEarly(false));
    EXPECT_EQ(&g_hostState, AfxGetModuleState());

    AFX_MODULE_STATE* seenInside = nullptr;
    try {
        AFX_MAINTAIN_STATE2 outer(&g_stateA);
        AFX_MAINTAIN_STATE2 inner(&g_stateB);
        seenInside = AfxGetModuleState();
        throw std::runtime_error("passes through both switches");
    } catch (const std::runtime_error&) {
        EXPECT_EQ(&g_hostState, AfxGetModuleState()) << "an exception left a switched state behind";
    }
    EXPECT_EQ(&g_stateB, seenInside);
}

TEST(ModuleState, EachThreadHasItsOwnCurrentState) {
    CurrentState host(&g_stateA);
    AFX_MODULE_STATE* seenByOther = Sentinel();
    AFX_THREAD_STATE* otherThreadState = nullptr;
    std::thread other([&] {
        seenByOther = AfxGetModuleState();
        AfxSetModuleState(&g_stateB);
        otherThreadState = AfxGetThreadState();
    });
    other.join();
    EXPECT_EQ(nullptr, seenByOther) << "a new thread starts with no current module state";
    EXPECT_EQ(&g_stateA, AfxGetModuleState()) << "another thread's switch changed this thread's state";
    EXPECT_NE(AfxGetThreadState(), otherThreadState);
}

TEST(ModuleState, AnotherCopyOfTheFrameworkKeepsItsOwnStatePerThread) {
    Probe probe;
    ASSERT_TRUE(probe.loaded()) << ProbePath() << " error " << GetLastError();
    auto probeCurrent = probe.Get<StateFn>("ProbeCurrentState");
    auto probeSet = probe.Get<SetStateFn>("ProbeSetState");
    auto probeThreadState = probe.Get<ThreadStateFn>("ProbeThreadState");
    ASSERT_NE(nullptr, probeCurrent);
    ASSERT_NE(nullptr, probeSet);
    ASSERT_NE(nullptr, probeThreadState);

    // Each module's copy keeps its thread states behind a slot of its own, so
    // no other module (and no other program) can reach into them.
    CurrentState host(&g_hostState);
    EXPECT_NE(AfxGetThreadState(), probeThreadState());
    EXPECT_EQ(nullptr, probeCurrent()) << "the probe's copy sees this copy's state";
    EXPECT_EQ(nullptr, probeSet(&g_stateA));
    EXPECT_EQ(&g_hostState, AfxGetModuleState()) << "the probe's switch reached this copy";
    EXPECT_EQ(&g_stateA, probeCurrent());

    // Per thread in the probe's copy as well.
    AFX_MODULE_STATE* seenByProbeOnOtherThread = Sentinel();
    std::thread other([&] { seenByProbeOnOtherThread = probeCurrent(); });
    other.join();
    EXPECT_EQ(nullptr, seenByProbeOnOtherThread);
    probeSet(nullptr);
}

TEST(ModuleState, EnteringAnotherModuleMakesItsStateCurrentAndLeavesOursCurrentAfter) {
    Probe probe;
    ASSERT_TRUE(probe.loaded());
    auto enter = probe.Get<EnterFn>("ProbeEnter");
    auto own = probe.Get<StateFn>("ProbeOwnState");
    ASSERT_NE(nullptr, enter);

    auto probeCurrent = probe.Get<StateFn>("ProbeCurrentState");
    ASSERT_NE(nullptr, probeCurrent);

    CurrentState host(&g_hostState);
    // The probe's copy, asked from inside the probe's entry point.
    AFX_MODULE_STATE* seenInside = enter(probeCurrent);
    EXPECT_EQ(own(), seenInside);
    EXPECT_EQ(nullptr, probeCurrent()) << "the probe's entry left its state current";
    EXPECT_EQ(&g_hostState, AfxGetModuleState());
}

TEST(ModuleState, ACopyLoadedAgainStartsWithNoStateCurrent) {
    CurrentState host(&g_stateB);
    {
        Probe probe;
        ASSERT_TRUE(probe.loaded());
        ASSERT_NE(nullptr, probe.Get<ThreadStateFn>("ProbeThreadState")());
        probe.Get<SetStateFn>("ProbeSetState")(&g_stateA);
        probe.Unload();
    }
    Probe again;
    ASSERT_TRUE(again.loaded());
    EXPECT_EQ(nullptr, again.Get<StateFn>("ProbeCurrentState")());
    EXPECT_EQ(&g_stateB, AfxGetModuleState());
}

TEST(ApplicationObject, BecomesTheApplicationOfTheStateCurrentAtConstruction) {
    AFX_MODULE_STATE state(TRUE, nullptr, 0x0600);
    CurrentState current(&state);
    {
        CWinApp app;
        EXPECT_EQ(&app, state.m_pCurrentWinApp);
        EXPECT_TRUE(app.InitInstance());
        EXPECT_EQ(0, app.ExitInstance());

        HINSTANCE exe = GetModuleHandleA(nullptr);
        ASSERT_TRUE(AfxWinInit(exe, nullptr, "", 0));
        EXPECT_EQ(exe, state.m_hCurrentInstanceHandle);
        EXPECT_EQ(exe, state.m_hCurrentResourceHandle);
        EXPECT_EQ(exe, app.m_hInstance);
        AfxWinTerm();
        EXPECT_EQ(nullptr, state.m_hCurrentResourceHandle);
    }
    EXPECT_EQ(nullptr, state.m_pCurrentWinApp) << "a destroyed application stayed registered";
}

TEST(ApplicationObject, WinInitFailsWithoutACurrentState) {
    CurrentState none(nullptr);
    EXPECT_FALSE(AfxWinInit(GetModuleHandleA(nullptr), nullptr, "", 0));
}

TEST(ResourceChain, ResourcesAreFoundInTheModuleFirstThenInItsLibraries) {
    AFX_MODULE_STATE state(TRUE, nullptr, 0x0600);
    CurrentState current(&state);
    HINSTANCE exe = GetModuleHandleA(nullptr);
    HINSTANCE kernel = GetModuleHandleA("kernel32.dll");
    // The exe holds dialog 301; kernel32 holds no dialog 301.
    state.m_hCurrentResourceHandle = kernel;
    EXPECT_EQ(kernel, AfxFindResourceHandle(MAKEINTRESOURCEA(301), RT_DIALOG))
        << "not found anywhere: own handle";

    AFX_EXTENSION_MODULE extension{};
    ASSERT_TRUE(AfxInitExtensionModule(extension, exe));
    EXPECT_TRUE(extension.bInitialized);
    EXPECT_EQ(exe, extension.hResource);
    auto* library = new (std::nothrow) CDynLinkLibrary(extension, FALSE);
    ASSERT_NE(nullptr, library);
    EXPECT_EQ(library, state.m_pLibraryList);
    EXPECT_EQ(exe, AfxFindResourceHandle(MAKEINTRESOURCEA(301), RT_DIALOG));

    state.m_hCurrentResourceHandle = exe;
    EXPECT_EQ(exe, AfxFindResourceHandle(MAKEINTRESOURCEA(301), RT_DIALOG));

    AFX_EXTENSION_MODULE other{TRUE, kernel, kernel};
    AfxTermExtensionModule(other, FALSE);
    EXPECT_EQ(library, state.m_pLibraryList) << "another module's term removed our library";
    AfxTermExtensionModule(extension, TRUE);
    EXPECT_EQ(nullptr, state.m_pLibraryList);
    EXPECT_FALSE(extension.bInitialized);
}

namespace {

class CountedLibrary : public CDynLinkLibrary {
public:
    CountedLibrary(AFX_EXTENSION_MODULE& state, int& destroyed)
        : CDynLinkLibrary(state), m_destroyed(destroyed) {}
    ~CountedLibrary() override { ++m_destroyed; }

private:
    int& m_destroyed;
};

} // namespace

TEST(ResourceChain, ADestroyedStateFreesTheLibrariesLeftInItsChain) {
    int destroyed = 0;
    {
        AFX_MODULE_STATE state(TRUE, nullptr, 0x0600);
        CurrentState current(&state);
        AFX_EXTENSION_MODULE extension{};
        AfxInitExtensionModule(extension, GetModuleHandleA(nullptr));
        ASSERT_NE(nullptr, new (std::nothrow) CountedLibrary(extension, destroyed));
        ASSERT_NE(nullptr, new (std::nothrow) CountedLibrary(extension, destroyed));
        EXPECT_EQ(0, destroyed);
    }
    EXPECT_EQ(2, destroyed);
}
