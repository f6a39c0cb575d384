#include "cli/AdminSession.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ostream>

#include "platform/Folders.h"

bool CAdminSession::OpenSettings() {
    if (settingsOpen_) return true;
    platform::SetConfigDir(configDir_);
    if (!settings_.LoadSettings()) {
        Fail("cannot create the configuration folder " + platform::ConfigDir());
        return false;
    }
    settingsOpen_ = true;
    return true;
}

bool CAdminSession::OpenUsers() {
    if (!OpenSettings()) return false;
    std::string path = PasswordFile();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {  // a first run: no accounts yet
            users_.Users().clear();
            return true;
        }
        Fail("cannot read the password file " + path + ": " + std::strerror(errno));
        return false;
    }
    std::vector<std::string> problems;
    bool kept = false;
    if (!users_.LoadUsers(path, &problems, &kept)) {
        std::string why = problems.empty() ? std::string("it cannot be read") : problems.front();
        // The reader's own sentence already says that a kept file is left as it is.
        if (kept)
            Fail("the password file " + path + " cannot be used: " + why);
        else
            Fail("the password file " + path + " is damaged or not a password file (" + why +
                 "); it is left as it is (move it away to start a new one)");
        return false;
    }
    return true;
}

int CAdminSession::Fail(const std::string& text, int status) {
    err_ << "quenlowftp: " << text << std::endl;
    lastFailure_ = status;
    return status;
}

int CAdminSession::FailedToSaveSettings() {
    return Fail("cannot write the settings to " + platform::ConfigDir() +
                "/registry.reg; they are as they were");
}

void CAdminSession::Note(const std::string& text) {
    err_ << "note: " << text << std::endl;
}

bool ObtainSecret(CAdminSession& session, const std::string& what, const std::string* given,
                  const std::string& file, std::string& secret) {
    if (given) {
        secret = *given;
        return true;
    }
    if (!file.empty()) {
        std::string error;
        if (ReadFirstLine(file, secret, error)) return true;
        session.Fail(error);
        return false;
    }
    CTerminal& terminal = session.Terminal();
    if (!terminal.Interactive()) {
        session.Fail("no " + what + " given, and standard input is not a terminal to ask on");
        return false;
    }
    std::string again;
    std::string capital = what;
    capital[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(capital[0])));
    if (!terminal.ReadSecret(capital + ": ", secret) ||
        !terminal.ReadSecret("Repeat the " + what + ": ", again)) {
        session.Fail("no " + what + " was typed");
        return false;
    }
    if (secret != again) {
        session.Fail("the two " + what + "s differ; nothing was changed");
        return false;
    }
    return true;
}

void RunsAs(CLI::App* command, CAdminSession& session, std::function<int()> run) {
    command->callback([&session, run] { session.SetAction(run); });
}
