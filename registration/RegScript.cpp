#include "registration/RegScript.h"

#include "platform/Result.h"
#include "platform/Text.h"
#include "registration/RegScriptParser.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

using platform::CoTaskMemPtr;

namespace {

constexpr size_t InitialPairCapacity = 10;

HRESULT CopyToTaskMem(const wchar_t* text, CoTaskMemPtr<wchar_t>& copy) noexcept {
    const size_t bytes = (static_cast<size_t>(lstrlenW(text)) + 1) * sizeof(wchar_t);
    copy.reset(static_cast<wchar_t*>(CoTaskMemAlloc(bytes)));
    if (copy.get() == nullptr)
        return E_OUTOFMEMORY;
    std::memcpy(copy.get(), text, bytes);
    return S_OK;
}

} // namespace

CRegScript::~CRegScript() = default;

HRESULT CRegScript::AddReplacement(const wchar_t* name, const wchar_t* text) noexcept {
    std::unique_ptr<Replacement> pair(new (std::nothrow) Replacement);
    if (!pair)
        return E_OUTOFMEMORY;
    if (FAILED(CopyToTaskMem(name, pair->name)) || FAILED(CopyToTaskMem(text, pair->text)))
        return E_OUTOFMEMORY;
    if (m_count == m_capacity) {
        const size_t capacity = m_capacity == 0 ? InitialPairCapacity : m_capacity * 2;
        std::unique_ptr<std::unique_ptr<Replacement>[]> grown(
            capacity > SIZE_MAX / sizeof(std::unique_ptr<Replacement>)
                ? nullptr
                : new (std::nothrow) std::unique_ptr<Replacement>[capacity]);
        if (!grown)
            return E_OUTOFMEMORY;
        for (size_t i = 0; i < m_count; ++i)
            grown[i] = std::move(m_pairs[i]);
        m_pairs = std::move(grown);
        m_capacity = capacity;
    }
    m_pairs[m_count++] = std::move(pair);
    return S_OK;
}

void CRegScript::ClearReplacements() noexcept {
    for (size_t i = 0; i < m_count; ++i)
        m_pairs[i].reset();
    m_count = 0;
}

const wchar_t* CRegScript::FindReplacement(const char* name) const noexcept {
    for (size_t i = 0; i < m_count; ++i) {
        CoTaskMemPtr<char> stored;
        if (FAILED(platform::NarrowCopy(m_pairs[i]->name.get(), stored)))
            continue;
        if (lstrcmpiA(stored.get(), name) == 0)
            return m_pairs[i]->text.get();
    }
    return nullptr;
}

HRESULT CRegScript::RunResourceScript(const wchar_t* modulePath, WORD resourceId, const wchar_t* type,
                                      bool registerFlag) noexcept {
    CoTaskMemPtr<char> path;
    CoTaskMemPtr<char> typeName;
    RETURN_IF_FAILED(platform::NarrowCopy(modulePath, path));
    RETURN_IF_FAILED(platform::NarrowCopy(type, typeName));

    // Mapped as data: the file is opened again by path and none of its code runs.
    platform::UniqueModule module(LoadLibraryExA(path.get(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    RETURN_LAST_ERROR_IF(!module);
    HRSRC resource = FindResourceA(module.get(), MAKEINTRESOURCEA(resourceId), typeName.get());
    RETURN_LAST_ERROR_IF(resource == nullptr);
    HGLOBAL loaded = LoadResource(module.get(), resource);
    RETURN_LAST_ERROR_IF(loaded == nullptr);
    const DWORD size = SizeofResource(module.get(), resource);
    const char* data = static_cast<const char*>(LockResource(loaded));
    RETURN_LAST_ERROR_IF(data == nullptr && size != 0);

    // The resource is read-only and carries no terminator of its own; an inner
    // NUL ends the text early.
    size_t length = 0;
    while (length < size && data[length] != '\0')
        ++length;
    CoTaskMemPtr<char> text(static_cast<char*>(CoTaskMemAlloc(length + 1)));
    if (text.get() == nullptr)
        return E_OUTOFMEMORY;
    if (length != 0)
        std::memcpy(text.get(), data, length);
    text.get()[length] = '\0';

    CRegScriptParser parser(*this);
    return parser.ApplyScript(text.get(), registerFlag);
}

HRESULT RunModuleScriptFrom(HINSTANCE instance, WORD resourceId, bool registerFlag,
                            const ReplacementPair* extraPairs) noexcept {
    CRegScript script;

    char longPath[MAX_PATH] = {};
    const DWORD longLength = GetModuleFileNameA(instance, longPath, MAX_PATH);
    // A cut path would name another file.
    RETURN_LAST_ERROR_IF(longLength == 0 || longLength >= MAX_PATH);

    // The short form keeps spaces out of the registered path. Without one (short
    // names switched off on the volume, or a form over MAX_PATH) the long path is
    // the file itself and serves as well.
    char shortPath[MAX_PATH] = {};
    const DWORD shortLength = GetShortPathNameA(longPath, shortPath, MAX_PATH);
    const char* usedPath = (shortLength == 0 || shortLength >= MAX_PATH) ? longPath : shortPath;

    wchar_t widePath[MAX_PATH] = {};
    RETURN_LAST_ERROR_IF(MultiByteToWideChar(CP_ACP, 0, usedPath, -1, widePath, MAX_PATH) == 0);

    // The placeholder stands inside a quoted token of the script.
    wchar_t quotedPath[2 * MAX_PATH] = {};
    size_t out = 0;
    for (const wchar_t* c = widePath; *c != L'\0'; ++c) {
        if (*c == L'\'')
            quotedPath[out++] = L'\'';
        quotedPath[out++] = *c;
    }
    quotedPath[out] = L'\0';

    // A pair that cannot be added leaves its placeholder unknown, and the script
    // run reports that.
    script.AddReplacement(L"Module", quotedPath);
    for (const ReplacementPair* pair = extraPairs; pair != nullptr && pair->name != nullptr; ++pair)
        script.AddReplacement(pair->name, pair->text);

    const HRESULT hr = script.RunResourceScript(widePath, resourceId, L"REGISTRY", registerFlag);
    script.ClearReplacements();
    return hr;
}
