#pragma once
// The application's specialisations of the engine: its controller makes its sessions, and its
// sessions check accounts against the application's user list and settings.

#include "config/AppSettings.h"
#include "config/SettingNames.h"
#include "config/UserAccounts.h"
#include "engine/ServerController.h"
#include "session/ServerConnection.h"
#include "shell/StatusText.h"

class CMyFtpConnection : public CFtpServerConnection {
public:
    CMyFtpConnection(CFtpServerController* controller, CFtpEventSink* sink,
                     const CAppSettings& settings, const CUserList& users)
        : CFtpServerConnection(controller, sink), settings_(settings), users_(users) {}

    bool Authenticate(UserRecord& user) override;
    bool PrepareTls() override { return settings_.GetBoolSetting(setting::SSLState); }

private:
    const CAppSettings& settings_;
    const CUserList& users_;
};

class CMyFtpController : public CFtpServerController {
public:
    CMyFtpController(CFtpEventSink* sink, const CAppSettings& settings, const CUserList& users)
        : CFtpServerController(sink), settings_(settings), users_(users) {}

    CFtpPooledSession* CreateSessionObject(CFtpEventSink* sink) override;
    CFtpSocket* CreatePrimarySocket(CFtpConnection* owner) override {
        return new CFtpSocket(owner);
    }
    CFtpSocket* CreateSecondarySocket(CFtpConnection* owner) override {
        return new CFtpSocket(owner);
    }
    void ReportError(const std::string& text) override;
    // The hourly samples are not kept by this application.
    void SampleSharePoints(platform::Time32) override {}
    void SampleNetwork(platform::Time32) override {}
    void SampleUsers(platform::Time32) override {}
    void SampleTransfers(platform::Time32) override {}
    void SampleOther(platform::Time32) override {}

    // The console's system and OS information: this machine's names, load, memory and uptime.
    bool FillSysMsg(CFtpSysMsg& message) override;
    bool FillOsMsg(CFtpOsMsg& message) override;

    const std::string& LastError() const { return lastError_; }
    // The counters and one row per session whose control connection is open, in pool order.
    StatusSnapshot TakeStatusSnapshot(platform::Time32 now);

private:
    const CAppSettings& settings_;
    const CUserList& users_;
    std::string lastError_;
};
