#include "platform/Clock.h"

#include <atomic>
#include <chrono>

namespace platform {
namespace {
std::atomic<bool> g_frozen{false};
std::atomic<int64_t> g_frozenAtMs{0};
std::atomic<int64_t> g_offsetMs{0};
}  // namespace

Time32 Clock::Now() {
    return static_cast<Time32>(NowMs() / 1000u);
}

uint64_t Clock::NowMs() {
    if (g_frozen.load(std::memory_order_acquire)) return static_cast<uint64_t>(g_frozenAtMs.load());
    using namespace std::chrono;
    int64_t ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    return static_cast<uint64_t>(ms + g_offsetMs.load());
}

void Clock::Freeze(Time32 t) {
    g_frozenAtMs.store(static_cast<int64_t>(t) * 1000);
    g_frozen.store(true, std::memory_order_release);
}

void Clock::Advance(int64_t deltaSeconds) {
    AdvanceMs(deltaSeconds * 1000);
}

void Clock::AdvanceMs(int64_t deltaMs) {
    if (g_frozen.load(std::memory_order_acquire))
        g_frozenAtMs.fetch_add(deltaMs);
    else
        g_offsetMs.fetch_add(deltaMs);
}

void Clock::Release() {
    g_frozen.store(false, std::memory_order_release);
    g_offsetMs.store(0);
}

struct tm LocalTime(Time32 t) {
    time_t value = static_cast<time_t>(t);
    struct tm parts {};
    localtime_r(&value, &parts);
    return parts;
}

std::string LocalTimeText(Time32 t) {
    struct tm local = LocalTime(t);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

Time32 MakeLocalTime(struct tm parts) {
    parts.tm_isdst = -1;
    return static_cast<Time32>(::mktime(&parts));
}

uint64_t MonotonicMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace platform
