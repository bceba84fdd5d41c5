#include "registration/ServerRegistration.h"

#include "platform/Owners.h"

#include <comcat.h>

#include <cstring>

namespace {

using UnRegisterTypeLibFunc = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);

// The attributes a type library lends out until they are handed back.
class LibAttributes {
public:
    explicit LibAttributes(ITypeLib* library) noexcept : m_library(library) {
        if (FAILED(m_library->GetLibAttr(&m_attributes)))
            m_attributes = nullptr;
    }
    LibAttributes(const LibAttributes&) = delete;
    LibAttributes& operator=(const LibAttributes&) = delete;
    ~LibAttributes() {
        if (m_attributes != nullptr)
            m_library->ReleaseTLibAttr(m_attributes);
    }
    const TLIBATTR* get() const noexcept { return m_attributes; }

private:
    ITypeLib* m_library;
    TLIBATTR* m_attributes = nullptr;
};

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

HRESULT LastErrorResult() {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

// LoadTypeLib on an ANSI path.
HRESULT LoadFrom(const char* path, wchar_t (&widePath)[MAX_PATH + 16], ITypeLib** typeLib) {
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, MAX_PATH + 16) == 0)
        return LastErrorResult();
    return LoadTypeLib(widePath, typeLib);
}

} // namespace

HRESULT RegisterServer(const CDriverModule& module, bool registerTypeLib, const CLSID* classId) noexcept {
    HRESULT result = S_OK;
    for (const ObjectMapEntry* entry = module.m_objectMap; entry != nullptr && entry->classId != nullptr;
         ++entry) {
        if (!IsSelected(*entry, classId))
            continue;
        result = UpdateClass(*entry, true);
        if (FAILED(result))
            return result;
        result = RegisterClassCategories(*entry->classId, CategoriesOf(*entry), true);
        if (FAILED(result))
            return result;
    }
    if (registerTypeLib)
        return RegisterModuleTypeLib(module, nullptr);
    return result;
}

HRESULT UnregisterServer(const CDriverModule& module, bool unregisterTypeLib, const CLSID* classId) noexcept {
    for (const ObjectMapEntry* entry = module.m_objectMap; entry != nullptr && entry->classId != nullptr;
         ++entry) {
        if (!IsSelected(*entry, classId))
            continue;
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
            const HRESULT result = implemented ? manager->RegisterClassImplCategories(classId, 1, category)
                                               : manager->RegisterClassReqCategories(classId, 1, category);
            if (FAILED(result))
                return result;
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
    if (length == 0)
        return LastErrorResult();
    if (index != nullptr) {
        const int room = static_cast<int>(sizeof filePath - length);
        if (WideCharToMultiByte(CP_ACP, 0, index, -1, filePath + length, room, nullptr, nullptr) == 0)
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
    const HRESULT result = LoadModuleTypeLib(module, index, library.put(), path.put());
    if (FAILED(result))
        return result;
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
    const LibAttributes attributes(library.get());
    if (const TLIBATTR* attr = attributes.get()) {
        // Looked up at run time: automation libraries that lack the function still
        // let the module load and register.
        const platform::UniqueModule automation(LoadLibraryA("oleaut32.dll"));
        if (automation) {
            const auto unregister = reinterpret_cast<UnRegisterTypeLibFunc>(
                reinterpret_cast<void (*)()>(GetProcAddress(automation.get(), "UnRegisterTypeLib")));
            if (unregister != nullptr)
                unregister(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
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
