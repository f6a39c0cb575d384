#pragma once
// Facts about the machine the server runs on, for a monitoring console: names, load, memory
// and uptime, read from the kernel (uname, sysinfo) and /etc/os-release.

#include <cstdint>
#include <string>

namespace platform {

struct HostFacts {
    std::string hostName;
    std::string hostAddress;  // where clients reach the server ("" unknown); the server fills it
    std::string kernelName, kernelRelease, machine;  // uname: "Linux", "6.1.0-18", "x86_64"
    std::string osName;                              // PRETTY_NAME of /etc/os-release
    uint32_t processors = 0;
    uint32_t load1 = 0, load5 = 0, load15 = 0;  // load averages in hundredths
    uint32_t memoryTotalMiB = 0, memoryAvailableMiB = 0;
    uint32_t systemUptime = 0;  // seconds since the machine started
    uint32_t serverStart = 0;   // seconds since 1970 when the server started; 0 unknown
};

HostFacts ReadHostFacts();
// The two halves of it: the kernel's and the distribution's names, and the host name with
// the processors, load, memory and uptime.
void ReadHostNames(HostFacts& facts);
void ReadHostLoad(HostFacts& facts);

// The PRETTY_NAME value of an os-release text ("" when it has none).
std::string OsReleasePrettyName(const std::string& osRelease);

}  // namespace platform
