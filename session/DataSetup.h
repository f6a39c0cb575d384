#pragma once
// The data-connection set-up: PORT and EPRT (active, to the client itself only), PASV and
// EPSV (a passive listener on a dynamic port), taking the connection that arrives or is made,
// and opening it for a transfer with its 150 or 125.

#include <string>

#include "session/Commands.h"

class CFtpSocket;

// The address a data socket binds to: the server's bind address when it is of the client's
// family, else that family's wildcard (an IPv4 client of a dual-stack "::" listener).
std::string DataBindAddress(const std::string& bindAddress, bool ipv6Client);

// What the data-connection set-up needs of its session.
class CDataSession {
public:
    virtual ~CDataSession() = default;
    virtual bool DataReply(CommandId id, int code, const std::string& text = "") = 0;
    virtual CFtpSocket& ControlSocket() = 0;
    virtual CFtpSocket& DataSocket() = 0;
    virtual CFtpSocket& PassiveListener() = 0;
    virtual bool DataLoggedIn() const = 0;
    virtual bool DataProtected() const = 0;  // PROT P: the data connection runs TLS
    // The transfer command the connection is opened for.
    virtual CommandId DataCommand() const = 0;
    virtual bool DataBoolSetting(const char* name) const = 0;
    virtual std::string DataTextSetting(const char* name) const = 0;
    // The data connection's peer may carry data (the access rules, the client itself).
    virtual bool DataPeerAllowed(CFtpSocket& socket) = 0;
    // A data connection arrived and was refused: the transfer waiting for it fails.
    virtual void DataRefused() = 0;
    virtual void DataActivity() = 0;  // the idle clock starts again
    virtual void DataRaise(uint32_t code, CFtpSocket& socket) = 0;
    virtual void DataError(uint32_t code) = 0;
    virtual void DataWarn(const std::string& text) = 0;  // a warning in the log
};

class CDataSetup {
public:
    explicit CDataSetup(CDataSession& session) : session_(session) {}

    void Port(CommandId id, const std::string& argument);     // PORT, EPRT
    void Passive(CommandId id, const std::string& argument);  // PASV, EPSV
    // Events of the passive listener and of an active connect.
    void OnAccept(CFtpSocket& socket);
    void OnConnect(CFtpSocket& socket, bool ok);
    // Gets the data connection ready for a transfer of type (TYPE A or I, for the text) and
    // answers 150 or 125 (text instead of the standard wording when given); false after 425.
    bool Open(int type, const std::string& text);

    // The passive listener is dropped (PROT changes what the next connection must speak).
    void ForgetPassive();
    // REIN and a new client: no address, no listener, EPSV ALL lifted.
    void Reset();

private:
    CDataSession& session_;
    std::string portAddress_;
    int port_ = 0;
    bool passivePending_ = false;
    bool epsvAll_ = false;
};
