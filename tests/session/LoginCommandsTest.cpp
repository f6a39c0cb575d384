#include <gtest/gtest.h>

#include <map>

#include "config/SettingNames.h"
#include "session/LoginCommands.h"

namespace {

// A session that records what the login commands ask for; "secret" is the one password.
class RecordingLoginSession : public CLoginSession {
public:
    bool LoginReply(CommandId, int code, const std::string& reply) override {
        codes.push_back(code);
        texts.push_back(reply);
        return true;
    }
    UserRecord& LoginUser() override { return user; }
    bool LoginDataOpen() override { return dataOpen; }
    bool LoginControlSecure() override { return secure; }
    bool LoginBoolSetting(const char* name) const override {
        auto found = flags.find(name);
        return found != flags.end() && found->second;
    }
    std::string LoginTextSetting(const char*) const override { return ""; }
    bool LoginAuthenticate(UserRecord& record) override { return record.password == "secret"; }
    void LoginFailed(const std::string& what) override {
        ++failures;
        refusals.push_back(what);
    }
    void LoginGuessFailed() override { ++guesses; }
    void LoginAccepted(const std::string&) override { ++accepted; }
    void LoginCloseData() override { dataOpen = false; }
    void LoginRestart() override { restarted = true; }
    void LoginQuit() override { quitting = true; }

    int Last() const { return codes.empty() ? 0 : codes.back(); }

    UserRecord user;
    std::map<std::string, bool> flags{{setting::SysAnonState, true}};
    bool dataOpen = false, secure = false, restarted = false, quitting = false;
    int failures = 0, accepted = 0, guesses = 0;
    std::vector<int> codes;
    std::vector<std::string> texts;
    std::vector<std::string> refusals;
};

class LoginCommandsTest : public ::testing::Test {
protected:
    RecordingLoginSession session;
    CLoginCommands login{session};
};

}  // namespace

TEST_F(LoginCommandsTest, RefusedNamesAndPasswordsCountAgainstTheAttempts) {
    login.Pass("secret");
    EXPECT_EQ(session.Last(), 503) << "PASS before USER";
    session.flags[setting::SysAnonState] = false;
    login.User("anonymous");
    EXPECT_EQ(session.texts.back(), "User not allowed.");
    session.flags[setting::SysReqSSLLogin] = true;
    login.User("alice");
    EXPECT_EQ(session.Last(), 534);
    EXPECT_EQ(session.texts.back(), "Secure login required.");
    EXPECT_EQ(session.failures, 3);
    EXPECT_EQ(session.guesses, 0) << "no password was tried";
    EXPECT_EQ(session.user.name, "") << "a refused name is not kept";

    session.secure = true;
    login.User("alice");
    login.Pass("Tr0ub4dor&3");
    EXPECT_EQ(session.codes, (std::vector<int>{503, 500, 534, 331, 530}));
    EXPECT_EQ(session.failures, 4);
    EXPECT_EQ(session.guesses, 1);
    EXPECT_EQ(session.refusals.back(), "login as alice refused: wrong name or password");
    for (const std::string& refusal : session.refusals)
        EXPECT_EQ(refusal.find("Tr0ub4dor"), std::string::npos) << "no password in the log";
    login.Pass("secret");
    EXPECT_EQ(session.accepted, 1);
    EXPECT_EQ(session.failures, 4);
    EXPECT_EQ(session.guesses, 1);
}

TEST_F(LoginCommandsTest, UserWaitsForTheDataConnectionAndReinResetsAfterItsReply) {
    session.dataOpen = true;
    login.User("anonymous");
    EXPECT_EQ(session.Last(), 421);
    EXPECT_EQ(session.failures, 0);
    login.Rein(true);
    EXPECT_EQ(session.Last(), 500);
    EXPECT_FALSE(session.restarted);
    login.Rein(false);
    EXPECT_EQ(session.Last(), 220);
    EXPECT_TRUE(session.restarted);
    EXPECT_FALSE(session.dataOpen);
    login.Acct();
    EXPECT_EQ(session.Last(), 202);
    login.Quit();
    EXPECT_TRUE(session.quitting);
    EXPECT_EQ(session.texts.back(), "Goodbye.");
}
