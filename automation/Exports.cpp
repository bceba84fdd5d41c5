#include "automation/DriverModule.h"
#include "module/ModuleState.h"

#include <windows.h>
#include <objbase.h>

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
