#pragma once
// The in-process server's module object: which classes the module serves, the
// count of reasons to stay loaded, the cached class factories and the callbacks
// that run when the module is terminated.

#include "platform/Owners.h"

#include <windows.h>
#include <objbase.h>
#include <comcat.h>

#include <cstdint>
#include <memory>
#include <optional>

// One component category of a class; a list of them ends with kind 0.
struct CategoryMapEntry {
    int32_t kind; // 1: implemented category, any other nonzero kind: required category
    const CATID* catid;
};

// Makes an object: outer is the controlling object when aggregated, else null.
using ObjectCreator = HRESULT (*)(IUnknown* outer, REFIID iid, void** out);
// Makes the class object of a class from the class's object creator.
using ClassObjectCreator = HRESULT (*)(ObjectCreator creator, REFIID iid, void** out);
using UpdateRegistryFunc = HRESULT (*)(BOOL doRegister);
using DescriptionFunc = const char* (*)();
using CategoriesFunc = const CategoryMapEntry* (*)();
using StartStopFunc = void (*)(BOOL starting);

// One class the module serves; the map ends with a record whose classId is null.
struct ObjectMapEntry {
    const CLSID* classId;
    UpdateRegistryFunc UpdateRegistry;
    ClassObjectCreator CreateClassObject;
    ObjectCreator CreateObject;
    platform::ComPtr<IUnknown> classObject; // the cached class factory; empty until first asked for
    DescriptionFunc GetDescription;
    CategoriesFunc GetCategories;
    StartStopFunc OnStartStop;
};

// The data is pointer-sized so that a callback can be handed an object's address
// in the 64-bit build as well.
using TermCallback = void (*)(uintptr_t data);

struct TermCallbackNode {
    TermCallback callback;
    uintptr_t data;
    std::unique_ptr<TermCallbackNode> next; // the next older node, or null
};

class CDriverModule {
public:
    CDriverModule() = default;
    CDriverModule(const CDriverModule&) = delete;
    CDriverModule& operator=(const CDriverModule&) = delete;

    // Always S_OK. Creates the locks and calls every entry's OnStartStop(TRUE);
    // no class object is made here.
    HRESULT Initialize(ObjectMapEntry* map, HINSTANCE instance);
    // Always S_OK. Releases the cached class objects, calls OnStartStop(FALSE),
    // deletes the locks, then runs the termination callbacks newest first. Runs
    // when no other call into the module can be under way.
    HRESULT Terminate();
    // DllGetClassObject: the cached class object of clsid (created once, under
    // m_objectMapLock) asked for iid. CLASS_E_CLASSNOTAVAILABLE for a class not
    // in the map.
    HRESULT FindClassObject(REFCLSID clsid, REFIID iid, void** out);
    // S_OK, or E_OUTOFMEMORY with the list unchanged.
    HRESULT AddTermCallback(TermCallback callback, uintptr_t data);

    // Atomic changes of m_lockCount; each returns the new count.
    LONG Lock() { return InterlockedIncrement(&m_lockCount); }
    LONG Unlock() { return InterlockedDecrement(&m_lockCount); }
    LONG GetLockCount() const { return m_lockCount; }
    // IClassFactory::LockServer. An unlock without a lock still held is ignored: an
    // unbalanced client would otherwise let the module unload under a live object.
    void LockServer();
    void UnlockServer();

    HINSTANCE m_hInstance = nullptr;
    // The module whose file holds the type library: the module itself.
    HINSTANCE m_hInstTypeLib = nullptr;
    ObjectMapEntry* m_objectMap = nullptr;
    volatile LONG m_lockCount = 0;
    // The LockServer(TRUE) calls not yet answered by a LockServer(FALSE); part of m_lockCount.
    volatile LONG m_serverLockCount = 0;
    // Present from Initialize to Terminate.
    std::optional<platform::CriticalSection> m_typeInfoLock;
    std::optional<platform::CriticalSection> m_objectMapLock;
    std::unique_ptr<TermCallbackNode> m_termList; // newest first
};

extern CDriverModule g_module;
