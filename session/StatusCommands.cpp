#include "session/StatusCommands.h"

#include "platform/Text.h"
#include "session/Replies.h"

void CStatusCommands::Stat(const std::string& argument) {
    if (std::optional<uint64_t> position = session_.StatusTransferPosition()) {
        session_.StatusReply(CMD_STAT, REPLY_SYSTEM_STATUS,
                             "Position is " + std::to_string(*position) + ".");
        return;
    }
    session_.StatusBegin(CMD_STAT, REPLY_SYSTEM_STATUS);
    if (!argument.empty()) {
        session_.StatusLine("211-Begin status of " + argument);
        session_.StatusLine("211 End status.");
        return;
    }
    session_.StatusLine(StatusBlock(session_.StatusOfSession()));
    session_.StatusLine("211 End status.");
}

void CStatusCommands::Help(const std::string& argument) {
    if (!argument.empty()) {
        CommandId id = LookupCommand(argument, session_.StatusMachineListings());
        if (id == 0)
            return (void)session_.StatusReply(CMD_HELP, REPLY_NOT_IMPLEMENTED,
                                              "Unknown command " + argument + ".");
        session_.StatusReply(CMD_HELP, REPLY_HELP, "Syntax: " + SyntaxOf(id));
        return;
    }
    session_.StatusBegin(CMD_HELP, REPLY_HELP);
    session_.StatusLine(HelpBlock(session_.StatusMachineListings()));
    session_.StatusLine("214 Send HELP <command> for additional information.");
}

void CStatusCommands::Feat(const std::string& argument) {
    if (!argument.empty()) return (void)session_.StatusReply(CMD_FEAT, REPLY_BAD_ARGUMENTS);
    session_.StatusBegin(CMD_FEAT, REPLY_SYSTEM_STATUS);
    std::optional<unsigned> facts;
    if (session_.StatusMachineListings()) facts = session_.StatusMachineFacts();
    session_.StatusLine(FeatureBlock(session_.StatusDeflateOn(), facts));
    session_.StatusLine("211 End");
}

void CStatusCommands::Opts(const std::string& argument) {
    if (argument.empty()) return (void)session_.StatusReply(CMD_OPTS, REPLY_BAD_ARGUMENTS);
    CommandId id = LookupCommand(argument, session_.StatusMachineListings());
    if (id == 0) return (void)session_.StatusReply(CMD_OPTS, session_.StatusApplyUtf8(argument));
    if (id == CMD_MLST) {
        // RFC 3659: the facts named after the command word, unknown ones left out; the reply
        // says which are now shown.
        std::string facts;
        GetArgument(argument, facts);
        unsigned chosen = ParseFactChoice(facts);
        session_.StatusSetMachineFacts(chosen);
        std::string shown = ChosenFacts(chosen);
        return (void)session_.StatusReply(CMD_OPTS, REPLY_OK,
                                          "MLST OPTS" + (shown.empty() ? "" : " " + shown));
    }
    if (id == CMD_MODE) {
        std::string upper = platform::AsciiUpper(argument);
        if (!session_.StatusDeflateReady() || upper.compare(0, 6, "MODE Z") != 0)
            return (void)session_.StatusReply(CMD_OPTS, REPLY_BAD_ARGUMENTS,
                                              "Option not recognized.");
        std::optional<int> level = ParseDeflateOptions(upper.substr(6));
        if (!level || !session_.StatusSetDeflateLevel(*level))
            return (void)session_.StatusReply(CMD_OPTS, REPLY_BAD_ARGUMENTS);
        session_.StatusReply(CMD_OPTS, REPLY_OK);
        return;
    }
    if (id == CMD_FEAT || id == CMD_OPTS)
        return (void)session_.StatusReply(CMD_OPTS, REPLY_BAD_ARGUMENTS);
    session_.StatusReply(CMD_OPTS, REPLY_BAD_ARGUMENTS, "Option not recognized.");
}

void CStatusCommands::Site(const std::string& argument) {
    size_t gap = argument.find_first_of(" \t");
    size_t pathStart = gap == std::string::npos ? gap : argument.find_first_not_of(" \t", gap);
    if (pathStart == std::string::npos)
        return (void)session_.StatusReply(CMD_SITE, REPLY_BAD_ARGUMENTS);
    if (!platform::EqualsIgnoreCase(argument.substr(0, gap), "md5"))
        return (void)session_.StatusReply(CMD_SITE, REPLY_SYNTAX_ERROR);
    if (!session_.StatusStartDigest(argument.substr(pathStart)))
        session_.StatusReply(CMD_SITE, REPLY_NOT_TAKEN);
}
