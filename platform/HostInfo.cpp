#include "platform/HostInfo.h"

#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace platform {

std::string OsReleasePrettyName(const std::string& osRelease) {
    std::istringstream lines(osRelease);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
        std::string value = line.substr(12);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return "";
}

HostFacts ReadHostFacts() {
    HostFacts facts;
    ReadHostNames(facts);
    ReadHostLoad(facts);
    return facts;
}

void ReadHostNames(HostFacts& facts) {
    utsname uts{};
    if (::uname(&uts) == 0) {
        facts.kernelName = uts.sysname;
        facts.kernelRelease = uts.release;
        facts.machine = uts.machine;
    }
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream file(path);
        if (!file) continue;
        std::stringstream text;
        text << file.rdbuf();
        facts.osName = OsReleasePrettyName(text.str());
        break;
    }
}

void ReadHostLoad(HostFacts& facts) {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) == 0) facts.hostName = name;
    facts.processors = std::thread::hardware_concurrency();
    struct sysinfo info {};
    if (::sysinfo(&info) == 0) {
        // The kernel gives the averages in fixed point with 16 fraction bits.
        auto hundredths = [](unsigned long load) {
            return static_cast<uint32_t>((load * 100 + (1UL << 15)) >> 16);
        };
        facts.load1 = hundredths(info.loads[0]);
        facts.load5 = hundredths(info.loads[1]);
        facts.load15 = hundredths(info.loads[2]);
        uint64_t unit = info.mem_unit ? info.mem_unit : 1;
        facts.memoryTotalMiB = static_cast<uint32_t>(uint64_t{info.totalram} * unit >> 20);
        facts.systemUptime = static_cast<uint32_t>(info.uptime);
    }
    // MemAvailable counts the reclaimable cache too, which sysinfo's freeram does not.
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    uint64_t kib = 0;
    std::string unit;
    while (meminfo >> key >> kib >> unit) {
        if (key == "MemAvailable:") {
            facts.memoryAvailableMiB = static_cast<uint32_t>(kib >> 10);
            break;
        }
    }
}

}  // namespace platform
