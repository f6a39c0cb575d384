#include "net/ProxyHeader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
struct Parsed {
    ProxyParse result;
    ProxyHeader header;
    size_t consumed = 0;
    std::string problem;
};

Parsed Parse(const std::string& bytes) {
    Parsed p;
    p.result = ParseProxyHeader(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                p.header, p.consumed, p.problem);
    return p;
}

const std::string kSignature("\r\n\r\n\0\r\nQUIT\n", 12);

// A version 2 header: command byte, family byte, then the address block.
std::string Binary(uint8_t command, uint8_t family, const std::string& block) {
    std::string header = kSignature;
    header += static_cast<char>(command);
    header += static_cast<char>(family);
    header += static_cast<char>(block.size() >> 8);
    header += static_cast<char>(block.size() & 0xFF);
    return header + block;
}

std::string Bytes(std::initializer_list<int> values) {
    std::string text;
    for (int v : values) text += static_cast<char>(v);
    return text;
}
}  // namespace

TEST(ProxyHeaderTest, VersionOneLines) {
    Parsed p = Parse("PROXY TCP4 192.0.2.1 198.51.100.1 56324 21\r\nUSER x\r\n");
    ASSERT_EQ(p.result, ProxyParse::Done) << p.problem;
    EXPECT_EQ(p.consumed, 44u) << "the client's own line stays";
    EXPECT_TRUE(p.header.hasAddress);
    EXPECT_EQ(p.header.version, 1);
    EXPECT_EQ(p.header.sourceAddress, "192.0.2.1");
    EXPECT_EQ(p.header.sourcePort, 56324);
    EXPECT_EQ(p.header.destinationAddress, "198.51.100.1");
    EXPECT_EQ(p.header.destinationPort, 21);

    p = Parse("PROXY TCP6 2001:DB8:0::1 ::ffff:198.51.100.1 65535 0\r\n");
    ASSERT_EQ(p.result, ProxyParse::Done) << p.problem;
    EXPECT_EQ(p.header.sourceAddress, "2001:db8::1") << "shown in the short form";
    EXPECT_EQ(p.header.destinationAddress, "198.51.100.1") << "a mapped address is IPv4";
    EXPECT_EQ(p.header.sourcePort, 65535);

    for (const char* unknown : {"PROXY UNKNOWN\r\n", "PROXY UNKNOWN ffff::1 x y z w v\r\n"}) {
        p = Parse(unknown);
        EXPECT_EQ(p.result, ProxyParse::Done) << unknown;
        EXPECT_FALSE(p.header.hasAddress) << unknown;
    }
}

TEST(ProxyHeaderTest, VersionOneRefusals) {
    struct Case {
        const char* line;
        const char* problem;
    };
    for (const Case& c : {
             Case{"PROXY TCP4 192.0.2.1 198.51.100.1 56324\r\n", "does not have six fields"},
             Case{"PROXY TCP4 192.0.2.1 198.51.100.1 1 2 3\r\n", "more than six fields"},
             Case{"PROXY TCP4  192.0.2.1 198.51.100.1 1 2\r\n", "more than six fields"},
             Case{"PROXY TCP4 2001:db8::1 198.51.100.1 1 2\r\n", "not TCP4 addresses"},
             Case{"PROXY TCP6 192.0.2.1 2001:db8::1 1 2\r\n", "not TCP6 addresses"},
             Case{"PROXY TCP4 192.0.2.01 198.51.100.1 1 2\r\n", "not TCP4 addresses"},
             Case{"PROXY TCP4 192.0.2.1 198.51.100.1 65536 2\r\n", "ports are not numbers"},
             Case{"PROXY TCP4 192.0.2.1 198.51.100.1 021 2\r\n", "ports are not numbers"},
             Case{"PROXY TCP4 192.0.2.1 198.51.100.1 +1 2\r\n", "ports are not numbers"},
             Case{"PROXY UDP4 192.0.2.1 198.51.100.1 1 2\r\n", "names no protocol"},
             Case{"PROXY TCP4 192.0.2.1 198.51.100.1 1 2\n", "does not end in CR LF"},
             Case{"USER anonymous\r\n", "does not start with a PROXY protocol header"},
             Case{"\x16\x03\x01", "does not start with a PROXY protocol header"},
         }) {
        Parsed p = Parse(c.line);
        EXPECT_EQ(p.result, ProxyParse::Bad) << c.line;
        EXPECT_NE(p.problem.find(c.problem), std::string::npos) << c.line << ": " << p.problem;
    }
    // No line end within 107 bytes: over-long, not "more".
    Parsed p = Parse("PROXY TCP4 " + std::string(200, '1'));
    EXPECT_EQ(p.result, ProxyParse::Bad);
    EXPECT_EQ(p.problem, "the PROXY line is longer than 107 bytes");
}

TEST(ProxyHeaderTest, VersionTwoBlocks) {
    std::string four = Binary(0x21, 0x11, Bytes({192, 0, 2, 1, 127, 0, 0, 1, 0x30, 0x39, 0, 21}));
    Parsed p = Parse(four + "rest");
    ASSERT_EQ(p.result, ProxyParse::Done) << p.problem;
    EXPECT_EQ(p.consumed, four.size());
    EXPECT_EQ(p.header.version, 2);
    EXPECT_EQ(p.header.sourceAddress, "192.0.2.1");
    EXPECT_EQ(p.header.sourcePort, 12345);
    EXPECT_EQ(p.header.destinationPort, 21);

    std::string six(32, '\0');
    six[0] = 0x20, six[1] = 0x01, six[2] = 0x0d, six[3] = static_cast<char>(0xb8), six[15] = 7;
    six[31] = 1;
    // Addresses, ports, then a TLV of the balancer's (type 4, NOOP), which is skipped.
    std::string block = six + Bytes({0x10, 0x00, 0x00, 0x15}) + Bytes({4, 0, 4}) + "abcd";
    p = Parse(Binary(0x21, 0x21, block));
    ASSERT_EQ(p.result, ProxyParse::Done) << p.problem;
    EXPECT_EQ(p.header.sourceAddress, "2001:db8::7");
    EXPECT_EQ(p.header.destinationAddress, "::1");
    EXPECT_EQ(p.header.sourcePort, 4096);
    EXPECT_EQ(p.consumed, 16 + block.size());

    // LOCAL (the balancer's health check) and families without a TCP client name nobody.
    for (const std::string& none :
         {Binary(0x20, 0x00, ""), Binary(0x20, 0x11, std::string(12, 'x')), Binary(0x21, 0x00, ""),
          Binary(0x21, 0x31, std::string(216, 'u')), Binary(0x21, 0x12, std::string(12, 'd'))}) {
        p = Parse(none);
        EXPECT_EQ(p.result, ProxyParse::Done) << p.problem;
        EXPECT_FALSE(p.header.hasAddress);
        EXPECT_EQ(p.consumed, none.size());
    }
}

TEST(ProxyHeaderTest, VersionTwoRefusalsAndPartialHeaders) {
    EXPECT_NE(Parse(Binary(0x11, 0x11, std::string(12, 'x'))).problem.find("version is not 2"),
              std::string::npos);
    EXPECT_NE(Parse(Binary(0x22, 0x11, std::string(12, 'x'))).problem.find("neither LOCAL"),
              std::string::npos);
    EXPECT_NE(Parse(Binary(0x21, 0x11, std::string(11, 'x'))).problem.find("too short"),
              std::string::npos);
    EXPECT_NE(Parse(Binary(0x21, 0x21, std::string(35, 'x'))).problem.find("too short"),
              std::string::npos);
    // Over-long is known from the length field alone, before the bytes arrive.
    std::string huge = Binary(0x21, 0x11, std::string(12, 'x'));
    huge[14] = 0x10;
    Parsed p = Parse(huge);
    EXPECT_EQ(p.result, ProxyParse::Bad);
    EXPECT_EQ(p.problem, "the PROXY header is longer than 1024 bytes");

    // Any prefix of a header asks for more, however it is cut.
    std::string four = Binary(0x21, 0x11, Bytes({192, 0, 2, 1, 127, 0, 0, 1, 0x30, 0x39, 0, 21}));
    std::string line = "PROXY TCP4 192.0.2.1 198.51.100.1 56324 21\r\n";
    for (const std::string& whole : {four, line})
        for (size_t cut = 0; cut < whole.size(); ++cut)
            EXPECT_EQ(Parse(whole.substr(0, cut)).result, ProxyParse::NeedMore) << cut;
}
