#pragma once
// The console channel: one monitoring console at a time, framed message objects both ways
// (4-byte type, 4-byte length, archived object), the console password on every request, plain
// text from 127.0.0.1 and TLS (server role) from anywhere else. The controller derives from it
// and answers the standing request from its lists and counters.

#include <memory>
#include <string>
#include <vector>

#include "config/SettingsMap.h"
#include "engine/FtpConnection.h"
#include "messages/MsgObjects.h"

class CFtpControlConnection : public CFtpConnection {
public:
    static constexpr size_t kBufferSize = 65535;
    static constexpr size_t kHeaderSize = 8;

    explicit CFtpControlConnection(CFtpEventSink* sink);
    ~CFtpControlConnection() override;

    virtual bool InitConsole(bool consoleEnabled);
    virtual bool CanSendMessage();
    virtual bool HasMessage() const;
    virtual int PeekMessageType() const;
    virtual bool ConnectConsole(const std::string& address, int port);
    virtual bool SendMessage(int type, CFtpMsgObject& message);
    virtual bool ReceiveMessage(CFtpMsgObject& message);
    virtual void CloseConsole();
    virtual void ResetConsoleBuffers();

    void OnConnect(CFtpSocket* socket, bool ok) override;
    void OnSend(CFtpSocket* socket) override;
    void OnReceive(CFtpSocket* socket) override;
    void OnAccept(CFtpSocket* socket) override;
    void OnTlsEnd(CFtpSocket* socket) override;
    void OnTlsFailed(CFtpSocket* socket) override;

    // What the console channel reads: "SysConsoleState", "SysConsolePort", "SysConsolePass",
    // "SysConsoleAuthPeer" (the controller replaces it at every server start).
    CSettingsMap& Settings() { return settings_; }
    const CFtpReqMsg& StandingRequest() const { return request_; }
    CFtpSocket* ConsoleSocket() const { return secondarySocket_; }

protected:
    // The standing request, served on each send event while the console holds the password.
    virtual void ServeRequest();
    // After each receive: the controller acts on a disconnect request here.
    virtual void OnConsoleRequest() {}

    // Hooks and senders the controller provides; the channel itself only knows the schedule.
    virtual bool FillSysMsg(CFtpSysMsg&) { return false; }
    virtual bool FillOsMsg(CFtpOsMsg&) { return false; }
    virtual bool SendTransferStats() { return false; }
    virtual bool SendUserStats() { return false; }
    virtual bool SendNetStats() { return false; }
    virtual bool SendThrottle();
    // The list senders report true while records remain.
    virtual bool SendConnections() { return false; }
    virtual bool SendSharePoints() { return false; }
    virtual bool SendEvents() { return false; }
    virtual bool SendFileEvents() { return false; }
    virtual bool SendBans() { return false; }
    // True once the report was sent or selects nothing.
    virtual bool SendReport(int /*kind*/, int /*index*/) { return true; }

    bool PasswordAccepted() const;
    // The first frame's header announces more than the buffer can ever hold.
    bool FrameOutgrowsBuffer() const;
    void CloseConsoleConnection();
    // Turns an accepted console into a served one (peer check, TLS, budget exemption).
    void AdmitConsole(CFtpSocket* socket, bool tlsClientRole);

    std::vector<uint8_t> sendBuffer_;
    std::vector<uint8_t> receiveBuffer_;
    uint32_t pendingSend_ = 0;
    uint32_t received_ = 0;
    bool consoleEnabled_ = false;
    CFtpReqMsg request_;
    CSettingsMap settings_;
    std::unique_ptr<CFtpSocket> localListenSocket_;
    std::unique_ptr<CFtpSocket> refusedConsole_;  // takes and drops a second console

private:
    uint32_t FrameLength() const;
    void HandleFrame();
};
