#include "registration/ServerRegistration.h"

#include "registry/Registry.h"

#include <windows.h>

namespace {

// The driver's ASCOM profile key; its other values are the settings'.
constexpr char kProfileKey[] = "software\\ascom\\focuser drivers\\Morvantis.Focuser";
constexpr char kDisplayName[] = "Morvantis";
// ASCOM clients of either bitness read the profile in the 32-bit view, where the
// settings live too.
constexpr REGSAM kProfileAccess = KEY_READ | KEY_WRITE | KEY_WOW64_32KEY;

// The name is written only into a profile that exists: registration never creates it.
void NameProfileKey() {
    platform::UniqueHKey key;
    if (registry::OpenKey(HKEY_LOCAL_MACHINE, kProfileKey, kProfileAccess, key) != ERROR_SUCCESS)
        return;
    // The result is not looked at: the name is a courtesy to ASCOM's chooser.
    registry::SetValue(key.get(), nullptr, REG_SZ, kDisplayName, sizeof kDisplayName);
}

} // namespace

// Neither export switches the framework's module state: registration needs only
// the instance handle that g_module holds.
STDAPI DllRegisterServer() {
    const HRESULT result = RegisterServer(g_module, true);
    NameProfileKey();
    return result;
}

STDAPI DllUnregisterServer() {
    return UnregisterServer(g_module, true);
}
