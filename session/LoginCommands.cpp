#include "session/LoginCommands.h"

#include "config/SettingNames.h"
#include "platform/FileSystem.h"
#include "session/Replies.h"

void CLoginCommands::User(const std::string& name) {
    if (session_.LoginDataOpen()) return (void)session_.LoginReply(CMD_USER, REPLY_CLOSING);
    if (name != "anonymous") {
        if (session_.LoginBoolSetting(setting::SysReqSSLLogin) && !session_.LoginControlSecure()) {
            session_.LoginFailed("login as " + name + " refused: TLS is required first");
            return (void)session_.LoginReply(CMD_USER, REPLY_POLICY_DENIED,
                                             "Secure login required.");
        }
    } else if (!session_.LoginBoolSetting(setting::SysAnonState)) {
        session_.LoginFailed("anonymous login refused: anonymous logins are off");
        return (void)session_.LoginReply(CMD_USER, REPLY_SYNTAX_ERROR, "User not allowed.");
    }
    session_.LoginReply(CMD_USER, REPLY_NEED_PASSWORD);
    session_.LoginUser().name = name;
}

void CLoginCommands::Pass(const std::string& password) {
    UserRecord& user = session_.LoginUser();
    if (user.name.empty()) {
        session_.LoginFailed("PASS before USER");
        return (void)session_.LoginReply(CMD_PASS, REPLY_BAD_SEQUENCE);
    }
    user.password = password;
    if (!session_.LoginAuthenticate(user)) {
        session_.LoginFailed("login as " + user.name + " refused: wrong name or password");
        session_.LoginGuessFailed();
        return (void)session_.LoginReply(CMD_PASS, REPLY_NOT_LOGGED_IN);
    }
    std::string welcome;
    if (session_.LoginBoolSetting(setting::SysWelcomeMsgState)) {
        welcome = session_.LoginTextSetting(setting::SysWelcomeMsg);
        if (!welcome.empty() && !platform::Files().Status(welcome).regular) welcome.clear();
    }
    session_.LoginAccepted(welcome);
}

void CLoginCommands::Acct() {
    session_.LoginReply(CMD_ACCT, REPLY_SUPERFLUOUS);
}

void CLoginCommands::Rein(bool hasArgument) {
    if (hasArgument) return (void)session_.LoginReply(CMD_REIN, REPLY_SYNTAX_ERROR);
    session_.LoginCloseData();
    session_.LoginReply(CMD_REIN, REPLY_READY);
    session_.LoginRestart();
}

void CLoginCommands::Quit() {
    session_.LoginQuit();
    session_.LoginReply(CMD_QUIT, REPLY_GOODBYE, "Goodbye.");
}
