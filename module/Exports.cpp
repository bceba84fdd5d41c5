// The module's four exports.

#include "automation/DriverModule.h"
#include "framework/ModuleState.h"
#include "registration/ServerRegistration.h"
#include "registry/Registry.h"
#include "settings/StoredSettings.h"

#include <windows.h>
#include <objbase.h>

namespace {

constexpr char kDisplayName[] = "Morvantis";

// The name is written only into a profile that exists: registration never creates it.
void NameProfileKey() {
    platform::UniqueHKey key;
    if (settings::OpenSettingsKey(settings::KeyAccess::Write, key) != ERROR_SUCCESS)
        return;
    // The result is not looked at: the name is a courtesy to ASCOM's chooser.
    registry::SetValue(key.get(), nullptr, REG_SZ, kDisplayName, sizeof kDisplayName);
}

} // namespace

// The platform asks for a class object; the framework is not involved, so the
// module state is left alone.
STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
    return g_module.FindClassObject(clsid, iid, out);
}

// S_OK only when the framework holds nothing of this module and no object, held
// class factory or server lock keeps it.
STDAPI DllCanUnloadNow() {
    AFX_MAINTAIN_STATE2 state(GetDriverModuleState());
    if (AfxDllCanUnloadNow() == S_OK && g_module.GetLockCount() == 0)
        return S_OK;
    return S_FALSE;
}

// Neither registration export switches the framework's module state: registration
// needs only the instance handle that g_module holds.
STDAPI DllRegisterServer() {
    const HRESULT result = RegisterServer(g_module, true);
    NameProfileKey();
    return result;
}

STDAPI DllUnregisterServer() {
    return UnregisterServer(g_module, true);
}
