#include "shell/Application.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "config/IpRules.h"
#include "config/SettingNames.h"
#include "config/SettingsCatalog.h"
#include "config/ShareStore.h"
#include "engine/ThrottleStore.h"
#include "metrics/MetricsText.h"
#include "net/HostAddress.h"
#include "net/SocketEngine.h"
#include "net/TlsRuntime.h"
#include "platform/AtomicFile.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/Folders.h"
#include "platform/Log.h"
#include "platform/Memory.h"
#include "platform/Power.h"
#include "platform/RegistryFile.h"
#include "platform/ServiceManager.h"
#include "session/SharePoints.h"

CQuenlowApp::CQuenlowApp() = default;

CQuenlowApp::~CQuenlowApp() {
    metricsEndpoint_.Stop();
    // No session loop may run a handler once the pool is gone.
    sessionLoops_.Stop();
    controller_.reset();
    if (runtimeStarted_) runtime_.Term();
}

bool CQuenlowApp::Start(const ProgramOptions& options) {
    if (!runtime_.Init()) {
        error_ = "Network initialization failed.";
        return false;
    }
    runtimeStarted_ = true;
    options_ = options;
    if (!options.configDir.empty()) platform::SetConfigDir(options.configDir);
    if (!LoadApplicationSettings(settings_, true)) return false;
    RestoreThrottleSchedule();
    BuildSharePoint();

    CSocketEngine& engine = CSocketEngine::Instance();
    engine.SetPortRange(1500, 2000);
    engine.SetDynamicPorts(true);
    // Listeners and data connections alike use the one bind address.
    std::string bindAddress, chosen = settings_.GetSetting(setting::NetIp);
    if (!IsLocalAddress(chosen, bindAddress)) {
        error_ = "NetIp is \"" + chosen +
                 "\", which is not an address of this machine; set it to one of its "
                 "addresses, to 0.0.0.0 for all its IPv4 ones, or to :: for all of them "
                 "(IPv6 and IPv4)";
        return false;
    }
    engine.SetBindAddress(bindAddress);
    LoadIpRules(settings_);
    if (settings_.GetBoolSetting(setting::SSLState)) {
        CTlsRuntime& tls = CTlsRuntime::Instance();
        if (!tls.InitServerContext(settings_.GetSetting(setting::SSLCertFile),
                                   settings_.GetSetting(setting::SSLKeyFile),
                                   settings_.GetSetting(setting::SSLPassPhrase),
                                   settings_.GetBoolSetting(setting::SSLAuthClient) ? 1 : 0))
            platform::Log::Write(platform::LogLevel::Error,
                                 "TLS is not available: " + tls.LastError());
    }
    LoadUserList();

    window_ = std::make_unique<CMsgWnd>(loop_);
    int loops = SessionLoopCount(settings_.GetIntSetting(setting::SysSessionLoops));
    if (!sessionLoops_.Start(loops, *window_)) {
        error_ = "cannot start " + std::to_string(loops) + " session loop threads";
        return false;
    }
    platform::Log::Write(platform::LogLevel::Info,
                         "sessions run on " + std::to_string(loops) +
                             (loops == 1 ? " loop (the main loop)" : " loop threads"));
    controller_ = std::make_unique<CMyFtpController>(window_.get());
    controller_->SetSessionLoops(sessionLoops_.Loops());
    PublishToSessions();
    controller_->Settings().Assign(settings_.Store());
    if (!controller_->Create()) {
        error_ = controller_->LastError();
        return false;
    }
    if (!StartServer()) return false;
    StartMetrics();
    loop_.AddTimer(75, [this] { runtime_.Tick(667); });
    loop_.AddTimer(500, [this] {
        controller_->OnTick();
        if (tickHook_) tickHook_();
        // Once the last session has gone, what the busy time allocated goes back.
        if (controller_->ActiveSessionCount() > 0) {
            busySinceTrim_ = true;
        } else if (busySinceTrim_) {
            busySinceTrim_ = false;
            platform::ReleaseFreeMemory();
        }
    });
    StartKeepAwake();
    return true;
}

void CQuenlowApp::StartMetrics() {
    int port = settings_.GetIntSetting(setting::NetMetricsPort);
    if (port <= 0) return;
    std::string address = settings_.GetSetting(setting::NetMetricsIp);
    if (address.empty()) address = "127.0.0.1";
    startTime_ = static_cast<int64_t>(platform::Clock::Now());
    std::string problem;
    if (!metricsEndpoint_.Start(
            address, port, [this] { return MetricsText(); }, problem)) {
        platform::Log::Write(
            platform::LogLevel::Error,
            "No metrics endpoint on " + AddressPortText(address, port) + ": " + problem);
        return;
    }
    platform::Log::Write(platform::LogLevel::Notice,
                         "metrics for Prometheus at http://" +
                             AddressPortText(address, metricsEndpoint_.Port()) + "/metrics");
}

std::string CQuenlowApp::MetricsText() {
    metrics::MetricsSample sample;
    sample.version = QUENLOWFTP_VERSION;
    sample.startTime = startTime_;
    sample.listening = controller_->IsListening();
    sample.sessionSlots = controller_->PoolSize();
    sample.sessionsActive = controller_->ActiveSessionCount();
    sample.counters = metrics::Counters().Read();
    std::vector<int> perLoop = controller_->SessionsPerLoop();
    std::vector<CSessionLoop*> loops = sessionLoops_.Loops();
    // With one loop the sessions share the main loop; with more, each has its own thread.
    bool ownThreads = loops.size() > 1;
    sample.loops.push_back(
        {"main", loop_.BusyNanoseconds(), ownThreads || perLoop.empty() ? 0 : perLoop[0]});
    if (ownThreads)
        for (size_t k = 0; k < loops.size(); ++k)
            sample.loops.push_back({std::to_string(k + 1), loops[k]->Loop().BusyNanoseconds(),
                                    k < perLoop.size() ? perLoop[k] : 0});
    return metrics::FormatMetrics(sample);
}

void CQuenlowApp::StartKeepAwake() {
    // The step must come round before the machine would act on being idle.
    uint32_t idle = platform::IdleTimeoutSeconds();
    if (idle <= 1) return;
    uint32_t period = std::min<uint32_t>(idle - 1, 24 * 3600);
    loop_.AddTimer(period * 1000, [this] {
        inhibitor_.Hold(platform::WantsToStayAwake(settings_.GetIntSetting(setting::PowerSaveOpt),
                                                   controller_->IsListening(),
                                                   controller_->ActiveSessionCount()));
    });
}

bool CQuenlowApp::LoadApplicationSettings(CAppSettings& settings, bool atStart) {
    if (!settings.LoadSettings()) {
        error_ = "cannot create the configuration folder " + platform::ConfigDir();
        return false;
    }
    // Names that are no setting are said once, at start; a reload reads them as quietly.
    std::vector<std::string> fixes = settings.ApplyOverrides(options_.sets);
    if (atStart)
        for (std::string& line : settings.UnknownStoredNames()) fixes.push_back(std::move(line));
    else
        fixes.clear();
    for (std::string& line : settings.FixLoadedValues()) fixes.push_back(std::move(line));
    ApplyLogSettings(settings);
    for (const std::string& line : fixes) platform::Log::Write(platform::LogLevel::Warning, line);
    return true;
}

void CQuenlowApp::ApplyLogSettings(const CAppSettings& settings) {
    platform::LogSwitches switches;
    switches.enabled = settings.GetBoolSetting(setting::LogState);
    switches.errors = settings.GetBoolSetting(setting::LogErrorMsg);
    switches.warnings = settings.GetBoolSetting(setting::LogWarnMsg);
    switches.infos = settings.GetBoolSetting(setting::LogInfoMsg);
    platform::Log::Configure(switches);
    // Opened again on every reload, so that a rotated log goes on in a new file.
    std::string path = switches.enabled ? settings.GetSetting(setting::LogXferFile) : "";
    std::string error;
    if (!platform::Log::OpenTransferLog(path, error))
        platform::Log::Write(platform::LogLevel::Error,
                             "cannot open the transfer log " + path + ": " + error);
}

void CQuenlowApp::RebuildAfterSettings() {
    BuildSharePoint();
    LoadIpRules(settings_);
    PublishToSessions();
}

void CQuenlowApp::PublishToSessions() {
    if (controller_) controller_->Publish(settings_, users_);
}

void CQuenlowApp::LoadUserList() {
    // Whatever is wrong with the file, the whole records in it are served, and it is left as
    // it is: only a change of an account writes it.
    std::string path = settings_.GetSetting(setting::PasswordFile);
    std::vector<std::string> problems;
    users_.LoadUsers(path, &problems);
    for (const std::string& problem : problems)
        platform::Log::Write(platform::LogLevel::Warning, "password file " + path + ": " + problem);
}

void CQuenlowApp::BuildSharePoint() {
    // The shared folder must exist for a fresh installation to serve anything.
    std::string root = settings_.GetSetting(setting::SysRootFolder);
    if (!root.empty())
        platform::MakeFolders(root.back() == '/' ? root.substr(0, root.size() - 1) : root);
    bool homes = settings_.GetBoolSetting(setting::SysFsMapHome);
    std::vector<SharePoint> points{SharePoint{"pub", root, homes}};
    std::vector<std::string> problems;
    for (const StoredShare& share : ReadStoredShares(settings_, &problems)) {
        // A folder that is not there is not listed; it is served once it appears.
        std::string folder = share.folder.substr(0, share.folder.size() - 1);
        if (!platform::Files().Status(folder).folder)
            problems.push_back("share point \"" + share.name + "\": " + share.folder +
                               " is not a folder; it is not listed until it is");
        points.push_back(SharePoint{share.name, share.folder, false, share.readOnly});
    }
    for (const std::string& problem : problems)
        platform::Log::Write(platform::LogLevel::Warning, problem);
    SetSharePoints(points);
}

void CQuenlowApp::Reload() {
    // A registry that is there but cannot be read would turn every setting to its default.
    std::string content;
    if (!platform::ReadWholeFile(platform::Registry::File(), content) && errno != ENOENT) {
        platform::Log::Write(platform::LogLevel::Error,
                             "Reload failed: cannot read " + platform::Registry::File() + " (" +
                                 std::strerror(errno) + "); nothing was changed");
        return;
    }
    CAppSettings fresh;
    if (!LoadApplicationSettings(fresh)) {
        platform::Log::Write(platform::LogLevel::Error, "Reload failed: " + error_);
        return;
    }
    // The TLS context and the bind address were set up at start-up from these; they change
    // only with a restart.
    for (const SettingInfo& info : KnownSettings())
        if (info.effect == SettingEffect::ProgramStart)
            fresh.SetSetting(info.name, settings_.GetSetting(info.name));
    settings_ = fresh;
    BuildSharePoint();
    LoadIpRules(settings_);
    LoadUserList();
    PublishToSessions();
    platform::Log::Write(platform::LogLevel::Notice,
                         "Reloaded: " + std::to_string(users_.Users().size()) + " named users, " +
                             std::to_string(CIpRuleTable::Engine()->Rules().size()) +
                             " IP rules, sharing \"pub\" = " +
                             settings_.GetSetting(setting::SysRootFolder) + SharingExtras());
}

// What the sharing lines add when named users have home folders or there are more shares.
std::string CQuenlowApp::SharingExtras() const {
    std::string text;
    if (settings_.GetBoolSetting(setting::SysFsMapHome))
        text +=
            " (for anonymous; named users' own folders are in " + HomeBaseFolder(settings_) + ")";
    std::shared_ptr<const std::vector<SharePoint>> points = CSharePointTable::Instance().Points();
    for (size_t i = 1; i < points->size(); ++i)
        text += ", \"" + (*points)[i].name + "\" = " + (*points)[i].folder +
                ((*points)[i].readOnly ? " (read-only)" : "");
    return text;
}

std::vector<std::string> AnonymousAccessLines(const CAppSettings& settings, size_t ipRules,
                                              bool everyAddressByDefault) {
    if (!settings.GetBoolSetting(setting::SysAnonState)) return {};
    std::vector<std::string> rights = {"read", "list"};
    const std::pair<const char*, const char*> kWrites[] = {{setting::AnonWrite, "upload"},
                                                           {setting::AnonOverwrite, "overwrite"},
                                                           {setting::AnonDelete, "delete"},
                                                           {setting::AnonRename, "rename"}};
    for (auto [name, word] : kWrites)
        if (settings.GetBoolSetting(name)) rights.push_back(word);
    bool writes = rights.size() > 2;
    std::string listed = rights[0];
    for (size_t i = 1; i < rights.size(); ++i)
        listed += (i + 1 == rights.size() ? " and " : ", ") + rights[i];
    std::string from = ipRules == 0 && everyAddressByDefault
                           ? "from any address"
                           : "from the addresses the IP rules let in";
    std::string bind = settings.GetSetting(setting::NetIp);
    std::string where = bind == "0.0.0.0" || bind == "::" || bind.empty()
                            ? "on every network of this machine"
                            : "on " + bind;
    std::vector<std::string> lines = {
        "Anyone " + from + " " + where + " may log in as \"anonymous\" and " + listed +
        " in \"pub\" = " + settings.GetSetting(setting::SysRootFolder)};
    if (writes)
        lines.push_back(
            "To let anonymous users only read: quenlowftp config set AnonWrite false "
            "AnonOverwrite false AnonDelete false AnonRename false (then SIGHUP or a restart)");
    return lines;
}

std::vector<std::string> CQuenlowApp::AnonymousAccessText() const {
    std::shared_ptr<const CIpRuleTable> rules = CIpRuleTable::Engine();
    return AnonymousAccessLines(settings_, rules ? rules->Rules().size() : 0,
                                rules ? rules->Policy() : true);
}

std::string ListenFailureText(int error, int port, bool root) {
    std::string p = std::to_string(port);
    std::string other = port == 2121 ? "2122" : "2121";
    if (error == EACCES || (error != EADDRINUSE && port < 1024 && !root))
        return "Port " + p +
               " needs root: run as root, or pick another port with --set NetTcpPort=" + other;
    if (error == EADDRINUSE)
        return "Port " + p +
               " is in use by another program: stop it, or pick another port with "
               "--set NetTcpPort=" +
               other;
    return "Failed to create FTP service listen socket (port " + p + "): " + std::strerror(error) +
           "; pick another port with --set NetTcpPort=" + other;
}

bool CQuenlowApp::StartServer() {
    // The old pool goes only once every loop has handled what was queued for its sessions.
    sessionLoops_.DrainAll();
    controller_->DestroyPool();
    // Sessions still ending read the settings they started with.
    if (controller_->ActiveSessionCount() == 0) controller_->Settings().Assign(settings_.Store());
    PublishToSessions();
    if (controller_->StartServer()) return true;
    int error = controller_->ListenErrno();
    error_ = "Unable to start server! " +
             (error == 0 ? controller_->LastError()
                         : ListenFailureText(error, settings_.GetIntSetting(setting::NetTcpPort),
                                             ::geteuid() == 0));
    return false;
}

std::string CQuenlowApp::ListeningText() {
    std::string address;
    int port = 0;
    controller_->TertiarySocket()->GetSockName(address, port);
    std::string implicit;
    if (CFtpSocket* tls = controller_->ImplicitTlsListener()) {
        std::string tlsAddress;
        int tlsPort = 0;
        tls->GetSockName(tlsAddress, tlsPort);
        implicit = " (implicit TLS on " + AddressPortText(tlsAddress, tlsPort) + ")";
    }
    return "Quenlow FTP listening on " + AddressPortText(address, port) + implicit +
           ", sharing \"pub\" = " + settings_.GetSetting(setting::SysRootFolder) + SharingExtras();
}

void CQuenlowApp::Run() {
    loop_.Run();
    Shutdown();
}

void CQuenlowApp::Shutdown() {
    platform::service::Stopping();
    // Tell the sessions, then give their goodbyes a moment to leave.
    controller_->StopServer(true);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!controller_->IsStopped() && std::chrono::steady_clock::now() < deadline) {
        loop_.RunOnce(50);
        controller_->OnTick();
    }
}
