#pragma once
// The same snapshots as JSON documents for scripts, one per command.

#include <nlohmann/json.hpp>

#include "console/ConsoleSnapshot.h"

nlohmann::json StatusJson(const ConsoleSnapshot& snapshot, platform::Time32 now);
nlohmann::json SessionsJson(const ConsoleSnapshot& snapshot);
nlohmann::json EventsJson(const ConsoleSnapshot& snapshot);
nlohmann::json FileEventsJson(const ConsoleSnapshot& snapshot);
// {"rules": {"failures": 10, "window_minutes": 10, "ban_minutes": 60}, "bans": [...]}; rules
// are null from a server that keeps no bans.
nlohmann::json BansJson(const ConsoleSnapshot& snapshot);
// The schedule as {"enabled": bool, "days": {"sun": [{"start": "08:00", "kbps": 512}]...}}.
nlohmann::json ScheduleJson(const CFtpThrottleData& schedule);
