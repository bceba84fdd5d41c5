#include "tests/common/ProcessUsage.h"

#include <vector>

namespace testing_support {

namespace {

// All of them taken, counted, freed.
long FreeTlsSlots() {
    std::vector<DWORD> slots;
    slots.reserve(TLS_MINIMUM_AVAILABLE + 1024);
    for (;;) {
        const DWORD slot = TlsAlloc();
        if (slot == TLS_OUT_OF_INDEXES)
            break;
        slots.push_back(slot);
    }
    for (DWORD slot : slots)
        TlsFree(slot);
    return static_cast<long>(slots.size());
}

// Every handle value is tried, which sees every kind of handle alike.
long OpenHandles() {
    long count = 0;
    DWORD flags = 0;
    for (ULONG_PTR value = 4; value < 0x10000; value += 4)
        count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
    return count;
}

// Region by region.
long long PrivateBytes() {
    long long total = 0;
    MEMORY_BASIC_INFORMATION region;
    const char* address = nullptr;
    while (VirtualQuery(address, &region, sizeof region) == sizeof region) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            total += static_cast<long long>(region.RegionSize);
        const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
        if (next <= address)
            break;
        address = next;
    }
    return total;
}

} // namespace

ProcessUsage CurrentUsage() {
    ProcessUsage usage;
    usage.freeTlsSlots = FreeTlsSlots();
    usage.handles = OpenHandles();
    usage.privateBytes = PrivateBytes();
    return usage;
}

} // namespace testing_support
