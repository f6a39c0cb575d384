#include "session/DataSetup.h"

#include <cstdio>

#include "config/IpRules.h"
#include "config/SettingNames.h"
#include "net/EventCodes.h"
#include "net/FtpSocket.h"
#include "net/HostAddress.h"
#include "net/SocketEngine.h"
#include "platform/Text.h"
#include "session/DataCommands.h"
#include "session/Replies.h"

std::string DataBindAddress(const std::string& bindAddress, bool ipv6Client) {
    if (IsIpv6Text(bindAddress) == ipv6Client) return bindAddress;
    // A dual-stack listener's IPv4 client: a plain IPv4 socket reaches it without mapped forms.
    return ipv6Client ? "::" : "0.0.0.0";
}

void CDataSetup::Reset() {
    portAddress_.clear();
    port_ = 0;
    passivePending_ = epsvAll_ = false;
}

void CDataSetup::ForgetPassive() {
    session_.PassiveListener().Close();
    passivePending_ = false;
}

void CDataSetup::Port(CommandId id, const std::string& argument) {
    const char* name = id == CMD_PORT ? "PORT" : "EPRT";
    if (!session_.DataBoolSetting(setting::NetPortState))
        return (void)session_.DataReply(id, REPLY_POLICY_DENIED);
    if (epsvAll_)
        return (void)session_.DataReply(id, REPLY_BAD_ARGUMENTS,
                                        std::string(name) + " not allowed after EPSV ALL.");
    std::string peer;
    int peerPort = 0;
    session_.ControlSocket().GetPeerName(peer, peerPort);
    bool ipv6 = IsIpv6Text(peer);
    // PORT's argument has no room for an IPv6 address.
    if (id == CMD_PORT && ipv6)
        return (void)session_.DataReply(id, REPLY_NOT_IMPLEMENTED, "PORT is IPv4 only: use EPRT.");
    // A new data connection is being set up: an unused old one must not carry it.
    session_.DataSocket().Close();
    ForgetPassive();
    if (argument.empty()) return (void)session_.DataReply(id, REPLY_BAD_ARGUMENTS);
    std::string address;
    int port = 0;
    if (id == CMD_PORT) {
        if (!ParsePortArgument(argument, address, port))
            return (void)session_.DataReply(id, REPLY_BAD_ARGUMENTS);
    } else {
        int wanted = ipv6 ? 2 : 1;
        EprtResult result = ParseEprtArgument(argument, address, port, wanted);
        if (result == EprtResult::UnsupportedProtocol)
            return (void)session_.DataReply(id, REPLY_BAD_PROTOCOL, ProtocolRefusalText(wanted));
        if (result != EprtResult::Ok) return (void)session_.DataReply(id, REPLY_BAD_ARGUMENTS);
    }
    if (port < 20 || (port > 21 && port < 1024))
        return (void)session_.DataReply(id, REPLY_BAD_PARAMETER);
    // Data goes only to the client itself: another address would make this server attack
    // a third party for the client (FTP bounce). Both IPv6 texts are the short form.
    uint32_t given = 0, own = 0;
    bool same = ipv6 ? address == peer
                     : ParseAddress(address, given) && ParseAddress(peer, own) && given == own;
    if (!same) {
        session_.DataWarn(std::string(name) + " to " + address +
                          " refused: not the client's address");
        return (void)session_.DataReply(id, REPLY_POLICY_DENIED);
    }
    portAddress_ = address;
    port_ = port;
    session_.DataReply(id, REPLY_OK);
}

void CDataSetup::Passive(CommandId id, const std::string& argument) {
    if (id == CMD_EPSV && !argument.empty()) {
        if (platform::AsciiUpper(argument) == "ALL") {
            epsvAll_ = true;
            return (void)session_.DataReply(id, REPLY_OK, "EPSV ALL command successful.");
        }
    }
    std::string peer;
    int peerPort = 0;
    session_.ControlSocket().GetPeerName(peer, peerPort);
    bool ipv6 = IsIpv6Text(peer);
    if (id == CMD_EPSV && !argument.empty()) {
        if (argument.size() != 1 || argument[0] < '0' || argument[0] > '9')
            return (void)session_.DataReply(id, REPLY_BAD_ARGUMENTS);
        if (argument[0] != (ipv6 ? '2' : '1'))
            return (void)session_.DataReply(id, REPLY_BAD_PROTOCOL,
                                            ProtocolRefusalText(ipv6 ? 2 : 1));
    }
    if (id == CMD_PASV && epsvAll_)
        return (void)session_.DataReply(id, REPLY_BAD_ARGUMENTS,
                                        "PASV not allowed after EPSV ALL.");
    // PASV's reply has no room for an IPv6 address.
    if (id == CMD_PASV && ipv6)
        return (void)session_.DataReply(id, REPLY_NOT_IMPLEMENTED, "PASV is IPv4 only: use EPSV.");
    session_.DataSocket().Close();
    ForgetPassive();
    CFtpSocket& listener = session_.PassiveListener();
    std::string bindAddress = DataBindAddress(CSocketEngine::Instance().BindAddress(), ipv6);
    if (!listener.Create(0, SOCK_STREAM, bindAddress.c_str()) || !listener.Listen(1)) {
        listener.Close();
        return (void)session_.DataReply(id, REPLY_NO_DATA_CONNECTION);
    }
    passivePending_ = true;
    std::string address, fixed = session_.DataTextSetting(setting::NetFixIPAddress);
    int port = 0, localPort = 0;
    if (session_.DataBoolSetting(setting::NetFixIPState) && !fixed.empty())
        address = fixed;
    else
        session_.ControlSocket().GetSockName(address, localPort);
    std::string ignored;
    listener.GetSockName(ignored, port);
    session_.DataReply(
        id, id == CMD_EPSV ? REPLY_EXTENDED_PASSIVE : REPLY_PASSIVE,
        id == CMD_EPSV ? ExtendedPassiveModeText(port) : PassiveModeText(address, port));
}

void CDataSetup::OnAccept(CFtpSocket& listener) {
    if (!session_.DataLoggedIn()) return session_.DataError(EV_ACCEPT);
    CFtpSocket& data = session_.DataSocket();
    if (data.State() == SS_CONNECTED) {
        listener.SetAcceptWanted(true);
        return;
    }
    data.Close();
    if (listener.Accept(data) == 0 || !data.IsOpen() || !session_.DataPeerAllowed(data)) {
        // Refused by the rules, someone other than our client took the port, or the
        // connection was gone before we took it: the port is burnt, so the transfer
        // waiting for it fails instead of waiting on. Without one, the next transfer
        // command is answered 425; a reply now would answer nothing.
        data.Close();
        listener.Close();
        return session_.DataRefused();
    }
    listener.Close();
    if (session_.DataProtected() && !data.SetTlsRole(TLS_SERVER)) {
        data.Close();
        return session_.DataRefused();
    }
    session_.DataActivity();
}

void CDataSetup::OnConnect(CFtpSocket& socket, bool ok) {
    if (!session_.DataLoggedIn()) {
        session_.DataError(EV_CONNECT);
        socket.Close();
        return;
    }
    CFtpSocket& data = session_.DataSocket();
    if (&socket != &data) return;
    if (ok && !session_.DataPeerAllowed(data)) ok = false;
    if (ok && session_.DataProtected() && !data.SetTlsRole(TLS_SERVER)) ok = false;
    if (!ok) data.Close();
    session_.DataActivity();
}

bool CDataSetup::Open(int type, const std::string& text) {
    const char* word = type == 0 ? "ASCII" : type == 1 ? "BINARY" : "UNKNOWN";
    CommandId id = session_.DataCommand();
    CFtpSocket& data = session_.DataSocket();
    char standard[96];
    int code;
    if (passivePending_) {
        if (data.State() != SS_CONNECTED && !session_.PassiveListener().IsListening()) {
            session_.DataReply(id, REPLY_NO_DATA_CONNECTION);
            return false;
        }
        code = REPLY_DATA_ALREADY_OPEN;
        std::snprintf(standard, sizeof standard,
                      "%s mode data connection already open; transfer starting.", word);
        data.SetReadWanted(true);
        data.SetWriteWanted(true);
        // A connection that is already there would otherwise wait for the tick to start
        // moving data: raise its first event now.
        bool upload = IsUpload(id);
        if (data.State() == SS_CONNECTED)
            session_.DataRaise(upload && !session_.DataProtected() ? EV_RECEIVE : EV_SEND, data);
    } else {
        data.Close();
        std::string bindAddress =
            DataBindAddress(CSocketEngine::Instance().BindAddress(), IsIpv6Text(portAddress_));
        if (portAddress_.empty() || !session_.DataBoolSetting(setting::NetPortState) ||
            !data.Create(0, SOCK_STREAM, bindAddress.c_str()) ||
            !data.Connect(portAddress_, port_)) {
            data.Close();
            session_.DataReply(id, REPLY_NO_DATA_CONNECTION);
            return false;
        }
        code = REPLY_OPENING_DATA;
        std::snprintf(standard, sizeof standard,
                      "Opening %s mode data connection; transfer starting.", word);
    }
    session_.DataReply(id, code, text.empty() ? standard : text);
    return true;
}
