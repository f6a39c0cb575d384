#include "engine/ServerController.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>

#include "config/IpRules.h"
#include "config/SettingNames.h"
#include "net/HostAddress.h"
#include "net/SocketEngine.h"
#include "net/TlsRuntime.h"
#include "platform/Descriptors.h"
#include "platform/Log.h"
#include "platform/Text.h"

using Guard = std::lock_guard<std::recursive_mutex>;
using platform::Clock;

namespace {
std::string MinutesText(uint32_t minutes) {
    return std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes");
}
}  // namespace

CFtpServerController::CFtpServerController(CFtpEventSink* sink) : CFtpControlConnection(sink) {}

CFtpServerController::~CFtpServerController() {
    // The engine goes before the pool: the pooled sessions own sockets too.
    for (CFtpPooledSession* s : allSessions_) delete s;
    allSessions_.clear();
}

std::string DisplayedCommandLine(const std::string& line) {
    return platform::EqualsIgnoreCase(line.substr(0, 4), "pass") ? "PASS *" : line;
}

bool CFtpServerController::Create() {
    if (!InitConsole(true)) return false;
    try {
        rejectStream_.Create(8192, 8192);
    } catch (const std::exception&) {
        ReportError("Failed to create controller message stream");
        return false;
    }
    spareSocket_ = std::make_unique<CFtpSocket>(this);
    implicitListener_ = std::make_unique<CFtpSocket>(this);
    rejectStream_.SetSocket(spareSocket_.get());
    try {
        connInfo_.reserve(256);
        eventList_.reserve(256);
        for (History* h : {&networkHistories_[0], &networkHistories_[1], &userHistories_[0],
                           &userHistories_[1], &transferHistories_[0], &transferHistories_[1],
                           &otherHistories_[0], &otherHistories_[1]})
            h->reserve(kMaxSamples);
    } catch (const std::bad_alloc&) {
        ReportError("Failed to create FTP console objects");
        return false;
    }
    return true;
}

void CFtpServerController::SetSessionLoops(std::vector<CSessionLoop*> loops) {
    Guard guard(lock_);
    sessionLoops_ = std::move(loops);
}

std::vector<int> CFtpServerController::SessionsPerLoop() {
    Guard guard(lock_);
    return activeByLoop_;
}

int CFtpServerController::ChooseLoop() const {
    int chosen = -1;
    for (size_t k = 0; k < freeByLoop_.size(); ++k) {
        if (freeByLoop_[k].empty()) continue;
        if (chosen < 0 || activeByLoop_[k] < activeByLoop_[static_cast<size_t>(chosen)])
            chosen = static_cast<int>(k);
    }
    return chosen;
}

bool CFtpServerController::GetHostAddress(std::string& address) {
    address = ReachableHostAddress(CSocketEngine::Instance().BindAddress());
    return !address.empty();
}

bool CFtpServerController::StartServer() {
    Guard guard(lock_);
    // Sessions still ending after a stop keep their events queued: never destroy them.
    if (!activeSessions_.empty()) {
        ReportError("Server is still stopping");
        return false;
    }
    stopped_ = false;
    listenErrno_ = 0;
    ResetStatistics();
    bans_.SetRules(CBanList::FromMinutes(EngineInt(settings_, setting::SysBanFailures),
                                         EngineInt(settings_, setting::SysBanWindow),
                                         EngineInt(settings_, setting::SysBanMinutes)));
    proxyProtocol_ = EngineBool(settings_, setting::NetProxyProtocol);
    proxySources_.clear();
    if (proxyProtocol_) {
        std::string sources, problem;
        settings_.GetString(setting::NetProxyTrusted, sources);
        if (!ParseAddressPrefixes(sources, proxySources_, problem) || proxySources_.empty()) {
            ReportError("NetProxyProtocol is on, but NetProxyTrusted " +
                        (problem.empty() ? std::string("names no load balancer to trust")
                                         : "is not a list of addresses: " + problem));
            stopped_ = true;
            return false;
        }
    }
    if (EngineBool(settings_, setting::NetTcpPortState)) {
        int port = EngineInt(settings_, setting::NetTcpPort) & 0xFFFF;
        std::string bindAddress = CSocketEngine::Instance().BindAddress();
        if (!FtpListener().CreateWithMode(port, SOCK_STREAM, bindAddress.c_str(),
                                          VERIFY_FROM_CONTEXT) ||
            !FtpListener().Listen(CSocketEx::SystemMaxBacklog())) {
            listenErrno_ = errno;
            FtpListener().Close();
            char text[96];
            std::snprintf(text, sizeof text, "Failed to create FTP service listen socket (port %d)",
                          port);
            ReportError(text);
            stopped_ = true;
            return false;
        }
    }
    OpenImplicitTlsListener();
    int i = 0;
    try {
        DestroyPool();
        int n = std::max(0, EngineInt(settings_, setting::NetMaxConnection));
        MakeRoomForSessions(n);
        allSessions_.reserve(static_cast<size_t>(n));
        activeSessions_.reserve(static_cast<size_t>(n));
        size_t loops = std::max<size_t>(1, sessionLoops_.size());
        freeByLoop_.assign(loops, {});
        activeByLoop_.assign(loops, 0);
        for (; i < n; ++i) {
            // Slots are dealt to the loops in turn; a slot's sockets live on its loop.
            size_t k = static_cast<size_t>(i) % loops;
            CSessionLoop* loop = sessionLoops_.empty() ? nullptr : sessionLoops_[k];
            std::optional<CSocketEngine::HomeScope> home;
            if (loop) home.emplace(loop->Sockets());
            CFtpPooledSession* s = CreateSessionObject(loop ? &loop->Sink() : sink_);
            if (!s) break;
            s->SetLoop(loop, static_cast<int>(k));
            if (!s->Create()) {
                delete s;
                break;
            }
            s->CloseSockets();
            s->ReleaseMemory();
            allSessions_.push_back(s);
            freeByLoop_[k].push_back(s);
        }
        if (i == n) {
            platform::Time32 t = Clock::Now();
            SampleSharePoints(t);
            SampleNetwork(t);
            SampleUsers(t);
            SampleOther(t);
            SampleTransfers(t);
            return true;
        }
    } catch (const std::exception&) {
        DestroyPool();
        ReportError("Memory exception in controller startup");
        return false;
    }
    DestroyPool();
    char text[64];
    std::snprintf(text, sizeof text, "Failed to create connection object (index %d)", i);
    ReportError(text);
    return false;
}

void CFtpServerController::MakeRoomForSessions(int sessions) {
    // A session holds at most three sockets (control, data, passive listener) and one file;
    // the controller and the console a few more, the log and the program some descriptors.
    constexpr int kControllerSockets = 16;
    constexpr uint64_t kOtherDescriptors = 64;
    int sockets = 3 * sessions + kControllerSockets;
    CSocketEngine& engine = CSocketEngine::Instance();
    engine.SetSocketCapacity(std::max(CSocketEngine::kDefaultCapacity, sockets));
    // Every session may wait for a passive connection at the same time; two ports a session
    // leave the random choice room.
    if (engine.SetPortsWanted(2 * sessions)) {
        auto [first, last] = engine.DynamicPortRange();
        platform::Log::Write(platform::LogLevel::Notice, "passive ports " + std::to_string(first) +
                                                             " to " + std::to_string(last) +
                                                             " for " + std::to_string(sessions) +
                                                             " sessions");
    }
    uint64_t wanted =
        static_cast<uint64_t>(sockets) + static_cast<uint64_t>(sessions) + kOtherDescriptors;
    platform::DescriptorLimit limit = platform::RaiseDescriptorLimit(wanted);
    if (limit.soft >= wanted) return;
    platform::Log::Write(
        platform::LogLevel::Warning,
        "the open-file limit is " + std::to_string(limit.soft) + " (hard limit " +
            std::to_string(limit.hard) + "), but " + std::to_string(sessions) +
            " sessions may need " + std::to_string(wanted) +
            " (up to three sockets and a file each): connections beyond the limit fail "
            "(raise LimitNOFILE= of the service or ulimit -Hn, or lower NetMaxConnection)");
}

void CFtpServerController::StopServer(bool shutDownSessions) {
    Guard guard(lock_);
    stopped_ = true;
    FtpListener().Close();
    if (implicitListener_) implicitListener_->Close();
    if (shutDownSessions)
        for (CFtpPooledSession* s : std::vector<CFtpPooledSession*>(activeSessions_))
            s->RequestShutdown();
}

// The FTP port stays the server's own: a port for implicit TLS that cannot be had (990 needs
// root, another server may hold it) is reported and the server runs without it.
bool CFtpServerController::OpenImplicitTlsListener() {
    if (!implicitListener_ || !EngineBool(settings_, setting::SSLState) ||
        !EngineBool(settings_, setting::NetSslPortState) ||
        !CTlsRuntime::Instance().HasServerContext())
        return false;
    int port = EngineInt(settings_, setting::NetSslPort) & 0xFFFF;
    std::string bindAddress = CSocketEngine::Instance().BindAddress();
    if (implicitListener_->CreateWithMode(port, SOCK_STREAM, bindAddress.c_str(),
                                          VERIFY_FROM_CONTEXT) &&
        implicitListener_->Listen(CSocketEx::SystemMaxBacklog()))
        return true;
    int error = errno;
    implicitListener_->Close();
    platform::Log::Write(platform::LogLevel::Error,
                         "Failed to create implicit TLS listen socket (port " +
                             std::to_string(port) + "): " + std::strerror(error) +
                             "; the server goes on without it (NetSslPortState=false leaves it "
                             "out)");
    return false;
}

CFtpSocket* CFtpServerController::ImplicitTlsListener() {
    Guard guard(lock_);
    return implicitListener_ && implicitListener_->IsListening() ? implicitListener_.get()
                                                                 : nullptr;
}

bool CFtpServerController::IsListening() {
    Guard guard(lock_);
    return tertiarySocket_ && FtpListener().IsListening();
}

bool CFtpServerController::IsStopped() {
    Guard guard(lock_);
    return stopped_ && activeSessions_.empty();
}

int CFtpServerController::ActiveSessionCount() {
    Guard guard(lock_);
    return static_cast<int>(activeSessions_.size());
}

int CFtpServerController::PoolSize() {
    Guard guard(lock_);
    return static_cast<int>(allSessions_.size());
}

uint64_t CFtpServerController::Accepted() {
    Guard guard(lock_);
    return accepted_;
}

uint64_t CFtpServerController::Rejected() {
    Guard guard(lock_);
    return rejected_;
}

std::array<uint64_t, 6> CFtpServerController::EndedByReason() {
    Guard guard(lock_);
    return endedByReason_;
}

std::vector<CFtpConnMsg> CFtpServerController::SessionList() {
    Guard guard(lock_);
    std::vector<CFtpConnMsg> list = connInfo_;
    platform::Time32 now = Clock::Now();
    for (CFtpConnMsg& info : list) info.minutesConnected = (now - info.time) / 60;
    return list;
}

std::vector<CFtpFileEventMsg> CFtpServerController::FileEvents() {
    Guard guard(lock_);
    return {fileEvents_.begin(), fileEvents_.end()};
}

void CFtpServerController::UpdateSessionInfo(CFtpPooledSession* session) {
    Guard guard(lock_);
    int index = session->activeIndex;
    if (index < 0 || static_cast<size_t>(index) >= connInfo_.size()) return;
    CFtpConnMsg& info = connInfo_[static_cast<size_t>(index)];
    info.user = session->UserName() == "anonymous" ? session->Password() : session->UserName();
    CFtpSocket* control = session->PrimarySocket();
    info.secure = control && control->IsTlsRoleSet() ? 1 : 0;
    std::string peer;
    int port = 0;
    if (control && control->GetPeerName(peer, port)) info.peerAddress = peer;
    info.folder = session->CurrentFolder();
    session->FillView(session->view);
    session->FillFigures(session->view.figures);
}

void CFtpServerController::NoteSessionCommand(CFtpPooledSession* session, const std::string& line) {
    std::string shown = DisplayedCommandLine(line);
    Guard guard(lock_);
    int index = session->activeIndex;
    if (index < 0 || static_cast<size_t>(index) >= connInfo_.size()) return;
    connInfo_[static_cast<size_t>(index)].lastCommand.swap(shown);
}

void CFtpServerController::AddTransferA(CFtpPooledSession* session, uint64_t uploads,
                                        uint64_t downloads) {
    Guard guard(lock_);
    filesUploaded_ += uploads;
    filesDownloaded_ += downloads;
    if (!session) return;
    session->view.slotUploads += uploads;
    session->view.slotDownloads += downloads;
    session->FillView(session->view);
}

void CFtpServerController::AddTransferB(CFtpPooledSession*, uint64_t received, uint64_t sent) {
    Guard guard(lock_);
    bytesReceived_ += received;
    bytesSent_ += sent;
}

void CFtpServerController::ReleaseSession(CFtpPooledSession* session) {
    Guard guard(lock_);
    int index = session->activeIndex;
    // A session is released once per client, whichever of the drained mark and the tick
    // fallback comes first; the later one finds it gone and counts nothing.
    if (index >= 0 && static_cast<size_t>(index) < activeSessions_.size() &&
        activeSessions_[static_cast<size_t>(index)] == session) {
        int reason = session->CloseReason();
        size_t why = (reason >= 1 && reason <= 5) ? static_cast<size_t>(reason - 1) : 5;
        endedByReason_[why] += 1;
        metrics::Counters().CountSessionEnd(static_cast<metrics::SessionEnd>(why));
        activeSessions_.erase(activeSessions_.begin() + index);
        if (static_cast<size_t>(index) < connInfo_.size()) {
            auto same = byAddress_.find(connInfo_[static_cast<size_t>(index)].peerAddress);
            if (same != byAddress_.end()) {
                std::erase(same->second, session);
                if (same->second.empty()) byAddress_.erase(same);
            }
        }
        size_t k = static_cast<size_t>(session->LoopIndex());
        if (k < activeByLoop_.size()) activeByLoop_[k] -= 1;
        for (size_t i = static_cast<size_t>(index); i < activeSessions_.size(); ++i)
            activeSessions_[i]->activeIndex = static_cast<int>(i);
        if (static_cast<size_t>(index) < connInfo_.size()) {
            connInfo_.erase(connInfo_.begin() + index);
            for (size_t i = static_cast<size_t>(index); i < connInfo_.size(); ++i)
                connInfo_[i].index = static_cast<int32_t>(i);
        }
        if (static_cast<size_t>(index) < connCursor_ && connCursor_ > 0) --connCursor_;
    }
    session->sessionNumber = 0;
    session->activeIndex = -1;
    size_t k = static_cast<size_t>(session->LoopIndex());
    if (k < freeByLoop_.size() &&
        std::find(freeByLoop_[k].begin(), freeByLoop_[k].end(), session) == freeByLoop_[k].end()) {
        session->ReleaseMemory();
        freeByLoop_[k].push_back(session);
    }
    CSocketEngine::Instance().SetBudgetSessions(static_cast<int>(activeSessions_.size()));
}

void CFtpServerController::AddFileEvent(const CFtpFileEventMsg& event) {
    Guard guard(lock_);
    CFtpFileEventMsg record = event;
    record.sequence = sequence_;
    if (fileEvents_.size() > kMaxFileEvents - 1) {
        fileEvents_.pop_front();
        if (fileEventCursor_ > 0) --fileEventCursor_;
    }
    fileEvents_.push_back(record);
    sequence_ = (sequence_ + 1) % kSequenceModulus;
}

bool CFtpServerController::AcceptClient(CFtpSocket* listener) {
    Guard guard(lock_);
    std::string peer;
    int port = 0;
    int k = ChooseLoop();
    if (k < 0) {
        rejected_ += 1;
        if (listener->Accept(*spareSocket_) == 0 || !spareSocket_->IsOpen()) return false;
        bool named = spareSocket_->GetPeerName(peer, port);
        if (named && proxyProtocol_ && !InAddressPrefixes(proxySources_, peer)) {
            LogRefusal(peer,
                       "refused: not a trusted source of PROXY protocol headers "
                       "(NetProxyTrusted)",
                       metrics::Refusal::ProxyUntrusted);
            spareSocket_->Close();
        } else if (!named || (!proxyProtocol_ && !CheckAddress(peer))) {
            LogRefusal(peer, "refused by the IP rules", metrics::Refusal::IpRules);
            spareSocket_->Close();
        } else if (!proxyProtocol_ && IsBanned(peer)) {
            LogBanRefusal(peer);
            spareSocket_->Close();
        } else if (listener == implicitListener_.get()) {
            // A client waiting for our TLS handshake could not read a plain 421.
            LogRefusal(
                peer,
                "turned away: all " + std::to_string(allSessions_.size()) + " sessions are busy",
                metrics::Refusal::Busy);
            spareSocket_->Close();
        } else {
            LogRefusal(peer,
                       "turned away (421): all " + std::to_string(allSessions_.size()) +
                           " sessions are busy",
                       metrics::Refusal::Busy);
            RejectBusy(spareSocket_.get());
        }
        return false;
    }
    std::vector<CFtpPooledSession*>& free = freeByLoop_[static_cast<size_t>(k)];
    CFtpPooledSession* s = free.back();
    // Only the control socket is touched here: the rest of the slot belongs to its loop,
    // which gets it ready when it takes the client up (Admit).
    CFtpSocket* control = s->PrimarySocket();
    bool taken = listener->Accept(*control) != 0 && control->IsOpen();
    bool named = taken && control->GetPeerName(peer, port);
    // Behind a load balancer the client is known once its PROXY header is read; admission
    // waits for it (AdmitProxiedClient).
    bool proxied = named && proxyProtocol_;
    bool admitted = false;
    if (proxied) {
        admitted = InAddressPrefixes(proxySources_, peer);
        if (!admitted)
            LogRefusal(peer,
                       "refused: not a trusted source of PROXY protocol headers "
                       "(NetProxyTrusted)",
                       metrics::Refusal::ProxyUntrusted);
    } else {
        admitted = named && Admissible(peer);
    }
    if (admitted) {
        if (!proxied) byAddress_[peer].push_back(s);
        accepted_ += 1;
        metrics::Counters().CountSession();
        s->activeIndex = static_cast<int>(activeSessions_.size());
        activeSessions_.push_back(s);
        free.pop_back();
        activeByLoop_[static_cast<size_t>(k)] += 1;
        s->sessionNumber = accepted_;
        CFtpConnMsg info;
        info.index = s->activeIndex;
        info.peerAddress = peer;
        info.time = Clock::Now();
        info.folder = "\\";
        connInfo_.push_back(info);
        // Shown until the session publishes its own view from its loop.
        SessionView& shown = s->view;
        shown.hasUser = false;
        shown.user.clear();
        shown.password.clear();
        shown.lastCommand.clear();
        shown.userUploads = shown.userDownloads = 0;
        shown.loginTime = info.time;
        shown.figures = CFtpConnMsg{};
        s->Admit(listener == implicitListener_.get(), proxied);
        CSocketEngine::Instance().SetBudgetSessions(static_cast<int>(activeSessions_.size()));
        if (!proxied) LogConnected(s, peer);
        return true;
    }
    control->Close();
    rejected_ += 1;
    return false;
}

bool CFtpServerController::Admissible(const std::string& peer) {
    if (!CheckAddress(peer)) {
        LogRefusal(peer, "refused by the IP rules", metrics::Refusal::IpRules);
        return false;
    }
    if (IsBanned(peer)) {
        LogBanRefusal(peer);
        return false;
    }
    int limit = EngineInt(settings_, setting::NetLoginsPerIp);
    if (limit < 2) limit = 1;
    int sameAddress = 0;
    auto same = byAddress_.find(peer);
    if (same != byAddress_.end())
        for (CFtpPooledSession* other : same->second)
            if (other->PrimarySocket()->IsOpen()) ++sameAddress;
    if (sameAddress < limit) return true;
    LogRefusal(peer,
               "refused: " + std::to_string(sameAddress) +
                   " sessions from this address already (the limit is " + std::to_string(limit) +
                   ")",
               metrics::Refusal::PerAddressLimit);
    return false;
}

void CFtpServerController::LogConnected(CFtpPooledSession* session, const std::string& peer) {
    if (!platform::Log::On(platform::LogLevel::Info)) return;
    // An ended session stays in the active list until its queued events are handled.
    size_t open = 0;
    for (CFtpPooledSession* other : activeSessions_)
        if (other->PrimarySocket()->IsOpen()) ++open;
    platform::Log::Write(
        platform::LogLevel::Info,
        peer + ": connected (session " + std::to_string(session->sessionNumber) + ", " +
            std::to_string(open) + " connected now" +
            (sessionLoops_.size() > 1 ? ", loop " + std::to_string(session->LoopIndex() + 1)
                                      : std::string()) +
            ")");
}

bool CFtpServerController::AdmitProxiedClient(CFtpPooledSession* session) {
    Guard guard(lock_);
    int index = session->activeIndex;
    if (index < 0 || static_cast<size_t>(index) >= activeSessions_.size() ||
        activeSessions_[static_cast<size_t>(index)] != session)
        return false;
    std::string peer, balancer = connInfo_[static_cast<size_t>(index)].peerAddress;
    int port = 0;
    if (!session->PrimarySocket()->GetPeerName(peer, port)) return false;
    if (!Admissible(peer)) {
        rejected_ += 1;
        return false;
    }
    byAddress_[peer].push_back(session);
    connInfo_[static_cast<size_t>(index)].peerAddress = peer;
    if (platform::Log::On(platform::LogLevel::Info) && peer != balancer)
        platform::Log::Write(platform::LogLevel::Info,
                             peer + ": through the load balancer at " + balancer);
    LogConnected(session, peer);
    return true;
}

void CFtpServerController::LogRefusal(const std::string& peer, const std::string& why,
                                      metrics::Refusal reason) {
    metrics::Counters().CountRefusal(reason);
    if (platform::Log::On(platform::LogLevel::Warning))
        platform::Log::Write(platform::LogLevel::Warning,
                             (peer.empty() ? std::string("a client") : peer) + ": " + why);
}

void CFtpServerController::CountFailedLogin(const std::string& address) {
    if (address.empty()) return;
    std::optional<BanRecord> ban = bans_.RecordFailure(address, Clock::Now());
    if (!ban || !platform::Log::On(platform::LogLevel::Warning)) return;
    CBanList::Rules rules = bans_.CurrentRules();
    platform::Log::Write(platform::LogLevel::Warning,
                         address + " is banned for " + MinutesText(rules.banSeconds / 60) +
                             " after " + std::to_string(ban->failures) + " failed logins in " +
                             MinutesText(rules.windowSeconds / 60));
}

bool CFtpServerController::IsBanned(const std::string& address) {
    return bans_.IsBanned(address, Clock::Now());
}

void CFtpServerController::LogBanRefusal(const std::string& peer) {
    metrics::Counters().CountRefusal(metrics::Refusal::Banned);
    if (platform::Log::On(platform::LogLevel::Info))
        platform::Log::Write(platform::LogLevel::Info,
                             peer + ": refused: banned after failed logins");
}

void CFtpServerController::RejectBusy(CFtpSocket* socket) {
    try {
        rejectStream_.SetSocket(socket);
        rejectStream_.Open(STREAM_KIND_CONNECTION, 0);
        rejectStream_.WriteLine("421 Service not available.");
        if (rejectStream_.SendReplyFile(255) < 0) {  // all out already
            socket->Close();
            rejectStream_.Close();
        }
    } catch (const std::exception&) {
        socket->Close();
        rejectStream_.Close();
    }
}

void CFtpServerController::ResetStatistics() {
    Guard guard(lock_);
    hourMark_ = Clock::Now();
    rejected_ = accepted_ = 0;
    endedByReason_.fill(0);
    filesUploaded_ = filesDownloaded_ = bytesReceived_ = bytesSent_ = 0;
    previousReceived_ = previousSent_ = previousAccepted_ = previousRejected_ = 0;
    previousUploads_ = previousDownloads_ = 0;
    connCursor_ = eventCursor_ = fileEventCursor_ = sharePointCursor_ = 0;
    sequence_ = 0;
}

void CFtpServerController::AddSample(History& history, platform::Time32 t, int64_t value) {
    if (!history.empty()) {
        platform::Time32 last = history.back().time;
        struct tm a = platform::LocalTime(last), b = platform::LocalTime(t);
        if (a.tm_hour == b.tm_hour && t - last < 3600) {
            history.back() = HistorySample{t, value};
            return;
        }
    }
    while (history.size() >= kMaxSamples) history.erase(history.begin());
    history.push_back(HistorySample{t, value});
}

void CFtpServerController::SampleSharePoints(platform::Time32) {}

void CFtpServerController::SampleNetwork(platform::Time32 t) {
    CSocketEngine& engine = CSocketEngine::Instance();
    uint64_t received = engine.TotalBytesReceived(), sent = engine.TotalBytesSent();
    AddSample(networkHistories_[0], t, static_cast<int64_t>(received - previousReceived_));
    AddSample(networkHistories_[1], t, static_cast<int64_t>(sent - previousSent_));
}

void CFtpServerController::SampleUsers(platform::Time32 t) {
    AddSample(userHistories_[0], t, static_cast<int64_t>(accepted_ - previousAccepted_));
    AddSample(userHistories_[1], t, static_cast<int64_t>(rejected_ - previousRejected_));
}

void CFtpServerController::SampleTransfers(platform::Time32 t) {
    AddSample(transferHistories_[0], t, static_cast<int64_t>(filesUploaded_ - previousUploads_));
    AddSample(transferHistories_[1], t,
              static_cast<int64_t>(filesDownloaded_ - previousDownloads_));
}

void CFtpServerController::SampleOther(platform::Time32) {}

void CFtpServerController::DestroyPool() {
    Guard guard(lock_);
    if (!activeSessions_.empty()) return;  // live sessions keep events queued
    for (CFtpPooledSession* s : allSessions_) delete s;
    allSessions_.clear();
    for (auto& free : freeByLoop_) free.clear();
    connInfo_.clear();
    byAddress_.clear();
}

// ---- events ----

// With SYN cookies (Linux's default) a connection that finds a short backlog full is not
// refused: the client's final ACK is dropped and the client believes it is connected while
// this side never hears of it, so it waits a minute for a greeting. A burst of clients must
// therefore fit into the backlog; admission (421, the rules) still decides who stays.
void CFtpServerController::OnAccept(CFtpSocket* socket) {
    CFtpControlConnection::OnAccept(socket);
    if (socket != &FtpListener() && socket != implicitListener_.get()) return;
    try {
        if (spareSocket_->IsOpen()) {
            socket->SetAcceptWanted(true);  // a 421 is still going out: take the client later
            return;
        }
        AcceptClient(socket);
    } catch (const std::exception&) {
    }
}

void CFtpServerController::OnClose(CFtpSocket* socket) {
    CFtpControlConnection::OnClose(socket);
    if (socket == spareSocket_.get()) rejectStream_.Close();
}

void CFtpServerController::OnSend(CFtpSocket* socket) {
    if (socket != spareSocket_.get()) return CFtpControlConnection::OnSend(socket);
    CFtpListener::OnSend(socket);
    try {
        if (rejectStream_.State() & STREAM_OPEN && rejectStream_.SendReplyFile(255) < 0) {
            spareSocket_->Close();
            rejectStream_.Close();
        }
    } catch (const std::exception&) {
        spareSocket_->Close();
        rejectStream_.Close();
    }
}

void CFtpServerController::OnTlsEnd(CFtpSocket* socket) {
    CFtpControlConnection::OnTlsEnd(socket);
    if (socket == spareSocket_.get()) {
        spareSocket_->Close();
        rejectStream_.Close();
    }
}

void CFtpServerController::OnTlsFailed(CFtpSocket* socket) {
    CFtpControlConnection::OnTlsFailed(socket);
    if (socket == spareSocket_.get()) {
        spareSocket_->Close();
        rejectStream_.Close();
    }
}

void CFtpServerController::OnTick() {
    CFtpControlConnection::OnTick();
    Guard guard(lock_);
    platform::Time32 now = Clock::Now();
    // Each session's tick goes to its own loop; a quiet one has nothing to do until later.
    for (CFtpPooledSession* s : activeSessions_)
        if (!s->QuietAt(now)) s->Sink()->Post(EV_TICK, s, nullptr);
    if (((now - hourMark_) % 86400) / 3600 >= 1) {
        SampleSharePoints(now);
        SampleNetwork(now);
        SampleUsers(now);
        SampleTransfers(now);
        SampleOther(now);
        hourMark_ = now;
    }
}

void CFtpServerController::EndQuietSessions() {
    Guard guard(lock_);
    for (CFtpPooledSession* s : activeSessions_) s->EndQuiet();
}

void CFtpServerController::ResetConsoleBuffers() {
    CFtpControlConnection::ResetConsoleBuffers();
    Guard guard(lock_);
    connCursor_ = eventCursor_ = fileEventCursor_ = sharePointCursor_ = 0;
    bansShown_.clear();
    banCursor_ = 0;
    liftResult_ = CFtpBanMsg::kNoLift;
}

void CFtpServerController::OnConsoleRequest() {
    if (!consoleEnabled_ || !PasswordAccepted()) return;
    if (request_.liftBan) {
        // Answered on the end record of the ban list the same request asks for.
        bool lifted = bans_.Lift(request_.liftAddress, Clock::Now());
        liftResult_ = lifted ? CFtpBanMsg::kLifted : CFtpBanMsg::kNotBanned;
        if (lifted && platform::Log::On(platform::LogLevel::Warning))
            platform::Log::Write(platform::LogLevel::Warning,
                                 request_.liftAddress + ": ban lifted by the console");
        request_.liftBan = 0;
        request_.liftAddress.clear();
    }
    if (!request_.disconnect) return;
    {
        Guard guard(lock_);
        int index = request_.disconnectIndex;
        if (index >= 0 && static_cast<size_t>(index) < activeSessions_.size()) {
            CFtpPooledSession* s = activeSessions_[static_cast<size_t>(index)];
            std::string peer;
            int port = 0;
            if (s->PrimarySocket()->GetPeerName(peer, port) && peer == request_.disconnectAddress)
                s->RequestDisconnect();
        }
    }
    request_.disconnect = 0;
    request_.disconnectIndex = -1;
    request_.disconnectAddress.clear();
}

// ---- the console's senders ----

bool CFtpServerController::SendTransferStats() {
    Guard guard(lock_);
    if (!CanSendMessage()) return false;
    SampleTransfers(Clock::Now());
    CFtpXferMsg message;
    message.filesUploaded = filesUploaded_;
    message.filesDownloaded = filesDownloaded_;
    message.bytesReceived = bytesReceived_;
    message.bytesSent = bytesSent_;
    message.uploads = transferHistories_[0];
    message.downloads = transferHistories_[1];
    return SendMessage(MSG_TRANSFER, message);
}

bool CFtpServerController::SendUserStats() {
    Guard guard(lock_);
    if (!CanSendMessage()) return false;
    SampleUsers(Clock::Now());
    CFtpUserMsg message;
    message.activeSessions = static_cast<int64_t>(activeSessions_.size());
    message.rejected = rejected_;
    message.accepted = accepted_;
    message.endedIdle = endedByReason_[1];
    message.endedError = endedByReason_[4];
    message.endedByClient = endedByReason_[0];
    message.endedShutdown = endedByReason_[3];
    message.endedOther = endedByReason_[5];
    message.endedFailedLogins = endedByReason_[2];
    message.pooledSessions = static_cast<uint32_t>(allSessions_.size());
    message.acceptedHistory = userHistories_[0];
    message.rejectedHistory = userHistories_[1];
    return SendMessage(MSG_USER, message);
}

bool CFtpServerController::SendNetStats() {
    Guard guard(lock_);
    if (!CanSendMessage()) return false;
    SampleNetwork(Clock::Now());
    CFtpNetMsg message;
    int port = 0;
    FtpListener().GetSockName(message.listenAddress, port);
    message.listenPort = static_cast<uint32_t>(port);
    CSocketEngine& engine = CSocketEngine::Instance();
    message.bytesReceived = engine.TotalBytesReceived();
    message.bytesSent = engine.TotalBytesSent();
    message.openSockets = static_cast<uint32_t>(engine.OpenSocketCount());
    message.first = networkHistories_[0];
    message.second = networkHistories_[1];
    return SendMessage(MSG_NETWORK, message);
}

bool CFtpServerController::SendConnections() {
    Guard guard(lock_);
    // A console that knows the record's later version gets the live transfer figures too.
    bool figures = (request_.version & 0xFF) >= CFtpReqMsg::kFiguresVersion;
    bool roots = (request_.version & 0xFF) >= CFtpReqMsg::kBansVersion;
    while (connCursor_ < connInfo_.size()) {
        if (!CanSendMessage()) return true;
        CFtpConnMsg record = connInfo_[connCursor_];
        // Counted here: an idle session is not ticked to count its minutes.
        record.minutesConnected = (Clock::Now() - record.time) / 60;
        if (figures && connCursor_ < activeSessions_.size()) {
            // As the session last published them (its tick): it runs on a loop of its own.
            const CFtpConnMsg& shown = activeSessions_[connCursor_]->view.figures;
            record.version = CFtpConnMsg::kFiguresVersion;
            record.uploads = shown.uploads;
            record.downloads = shown.downloads;
            record.bytesReceived = shown.bytesReceived;
            record.bytesSent = shown.bytesSent;
            record.transferring = shown.transferring;
            record.transferBytes = shown.transferBytes;
            if (roots) {
                record.version = CFtpConnMsg::kRootVersion;
                record.root = activeSessions_[connCursor_]->view.root;
            }
        }
        if (!SendMessage(MSG_CONNECTION, record)) return true;
        ++connCursor_;
    }
    CFtpConnMsg endMark;
    if (!CanSendMessage() || !SendMessage(MSG_CONNECTION, endMark)) return true;
    connCursor_ = 0;
    return false;
}

bool CFtpServerController::SendSharePoints() {
    Guard guard(lock_);
    int count = SharePointCount();
    while (sharePointCursor_ < static_cast<size_t>(count)) {
        CFtpSharePtMsg message;
        FillSharePointMsg(static_cast<int>(sharePointCursor_), message);
        if (!CanSendMessage() || !SendMessage(MSG_SHARE_POINT, message)) return true;
        ++sharePointCursor_;
    }
    CFtpSharePtMsg endMark;
    if (!CanSendMessage() || !SendMessage(MSG_SHARE_POINT, endMark)) return true;
    sharePointCursor_ = 0;
    return false;
}

bool CFtpServerController::SendEvents() {
    Guard guard(lock_);
    while (eventCursor_ < eventList_.size() && CanSendMessage() &&
           SendMessage(MSG_EVENT, eventList_[eventCursor_]))
        ++eventCursor_;
    return eventCursor_ < eventList_.size();
}

bool CFtpServerController::SendFileEvents() {
    Guard guard(lock_);
    while (fileEventCursor_ < fileEvents_.size() && CanSendMessage() &&
           SendMessage(MSG_FILE_EVENT, fileEvents_[fileEventCursor_]))
        ++fileEventCursor_;
    return fileEventCursor_ < fileEvents_.size();
}

bool CFtpServerController::SendBans() {
    Guard guard(lock_);
    // The list is taken once per answer, so that records sent in several steps agree.
    if (banCursor_ == 0 && bansShown_.empty()) bansShown_ = bans_.Bans(Clock::Now());
    while (banCursor_ < bansShown_.size()) {
        const BanRecord& ban = bansShown_[banCursor_];
        CFtpBanMsg record;
        record.address = ban.address;
        record.since = ban.since;
        record.until = ban.until;
        record.failures = ban.failures;
        if (!CanSendMessage() || !SendMessage(MSG_BAN, record)) return true;
        ++banCursor_;
    }
    CBanList::Rules rules = bans_.CurrentRules();
    CFtpBanMsg endMark;
    endMark.failuresToBan = rules.failures;
    endMark.windowMinutes = rules.windowSeconds / 60;
    endMark.banMinutes = rules.banSeconds / 60;
    endMark.lift = liftResult_;
    if (!CanSendMessage() || !SendMessage(MSG_BAN, endMark)) return true;
    bansShown_.clear();
    banCursor_ = 0;
    liftResult_ = CFtpBanMsg::kNoLift;
    return false;
}

bool CFtpServerController::SendReport(int kind, int index) {
    Guard guard(lock_);
    const History* history = nullptr;
    platform::Time32 now = Clock::Now();
    if (kind == REPORT_SHARE_POINTS && index < SharePointCount() &&
        static_cast<size_t>(index) < sharePointHistories_.size()) {
        SampleSharePoints(now);
        history = &sharePointHistories_[static_cast<size_t>(index)];
    } else if (index < 2) {
        size_t i = static_cast<size_t>(index);
        switch (kind) {
            case REPORT_NETWORK:
                SampleNetwork(now);
                history = &networkHistories_[i];
                break;
            case REPORT_USERS:
                SampleUsers(now);
                history = &userHistories_[i];
                break;
            case REPORT_TRANSFERS:
                SampleTransfers(now);
                history = &transferHistories_[i];
                break;
            case REPORT_FIFTH:
                SampleOther(now);
                history = &otherHistories_[i];
                break;
            default:
                break;
        }
    }
    if (!history) return true;  // selects nothing
    if (!CanSendMessage()) return false;
    CFtpReportMsg message;
    message.kind = static_cast<uint8_t>(kind);
    message.index = index;
    message.history = *history;
    return SendMessage(MSG_REPORT, message);
}
