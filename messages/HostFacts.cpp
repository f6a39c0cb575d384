#include "messages/HostFacts.h"

#include <algorithm>

void PutHostFacts(const platform::HostFacts& facts, CFtpSysMsg& system, CFtpOsMsg& os) {
    PutSystemFacts(facts, system);
    PutOsFacts(facts, os);
}

void PutSystemFacts(const platform::HostFacts& facts, CFtpSysMsg& system) {
    system.bytes = {static_cast<uint8_t>(std::min<uint32_t>(facts.processors, 255)), 0, 0};
    system.values = {facts.load1, facts.load5, facts.load15, facts.memoryTotalMiB,
                     facts.memoryAvailableMiB};
    system.text = facts.hostName;
    system.moreValues = {facts.systemUptime, facts.processors};
    system.stamp = facts.serverStart;
    if (!facts.hostAddress.empty()) {
        system.version = CFtpSysMsg::kAddressVersion;
        system.address = facts.hostAddress;
    }
}

void PutOsFacts(const platform::HostFacts& facts, CFtpOsMsg& os) {
    os.text1 = facts.kernelName;
    os.text2 = facts.kernelRelease;
    os.text3 = facts.machine;
    os.text4 = facts.osName;
}

platform::HostFacts TakeHostFacts(const CFtpSysMsg* system, const CFtpOsMsg* os) {
    platform::HostFacts facts;
    if (system) {
        facts.processors = system->moreValues[1] ? system->moreValues[1] : system->bytes[0];
        facts.load1 = system->values[0];
        facts.load5 = system->values[1];
        facts.load15 = system->values[2];
        facts.memoryTotalMiB = system->values[3];
        facts.memoryAvailableMiB = system->values[4];
        facts.hostName = system->text;
        facts.systemUptime = system->moreValues[0];
        facts.serverStart = system->stamp;
        facts.hostAddress = system->address;
    }
    if (os) {
        facts.kernelName = os->text1;
        facts.kernelRelease = os->text2;
        facts.machine = os->text3;
        facts.osName = os->text4;
    }
    return facts;
}
