#pragma once
// Elapsed time in milliseconds for time-outs. It comes from the performance
// counter, which runs on while the thread waits and which no change of the
// system time moves: on Windows the C run-time's clock() is computed from the
// system time, which time-synchronisation programs step forward and back. The
// 32-bit count wraps after 49.7 days: compare two readings by their difference.

#include <windows.h>

#include <cstdint>

namespace platform {

using ClockSource = uint32_t (*)();

inline uint32_t PerformanceCounterMs() {
    // Asked at every reading, not kept in a guarded static: of two threads that
    // make their first reading at once in a freshly loaded DLL, the waiting one
    // would sleep on the threading library's condition variable, and that
    // library would then build its per-thread record, whose TLS slot outlives
    // the unload. The frequency is fixed at boot and cheap to ask; neither call
    // fails on Windows XP and later.
    LARGE_INTEGER frequencyValue;
    QueryPerformanceFrequency(&frequencyValue);
    const LONGLONG frequency = frequencyValue.QuadPart;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    // Whole seconds and the rest apart: counts * 1000 would overflow after about
    // a month of uptime at a 3 GHz counter frequency.
    const LONGLONG seconds = now.QuadPart / frequency;
    const LONGLONG rest = now.QuadPart % frequency;
    return static_cast<uint32_t>(seconds * 1000 + rest * 1000 / frequency);
}

namespace detail {
inline ClockSource g_clockSource = nullptr;
} // namespace detail

// The clock in milliseconds: the performance counter, or a test's source.
inline uint32_t ClockMs() {
    const ClockSource source = detail::g_clockSource;
    return source != nullptr ? source() : PerformanceCounterMs();
}

// Tests only: ClockMs answers from source until it is reset with null.
inline void SetClockSource(ClockSource source) {
    detail::g_clockSource = source;
}

} // namespace platform
