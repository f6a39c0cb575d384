#include <gtest/gtest.h>

#include "session/Commands.h"
#include "session/DataCommands.h"
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

TEST(DataCommandsTest, EprtArguments) {
    std::string address;
    int port = 0;
    EXPECT_EQ(ParseEprtArgument("|1|127.0.0.1|5000|", address, port), EprtResult::Ok);
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_EQ(port, 5000);
    EXPECT_EQ(ParseEprtArgument("(#1# 10.0.0.1# 65535#)", address, port), EprtResult::Ok);
    EXPECT_EQ(port, 65535);
    EXPECT_EQ(ParseEprtArgument("|2|::1|5000|", address, port), EprtResult::UnsupportedProtocol);
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
