// The server's entry point called by hand on a copy mapped without its imports
// bound, for the refusals a real load cannot be made to show and for the
// platform calls a whole load makes.

#include "framework/ModuleState.h"
#include "platform/Owners.h"
#include "tests/common/TestSupport.h"
#include "tests/common/DriverHarness.h"
#include "tests/module/HostState.h"
#include "tests/module/ImportTable.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr SIZE_T kLoadReserve = 8192;

// A copy of the server under a name of its own (so that it is never the module a
// test loaded normally), mapped without binding its imports or running its entry.
class UnboundCopy {
public:
    UnboundCopy() {
        char directory[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, directory);
        m_path = std::string(directory) + "MorvantisEntryProbe.dll";
        if (!CopyFileA(testing_support::DriverModulePath().c_str(), m_path.c_str(), FALSE)) {
            ADD_FAILURE() << "copying the server to " << m_path << " failed, error " << GetLastError();
            return;
        }
        m_module.reset(LoadLibraryExA(m_path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES));
        if (!m_module)
            ADD_FAILURE() << "mapping " << m_path << " failed, error " << GetLastError();
    }
    UnboundCopy(const UnboundCopy&) = delete;
    UnboundCopy& operator=(const UnboundCopy&) = delete;
    ~UnboundCopy() {
        m_module.reset();
        DeleteFileA(m_path.c_str());
    }
    HMODULE module() const { return m_module.get(); }

private:
    std::string m_path;
    platform::UniqueModule m_module;
};

volatile LONG g_refusedReserves = 0;

HLOCAL WINAPI RefuseLoadReserve(UINT flags, SIZE_T bytes) {
    if (bytes >= kLoadReserve) {
        InterlockedIncrement(&g_refusedReserves);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return LocalAlloc(flags, bytes);
}

TEST(ModuleEntry, ADetachWithoutACompletedAttachReturnsFalseAndTouchesNothing) {
    UnboundCopy copy;
    ASSERT_NE(nullptr, copy.module());
    const testing_support::EntryPoint entry = testing_support::EntryPointOf(copy.module());
    ASSERT_NE(nullptr, entry);
    HostState host;
    AFX_THREAD_STATE* thread = AfxGetThreadState();
    ASSERT_NE(nullptr, thread);
    _AFX_DLL_MODULE_STATE marker(TRUE, nullptr, 0x0600);
    thread->m_pPrevModuleState = &marker;

    // The copy's import table still holds names, not addresses: a platform call
    // made before the check would not return.
    EXPECT_EQ(FALSE, entry(reinterpret_cast<HINSTANCE>(copy.module()), DLL_PROCESS_DETACH, nullptr));
    EXPECT_EQ(host.get(), AfxGetModuleState());
    EXPECT_EQ(&marker, thread->m_pPrevModuleState);
    thread->m_pPrevModuleState = nullptr;
}

TEST(ModuleEntry, WithoutMemoryAtLoadTheServerRefusesAndTheHostsStateStaysCurrent) {
    UnboundCopy copy;
    ASSERT_NE(nullptr, copy.module());
    std::vector<platform::UniqueModule> libraries;
    for (const std::string& name : testing_support::ImportedLibraries(copy.module())) {
        libraries.emplace_back(LoadLibraryA(name.c_str()));
        ASSERT_TRUE(libraries.back()) << name;
    }
    const testing_support::Override refuse{"LocalAlloc", reinterpret_cast<void*>(&RefuseLoadReserve)};
    ASSERT_TRUE(testing_support::BindImports(copy.module(), &refuse, 1));
    const testing_support::EntryPoint entry = testing_support::EntryPointOf(copy.module());
    ASSERT_NE(nullptr, entry);

    HostState host;
    AFX_THREAD_STATE* thread = AfxGetThreadState();
    ASSERT_NE(nullptr, thread);
    _AFX_DLL_MODULE_STATE marker(TRUE, nullptr, 0x0600);
    thread->m_pPrevModuleState = &marker;
    g_refusedReserves = 0;

    EXPECT_EQ(FALSE, entry(reinterpret_cast<HINSTANCE>(copy.module()), DLL_PROCESS_ATTACH, nullptr));
    EXPECT_EQ(1, g_refusedReserves) << "the server did not ask for its load reserve";
    EXPECT_EQ(host.get(), AfxGetModuleState()) << "the refused load left another module state current";
    EXPECT_EQ(&marker, thread->m_pPrevModuleState) << "the refused load went on to switch states";
    EXPECT_EQ(nullptr, host.get()->m_pCurrentWinApp);

    // The loader's detach after a refused attach finds nothing to undo.
    EXPECT_EQ(FALSE, entry(reinterpret_cast<HINSTANCE>(copy.module()), DLL_PROCESS_DETACH, nullptr));
    EXPECT_EQ(host.get(), AfxGetModuleState());
    thread->m_pPrevModuleState = nullptr;
}

// The named-object creators a module could reach, each recording the names it
// is given before it does its work. A name is a kernel object that any program of
// the session can create first.
std::vector<std::string> g_objectNames;

void NoteName(const char* name) {
    if (name != nullptr)
        g_objectNames.emplace_back(name);
}

void NoteName(const wchar_t* name) {
    if (name != nullptr)
        g_objectNames.emplace_back("(wide name)");
}

template <typename F> F Kernel(const char* name) {
    return reinterpret_cast<F>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
}

HANDLE WINAPI NamedCreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCSTR name) {
    NoteName(name);
    return Kernel<decltype(&CreateEventA)>("CreateEventA")(sa, manual, initial, name);
}
HANDLE WINAPI NamedCreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCWSTR name) {
    NoteName(name);
    return Kernel<decltype(&CreateEventW)>("CreateEventW")(sa, manual, initial, name);
}
HANDLE WINAPI NamedCreateSemaphoreA(LPSECURITY_ATTRIBUTES sa, LONG initial, LONG maximum, LPCSTR name) {
    NoteName(name);
    return Kernel<decltype(&CreateSemaphoreA)>("CreateSemaphoreA")(sa, initial, maximum, name);
}
HANDLE WINAPI NamedCreateMutexA(LPSECURITY_ATTRIBUTES sa, BOOL owner, LPCSTR name) {
    NoteName(name);
    return Kernel<decltype(&CreateMutexA)>("CreateMutexA")(sa, owner, name);
}
HANDLE WINAPI NamedCreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES sa, DWORD protect, DWORD high,
                                      DWORD low, LPCSTR name) {
    NoteName(name);
    return Kernel<decltype(&CreateFileMappingA)>("CreateFileMappingA")(file, sa, protect, high, low, name);
}
HANDLE WINAPI NamedCreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES sa, DWORD protect, DWORD high,
                                      DWORD low, LPCWSTR name) {
    NoteName(name);
    return Kernel<decltype(&CreateFileMappingW)>("CreateFileMappingW")(file, sa, protect, high, low, name);
}
HANDLE WINAPI NamedOpenFileMappingA(DWORD access, BOOL inherit, LPCSTR name) {
    NoteName(name);
    return Kernel<decltype(&OpenFileMappingA)>("OpenFileMappingA")(access, inherit, name);
}

TEST(ModuleEntry, AWholeLoadAndUnloadCreatesNoNamedKernelObject) {
    UnboundCopy copy;
    ASSERT_NE(nullptr, copy.module());
    std::vector<platform::UniqueModule> libraries;
    for (const std::string& name : testing_support::ImportedLibraries(copy.module())) {
        libraries.emplace_back(LoadLibraryA(name.c_str()));
        ASSERT_TRUE(libraries.back()) << name;
    }
    const testing_support::Override watched[] = {
        {"CreateEventA", reinterpret_cast<void*>(&NamedCreateEventA)},
        {"CreateEventW", reinterpret_cast<void*>(&NamedCreateEventW)},
        {"CreateSemaphoreA", reinterpret_cast<void*>(&NamedCreateSemaphoreA)},
        {"CreateMutexA", reinterpret_cast<void*>(&NamedCreateMutexA)},
        {"CreateFileMappingA", reinterpret_cast<void*>(&NamedCreateFileMappingA)},
        {"CreateFileMappingW", reinterpret_cast<void*>(&NamedCreateFileMappingW)},
        {"OpenFileMappingA", reinterpret_cast<void*>(&NamedOpenFileMappingA)},
    };
    ASSERT_TRUE(testing_support::BindImports(copy.module(), watched, std::size(watched)));
    // Nothing else that names an object may be imported at all.
    const char* const unwatched[] = {
        "CreateMutexW",     "CreateSemaphoreW",     "CreateEventExA",      "CreateEventExW", "OpenEventA",
        "OpenEventW",       "OpenMutexA",           "OpenMutexW",          "OpenSemaphoreA", "OpenSemaphoreW",
        "OpenFileMappingW", "CreateWaitableTimerA", "CreateWaitableTimerW"};
    for (const char* function : unwatched)
        EXPECT_EQ(nullptr, testing_support::FindSlot(copy.module(), nullptr, function))
            << function << " is imported";
    const testing_support::EntryPoint entry = testing_support::EntryPointOf(copy.module());
    ASSERT_NE(nullptr, entry);

    g_objectNames.clear();
    const HINSTANCE instance = reinterpret_cast<HINSTANCE>(copy.module());
    ASSERT_EQ(TRUE, entry(instance, DLL_PROCESS_ATTACH, nullptr));
    EXPECT_EQ(TRUE, entry(instance, DLL_PROCESS_DETACH, nullptr));
    std::string names;
    for (const std::string& name : g_objectNames)
        names += " " + name;
    EXPECT_TRUE(g_objectNames.empty()) << "named objects:" << names;
}

TEST(ModuleEntry, AnObjectSquattingTheFrameworksFormerNameChangesNothing) {
    // Any program of the session could create this name before the host loads
    // the server; once the framework published its thread-state slot under it.
    char name[64];
    std::snprintf(name, sizeof name, "Local\\MorvantisAfxThreadState.1.%lu",
                  static_cast<unsigned long>(GetCurrentProcessId()));
    platform::UniqueHandle squatter(CreateEventA(nullptr, TRUE, FALSE, name));
    ASSERT_TRUE(squatter);
    platform::ComApartment apartment;
    testing_support::LoadedDriver driver;
    ASSERT_TRUE(driver.loaded());
    platform::ComPtr<IFocuser> focuser = driver.Create();
    ASSERT_TRUE(focuser);
    LONG maxStep = 0;
    EXPECT_EQ(S_OK, focuser->get_MaxStep(&maxStep));
    focuser.reset();
    EXPECT_EQ(S_OK, driver.CanUnloadNow());
}

} // namespace
