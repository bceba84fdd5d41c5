#include "tools/DispatchClient.h"

#include <cstdio>
#include <utility>
#include <vector>

namespace tools {

using platform::ComPtr;
using platform::UniqueBstr;

std::wstring FromAnsi(const std::string& text) {
    if (text.empty())
        return std::wstring();
    const int size = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (size <= 1)
        return std::wstring();
    std::wstring result(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &result[0], size);
    result.resize(static_cast<size_t>(size - 1));
    return result;
}

std::string SystemMessage(HRESULT code) {
    char buffer[512] = {};
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(code), 0, buffer, static_cast<DWORD>(sizeof buffer), nullptr);
    std::string text(buffer, length);
    while (!text.empty() &&
           (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return text;
}

namespace {

// "what (the platform's text)", or just "what" when the platform has no text.
std::string Explain(const std::string& what, HRESULT code) {
    const std::string text = SystemMessage(code);
    return text.empty() ? what : what + " (" + text + ")";
}

} // namespace

HRESULT CDispatchClient::Create(const std::string& progId) {
    m_object.reset();
    const std::wstring wideProgId = FromAnsi(progId);
    CLSID classId = {};
    HRESULT hr = CLSIDFromProgID(wideProgId.c_str(), &classId);
    if (FAILED(hr))
        return Fail(hr, Explain("no class is registered as " + progId, hr));
    hr = CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, m_object.put_void());
    if (FAILED(hr))
        return Fail(hr, Explain("could not create " + progId, hr));
    m_error = DispatchError();
    return S_OK;
}

void CDispatchClient::Attach(ComPtr<IDispatch> object) {
    m_object = std::move(object);
    m_error = DispatchError();
}

void CDispatchClient::Release() {
    m_object.reset();
}

HRESULT CDispatchClient::Get(const wchar_t* name, platform::UniqueVariant& result) {
    DISPPARAMS params = {nullptr, nullptr, 0, 0};
    const HRESULT hr = Invoke(name, DISPATCH_PROPERTYGET, params, result.put());
    if (FAILED(hr))
        result.put();
    return hr;
}

HRESULT CDispatchClient::Put(const wchar_t* name, const VARIANT& value) {
    VARIANT argument = value; // Invoke does not change its arguments; the copy only drops const
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params = {&argument, &named, 1, 1};
    return Invoke(name, DISPATCH_PROPERTYPUT, params, nullptr);
}

HRESULT CDispatchClient::Call(const wchar_t* name, const VARIANT* args, UINT count) {
    // Invoke takes the arguments last one first. Plain copies: nothing here owns them.
    std::vector<VARIANT> reversed(args, args + count);
    for (size_t i = 0, j = reversed.size(); i + 1 < j; ++i, --j)
        std::swap(reversed[i], reversed[j - 1]);
    DISPPARAMS params = {reversed.empty() ? nullptr : reversed.data(), nullptr, count, 0};
    platform::UniqueVariant ignored;
    return Invoke(name, DISPATCH_METHOD, params, ignored.get());
}

HRESULT CDispatchClient::Invoke(const wchar_t* name, WORD flags, DISPPARAMS& params, VARIANT* result) {
    const std::string memberName = Narrow(name);
    if (!m_object)
        return Fail(E_POINTER, "no driver object to call " + memberName + " on");
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = m_object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr))
        return Fail(hr, Explain("the object has no member " + memberName, hr));

    EXCEPINFO info = {};
    UINT argError = 0;
    hr = m_object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &info, &argError);
    // The strings belong to the caller whatever the result.
    UniqueBstr source(info.bstrSource);
    UniqueBstr description(info.bstrDescription);
    UniqueBstr helpFile(info.bstrHelpFile);
    if (SUCCEEDED(hr)) {
        m_error = DispatchError();
        return hr;
    }
    if (hr == DISP_E_EXCEPTION) {
        if (info.pfnDeferredFillIn != nullptr) {
            source.release();
            description.release();
            helpFile.release();
            info.pfnDeferredFillIn(&info);
            source.reset(info.bstrSource);
            description.reset(info.bstrDescription);
            helpFile.reset(info.bstrHelpFile);
        }
        HRESULT code = info.scode;
        if (code == S_OK)
            code = info.wCode != 0 ? MAKE_HRESULT(SEVERITY_ERROR, FACILITY_DISPATCH, info.wCode) : hr;
        std::string text = Narrow(description.get());
        if (text.empty())
            text = Explain(memberName + " failed without a description", code);
        Fail(code, text, Narrow(source.get()));
        return hr;
    }
    return Fail(hr, Explain(memberName + " was refused", hr));
}

HRESULT CDispatchClient::Fail(HRESULT code, std::string description, std::string source) {
    m_error.code = code;
    m_error.description = std::move(description);
    m_error.source = std::move(source);
    return code;
}

} // namespace tools
