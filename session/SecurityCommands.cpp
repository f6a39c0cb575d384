#include "session/SecurityCommands.h"

#include <cstdint>

#include "platform/Text.h"
#include "session/Replies.h"

namespace {
// A number of decimal digits alone that fits 32 bits.
bool Is32BitNumber(const std::string& text) {
    std::optional<uint64_t> value = ParseDecimal(text);
    return value && *value <= UINT32_MAX;
}
}  // namespace

void CSecurityCommands::Auth(const std::string& argument) {
    if (!session_.SecurityTlsOffered())
        return (void)session_.SecurityReply(CMD_AUTH, REPLY_POLICY_DENIED);
    if (argument.empty()) return (void)session_.SecurityReply(CMD_AUTH, REPLY_NOT_IMPLEMENTED);
    std::string upper = platform::AsciiUpper(argument);
    AuthMechanism mechanism = upper == "SSL" ? AUTH_SSL : upper == "TLS" ? AUTH_TLS : AUTH_NONE;
    if (mechanism == AUTH_NONE) return (void)session_.SecurityReply(CMD_AUTH, REPLY_BAD_PARAMETER);
    if (!session_.SecurityTlsAllowed() || session_.SecurityControlSecure())
        return (void)session_.SecurityReply(CMD_AUTH, REPLY_NO_SECURITY_RESOURCE);
    session_.SecurityStartTls(mechanism);
    // The handshake starts once this reply is out (the control socket's next send event).
    session_.SecurityReply(CMD_AUTH, REPLY_SECURITY_READY);
}

void CSecurityCommands::Pbsz(const std::string& argument) {
    if (!session_.SecurityControlSecure())
        return (void)session_.SecurityReply(CMD_PBSZ, REPLY_BAD_SEQUENCE);
    if (!Is32BitNumber(argument))
        return (void)session_.SecurityReply(CMD_PBSZ, REPLY_BAD_ARGUMENTS);
    session_.SecurityReply(CMD_PBSZ, REPLY_OK, "PBSZ=0.");
}

void CSecurityCommands::Prot(const std::string& argument) {
    if (!session_.SecurityControlSecure())
        return (void)session_.SecurityReply(CMD_PROT, REPLY_BAD_SEQUENCE);
    if (!session_.SecurityLoggedIn()) {
        // Before login PROT must follow a PBSZ directly.
        const std::string& previous = session_.SecurityPreviousLine();
        std::string size;
        if (LookupCommand(previous) != CMD_PBSZ || !GetArgument(previous, size) ||
            !Is32BitNumber(size))
            return (void)session_.SecurityReply(CMD_PROT, REPLY_BAD_SEQUENCE);
    }
    if (argument.size() != 1) return (void)session_.SecurityReply(CMD_PROT, REPLY_BAD_ARGUMENTS);
    DataProtection protection;
    switch (platform::AsciiUpper(argument)[0]) {
        case 'C':
            protection = PROT_CLEAR;
            break;
        case 'E':
            protection = PROT_CONFIDENTIAL;
            break;
        case 'P':
            protection = PROT_PRIVATE;
            break;
        case 'S':
            return (void)session_.SecurityReply(CMD_PROT, REPLY_PROT_UNSUPPORTED);
        default:
            return (void)session_.SecurityReply(CMD_PROT, REPLY_BAD_PARAMETER);
    }
    session_.SecuritySetProtection(protection);
    session_.SecurityReply(CMD_PROT, REPLY_OK);
}

void CSecurityCommands::Ccc(const std::string& argument) {
    if (!argument.empty()) return (void)session_.SecurityReply(CMD_CCC, REPLY_NOT_IMPLEMENTED);
    if (!session_.SecurityControlSecure())
        return (void)session_.SecurityReply(CMD_CCC, REPLY_PROTECTION_DENIED);
    if (!session_.SecurityLoggedIn())
        return (void)session_.SecurityReply(CMD_CCC, REPLY_POLICY_DENIED);
    session_.SecurityEndTls();
    // TLS ends once this reply is out, so the reply itself still travels protected.
    session_.SecurityReply(CMD_CCC, REPLY_OK);
}
