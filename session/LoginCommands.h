#pragma once
// The login commands: USER, PASS, ACCT, REIN and QUIT.

#include <string>

#include "session/Commands.h"
#include "session/SessionState.h"

// What the login commands need of their session.
class CLoginSession {
public:
    virtual ~CLoginSession() = default;
    virtual bool LoginReply(CommandId id, int code, const std::string& text = "") = 0;
    virtual UserRecord& LoginUser() = 0;
    // USER is refused while a data connection or a passive listener is open.
    virtual bool LoginDataOpen() = 0;
    virtual bool LoginControlSecure() = 0;  // the control connection runs TLS
    virtual bool LoginBoolSetting(const char* name) const = 0;
    virtual std::string LoginTextSetting(const char* name) const = 0;
    // The application's account check on the name and password in the record.
    virtual bool LoginAuthenticate(UserRecord& user) = 0;
    // A refused USER or PASS: the session counts it against its login attempts and logs
    // what (never the password).
    virtual void LoginFailed(const std::string& what) = 0;
    // A PASS with a wrong password or for an unknown user: a guess, counted against the
    // client's address (bans). A refused USER tried no password and is not.
    virtual void LoginGuessFailed() = 0;
    // The client is in: 230, after the welcome file's lines when welcomeFile is not "".
    virtual void LoginAccepted(const std::string& welcomeFile) = 0;
    // REIN: the data connection closes before the 220; then LoginRestart ends TLS on the
    // control connection and resets the session.
    virtual void LoginCloseData() = 0;
    virtual void LoginRestart() = 0;
    // QUIT: the control connection ends once the reply is out.
    virtual void LoginQuit() = 0;
};

class CLoginCommands {
public:
    explicit CLoginCommands(CLoginSession& session) : session_(session) {}

    void User(const std::string& name);
    void Pass(const std::string& password);
    void Acct();
    void Rein(bool hasArgument);
    void Quit();

private:
    CLoginSession& session_;
};
