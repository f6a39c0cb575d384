#include "session/LoginCommands.h"

#include "config/SettingNames.h"
#include "platform/FileSystem.h"

void CLoginCommands::User(const std::string& name) {
    if (session_.LoginDataOpen()) return (void)session_.LoginReply(CMD_USER, 421);
    if (name != "anonymous") {
        if (session_.LoginBoolSetting(setting::SysReqSSLLogin) && !session_.LoginControlSecure()) {
            session_.LoginFailed();
            return (void)session_.LoginReply(CMD_USER, 534, "Secure login required.");
        }
    } else if (!session_.LoginBoolSetting(setting::SysAnonState)) {
        session_.LoginFailed();
        return (void)session_.LoginReply(CMD_USER, 500, "User not allowed.");
    }
    session_.LoginReply(CMD_USER, 331);
    session_.LoginUser().name = name;
}

void CLoginCommands::Pass(const std::string& password) {
    UserRecord& user = session_.LoginUser();
    if (user.name.empty()) {
        session_.LoginFailed();
        return (void)session_.LoginReply(CMD_PASS, 503);
    }
    user.password = password;
    if (!session_.LoginAuthenticate(user)) {
        session_.LoginFailed();
        return (void)session_.LoginReply(CMD_PASS, 530);
    }
    std::string welcome;
    if (session_.LoginBoolSetting(setting::SysWelcomeMsgState)) {
        welcome = session_.LoginTextSetting(setting::SysWelcomeMsg);
        if (!welcome.empty() && !platform::Files().Status(welcome).regular) welcome.clear();
    }
    session_.LoginAccepted(welcome);
}

void CLoginCommands::Acct() {
    session_.LoginReply(CMD_ACCT, 202);
}

void CLoginCommands::Rein(bool hasArgument) {
    if (hasArgument) return (void)session_.LoginReply(CMD_REIN, 500);
    session_.LoginCloseData();
    session_.LoginReply(CMD_REIN, 220);
    session_.LoginRestart();
}

void CLoginCommands::Quit() {
    session_.LoginQuit();
    session_.LoginReply(CMD_QUIT, 221, "Goodbye.");
}
