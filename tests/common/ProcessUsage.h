#pragma once
// What this process holds, for tests that repeat a use many times and expect the
// host to end where it began. Measured the same way on Wine and on Windows: Wine
// answers 0 for the handle count and the private usage.

#include <windows.h>

namespace testing_support {

struct ProcessUsage {
    long freeTlsSlots = 0;      // TLS slots the process can still allocate
    long handles = 0;           // open handles of every kind
    long long privateBytes = 0; // committed private memory
};
ProcessUsage CurrentUsage();

} // namespace testing_support
