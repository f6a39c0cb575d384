// The security commands of the session: AUTH, PBSZ, PROT, CCC, and the check of protected
// data connections.

#include <cstdint>

#include "config/SettingNames.h"
#include "net/TlsRuntime.h"
#include "platform/Text.h"
#include "session/Replies.h"
#include "session/ServerConnection.h"

namespace {
// A number of decimal digits alone that fits 32 bits.
bool Is32BitNumber(const std::string& text) {
    std::optional<uint64_t> value = ParseDecimal(text);
    return value && *value <= UINT32_MAX;
}
}  // namespace

bool CFtpServerConnection::PrepareTls() {
    return false;
}

bool CFtpServerConnection::ControlSwitchPending() const {
    return operation_.commandId == CMD_AUTH || operation_.commandId == CMD_CCC;
}

void CFtpServerConnection::HandleAuth(const std::string& argument) {
    if (!BoolSetting(setting::SSLState) || !CTlsRuntime::Instance().HasServerContext())
        return (void)SendReply(CMD_AUTH, 534);
    if (argument.empty()) return (void)SendReply(CMD_AUTH, 502);
    std::string upper = platform::AsciiUpper(argument);
    int mechanism = upper == "SSL" ? 1 : upper == "TLS" ? 3 : 0;
    if (mechanism == 0) return (void)SendReply(CMD_AUTH, 504);
    if (!PrepareTls() || primarySocket_->IsSecure()) return (void)SendReply(CMD_AUTH, 431);
    authMechanism_ = mechanism;
    dataProtection_ = 3;
    SetCurrentOperation(CMD_AUTH);
    // The handshake starts once this reply is out (the control socket's next send event).
    SendReply(CMD_AUTH, 234);
}

void CFtpServerConnection::HandlePbsz(const std::string& argument) {
    if (!primarySocket_->IsSecure()) return (void)SendReply(CMD_PBSZ, 503);
    if (!Is32BitNumber(argument)) return (void)SendReply(CMD_PBSZ, 501);
    SendReply(CMD_PBSZ, 200, "PBSZ=0.");
}

void CFtpServerConnection::HandleProt(const std::string& argument) {
    if (!primarySocket_->IsSecure()) return (void)SendReply(CMD_PROT, 503);
    if (!loggedIn_) {
        std::string size;
        if (LookupCommand(previousLine_) != CMD_PBSZ || !GetArgument(previousLine_, size) ||
            !Is32BitNumber(size))
            return (void)SendReply(CMD_PROT, 503);
    }
    if (argument.size() != 1) return (void)SendReply(CMD_PROT, 501);
    int protection;
    switch (platform::AsciiUpper(argument)[0]) {
        case 'C':
            protection = 0;
            break;
        case 'E':
            protection = 2;
            break;
        case 'P':
            protection = 3;
            break;
        case 'S':
            return (void)SendReply(CMD_PROT, 536);
        default:
            return (void)SendReply(CMD_PROT, 504);
    }
    data_.ForgetPassive();
    dataProtection_ = protection;
    SendReply(CMD_PROT, 200);
}

void CFtpServerConnection::HandleCcc(const std::string& argument) {
    if (!argument.empty()) return (void)SendReply(CMD_CCC, 502);
    if (!primarySocket_->IsSecure()) return (void)SendReply(CMD_CCC, 533);
    if (!loggedIn_) return (void)SendReply(CMD_CCC, 534);
    SetCurrentOperation(CMD_CCC);
    // TLS ends once this reply is out, so the reply itself still travels protected.
    SendReply(CMD_CCC, 200);
}

bool CFtpServerConnection::EndControlTls() {
    // Only the control connection goes back to plain text: the data protection the client
    // chose with PROT stays (RFC 4217; clients such as curl go on using TLS for data after
    // CCC, and data asked to be private must not go out in clear). REIN resets it anyway.
    authMechanism_ = 0;
    if (primarySocket_->State() == SS_CONNECTED && primarySocket_->IsSecure())
        return primarySocket_->SetTlsRole(TLS_NONE);
    return true;
}

bool CFtpServerConnection::VerifyDataConnection() {
    if (dataProtection_ == 0 || dataVerified_) return true;
    if (!secondarySocket_->TlsEstablished()) {
        secondarySocket_->SetWriteWanted(true);  // the send event after the handshake
        return false;
    }
    if (BoolSetting(setting::SSLVerifyCert) &&
        primarySocket_->SamePeerCertificate(*secondarySocket_) < 1) {
        FinishTransfer(435);
        return false;
    }
    dataVerified_ = true;
    // An upload may have data waiting already; its receive events were only re-armed so far.
    if (IsUpload(operation_.commandId)) Notify(EV_RECEIVE, secondarySocket_);
    return true;
}
