#include <gtest/gtest.h>

#include "messages/HostFacts.h"

using Bytes = std::vector<uint8_t>;

TEST(HostFactsTest, FactsTravelThroughTheTwoMessagesAndBack) {
    platform::HostFacts facts;
    facts.hostName = "ftp-host";
    facts.kernelName = "Linux";
    facts.kernelRelease = "6.1.0";
    facts.machine = "x86_64";
    facts.osName = "Debian GNU/Linux 12 (bookworm)";
    facts.processors = 300;  // more than the byte holds
    facts.load1 = 123;
    facts.load5 = 45;
    facts.load15 = 6;
    facts.memoryTotalMiB = 4096;
    facts.memoryAvailableMiB = 1024;
    facts.systemUptime = 86400;
    facts.serverStart = 1700000000;
    facts.hostAddress = "2001:db8::7";
    CFtpSysMsg system;
    CFtpOsMsg os;
    PutHostFacts(facts, system, os);
    EXPECT_EQ(system.bytes[0], 255);
    Bytes sys = StoreMessage(system), osBytes = StoreMessage(os);
    CFtpSysMsg systemBack;
    CFtpOsMsg osBack;
    LoadMessage(systemBack, sys.data(), sys.size());
    LoadMessage(osBack, osBytes.data(), osBytes.size());
    platform::HostFacts back = TakeHostFacts(&systemBack, &osBack);
    EXPECT_EQ(back.hostName, "ftp-host");
    EXPECT_EQ(back.osName, facts.osName);
    EXPECT_EQ(back.kernelRelease, "6.1.0");
    EXPECT_EQ(back.machine, "x86_64");
    EXPECT_EQ(back.processors, 300u);
    EXPECT_EQ(back.load1, 123u);
    EXPECT_EQ(back.memoryAvailableMiB, 1024u);
    EXPECT_EQ(back.systemUptime, 86400u);
    EXPECT_EQ(back.serverStart, 1700000000u);
    EXPECT_EQ(back.hostAddress, "2001:db8::7");

    // Without an address the message stays at the version that has none.
    facts.hostAddress.clear();
    CFtpSysMsg plain;
    PutSystemFacts(facts, plain);
    EXPECT_EQ(plain.version, 3u);

    // Without the messages nothing is made up.
    platform::HostFacts none = TakeHostFacts(nullptr, nullptr);
    EXPECT_EQ(none.hostName, "");
    EXPECT_EQ(none.serverStart, 0u);
}

TEST(HostFactsTest, PrettyNameIsReadQuotedOrNot) {
    EXPECT_EQ(platform::OsReleasePrettyName("NAME=x\nPRETTY_NAME=\"Debian GNU/Linux 12\"\n"),
              "Debian GNU/Linux 12");
    EXPECT_EQ(platform::OsReleasePrettyName("PRETTY_NAME=Arch"), "Arch");
    EXPECT_EQ(platform::OsReleasePrettyName("PRETTY_NAME='A B'\n"), "A B");
    EXPECT_EQ(platform::OsReleasePrettyName("NAME=x\n"), "");
    EXPECT_EQ(platform::OsReleasePrettyName("PRETTY_NAME=\"\n"), "\"") << "a lone quote stays";
}

TEST(HostFactsTest, TheRunningMachineHasANameAndProcessors) {
    platform::HostFacts facts = platform::ReadHostFacts();
    EXPECT_FALSE(facts.hostName.empty());
    EXPECT_GT(facts.processors, 0u);
    EXPECT_GT(facts.memoryTotalMiB, 0u);
    EXPECT_LE(facts.memoryAvailableMiB, facts.memoryTotalMiB);
    EXPECT_EQ(facts.kernelName, "Linux");
}
