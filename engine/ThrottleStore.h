#pragma once
// The bandwidth schedule's place in the registry, so that a schedule a console installed
// survives a restart: key "Throttle" below the settings with "State", "Version",
// "DefaultSpeed", "Timestamp", and sub-keys "DayNN\ZoneNN" (days 00-06, zones 00-03) holding
// "StartTime" and "MaxSpeed". A day key's "Zones" value gives the day's own zone count (then
// "ZoneNN" runs up to it), so a schedule of more or fewer than four zones a day comes back as
// it was saved; a day key without it has the default four.

#include "messages/ThrottleData.h"

// Reads the stored schedule over the default one; false (schedule untouched) when there is
// none or it cannot be read.
bool LoadThrottleSchedule(CFtpThrottleData& schedule);
bool SaveThrottleSchedule(const CFtpThrottleData& schedule);
// At start-up: the stored schedule becomes the server's, if there is a readable one.
bool RestoreThrottleSchedule();
