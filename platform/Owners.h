#pragma once
// Small RAII owners for the platform's handles, keys and allocations. Each owner
// knows the one value that means "empty" for its kind, so no caller compares a
// handle against the wrong sentinel.

#include <windows.h>
#include <oleauto.h>
#include <objbase.h>

#include <new>
#include <utility>

namespace platform {

template <typename Traits> class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() noexcept : m_value(Traits::Invalid()) {}
    explicit UniqueResource(Type value) noexcept : m_value(value) {}
    UniqueResource(UniqueResource&& other) noexcept : m_value(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    ~UniqueResource() { reset(); }

    Type get() const noexcept { return m_value; }
    bool valid() const noexcept { return m_value != Traits::Invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    // Closes what is held and hands out the slot for an out-parameter.
    Type* put() noexcept {
        reset();
        return &m_value;
    }
    Type release() noexcept {
        Type value = m_value;
        m_value = Traits::Invalid();
        return value;
    }
    // Closes the held value; the close result is returned for the few callers
    // that must look at it.
    bool reset(Type value = Traits::Invalid()) noexcept {
        bool ok = true;
        if (m_value != Traits::Invalid())
            ok = Traits::Close(m_value);
        m_value = value;
        return ok;
    }

private:
    Type m_value;
};

struct FileHandleTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool Close(Type h) noexcept { return CloseHandle(h) != FALSE; }
};
struct HandleTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return nullptr; }
    static bool Close(Type h) noexcept { return CloseHandle(h) != FALSE; }
};
struct FindTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool Close(Type h) noexcept { return FindClose(h) != FALSE; }
};
struct RegKeyTraits {
    using Type = HKEY;
    static Type Invalid() noexcept { return nullptr; }
    static bool Close(Type h) noexcept { return RegCloseKey(h) == ERROR_SUCCESS; }
};
struct ModuleTraits {
    using Type = HMODULE;
    static Type Invalid() noexcept { return nullptr; }
    static bool Close(Type h) noexcept { return FreeLibrary(h) != FALSE; }
};
struct LocalTraits {
    using Type = HLOCAL;
    static Type Invalid() noexcept { return nullptr; }
    static bool Close(Type h) noexcept { return LocalFree(h) == nullptr; }
};
struct BstrTraits {
    using Type = BSTR;
    static Type Invalid() noexcept { return nullptr; }
    static bool Close(Type s) noexcept {
        SysFreeString(s);
        return true;
    }
};

// INVALID_HANDLE_VALUE is empty: CreateFile's failure value.
using UniqueFile = UniqueResource<FileHandleTraits>;
// NULL is empty: events, threads, processes.
using UniqueHandle = UniqueResource<HandleTraits>;
// From FindFirstFile.
using UniqueFind = UniqueResource<FindTraits>;
using UniqueHKey = UniqueResource<RegKeyTraits>;
using UniqueModule = UniqueResource<ModuleTraits>;
using UniqueBstr = UniqueResource<BstrTraits>;
// A block from LocalAlloc.
using UniqueLocal = UniqueResource<LocalTraits>;

// A block from the COM task allocator.
template <typename T> class CoTaskMemPtr {
public:
    CoTaskMemPtr() noexcept = default;
    explicit CoTaskMemPtr(T* p) noexcept : m_p(p) {}
    CoTaskMemPtr(CoTaskMemPtr&& other) noexcept : m_p(other.release()) {}
    CoTaskMemPtr& operator=(CoTaskMemPtr&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    CoTaskMemPtr(const CoTaskMemPtr&) = delete;
    CoTaskMemPtr& operator=(const CoTaskMemPtr&) = delete;
    ~CoTaskMemPtr() { reset(); }

    T* get() const noexcept { return m_p; }
    T** put() noexcept {
        reset();
        return &m_p;
    }
    T* release() noexcept { return std::exchange(m_p, nullptr); }
    void reset(T* p = nullptr) noexcept {
        if (m_p != nullptr)
            CoTaskMemFree(m_p);
        m_p = p;
    }

private:
    T* m_p = nullptr;
};

// An object built in a zeroed block from LocalAlloc, outside the C++ run-time:
// destroyed, then its block freed.
template <typename T> class LocalPtr {
public:
    LocalPtr() noexcept = default;
    explicit LocalPtr(T* p) noexcept : m_p(p) {}
    LocalPtr(LocalPtr&& other) noexcept : m_p(other.release()) {}
    LocalPtr& operator=(LocalPtr&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    LocalPtr(const LocalPtr&) = delete;
    LocalPtr& operator=(const LocalPtr&) = delete;
    ~LocalPtr() { reset(); }

    // bytes: at least sizeof(T); more for a record with a trailing array. Empty
    // when out of memory.
    static LocalPtr Make(size_t bytes = sizeof(T)) noexcept {
        void* block = LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, bytes);
        return LocalPtr(block != nullptr ? new (block) T() : nullptr);
    }

    T* get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }
    T* release() noexcept { return std::exchange(m_p, nullptr); }
    void reset(T* p = nullptr) noexcept {
        if (T* old = std::exchange(m_p, p)) {
            old->~T();
            LocalFree(old);
        }
    }

private:
    T* m_p = nullptr;
};

// An interface pointer that holds one reference.
template <typename T> class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    // Takes a new reference.
    explicit ComPtr(T* p) noexcept : m_p(p) {
        if (m_p != nullptr)
            m_p->AddRef();
    }
    ComPtr(const ComPtr& other) noexcept : ComPtr(other.m_p) {}
    ComPtr(ComPtr&& other) noexcept : m_p(other.detach()) {}
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(m_p, other.m_p);
        return *this;
    }
    ~ComPtr() { reset(); }

    // Adopts a reference that the caller already owns.
    static ComPtr Attach(T* p) noexcept {
        ComPtr result;
        result.m_p = p;
        return result;
    }

    T* get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }
    T** put() noexcept {
        reset();
        return &m_p;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    T* detach() noexcept { return std::exchange(m_p, nullptr); }
    void reset() noexcept {
        if (m_p != nullptr)
            std::exchange(m_p, nullptr)->Release();
    }

    template <typename U> HRESULT As(ComPtr<U>& out) const noexcept {
        return m_p->QueryInterface(__uuidof(U), out.put_void());
    }

private:
    T* m_p = nullptr;
};

// A VARIANT cleared on every way out.
class UniqueVariant {
public:
    UniqueVariant() noexcept { VariantInit(&m_v); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;
    ~UniqueVariant() { VariantClear(&m_v); }
    VARIANT* get() noexcept { return &m_v; }
    const VARIANT* get() const noexcept { return &m_v; }
    VARIANT* operator->() noexcept { return &m_v; }
    VARIANT* put() noexcept {
        VariantClear(&m_v);
        return &m_v;
    }

private:
    VARIANT m_v;
};

// The exception an IDispatch::Invoke fills: its three strings freed on every way
// out, and by put() before the next call fills it again.
class UniqueExcepInfo {
public:
    UniqueExcepInfo() noexcept = default;
    UniqueExcepInfo(const UniqueExcepInfo&) = delete;
    UniqueExcepInfo& operator=(const UniqueExcepInfo&) = delete;
    ~UniqueExcepInfo() { reset(); }
    const EXCEPINFO* get() const noexcept { return &m_info; }
    const EXCEPINFO* operator->() const noexcept { return &m_info; }
    EXCEPINFO* put() noexcept {
        reset();
        return &m_info;
    }
    void reset() noexcept {
        SysFreeString(m_info.bstrSource);
        SysFreeString(m_info.bstrDescription);
        SysFreeString(m_info.bstrHelpFile);
        m_info = EXCEPINFO();
    }

private:
    EXCEPINFO m_info = {};
};

// A description that a type information or type library lends out until it is
// handed back to the object that lent it. The lender must outlive the loan.
template <typename Loan> class TypeLoan {
public:
    using Lender = typename Loan::Lender;
    using Type = typename Loan::Type;

    explicit TypeLoan(Lender* lender) noexcept : m_lender(lender) {}
    TypeLoan(const TypeLoan&) = delete;
    TypeLoan& operator=(const TypeLoan&) = delete;
    ~TypeLoan() { reset(); }

    const Type* get() const noexcept { return m_p; }
    const Type* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }
    // Hands back what is held and gives the slot for the lender's Get call.
    Type** put() noexcept {
        reset();
        return &m_p;
    }
    void reset() noexcept {
        if (m_p != nullptr)
            Loan::GiveBack(m_lender, std::exchange(m_p, nullptr));
    }

private:
    Lender* m_lender;
    Type* m_p = nullptr;
};

struct TypeAttrLoan {
    using Lender = ITypeInfo;
    using Type = TYPEATTR;
    static void GiveBack(ITypeInfo* lender, TYPEATTR* p) noexcept { lender->ReleaseTypeAttr(p); }
};
struct FuncDescLoan {
    using Lender = ITypeInfo;
    using Type = FUNCDESC;
    static void GiveBack(ITypeInfo* lender, FUNCDESC* p) noexcept { lender->ReleaseFuncDesc(p); }
};
struct LibAttrLoan {
    using Lender = ITypeLib;
    using Type = TLIBATTR;
    static void GiveBack(ITypeLib* lender, TLIBATTR* p) noexcept { lender->ReleaseTLibAttr(p); }
};

// From ITypeInfo::GetTypeAttr, ITypeInfo::GetFuncDesc and ITypeLib::GetLibAttr.
using UniqueTypeAttr = TypeLoan<TypeAttrLoan>;
using UniqueFuncDesc = TypeLoan<FuncDescLoan>;
using UniqueLibAttr = TypeLoan<LibAttrLoan>;

// A critical section that lives as long as its owner.
class CriticalSection {
public:
    CriticalSection() noexcept { InitializeCriticalSection(&m_cs); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    ~CriticalSection() { DeleteCriticalSection(&m_cs); }
    void Enter() noexcept { EnterCriticalSection(&m_cs); }
    void Leave() noexcept { LeaveCriticalSection(&m_cs); }

private:
    CRITICAL_SECTION m_cs;
};

// Holds a critical section for one scope.
template <typename Lockable> class ScopedLock {
public:
    explicit ScopedLock(Lockable& lock) noexcept : m_lock(lock) { m_lock.Enter(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;
    ~ScopedLock() { m_lock.Leave(); }

private:
    Lockable& m_lock;
};

// A thread and the event that tells it to stop. Stop, and the destructor, set the
// event and wait for the thread to end before both handles are closed, so the
// thread never outlives what it was handed.
class StoppableThread {
public:
    StoppableThread() noexcept : m_stop(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    StoppableThread(const StoppableThread&) = delete;
    StoppableThread& operator=(const StoppableThread&) = delete;
    ~StoppableThread() { Stop(); }

    // Runs routine(context) on a new thread, once per owner. False when the event
    // or the thread could not be made, or a thread was started before.
    bool Start(LPTHREAD_START_ROUTINE routine, void* context) noexcept {
        if (!m_stop || m_thread)
            return false;
        m_thread.reset(CreateThread(nullptr, 0, routine, context, 0, nullptr));
        return m_thread.valid();
    }
    // For the thread: true when the stop came within timeoutMs, false when the
    // time ran out.
    bool WaitForStop(DWORD timeoutMs) const noexcept {
        return WaitForSingleObject(m_stop.get(), timeoutMs) == WAIT_OBJECT_0;
    }
    void Stop() noexcept {
        if (m_thread) {
            SetEvent(m_stop.get());
            WaitForSingleObject(m_thread.get(), INFINITE);
        }
        m_thread.reset();
        m_stop.reset();
    }

private:
    UniqueHandle m_stop;
    UniqueHandle m_thread;
};

// COM initialised on the calling thread for one scope; uninitialised only when
// the initialisation succeeded (S_FALSE counts: it must be balanced too).
class ComApartment {
public:
    explicit ComApartment(DWORD model = COINIT_APARTMENTTHREADED) noexcept
        : m_result(CoInitializeEx(nullptr, model)) {}
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment() {
        if (SUCCEEDED(m_result))
            CoUninitialize();
    }
    HRESULT result() const noexcept { return m_result; }

private:
    HRESULT m_result;
};

} // namespace platform
