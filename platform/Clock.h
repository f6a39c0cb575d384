#pragma once
// The one clock all protocol time goes through. Times are 32-bit seconds since 1970, as the
// engine stores them. Tests move this clock instead of sleeping through time-outs.

#include <cstdint>
#include <ctime>
#include <string>

namespace platform {

using Time32 = uint32_t;

class Clock {
public:
    // Current time: the system clock, or the fixed time a test has set.
    static Time32 Now();
    // The same clock in milliseconds since 1970 (a frozen clock stands on its second).
    static uint64_t NowMs();

    // Test control. Freeze the clock at t; move a frozen (or running) clock by delta seconds;
    // go back to following the system clock.
    static void Freeze(Time32 t);
    static void Advance(int64_t deltaSeconds);
    static void AdvanceMs(int64_t deltaMs);
    static void Release();
};

// Local-time breakdown and its inverse (mktime semantics, DST decided by the library).
struct tm LocalTime(Time32 t);
Time32 MakeLocalTime(struct tm parts);
// "2026-12-08 23:10:05" in local time.
std::string LocalTimeText(Time32 t);

// Milliseconds of a monotonic clock, for measuring intervals that must not jump.
uint64_t MonotonicMs();

}  // namespace platform
