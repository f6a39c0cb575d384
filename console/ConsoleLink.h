#pragma once
// One monitoring console's connection to a server, with the engine it runs on: the socket
// engine, the TLS client context and a loop on the calling thread. Every wait here has a time
// limit; a failure leaves one sentence in Error().

#include <functional>
#include <memory>
#include <string>

#include "console/ConsoleClient.h"
#include "engine/MsgWnd.h"
#include "net/NetRuntime.h"
#include "platform/EventLoop.h"

struct ConsoleTarget {
    std::string host = "127.0.0.1";
    int port = 1205;
    std::string password;
    std::string caFile;     // trusted certificates for a remote server ("": the system's)
    bool insecure = false;  // take any certificate from a remote server
    std::string tlsName;    // the name or address its certificate must carry ("": host)
    std::string certFile;   // our certificate, for a server that asks for one ("": none)
    std::string keyFile;    // its unencrypted key ("": in certFile)
    int timeoutMs = 5000;
};

class CConsoleLink {
public:
    CConsoleLink();
    ~CConsoleLink();
    CConsoleLink(const CConsoleLink&) = delete;
    CConsoleLink& operator=(const CConsoleLink&) = delete;

    // Connects (and for a remote server completes the TLS handshake).
    bool Open(const ConsoleTarget& target);
    bool Connected();

    // Sends the request with the password and waits until the server has answered all of it.
    bool Fetch(CFtpReqMsg request);
    // The counters, the session list and whatever else asked for, in one answer.
    bool FetchOverview(bool withSessions, bool withEvents, bool withFileEvents);
    // System and OS information; false (the connection made afresh) when the server does not
    // give them within a second.
    bool FetchHostFacts();
    // Replaces the server's bandwidth schedule and reads it back.
    bool SendSchedule(CFtpThrottleData schedule);
    // The disconnect request for the session at index, which must be from peer.
    bool RequestDisconnect(int index, const std::string& peer);
    // The ban list, after lifting the ban on liftAddress when it is not "". A server that
    // keeps no bans answers without the list: the snapshot then has no banEnd.
    bool FetchBans(const std::string& liftAddress = "");

    // What the TLS handshake told: the first failed check of the server's certificate, and
    // the first fatal alert the server sent (-1: none).
    struct TlsFindings {
        int verifyError = 0;  // X509_V_OK
        int alert = -1;
    };

    ConsoleSnapshot& Snapshot() { return client_->Snapshot(); }
    platform::EventLoop& Loop() { return loop_; }
    const std::string& Error() const { return error_; }
    // Runs the loop for up to milliseconds or until done.
    bool RunUntil(const std::function<bool()>& done, int milliseconds);

private:
    bool Fail(const std::string& text);
    bool SetUpTls(const ConsoleTarget& target);
    bool WaitToSend();
    // Why the connection is gone, as one sentence.
    std::string Gone() const;
    // Why the server ended the handshake with an alert about our certificate ("": it did not).
    std::string CertificateRefused() const;
    std::string Where() const;
    std::string Seconds() const;  // the time limit as text

    CSslRuntime runtime_;
    bool runtimeStarted_ = false;
    bool clientReady_ = false;
    platform::EventLoop loop_;
    CMsgWnd window_{loop_};
    std::unique_ptr<CConsoleClient> client_;
    int tickTimer_ = 0;
    ConsoleTarget target_;
    bool answered_ = false;
    TlsFindings findings_;
    std::string error_;
};
