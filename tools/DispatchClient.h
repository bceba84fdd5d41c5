#pragma once
// Late-bound calls on one automation object by member name, the way scripting
// clients make them: GetIDsOfNames, then Invoke. A failed call keeps what the
// object reported (EXCEPINFO description and source) for the caller to print.

#include "platform/Text.h"
#include "platform/Owners.h"

#include <oaidl.h>

#include <string>

namespace tools {

struct DispatchError {
    HRESULT code = S_OK;     // the failure code; for DISP_E_EXCEPTION the object's own code
    std::string description; // the object's message, or the platform's text for the code
    std::string source;      // who raised it (the object's ProgID); empty when not reported
};

class CDispatchClient {
public:
    // Creates the in-process object registered under progId and asks for IDispatch.
    HRESULT Create(const std::string& progId);
    // Uses an object that the caller already has.
    void Attach(platform::ComPtr<IDispatch> object);
    void Release();
    bool IsCreated() const { return static_cast<bool>(m_object); }

    // Reads a property into result (cleared first; left VT_EMPTY on failure).
    HRESULT Get(const wchar_t* name, platform::UniqueVariant& result);
    // Writes a property: one argument named DISPID_PROPERTYPUT.
    HRESULT Put(const wchar_t* name, const VARIANT& value);
    // Calls a method with count arguments given in their natural order.
    HRESULT Call(const wchar_t* name, const VARIANT* args, UINT count);

    const DispatchError& LastError() const { return m_error; }

private:
    HRESULT Invoke(const wchar_t* name, WORD flags, DISPPARAMS& params, VARIANT* result);
    HRESULT Fail(HRESULT code, std::string description, std::string source = std::string());

    platform::ComPtr<IDispatch> m_object;
    DispatchError m_error;
};

using platform::Narrow;
std::wstring FromAnsi(const std::string& text);
// The platform's message for an HRESULT without the trailing line break and full
// stop; empty when the platform has none.
std::string SystemMessage(HRESULT code);

} // namespace tools
