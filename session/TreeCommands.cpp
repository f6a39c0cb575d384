#include "session/TreeCommands.h"

#include <cstdio>

#include "config/FolderPath.h"
#include "config/UserAccounts.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"
#include "session/Replies.h"
#include "session/SharePoints.h"

namespace {
std::string Filled(int code, const std::string& argument) {
    std::string text = DefaultReplyText(code);
    size_t at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, argument);
    return text;
}

// RNFR's source: not the root or a share point itself, and something there.
bool RenameSource(const std::string& folder, const std::string& argument, const std::string& home,
                  std::string& resolved, CheckedPath& checked) {
    resolved = WithoutTrailingSeparator(ResolveAgainst(folder, argument));
    if (resolved.empty() || IsSharePointRoot(resolved)) return false;
    checked = CheckPath(resolved, home);
    return checked.IsFile() || checked.IsFolder();
}
}  // namespace

std::string ShownFolder(const std::string& folder) {
    std::string shown = folder;
    for (char& c : shown)
        if (c == '\\') c = '/';
    if (!shown.empty()) shown.pop_back();
    return shown.empty() ? "/" : shown;
}

bool ParseModifyStamp(const std::string& argument, struct tm& when, std::string& path) {
    path = argument;
    std::string rest;
    if (!GetArgument(argument, rest)) return false;
    std::string stamp = argument.substr(0, argument.find_first_of(" \t"));
    size_t dot = stamp.rfind('.');
    if (dot != std::string::npos && dot != 0) stamp.erase(dot);
    int y, mo, d, h, mi, sec;
    if (stamp.size() != 14 || stamp.find_first_not_of("0123456789") != std::string::npos ||
        std::sscanf(stamp.c_str(), "%4d%2d%2d%2d%2d%2d", &y, &mo, &d, &h, &mi, &sec) != 6 ||
        y < 1970 || y > 9999 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 ||
        sec > 59)
        return false;
    when = {};
    when.tm_year = y - 1900;
    when.tm_mon = mo - 1;
    when.tm_mday = d;
    when.tm_hour = h;
    when.tm_min = mi;
    when.tm_sec = sec;
    path = rest;
    return true;
}

std::string ModifyStampText(time_t t) {
    struct tm utc {};
    gmtime_r(&t, &utc);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

void CTreeCommands::Cwd(const std::string& path) {
    if (path.empty() || path.find_first_of("*?") != std::string::npos)
        return (void)session_.TreeReply(CMD_CWD, REPLY_BAD_ARGUMENTS);
    std::string resolved = ResolveAgainst(session_.TreeFolder(), path);
    if (!FolderExists(resolved, session_.TreeHome()))
        return (void)session_.TreeReply(CMD_CWD, REPLY_NOT_TAKEN);
    session_.TreeEnterFolder(resolved);
}

void CTreeCommands::Pwd(CommandId id) {
    session_.TreeReply(id, REPLY_PATH_CREATED,
                       "\"" + ShownFolder(session_.TreeFolder()) + "\" is current directory.");
}

// The user's rights where a command's argument lands.
uint32_t CTreeCommands::RightsFor(const std::string& argument) const {
    return RightsAt(ResolveAgainst(session_.TreeFolder(), argument), session_.TreeRights());
}

void CTreeCommands::Mkd(const std::string& argument) {
    if (!(RightsFor(argument) & RightsWrite))
        return (void)session_.TreeReply(CMD_MKD, REPLY_NOT_TAKEN);
    if (argument.empty()) return (void)session_.TreeReply(CMD_MKD, REPLY_BAD_ARGUMENTS);
    if (!IsValidName(argument)) return (void)session_.TreeReply(CMD_MKD, REPLY_NOT_TAKEN);
    std::string resolved = ResolveAgainst(session_.TreeFolder(), argument);
    CheckedPath at = CheckPath(resolved, session_.TreeHome());
    if (resolved == "\\" || at.IsFolder())
        return (void)session_.TreeReply(CMD_MKD, REPLY_FOLDER_EXISTS,
                                        Filled(REPLY_FOLDER_EXISTS, argument));
    if (at.Maps() && platform::Files().MakeFolder(at.real))
        session_.TreeReply(CMD_MKD, REPLY_PATH_CREATED, Filled(REPLY_PATH_CREATED, argument));
    else
        session_.TreeReply(CMD_MKD, REPLY_NOT_TAKEN);
}

void CTreeCommands::Rmd(const std::string& argument) {
    if (!(RightsFor(argument) & RightsDelete))
        return (void)session_.TreeReply(CMD_RMD, REPLY_NOT_TAKEN);
    if (argument.empty()) return (void)session_.TreeReply(CMD_RMD, REPLY_BAD_ARGUMENTS);
    std::string resolved = ResolveAgainst(session_.TreeFolder(), argument);
    CheckedPath at = CheckPath(resolved, session_.TreeHome());
    if (IsValidName(argument) && at.IsFolder() && !IsSharePointRoot(resolved) &&
        platform::Files().RemoveFolder(at.real))
        session_.TreeReply(CMD_RMD, REPLY_FILE_ACTION_DONE);
    else
        session_.TreeReply(CMD_RMD, REPLY_NOT_TAKEN);
}

void CTreeCommands::Dele(const std::string& argument) {
    if (!(RightsFor(argument) & RightsDelete))
        return (void)session_.TreeReply(CMD_DELE, REPLY_NOT_TAKEN);
    if (argument.empty()) return (void)session_.TreeReply(CMD_DELE, REPLY_BAD_ARGUMENTS);
    CheckedPath at = CheckFileArgument(session_.TreeFolder(), argument, session_.TreeHome());
    if (IsValidName(argument) && at.IsFile() && platform::Files().RemoveFile(at.real))
        session_.TreeReply(CMD_DELE, REPLY_FILE_ACTION_DONE);
    else
        session_.TreeReply(CMD_DELE, REPLY_NOT_TAKEN);
}

void CTreeCommands::Rnfr(const std::string& argument) {
    if (!(RightsFor(argument) & RightsRename))
        return (void)session_.TreeReply(CMD_RNFR, REPLY_NOT_TAKEN);
    if (argument.empty() || !IsValidName(argument))
        return (void)session_.TreeReply(CMD_RNFR, REPLY_BAD_ARGUMENTS);
    std::string resolved;
    CheckedPath checked;
    bool ok = RenameSource(session_.TreeFolder(), argument, session_.TreeHome(), resolved, checked);
    session_.TreeReply(CMD_RNFR, ok ? REPLY_PENDING : REPLY_NOT_TAKEN);
}

void CTreeCommands::Rnto(const std::string& argument) {
    if (!(RightsFor(argument) & RightsRename))
        return (void)session_.TreeReply(CMD_RNTO, REPLY_NOT_TAKEN);
    // The name to rename comes from the line just before, which must be an RNFR.
    const std::string& previous = session_.TreePreviousLine();
    std::string source, from;
    CheckedPath fromAt;
    if (LookupCommand(previous) != CMD_RNFR || !GetArgument(previous, source) ||
        !IsValidName(source) ||
        !RenameSource(session_.TreeFolder(), source, session_.TreeHome(), from, fromAt))
        return (void)session_.TreeReply(CMD_RNTO, REPLY_BAD_SEQUENCE);
    std::string to = WithoutTrailingSeparator(ResolveAgainst(session_.TreeFolder(), argument));
    if (argument.empty() || !IsValidName(argument) || to.empty() || IsSharePointRoot(to))
        return (void)session_.TreeReply(CMD_RNTO, REPLY_NAME_NOT_ALLOWED);
    CheckedPath toAt = CheckPath(to, session_.TreeHome());
    if (toAt.IsFile() || toAt.IsFolder())
        return (void)session_.TreeReply(CMD_RNTO, REPLY_NAME_NOT_ALLOWED);
    // Within one folder only.
    std::vector<std::string> a = SplitVirtual(from), b = SplitVirtual(to);
    if (a.size() != b.size()) return (void)session_.TreeReply(CMD_RNTO, REPLY_NAME_NOT_ALLOWED);
    for (size_t i = 0; i + 1 < a.size(); ++i)
        if (!platform::EqualsIgnoreCase(a[i], b[i]))
            return (void)session_.TreeReply(CMD_RNTO, REPLY_NAME_NOT_ALLOWED);
    if (toAt.Maps() && platform::Files().Rename(fromAt.real, toAt.real))
        session_.TreeReply(CMD_RNTO, REPLY_FILE_ACTION_DONE);
    else
        session_.TreeReply(CMD_RNTO, REPLY_NAME_NOT_ALLOWED);
}

void CTreeCommands::Size(const std::string& argument) {
    if (argument.empty()) return (void)session_.TreeReply(CMD_SIZE, REPLY_BAD_ARGUMENTS);
    CheckedPath at = CheckFileArgument(session_.TreeFolder(), argument, session_.TreeHome());
    if (!at.IsFile()) return (void)session_.TreeReply(CMD_SIZE, REPLY_NOT_TAKEN);
    if (session_.TreeTextType()) return session_.TreeCountTextSize(at.real);
    session_.TreeReply(CMD_SIZE, REPLY_FILE_STATUS, std::to_string(at.facts.size));
}

void CTreeCommands::Mdtm(const std::string& argument) {
    if (argument.empty()) return (void)session_.TreeReply(CMD_MDTM, REPLY_BAD_ARGUMENTS);
    struct tm when {};
    std::string path;
    bool setting = ParseModifyStamp(argument, when, path);
    CheckedPath at = CheckFileArgument(session_.TreeFolder(), path, session_.TreeHome());
    if (!at.IsFile()) return (void)session_.TreeReply(CMD_MDTM, REPLY_NOT_TAKEN);
    platform::FileFacts facts = at.facts;
    if (setting) {
        if (!(RightsFor(path) & RightsWrite))
            return (void)session_.TreeReply(CMD_MDTM, REPLY_NAME_NOT_ALLOWED, "Permission denied.");
        // The time is given as local time.
        if (!platform::Files().SetModified(at.real, platform::MakeLocalTime(when)))
            return (void)session_.TreeReply(CMD_MDTM, REPLY_NOT_TAKEN);
        facts = platform::Files().Status(at.real);
        if (!facts.exists) return (void)session_.TreeReply(CMD_MDTM, REPLY_NOT_TAKEN);
    }
    // Replies give UTC, as RFC 3659 has it.
    session_.TreeReply(CMD_MDTM, REPLY_FILE_STATUS,
                       ModifyStampText(static_cast<time_t>(facts.modified)));
}

void CTreeCommands::Mlst(const std::string& argument) {
    std::string path = WithoutTrailingSeparator(
        ResolveAgainst(session_.TreeFolder(), argument.empty() ? "." : argument));
    std::optional<EntryFacts> facts =
        PathFacts(path, session_.TreeHome(), RightsAt(path, session_.TreeRights()));
    if (!facts) return (void)session_.TreeReply(CMD_MLST, REPLY_NOT_TAKEN);
    // The entry is named by its whole path, as RFC 3659 allows.
    std::string shown = ShownFolder(path + "\\");
    session_.TreeBegin(CMD_MLST, REPLY_FILE_ACTION_DONE);
    session_.TreeLine("250-Listing " + shown + "\r\n " +
                      FactsLine(*facts, session_.TreeMachineFacts(), shown));
    session_.TreeLine("250 End");
}
