#include "net/HostAddress.h"

#include <gtest/gtest.h>

TEST(HostAddressTest, HostAndPortTextsOfBothFamilies) {
    std::string host, problem;
    int port = -1;
    struct Case {
        const char* text;
        const char* host;
        int port;
    };
    for (const Case& c :
         {Case{"127.0.0.1", "127.0.0.1", 0}, Case{"example.org:1205", "example.org", 1205},
          Case{"[::1]:1205", "::1", 1205}, Case{"[::1]", "::1", 0}, Case{"::1", "::1", 0},
          Case{"2001:db8::7", "2001:db8::7", 0}}) {
        ASSERT_TRUE(SplitHostPort(c.text, host, port, problem)) << c.text << ": " << problem;
        EXPECT_EQ(host, c.host) << c.text;
        EXPECT_EQ(port, c.port) << c.text;
    }
    EXPECT_FALSE(SplitHostPort("[::1", host, port, problem));
    EXPECT_EQ(problem, "\"[::1\" has no closing ]");
    EXPECT_FALSE(SplitHostPort("[::1]1205", host, port, problem));
    EXPECT_FALSE(SplitHostPort("host:0", host, port, problem));
    EXPECT_EQ(problem, "the port in \"host:0\" must be a number from 1 to 65535");
    EXPECT_FALSE(SplitHostPort("host:99999", host, port, problem));
    EXPECT_FALSE(SplitHostPort(":21", host, port, problem));
    EXPECT_FALSE(SplitHostPort("[]:21", host, port, problem));

    EXPECT_EQ(AddressPortText("::1", 21), "[::1]:21");
    EXPECT_EQ(AddressPortText("127.0.0.1", 21), "127.0.0.1:21");
}

TEST(HostAddressTest, TheAddressShownIsOneClientsCanReach) {
    const std::vector<std::string> machine = {"127.0.0.1",   "::1",       "169.254.3.4", "fe80::1",
                                              "2001:db8::5", "192.0.2.9", "198.51.100.1"};
    EXPECT_EQ(ChooseHostAddress("192.0.2.7", machine), "192.0.2.7") << "the bound address";
    EXPECT_EQ(ChooseHostAddress("0.0.0.0", machine), "192.0.2.9") << "never loopback";
    EXPECT_EQ(ChooseHostAddress("::", machine), "192.0.2.9") << "IPv4 first";
    EXPECT_EQ(ChooseHostAddress("::", {"127.0.0.1", "::1", "fe80::1", "2001:db8::5"}),
              "2001:db8::5");
    EXPECT_EQ(ChooseHostAddress("0.0.0.0", {"127.0.0.1", "2001:db8::5"}), "")
        << "an IPv4-only listener is not reached over IPv6";
    EXPECT_EQ(ChooseHostAddress("::1", machine), "::1");
}

TEST(HostAddressTest, LocalAddressesOfBothFamilies) {
    std::string canonical;
    EXPECT_TRUE(IsLocalAddress("::", canonical));
    EXPECT_EQ(canonical, "::");
    EXPECT_TRUE(IsLocalAddress("0:0::1", canonical));
    EXPECT_EQ(canonical, "::1");
    EXPECT_TRUE(IsLocalAddress("127.0.0.1", canonical));
    EXPECT_TRUE(IsLocalAddress("0.0.0.0", canonical));
    EXPECT_FALSE(IsLocalAddress("2001:db8::7", canonical)) << "not an address of this machine";
    EXPECT_FALSE(IsLocalAddress("localhost", canonical)) << "names do not count";
    EXPECT_FALSE(IsLocalAddress("", canonical));

    std::string resolved;
    ASSERT_TRUE(ResolveHost("0:0::1", resolved));
    EXPECT_EQ(resolved, "::1");
    ASSERT_TRUE(ResolveHost("127.0.0.1", resolved));
    EXPECT_EQ(resolved, "127.0.0.1");
}
