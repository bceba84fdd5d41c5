#pragma once
// The module-wide type information of IFocuser, loaded from the registered type
// library on first use and shared by every driver object of every apartment. Name
// lookup and invocation are the platform's type information's; a small cache of
// member names answers a name spelled exactly without asking the platform.

#include "platform/Owners.h"

#include <windows.h>
#include <oaidl.h>

#include <atomic>
#include <cstdint>
#include <memory>

struct NameCacheEntry {
    platform::UniqueBstr name; // null in an entry whose name could not be had
    int32_t length = 0;        // UTF-16 code units
    DISPID dispid = DISPID_UNKNOWN;
};

class CTypeInfoCache {
public:
    constexpr CTypeInfoCache(const IID* iid, const GUID* libid, WORD majorVersion, WORD minorVersion) noexcept
        : m_iid(iid), m_libid(libid), m_majorVersion(majorVersion), m_minorVersion(minorVersion) {}
    CTypeInfoCache(const CTypeInfoCache&) = delete;
    CTypeInfoCache& operator=(const CTypeInfoCache&) = delete;

    // Loads the type information once (under the module's m_typeInfoLock) with the
    // locale of the first caller. A failure (for example TYPE_E_LIBNOTREGISTERED)
    // leaves nothing cached, so the next call tries again.
    HRESULT EnsureTypeInfo(LCID locale);
    // One reference to the type information in *typeInfo, or null and the load's failure.
    HRESULT GetTypeInfo(LCID locale, ITypeInfo** typeInfo);
    // A single member name spelled exactly is answered from the name cache;
    // everything else (other case, parameter names) by the type information.
    HRESULT GetIDsOfNames(LPOLESTR* names, UINT nameCount, LCID locale, DISPID* dispids);
    // The type information's Invoke on instance (an IFocuser pointer), all
    // arguments passed through.
    HRESULT Invoke(IDispatch* instance, DISPID dispid, LCID locale, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* exception, UINT* argError);
    // The termination callback: data is the cache's address. Harmless when nothing is loaded.
    static void ReleaseTypeInfo(uintptr_t cache);

    bool IsLoaded() const { return m_loaded.load(std::memory_order_acquire); }
    int32_t NameCount() const { return m_nameCount; }

private:
    void BuildNameCache(ITypeInfo* typeInfo);
    // The loaded type information, or null; safe without the lock once IsLoaded is true.
    ITypeInfo* Loaded() const { return IsLoaded() ? m_typeInfo.get() : nullptr; }
    // Loads the type information on the first call; null with the load's failure
    // code in *failure when it cannot be had.
    ITypeInfo* LoadOnce(LCID locale, HRESULT* failure);

    const IID* m_iid;
    const GUID* m_libid;
    WORD m_majorVersion;
    WORD m_minorVersion;
    // Written only under the lock while m_loaded is false; m_loaded publishes them.
    platform::ComPtr<ITypeInfo> m_typeInfo;
    std::unique_ptr<NameCacheEntry[]> m_names;
    int32_t m_nameCount = 0;
    std::atomic<bool> m_loaded{false};
};

extern CTypeInfoCache g_focuserTypeInfo;
