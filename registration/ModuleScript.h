#pragma once
// Runs one of this module's own registry scripts, the ones its classes use to
// register and unregister themselves.

#include "registration/RegScript.h"

#include <windows.h>

// The "REGISTRY" resource resourceId of this module (g_module's instance) in the
// register pass (registerFlag true) or the unregister pass, with "%MODULE%" the
// module's short path and the optional extraPairs (null-name terminated, may be
// null); an extra pair named "Module" never takes effect.
HRESULT RunModuleScript(WORD resourceId, bool registerFlag,
                        const ReplacementPair* extraPairs = nullptr) noexcept;
