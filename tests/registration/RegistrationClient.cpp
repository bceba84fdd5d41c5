// A client of the registered server, run by the registration tests in a process
// of its own: creates Morvantis.Focuser by its ProgID as an ASCOM client does,
// makes one call, and prints the file whose code serves the object.
// Exit code 0 when all went well.

#include "contract/FocuserContract.h"
#include "platform/Owners.h"

#include <windows.h>
#include <objbase.h>

#include <cstdio>

int main() {
    platform::ComApartment apartment;
    if (FAILED(apartment.result())) {
        std::printf("CoInitializeEx: 0x%08lx\n", static_cast<unsigned long>(apartment.result()));
        return 1;
    }
    CLSID clsid = {};
    HRESULT hr = CLSIDFromProgID(L"Morvantis.Focuser", &clsid);
    if (FAILED(hr)) {
        std::printf("CLSIDFromProgID: 0x%08lx\n", static_cast<unsigned long>(hr));
        return 1;
    }
    platform::ComPtr<IFocuser> focuser;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IFocuser, focuser.put_void());
    if (FAILED(hr)) {
        std::printf("CoCreateInstance: 0x%08lx\n", static_cast<unsigned long>(hr));
        return 1;
    }
    VARIANT_BOOL absolute = 0x5a5a;
    hr = focuser->get_Absolute(&absolute);
    if (hr != S_OK || absolute != VARIANT_TRUE) {
        std::printf("get_Absolute: 0x%08lx, %d\n", static_cast<unsigned long>(hr), absolute);
        return 1;
    }
    // The module that holds the code of the object's first method.
    const void* method = (*reinterpret_cast<void* const* const*>(focuser.get()))[0];
    HMODULE server = nullptr;
    char path[MAX_PATH] = {};
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<const char*>(method), &server) ||
        GetModuleFileNameA(server, path, MAX_PATH) == 0) {
        std::printf("no module holds the object's code\n");
        return 1;
    }
    std::printf("module %s\n", path);
    return 0;
}
