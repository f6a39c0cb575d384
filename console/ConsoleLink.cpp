#include "console/ConsoleLink.h"

#include <arpa/inet.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net/HostAddress.h"
#include "net/SocketEngine.h"
#include "net/TlsRuntime.h"
#include "platform/AtomicFile.h"
#include "platform/Clock.h"

namespace {
// What the handshake told, kept by the link whose client context made the connection (the
// views over several nodes hold several links): the first reason the certificate check gave,
// and the first fatal alert the server sent.
CConsoleLink::TlsFindings* FindingsOf(const SSL* ssl) {
    return static_cast<CConsoleLink::TlsFindings*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
}

int RecordVerify(int preverifyOk, X509_STORE_CTX* store) {
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    CConsoleLink::TlsFindings* findings = ssl ? FindingsOf(ssl) : nullptr;
    if (!preverifyOk && findings && findings->verifyError == X509_V_OK)
        findings->verifyError = X509_STORE_CTX_get_error(store);
    return preverifyOk;
}

void RecordAlert(const SSL* ssl, int where, int value) {
    if (!(where & SSL_CB_ALERT) || !(where & SSL_CB_READ) || (value >> 8) != SSL3_AL_FATAL) return;
    CConsoleLink::TlsFindings* findings = FindingsOf(ssl);
    if (findings && findings->alert < 0) findings->alert = value & 0xff;
}

// What is wrong with the certificate or key file in plain words, when the text shows it ("":
// nothing seen).
std::string PairProblem(const ConsoleTarget& target) {
    std::string text;
    if (!platform::ReadWholeFile(target.certFile, text))
        return "--cert: cannot read " + target.certFile + ": " + std::strerror(errno);
    std::string path = target.keyFile.empty() ? target.certFile : target.keyFile;
    if (!platform::ReadWholeFile(path, text))
        return "--key: cannot read " + path + ": " + std::strerror(errno);
    if (text.find("ENCRYPTED") != std::string::npos)
        return "--key: the private key in " + path +
               " is encrypted; the console reads an unencrypted one, as \"quenlowftp cert "
               "create --client\" makes it";
    if (text.find("PRIVATE KEY-----") == std::string::npos)
        return "--key: " + path + " holds no private key" +
               (target.keyFile.empty() ? ": give --key with the key of --cert" : "");
    return {};
}

// OpenSSL 3.0 has no name for the TLS 1.3 alert.
std::string AlertName(int alert) {
    if (alert == SSL_AD_CERTIFICATE_REQUIRED) return "certificate required";
    return SSL_alert_desc_string_long(alert);
}

bool IsAddress(const std::string& host) {
    in6_addr address{};
    return ::inet_pton(AF_INET, host.c_str(), &address) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), &address) == 1;
}
}  // namespace

CConsoleLink::CConsoleLink() {
    runtimeStarted_ = runtime_.Init();
    tickTimer_ = loop_.AddTimer(75, [this] { runtime_.Tick(0); });
    // One client for the link's whole life: events posted for it may still wait in the loop.
    client_ = std::make_unique<CConsoleClient>(&window_);
    // Without the console setting the connection only acts as the client.
    clientReady_ = runtimeStarted_ && client_->InitConsole(false);
}

CConsoleLink::~CConsoleLink() {
    if (client_) {
        client_->CloseConsole();
        client_->DeleteSockets();
        client_.reset();
    }
    loop_.RemoveTimer(tickTimer_);
    if (runtimeStarted_) runtime_.Term();
}

bool CConsoleLink::Fail(const std::string& text) {
    error_ = text;
    return false;
}

std::string CConsoleLink::Seconds() const {
    char text[16];
    std::snprintf(text, sizeof text, "%g s", target_.timeoutMs / 1000.0);
    return text;
}

std::string CConsoleLink::Where() const {
    return AddressPortText(target_.host, target_.port);
}

bool CConsoleLink::RunUntil(const std::function<bool()>& done, int milliseconds) {
    return loop_.RunUntil(done, milliseconds);
}

bool CConsoleLink::SetUpTls(const ConsoleTarget& target) {
    CTlsRuntime& tls = CTlsRuntime::Instance();
    findings_ = {};
    tls.SetClientVerifyCallback(RecordVerify);
    if (!tls.InitClientContext(target.insecure ? "" : target.caFile, target.certFile,
                               target.keyFile, "")) {
        if (target.certFile.empty()) return Fail(tls.LastError());
        std::string problem = PairProblem(target);
        return Fail(problem.empty() ? "--cert/--key: " + tls.LastError() : problem);
    }
    SSL_CTX* context = tls.ClientContext();
    SSL_CTX_set_app_data(context, &findings_);
    SSL_CTX_set_info_callback(context, RecordAlert);
    if (target.insecure) {
        SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
        return true;
    }
    // The certificate must also be the one of the host asked for, by name or by address.
    std::string name = target.tlsName.empty() ? target.host : target.tlsName;
    X509_VERIFY_PARAM* check = SSL_CTX_get0_param(context);
    bool set = IsAddress(name) ? X509_VERIFY_PARAM_set1_ip_asc(check, name.c_str()) == 1
                               : X509_VERIFY_PARAM_set1_host(check, name.c_str(), 0) == 1;
    if (!set) return Fail("cannot check the certificate against the name " + name);
    return true;
}

bool CConsoleLink::Open(const ConsoleTarget& target) {
    target_ = target;
    if (!runtimeStarted_) return Fail("cannot start the network engine");
    if (!SetUpTls(target)) return false;
    if (!clientReady_) return Fail("cannot set up the console: " + client_->Error());
    client_->Restart();
    std::string address;
    if (!ResolveHost(target.host, address))
        return Fail("cannot connect to " + Where() + ": the host name does not resolve");
    // The server speaks plain text only to 127.0.0.1 and judges by the address we come from;
    // towards another loopback address we come from that address, so both sides use TLS.
    bool otherLoopback = address.rfind("127.", 0) == 0 && address != "127.0.0.1";
    CSocketEngine::Instance().SetBindAddress(otherLoopback         ? address
                                             : IsIpv6Text(address) ? "::"
                                                                   : "0.0.0.0");
    if (!client_->ConnectConsole(address, target.port)) return Fail("cannot connect to " + Where());
    bool settled = RunUntil([&] { return client_->Settled(); }, target.timeoutMs);
    if (client_->Ready() && client_->Open()) return true;
    if (!settled) return Fail("no answer from " + Where() + " within " + Seconds());
    if (std::string refused = CertificateRefused(); !refused.empty()) return Fail(refused);
    if (client_->TlsFailed()) {
        std::string problem = X509_verify_cert_error_string(findings_.verifyError);
        bool otherName = findings_.verifyError == X509_V_ERR_HOSTNAME_MISMATCH ||
                         findings_.verifyError == X509_V_ERR_IP_ADDRESS_MISMATCH;
        if (otherName)
            return Fail("the TLS handshake with " + Where() +
                        " failed: the server's certificate is made out to another name (" +
                        problem + "); give --tls-name with the name it carries, or --insecure");
        if (findings_.verifyError != X509_V_OK)
            return Fail("the TLS handshake with " + Where() +
                        " failed: the server's certificate is not trusted (" + problem +
                        "); give --cafile with the certificate it uses, or --insecure");
        return Fail("the TLS handshake with " + Where() +
                    " failed (is it the console port, with TLS set up on the server?)");
    }
    if (!client_->ProtocolError().empty()) return Fail(client_->ProtocolError());
    if (client_->ConnectFailed())
        return Fail("cannot connect to " + Where() +
                    ": refused or unreachable (is the server running with SysConsoleState "
                    "true, on this port?)");
    return Fail("the server at " + Where() +
                " closed the connection at once: another console is connected, or the "
                "address is refused");
}

bool CConsoleLink::Connected() {
    return client_ && client_->Open();
}

std::string CConsoleLink::CertificateRefused() const {
    // TLS 1.2 says handshake_failure, TLS 1.3 certificate_required when none was sent; the
    // rest are the alerts about a certificate that was sent.
    const bool aboutCertificate =
        findings_.alert == SSL_AD_HANDSHAKE_FAILURE ||
        findings_.alert == SSL_AD_CERTIFICATE_REQUIRED ||
        (findings_.alert >= SSL_AD_BAD_CERTIFICATE && findings_.alert <= SSL_AD_ACCESS_DENIED);
    if (!aboutCertificate) return {};
    std::string alert = AlertName(findings_.alert);
    if (target_.certFile.empty())
        return "the server at " + Where() + " asks for a client certificate (" + alert +
               "): give --cert and --key (\"quenlowftp cert create --client\" on the server "
               "makes a pair)";
    return "the server at " + Where() + " did not accept the client certificate " +
           target_.certFile + " (" + alert +
           "): it takes one signed by its present certificate (\"quenlowftp cert create "
           "--client\" on the server makes one)";
}

std::string CConsoleLink::Gone() const {
    if (!client_->ProtocolError().empty()) return client_->ProtocolError();
    // Under TLS 1.3 the server judges our certificate after our side has finished.
    if (std::string refused = CertificateRefused(); !refused.empty()) return refused;
    if (!answered_)
        return "the server closed the console connection without an answer: a wrong console "
               "password, or another console is connected";
    return "the server closed the console connection";
}

bool CConsoleLink::WaitToSend() {
    if (!Connected()) return Fail(Gone());
    if (RunUntil([&] { return !Connected() || !client_->SendPending(); }, target_.timeoutMs) &&
        Connected())
        return true;
    return Fail(Connected() ? "the server at " + Where() + " does not take what is sent" : Gone());
}

bool CConsoleLink::Fetch(CFtpReqMsg request) {
    if (!WaitToSend()) return false;
    // Requests about bans, sessions or the host take the version that knows bans, the
    // sessions' roots and the host's address; every other one stays as it was.
    request.version = request.bans || request.liftBan || request.sessions || request.systemInfo
                          ? CFtpReqMsg::kBansVersion
                          : CFtpReqMsg::kFiguresVersion;
    request.password = target_.password;
    // The server answers a request in a fixed order with the report last, so the report
    // marks the end of the answer (event lists have no end record of their own).
    request.reportKind = REPORT_NETWORK;
    request.reportIndex = 0;
    client_->TakeReports();
    if (!client_->Send(MSG_REQUEST, request)) return Fail(Gone());
    bool reported = false;
    RunUntil(
        [&] {
            reported = reported || client_->TakeReports() > 0;
            return reported || !Connected();
        },
        target_.timeoutMs);
    if (reported) {
        answered_ = true;
        return true;
    }
    if (!Connected()) return Fail(Gone());
    return Fail("the server at " + Where() + " did not answer within " + Seconds());
}

bool CConsoleLink::FetchOverview(bool withSessions, bool withEvents, bool withFileEvents) {
    CFtpReqMsg request;
    request.transfers = request.users = request.network = 1;
    request.sessions = withSessions ? 1 : 0;
    request.events = withEvents ? 1 : 0;
    request.fileEvents = withFileEvents ? 1 : 0;
    return Fetch(request);
}

bool CConsoleLink::FetchHostFacts() {
    CFtpReqMsg request;
    request.systemInfo = request.osInfo = 1;
    int limit = target_.timeoutMs;
    target_.timeoutMs = std::min(limit, 1000);
    bool ok = Fetch(request);
    target_.timeoutMs = limit;
    if (ok || !Connected()) return ok;
    // A server that cannot fill them would hold every later request behind them. The new
    // connection keeps the snapshot: the client stays the same.
    if (!Open(target_)) return false;
    return Fail("the server does not give system information");
}

bool CConsoleLink::SendSchedule(CFtpThrottleData schedule) {
    if (!WaitToSend()) return false;
    schedule.password = target_.password;
    schedule.time = platform::Clock::Now();
    if (!client_->Send(MSG_THROTTLE, schedule)) return Fail(Gone());
    CFtpReqMsg request;
    request.throttle = 1;
    Snapshot().schedule.reset();
    if (!Fetch(request)) return false;
    const std::optional<CFtpThrottleData>& now = Snapshot().schedule;
    if (!now || now->enabled != schedule.enabled || now->days != schedule.days)
        return Fail("the server did not take the schedule");
    return true;
}

bool CConsoleLink::FetchBans(const std::string& liftAddress) {
    CFtpReqMsg request;
    request.bans = 1;
    if (!liftAddress.empty()) {
        request.liftBan = 1;
        request.liftAddress = liftAddress;
    }
    Snapshot().bans.clear();
    Snapshot().banEnd.reset();
    return Fetch(request);
}

bool CConsoleLink::RequestDisconnect(int index, const std::string& peer) {
    CFtpReqMsg request;
    request.disconnect = 1;
    request.disconnectIndex = index;
    request.disconnectAddress = peer;
    return Fetch(request);
}
