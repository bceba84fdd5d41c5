#pragma once
// The server's own registration: the classes of the module's object map through
// their registry scripts and component categories, and the type library the
// module carries (or the ".tlb" file beside it).

#include "automation/DriverModule.h"

#include <windows.h>
#include <oaidl.h>

#include <cstddef>

// Registers every class of module's object map (only classId's entry when given),
// then, with registerTypeLib, the module's type library. The first failure of a
// class is returned at once; a failed type library leaves the classes registered.
HRESULT RegisterServer(const CDriverModule& module, bool registerTypeLib,
                       const CLSID* classId = nullptr) noexcept;
// The same walk in the unregister direction; every step is tried whatever the
// previous one gave, and the result is always S_OK. While the server of the other
// bitness is registered for a class in the other registry view (64-bit Windows),
// only this view's class key goes: the ProgID keys, shared by both views, stay.
HRESULT UnregisterServer(const CDriverModule& module, bool unregisterTypeLib,
                         const CLSID* classId = nullptr) noexcept;

// Registers (or unregisters) classId's implemented (kind 1) and required (other
// kinds) categories of a list ended by kind 0. Null list: S_OK at once. S_OK as
// well when the categories manager cannot be created; unregistering ignores
// every failure.
HRESULT RegisterClassCategories(REFCLSID classId, const CategoryMapEntry* categories,
                                bool doRegister) noexcept;

// Loads the type library of module's file, or when that file holds none, of the
// file named like it with the extension ".tlb". index (may be null) is appended
// to the module path first. On success *typeLib holds the library and *path the
// file it came from (free with SysFreeString); on failure both are null.
HRESULT LoadModuleTypeLib(const CDriverModule& module, const wchar_t* index, ITypeLib** typeLib,
                          BSTR* path) noexcept;
// RegisterTypeLib for the library LoadModuleTypeLib finds, with the folder of its
// file as the help directory.
HRESULT RegisterModuleTypeLib(const CDriverModule& module, const wchar_t* index) noexcept;
// Removes the registration of that library's identifier, version, locale and
// system kind. Returns the result of loading it: a registration that cannot be
// removed (no UnRegisterTypeLib in "oleaut32.dll") is not reported. While the
// library stays registered for the other system kind, the other view's interface
// keys that the platform removed as well are written back as they were.
HRESULT UnregisterModuleTypeLib(const CDriverModule& module, const wchar_t* index) noexcept;

// Characters of path up to and including its last '\\', '/' or ':'; 0 without one.
size_t PathPrefixLength(const wchar_t* path) noexcept;
