#include "registration/ModuleScript.h"

#include "automation/DriverModule.h"

HRESULT RunModuleScript(WORD resourceId, bool registerFlag, const ReplacementPair* extraPairs) noexcept {
    return RunModuleScriptFrom(g_module.m_hInstance, resourceId, registerFlag, extraPairs);
}
