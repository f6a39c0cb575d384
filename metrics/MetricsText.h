#pragma once
// What a scrape of /metrics returns: a sample of the server's state and the Prometheus text
// exposition format (version 0.0.4) it is written in.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "metrics/ServerCounters.h"

namespace metrics {

// One loop thread: the main loop ("main") or a session loop ("1", "2", ...).
struct LoopSample {
    std::string name;
    uint64_t busyNanoseconds = 0;
    int sessions = 0;
};

struct MetricsSample {
    std::string version;
    int64_t startTime = 0;  // seconds since 1970
    bool listening = false;
    int sessionSlots = 0;
    int sessionsActive = 0;
    CounterValues counters;
    std::vector<LoopSample> loops;
};

// The media type of the text FormatMetrics writes.
inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

std::string FormatMetrics(const MetricsSample& sample);

// A label value as the text format quotes it: backslash, double quote and line feed escaped.
std::string EscapeLabelValue(std::string_view value);

}  // namespace metrics
