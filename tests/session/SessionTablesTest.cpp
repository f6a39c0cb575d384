#include <gtest/gtest.h>

#include "session/Commands.h"
#include "session/DataCommands.h"
#include "session/DataSetup.h"
#include "session/Replies.h"

TEST(CommandTableTest, WordsAreUpperCasedAndStrippedBeforeLookup) {
    EXPECT_EQ(LookupCommand("retr file"), CMD_RETR);
    EXPECT_EQ(LookupCommand("Retr"), CMD_RETR);
    EXPECT_EQ(LookupCommand("RE-TR x"), CMD_RETR);
    EXPECT_EQ(LookupCommand("XCUP"), CMD_CDUP);
    EXPECT_EQ(LookupCommand("X CUP"), 0u) << "the word is X";
    EXPECT_EQ(LookupCommand("XMKD\tdir"), CMD_MKD);
    EXPECT_EQ(LookupCommand(""), 0u);
    int featured = 0;
    for (int i = 0; i < kCommandCount; ++i) featured += CommandTable()[i].inFeat;
    EXPECT_EQ(featured, 7);
    EXPECT_STREQ(CommandTable()[kCommandCount - 1].name, "QUIT");
}

TEST(CommandTableTest, ArgumentsAndNumbers) {
    std::string argument;
    EXPECT_FALSE(GetArgument("NOOP", argument));
    EXPECT_FALSE(GetArgument("USER   ", argument));
    EXPECT_TRUE(GetArgument("STOR \t name with spaces  ", argument));
    EXPECT_EQ(argument, "name with spaces  ");
    EXPECT_EQ(ParseDecimal("0"), 0u);
    EXPECT_EQ(ParseDecimal("9223372036854775807"), 9223372036854775807ull);
    EXPECT_EQ(ParseDecimal("9223372036854775808"), std::nullopt);
    EXPECT_EQ(ParseDecimal("18446744073709551616"), std::nullopt);
    EXPECT_EQ(ParseDecimal("-1"), std::nullopt);
    EXPECT_EQ(ParseDecimal("12a"), std::nullopt);
    EXPECT_EQ(ParseDecimal(""), std::nullopt);
}

TEST(RepliesTest, LinesAndGreeting) {
    EXPECT_EQ(ReplyLine(226, ""), "226 Closing data connection.");
    EXPECT_EQ(ReplyLine(226, "Closing data connection."), ReplyLine(226, ""));
    EXPECT_EQ(FormatReply(530), "530 Not logged in.");
    EXPECT_EQ(FormatReply(299), "299 ") << "a code outside the table has no text";
    EXPECT_EQ(GreetingLine(""), "220 Quenlow FTP Pro 1.70 (WINCE) Ready.");
    EXPECT_EQ(GreetingLine("Lab"), "220 Lab Quenlow FTP Pro 1.70 (WINCE) Ready.");
}

TEST(DataCommandsTest, PortArguments) {
    std::string address;
    int port = 0;
    ASSERT_TRUE(ParsePortArgument("10,0,0,5,19,136", address, port));
    EXPECT_EQ(address, "10.0.0.5");
    EXPECT_EQ(port, 5000);
    ASSERT_TRUE(ParsePortArgument(" 127, 0, 0, 1, 1, 256 ", address, port));
    EXPECT_EQ(port, 256) << "each byte is taken modulo 256";
    EXPECT_FALSE(ParsePortArgument("1,2,3,4,5", address, port));
    EXPECT_FALSE(ParsePortArgument("1,2,,4,5,6", address, port)) << "an empty field";
    EXPECT_FALSE(ParsePortArgument("1,2,3,4,5,6,7", address, port));
    // The address that is checked against the client's is the one connected to: a leading
    // zero must not turn a number octal on the way ("0177" is not 127).
    ASSERT_TRUE(ParsePortArgument("0177,0,00,001,4,1", address, port));
    EXPECT_EQ(address, "177.0.0.1");
    EXPECT_FALSE(ParsePortArgument("383,0,0,1,4,1", address, port)) << "no host number over 255";
}

TEST(DataCommandsTest, EprtIpv6Arguments) {
    std::string address;
    int port = 0;
    EXPECT_EQ(ParseEprtArgument("|2|::1|5000|", address, port, 2), EprtResult::Ok);
    EXPECT_EQ(address, "::1");
    EXPECT_EQ(port, 5000);
    // The short form, which is what the client's own address is shown as.
    EXPECT_EQ(ParseEprtArgument("(!2!2001:DB8:0:0:0:0:0:7! 1025!)", address, port, 2),
              EprtResult::Ok);
    EXPECT_EQ(address, "2001:db8::7");
    EXPECT_EQ(ParseEprtArgument("|1|127.0.0.1|5000|", address, port, 2),
              EprtResult::UnsupportedProtocol);
    // A zone, a name, brackets, a prefix and IPv4 text are no IPv6 address.
    for (const char* bad :
         {"|2|fe80::1%eth0|5000|", "|2|localhost|5000|", "|2|[::1]|5000|", "|2|::1/128|5000|",
          "|2|127.0.0.1|5000|", "|2|1::2::3|5000|", "|2|::1|0|", "|2|::1|65536|", "|2||5000|"})
        EXPECT_EQ(ParseEprtArgument(bad, address, port, 2), EprtResult::Bad) << bad;
    EXPECT_EQ(ProtocolRefusalText(2), "Network protocol not supported, use (2).");
    EXPECT_EQ(ProtocolRefusalText(1), "Network protocol not supported, use (1).");
}

TEST(DataCommandsTest, DataSocketsBindToTheClientsFamily) {
    EXPECT_EQ(DataBindAddress("0.0.0.0", false), "0.0.0.0");
    EXPECT_EQ(DataBindAddress("192.0.2.7", false), "192.0.2.7");
    EXPECT_EQ(DataBindAddress("::", true), "::");
    EXPECT_EQ(DataBindAddress("::", false), "0.0.0.0") << "an IPv4 client of a dual-stack listener";
    EXPECT_EQ(DataBindAddress("2001:db8::7", true), "2001:db8::7");
}

TEST(DataCommandsTest, EprtArguments) {
    std::string address;
    int port = 0;
    EXPECT_EQ(ParseEprtArgument("|1|127.0.0.1|5000|", address, port), EprtResult::Ok);
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_EQ(port, 5000);
    EXPECT_EQ(ParseEprtArgument("(#1# 10.0.0.1# 65535#)", address, port), EprtResult::Ok);
    EXPECT_EQ(port, 65535);
    EXPECT_EQ(ParseEprtArgument("|2|::1|5000|", address, port), EprtResult::UnsupportedProtocol)
        << "an IPv6 address on an IPv4 control connection";
    EXPECT_EQ(ParseEprtArgument("|3|1.2.3.4|5000|", address, port), EprtResult::Bad);
    EXPECT_EQ(ParseEprtArgument("|1|1.2.3.4|0|", address, port), EprtResult::Bad);
    EXPECT_EQ(ParseEprtArgument("|1|1.2.3|5000|", address, port), EprtResult::Bad);
    EXPECT_EQ(ParseEprtArgument("|1|0300.0250.0.1|1025|", address, port), EprtResult::Bad)
        << "read as decimal: 300 is too large (an octal reading would be 192.168.0.1)";
    EXPECT_EQ(ParseEprtArgument("|1|0177.0.0.01|1025|", address, port), EprtResult::Ok);
    EXPECT_EQ(address, "177.0.0.1");
    EXPECT_EQ(ParseEprtArgument("|1|1..2.3|5000|", address, port), EprtResult::Bad);
    EXPECT_EQ(ParseEprtArgument("|1|256.0.0.1|5000|", address, port), EprtResult::Bad);
    EXPECT_EQ(ParseEprtArgument("|1||5000|", address, port), EprtResult::Bad);
    EXPECT_EQ(ParseEprtArgument("|1|1.2.3.4|5000|7|", address, port), EprtResult::Bad);
    EXPECT_EQ(ParseEprtArgument("|1|1.2.3.4|99999999999999|", address, port), EprtResult::Bad);
    EXPECT_EQ(ParseEprtArgument("\x7f"
                                "1\x7f"
                                "1.2.3.4\x7f"
                                "5\x7f",
                                address, port),
              EprtResult::Bad);
}

TEST(DataCommandsTest, PassiveReplyTexts) {
    EXPECT_EQ(PassiveModeText("192.168.1.20", 1502), "Entering passive mode (192,168,1,20,5,222).");
    EXPECT_EQ(ExtendedPassiveModeText(1502), "Entering extended passive mode (|||1502|).");
}
