#include <gtest/gtest.h>

#include "session/SecurityCommands.h"

namespace {

// A session that records what the security commands ask for.
class RecordingSecuritySession : public CSecuritySession {
public:
    bool SecurityReply(CommandId, int code, const std::string&) override {
        codes.push_back(code);
        return true;
    }
    bool SecurityTlsOffered() const override { return offered; }
    bool SecurityTlsAllowed() override { return allowed; }
    bool SecurityControlSecure() override { return secure; }
    bool SecurityLoggedIn() const override { return loggedIn; }
    const std::string& SecurityPreviousLine() const override { return previous; }
    void SecurityStartTls(AuthMechanism m) override { mechanism = m; }
    void SecurityEndTls() override { ended = true; }
    void SecuritySetProtection(DataProtection p) override { protection = p; }

    int Last() const { return codes.empty() ? 0 : codes.back(); }

    bool offered = true, allowed = true, secure = false, loggedIn = false, ended = false;
    std::string previous;
    AuthMechanism mechanism = AUTH_NONE;
    int protection = -1;
    std::vector<int> codes;
};

class SecurityCommandsTest : public ::testing::Test {
protected:
    RecordingSecuritySession session;
    CSecurityCommands security{session};
};

}  // namespace

TEST_F(SecurityCommandsTest, AuthStartsTlsOnlyWhereItIsOfferedAndNotYetRunning) {
    session.offered = false;
    security.Auth("TLS");
    EXPECT_EQ(session.Last(), 534);
    session.offered = true;
    security.Auth("");
    security.Auth("KERBEROS");
    EXPECT_EQ(session.codes, (std::vector<int>{534, 502, 504}));
    session.allowed = false;
    security.Auth("tls");
    EXPECT_EQ(session.Last(), 431);
    session.allowed = true;
    security.Auth("ssl");
    EXPECT_EQ(session.Last(), 234);
    EXPECT_EQ(session.mechanism, AUTH_SSL);
    session.secure = true;
    security.Auth("TLS");
    EXPECT_EQ(session.Last(), 431) << "already secure";
}

TEST_F(SecurityCommandsTest, ProtBeforeLoginNeedsPbszJustBefore) {
    security.Prot("P");
    EXPECT_EQ(session.Last(), 503) << "not secure";
    session.secure = true;
    security.Pbsz("x");
    EXPECT_EQ(session.Last(), 501);
    security.Pbsz("4294967296");
    EXPECT_EQ(session.Last(), 501) << "more than 32 bits";
    security.Pbsz("0");
    EXPECT_EQ(session.Last(), 200);
    session.previous = "NOOP";
    security.Prot("P");
    EXPECT_EQ(session.Last(), 503);
    session.previous = "PBSZ 0";
    security.Prot("p");
    EXPECT_EQ(session.Last(), 200);
    EXPECT_EQ(session.protection, PROT_PRIVATE);
    session.loggedIn = true;
    session.previous = "NOOP";
    security.Prot("C");
    EXPECT_EQ(session.protection, PROT_CLEAR);
    security.Prot("S");
    security.Prot("X");
    security.Prot("PP");
    EXPECT_EQ(session.codes.back(), 501);
    EXPECT_EQ(session.codes[session.codes.size() - 3], 536);
    EXPECT_EQ(session.codes[session.codes.size() - 2], 504);
}

TEST_F(SecurityCommandsTest, CccNeedsTlsAndALogin) {
    security.Ccc("x");
    security.Ccc("");
    session.secure = true;
    security.Ccc("");
    EXPECT_EQ(session.codes, (std::vector<int>{502, 533, 534}));
    EXPECT_FALSE(session.ended);
    session.loggedIn = true;
    security.Ccc("");
    EXPECT_EQ(session.Last(), 200);
    EXPECT_TRUE(session.ended);
}
