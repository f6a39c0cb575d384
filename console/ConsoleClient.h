#pragma once
// The console channel's client role: connects to a server's console port (plain text to
// 127.0.0.1, TLS as a client to any other address), sends requests and schedules, and files
// every message the server sends into a snapshot.

#include <string>
#include <vector>

#include "console/ConsoleSnapshot.h"
#include "engine/ControlConnection.h"

class CConsoleClient : public CFtpControlConnection {
public:
    explicit CConsoleClient(CFtpEventSink* sink);

    CFtpSocket* CreatePrimarySocket(CFtpConnection* owner) override;
    CFtpSocket* CreateSecondarySocket(CFtpConnection* owner) override;
    void ReportError(const std::string& text) override { error_ = text; }

    void OnConnect(CFtpSocket* socket, bool ok) override;
    void OnReceive(CFtpSocket* socket) override;
    void OnTlsFailed(CFtpSocket* socket) override;
    void OnClose(CFtpSocket* socket) override;

    // Closes the connection and forgets how the last one went, for a new ConnectConsole.
    void Restart();
    // The connection is up, and for a remote server the TLS handshake is done.
    bool Ready();
    bool ConnectFailed() const { return connectFailed_; }
    bool TlsFailed() const { return tlsFailed_; }
    // The connect has come to an end one way or the other.
    bool Settled() const { return ready_ || connectFailed_ || tlsFailed_ || closed_; }
    bool Open();
    // A frame that did not read as the class its type names (the text says which).
    const std::string& ProtocolError() const { return protocolError_; }
    const std::string& Error() const { return error_; }

    // Sends one message when nothing of an earlier one is still unsent; false otherwise.
    bool Send(int type, CFtpMsgObject& message);
    bool SendPending() const { return pendingSend_ != 0; }

    ConsoleSnapshot& Snapshot() { return snapshot_; }
    // Reports received since the last call (the answer's end mark).
    int TakeReports();

protected:
    void OnConsoleRequest() override;

private:
    void File(int type);

    ConsoleSnapshot snapshot_;
    std::vector<CFtpConnMsg> pendingSessions_;
    std::vector<CFtpBanMsg> pendingBans_;
    int reports_ = 0;
    bool ready_ = false, connectFailed_ = false, tlsFailed_ = false, closed_ = false;
    std::string protocolError_, error_;
};
