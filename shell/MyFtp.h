#pragma once
// The application's specialisations of the engine: its controller makes its sessions, and its
// sessions check accounts against the application's user list and settings.

#include "config/AppSettings.h"
#include "config/SettingNames.h"
#include "config/UserAccounts.h"
#include "engine/ServerController.h"
#include "platform/Snapshot.h"
#include "session/ServerConnection.h"
#include "shell/StatusText.h"

class CMyFtpController;

class CMyFtpConnection : public CFtpServerConnection {
public:
    CMyFtpConnection(CMyFtpController* controller, CFtpEventSink* sink);

    bool Authenticate(UserRecord& user) override;
    bool PrepareTls() override;

private:
    CMyFtpController* app_;
};

class CMyFtpController : public CFtpServerController {
public:
    explicit CMyFtpController(CFtpEventSink* sink) : CFtpServerController(sink) {}

    // The application's settings and accounts as sessions on every loop read them: a reload
    // publishes new copies, and a session keeps the copy it took for as long as it uses it.
    void Publish(const CAppSettings& settings, const CUserList& users) {
        settings_.Set(settings);
        users_.Set(users);
        EndQuietSessions();
    }
    std::shared_ptr<const CAppSettings> CurrentSettings() const { return settings_.Get(); }
    std::shared_ptr<const CUserList> CurrentUsers() const { return users_.Get(); }

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
    platform::Snapshot<CAppSettings> settings_;
    platform::Snapshot<CUserList> users_;
    std::string lastError_;
};
