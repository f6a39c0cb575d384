#include "cli/UserCommands.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <iomanip>
#include <optional>

#include "cli/AdminSession.h"
#include "config/PageChecks.h"
#include "config/SettingNames.h"
#include "config/SettingsCatalog.h"
#include "config/ShellTexts.h"

namespace {
constexpr const char* kRightsHelp =
    "Rights are letters in any order: W write (MKD/STOR/STOU/APPE), O overwrite (STOR/APPE "
    "onto an existing file), D delete (RMD/DELE), R rename (RNFR/RNTO); \"-\" or \"\" for "
    "none.";

struct UserOptions {
    std::string name;
    std::optional<std::string> password;
    std::string passwordFile;
    std::optional<std::string> rights;
    std::optional<std::string> rename;
};

// Why a name cannot be an account's, or "" when it can.
std::string NameProblem(const std::string& name) {
    if (name.empty()) return "a user name cannot be empty";
    if (TextUnits(name) > kProfileNameMax)
        return "the user name \"" + name + "\" is longer than " + std::to_string(kProfileNameMax) +
               " characters, which the password file holds";
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F) return "a user name cannot hold control characters";
    if (name == "anonymous")
        return "the name anonymous is kept for anonymous logins; they are set with "
               "\"quenlowftp config set SysAnonState\" and AnonWrite, AnonOverwrite, "
               "AnonDelete, AnonRename";
    return {};
}

bool Hashing(CAdminSession& session) {
    return session.Settings().GetBoolSetting(setting::SysPasswordHash);
}

std::string PasswordProblem(const std::string& password, bool hashing) {
    size_t longest = ProfilePasswordMax(hashing);
    if (TextUnits(password) > longest)
        return "the password is longer than " + std::to_string(longest) +
               " characters, which the password file holds" +
               (hashing ? "" : " (up to 128 with \"quenlowftp config set SysPasswordHash true\")");
    if (password.find('\0') != std::string::npos) return "a password cannot hold a NUL character";
    return {};
}

std::vector<UserAccount>::iterator FindUser(std::vector<UserAccount>& users,
                                            const std::string& name) {
    return std::find_if(users.begin(), users.end(),
                        [&](const UserAccount& a) { return a.name == name; });
}

int Save(CAdminSession& session, const std::string& done) {
    std::string problem;
    if (!session.Users().SaveUsers(session.PasswordFile(), Hashing(session), &problem))
        return session.Fail(std::string(texts::kFailedToWritePasswordFile) + " (" + problem + ")");
    session.Out() << done << "\n" << EffectText(SettingEffect::Reload) << "\n";
    return kExitOk;
}

bool ReadRights(CAdminSession& session, const std::string& letters, uint32_t& rights) {
    if (RightsFromLetters(letters, rights)) return true;
    session.Fail("\"" + letters + "\" are not rights. " + kRightsHelp, kExitUsage);
    return false;
}

int List(CAdminSession& session) {
    if (!session.OpenUsers()) return kExitFailed;
    const std::vector<UserAccount>& users = session.Users().Users();
    size_t width = 8;
    for (const UserAccount& a : users) width = std::max(width, a.name.size() + 2);
    std::ostream& out = session.Out();
    if (users.empty())
        out << "No named users in " << session.PasswordFile() << ".\n";
    else
        out << std::left << std::setw(static_cast<int>(width)) << "USER"
            << "RIGHTS\n";
    std::vector<std::string> seen;
    for (const UserAccount& a : users) {
        out << std::left << std::setw(static_cast<int>(width)) << a.name << RightsLetters(a.rights);
        if (std::find(seen.begin(), seen.end(), a.name) != seen.end())
            out << "  (never used: an account of the same name comes first)";
        if (a.name == "anonymous") out << "  (never used: the name is kept for anonymous logins)";
        seen.push_back(a.name);
        out << "\n";
    }
    CAppSettings& s = session.Settings();
    uint32_t anonymous = AnonymousRights(s);
    out << "Anonymous logins: "
        << (s.GetBoolSetting(setting::SysAnonState) ? "allowed, rights " + RightsLetters(anonymous)
                                                    : std::string("not allowed"))
        << "\n";
    return kExitOk;
}

int Add(CAdminSession& session, const UserOptions& o) {
    std::string problem = NameProblem(o.name);
    if (!problem.empty()) return session.Fail(problem);
    uint32_t rights = 0;
    if (o.rights && !ReadRights(session, *o.rights, rights)) return kExitUsage;
    if (!session.OpenUsers()) return kExitFailed;
    std::vector<UserAccount>& users = session.Users().Users();
    if (FindUser(users, o.name) != users.end())
        return session.Fail("a user named \"" + o.name +
                            "\" exists already; change it with \"quenlowftp user edit\"");
    UserAccount account{o.name, {}, rights};
    if (!ObtainSecret(session, "password", o.password ? &*o.password : nullptr, o.passwordFile,
                      account.password))
        return kExitFailed;
    problem = PasswordProblem(account.password, Hashing(session));
    if (!problem.empty()) return session.Fail(problem);
    if (account.password.empty()) session.Note("the account has an empty password");
    users.push_back(account);
    return Save(session, "Added user " + o.name + " with rights " + RightsLetters(rights) + ".");
}

int Edit(CAdminSession& session, const UserOptions& o) {
    bool askPassword = !o.password && o.passwordFile.empty() && !o.rights && !o.rename;
    if (askPassword && !session.Terminal().Interactive())
        return session.Fail(
            "nothing to change: give --password, --password-file, --rights or --rename",
            kExitUsage);
    uint32_t rights = 0;
    if (o.rights && !ReadRights(session, *o.rights, rights)) return kExitUsage;
    if (o.rename) {
        std::string problem = NameProblem(*o.rename);
        if (!problem.empty()) return session.Fail(problem);
    }
    if (!session.OpenUsers()) return kExitFailed;
    std::vector<UserAccount>& users = session.Users().Users();
    auto account = FindUser(users, o.name);
    if (account == users.end()) return session.Fail("there is no user named \"" + o.name + "\"");
    if (o.rename && *o.rename != o.name && FindUser(users, *o.rename) != users.end())
        return session.Fail("a user named \"" + *o.rename + "\" exists already");
    UserAccount changed = *account;
    if (o.password || !o.passwordFile.empty() || askPassword) {
        if (!ObtainSecret(session, "password", o.password ? &*o.password : nullptr, o.passwordFile,
                          changed.password))
            return kExitFailed;
        std::string problem = PasswordProblem(changed.password, Hashing(session));
        changed.hashed = false;  // a new password, hashed when it is saved
        if (!problem.empty()) return session.Fail(problem);
    }
    if (o.rights) changed.rights = rights;
    if (o.rename) changed.name = *o.rename;
    *account = changed;
    return Save(session,
                "Changed user " + changed.name + ": rights " + RightsLetters(changed.rights) + ".");
}

int Delete(CAdminSession& session, const std::string& name) {
    if (!session.OpenUsers()) return kExitFailed;
    std::vector<UserAccount>& users = session.Users().Users();
    auto account = FindUser(users, name);
    if (account == users.end()) return session.Fail("there is no user named \"" + name + "\"");
    users.erase(account);
    return Save(session, "Deleted user " + name + ".");
}

void PasswordOptions(CLI::App* command, UserOptions& o) {
    CLI::Option* given = command->add_option(
        "--password", o.password,
        "The password (at most 8 characters). Visible to every user of this machine while "
        "the command runs: prefer the prompt or --password-file.");
    command
        ->add_option("--password-file", o.passwordFile,
                     "Read the password from the first line of FILE (\"-\": standard input).")
        ->excludes(given);
}
}  // namespace

void AddUserCommands(CLI::App& program, CAdminSession& session) {
    CLI::App* user = program.add_subcommand(
        "user",
        "Named accounts of the password file (saved at once; a running server takes "
        "them when it reloads)");
    user->require_subcommand(1);
    user->footer(kRightsHelp);

    RunsAs(user->add_subcommand("list", "List the accounts and their rights"), session,
           [&session] { return List(session); });

    auto o = std::make_shared<UserOptions>();
    CLI::App* add = user->add_subcommand(
        "add", "Add an account; without --password the password is asked for, twice");
    add->add_option("NAME", o->name, "The user name (at most 32 characters)")->required();
    PasswordOptions(add, *o);
    add->add_option("--rights", o->rights, "Rights letters (default: none)");
    RunsAs(add, session, [&session, o] { return Add(session, *o); });

    CLI::App* edit = user->add_subcommand(
        "edit",
        "Change an account's password, rights or name; with no option on a terminal, "
        "the password is asked for");
    edit->add_option("NAME", o->name, "The account to change")->required();
    PasswordOptions(edit, *o);
    edit->add_option("--rights", o->rights, "New rights letters");
    edit->add_option("--rename", o->rename, "A new user name");
    RunsAs(edit, session, [&session, o] { return Edit(session, *o); });

    CLI::App* del = user->add_subcommand("del", "Delete an account");
    del->alias("delete");
    del->add_option("NAME", o->name, "The account to delete")->required();
    RunsAs(del, session, [&session, o] { return Delete(session, o->name); });
}
