#include "registration/ServerRegistration.h"

#include "platform/Owners.h"
#include "platform/Result.h"
#include "platform/Text.h"
#include "registration/KeySnapshot.h"
#include "registration/RegScriptParser.h"
#include "registry/Registry.h"

#include <comcat.h>

#include <cstdio>
#include <cstring>

namespace {

using UnRegisterTypeLibFunc = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);

bool IsSelected(const ObjectMapEntry& entry, const CLSID* classId) {
    if (classId != nullptr)
        return std::memcmp(entry.classId, classId, sizeof(CLSID)) == 0;
    return entry.GetDescription == nullptr || entry.GetDescription() == nullptr;
}

const CategoryMapEntry* CategoriesOf(const ObjectMapEntry& entry) {
    return entry.GetCategories != nullptr ? entry.GetCategories() : nullptr;
}

HRESULT UpdateClass(const ObjectMapEntry& entry, bool doRegister) {
    return entry.UpdateRegistry != nullptr ? entry.UpdateRegistry(doRegister ? TRUE : FALSE) : S_OK;
}

// True while the other bitness's server of the class is registered in its view.
// The ProgID keys that both views share then still serve it.
bool OtherViewServesClass(REFCLSID classId) {
    const REGSAM view = registry::OtherView();
    if (view == 0)
        return false;
    char path[64];
    registry::GuidKeyPath("CLSID", classId, path);
    char server[sizeof path + sizeof "\\InprocServer32"];
    std::snprintf(server, sizeof server, "%s\\InprocServer32", path);
    platform::UniqueHKey key;
    return registry::OpenKey(HKEY_CLASSES_ROOT, server, KEY_READ | view, key) == ERROR_SUCCESS;
}

// True while the library is registered for the other bitness too: its platform
// branch "TypeLib\{libid}\major.minor\lcid\win32" (or win64), which both views share.
bool OtherPlatformRegistered(const TLIBATTR& attr) {
    const char* other = attr.syskind == SYS_WIN64 ? "win32" : attr.syskind == SYS_WIN32 ? "win64" : nullptr;
    if (other == nullptr)
        return false;
    char library[64];
    registry::GuidKeyPath("TypeLib", attr.guid, library);
    char path[128];
    // The platform names the version and the locale in hexadecimal.
    std::snprintf(path, sizeof path, "%s\\%x.%x\\%lx\\%s", library, attr.wMajorVerNum, attr.wMinorVerNum,
                  static_cast<unsigned long>(attr.lcid), other);
    platform::UniqueHKey key;
    return registry::OpenKey(HKEY_CLASSES_ROOT, path, KEY_READ, key) == ERROR_SUCCESS;
}

// The other view's interface keys of every interface the library describes, as
// they are before UnRegisterTypeLib runs in this view.
class OtherViewInterfaces {
public:
    explicit OtherViewInterfaces(ITypeLib* library) noexcept {
        const REGSAM view = registry::OtherView();
        if (view == 0)
            return;
        const UINT count = library->GetTypeInfoCount();
        for (UINT i = 0; i < count && m_count < MaxKeys; ++i) {
            TYPEKIND kind = TKIND_MAX;
            platform::ComPtr<ITypeInfo> info;
            if (FAILED(library->GetTypeInfoType(i, &kind)) ||
                (kind != TKIND_INTERFACE && kind != TKIND_DISPATCH) ||
                FAILED(library->GetTypeInfo(i, info.put())))
                continue;
            platform::UniqueTypeAttr attr(info.get());
            if (FAILED(info->GetTypeAttr(attr.put())))
                continue;
            char path[64];
            registry::GuidKeyPath("Interface", attr->guid, path);
            m_keys[m_count].Take(HKEY_CLASSES_ROOT, path, view);
            if (!m_keys[m_count].empty())
                ++m_count;
        }
    }
    // Wine's UnRegisterTypeLib removes an interface's key from both views; on
    // Windows it keeps to the caller's view, and this finds nothing to do.
    void RestoreMissing() const noexcept {
        for (size_t i = 0; i < m_count; ++i)
            m_keys[i].RestoreIfMissing();
    }

private:
    static constexpr size_t MaxKeys = 8;
    CKeySnapshot m_keys[MaxKeys];
    size_t m_count = 0;
};

// LoadTypeLib on an ANSI path.
HRESULT LoadFrom(const char* path, wchar_t (&widePath)[MAX_PATH + 16], ITypeLib** typeLib) {
    RETURN_LAST_ERROR_IF(MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, MAX_PATH + 16) == 0);
    return LoadTypeLib(widePath, typeLib);
}

} // namespace

HRESULT RegisterServer(const CDriverModule& module, bool registerTypeLib, const CLSID* classId) noexcept {
    for (const ObjectMapEntry* entry = module.m_objectMap; entry != nullptr && entry->classId != nullptr;
         ++entry) {
        if (!IsSelected(*entry, classId))
            continue;
        RETURN_IF_FAILED(UpdateClass(*entry, true));
        RETURN_IF_FAILED(RegisterClassCategories(*entry->classId, CategoriesOf(*entry), true));
    }
    if (registerTypeLib)
        return RegisterModuleTypeLib(module, nullptr);
    return S_OK;
}

HRESULT UnregisterServer(const CDriverModule& module, bool unregisterTypeLib, const CLSID* classId) noexcept {
    for (const ObjectMapEntry* entry = module.m_objectMap; entry != nullptr && entry->classId != nullptr;
         ++entry) {
        if (!IsSelected(*entry, classId))
            continue;
        if (OtherViewServesClass(*entry->classId)) {
            // Only the class key is this view's own: the other bitness's server
            // still needs the keys both views share (the ProgIDs).
            char path[64];
            registry::GuidKeyPath("CLSID", *entry->classId, path);
            RegisterClassCategories(*entry->classId, CategoriesOf(*entry), false);
            CRegScriptParser::DeleteKeyTree(HKEY_CLASSES_ROOT, path);
            continue;
        }
        UpdateClass(*entry, false);
        RegisterClassCategories(*entry->classId, CategoriesOf(*entry), false);
    }
    if (unregisterTypeLib)
        UnregisterModuleTypeLib(module, nullptr);
    return S_OK;
}

HRESULT RegisterClassCategories(REFCLSID classId, const CategoryMapEntry* categories,
                                bool doRegister) noexcept {
    if (categories == nullptr)
        return S_OK;
    platform::ComPtr<ICatRegister> manager;
    if (FAILED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                IID_ICatRegister, manager.put_void())))
        return S_OK;
    for (const CategoryMapEntry* entry = categories; entry->kind != 0; ++entry) {
        // The manager's methods take a writable array; it only reads the one entry.
        CATID* category = const_cast<CATID*>(entry->catid);
        const bool implemented = entry->kind == 1;
        if (doRegister) {
            RETURN_IF_FAILED(implemented ? manager->RegisterClassImplCategories(classId, 1, category)
                                         : manager->RegisterClassReqCategories(classId, 1, category));
        } else if (implemented) {
            manager->UnRegisterClassImplCategories(classId, 1, category);
        } else {
            manager->UnRegisterClassReqCategories(classId, 1, category);
        }
    }
    return S_OK;
}

HRESULT LoadModuleTypeLib(const CDriverModule& module, const wchar_t* index, ITypeLib** typeLib,
                          BSTR* path) noexcept {
    if (typeLib == nullptr || path == nullptr)
        return E_POINTER;
    *typeLib = nullptr;
    *path = nullptr;

    // Room behind the 260 characters of the module path for the ".tlb" ending.
    char filePath[MAX_PATH + 16] = {};
    const DWORD length = GetModuleFileNameA(module.m_hInstTypeLib, filePath, MAX_PATH);
    RETURN_LAST_ERROR_IF(length == 0);
    if (index != nullptr) {
        if (!platform::NarrowInto(index, filePath + length, sizeof filePath - length))
            return E_INVALIDARG;
    }

    wchar_t widePath[MAX_PATH + 16];
    platform::ComPtr<ITypeLib> library;
    HRESULT result = LoadFrom(filePath, widePath, library.put());
    if (FAILED(result)) {
        char* dot = nullptr;
        char* end = filePath;
        for (; *end != '\0'; end = CharNextA(end)) {
            if (*end == '.')
                dot = end;
        }
        char* tail = dot != nullptr ? dot : end;
        if (static_cast<size_t>(tail - filePath) + sizeof ".tlb" > sizeof filePath)
            return result;
        std::memcpy(tail, ".tlb", sizeof ".tlb");
        result = LoadFrom(filePath, widePath, library.put());
        if (FAILED(result))
            return result;
    }

    BSTR pathText = SysAllocString(widePath);
    if (pathText == nullptr)
        return E_OUTOFMEMORY;
    *path = pathText;
    *typeLib = library.detach();
    return result;
}

HRESULT RegisterModuleTypeLib(const CDriverModule& module, const wchar_t* index) noexcept {
    platform::ComPtr<ITypeLib> library;
    platform::UniqueBstr path;
    RETURN_IF_FAILED(LoadModuleTypeLib(module, index, library.put(), path.put()));
    wchar_t helpDir[MAX_PATH] = {};
    size_t prefix = PathPrefixLength(path.get());
    if (prefix >= MAX_PATH)
        prefix = MAX_PATH - 1;
    std::memcpy(helpDir, path.get(), prefix * sizeof(wchar_t));
    helpDir[prefix] = L'\0';
    return RegisterTypeLib(library.get(), path.get(), helpDir);
}

HRESULT UnregisterModuleTypeLib(const CDriverModule& module, const wchar_t* index) noexcept {
    platform::ComPtr<ITypeLib> library;
    platform::UniqueBstr path;
    const HRESULT result = LoadModuleTypeLib(module, index, library.put(), path.put());
    if (FAILED(result))
        return result;
    platform::UniqueLibAttr attributes(library.get());
    if (SUCCEEDED(library->GetLibAttr(attributes.put())) && attributes) {
        const TLIBATTR* attr = attributes.get();
        // Looked up at run time: automation libraries that lack the function still
        // let the module load and register.
        const platform::UniqueModule automation(LoadLibraryA("oleaut32.dll"));
        if (automation) {
            const auto unregister = reinterpret_cast<UnRegisterTypeLibFunc>(
                reinterpret_cast<void (*)()>(GetProcAddress(automation.get(), "UnRegisterTypeLib")));
            if (unregister != nullptr) {
                // The platform keeps the library's shared keys while the other
                // platform's branch remains; the interface keys of that view are
                // put back only for as long as the other bitness is registered.
                const OtherViewInterfaces otherView(library.get());
                unregister(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
                if (OtherPlatformRegistered(*attr))
                    otherView.RestoreMissing();
            }
        }
    }
    return result;
}

size_t PathPrefixLength(const wchar_t* path) noexcept {
    size_t prefix = 0;
    if (path == nullptr)
        return 0;
    for (size_t i = 0; path[i] != L'\0'; ++i) {
        if (path[i] == L'\\' || path[i] == L'/' || path[i] == L':')
            prefix = i + 1;
    }
    return prefix;
}
