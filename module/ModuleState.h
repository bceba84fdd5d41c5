#pragma once
// This module's own framework state, made current by every entry into the module.

#include "framework/ModuleState.h"

AFX_MODULE_STATE* GetDriverModuleState();
