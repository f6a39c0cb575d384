#include "shell/MyFtp.h"

#include "messages/HostFacts.h"
#include "net/SocketEngine.h"
#include "platform/Log.h"

bool CMyFtpConnection::Authenticate(UserRecord& user) {
    return ::Authenticate(users_.Users(), settings_, user.name, user.password, user.rights);
}

void CMyFtpController::ReportError(const std::string& text) {
    lastError_ = text;
    platform::Log::Write(platform::LogLevel::Error, text);
}

CFtpPooledSession* CMyFtpController::CreateSessionObject(CFtpEventSink* sink) {
    return new CMyFtpConnection(this, sink, settings_, users_);
}

StatusSnapshot CMyFtpController::TakeStatusSnapshot(platform::Time32 now) {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    StatusSnapshot snapshot;
    uint64_t uploads = 0, downloads = 0;
    for (CFtpPooledSession* pooled : allSessions_) {
        auto* session = static_cast<CFtpServerConnection*>(pooled);
        const UserRecord* user = session->User();
        // Xfers counts every object of the pool, also the idle ones whose session has ended.
        uploads += session->SessionUploads();
        downloads += session->SessionDownloads();
        CFtpSocket* control = session->PrimarySocket();
        if (!control || !control->IsOpen()) continue;
        StatusRow row;
        if (user) {
            row.user = StatusUserText(user->name, user->password);
            row.counts = CountPairText(user->uploads, user->downloads);
        } else {
            row.counts = CountPairText(0, 0);
        }
        row.minutes = std::to_string((now - session->LoginTime()) / 60);
        row.command = DisplayedCommandLine(session->LastCommandLine());
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
    PutSystemFacts(facts, message);
    return true;
}

bool CMyFtpController::FillOsMsg(CFtpOsMsg& message) {
    platform::HostFacts facts;
    platform::ReadHostNames(facts);
    PutOsFacts(facts, message);
    return true;
}
