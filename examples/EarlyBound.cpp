// EarlyBound: a C++ client that calls the focuser driver through the IFocuser
// table of functions (early binding), with the declaration and identifiers that
// the driver's interface definition generates. Failures are read the COM way:
// the member returns a failure code, ISupportErrorInfo confirms that IFocuser
// sets error information, and GetErrorInfo yields the driver's message.
//
//   EarlyBound [target]
//
// Without a target the focuser moves by a tenth of its range. Exit status 0 when
// every step worked, 1 otherwise.

#include "contract/FocuserContract.h"
#include "platform/Owners.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using platform::ComPtr;

std::string Narrow(const wchar_t* text) {
    if (text == nullptr)
        return std::string();
    char buffer[512] = {};
    WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, sizeof buffer - 1, nullptr, nullptr);
    return buffer;
}

std::string GuidText(const GUID& guid) {
    wchar_t text[64] = {};
    StringFromGUID2(guid, text, 64);
    return Narrow(text);
}

// Prints the failure of a member and the error object the driver set for it.
bool Fail(IFocuser* focuser, const char* what, HRESULT hr) {
    std::printf("FAILED %s: code 0x%08lX\n", what, static_cast<unsigned long>(hr));
    ComPtr<ISupportErrorInfo> support;
    if (focuser == nullptr || FAILED(focuser->QueryInterface(IID_ISupportErrorInfo, support.put_void())) ||
        support->InterfaceSupportsErrorInfo(IID_IFocuser) != S_OK)
        return false;
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) != S_OK)
        return false;
    platform::UniqueBstr description;
    platform::UniqueBstr source;
    GUID guid = GUID_NULL;
    info->GetDescription(description.put());
    info->GetSource(source.put());
    info->GetGUID(&guid);
    std::printf("  description: %s\n  source:      %s\n  interface:   %s%s\n",
                Narrow(description.get()).c_str(), Narrow(source.get()).c_str(), GuidText(guid).c_str(),
                IsEqualGUID(guid, IID_IFocuser) ? " (IFocuser)" : "");
    std::fflush(stdout);
    return false;
}

bool Run(int argc, char** argv) {
    ComPtr<IFocuser> focuser;
    HRESULT hr =
        CoCreateInstance(CLSID_Focuser, nullptr, CLSCTX_INPROC_SERVER, IID_IFocuser, focuser.put_void());
    if (FAILED(hr)) {
        std::printf("FAILED creating the Focuser class %s: code 0x%08lX (is the driver registered?)\n",
                    GuidText(CLSID_Focuser).c_str(), static_cast<unsigned long>(hr));
        return false;
    }
    std::printf("Created the Focuser class %s.\n", GuidText(CLSID_Focuser).c_str());

    if (FAILED(hr = focuser->put_Link(VARIANT_TRUE)))
        return Fail(focuser.get(), "put_Link(VARIANT_TRUE)", hr);
    VARIANT_BOOL linked = 0x5555;
    focuser->get_Link(&linked);
    std::printf("Linked: get_Link gives %d.\n", linked);

    long maxStep = 0;
    long maxIncrement = 0;
    VARIANT_BOOL absolute = 0x5555;
    float temperature = 0;
    if (FAILED(hr = focuser->get_MaxStep(&maxStep)) ||
        FAILED(hr = focuser->get_MaxIncrement(&maxIncrement)) ||
        FAILED(hr = focuser->get_Absolute(&absolute)) || FAILED(hr = focuser->get_Temperature(&temperature)))
        return Fail(focuser.get(), "reading the capabilities", hr);
    std::printf("MaxStep %ld, MaxIncrement %ld, Absolute %d, Temperature %.1f\n", maxStep, maxIncrement,
                absolute, static_cast<double>(temperature));

    long position = 0;
    if (FAILED(hr = focuser->get_Position(&position)))
        return Fail(focuser.get(), "get_Position", hr);
    long target = position < maxStep / 2 ? position + maxStep / 10 : position - maxStep / 10;
    if (argc > 1)
        target = std::strtol(argv[1], nullptr, 10);
    std::printf("Position %ld; moving to %ld.\n", position, target);
    std::fflush(stdout);

    const ULONGLONG started = GetTickCount64();
    if (FAILED(hr = focuser->Move(target)))
        return Fail(focuser.get(), "Move", hr);
    for (;;) {
        VARIANT_BOOL moving = VARIANT_FALSE;
        if (FAILED(hr = focuser->get_IsMoving(&moving)))
            return Fail(focuser.get(), "get_IsMoving", hr);
        if (moving == VARIANT_FALSE)
            break;
        if (GetTickCount64() - started > 300000) {
            focuser->Halt();
            std::printf("FAILED: still moving after 300 s; halted\n");
            return false;
        }
        Sleep(100);
    }
    if (FAILED(hr = focuser->get_Position(&position)))
        return Fail(focuser.get(), "get_Position", hr);
    std::printf("Stopped at %ld after %.1f s.\n", position,
                static_cast<double>(GetTickCount64() - started) / 1000.0);
    if (position != target) {
        std::printf("FAILED: the focuser stopped at %ld, not at %ld\n", position, target);
        return false;
    }

    std::printf("Move(%ld), beyond MaxStep, to show the driver's error:\n", maxStep + 1);
    hr = focuser->Move(maxStep + 1);
    if (SUCCEEDED(hr)) {
        std::printf("FAILED: the driver accepted a target beyond MaxStep\n");
        return false;
    }
    Fail(focuser.get(), "Move beyond MaxStep (as intended)", hr);

    if (FAILED(hr = focuser->put_Link(VARIANT_FALSE)))
        return Fail(focuser.get(), "put_Link(VARIANT_FALSE)", hr);
    std::printf("Unlinked.\n");
    return true;
}

} // namespace

int main(int argc, char** argv) {
    platform::ComApartment apartment;
    if (FAILED(apartment.result())) {
        std::printf("FAILED: COM did not initialise (0x%08lX)\n",
                    static_cast<unsigned long>(apartment.result()));
        return 1;
    }
    const bool ok = Run(argc, argv);
    std::printf("%s\n", ok ? "Done." : "Stopped after a failure.");
    return ok ? 0 : 1;
}
