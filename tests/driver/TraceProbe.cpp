// A second client process for the trace tests: links the built driver once and
// unlinks, so its session is traced while the test's own one is open.
// driver_trace_probe  (prints the link's result; exit 0 when the calls returned)

#include "tests/common/DriverHarness.h"

#include <cstdio>

int main() {
    platform::ComApartment apartment;
    testing_support::LoadedDriver driver;
    platform::ComPtr<IFocuser> focuser;
    if (!driver.loaded() || FAILED(driver.Create(focuser)))
        return 1;
    const HRESULT hr = focuser->put_Link(VARIANT_TRUE);
    focuser->put_Link(VARIANT_FALSE);
    std::printf("link 0x%08lX\n", static_cast<unsigned long>(hr));
    return 0;
}
