#pragma once
// The application: owns the settings, the user list, the network runtime, the loop thread's
// event window and the controller, and starts them in their order.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "config/AppSettings.h"
#include "config/UserAccounts.h"
#include "engine/MsgWnd.h"
#include "metrics/MetricsEndpoint.h"
#include "net/NetRuntime.h"
#include "platform/EventLoop.h"
#include "platform/Power.h"
#include "shell/MyFtp.h"

// What a person starting the server should know first: who may log in anonymously, from where,
// and what they may do in the shared folder, with the one command that makes it read-only.
// Nothing when anonymous logins are off.
std::vector<std::string> AnonymousAccessLines(const CAppSettings& settings, size_t ipRules,
                                              bool everyAddressByDefault);

// One line on why the FTP port could not be opened (an errno value) and what to do.
std::string ListenFailureText(int error, int port, bool root);

class CQuenlowApp {
public:
    CQuenlowApp();
    ~CQuenlowApp();

    // The start-up sequence; false with the reason in Error() when the program cannot run.
    bool Start(const ProgramOptions& options);
    // Runs the loop until Quit, then Shutdown.
    void Run();
    void Quit() { loop_.Quit(); }
    // Stops the server and lets the sessions say goodbye (for whoever drove the loop).
    void Shutdown();
    // The menu's Start and Stop; a failed start leaves the reason in Error().
    bool StartServer();
    void StopServer() { controller_->StopServer(true); }
    bool IsRunning() { return controller_->IsListening(); }
    // Called after each controller tick, where the window refreshes its status view.
    void SetTickHook(std::function<void()> hook) { tickHook_ = std::move(hook); }
    const CAppSettings& Settings() const { return settings_; }
    // The store and the user list the settings sheet edits.
    CAppSettings& EditableSettings() { return settings_; }
    CUserList& Users() { return users_; }
    // After the settings sheet's OK: the shared folder and the IP rules from the store again.
    // The server stays as it is; the engine takes the other settings at its next start.
    void RebuildAfterSettings();
    // What accepting the settings sheet does, for a running server: the settings are read
    // again, then the shared folder, the IP rules and the user list are rebuilt from them.
    // Sessions and transfers go on; engine settings wait for the next start.
    void Reload();

    const std::string& Error() const { return error_; }
    std::string ListeningText();
    std::vector<std::string> AnonymousAccessText() const;
    CMyFtpController* Controller() { return controller_.get(); }
    platform::EventLoop& Loop() { return loop_; }

private:
    // The settings with this run's --set values over them; false with the reason in Error().
    // At start, warnings for names that are no setting (in --set and in registry.reg).
    bool LoadApplicationSettings(CAppSettings& settings, bool atStart = false);
    // The log's levels and the transfer log, from the "Log" settings.
    static void ApplyLogSettings(const CAppSettings& settings);
    void BuildSharePoint();
    std::string SharingExtras() const;
    // The power scheme's step, every idle time-out less a second, when logind has one.
    void StartKeepAwake();
    // The Prometheus endpoint, when NetMetricsPort names one; a failure is logged, and the
    // server runs without it.
    void StartMetrics();
    // A scrape's text (the endpoint's thread).
    std::string MetricsText();
    void LoadUserList();
    // Hands the settings and accounts as they stand now to the sessions.
    void PublishToSessions();

    ProgramOptions options_;
    CAppSettings settings_;
    CUserList users_;
    CThrottleRuntime runtime_;
    bool runtimeStarted_ = false;
    bool busySinceTrim_ = false;
    platform::EventLoop loop_;
    std::unique_ptr<CMsgWnd> window_;
    CSessionLoops sessionLoops_;  // outlives the controller's pool
    std::unique_ptr<CMyFtpController> controller_;
    metrics::MetricsEndpoint metricsEndpoint_;  // stopped before the controller goes
    int64_t startTime_ = 0;
    std::string error_;
    std::function<void()> tickHook_;
    platform::IdleInhibitor inhibitor_;
};
