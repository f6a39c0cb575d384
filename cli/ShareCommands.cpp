#include "cli/ShareCommands.h"

#include <unistd.h>
#include <CLI/CLI.hpp>

#include <iomanip>
#include <memory>

#include "cli/AdminSession.h"
#include "config/SettingsCatalog.h"
#include "config/ShareStore.h"
#include "platform/FileSystem.h"
#include "platform/Folders.h"
#include "platform/Text.h"

namespace {
int Store(CAdminSession& session, const std::vector<StoredShare>& shares, const std::string& done) {
    if (!SaveStoredShares(session.Settings(), shares))
        return session.Fail("cannot write the share points to " + platform::ConfigDir() +
                            "/registry.reg; they are as they were");
    session.Out() << done << "\n" << EffectText(SettingEffect::Reload) << "\n";
    return kExitOk;
}

int List(CAdminSession& session) {
    if (!session.OpenSettings()) return kExitFailed;
    CAppSettings& settings = session.Settings();
    std::vector<std::string> problems;
    std::vector<StoredShare> shares = ReadStoredShares(settings, &problems);
    for (const std::string& problem : problems) session.Note(problem);
    std::ostream& out = session.Out();
    out << std::left << std::setw(16) << "NAME" << std::setw(10) << "ACCESS"
        << "FOLDER\n";
    std::string root = settings.GetSetting(setting::SysRootFolder);
    if (settings.GetBoolSetting(setting::SysFsMapHome))
        out << std::setw(16) << "pub" << std::setw(10) << "rights"
            << "each named user's own folder in " << HomeBaseFolder(settings)
            << " (anonymous: " << root << ")\n";
    else
        out << std::setw(16) << "pub" << std::setw(10) << "rights" << root << "\n";
    for (const StoredShare& share : shares) {
        std::string folder = share.folder.substr(0, share.folder.size() - 1);
        bool there = platform::Files().Status(folder).folder;
        out << std::setw(16) << share.name << std::setw(10)
            << (share.readOnly ? "read-only" : "rights") << share.folder
            << (there ? "" : "  (not a folder: not listed)") << "\n";
    }
    return kExitOk;
}

int Add(CAdminSession& session, const std::string& name, const std::string& typed, bool readOnly) {
    std::string problem = ShareNameProblem(name);
    if (!problem.empty()) return session.Fail(problem);
    // A share point's folder is checked as the shared folder's is.
    char cwd[4096];
    SettingValue folder = CheckSettingValue(*FindSetting(setting::SysRootFolder), typed,
                                            ::getcwd(cwd, sizeof cwd) ? cwd : "/");
    if (!folder.accepted) return session.Fail(folder.text);
    if (!session.OpenSettings()) return kExitFailed;
    std::vector<StoredShare> shares = ReadStoredShares(session.Settings());
    for (const StoredShare& share : shares)
        if (platform::EqualsIgnoreCase(share.name, name))
            return session.Fail("there is a share point \"" + share.name + "\" already (" +
                                share.folder + ")");
    if (shares.size() >= static_cast<size_t>(kMaxExtraShares))
        return session.Fail("there are " + std::to_string(kMaxExtraShares) +
                            " share points already, as many as there can be");
    std::string shown = folder.text.back() == '/' ? folder.text : folder.text + "/";
    if (!platform::Files().Status(shown.substr(0, shown.size() - 1)).folder)
        session.Note(shown + " is not a folder yet: clients see \"" + name + "\" once it is made");
    shares.push_back({name, shown, readOnly});
    return Store(session, shares,
                 "Added share point \"" + name + "\" = " + shown +
                     (readOnly ? " (read-only)." : " (with the users' rights)."));
}

int Delete(CAdminSession& session, const std::string& name) {
    if (!session.OpenSettings()) return kExitFailed;
    std::vector<StoredShare> shares = ReadStoredShares(session.Settings());
    for (size_t i = 0; i < shares.size(); ++i) {
        if (!platform::EqualsIgnoreCase(shares[i].name, name)) continue;
        StoredShare gone = shares[i];
        shares.erase(shares.begin() + static_cast<long>(i));
        return Store(
            session, shares,
            "Deleted share point \"" + gone.name + "\" (" + gone.folder + " and its files stay).");
    }
    if (platform::EqualsIgnoreCase(name, "pub"))
        return session.Fail(
            "\"pub\" is the shared folder itself; change it with \"quenlowftp "
            "config set SysRootFolder FOLDER\"");
    return session.Fail("there is no share point \"" + name + "\" (see \"quenlowftp share list\")");
}
}  // namespace

void AddShareCommands(CLI::App& program, CAdminSession& session) {
    CLI::App* share = program.add_subcommand(
        "share",
        "Share points: folders clients see beside \"pub\" in the top folder, each with "
        "the users' rights or read-only (a running server takes changes when it reloads)");
    share->require_subcommand(1);

    RunsAs(share->add_subcommand("list", "Show \"pub\" and the other share points"), session,
           [&session] { return List(session); });

    auto name = std::make_shared<std::string>();
    auto folder = std::make_shared<std::string>();
    auto readOnly = std::make_shared<bool>(false);
    CLI::App* add = share->add_subcommand("add", "Add a share point NAME for FOLDER");
    add->add_option("NAME", *name, "The name clients see, such as docs")->required();
    add->add_option("FOLDER", *folder, "The folder it stands for")->required();
    add->add_flag("--read-only", *readOnly,
                  "Nobody makes, changes or removes anything in it, whatever their rights");
    RunsAs(add, session,
           [&session, name, folder, readOnly] { return Add(session, *name, *folder, *readOnly); });

    CLI::App* del = share->add_subcommand("del", "Delete share point NAME (its files stay)");
    del->alias("delete");
    del->add_option("NAME", *name, "The share point's name")->required();
    RunsAs(del, session, [&session, name] { return Delete(session, *name); });
}
