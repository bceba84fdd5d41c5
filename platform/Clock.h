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
    // Never fails on Windows XP and later.
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
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
