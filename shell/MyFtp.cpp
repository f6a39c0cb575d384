#include "shell/MyFtp.h"

#include <cerrno>
#include <cstring>

#include "config/ShareStore.h"
#include "messages/HostFacts.h"
#include "net/SocketEngine.h"
#include "platform/Folders.h"
#include "platform/Log.h"

CMyFtpConnection::CMyFtpConnection(CMyFtpController* controller, CFtpEventSink* sink)
    : CFtpServerConnection(controller, sink), app_(controller) {}

bool CMyFtpConnection::Authenticate(UserRecord& user) {
    std::shared_ptr<const CUserList> users = app_->CurrentUsers();
    std::shared_ptr<const CAppSettings> settings = app_->CurrentSettings();
    user.home.clear();
    if (!::Authenticate(users->Users(), *settings, user.name, user.password, user.rights))
        return false;
    if (!settings->GetBoolSetting(setting::SysFsMapHome)) return true;
    // "pub" stands for each named user's own folder; anonymous keeps the shared one.
    if (user.name == "anonymous") {
        user.home = settings->GetSetting(setting::SysRootFolder);
        return true;
    }
    std::string home = HomeFolderOf(*settings, user.name);
    if (home.empty()) {
        platform::Log::Write(
            platform::LogLevel::Warning,
            "login as " + user.name + " refused: the name cannot be a home folder's name");
        return false;
    }
    if (!platform::MakeFolders(home.substr(0, home.size() - 1))) {
        platform::Log::Write(platform::LogLevel::Error, "login as " + user.name +
                                                            " refused: cannot make the home "
                                                            "folder " +
                                                            home + ": " + std::strerror(errno));
        return false;
    }
    user.home = home;
    return true;
}

bool CMyFtpConnection::PrepareTls() {
    return app_->CurrentSettings()->GetBoolSetting(setting::SSLState);
}

void CMyFtpController::ReportError(const std::string& text) {
    lastError_ = text;
    platform::Log::Write(platform::LogLevel::Error, text);
}

CFtpPooledSession* CMyFtpController::CreateSessionObject(CFtpEventSink* sink) {
    return new CMyFtpConnection(this, sink);
}

StatusSnapshot CMyFtpController::TakeStatusSnapshot(platform::Time32 now) {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    StatusSnapshot snapshot;
    uint64_t uploads = 0, downloads = 0;
    // Sessions run on loops of their own: what they show is what they last published.
    for (CFtpPooledSession* session : allSessions_) {
        const SessionView& view = session->view;
        // Xfers counts every object of the pool, also the idle ones whose session has ended.
        uploads += view.slotUploads;
        downloads += view.slotDownloads;
        CFtpSocket* control = session->PrimarySocket();
        if (!control || !control->IsOpen()) continue;
        StatusRow row;
        if (view.hasUser) {
            row.user = StatusUserText(view.user, view.password);
            row.counts = CountPairText(view.userUploads, view.userDownloads);
            row.root = view.root;
        } else {
            row.counts = CountPairText(0, 0);
        }
        row.minutes = std::to_string((now - view.loginTime) / 60);
        row.command = DisplayedCommandLine(view.lastCommand);
        row.secure = control->IsTlsRoleSet();
        snapshot.rows.push_back(std::move(row));
    }
    snapshot.uptime = IsStopped() ? "Offline" : UptimeText(now - CreatedTime());
    snapshot.sessions = CountPairText(snapshot.rows.size(), Accepted() + Rejected());
    CSocketEngine& engine = CSocketEngine::Instance();
    snapshot.sent = MegabytesText(engine.TotalBytesSent());
    snapshot.received = MegabytesText(engine.TotalBytesReceived());
    snapshot.xfers = CountPairText(uploads, downloads);
    return snapshot;
}

// Each message reads only the facts it carries.
bool CMyFtpController::FillSysMsg(CFtpSysMsg& message) {
    platform::HostFacts facts;
    platform::ReadHostLoad(facts);
    facts.serverStart = CreatedTime();
    GetHostAddress(facts.hostAddress);
    PutSystemFacts(facts, message);
    return true;
}

bool CMyFtpController::FillOsMsg(CFtpOsMsg& message) {
    platform::HostFacts facts;
    platform::ReadHostNames(facts);
    PutOsFacts(facts, message);
    return true;
}
