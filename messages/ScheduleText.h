#pragma once
// The weekly bandwidth schedule as text a person can write and read back:
//
//   enabled yes
//   mon 08:00 512      # from 08:00 on Monday, 512 KB/s
//   all 00:00 1000     # a zone on every day
//
// One line per zone; "#" starts a comment; days are sun mon tue wed thu fri sat or all.
// Formatting gives every zone of every day in time order, so format, edit and parse round-trip.

#include <string>
#include <vector>

#include "messages/ThrottleData.h"

std::string FormatSchedule(const CFtpThrottleData& schedule);

// Replaces the zones of every day with what text says (a day without lines gets none), and
// enabled when a line gives it; the password is kept. At most 24 zones a day. On any error
// nothing is changed and errors holds one "line N: ..." sentence per bad line.
bool ParseSchedule(const std::string& text, CFtpThrottleData& schedule,
                   std::vector<std::string>& errors);
