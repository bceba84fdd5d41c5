#include "automation/TypeInfoCache.h"

#include "automation/DriverModule.h"
#include "contract/FocuserContract.h"

#include <cstring>
#include <new>

CTypeInfoCache g_focuserTypeInfo(&IID_IFocuser, &LIBID_MorvantisLib, 1, 0);

HRESULT CTypeInfoCache::EnsureTypeInfo(LCID locale) {
    if (IsLoaded())
        return S_OK;

    HRESULT result = S_OK;
    bool loadedHere = false;
    {
        platform::ScopedLock<platform::CriticalSection> lock(*g_module.m_typeInfoLock);
        if (!m_loaded.load(std::memory_order_relaxed)) {
            platform::ComPtr<ITypeLib> library;
            result = LoadRegTypeLib(*m_libid, m_majorVersion, m_minorVersion, locale, library.put());
            if (SUCCEEDED(result)) {
                // For a dual interface this is the dispatch description, whose
                // functions carry the DISPIDs.
                platform::ComPtr<ITypeInfo> typeInfo;
                result = library->GetTypeInfoOfGuid(*m_iid, typeInfo.put());
                if (SUCCEEDED(result)) {
                    BuildNameCache(typeInfo.get());
                    m_typeInfo = std::move(typeInfo);
                    m_loaded.store(true, std::memory_order_release);
                    loadedHere = true;
                    result = S_OK;
                }
            }
        }
    }
    // Registered once per load, outside the lock (AddTermCallback takes the same
    // lock): a client polling while the library is unregistered must not grow the
    // termination list with every failed attempt.
    if (loadedHere)
        g_module.AddTermCallback(&CTypeInfoCache::ReleaseTypeInfo, reinterpret_cast<uintptr_t>(this));
    return result;
}

void CTypeInfoCache::BuildNameCache(ITypeInfo* typeInfo) {
    platform::UniqueTypeAttr attributes(typeInfo);
    if (FAILED(typeInfo->GetTypeAttr(attributes.put())))
        return;
    const int32_t count = attributes->cFuncs;
    if (count != 0) {
        std::unique_ptr<NameCacheEntry[]> names(new (std::nothrow) NameCacheEntry[count]);
        if (names) {
            for (int32_t i = 0; i < count; ++i) {
                platform::UniqueFuncDesc function(typeInfo);
                if (FAILED(typeInfo->GetFuncDesc(static_cast<UINT>(i), function.put())))
                    continue;
                platform::UniqueBstr name;
                if (SUCCEEDED(
                        typeInfo->GetDocumentation(function->memid, name.put(), nullptr, nullptr, nullptr)) &&
                    name) {
                    names[i].length = static_cast<int32_t>(SysStringLen(name.get()));
                    names[i].dispid = function->memid;
                    names[i].name = std::move(name);
                }
            }
            m_names = std::move(names);
            m_nameCount = count;
        }
    }
}

ITypeInfo* CTypeInfoCache::LoadOnce(LCID locale, HRESULT* failure) {
    *failure = S_OK;
    if (!IsLoaded())
        *failure = EnsureTypeInfo(locale);
    return Loaded();
}

HRESULT CTypeInfoCache::GetTypeInfo(LCID locale, ITypeInfo** typeInfo) {
    HRESULT result = S_OK;
    ITypeInfo* loaded = LoadOnce(locale, &result);
    *typeInfo = loaded;
    if (loaded == nullptr)
        return result;
    loaded->AddRef();
    return S_OK;
}

HRESULT CTypeInfoCache::GetIDsOfNames(LPOLESTR* names, UINT nameCount, LCID locale, DISPID* dispids) {
    HRESULT result = S_OK;
    ITypeInfo* loaded = LoadOnce(locale, &result);
    if (loaded == nullptr)
        return result;
    if (nameCount == 0)
        return S_OK;
    if (names == nullptr || dispids == nullptr)
        return E_POINTER;

    if (nameCount == 1 && names[0] != nullptr) {
        const int32_t length = lstrlenW(names[0]);
        // Case-sensitive and exact: any other spelling goes to the platform,
        // whose lookup ignores case.
        for (int32_t i = m_nameCount - 1; i >= 0; --i) {
            const NameCacheEntry& entry = m_names[i];
            if (entry.name && entry.length == length &&
                std::memcmp(entry.name.get(), names[0], sizeof(OLECHAR) * static_cast<size_t>(length)) == 0) {
                dispids[0] = entry.dispid;
                return S_OK;
            }
        }
    }
    return loaded->GetIDsOfNames(names, nameCount, dispids);
}

HRESULT CTypeInfoCache::Invoke(IDispatch* instance, DISPID dispid, LCID locale, WORD flags,
                               DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception, UINT* argError) {
    HRESULT loadResult = S_OK;
    ITypeInfo* loaded = LoadOnce(locale, &loadResult);
    if (loaded == nullptr)
        return loadResult;
    return loaded->Invoke(instance, dispid, flags, params, result, exception, argError);
}

void CTypeInfoCache::ReleaseTypeInfo(uintptr_t data) {
    CTypeInfoCache* cache = reinterpret_cast<CTypeInfoCache*>(data);
    cache->m_loaded.store(false, std::memory_order_release);
    cache->m_typeInfo.reset();
    cache->m_names.reset();
    cache->m_nameCount = 0;
}
