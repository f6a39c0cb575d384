#include <gtest/gtest.h>

#include "session/StatusTexts.h"

TEST(StatusTexts, DeflateOptionsTakeLevelPartsOnly) {
    EXPECT_EQ(ParseDeflateOptions(""), 7);
    EXPECT_EQ(ParseDeflateOptions(" LEVEL 9"), 9);
    EXPECT_EQ(ParseDeflateOptions(";; LEVEL 0"), 0);
    EXPECT_EQ(ParseDeflateOptions(" LEVEL 3; LEVEL 4;"), 4) << "the last part wins";
    EXPECT_EQ(ParseDeflateOptions(" LEVEL 09"), 9);
    EXPECT_EQ(ParseDeflateOptions(" LEVEL 10"), std::nullopt);
    EXPECT_EQ(ParseDeflateOptions(" LEVEL  9"), std::nullopt) << "one blank between";
    EXPECT_EQ(ParseDeflateOptions(" LEVEL 9 "), std::nullopt);
    EXPECT_EQ(ParseDeflateOptions(" LEVEL"), std::nullopt);
    EXPECT_EQ(ParseDeflateOptions(" FOO 1"), std::nullopt);
    EXPECT_EQ(ParseDeflateOptions(" LEVEL -1"), std::nullopt);
    EXPECT_EQ(ParseDeflateOptions(" LEVEL 99999999999999999999999"), std::nullopt);
}

TEST(StatusTexts, Utf8OptionKeepsOrClearsTheNameListFlag) {
    bool on = false, nlist = false;
    EXPECT_EQ(ApplyUtf8Option("UTF8 NLIST", on, nlist), 451);
    EXPECT_FALSE(on);
    EXPECT_EQ(ApplyUtf8Option("utf8", on, nlist), 200);  // toggles on
    EXPECT_TRUE(on);
    EXPECT_EQ(ApplyUtf8Option("UTF8 NLIST", on, nlist), 200);
    EXPECT_TRUE(nlist);
    EXPECT_EQ(ApplyUtf8Option("UTF-8 ON", on, nlist), 200);
    EXPECT_TRUE(on && nlist) << "switching on again keeps the name list flag";
    EXPECT_EQ(ApplyUtf8Option("UTF8", on, nlist), 200);  // toggles off
    EXPECT_FALSE(on || nlist);
    EXPECT_EQ(ApplyUtf8Option("UTF8 SOMETIMES", on, nlist), 501);
    EXPECT_EQ(ApplyUtf8Option("LATIN1 ON", on, nlist), 501);
    EXPECT_FALSE(on || nlist);
}

TEST(StatusTexts, StatusBlockLeavesOutWhatIsNotKnown) {
    SessionStatus status;
    status.user = "anonymous";
    status.auth = 3;
    status.type = 1;
    status.mode = 3;
    status.bytesSent = 10;
    status.downloads = 1;
    status.bytesReceived = 5;
    status.uploads = 2;
    std::string block = StatusBlock(status);
    EXPECT_EQ(block.find("Connected to"), std::string::npos);
    EXPECT_EQ(block.find("Contact is"), std::string::npos);
    EXPECT_NE(block.find("\r\n AUTH: TLS\r\n TYPE: BINARY\r\n MODE: DEFLATE\r\n STRU: FILE\r\n"),
              std::string::npos);
    EXPECT_NE(block.find("\r\n 15 bytes total in 3 file(s)"), std::string::npos);
    EXPECT_EQ(block.substr(block.size() - 2), "s)") << "the closing line is written apart";
}
