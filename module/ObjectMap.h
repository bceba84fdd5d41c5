#pragma once
// The classes this server serves, handed to g_module when the application starts.

#include "automation/DriverModule.h"

extern ObjectMapEntry g_objectMap[];
