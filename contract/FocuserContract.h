#pragma once
// The client contract as generated from contract/Focuser.idl: IFocuser, and the
// identifiers IID_IFocuser, CLSID_Focuser and LIBID_MorvantisLib.

#include <windows.h>
#include <oaidl.h>

#include "Focuser.h"
