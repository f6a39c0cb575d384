// What the session reports of its work: a record per file transfer to the controller's file
// events, the counters of the account, the pool object and the controller, and the
// figures the session list shows.

#include <cstring>

#include "engine/ServerController.h"
#include "metrics/ServerCounters.h"
#include "platform/Log.h"
#include "platform/Text.h"
#include "session/Replies.h"
#include "session/ServerConnection.h"
#include "session/TransferLog.h"

const char* CloseReasonText(int reason) {
    switch (reason) {
        case CLOSE_CLIENT:
            return "the client closed the connection";
        case CLOSE_IDLE:
            return "idle time-out";
        case CLOSE_LOGINS:
            return "too many failed logins";
        case CLOSE_SHUTDOWN:
            return "server shut-down or console";
        case CLOSE_ERROR:
            return "error";
        default:
            return "closed";
    }
}

void CFtpServerConnection::LogEvent(platform::LogLevel level, const std::string& text) {
    if (!platform::Log::On(level)) return;
    std::string who = peer_.empty() ? ControlPeer() : peer_;
    if (state_.loggedIn && state_.user) who += " " + state_.user->name;
    platform::Log::Write(level, who + ": " + text);
}

void CFtpServerConnection::FillFigures(CFtpConnMsg& record) const {
    if (state_.user) {
        record.uploads = state_.user->uploads;
        record.downloads = state_.user->downloads;
        record.bytesReceived = state_.user->bytesReceived;
        record.bytesSent = state_.user->bytesSent;
    }
    record.transferring = TransferStarted() && OperationInProgress() ? 1 : 0;
    record.transferBytes =
        record.transferring ? state_.operation.bytesSent + state_.operation.bytesReceived : 0;
}

void CFtpServerConnection::ReportTransfer(const TransferRecord& record) {
    CFtpFileEventMsg event;
    event.flags = record.id == CMD_RETR ? FILE_EVENT_DOWNLOAD : FILE_EVENT_OTHER;
    if (transfers_.ModeInUse() == MODE_DEFLATE) event.flags |= FILE_EVENT_DEFLATE;
    if (primarySocket_->IsTlsRoleSet() && state_.dataProtection != 0)
        event.flags |= FILE_EVENT_PROTECTED;
    if (!record.success) event.flags |= FILE_EVENT_FAILED;
    if (transfers_.DataTypeInUse() == TYPE_IMAGE) event.flags |= FILE_EVENT_BINARY;
    if (record.restarted) event.flags |= FILE_EVENT_RESTARTED;
    event.valid = 1;
    event.path = record.path;
    event.user = platform::EqualsIgnoreCase(state_.user->name, "anonymous") ? state_.user->password
                                                                            : state_.user->name;
    event.start = record.start;
    event.end = record.end;
    event.fileBytes = record.fileBytes;
    event.transferBytes = record.transferBytes;
    controller_->AddFileEvent(event);
    if (IsUpload(record.id) || record.id == CMD_RETR)
        metrics::Counters().CountTransfer(
            IsUpload(record.id) ? metrics::Direction::Upload : metrics::Direction::Download,
            record.success                          ? metrics::Outcome::Ok
            : record.code == REPLY_TRANSFER_ABORTED ? metrics::Outcome::Aborted
                                                    : metrics::Outcome::Failed);
    if (record.fileError != 0)
        LogEvent(platform::LogLevel::Error,
                 std::string(IsUpload(record.id) ? "upload" : "download") + " of " + record.path +
                     " failed: " + std::strerror(record.fileError));
    bool info = platform::Log::On(platform::LogLevel::Info);
    if (!info && !platform::Log::TransferLogOpen()) return;
    TransferLogEntry entry;
    entry.end = record.end;
    entry.milliseconds = record.milliseconds;
    entry.peer = peer_;
    entry.anonymous = state_.user->name == "anonymous";
    entry.user = state_.user->name;  // for anonymous not the e-mail: it is the password
    entry.path = record.path;
    entry.bytes = record.fileBytes;
    entry.binary = transfers_.DataTypeInUse() == TYPE_IMAGE;
    entry.incoming = IsUpload(record.id);
    entry.complete = record.success;
    entry.code = record.code;
    if (info) LogEvent(platform::LogLevel::Info, TransferLogText(entry));
    platform::Log::WriteTransfer(XferlogLine(entry));
}

void CFtpServerConnection::CountFiles(uint64_t uploads, uint64_t downloads) {
    state_.user->uploads += uploads;
    state_.user->downloads += downloads;
    sessionUploads_ += uploads;
    sessionDownloads_ += downloads;
    controller_->AddTransferA(this, uploads, downloads);
}

void CFtpServerConnection::CountBytes(uint64_t received, uint64_t sent) {
    state_.user->bytesReceived += received;
    state_.user->bytesSent += sent;
    metrics::Counters().CountBytes(received, sent);
    controller_->AddTransferB(this, received, sent);
}

void CFtpServerConnection::FillView(SessionView& view) const {
    CFtpPooledSession::FillView(view);
    const UserRecord* user = state_.user.get();
    view.hasUser = user != nullptr;
    view.root = user ? user->home : "";
    view.userUploads = user ? user->uploads : 0;
    view.userDownloads = user ? user->downloads : 0;
}
