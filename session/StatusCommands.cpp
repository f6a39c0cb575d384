// The status and feature commands of the session: STAT, HELP, FEAT, OPTS, SITE MD5.

#include "config/SettingNames.h"
#include "config/SettingsMap.h"
#include "platform/Text.h"
#include "session/Replies.h"
#include "session/ServerConnection.h"
#include "session/StatusTexts.h"

namespace {
constexpr uint64_t kStartPending = 1;
constexpr uint32_t kDigestStep = 8192;
}  // namespace

void CFtpServerConnection::HandleStat(const std::string& argument) {
    if (OperationInProgress()) {
        uint64_t position = (file_.State() & STREAM_COMPLETE) ? 0 : file_.Position();
        SendReply(CMD_STAT, 211, "Position is " + std::to_string(position) + ".");
        return;
    }
    OnReply(CMD_STAT, 2, 211, "");
    if (!argument.empty()) {
        control_.WriteLine("211-Begin status of " + argument);
        control_.WriteLine("211 End status.");
        return;
    }
    SessionStatus status;
    if (!BoolSetting(setting::NetFixIPState)) {
        int port = 0;
        primarySocket_->GetSockName(status.localAddress, port);
    }
    Settings().GetString(setting::SysAdminEmail, status.contact);
    status.user = user_->name;
    status.auth = authMechanism_;
    status.type = dataType_;
    status.mode = transferMode_;
    status.structure = fileStructure_;
    status.bytesSent = user_->bytesSent;
    status.downloads = user_->downloads;
    status.bytesReceived = user_->bytesReceived;
    status.uploads = user_->uploads;
    control_.WriteLine(StatusBlock(status));
    control_.WriteLine("211 End status.");
}

void CFtpServerConnection::HandleHelp(const std::string& argument) {
    if (!argument.empty()) {
        CommandId id = LookupCommand(argument);
        if (id == 0) return (void)SendReply(CMD_HELP, 502, "Unknown command " + argument + ".");
        SendReply(CMD_HELP, 214, "Syntax: " + SyntaxOf(id));
        return;
    }
    OnReply(CMD_HELP, 2, 214, "");
    control_.WriteLine(HelpBlock());
    control_.WriteLine("214 Send HELP <command> for additional information.");
}

void CFtpServerConnection::HandleFeat(const std::string& argument) {
    if (!argument.empty()) return (void)SendReply(CMD_FEAT, 501);
    OnReply(CMD_FEAT, 2, 211, "");
    control_.WriteLine(FeatureBlock(BoolSetting(setting::SysDeflateState)));
    control_.WriteLine("211 End");
}

void CFtpServerConnection::HandleOpts(const std::string& argument) {
    if (argument.empty()) return (void)SendReply(CMD_OPTS, 501);
    CommandId id = LookupCommand(argument);
    if (id == 0) {
        int code = ApplyUtf8Option(argument, utf8_, utf8Nlst_);
        control_.SetUtf8(utf8_);
        SendReply(CMD_OPTS, code);
        return;
    }
    if (id == CMD_MODE) {
        std::string upper = platform::AsciiUpper(argument);
        if (!BoolSetting(setting::SysDeflateState) || !deflate_.Initialised() ||
            upper.compare(0, 6, "MODE Z") != 0)
            return (void)SendReply(CMD_OPTS, 501, "Option not recognized.");
        std::optional<int> level = ParseDeflateOptions(upper.substr(6));
        if (!level || !deflate_.SetLevel(*level)) return (void)SendReply(CMD_OPTS, 501);
        SendReply(CMD_OPTS, 200);
        return;
    }
    if (id == CMD_FEAT || id == CMD_OPTS) return (void)SendReply(CMD_OPTS, 501);
    SendReply(CMD_OPTS, 501, "Option not recognized.");
}

void CFtpServerConnection::HandleSite(const std::string& argument) {
    size_t gap = argument.find_first_of(" \t");
    size_t pathStart = gap == std::string::npos ? gap : argument.find_first_not_of(" \t", gap);
    if (pathStart == std::string::npos) return (void)SendReply(CMD_SITE, 501);
    if (!platform::EqualsIgnoreCase(argument.substr(0, gap), "md5"))
        return (void)SendReply(CMD_SITE, 500);
    std::string real;
    if (!OpenForReading(argument.substr(pathStart), true, real))
        return (void)SendReply(CMD_SITE, 550);
    SetCurrentOperation(CMD_SITE, real, kStartPending);
    ContinueOnSend();
}

void CFtpServerConnection::DigestStep() {
    try {
        CFtpFifoBuffer& buffer = file_.Buffer();
        buffer.Clear();  // only the digest of what was read matters
        if (file_.ReadFile(buffer, kDigestStep) > 0) return ContinueOnSend();
        file_.CloseFile();  // finishes the digest (a read that found the end closed it already)
        std::string digest = file_.DigestHex();
        file_.Close();
        SetCurrentOperation(CMD_NOOP);
        SendReply(CMD_SITE, 200, digest);
    } catch (const CFileError&) {
        file_.Close();
        SetCurrentOperation(CMD_NOOP);
        SendReply(CMD_SITE, 550);
    }
}
