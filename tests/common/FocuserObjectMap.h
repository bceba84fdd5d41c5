#pragma once
// The server's one class, for programs that drive a module object of their own:
// the class factory and the object from the automation layer, no registry script.

#include "automation/DriverModule.h"

namespace testing_support {

extern ObjectMapEntry g_focuserObjectMap[];

} // namespace testing_support
