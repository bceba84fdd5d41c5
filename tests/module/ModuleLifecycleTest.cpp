// The server inside a host process: what loading, calling and unloading it do to
// the thread's framework module state, and the server's own platform calls
// watched through its import table. The server keeps its framework state to
// itself; the watch finds the server's record of a thread through the server's
// own TlsGetValue calls, and a state of another module placed in that record
// stands for a caller that entered with another state current.

#include "contract/FocuserContract.h"
#include "framework/DynLinkLibrary.h"
#include "framework/HandleMap.h"
#include "framework/ModuleState.h"
#include "framework/WinApp.h"
#include "platform/Owners.h"
#include "simulator/FocuserSimulator.h"
#include "tests/common/TestSupport.h"
#include "tests/common/DriverHarness.h"
#include "tests/common/SettingsKey.h"
#include "tests/common/DialogDriver.h"
#include "tests/module/HostState.h"
#include "tests/module/ImportTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

using testing_support::Hr;
using testing_support::ImportHook;
using testing_support::LoadedDriver;

namespace {

// What the server's framework state looked like at one of its watched platform calls.
struct Event {
    enum Kind { kThreadState, kDeleteCriticalSection, kCreateErrorInfo, kLocalFree } kind;
    DWORD thread;
    AFX_MODULE_STATE* current; // the calling thread's current state (watched thread only)
    CWinApp* app;              // the server state's application object
    HINSTANCE instance;        // the server state's instance handle
    const void* block;         // LocalFree's argument
};

const char* KindName(Event::Kind kind) {
    switch (kind) {
    case Event::kThreadState:
        return "thread state lookup";
    case Event::kDeleteCriticalSection:
        return "DeleteCriticalSection";
    case Event::kCreateErrorInfo:
        return "CreateErrorInfo";
    case Event::kLocalFree:
        return "LocalFree";
    }
    return "?";
}

// Hooks run on any thread and during the loader's notifications: no allocation
// and no locks, only a fixed array filled through an atomic index.
struct Watch {
    static constexpr LONG kCapacity = 8192;
    Event events[kCapacity];
    volatile LONG count = 0;
    DWORD thread = 0;
    // The server's record of the watched thread, as its last TlsGetValue gave it;
    // cleared when the server frees it.
    AFX_THREAD_STATE* volatile threadState = nullptr;
    // The same for one other thread of a test.
    DWORD otherThread = 0;
    AFX_THREAD_STATE* volatile otherThreadState = nullptr;
    AFX_MODULE_STATE* serverState = nullptr;
    // The server's state as seen at the last CreateErrorInfo of the watched thread.
    AFX_MODULE_STATE* volatile stateAtErrorReport = nullptr;

    LPVOID(WINAPI* realTlsGetValue)(DWORD) = nullptr;
    void(WINAPI* realDeleteCriticalSection)(LPCRITICAL_SECTION) = nullptr;
    HRESULT(WINAPI* realCreateErrorInfo)(ICreateErrorInfo**) = nullptr;
    HLOCAL(WINAPI* realLocalFree)(HLOCAL) = nullptr;
};
Watch g_watch;

void Record(Event::Kind kind, const void* block = nullptr) {
    const LONG index = InterlockedIncrement(&g_watch.count) - 1;
    if (index >= Watch::kCapacity)
        return;
    Event& e = g_watch.events[index];
    e.kind = kind;
    e.thread = GetCurrentThreadId();
    e.current = e.thread == g_watch.thread && g_watch.threadState != nullptr
                    ? g_watch.threadState->m_pModuleState
                    : nullptr;
    AFX_MODULE_STATE* server = g_watch.serverState;
    e.app = server != nullptr ? server->m_pCurrentWinApp : nullptr;
    e.instance = server != nullptr ? server->m_hCurrentInstanceHandle : nullptr;
    e.block = block;
}

// The server's framework is the only user of TLS slots in the server's image
// on these threads.
LPVOID WINAPI WatchTlsGetValue(DWORD index) {
    LPVOID value = g_watch.realTlsGetValue(index);
    const DWORD error = GetLastError();
    if (value != nullptr && GetCurrentThreadId() == g_watch.thread) {
        g_watch.threadState = static_cast<AFX_THREAD_STATE*>(value);
        Record(Event::kThreadState);
    } else if (value != nullptr && GetCurrentThreadId() == g_watch.otherThread) {
        g_watch.otherThreadState = static_cast<AFX_THREAD_STATE*>(value);
    }
    SetLastError(error);
    return value;
}

void WINAPI WatchDeleteCriticalSection(LPCRITICAL_SECTION section) {
    Record(Event::kDeleteCriticalSection);
    g_watch.realDeleteCriticalSection(section);
}

HRESULT WINAPI WatchCreateErrorInfo(ICreateErrorInfo** creator) {
    if (GetCurrentThreadId() == g_watch.thread && g_watch.threadState != nullptr)
        g_watch.stateAtErrorReport = g_watch.threadState->m_pModuleState;
    Record(Event::kCreateErrorInfo);
    return g_watch.realCreateErrorInfo(creator);
}

HLOCAL WINAPI WatchLocalFree(HLOCAL block) {
    Record(Event::kLocalFree, block);
    if (block == g_watch.threadState)
        g_watch.threadState = nullptr;
    return g_watch.realLocalFree(block);
}

template <typename F> F Original(const ImportHook& hook) {
    return reinterpret_cast<F>(hook.original());
}

// The server's platform calls watched from the calling thread for one scope.
class ServerWatch {
public:
    explicit ServerWatch(HMODULE server)
        : m_tls(server, "kernel32.dll", "TlsGetValue", reinterpret_cast<void*>(&WatchTlsGetValue)),
          m_delete(server, "kernel32.dll", "DeleteCriticalSection",
                   reinterpret_cast<void*>(&WatchDeleteCriticalSection)),
          // Taken from ole32 or oleaut32, depending on the import library.
          m_errorInfo(server, nullptr, "CreateErrorInfo", reinterpret_cast<void*>(&WatchCreateErrorInfo)),
          m_localFree(server, "kernel32.dll", "LocalFree", reinterpret_cast<void*>(&WatchLocalFree)) {
        g_watch.count = 0;
        g_watch.thread = GetCurrentThreadId();
        g_watch.threadState = nullptr;
        g_watch.otherThread = 0;
        g_watch.otherThreadState = nullptr;
        g_watch.stateAtErrorReport = nullptr;
        g_watch.realTlsGetValue = Original<decltype(g_watch.realTlsGetValue)>(m_tls);
        g_watch.realDeleteCriticalSection = Original<decltype(g_watch.realDeleteCriticalSection)>(m_delete);
        g_watch.realCreateErrorInfo = Original<decltype(g_watch.realCreateErrorInfo)>(m_errorInfo);
        g_watch.realLocalFree = Original<decltype(g_watch.realLocalFree)>(m_localFree);
    }
    ServerWatch(const ServerWatch&) = delete;
    ServerWatch& operator=(const ServerWatch&) = delete;
    ~ServerWatch() {
        g_watch.serverState = nullptr;
        g_watch.threadState = nullptr;
        g_watch.otherThread = 0;
    }

    bool installed() const { return Missing().empty(); }
    std::string Missing() const {
        std::string missing;
        missing += m_tls.installed() ? "" : " TlsGetValue";
        missing += m_delete.installed() ? "" : " DeleteCriticalSection";
        missing += m_errorInfo.installed() ? "" : " CreateErrorInfo";
        missing += m_localFree.installed() ? "" : " LocalFree";
        return missing;
    }
    // After the server has been unloaded: its import table went with it.
    void ServerUnloaded() {
        m_tls.Forget();
        m_delete.Forget();
        m_errorInfo.Forget();
        m_localFree.Forget();
    }
    std::vector<Event> Events() const {
        const LONG count = g_watch.count < Watch::kCapacity ? g_watch.count : Watch::kCapacity;
        return std::vector<Event>(g_watch.events, g_watch.events + count);
    }
    void Clear() { g_watch.count = 0; }
    int CountOf(Event::Kind kind) const {
        int n = 0;
        for (const Event& e : Events())
            n += e.kind == kind ? 1 : 0;
        return n;
    }

private:
    ImportHook m_tls;
    ImportHook m_delete;
    ImportHook m_errorInfo;
    ImportHook m_localFree;
};

std::string Describe(const std::vector<Event>& events) {
    std::string text;
    for (const Event& e : events) {
        char line[160];
        std::snprintf(line, sizeof line, "  %s current=%p app=%p instance=%p\n", KindName(e.kind),
                      static_cast<void*>(e.current), static_cast<void*>(e.app),
                      static_cast<void*>(e.instance));
        text += line;
    }
    return text;
}

// The server's own module state: current while a member reports an error.
AFX_MODULE_STATE* ServerStateOf(IFocuser* focuser) {
    g_watch.stateAtErrorReport = nullptr;
    focuser->put_TempComp(VARIANT_TRUE);
    return g_watch.stateAtErrorReport;
}

struct MemberCase {
    const char* name;
    std::function<HRESULT(IFocuser*)> call;
    HRESULT expected;
};

void ExpectEachLeavesTheHostStateCurrent(IFocuser* focuser, AFX_MODULE_STATE* host, AFX_MODULE_STATE* server,
                                         ServerWatch& watch, const std::vector<MemberCase>& cases) {
    AFX_THREAD_STATE* record = g_watch.threadState;
    ASSERT_NE(nullptr, record) << "the server's record of this thread was not seen";
    for (const MemberCase& c : cases) {
        SCOPED_TRACE(c.name);
        watch.Clear();
        g_watch.stateAtErrorReport = nullptr;
        record->m_pModuleState = host;
        const HRESULT hr = c.call(focuser);
        EXPECT_EQ(c.expected, hr) << "got " << Hr(hr);
        EXPECT_EQ(record, g_watch.threadState) << "the server changed its record of this thread";
        EXPECT_EQ(host, record->m_pModuleState) << "the member left another module state current";
        EXPECT_GE(watch.CountOf(Event::kThreadState), 1)
            << "the member never looked at the framework's thread state";
        if (hr == DISP_E_EXCEPTION) {
            EXPECT_EQ(server, g_watch.stateAtErrorReport)
                << "the error was reported in module state " << g_watch.stateAtErrorReport
                << ", not the server's " << server;
        }
    }
    record->m_pModuleState = nullptr;
}

VARIANT_BOOL g_flag;
LONG g_number;
float g_real;

std::vector<MemberCase> UnlinkedCases() {
    return {
        {"get_StepSize", [](IFocuser* f) { return f->get_StepSize(&g_real); }, DISP_E_EXCEPTION},
        {"get_StepSize(null)", [](IFocuser* f) { return f->get_StepSize(nullptr); }, E_POINTER},
        {"get_MaxStep", [](IFocuser* f) { return f->get_MaxStep(&g_number); }, S_OK},
        {"get_MaxStep(null)", [](IFocuser* f) { return f->get_MaxStep(nullptr); }, E_POINTER},
        {"get_IsMoving", [](IFocuser* f) { return f->get_IsMoving(&g_flag); }, S_OK},
        {"get_IsMoving(null)", [](IFocuser* f) { return f->get_IsMoving(nullptr); }, E_POINTER},
        {"Move(100) unlinked", [](IFocuser* f) { return f->Move(100); }, DISP_E_EXCEPTION},
        {"Move(-1)", [](IFocuser* f) { return f->Move(-1); }, DISP_E_EXCEPTION},
        {"get_Position unlinked", [](IFocuser* f) { return f->get_Position(&g_number); }, DISP_E_EXCEPTION},
        {"get_Position(null)", [](IFocuser* f) { return f->get_Position(nullptr); }, E_POINTER},
        {"get_Link", [](IFocuser* f) { return f->get_Link(&g_flag); }, S_OK},
        {"get_Link(null)", [](IFocuser* f) { return f->get_Link(nullptr); }, E_POINTER},
        {"put_Link(false) unlinked", [](IFocuser* f) { return f->put_Link(VARIANT_FALSE); }, S_OK},
        {"put_Link(true) to a missing port", [](IFocuser* f) { return f->put_Link(VARIANT_TRUE); },
         DISP_E_EXCEPTION},
        {"get_Absolute", [](IFocuser* f) { return f->get_Absolute(&g_flag); }, S_OK},
        {"get_Absolute(null)", [](IFocuser* f) { return f->get_Absolute(nullptr); }, E_POINTER},
        {"get_TempCompAvailable", [](IFocuser* f) { return f->get_TempCompAvailable(&g_flag); }, S_OK},
        {"get_TempCompAvailable(null)", [](IFocuser* f) { return f->get_TempCompAvailable(nullptr); },
         E_POINTER},
        {"get_TempComp", [](IFocuser* f) { return f->get_TempComp(&g_flag); }, S_OK},
        {"get_TempComp(null)", [](IFocuser* f) { return f->get_TempComp(nullptr); }, E_POINTER},
        {"put_TempComp", [](IFocuser* f) { return f->put_TempComp(VARIANT_TRUE); }, DISP_E_EXCEPTION},
        {"get_Temperature", [](IFocuser* f) { return f->get_Temperature(&g_real); }, S_OK},
        {"get_Temperature(null)", [](IFocuser* f) { return f->get_Temperature(nullptr); }, E_POINTER},
        {"get_MaxIncrement", [](IFocuser* f) { return f->get_MaxIncrement(&g_number); }, S_OK},
        {"get_MaxIncrement(null)", [](IFocuser* f) { return f->get_MaxIncrement(nullptr); }, E_POINTER},
        {"Stop unlinked", [](IFocuser* f) { return f->Stop(); }, S_OK},
        {"Halt unlinked", [](IFocuser* f) { return f->Halt(); }, S_OK},
    };
}

std::vector<MemberCase> LinkedCases() {
    return {
        {"put_Link(true)", [](IFocuser* f) { return f->put_Link(VARIANT_TRUE); }, S_OK},
        {"get_Position", [](IFocuser* f) { return f->get_Position(&g_number); }, S_OK},
        {"Move(3000)", [](IFocuser* f) { return f->Move(3000); }, S_OK},
        {"get_IsMoving while moving", [](IFocuser* f) { return f->get_IsMoving(&g_flag); }, S_OK},
        {"Move while moving", [](IFocuser* f) { return f->Move(10); }, DISP_E_EXCEPTION},
        {"Move above the maximum", [](IFocuser* f) { return f->Move(20001); }, DISP_E_EXCEPTION},
        {"Halt", [](IFocuser* f) { return f->Halt(); }, S_OK},
        {"Stop", [](IFocuser* f) { return f->Stop(); }, S_OK},
        {"get_Link", [](IFocuser* f) { return f->get_Link(&g_flag); }, S_OK},
        {"put_Link(false)", [](IFocuser* f) { return f->put_Link(VARIANT_FALSE); }, S_OK},
    };
}

// A thread that makes calls into the server, leaves a window in the server's
// temporary map as a dialog does, and ends.
struct ThreadCalls {
    LoadedDriver* driver;
    DWORD thread = 0;
    const void* map = nullptr;
    HRESULT call = E_FAIL;
};

DWORD WINAPI CallAndEnd(void* context) {
    auto* seen = static_cast<ThreadCalls*>(context);
    seen->thread = GetCurrentThreadId();
    g_watch.otherThread = seen->thread;
    platform::ComApartment apartment;
    {
        platform::ComPtr<IFocuser> focuser = seen->driver->Create();
        // The first call makes the server's record of this thread, the second
        // finds it (and shows it to the watch).
        LONG maxStep = 0;
        if (focuser && focuser->get_MaxStep(&maxStep) == S_OK)
            seen->call = focuser->get_MaxStep(&maxStep);
    }
    // The map as the server's framework makes it: one window, in memory from LocalAlloc.
    AFX_THREAD_STATE* record = g_watch.otherThreadState;
    HWND window = CreateWindowA("STATIC", "", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    if (record == nullptr || window == nullptr || record->m_pHandleMap.get() != nullptr)
        return 0;
    auto* map = static_cast<AFX_HANDLE_MAP*>(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, sizeof(AFX_HANDLE_MAP)));
    if (map == nullptr)
        return 0;
    map->nCapacity = 1;
    map->nCount = 1;
    map->entries[0] = AFX_HANDLE_MAP_ENTRY{window, nullptr};
    record->m_pHandleMap.reset(map);
    seen->map = map;
    return 0;
}

class ModuleLifecycle : public testing::Test {
protected:
    platform::ComApartment m_apartment;
};

TEST_F(ModuleLifecycle, LoadingLeavesNoStateCurrentAndAttachesTheServerInItsOwnState) {
    HostState host;
    AFX_THREAD_STATE* thread = AfxGetThreadState();
    ASSERT_NE(nullptr, thread);
    _AFX_DLL_MODULE_STATE marker(TRUE, nullptr, 0x0600);
    thread->m_pPrevModuleState = &marker;

    LoadedDriver driver;
    ASSERT_TRUE(driver.loaded());
    // The host's own framework record is the host's: the server neither reads nor writes it.
    EXPECT_EQ(host.get(), AfxGetModuleState()) << "the load changed the host's framework state";
    EXPECT_EQ(&marker, thread->m_pPrevModuleState) << "the load wrote into the host's framework record";
    thread->m_pPrevModuleState = nullptr;
    EXPECT_EQ(nullptr, host.get()->m_pCurrentWinApp);
    EXPECT_EQ(nullptr, host.get()->m_hCurrentInstanceHandle);
    EXPECT_EQ(nullptr, host.get()->m_pLibraryList);

    ServerWatch watch(driver.module());
    ASSERT_TRUE(watch.installed()) << "not imported:" << watch.Missing();
    // The server's record of this thread, as the load left it: the state that was
    // current before the load (none) is current again, and the slot is empty.
    EXPECT_EQ(S_OK, driver.CanUnloadNow());
    const std::vector<Event> seen = watch.Events();
    ASSERT_FALSE(seen.empty()) << "DllCanUnloadNow never looked at the server's thread state";
    EXPECT_EQ(nullptr, seen.front().current) << "the load left a module state current:\n" << Describe(seen);
    ASSERT_NE(nullptr, g_watch.threadState);
    EXPECT_EQ(nullptr, g_watch.threadState->m_pPrevModuleState);
    EXPECT_EQ(nullptr, g_watch.threadState->m_pModuleState);
    platform::ComPtr<IFocuser> focuser = driver.Create();
    ASSERT_TRUE(focuser);
    AFX_MODULE_STATE* server = ServerStateOf(focuser.get());
    ASSERT_NE(nullptr, server) << "no error was reported";
    ASSERT_NE(host.get(), server);
    EXPECT_EQ(host.get(), AfxGetModuleState());

    EXPECT_EQ(driver.module(), server->m_hCurrentInstanceHandle) << "AfxWinInit did not record the module";
    EXPECT_EQ(driver.module(), server->m_hCurrentResourceHandle);
    ASSERT_NE(nullptr, server->m_pCurrentWinApp) << "the application object is not the server state's";
    EXPECT_EQ(driver.module(), server->m_pCurrentWinApp->m_hInstance);
    ASSERT_NE(nullptr, server->m_pLibraryList) << "the module is not in its resource chain";
    EXPECT_EQ(driver.module(), server->m_pLibraryList->m_hModule);
    EXPECT_EQ(nullptr, server->m_pLibraryList->m_pNextDLL);
}

// Loads the server under a host state of its own and runs every case on one
// new driver object.
void ExpectMembersInAFreshServerLeaveTheHostStateCurrent(const std::vector<MemberCase>& cases) {
    HostState host;
    LoadedDriver driver;
    ASSERT_TRUE(driver.loaded());
    ServerWatch watch(driver.module());
    ASSERT_TRUE(watch.installed()) << "not imported:" << watch.Missing();
    platform::ComPtr<IFocuser> focuser = driver.Create();
    ASSERT_TRUE(focuser);
    AFX_MODULE_STATE* server = ServerStateOf(focuser.get());
    ASSERT_NE(nullptr, server);
    ExpectEachLeavesTheHostStateCurrent(focuser.get(), host.get(), server, watch, cases);
}

TEST_F(ModuleLifecycle, EveryMemberLeavesTheCallersStateCurrentAlsoWhenItFails) {
    // COM1 does not exist on the bench: linking fails to open it.
    testing_support::SettingsKeyGuard settings("0", "20000");
    ExpectMembersInAFreshServerLeaveTheHostStateCurrent(UnlinkedCases());
}

TEST_F(ModuleLifecycle, LinkedMembersLeaveTheCallersStateCurrent) {
    const testing_support::PortPair& pair = testing_support::FirstPair();
    testing_support::SettingsKeyGuard settings(std::to_string(pair.driverIndex).c_str(), "20000");
    CFocuserSimulator simulator;
    ASSERT_TRUE(simulator.Start(pair.simulator));
    ExpectMembersInAFreshServerLeaveTheHostStateCurrent(LinkedCases());
}

TEST_F(ModuleLifecycle, CanUnloadNowAsksTheServersOwnStateNotTheCallers) {
    HostState host;
    // Another module with a window alive: asked in its state, the framework would say no.
    host.get()->m_nLiveWindows = 1;
    LoadedDriver driver;
    ASSERT_TRUE(driver.loaded());
    ServerWatch watch(driver.module());
    ASSERT_TRUE(watch.installed()) << "not imported:" << watch.Missing();
    EXPECT_EQ(S_OK, driver.CanUnloadNow());
    AFX_THREAD_STATE* record = g_watch.threadState;
    ASSERT_NE(nullptr, record);
    record->m_pModuleState = host.get();
    EXPECT_EQ(S_OK, driver.CanUnloadNow());
    EXPECT_EQ(host.get(), record->m_pModuleState);
    {
        platform::ComPtr<IFocuser> focuser = driver.Create();
        ASSERT_TRUE(focuser);
        EXPECT_EQ(S_FALSE, driver.CanUnloadNow()) << "an object is alive";
        EXPECT_EQ(host.get(), record->m_pModuleState);
    }
    EXPECT_EQ(S_OK, driver.CanUnloadNow());
    record->m_pModuleState = nullptr;
    host.get()->m_nLiveWindows = 0;
}

TEST_F(ModuleLifecycle, CanUnloadNowAnswersSFalseWhileAModuleWindowIsAlive) {
    LoadedDriver driver;
    ASSERT_TRUE(driver.loaded());
    ServerWatch watch(driver.module());
    ASSERT_TRUE(watch.installed()) << "not imported:" << watch.Missing();
    AFX_MODULE_STATE* server = nullptr;
    {
        platform::ComPtr<IFocuser> focuser = driver.Create();
        ASSERT_TRUE(focuser);
        server = ServerStateOf(focuser.get());
        ASSERT_NE(nullptr, server);
    }
    ASSERT_EQ(S_OK, driver.CanUnloadNow());
    // What a dialog of the module counts while it is alive, with no object,
    // factory or server lock left: the framework's half of the answer alone.
    server->m_nLiveWindows = 1;
    EXPECT_EQ(S_FALSE, driver.CanUnloadNow()) << "a module window was alive";
    server->m_nLiveWindows = 0;
    EXPECT_EQ(S_OK, driver.CanUnloadNow());
}

TEST_F(ModuleLifecycle, UnloadingTerminatesTheComModuleBeforeTheApplicationGoes) {
    HostState host;
    LoadedDriver driver;
    ASSERT_TRUE(driver.loaded());
    ServerWatch watch(driver.module());
    ASSERT_TRUE(watch.installed()) << "not imported:" << watch.Missing();
    AFX_MODULE_STATE* server = nullptr;
    CWinApp* app = nullptr;
    {
        // The object goes, its class factory stays cached in g_module until it ends.
        platform::ComPtr<IFocuser> focuser = driver.Create();
        ASSERT_TRUE(focuser);
        server = ServerStateOf(focuser.get());
        ASSERT_NE(nullptr, server);
        app = server->m_pCurrentWinApp;
        ASSERT_NE(nullptr, app);
    }
    ASSERT_EQ(S_OK, driver.CanUnloadNow());
    g_watch.serverState = server;
    watch.Clear();
    const HMODULE module = driver.module();

    ASSERT_TRUE(driver.Unload());
    watch.ServerUnloaded();
    const std::vector<Event> events = watch.Events();
    EXPECT_EQ(host.get(), AfxGetModuleState()) << "the unload left another module state current";

    // g_module's end deletes its locks (and the cached factory's) in the server's
    // state, with its application and instance still there. (The run-time's own
    // locks go earlier, in whatever state the caller has.)
    size_t firstDelete = events.size();
    for (size_t i = 0; i < events.size(); ++i) {
        if (events[i].kind == Event::kDeleteCriticalSection && events[i].current == server) {
            firstDelete = i;
            break;
        }
    }
    ASSERT_LT(firstDelete, events.size()) << "g_module was not terminated in the server's state:\n"
                                          << Describe(events);
    const Event& terminate = events[firstDelete];
    EXPECT_EQ(app, terminate.app) << "the application object was gone when g_module ended:\n"
                                  << Describe(events);
    EXPECT_EQ(module, terminate.instance) << "AfxWinTerm ran before g_module ended:\n" << Describe(events);

    // Last of all the caller's state is made current again: by then the
    // application object has been destroyed and the framework has let go of the module.
    size_t lastLookup = events.size();
    for (size_t i = 0; i < events.size(); ++i) {
        if (events[i].kind == Event::kThreadState)
            lastLookup = i;
    }
    ASSERT_LT(lastLookup, events.size()) << Describe(events);
    EXPECT_GT(lastLookup, firstDelete) << Describe(events);
    const Event& last = events[lastLookup];
    EXPECT_EQ(nullptr, last.app) << "the application object outlived the unload:\n" << Describe(events);
    EXPECT_EQ(nullptr, last.instance) << Describe(events);
}

TEST_F(ModuleLifecycle, AThreadThatMadeCallsHasItsTemporaryMapsFreedWhenItEnds) {
    LoadedDriver driver;
    ASSERT_TRUE(driver.loaded());
    ServerWatch watch(driver.module());
    ASSERT_TRUE(watch.installed()) << "not imported:" << watch.Missing();

    ThreadCalls seen{&driver};
    platform::UniqueHandle thread(CreateThread(nullptr, 0, &CallAndEnd, &seen, 0, nullptr));
    ASSERT_TRUE(thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 10000));
    ASSERT_EQ(S_OK, seen.call);
    ASSERT_NE(nullptr, seen.map);

    bool freed = false;
    for (const Event& e : watch.Events())
        freed = freed || (e.kind == Event::kLocalFree && e.thread == seen.thread && e.block == seen.map);
    EXPECT_TRUE(freed) << "the server did not free the ended thread's map " << seen.map;
}

DWORD WINAPI TouchFrameworkAndEnd(void* param) {
    *static_cast<DWORD*>(param) = GetCurrentThreadId();
    g_watch.otherThread = GetCurrentThreadId();
    AfxGetThreadState();
    return 0;
}

TEST_F(ModuleLifecycle, AnEndingThreadLeavesNoFrameworkRecordBehind) {
    LoadedDriver driver;
    ASSERT_TRUE(driver.loaded());
    ServerWatch watch(driver.module());
    ASSERT_TRUE(watch.installed()) << "not imported:" << watch.Missing();

    // Every ending thread passes the server's thread detach, which needs a
    // record for its switch; a process with many short threads must not keep one
    // per thread. This one never called the server.
    DWORD id = 0;
    platform::UniqueHandle thread(CreateThread(nullptr, 0, &TouchFrameworkAndEnd, &id, 0, nullptr));
    ASSERT_TRUE(thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 10000));
    AFX_THREAD_STATE* record = g_watch.otherThreadState;
    ASSERT_NE(nullptr, record) << "the server's detach of thread " << id << " made no record";

    bool freed = false;
    for (const Event& e : watch.Events())
        freed = freed || (e.kind == Event::kLocalFree && e.block == record);
    EXPECT_TRUE(freed) << "the ended thread's framework record " << record << " was kept:\n"
                       << Describe(watch.Events());
}

TEST_F(ModuleLifecycle, SetupDialogOpenedWhileLinkedLeavesTheLinkAlone) {
    const testing_support::PortPair& pair = testing_support::FirstPair();
    struct Case {
        const char* name;
        int button;
        const char* expectedCom;
        const char* expectedMaxPos;
    };
    const Case cases[] = {
        {"OK with another port and maximum", IDOK, "7", "30000"},
        {"Cancel", IDCANCEL, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string linkedIndex = std::to_string(pair.driverIndex);
        testing_support::SettingsKeyGuard settings(linkedIndex.c_str(), "20000");
        CFocuserSimulator simulator;
        ASSERT_TRUE(simulator.Start(pair.simulator));
        simulator.SetPosition(1234);
        HostState host;
        LoadedDriver driver;
        ASSERT_TRUE(driver.loaded());
        platform::ComPtr<IFocuser> focuser = driver.Create();
        ASSERT_TRUE(focuser);
        ASSERT_EQ(S_OK, focuser->put_Link(VARIANT_TRUE));
        LONG maxStep = 0xdeadbeef;
        ASSERT_EQ(S_OK, focuser->get_MaxStep(&maxStep));
        ASSERT_EQ(20000, maxStep);

        HRESULT shown = E_FAIL;
        testing_support::RunModal(
            [&] {
                shown = focuser->SetupDialog();
                return INT_PTR{0};
            },
            testing_support::kSetupCaption,
            [&](HWND dialog) {
                SendMessageA(testing_support::SetupPortList(dialog), CB_SETCURSEL, 7, 0);
                testing_support::SetText(testing_support::SetupMaxPosition(dialog), "30000");
                testing_support::Click(GetDlgItem(dialog, c.button));
                EXPECT_TRUE(testing_support::WaitForGone(dialog));
            });
        EXPECT_EQ(S_OK, shown);
        EXPECT_EQ(host.get(), AfxGetModuleState()) << "SetupDialog left another module state current";

        VARIANT_BOOL linked = 0x5a5a;
        EXPECT_EQ(S_OK, focuser->get_Link(&linked));
        EXPECT_EQ(VARIANT_TRUE, linked);
        maxStep = 0xdeadbeef;
        EXPECT_EQ(S_OK, focuser->get_MaxStep(&maxStep));
        EXPECT_EQ(20000, maxStep) << "the dialog changed the maximum in use";
        simulator.ClearReceived();
        LONG position = 0xdeadbeef;
        EXPECT_EQ(S_OK, focuser->get_Position(&position)) << "the link's port no longer answers";
        EXPECT_EQ(1234, position);
        EXPECT_NE(std::string::npos,
                  testing_support::Text(simulator.Received()).find(testing_support::Frame("FG000000")));

        // What the dialog stored takes effect at the next link only.
        const std::string storedCom = c.expectedCom ? c.expectedCom : linkedIndex;
        const std::string storedMax = c.expectedMaxPos ? c.expectedMaxPos : "20000";
        platform::UniqueHKey key;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\ASCOM\\Focuser Drivers\\Morvantis.Focuser", 0,
                                KEY_READ | KEY_WOW64_32KEY, key.put()));
        char text[32] = {};
        DWORD size = sizeof text - 1;
        EXPECT_EQ(ERROR_SUCCESS,
                  RegQueryValueExA(key.get(), "COM", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size));
        EXPECT_EQ(storedCom, text);
        std::fill(std::begin(text), std::end(text), '\0');
        size = sizeof text - 1;
        EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key.get(), "MaxPos", nullptr, nullptr,
                                                  reinterpret_cast<BYTE*>(text), &size));
        EXPECT_EQ(storedMax, text);
        EXPECT_EQ(S_OK, focuser->put_Link(VARIANT_FALSE));
    }
}

} // namespace
