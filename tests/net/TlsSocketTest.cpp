#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "net/TlsRuntime.h"
#include "platform/Clock.h"
#include "support/EngineFixture.h"
#include "support/TestTls.h"

using namespace testsupport;
using platform::Clock;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A TLS client of the test's own over a blocking socket, with memory BIOs so that the test
// decides how the encrypted bytes reach the wire.
class RawTlsClient {
public:
    explicit RawTlsClient(int maxVersion = 0, const char* ciphers = nullptr) {
        context_ = SSL_CTX_new(TLS_client_method());
        if (maxVersion) {
            SSL_CTX_set_min_proto_version(context_, TLS1_VERSION);
            SSL_CTX_set_max_proto_version(context_, maxVersion);
        }
        if (ciphers) SSL_CTX_set_cipher_list(context_, ciphers);
        ssl_ = SSL_new(context_);
        in_ = BIO_new(BIO_s_mem());
        out_ = BIO_new(BIO_s_mem());
        SSL_set_bio(ssl_, in_, out_);
        SSL_set_connect_state(ssl_);
    }
    ~RawTlsClient() {
        SSL_free(ssl_);
        SSL_CTX_free(context_);
        if (fd_ >= 0) ::close(fd_);
    }
    bool Connect(int port) {
        fd_ = ConnectBlocking(port);
        timeval timeout{5, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        return fd_ >= 0;
    }
    // Runs the handshake; false when it fails.
    bool Handshake() {
        for (;;) {
            int result = SSL_do_handshake(ssl_);
            FlushAll();
            if (result == 1) return true;
            if (SSL_get_error(ssl_, result) != SSL_ERROR_WANT_READ || !ReadSome()) return false;
        }
    }
    // The encrypted bytes of one record carrying text, not yet sent.
    std::string Seal(const std::string& text) {
        SSL_write(ssl_, text.data(), static_cast<int>(text.size()));
        return Drain();
    }
    void SendRaw(const std::string& bytes) { ::send(fd_, bytes.data(), bytes.size(), 0); }
    std::string Read() {
        char buffer[4096];
        for (;;) {
            int n = SSL_read(ssl_, buffer, sizeof buffer);
            if (n > 0) return std::string(buffer, static_cast<size_t>(n));
            if (SSL_get_error(ssl_, n) != SSL_ERROR_WANT_READ || !ReadSome()) return {};
        }
    }
    int fd() const { return fd_; }

private:
    std::string Drain() {
        std::string bytes;
        char buffer[4096];
        int n;
        while ((n = BIO_read(out_, buffer, sizeof buffer)) > 0) bytes.append(buffer, n);
        return bytes;
    }
    void FlushAll() { SendRaw(Drain()); }
    bool ReadSome() {
        char buffer[4096];
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        BIO_write(in_, buffer, static_cast<int>(n));
        return true;
    }

    SSL_CTX* context_;
    SSL* ssl_;
    BIO* in_;
    BIO* out_;
    int fd_ = -1;
};

}  // namespace

class TlsSocketTest : public EngineTest {
protected:
    static void SetUpTestSuite() {
        dir = MakeTempDir("qftp-tls");
        serverCert = MakeCertificate(dir, "server", "localhost");
        alice = MakeCertificate(dir, "alice", "alice");
        bob = MakeCertificate(dir, "bob", "bob");
        // The server trusts what its certificate file holds: itself and the two clients.
        trustFile = dir + "/server-chain.pem";
        std::ofstream(trustFile) << ReadFile(serverCert.certFile) << ReadFile(alice.certFile)
                                 << ReadFile(bob.certFile);
    }

    void SetUp() override {
        EngineTest::SetUp();
        CTlsRuntime& tls = CTlsRuntime::Instance();
        ASSERT_TRUE(tls.Init());
        ASSERT_TRUE(tls.InitServerContext(trustFile, serverCert.keyFile, "", 1)) << tls.LastError();
        UseClientCertificate(alice);
        ASSERT_TRUE(server.Create());
        ASSERT_TRUE(client.Create());
    }

    void TearDown() override {
        CTlsRuntime::Instance().FreeTlsRuntime();
        EngineTest::TearDown();
    }

    void UseClientCertificate(const TestCertificate& who) {
        CTlsRuntime& tls = CTlsRuntime::Instance();
        ASSERT_TRUE(tls.InitClientContext(serverCert.certFile, who.certFile, who.keyFile, ""))
            << tls.LastError();
    }

    // A TLS listener of the server connection; returns its port.
    int ListenTls(int verifyMode = VERIFY_FROM_CONTEXT) {
        CFtpSocket* listener = server.TertiarySocket();
        EXPECT_TRUE(listener->CreateWithMode(0, SOCK_STREAM, "127.0.0.1", verifyMode));
        EXPECT_TRUE(listener->Listen(5));
        EXPECT_TRUE(listener->SetTlsRole(TLS_SERVER));
        std::string address;
        int port = 0;
        listener->GetSockName(address, port);
        return port;
    }

    // Accepts the next connection of the TLS listener into target.
    bool AcceptInto(CFtpSocket& target) {
        int before = server.Count(EV_ACCEPT);
        if (!PumpUntil([&] { return server.Count(EV_ACCEPT) > before; })) return false;
        return server.TertiarySocket()->Accept(target) == 1;
    }

    // An engine client socket and the server's accepted socket, TLS established both ways,
    // proven by one message each way.
    void EstablishPair(CFtpSocket& clientSocket, CFtpSocket& serverSocket, int port) {
        ASSERT_TRUE(clientSocket.CreateWithMode(0, SOCK_STREAM, nullptr, VERIFY_FROM_CONTEXT));
        ASSERT_TRUE(clientSocket.Connect("127.0.0.1", port));
        clientSocket.SetTlsRole(TLS_CLIENT);  // starts once the connect completes
        ASSERT_TRUE(AcceptInto(serverSocket));
        ASSERT_TRUE(Exchange(clientSocket, serverSocket, "ping"));
        ASSERT_TRUE(Exchange(serverSocket, clientSocket, "pong"));
    }

    // Sends text from one socket and pumps until the other has read it all.
    bool Exchange(CFtpSocket& from, CFtpSocket& to, const std::string& text) {
        size_t sent = 0;
        std::string got;
        return PumpUntil([&] {
            if (sent < text.size()) {
                int n = from.Send(text.data() + sent, static_cast<int>(text.size() - sent));
                if (n > 0) sent += static_cast<size_t>(n);
            }
            char buffer[4096];
            int n = to.Receive(buffer, sizeof buffer);
            if (n > 0) got.append(buffer, static_cast<size_t>(n));
            return got == text;
        });
    }

    static inline std::string dir;
    static inline std::string trustFile;
    static inline TestCertificate serverCert, alice, bob;
    RecordingConnection server{&window};
    RecordingConnection client{&window};
};

TEST_F(TlsSocketTest, HandshakeInBothRolesCarriesDataBothWays) {
    int port = ListenTls();
    CFtpSocket& c = *client.PrimarySocket();
    CFtpSocket& s = *server.PrimarySocket();
    EstablishPair(c, s, port);
    EXPECT_TRUE(c.IsSecure());
    EXPECT_TRUE(s.IsSecure());
    EXPECT_EQ(s.TlsRoleValue(), TLS_SERVER);
    EXPECT_EQ(c.TlsRoleValue(), TLS_CLIENT);
    EXPECT_GE(c.CipherBits(), 128);
    // The notifications may still be queued when the first bytes have already been read.
    EXPECT_TRUE(PumpUntil([&] {
        return server.Count(EV_TLS_START, &s) == 1 && client.Count(EV_TLS_START, &c) == 1;
    }));
    EXPECT_EQ(server.Count(EV_TLS_FAILED) + client.Count(EV_TLS_FAILED), 0);
    EXPECT_GT(s.BytesReceived(), 4u) << "the wire carried records, not the bare text";

    // A larger transfer goes through in pieces and arrives whole.
    std::string big(300000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    EXPECT_TRUE(Exchange(c, s, big));
}

TEST_F(TlsSocketTest, WhatAFullSocketLeftInThePairFollowsOnceThePeerReads) {
    int port = ListenTls();
    CFtpSocket& c = *client.PrimarySocket();
    CFtpSocket& s = *server.PrimarySocket();
    EstablishPair(c, s, port);
    int small = 4096;
    ASSERT_EQ(::setsockopt(s.Handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    std::string big(1 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 13 + i / 251);

    // The peer does not read: the sender takes what the socket and the pair hold, then stops.
    size_t sent = 0;
    auto sendMore = [&] {
        int n = s.Send(big.data() + sent, static_cast<int>(big.size() - sent));
        if (n > 0) sent += static_cast<size_t>(n);
        return n > 0;
    };
    for (int i = 0; i < 50 && sent < big.size() && sendMore(); ++i) {
    }
    ASSERT_GT(sent, 0u);
    ASSERT_LT(sent, big.size()) << "the full socket stopped the sender";
    PumpFor(100);

    // Once the peer reads, what was taken arrives, and the sender, going on at each send
    // event as every owner does, gets the whole text across in order.
    server.react = [&](uint32_t code, CFtpSocket* socket) {
        if (code == EV_SEND && socket == &s && sent < big.size()) sendMore();
    };
    sendMore();  // a send event may have come while the peer was not reading
    std::string got;
    ASSERT_TRUE(PumpUntil(
        [&] {
            char buffer[65536];
            int n;
            while ((n = c.Receive(buffer, sizeof buffer)) > 0)
                got.append(buffer, static_cast<size_t>(n));
            return got.size() >= big.size();
        },
        10000))
        << got.size() << " of " << big.size() << " bytes arrived, " << sent << " taken"
        << (got == big.substr(0, got.size()) ? "" : ", not in order");
    EXPECT_TRUE(got == big);
    EXPECT_EQ(server.Count(EV_TLS_FAILED) + client.Count(EV_TLS_FAILED), 0);
}

TEST_F(TlsSocketTest, RecordArrivingInPiecesGivesOneReceiveEvent) {
    int port = ListenTls(VERIFY_NONE);
    RawTlsClient raw;
    ASSERT_TRUE(raw.Connect(port));
    CFtpSocket& s = *server.PrimarySocket();
    ASSERT_TRUE(AcceptInto(s));
    std::thread handshake([&] { EXPECT_TRUE(raw.Handshake()); });
    bool done = false;
    PumpUntil([&] { return done; }, 800);  // serve the handshake
    handshake.join();
    PumpFor(200);

    int withData = 0, empty = 0;
    std::string got;
    server.react = [&](uint32_t code, CFtpSocket* socket) {
        if (code != EV_RECEIVE || socket != &s) return;
        char buffer[1024];
        int n = s.Receive(buffer, sizeof buffer);
        if (n > 0) {
            ++withData;
            got.append(buffer, static_cast<size_t>(n));
        } else {
            ++empty;
        }
    };
    std::string record = raw.Seal("split across three pieces");
    ASSERT_GT(record.size(), 20u);
    size_t third = record.size() / 3;
    raw.SendRaw(record.substr(0, third));
    PumpFor(150);
    raw.SendRaw(record.substr(third, third));
    PumpFor(150);
    raw.SendRaw(record.substr(2 * third));
    ASSERT_TRUE(PumpUntil([&] { return withData == 1; }));
    PumpFor(150);
    EXPECT_EQ(withData, 1);
    EXPECT_EQ(empty, 0);
    EXPECT_EQ(got, "split across three pieces");
}

// A TLS 1.3 server sends its session tickets after the handshake. A peer that only ever
// writes leaves them unread, and its kernel answers its close with a reset; so a socket told
// not to issue tickets sends nothing at all once the handshake is over.
TEST_F(TlsSocketTest, ASocketWithoutTicketsSendsNothingAfterItsHandshake) {
    int port = ListenTls(VERIFY_NONE);
    for (bool tickets : {true, false}) {
        SCOPED_TRACE(tickets ? "with tickets" : "without tickets");
        RawTlsClient raw;
        ASSERT_TRUE(raw.Connect(port));
        CFtpSocket& s = tickets ? *server.PrimarySocket() : *server.SecondarySocket();
        s.SetIssuesTickets(tickets);
        ASSERT_TRUE(AcceptInto(s));
        std::atomic<bool> done{false};
        std::thread handshake([&] {
            EXPECT_TRUE(raw.Handshake());
            done = true;
        });
        PumpUntil([&] { return done.load(); });
        handshake.join();
        PumpFor(200);  // the server takes the client's Finished
        char probe[512];
        ssize_t waiting = ::recv(raw.fd(), probe, sizeof probe, MSG_PEEK | MSG_DONTWAIT);
        if (tickets)
            EXPECT_GT(waiting, 0) << "a ticket follows the handshake";
        else
            EXPECT_EQ(waiting, -1) << waiting << " bytes were sent after the handshake";
        // The connection works as before.
        std::string got;
        server.react = [&](uint32_t code, CFtpSocket* socket) {
            char buffer[64];
            int n = code == EV_RECEIVE && socket == &s ? s.Receive(buffer, sizeof buffer) : 0;
            if (n > 0) got.append(buffer, static_cast<size_t>(n));
        };
        raw.SendRaw(raw.Seal("upload"));
        EXPECT_TRUE(PumpUntil([&] { return got == "upload"; }));
        server.react = nullptr;
        s.Close();
    }
}

TEST_F(TlsSocketTest, CleanTlsEndLeavesBothSidesInPlainText) {
    int port = ListenTls();
    CFtpSocket& c = *client.PrimarySocket();
    CFtpSocket& s = *server.PrimarySocket();
    EstablishPair(c, s, port);
    client.react = [&](uint32_t code, CFtpSocket* socket) {
        char buffer[64];
        if (code == EV_RECEIVE && socket == &c) c.Receive(buffer, sizeof buffer);
    };
    ASSERT_TRUE(s.SetTlsRole(TLS_NONE));
    ASSERT_TRUE(PumpUntil(
        [&] { return server.Count(EV_TLS_END, &s) == 1 && client.Count(EV_TLS_END, &c) == 1; }));
    client.react = nullptr;
    EXPECT_FALSE(s.IsSecure());
    EXPECT_FALSE(c.IsSecure());
    EXPECT_EQ(server.Count(EV_TLS_FAILED) + client.Count(EV_TLS_FAILED), 0);
    EXPECT_TRUE(Exchange(s, c, "plain again"));
    EXPECT_TRUE(Exchange(c, s, "both ways"));
}

TEST_F(TlsSocketTest, SilentClientFailsTheHandshakeAfter89Seconds) {
    Clock::Freeze(1800000000);
    int port = ListenTls();
    int raw = ConnectBlocking(port);
    ASSERT_GE(raw, 0);
    CFtpSocket& s = *server.PrimarySocket();
    ASSERT_TRUE(AcceptInto(s));
    ASSERT_TRUE(PumpUntil([&] { return server.Count(EV_TLS_START, &s) == 1; }));
    Clock::Advance(89);
    PumpFor(300);
    EXPECT_EQ(server.Count(EV_TLS_FAILED, &s), 0) << "89 seconds are still allowed";
    Clock::Advance(1);
    ASSERT_TRUE(PumpUntil([&] { return server.Count(EV_TLS_FAILED, &s) == 1; }));
    EXPECT_EQ(s.HandshakeState(), 2);
    EXPECT_FALSE(s.IsSecure());
    EXPECT_TRUE(s.IsOpen()) << "the owner decides what happens to the connection";
    ::close(raw);
}

TEST_F(TlsSocketTest, UnansweredCloseNotificationFailsAfter60Seconds) {
    Clock::Freeze(1800000000);
    int port = ListenTls();
    CFtpSocket& c = *client.PrimarySocket();
    CFtpSocket& s = *server.PrimarySocket();
    EstablishPair(c, s, port);
    // The client never reads, so it never answers the close notification.
    ASSERT_TRUE(s.SetTlsRole(TLS_NONE));
    Clock::Advance(60);
    PumpFor(300);
    EXPECT_EQ(server.Count(EV_TLS_FAILED, &s) + server.Count(EV_TLS_END, &s), 0);
    Clock::Advance(1);
    ASSERT_TRUE(PumpUntil([&] { return server.Count(EV_TLS_FAILED, &s) == 1; }));
}

TEST_F(TlsSocketTest, PeerClosingWithoutCloseNotificationIsAFailure) {
    int port = ListenTls();
    CFtpSocket& c = *client.PrimarySocket();
    CFtpSocket& s = *server.PrimarySocket();
    EstablishPair(c, s, port);
    server.react = [&](uint32_t code, CFtpSocket* socket) {
        char buffer[64];
        if (code == EV_RECEIVE && socket == &s) s.Receive(buffer, sizeof buffer);
    };
    ::shutdown(c.Handle(), SHUT_RDWR);  // TCP goes, TLS never said goodbye
    ASSERT_TRUE(PumpUntil([&] { return server.Count(EV_CLOSE, &s) == 1; }));
    EXPECT_EQ(server.Count(EV_TLS_FAILED, &s), 1);
}

TEST_F(TlsSocketTest, SamePeerCertificateComparesClientCertificates) {
    int port = ListenTls();
    CFtpSocket c1(&client), c2(&client), c3(&client), s1(&server), s2(&server), s3(&server);
    EstablishPair(c1, s1, port);
    EstablishPair(c2, s2, port);
    EXPECT_EQ(s1.SamePeerCertificate(s2), 1) << "both alice";
    UseClientCertificate(bob);
    EstablishPair(c3, s3, port);
    EXPECT_EQ(s1.SamePeerCertificate(s3), 0) << "alice against bob";

    // Plain against secure, and plain against plain.
    CFtpSocket plainA(&server), plainB(&server), notCreated(&server);
    ASSERT_TRUE(plainA.Create(0));
    ASSERT_TRUE(plainB.Create(0));
    EXPECT_EQ(s1.SamePeerCertificate(plainA), 0);
    EXPECT_EQ(plainA.SamePeerCertificate(plainB), 1);
    EXPECT_EQ(notCreated.SamePeerCertificate(plainA), -1);
}

TEST_F(TlsSocketTest, MissingClientCertificateMattersOnlyWhenRequired) {
    int port = ListenTls(VERIFY_REQUIRED);
    ASSERT_TRUE(CTlsRuntime::Instance().InitClientContext(serverCert.certFile, "", "", ""));
    CFtpSocket c(&client), s(&server);
    ASSERT_TRUE(c.CreateWithMode(0, SOCK_STREAM, nullptr, VERIFY_FROM_CONTEXT));
    ASSERT_TRUE(c.Connect("127.0.0.1", port));
    c.SetTlsRole(TLS_CLIENT);
    ASSERT_TRUE(AcceptInto(s));
    c.Send("x", 1);
    ASSERT_TRUE(PumpUntil([&] { return server.Count(EV_TLS_FAILED, &s) == 1; }));
}

TEST_F(TlsSocketTest, ProtocolsBelowTls12AreRefused) {
    int port = ListenTls(VERIFY_NONE);
    RawTlsClient old(TLS1_1_VERSION, "DEFAULT:@SECLEVEL=0");
    ASSERT_TRUE(old.Connect(port));
    CFtpSocket& s = *server.PrimarySocket();
    ASSERT_TRUE(AcceptInto(s));
    bool ok = true;
    std::thread handshake([&] { ok = old.Handshake(); });
    ASSERT_TRUE(PumpUntil([&] { return server.Count(EV_TLS_FAILED, &s) == 1; }));
    handshake.join();
    EXPECT_FALSE(ok);
}

TEST_F(TlsSocketTest, Tls12WithoutForwardSecrecyIsRefused) {
    int port = ListenTls(VERIFY_NONE);
    RawTlsClient weak(TLS1_2_VERSION, "AES128-GCM-SHA256");
    ASSERT_TRUE(weak.Connect(port));
    CFtpSocket& s = *server.PrimarySocket();
    ASSERT_TRUE(AcceptInto(s));
    bool ok = true;
    std::thread handshake([&] { ok = weak.Handshake(); });
    ASSERT_TRUE(PumpUntil([&] { return server.Count(EV_TLS_FAILED, &s) == 1; }));
    handshake.join();
    EXPECT_FALSE(ok);
}

TEST_F(TlsSocketTest, ServerContextSetUp) {
    CTlsRuntime& tls = CTlsRuntime::Instance();
    // The key may come from the certificate file itself.
    EXPECT_TRUE(tls.InitServerContext(serverCert.combinedFile, "", "", 0)) << tls.LastError();
    EXPECT_TRUE(tls.HasServerContext());
    // Any failure leaves no server context at all.
    EXPECT_FALSE(tls.InitServerContext(serverCert.certFile, alice.keyFile, "", 0));
    EXPECT_FALSE(tls.HasServerContext());
    EXPECT_FALSE(tls.InitServerContext(dir + "/missing.crt", "", "", 0));
    EXPECT_FALSE(tls.HasServerContext());
    EXPECT_FALSE(tls.InitServerContext(serverCert.certFile, "", "", 0)) << "no key in the file";
    EXPECT_FALSE(tls.HasServerContext());

    TestCertificate locked = MakeCertificate(dir, "locked", "localhost", "s3cret");
    EXPECT_FALSE(tls.InitServerContext(locked.certFile, locked.keyFile, "wrong", 0));
    EXPECT_TRUE(tls.InitServerContext(locked.certFile, locked.keyFile, "s3cret", 0))
        << tls.LastError();
}

TEST_F(TlsSocketTest, WithoutServerContextNoHandshakeStarts) {
    CTlsRuntime::Instance().FreeServerContext();
    int port = ListenTls();
    int raw = ConnectBlocking(port);
    CFtpSocket& s = *server.PrimarySocket();
    int before = server.Count(EV_ACCEPT);
    ASSERT_TRUE(PumpUntil([&] { return server.Count(EV_ACCEPT) > before; }));
    EXPECT_EQ(server.TertiarySocket()->Accept(s), 0);
    EXPECT_TRUE(s.IsOpen());
    EXPECT_FALSE(s.IsSecure());
    EXPECT_FALSE(s.SetTlsRole(TLS_SERVER));
    ::close(raw);
}
