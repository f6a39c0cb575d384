#include "cli/ConfigCommands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <iomanip>
#include <memory>

#include "cli/AdminSession.h"
#include "config/SettingNames.h"
#include "config/SettingsCatalog.h"
#include "config/UserAccounts.h"
#include "platform/Folders.h"

namespace {
std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

std::string Shown(const SettingInfo& info, const std::string& value) {
    if (info.kind == SettingKind::Secret && !value.empty())
        return "(hidden: \"config get " + std::string(info.name) + "\" shows it)";
    return Quoted(value);
}

std::string DefaultOf(const SettingInfo& info) {
    return EffectiveDefault(info, platform::DocumentsFolder(), platform::ConfigDir())
        .value_or(std::string());
}

int Unknown(CAdminSession& session, const std::string& name) {
    return session.Fail(NoSuchSettingText(name) + " (\"quenlowftp config list\" shows them all)");
}

int Managed(CAdminSession& session, const SettingInfo& info) {
    std::string name = info.name;
    if (name == setting::NetRuleCount)
        return session.Fail(
            "NetRuleCount counts the IP rules; change them with \"quenlowftp rule\"");
    if (name == setting::SysFsCount)
        return session.Fail(
            "SysFsCount counts the share points beside pub; change them with \"quenlowftp "
            "share\"");
    return session.Fail(name + " is set by the server itself at every start");
}

int Save(CAdminSession& session, const SettingInfo& info, const std::string& text,
         const std::string& note) {
    session.Settings().SetSetting(info.name, text);
    if (!session.Settings().SaveSettings()) return session.FailedToSaveSettings();
    session.Out() << info.name << " = " << Shown(info, text)
                  << (note.empty() ? "" : " (" + note + ")") << "\n"
                  << EffectText(info.effect) << "\n";
    return kExitOk;
}

// Paths that the server reads and that do not exist yet are worth a word.
void NoteMissingPath(CAdminSession& session, const SettingInfo& info, const std::string& path) {
    if (path.empty() || (info.kind != SettingKind::Folder && info.kind != SettingKind::File))
        return;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return;
    if (info.kind == SettingKind::Folder)
        session.Note(path + " does not exist yet; the server makes it when it starts");
    else if (info.effect != SettingEffect::Unread)
        session.Note(path + " does not exist");
}

int List(CAdminSession& session, bool changedOnly) {
    if (!session.OpenSettings()) return kExitFailed;
    CAppSettings& settings = session.Settings();
    size_t width = 0;
    for (const SettingInfo& info : KnownSettings())
        width = std::max(width, std::string(info.name).size());
    std::ostream& out = session.Out();
    for (const SettingInfo& info : KnownSettings()) {
        std::string value = settings.GetSetting(info.name), standard = DefaultOf(info);
        bool changed = value != standard;
        if (changedOnly && !changed) continue;
        out << std::left << std::setw(static_cast<int>(width) + 2) << info.name
            << Shown(info, value);
        if (changed) out << "  (default " << Shown(info, standard) << ")";
        out << "\n";
    }
    for (const auto& [name, value] : settings.Store().Entries())
        if (!FindSetting(name))
            out << std::left << std::setw(static_cast<int>(width) + 2) << name << Quoted(value)
                << "  (not a setting of this program; kept as it is)\n";
    return kExitOk;
}

int Get(CAdminSession& session, const std::string& name) {
    if (!session.OpenSettings()) return kExitFailed;
    std::string value;
    if (!session.Settings().Store().GetString(name, value)) return Unknown(session, name);
    session.Out() << value << "\n";
    return kExitOk;
}

// Turning hashing on hashes the passwords already stored, not only those set from now on.
int HashStoredPasswords(CAdminSession& session) {
    if (!session.OpenUsers()) return kExitFailed;
    CUserList& users = session.Users();
    size_t plain = std::count_if(users.Users().begin(), users.Users().end(),
                                 [](const UserAccount& a) { return !a.hashed; });
    if (plain == 0) return kExitOk;
    std::string problem;
    if (!users.SaveUsers(session.PasswordFile(), true, &problem))
        return session.Fail("the passwords already stored stay as they are: " + problem);
    session.Out() << plain << (plain == 1 ? " password" : " passwords") << " in "
                  << session.PasswordFile() << (plain == 1 ? " is" : " are")
                  << " now kept as a hash.\n";
    return kExitOk;
}

int Set(CAdminSession& session, const std::string& name, const std::string& typed) {
    const SettingInfo* info = FindSetting(name);
    if (!info) return Unknown(session, name);
    if (info->effect == SettingEffect::Managed) return Managed(session, *info);
    char cwd[4096];
    SettingValue value = CheckSettingValue(*info, typed, ::getcwd(cwd, sizeof cwd) ? cwd : "/");
    if (!value.accepted) return session.Fail(name + ": " + value.text + "; nothing was changed");
    if (!session.OpenSettings()) return kExitFailed;
    NoteMissingPath(session, *info, value.text);
    int status = Save(session, *info, value.text, value.note);
    if (status == kExitOk && name == setting::SysPasswordHash && value.text == "true")
        return HashStoredPasswords(session);
    return status;
}

// Several NAME VALUE pairs: nothing is stored unless every one would be.
int SetAll(CAdminSession& session, const std::string& name, const std::string& typed,
           const std::vector<std::string>& more) {
    if (more.empty()) return Set(session, name, typed);
    if (more.size() % 2 != 0)
        return session.Fail("\"" + more.back() + "\" has no value: give NAME VALUE pairs",
                            kExitUsage);
    std::vector<std::pair<std::string, std::string>> pairs = {{name, typed}};
    for (size_t i = 0; i < more.size(); i += 2) pairs.emplace_back(more[i], more[i + 1]);
    char cwd[4096];
    for (const auto& [n, text] : pairs) {
        const SettingInfo* info = FindSetting(n);
        if (!info) return Unknown(session, n);
        if (info->effect == SettingEffect::Managed) return Managed(session, *info);
        SettingValue value = CheckSettingValue(*info, text, ::getcwd(cwd, sizeof cwd) ? cwd : "/");
        if (!value.accepted) return session.Fail(n + ": " + value.text + "; nothing was changed");
    }
    for (const auto& [n, text] : pairs)
        if (int status = Set(session, n, text); status != kExitOk) return status;
    return kExitOk;
}

int Reset(CAdminSession& session, const std::string& name) {
    const SettingInfo* info = FindSetting(name);
    if (!info) return Unknown(session, name);
    if (info->effect == SettingEffect::Managed) return Managed(session, *info);
    if (!session.OpenSettings()) return kExitFailed;
    return Save(session, *info, DefaultOf(*info), "the default");
}
}  // namespace

void AddConfigCommands(CLI::App& program, CAdminSession& session) {
    CLI::App* config =
        program.add_subcommand("config", "Settings, stored in <config dir>/registry.reg");
    config->require_subcommand(1);
    config->footer(
        "When a change reaches a running server depends on the setting; \"config set\" says "
        "which:\n"
        "  SysRootFolder, PasswordFile, SysPasswordHash, NetPolicy, AnonWrite, AnonOverwrite,\n"
        "  AnonDelete, AnonRename, PowerSaveOpt, LogState, LogErrorMsg, LogWarnMsg, LogInfoMsg,\n"
        "  LogXferFile: when the server reloads (SIGHUP) or restarts;\n"
        "  the SSL settings and every other setting the server reads: when it restarts.");

    auto changed = std::make_shared<bool>(false);
    CLI::App* list = config->add_subcommand(
        "list", "Every setting with its value, and its default where the value differs");
    list->add_flag("--changed", *changed, "Only the settings that differ from their defaults");
    RunsAs(list, session, [&session, changed] { return List(session, *changed); });

    auto name = std::make_shared<std::string>();
    auto value = std::make_shared<std::string>();
    CLI::App* get = config->add_subcommand("get", "Print a setting's value alone on one line");
    get->add_option("NAME", *name, "The setting's name (case counts)")->required();
    RunsAs(get, session, [&session, name] { return Get(session, *name); });

    CLI::App* set = config->add_subcommand(
        "set",
        "Store a setting, through the checks of the settings pages: a number out of "
        "range is stored clamped and said so");
    set->add_option("NAME", *name, "The setting's name (case counts)")->required();
    CLI::Option* typed = set->add_option(
        "VALUE", *value,
        "The new value; for a secret (SysConsolePass, SSLPassPhrase) leave it out to be asked "
        "without echo, or give --value-file");
    auto valueFile = std::make_shared<std::string>();
    set->add_option("--value-file", *valueFile,
                    "Read the value from the first line of FILE (\"-\": standard input), so that "
                    "it is not on the command line");
    auto more = std::make_shared<std::vector<std::string>>();
    set->add_option("MORE", *more,
                    "Further NAME VALUE pairs: all are checked before any is stored");
    RunsAs(set, session, [&session, name, value, more, typed, valueFile] {
        if (typed->count() > 0 && !valueFile->empty())
            return session.Fail("give the value or --value-file, not both", kExitUsage);
        if (typed->count() > 0 || !more->empty()) return SetAll(session, *name, *value, *more);
        const SettingInfo* info = FindSetting(*name);
        if (!info) return Unknown(session, *name);
        if (valueFile->empty() && info->kind != SettingKind::Secret)
            return session.Fail("give a VALUE for " + *name, kExitUsage);
        std::string secret;
        if (!ObtainSecret(session, "new value", nullptr, *valueFile, secret))
            return session.LastFailure();
        return Set(session, *name, secret);
    });

    CLI::App* reset = config->add_subcommand("reset", "Store a setting's default");
    reset->add_option("NAME", *name, "The setting's name (case counts)")->required();
    RunsAs(reset, session, [&session, name] { return Reset(session, *name); });
}
