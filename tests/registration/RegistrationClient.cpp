// A client of the registered server, run by the registration tests in a process
// of its own: creates Morvantis.Focuser by its ProgID as an ASCOM client does,
// makes one call, and prints the file whose code serves the object.
//
// registration_client [--mta] [--move N]
// --mta: joins the multithreaded apartment, where the apartment-model object
// lives on a thread of COM's own and every call crosses the interface's proxy.
// --move N: a session on the linked focuser: link, move to N, wait until it
// stops (30 s at most), read the position, unlink.
// Exit code 0 when all went well.

#include "contract/FocuserContract.h"
#include "platform/Owners.h"

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool Check(const char* step, HRESULT hr) {
    if (SUCCEEDED(hr))
        return true;
    std::printf("%s: 0x%08lx\n", step, static_cast<unsigned long>(hr));
    return false;
}

bool Session(IFocuser* focuser, LONG target) {
    if (!Check("put_Link", focuser->put_Link(VARIANT_TRUE)) || !Check("Move", focuser->Move(target)))
        return false;
    const DWORD started = GetTickCount();
    VARIANT_BOOL moving = VARIANT_TRUE;
    while (moving != VARIANT_FALSE) {
        if (!Check("get_IsMoving", focuser->get_IsMoving(&moving)))
            return false;
        if (GetTickCount() - started > 30000) {
            std::printf("still moving after 30 s\n");
            return false;
        }
        Sleep(50);
    }
    LONG position = -1;
    if (!Check("get_Position", focuser->get_Position(&position)) ||
        !Check("put_Link", focuser->put_Link(VARIANT_FALSE)))
        return false;
    std::printf("position %ld\n", static_cast<long>(position));
    return position == target;
}

} // namespace

int main(int argc, char** argv) {
    bool mta = false;
    bool session = false;
    LONG target = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--mta") == 0) {
            mta = true;
        } else if (std::strcmp(argv[i], "--move") == 0 && i + 1 < argc) {
            session = true;
            target = std::atol(argv[++i]);
        } else {
            std::printf("usage: registration_client [--mta] [--move N]\n");
            return 2;
        }
    }
    platform::ComApartment apartment(mta ? COINIT_MULTITHREADED : COINIT_APARTMENTTHREADED);
    if (!Check("CoInitializeEx", apartment.result()))
        return 1;
    CLSID clsid = {};
    if (!Check("CLSIDFromProgID", CLSIDFromProgID(L"Morvantis.Focuser", &clsid)))
        return 1;
    platform::ComPtr<IFocuser> focuser;
    if (!Check("CoCreateInstance",
               CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IFocuser, focuser.put_void())))
        return 1;
    VARIANT_BOOL absolute = 0x5a5a;
    HRESULT hr = focuser->get_Absolute(&absolute);
    if (hr != S_OK || absolute != VARIANT_TRUE) {
        std::printf("get_Absolute: 0x%08lx, %d\n", static_cast<unsigned long>(hr), absolute);
        return 1;
    }
    // The module that holds the code of the object's first method (in the
    // multithreaded apartment: of its proxy).
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
    if (session && !Session(focuser.get(), target))
        return 1;
    return 0;
}
