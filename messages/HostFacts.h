#pragma once
// Where the machine's facts travel in the system and OS information messages:
//
//   CFtpSysMsg  bytes[0]       processors (at most 255; moreValues[1] has the full count)
//               values[0..2]   load averages over 1, 5 and 15 minutes, in hundredths
//               values[3..4]   memory total and available, MiB
//               text           host name
//               moreValues[0]  seconds since the machine started
//               stamp          when the server started
//   CFtpOsMsg   text1          kernel name       text2  kernel release
//               text3          machine           text4  the distribution's name
//
// Every other item stays 0 or empty.

#include "messages/MsgObjects.h"
#include "platform/HostInfo.h"

void PutHostFacts(const platform::HostFacts& facts, CFtpSysMsg& system, CFtpOsMsg& os);
void PutSystemFacts(const platform::HostFacts& facts, CFtpSysMsg& system);
void PutOsFacts(const platform::HostFacts& facts, CFtpOsMsg& os);
// What the two messages say; either may be missing (null).
platform::HostFacts TakeHostFacts(const CFtpSysMsg* system, const CFtpOsMsg* os);
