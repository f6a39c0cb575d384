#pragma once
// A listener that owns up to three sockets, made through factory hooks and reused for the
// connection's whole life: in a session the client's control connection, the data connection
// and the passive listening socket; in the controller the console listener, the accepted
// console and the FTP listener.

#include <string>

#include "engine/FtpListener.h"

class CFtpConnection : public CFtpListener {
public:
    explicit CFtpConnection(CFtpEventSink* sink) : CFtpListener(sink) {}
    ~CFtpConnection() override;

    bool Create() override;
    void OnClose(CFtpSocket* socket) override;
    void OnTick() override;

    virtual void CloseSockets();
    virtual void DeleteSockets();
    virtual CFtpSocket* CreatePrimarySocket(CFtpConnection* owner) = 0;
    virtual CFtpSocket* CreateSecondarySocket(CFtpConnection* owner) = 0;
    virtual CFtpSocket* CreateTertiarySocket(CFtpConnection* owner);
    virtual void ReportError(const std::string& text);

    CFtpSocket* PrimarySocket() const { return primarySocket_; }
    CFtpSocket* SecondarySocket() const { return secondarySocket_; }
    CFtpSocket* TertiarySocket() const { return tertiarySocket_; }

protected:
    CFtpSocket* primarySocket_ = nullptr;
    CFtpSocket* secondarySocket_ = nullptr;
    CFtpSocket* tertiarySocket_ = nullptr;
};
