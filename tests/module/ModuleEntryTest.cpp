// The server's entry point called by hand on a copy mapped without its imports
// bound, for the refusals a real load cannot be made to show.

#include "framework/ModuleState.h"
#include "platform/Owners.h"
#include "tests/common/TestSupport.h"
#include "tests/module/HostState.h"
#include "tests/module/ImportTable.h"

#include <gtest/gtest.h>

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
    const import_table::EntryPoint entry = import_table::EntryPointOf(copy.module());
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
    for (const std::string& name : import_table::ImportedLibraries(copy.module())) {
        libraries.emplace_back(LoadLibraryA(name.c_str()));
        ASSERT_TRUE(libraries.back()) << name;
    }
    const import_table::Override refuse{"LocalAlloc", reinterpret_cast<void*>(&RefuseLoadReserve)};
    ASSERT_TRUE(import_table::BindImports(copy.module(), &refuse, 1));
    const import_table::EntryPoint entry = import_table::EntryPointOf(copy.module());
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

} // namespace
