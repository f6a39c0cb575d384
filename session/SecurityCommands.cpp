#include "session/SecurityCommands.h"

#include <cstdint>

#include "platform/Text.h"

namespace {
// A number of decimal digits alone that fits 32 bits.
bool Is32BitNumber(const std::string& text) {
    std::optional<uint64_t> value = ParseDecimal(text);
    return value && *value <= UINT32_MAX;
}
}  // namespace

void CSecurityCommands::Auth(const std::string& argument) {
    if (!session_.SecurityTlsOffered()) return (void)session_.SecurityReply(CMD_AUTH, 534);
    if (argument.empty()) return (void)session_.SecurityReply(CMD_AUTH, 502);
    std::string upper = platform::AsciiUpper(argument);
    AuthMechanism mechanism = upper == "SSL" ? AUTH_SSL : upper == "TLS" ? AUTH_TLS : AUTH_NONE;
    if (mechanism == AUTH_NONE) return (void)session_.SecurityReply(CMD_AUTH, 504);
    if (!session_.SecurityTlsAllowed() || session_.SecurityControlSecure())
        return (void)session_.SecurityReply(CMD_AUTH, 431);
    session_.SecurityStartTls(mechanism);
    // The handshake starts once this reply is out (the control socket's next send event).
    session_.SecurityReply(CMD_AUTH, 234);
}

void CSecurityCommands::Pbsz(const std::string& argument) {
    if (!session_.SecurityControlSecure()) return (void)session_.SecurityReply(CMD_PBSZ, 503);
    if (!Is32BitNumber(argument)) return (void)session_.SecurityReply(CMD_PBSZ, 501);
    session_.SecurityReply(CMD_PBSZ, 200, "PBSZ=0.");
}

void CSecurityCommands::Prot(const std::string& argument) {
    if (!session_.SecurityControlSecure()) return (void)session_.SecurityReply(CMD_PROT, 503);
    if (!session_.SecurityLoggedIn()) {
        // Before login PROT must follow a PBSZ directly.
        const std::string& previous = session_.SecurityPreviousLine();
        std::string size;
        if (LookupCommand(previous) != CMD_PBSZ || !GetArgument(previous, size) ||
            !Is32BitNumber(size))
            return (void)session_.SecurityReply(CMD_PROT, 503);
    }
    if (argument.size() != 1) return (void)session_.SecurityReply(CMD_PROT, 501);
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
            return (void)session_.SecurityReply(CMD_PROT, 536);
        default:
            return (void)session_.SecurityReply(CMD_PROT, 504);
    }
    session_.SecuritySetProtection(protection);
    session_.SecurityReply(CMD_PROT, 200);
}

void CSecurityCommands::Ccc(const std::string& argument) {
    if (!argument.empty()) return (void)session_.SecurityReply(CMD_CCC, 502);
    if (!session_.SecurityControlSecure()) return (void)session_.SecurityReply(CMD_CCC, 533);
    if (!session_.SecurityLoggedIn()) return (void)session_.SecurityReply(CMD_CCC, 534);
    session_.SecurityEndTls();
    // TLS ends once this reply is out, so the reply itself still travels protected.
    session_.SecurityReply(CMD_CCC, 200);
}
