#pragma once
// What every administration command works on: the configuration folder's settings and user
// list, the streams it answers on and the terminal it asks on. A command changes these in
// memory and then commits each file once; on any failure nothing is written.

#include <functional>
#include <iosfwd>
#include <string>

#include "cli/Terminal.h"
#include "config/AppSettings.h"
#include "config/SettingNames.h"
#include "config/UserAccounts.h"

// Exit statuses of the program.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

class CAdminSession {
public:
    CAdminSession(std::ostream& out, std::ostream& err, CTerminal& terminal)
        : out_(out), err_(err), terminal_(terminal) {}

    std::ostream& Out() { return out_; }
    CTerminal& Terminal() { return terminal_; }

    // The folder given with --config-dir ("" for the default).
    void SetConfigDir(const std::string& folder) { configDir_ = folder; }

    // The command chosen on the command line, run once parsing is over.
    void SetAction(std::function<int()> action) { action_ = std::move(action); }
    bool HasAction() const { return static_cast<bool>(action_); }
    int RunAction() { return action_(); }

    // Loads the settings (creating the configuration folder if needed); false after saying why.
    bool OpenSettings();
    // Loads the user list; false after saying why when the password file exists but cannot be
    // read whole (a save would then lose the accounts it holds).
    bool OpenUsers();
    CAppSettings& Settings() { return settings_; }
    CUserList& Users() { return users_; }
    std::string PasswordFile() const { return settings_.GetSetting(setting::PasswordFile); }

    // One line on stderr, "quenlowftp: " and the text; returns status.
    int Fail(const std::string& text, int status = kExitFailed);
    // The status of the last Fail, for a caller whose callee said why it failed.
    int LastFailure() const { return lastFailure_; }
    // The settings could not be stored: the failure, said once for every command.
    int FailedToSaveSettings();
    // A remark beside a result (a clamped value, a rule that never matches).
    void Note(const std::string& text);

private:
    std::ostream& out_;
    std::ostream& err_;
    CTerminal& terminal_;
    std::string configDir_;
    std::function<int()> action_;
    CAppSettings settings_;
    CUserList users_;
    bool settingsOpen_ = false;
    int lastFailure_ = kExitFailed;
};

namespace CLI {
class App;
}
// Makes run the action of command, once the command line has chosen it.
void RunsAs(CLI::App* command, CAdminSession& session, std::function<int()> run);

// A secret from, in this order: the value given on the command line (given), the first line of
// file, or two prompts that must agree when stdin is a terminal. False after saying why.
bool ObtainSecret(CAdminSession& session, const std::string& what, const std::string* given,
                  const std::string& file, std::string& secret);
