#include "config/SettingsCatalog.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "config/IpRules.h"
#include "config/PageChecks.h"
#include "config/SettingNames.h"
#include "config/SettingsMap.h"
#include "config/ShellTexts.h"
#include "platform/Text.h"

namespace {
using K = SettingKind;
using E = SettingEffect;
using C = SettingCheck;

const std::vector<SettingInfo> kSettings = {
    {setting::LogState, K::Bool, "true", nullptr, E::Reload},
    {setting::LogInfoMsg, K::Bool, "false", nullptr, E::Reload},
    {setting::LogWarnMsg, K::Bool, "true", nullptr, E::Reload},
    {setting::LogErrorMsg, K::Bool, "true", nullptr, E::Reload},
    // The transfer log's file; "" (the default) writes none.
    {setting::LogXferFile, K::File, "", nullptr, E::Reload},
    {setting::LogMask, K::Int64, "8791798054911", nullptr, E::Unread},  // 0x7FEFFFFFFFF
    {setting::SysName, K::Text, "", nullptr, E::NextStart},
    {setting::SysAdminEmail, K::Text, kDefaultAdminEmail, kDefaultAdminEmail, E::NextStart},
    {setting::SysIdleTimeout, K::Int, "300", "300", E::NextStart, C::DigitsAtLeastOne},
    {setting::SysLoginAttempts, K::Int, "3", "3", E::NextStart, C::DigitsAtLeastOne},
    {setting::SysCmdTimeout, K::Int, "5", nullptr, E::NextStart, C::Range, 0, INT_MAX},
    // How many loop threads serve sessions; 0 (the default) one per online processor.
    {setting::SysSessionLoops, K::Int, "0", nullptr, E::ProgramStart, C::Range, 0, 64},
    {setting::SysVersion, K::Text, "", nullptr, E::Unread},
    {setting::SysWelcomeMsgState, K::Bool, "false", "true", E::NextStart},
    {setting::SysWelcomeMsg, K::File, "", "{documents}/Welcome.txt", E::NextStart},
    {setting::SysCwdMsgState, K::Bool, "true", nullptr, E::NextStart},
    {setting::SysDbName, K::Text, ".", nullptr, E::Unread},
    {setting::SysAnonState, K::Bool, "false", "true", E::NextStart},
    {setting::SysAnonUser, K::Text, "", nullptr, E::Unread},
    {setting::SysAnonPasswd, K::Text, "", nullptr, E::Unread},
    {setting::SysAnonPerm, K::Int, "0", nullptr, E::Unread},
    {setting::SysConsoleState, K::Bool, "false", nullptr, E::NextStart},
    {setting::SysConsolePort, K::Int, "1205", nullptr, E::NextStart, C::Range, 1, 65535},
    {setting::SysConsolePass, K::Secret, "", nullptr, E::NextStart},
    {setting::SysConsoleAuthPeer, K::Bool, "false", nullptr, E::NextStart},
    {setting::SysDeflateState, K::Bool, "true", "false", E::NextStart},
    // MLSD and MLST, with their FEAT line and HELP names; off keeps the replies of old.
    {setting::SysMlstState, K::Bool, "false", nullptr, E::NextStart},
    {setting::SysDeflComprLevel, K::Int, "7", "7", E::NextStart, C::Range, kCompressLevelMin,
     kCompressLevelMax},
    {setting::SysDeflMemLevel, K::Int, "8", "2", E::NextStart, C::Range, kMemoryLevelMin,
     kMemoryLevelMax},
    {setting::SysDeflWindowSize, K::Int, "15", "15", E::NextStart, C::Range, kWindowBitsMin,
     kWindowBitsMax},
    {setting::SysReqSSLLogin, K::Bool, "false", nullptr, E::NextStart},
    // Each named user works in a folder of their own, which "pub" then stands for;
    // anonymous keeps the shared folder. The folders are made at a user's first login.
    {setting::SysFsMapHome, K::Bool, "false", nullptr, E::Reload},
    // The share points beside "pub" ("share add"): their number; they live under FsShares.
    {setting::SysFsCount, K::Int, "0", nullptr, E::Managed},
    // The folder holding the home folders; empty: "home" in the config folder.
    {setting::SysHomeFolder, K::Folder, nullptr, nullptr, E::Reload, C::RootFolder},
    {setting::SysRootFolder, K::Folder, nullptr, "{documents}/", E::Reload, C::RootFolder},
    {setting::PowerSaveOpt, K::Int, nullptr, "0", E::Reload, C::Range, 0,
     static_cast<long long>(kPowerSchemes.size()) - 1},
    {setting::PasswordFile, K::File, nullptr, "{system}/QuenlowFTP.dat", E::Reload},
    // Passwords set or changed from now on are kept as salted hashes (of any length up to
    // 128 characters); off keeps the 8-character passwords of the version 1 file.
    {setting::SysPasswordHash, K::Bool, "false", nullptr, E::Reload},
    {setting::AnonWrite, K::Bool, nullptr, "true", E::Reload},
    {setting::AnonOverwrite, K::Bool, nullptr, "true", E::Reload},
    {setting::AnonDelete, K::Bool, nullptr, "true", E::Reload},
    {setting::AnonRename, K::Bool, nullptr, "true", E::Reload},
    {setting::SSLState, K::Bool, "false", "false", E::ProgramStart},
    {setting::SSLCaFile, K::File, "", "", E::Unread},
    {setting::SSLCaPath, K::Text, "", "", E::Unread},
    {setting::SSLCertFile, K::File, "", "", E::ProgramStart},
    {setting::SSLKeyFile, K::File, "", "", E::ProgramStart},
    {setting::SSLAuthClient, K::Bool, "false", "false", E::ProgramStart},
    {setting::SSLPassPhrase, K::Secret, "", "", E::ProgramStart},
    {setting::SSLCASerialNum, K::Int, "1", nullptr, E::Unread},
    {setting::SSLVerifyCert, K::Bool, "false", nullptr, E::NextStart},
    // A protected data connection must resume the control connection's TLS session.
    {setting::SSLReqSessionReuse, K::Bool, "false", nullptr, E::NextStart},
    {setting::NetTcpPortState, K::Bool, "true", nullptr, E::NextStart},
    {setting::NetTcpPort, K::Int, "21", "21", E::NextStart, C::TcpPort},
    // With SSLState: a second port whose clients speak TLS from the first byte (implicit).
    {setting::NetSslPortState, K::Bool, "true", nullptr, E::NextStart},
    {setting::NetSslPort, K::Int, "990", nullptr, E::NextStart, C::Range, 0, 65535},
    {setting::NetIp, K::AnyAddress, "0.0.0.0", nullptr, E::ProgramStart},
    {setting::NetAdapter, K::Text, "", nullptr, E::Unread},
    {setting::NetMaxConnection, K::Int, "64", "16", E::NextStart, C::SessionLimit},
    {setting::NetLoginsPerIp, K::Int, "4", nullptr, E::NextStart, C::Range, 1, INT_MAX},
    // An address with SysBanFailures failed logins within SysBanWindow minutes is refused for
    // SysBanMinutes; 0 failures (the default) bans nobody.
    {setting::SysBanFailures, K::Int, "0", nullptr, E::NextStart, C::Range, 0, INT_MAX},
    {setting::SysBanWindow, K::Int, "10", nullptr, E::NextStart, C::Range, 1, INT_MAX},
    {setting::SysBanMinutes, K::Int, "60", nullptr, E::NextStart, C::Range, 1, INT_MAX},
    // Behind a TCP load balancer: connections from the NetProxyTrusted sources start with a
    // PROXY protocol header naming the client; others are refused.
    {setting::NetProxyProtocol, K::Bool, "false", nullptr, E::NextStart},
    {setting::NetProxyTrusted, K::Text, "", nullptr, E::NextStart, C::AddressPrefixes},
    // An HTTP port serving /metrics for Prometheus (0: none), on NetMetricsIp.
    {setting::NetMetricsPort, K::Int, "0", nullptr, E::ProgramStart, C::Range, 0, 65535},
    {setting::NetMetricsIp, K::AnyAddress, "127.0.0.1", nullptr, E::ProgramStart},
    {setting::NetForceIp, K::Bool, "true", nullptr, E::Unread},
    {setting::NetPortState, K::Bool, "false", "true",
     E::Managed},  // and forced "true" after loading
    {setting::NetPolicy, K::Bool, "true", "true", E::Reload},
    {setting::NetRuleCount, K::Int, "0", "0", E::Managed},
    {setting::NetPortLow, K::Int, "5000", nullptr, E::Unread, C::Range, 0, 65535},
    {setting::NetPortHigh, K::Int, "6000", nullptr, E::Unread, C::Range, 0, 65535},
    {setting::NetFixIPState, K::Bool, "false", "false", E::NextStart},
    {setting::NetFixIPAddress, K::Address, "0.0.0.0", "0.0.0.0", E::NextStart},
};

size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// A whole signed decimal number, nothing before or after it.
bool ParseWhole(const std::string& text, long long& value) {
    if (text.empty() || text.size() > 20) return false;
    size_t i = text[0] == '-' || text[0] == '+' ? 1 : 0;
    if (i == text.size()) return false;
    for (size_t j = i; j < text.size(); ++j)
        if (text[j] < '0' || text[j] > '9') return false;
    errno = 0;
    value = std::strtoll(text.c_str(), nullptr, 10);
    return errno == 0;
}

SettingValue Refuse(std::string why) {
    return SettingValue{false, std::move(why), {}};
}

SettingValue Take(std::string text, std::string note = {}) {
    return SettingValue{true, std::move(text), std::move(note)};
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

SettingValue CheckNumber(const SettingInfo& info, const std::string& typed) {
    long long value = 0;
    if (info.check == C::DigitsAtLeastOne) {
        std::optional<int> read = ReadDigitsAtLeastOne(typed);
        if (!read) return Refuse(Quoted(typed) + " is not a number of digits only");
        std::string text = std::to_string(*read);
        return Take(text, text == typed ? "" : "read as " + text + " (the lowest is 1)");
    }
    if (!ParseWhole(typed, value)) return Refuse(Quoted(typed) + " is not a whole number");
    if (info.check == C::SessionLimit || info.check == C::TcpPort) {
        int clamped = info.check == C::SessionLimit ? ClampSessionLimit(typed) : ClampPort(typed);
        std::string text = std::to_string(clamped);
        if (clamped == value) return Take(text);
        return Take(text, "clamped from " + typed + ": the " +
                              (value < clamped ? "lowest" : "highest") + " is " + text);
    }
    if (info.check == C::Range) {
        if (value >= info.low && value <= info.high) return Take(std::to_string(value));
        return Refuse(Quoted(typed) + " is out of range: it must be from " +
                      std::to_string(info.low) + " to " + std::to_string(info.high));
    }
    bool fits = info.kind == K::Int64 || (value >= INT_MIN && value <= INT_MAX);
    if (!fits) return Refuse(Quoted(typed) + " is out of range");
    return Take(std::to_string(value));
}

SettingValue CheckBool(const std::string& typed) {
    for (const char* yes : {"true", "yes", "on", "1"})
        if (platform::EqualsIgnoreCase(typed, yes)) return Take("true");
    for (const char* no : {"false", "no", "off", "0"})
        if (platform::EqualsIgnoreCase(typed, no)) return Take("false");
    return Refuse(Quoted(typed) + " is not a boolean: use true or false");
}

SettingValue CheckFolder(const std::string& typed, const std::string& base) {
    if (typed.empty()) return Refuse("the folder cannot be empty");
    std::string path = typed[0] == '/' ? typed : base + "/" + typed;
    std::optional<std::string> folder = CheckRootFolder(path);
    if (!folder)
        return Refuse(Quoted(typed) +
                      " is not a valid folder: no part may be longer than 255 characters, be "
                      "aux, con, lpt1 or prn, or contain any of \" * < > ? \\ |");
    return Take(*folder, *folder == typed ? "" : "stored as " + *folder);
}
}  // namespace

const std::vector<SettingInfo>& KnownSettings() {
    return kSettings;
}

const SettingInfo* FindSetting(const std::string& name) {
    for (const SettingInfo& info : kSettings)
        if (name == info.name) return &info;
    return nullptr;
}

std::vector<std::string> ClosestSettingNames(const std::string& name) {
    std::string wanted = platform::AsciiUpper(name);
    std::vector<std::pair<size_t, std::string>> scored;
    for (const SettingInfo& info : kSettings) {
        std::string known = platform::AsciiUpper(info.name);
        size_t score = EditDistance(wanted, known);
        // A part of a name ("port") finds the names that hold it.
        if (wanted.size() >= 3 && known.find(wanted) != std::string::npos)
            score = std::min<size_t>(score, 1 + known.size() - wanted.size() > 3 ? 3 : 1);
        if (score <= std::max<size_t>(3, wanted.size() / 3)) scored.emplace_back(score, info.name);
    }
    std::stable_sort(scored.begin(), scored.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> names;
    for (size_t i = 0; i < scored.size() && i < 3; ++i) names.push_back(scored[i].second);
    return names;
}

std::string NoSuchSettingText(const std::string& name) {
    std::string text = "there is no setting named \"" + name + "\"";
    std::vector<std::string> close = ClosestSettingNames(name);
    for (size_t i = 0; i < close.size(); ++i)
        text += (i == 0 ? "; did you mean " : i + 1 == close.size() ? " or " : ", ") + close[i];
    if (!close.empty()) text += "?";
    return text;
}

std::optional<std::string> EffectiveDefault(const SettingInfo& info, const std::string& documents,
                                            const std::string& system) {
    const char* text = info.applicationDefault ? info.applicationDefault : info.engineDefault;
    if (!text) return std::nullopt;
    std::string value = text;
    for (auto [mark, folder] :
         {std::pair<std::string, const std::string&>{"{documents}", documents},
          {"{system}", system}}) {
        size_t at = value.find(mark);
        if (at != std::string::npos) value.replace(at, mark.size(), folder);
    }
    return value;
}

SettingValue CheckSettingValue(const SettingInfo& info, const std::string& typed,
                               const std::string& base) {
    if (info.check == C::RootFolder) return CheckFolder(typed, base);
    if (info.check == C::AddressPrefixes) {
        std::vector<AddressPrefix> list;
        std::string problem;
        if (!ParseAddressPrefixes(typed, list, problem)) return Refuse(problem);
        return Take(AddressPrefixesText(list));
    }
    switch (info.kind) {
        case K::Bool:
            return CheckBool(typed);
        case K::Int:
        case K::Int64:
            return CheckNumber(info, typed);
        case K::Address: {
            uint32_t address = 0;
            if (!typed.empty() && !ParseAddress(typed, address))
                return Refuse(Quoted(typed) + " is not an IPv4 address such as 192.0.2.7");
            return Take(typed);
        }
        case K::AnyAddress: {
            uint32_t address = 0;
            if (typed.empty() || !IsIpv6RuleText(typed)) {
                if (!typed.empty() && !ParseAddress(typed, address))
                    return Refuse(Quoted(typed) +
                                  " is not an address such as 192.0.2.7 or 2001:db8::7");
                return Take(typed);
            }
            Address6 address6{};
            int prefix = 0;
            std::string problem;
            if (typed.find('/') != std::string::npos)
                return Refuse(Quoted(typed) + " is a prefix: give one address, such as ::");
            if (!ParsePrefix6(typed, address6, prefix, &problem)) return Refuse(problem);
            char text[INET6_ADDRSTRLEN] = {};
            inet_ntop(AF_INET6, address6.data(), text, sizeof text);
            return Take(text);
        }
        case K::File:
            // The server does not run in the folder the command was typed in.
            if (!typed.empty() && typed[0] != '/' &&
                typed.find_first_of("\r\n") == std::string::npos)
                return Take(base + "/" + typed, "stored as " + base + "/" + typed);
            break;
        case K::Folder:
        case K::Text:
        case K::Secret:
            break;
    }
    if (typed.find_first_of("\r\n") != std::string::npos)
        return Refuse("a setting cannot hold a line break");
    return Take(typed);
}

std::optional<StoredValueFix> FixStoredValue(const SettingInfo& info, const std::string& stored) {
    if (info.kind == K::Bool) {
        if (stored == "true" || stored == "false") return std::nullopt;
        return StoredValueFix{stored, "is neither true nor false, so it reads as false"};
    }
    if (info.kind != K::Int) return std::nullopt;
    // The number the server has always read from the text: its leading digits, else 0.
    int read = 0;
    ParseLeadingInt(stored, read);
    switch (info.check) {
        case C::SessionLimit:
            read = ClampSessionLimit(stored);
            break;
        case C::TcpPort:
            read = ClampPort(stored);
            break;
        case C::DigitsAtLeastOne:
            read = std::max(read, 1);
            break;
        case C::Range:
            read = static_cast<int>(std::clamp<long long>(read, info.low, info.high));
            break;
        default:
            return std::nullopt;
    }
    std::string text = std::to_string(read);
    if (text == stored) return std::nullopt;
    long long typed = 0;
    if (!ParseWhole(stored, typed))
        return StoredValueFix{text, "is not a whole number; it is read as " + text};
    return StoredValueFix{text, "is out of range; " + text + " (the " +
                                    (typed < read ? "lowest" : "highest") + ") is used"};
}

const char* EffectText(SettingEffect effect) {
    switch (effect) {
        case E::NextStart:
            return "The running server keeps its old value until it is restarted.";
        case E::Reload:
            return "A running server takes the change when it reloads (SIGHUP) or restarts.";
        case E::ProgramStart:
            return texts::kRestartForChanges;
        case E::Unread:
            return "Nothing in the server reads this setting; it is only stored.";
        case E::Managed:
            break;
    }
    return "The program keeps this setting itself.";
}
