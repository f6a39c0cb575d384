#pragma once
// The server's one bandwidth schedule, guarded by the socket engine's lock. Readers take a
// copy; a replacement recomputes the budget at once.

#include "messages/ThrottleData.h"

CFtpThrottleData CopyThrottleSchedule();
void ReplaceThrottleSchedule(const CFtpThrottleData& schedule);
// Makes the socket engine's budget follow the schedule.
void InstallThrottleSchedule();
