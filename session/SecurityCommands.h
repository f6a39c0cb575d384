#pragma once
// The security commands: AUTH, PBSZ, PROT and CCC (RFC 4217).

#include <string>

#include "session/Commands.h"
#include "session/Parameters.h"

// What the security commands need of their session.
class CSecuritySession {
public:
    virtual ~CSecuritySession() = default;
    virtual bool SecurityReply(CommandId id, int code, const std::string& text = "") = 0;
    // TLS is on and the server has a certificate to offer.
    virtual bool SecurityTlsOffered() const = 0;
    // The application's last word on starting TLS for this client.
    virtual bool SecurityTlsAllowed() = 0;
    virtual bool SecurityControlSecure() = 0;
    virtual bool SecurityLoggedIn() const = 0;
    virtual const std::string& SecurityPreviousLine() const = 0;
    // AUTH: the control connection switches to TLS once the 234 is out, data protected.
    virtual void SecurityStartTls(AuthMechanism mechanism) = 0;
    // CCC: the control connection goes back to plain text once the 200 is out.
    virtual void SecurityEndTls() = 0;
    virtual void SecuritySetProtection(DataProtection protection) = 0;
};

class CSecurityCommands {
public:
    explicit CSecurityCommands(CSecuritySession& session) : session_(session) {}

    void Auth(const std::string& argument);
    void Pbsz(const std::string& argument);
    void Prot(const std::string& argument);
    void Ccc(const std::string& argument);

private:
    CSecuritySession& session_;
};
