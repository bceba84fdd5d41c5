#include "driver/ReportError.h"

#include "contract/FocuserContract.h"
#include "platform/Owners.h"

#include <oleauto.h>

#include <cstring>
#include <memory>
#include <new>

namespace {

// The interfaces whose failures carry an error object.
const IID* const kErrorInfoInterfaces[] = {&IID_IFocuser};

} // namespace

HRESULT ReportError(REFCLSID classId, REFIID interfaceId, const char* message) {
    // Terminator included; a code page's multi-byte sequences never give more
    // UTF-16 units than bytes, so this size always suffices.
    const int length = lstrlenA(message) + 1;
    std::unique_ptr<wchar_t[]> description(new (std::nothrow) wchar_t[length]);
    if (description) {
        // Stays empty if the conversion fails (a null message, for one).
        description[0] = L'\0';
        MultiByteToWideChar(CP_ACP, 0, message, -1, description.get(), length);
    }

    platform::ComPtr<ICreateErrorInfo> creator;
    if (FAILED(CreateErrorInfo(creator.put())) || !creator)
        return DISP_E_EXCEPTION;

    // Each field is best effort: a partial error object is still worth setting.
    creator->SetGUID(interfaceId);
    platform::CoTaskMemPtr<OLECHAR> progId;
    if (SUCCEEDED(ProgIDFromCLSID(classId, progId.put())) && progId.get() != nullptr)
        creator->SetSource(progId.get());
    progId.reset();
    wchar_t empty[1] = {L'\0'};
    creator->SetDescription(description ? description.get() : empty);

    platform::ComPtr<IErrorInfo> errorInfo;
    if (SUCCEEDED(creator->QueryInterface(IID_IErrorInfo, errorInfo.put_void())) && errorInfo)
        SetErrorInfo(0, errorInfo.get());
    return DISP_E_EXCEPTION;
}

HRESULT SupportsErrorInfo(REFIID iid) {
    for (const IID* supported : kErrorInfoInterfaces) {
        if (std::memcmp(supported, &iid, sizeof(IID)) == 0)
            return S_OK;
    }
    return S_FALSE;
}
