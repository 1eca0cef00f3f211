// Modbus TCP link over mutual TLS, against a TLS server of the test with
// certificates made by the openssl command: handshakes under TLS 1.2 and 1.3, every
// refused credential, session tickets that must not hold up reports, a record that
// arrives in pieces, reconnects.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <csignal>
#include <memory>
#include <thread>

#include "modbus_TCP_HW.h"
#include "support/log_tap.h"
#include "support/modbus_peer.h"
#include "support/tls_peer.h"
#include "tc_system.h"
#include "tc_tcu.h"

namespace {

// Bound on waits for something that must come; never a timing requirement.
constexpr int kWaitMs = 10000;

bool link_connected(modbus_TCP_t *dev) {
    pthread_mutex_lock(&dev->mutex);
    bool c = dev->fd > 0;
    pthread_mutex_unlock(&dev->mutex);
    return c;
}

bool wait_disconnected(modbus_TCP_t *dev, int ms) {
    int64_t deadline = monotime_ms() + ms;
    while (monotime_ms() < deadline) {
        if (!link_connected(dev)) return true;
        msleep(20);
    }
    return !link_connected(dev);
}

class ModbusTls : public ::testing::Test {
  protected:
    static std::unique_ptr<TlsCerts> certs;
    static std::string root;

    static void SetUpTestSuite() {
        signal(SIGPIPE, SIG_IGN);
        certs = std::make_unique<TlsCerts>(std::string(TCU_BINARY_DIR) + "/tests/tls_certs");
        root = certs->dir + "/root";
        setenv("TCU_ROOT", root.c_str(), 1);
    }
    static void TearDownTestSuite() {
        unsetenv("TCU_ROOT");
        certs.reset();
    }

    modbus_TCP_t *dev = &modbusHW;
    std::thread worker;
    bool initialised = false;

    void SetUp() override {
        ASSERT_TRUE(certs->ok) << "openssl could not make the test certificates";
        ASSERT_TRUE(certs->install(root, certs->ca1, certs->client1_crt, certs->client1_key));
    }
    int init_link(const char *port, const char *server_name = nullptr,
                  const char *tls_ciphers = nullptr) {
        if (initialised) modbus_TCP_exit(dev);
        initialised = true;
        return modbus_TCP_init(dev, "localhost", port, 1, 3, server_name, tls_ciphers);
    }
    void run_loop() {
        worker = std::thread([this] { modbus_TCP_loop(dev); });
    }
    void TearDown() override {
        if (worker.joinable()) {
            dev->quit = 1;
            worker.join();
        }
        if (initialised) modbus_TCP_exit(dev);
    }

    TlsServerOptions good_server(int version) {
        return {certs->server1_crt, certs->server1_key, certs->ca1, version};
    }

    // Handshake, the three reports at thread start, one read and one write.
    void round_trip(int version) {
        LogTap tap;
        TlsServer srv(good_server(version));
        ASSERT_EQ(srv.last_error, "");
        srv.start_accept();
        ASSERT_GT(init_link(srv.port_text()), 0);
        ASSERT_EQ(srv.wait_handshake(), 1) << srv.last_error;
        EXPECT_TRUE(tap.wait_for("证书验证通过", kWaitMs));
        EXPECT_TRUE(tap.wait_for("证书: /CN=power-unit", kWaitMs));
        EXPECT_TRUE(tap.wait_for("颁发者: /CN=Test ca1", kWaitMs));
        run_loop();
        EXPECT_EQ(mb_hex(srv.read_frame(kWaitMs)),
                  "00 01 00 00 00 16 01 41 91 00 11 00 00 01 00 01 00 01 00 00 00 03 00 02 00 80 "
                  "01 00");
        EXPECT_EQ(srv.read_frame(kWaitMs).size(), 28u);
        EXPECT_EQ(srv.read_frame(kWaitMs).size(), 28u);
        ASSERT_TRUE(srv.send_bytes(mb_read_req(0x0A0B, 0x110E, 1)));
        EXPECT_EQ(mb_hex(srv.read_frame(kWaitMs)), "0A 0B 00 00 00 05 01 03 02 00 07");
        ASSERT_TRUE(srv.send_bytes(mb_write1_req(0x0A0C, 0x4001, 0xCAFE)));
        EXPECT_EQ(mb_hex(srv.read_frame(kWaitMs)), "0A 0C 00 00 00 06 01 06 40 01 CA FE");
        // A request split across two records.
        mb_bytes rq = mb_read_req(0x0A0D, 0x4001, 1);
        ASSERT_TRUE(srv.send_bytes(mb_bytes(rq.begin(), rq.begin() + 7)));
        msleep(100);
        ASSERT_TRUE(srv.send_bytes(mb_bytes(rq.begin() + 7, rq.end())));
        EXPECT_EQ(mb_hex(srv.read_frame(kWaitMs)), "0A 0D 00 00 00 05 01 03 02 CA FE");
    }
};

std::unique_ptr<TlsCerts> ModbusTls::certs;
std::string ModbusTls::root;

TEST_F(ModbusTls, RoundTripTls12) {
    round_trip(TLS1_2_VERSION);
}
TEST_F(ModbusTls, RoundTripTls13) {
    round_trip(TLS1_3_VERSION);
}

// TLS 1.3 servers send session tickets right after the handshake: the link's
// reads must take them as "nothing yet" and never block reports of other threads.
TEST_F(ModbusTls, SessionTicketsNeverHoldUpReports) {
    TlsServer srv(good_server(TLS1_3_VERSION));
    srv.start_accept();
    ASSERT_GT(init_link(srv.port_text()), 0);
    ASSERT_EQ(srv.wait_handshake(), 1) << srv.last_error;
    run_loop();
    for (int i = 0; i < 3; i++) ASSERT_EQ(srv.read_frame(kWaitMs).size(), 28u);
    msleep(1500);  // the loop has met the tickets and waits again
    std::atomic<int> done{0};
    std::thread other([&] {
        pthread_mutex_lock(&dev->mutex);
        dev->regs_0x1100[0x56] = 0x0001;
        pthread_mutex_unlock(&dev->mutex);
        modbus_TCP_report_registers(dev, 0x1156, &dev->regs_0x1100[0x56], 1);
        done = 1;
    });
    EXPECT_EQ(mb_hex(srv.read_frame(kWaitMs)), mb_hex(mb_report_frame(4, 0x1156, {1})));
    other.join();
    EXPECT_EQ(done.load(), 1);
    EXPECT_TRUE(link_connected(dev));
}

// 100 requests in one TLS record: the link reads at most its free buffer space, and
// the decrypted rest waits inside OpenSSL, where poll cannot see it.
TEST_F(ModbusTls, DecryptedBytesLeftInsideOpenSslAreServed) {
    TlsServer srv(good_server(TLS1_3_VERSION));
    srv.start_accept();
    ASSERT_GT(init_link(srv.port_text()), 0);
    ASSERT_EQ(srv.wait_handshake(), 1);
    run_loop();
    for (int i = 0; i < 3; i++) ASSERT_EQ(srv.read_frame(kWaitMs).size(), 28u);
    mb_bytes burst;
    for (int i = 0; i < 100; i++) {
        mb_bytes rq = mb_read_req((uint16_t)(0x0D00 + i), 0x0000, 1);
        burst.insert(burst.end(), rq.begin(), rq.end());
    }
    ASSERT_EQ(burst.size(), 1200u);
    ASSERT_TRUE(srv.send_bytes(burst));
    for (int i = 0; i < 100; i++) {
        mb_bytes f = srv.read_frame(kWaitMs);
        ASSERT_EQ(f.size(), 11u) << i;
        EXPECT_EQ(f[1], (uint8_t)i);
    }
}

TEST_F(ModbusTls, ServerFromAnotherCaIsRefused) {
    LogTap tap;
    TlsServer srv({certs->server2_crt, certs->server2_key, certs->ca1, TLS1_3_VERSION});
    srv.start_accept();
    EXPECT_EQ(init_link(srv.port_text()), -2);
    EXPECT_EQ(srv.wait_handshake(), 0);
    EXPECT_TRUE(tap.wait_for("certificate verify failed", kWaitMs)) << tap.all();
    EXPECT_FALSE(link_connected(dev));
}

// Under TLS 1.2 the server's refusal of the client certificate ends SSL_connect;
// under TLS 1.3 the client has finished first and learns it at its first read.
TEST_F(ModbusTls, RejectedClientCertificateTls12FailsTheHandshake) {
    TlsServer srv({certs->server1_crt, certs->server1_key, certs->ca2, TLS1_2_VERSION});
    srv.start_accept();
    EXPECT_EQ(init_link(srv.port_text()), -2);
    EXPECT_EQ(srv.wait_handshake(), 0);
}

TEST_F(ModbusTls, RejectedClientCertificateTls13ShowsAtTheFirstRead) {
    LogTap tap;
    TlsServer srv({certs->server1_crt, certs->server1_key, certs->ca2, TLS1_3_VERSION});
    srv.start_accept();
    EXPECT_GT(init_link(srv.port_text()), 0);
    EXPECT_EQ(srv.wait_handshake(), 0);
    run_loop();
    EXPECT_TRUE(wait_disconnected(dev, kWaitMs));
    EXPECT_TRUE(tap.wait_for("ssl_errno:1, ssl_errstr:", kWaitMs)) << tap.all();
    // ret is what SSL_read returned (at most 0), not the link's own code for a failure.
    EXPECT_EQ(tap.count(", ret:-2, "), 0) << tap.all();
    EXPECT_EQ(tap.count(", ret:"), tap.count(", ret:-1, ") + tap.count(", ret:0, ")) << tap.all();
}

TEST_F(ModbusTls, MissingClientCertificateFailsEveryAttemptPaced) {
    LogTap tap;
    ASSERT_TRUE(certs->install(root, certs->ca1, "", certs->client1_key));
    TlsServer srv(good_server(TLS1_3_VERSION));
    EXPECT_EQ(init_link(srv.port_text()), -6);
    run_loop();
    // The first attempt may come late on a loaded machine; from then on about one
    // attempt per second, where a tight loop would make thousands.
    int first = 0;
    for (int64_t end = monotime_ms() + kWaitMs; first == 0 && monotime_ms() < end;)
        first = srv.count_plain_accepts(100);
    EXPECT_GE(first, 1);
    int n = srv.count_plain_accepts(3000);
    EXPECT_LE(n, 5);
    dev->quit = 1;
    worker.join();
    EXPECT_EQ(dev->last_connect_ret, -6);
    EXPECT_EQ(tap.count("ctx("), 1) << tap.all();  // logged once per minute
}

TEST_F(ModbusTls, CredentialFailuresGiveTheirCodes) {
    TlsServer srv(good_server(TLS1_3_VERSION));
    // No CA file.
    ASSERT_TRUE(certs->install(root, "", certs->client1_crt, certs->client1_key));
    EXPECT_EQ(init_link(srv.port_text()), -7);
    modbus_TCP_exit(dev);
    // An encrypted key: no password is supplied, nothing prompts on the terminal.
    ASSERT_TRUE(certs->install(root, certs->ca1, certs->client1_crt, certs->client1_key_enc));
    EXPECT_EQ(init_link(srv.port_text()), -5);
    modbus_TCP_exit(dev);
    // The key of another certificate of the same type is refused as it loads.
    ASSERT_TRUE(certs->install(root, certs->ca1, certs->client1_crt, certs->client2_key));
    EXPECT_EQ(init_link(srv.port_text()), -5);
    modbus_TCP_exit(dev);
    // A key of another type loads, and the pair check refuses it.
    ASSERT_TRUE(certs->install(root, certs->ca1, certs->client1_crt, certs->rsa_key));
    EXPECT_EQ(init_link(srv.port_text()), -4);
    EXPECT_FALSE(link_connected(dev));
    // Each attempt connected, then let go: four connections wait in the backlog. Take
    // them however slowly the machine runs, then make sure no fifth follows.
    int n = 0;
    for (int64_t end = monotime_ms() + kWaitMs; n < 4 && monotime_ms() < end;)
        n += srv.count_plain_accepts(100);
    n += srv.count_plain_accepts(200);
    EXPECT_EQ(n, 4);
}

TEST_F(ModbusTls, PeerCloseLeadsToAFreshHandshake) {
    TlsServer srv(good_server(TLS1_3_VERSION));
    srv.start_accept();
    ASSERT_GT(init_link(srv.port_text()), 0);
    ASSERT_EQ(srv.wait_handshake(), 1);
    run_loop();
    for (int i = 0; i < 3; i++) ASSERT_EQ(srv.read_frame(kWaitMs).size(), 28u);
    srv.cut();
    srv.start_accept();
    ASSERT_EQ(srv.wait_handshake(), 1) << srv.last_error;
    ASSERT_TRUE(srv.send_bytes(mb_read_req(0x0C01, 0x0000, 1)));
    EXPECT_EQ(mb_hex(srv.read_frame(kWaitMs)), "0C 01 00 00 00 05 01 03 02 00 02");
}

// The server's certificate chains to the CA and names "power-unit" (subject only):
// accepted without a server name, refused for another name, accepted for its own.
TEST_F(ModbusTls, ServerNameRefusesACertificateForAnotherHost) {
    LogTap tap;
    {
        TlsServer srv(good_server(TLS1_3_VERSION));
        srv.start_accept();
        EXPECT_EQ(init_link(srv.port_text(), "other-unit"), -2);
        EXPECT_EQ(srv.wait_handshake(), 0);
        EXPECT_TRUE(tap.wait_for("certificate verify failed", kWaitMs)) << tap.all();
        EXPECT_FALSE(link_connected(dev));
    }
    {
        TlsServer srv(good_server(TLS1_2_VERSION));
        srv.start_accept();
        EXPECT_GT(init_link(srv.port_text(), "power-unit"), 0);
        EXPECT_EQ(srv.wait_handshake(), 1) << srv.last_error;
    }
}

TEST_F(ModbusTls, Tls11ServerIsRefused) {
    TlsServer srv(good_server(TLS1_1_VERSION));
    ASSERT_EQ(srv.last_error, "");
    srv.start_accept();
    EXPECT_EQ(init_link(srv.port_text()), -2);
    EXPECT_EQ(srv.wait_handshake(), 0);
    EXPECT_FALSE(link_connected(dev));
}

// Power units in the field speak TLS 1.2 with CBC suites only: the library's default
// list offers them, and a site's own cipher string is what is offered instead.
TEST_F(ModbusTls, Tls12ServerWithOnlyACbcSuiteConnects) {
    TlsServerOptions cbc_only = good_server(TLS1_2_VERSION);
    cbc_only.tls12_ciphers = "ECDHE-ECDSA-AES128-SHA256";
    {
        TlsServer srv(cbc_only);
        ASSERT_EQ(srv.last_error, "");
        srv.start_accept();
        ASSERT_GT(init_link(srv.port_text()), 0);
        ASSERT_EQ(srv.wait_handshake(), 1) << srv.last_error;
        run_loop();
        for (int i = 0; i < 3; i++) ASSERT_EQ(srv.read_frame(kWaitMs).size(), 28u);
        ASSERT_TRUE(srv.send_bytes(mb_read_req(0x0B01, 0x0000, 1)));
        EXPECT_EQ(mb_hex(srv.read_frame(kWaitMs)), "0B 01 00 00 00 05 01 03 02 00 02");
        dev->quit = 1;
        worker.join();
    }
    {
        TlsServer srv(cbc_only);
        srv.start_accept();
        EXPECT_EQ(init_link(srv.port_text(), nullptr, "ECDHE+AESGCM"), -2);
        EXPECT_EQ(srv.wait_handshake(), 0);
    }
}

// A cipher string the library refuses is named once and no connection is made:
// the site asked for a restriction, the default list is no substitute.
TEST_F(ModbusTls, RefusedCipherStringNeverFallsBackToTheDefault) {
    LogTap tap;
    TlsServer srv(good_server(TLS1_2_VERSION));
    EXPECT_EQ(init_link(srv.port_text(), nullptr, "NO-SUCH-SUITE"), -8);
    run_loop();
    EXPECT_EQ(srv.count_plain_accepts(1500), 0);
    dev->quit = 1;
    worker.join();
    EXPECT_EQ(dev->last_connect_ret, -8);
    EXPECT_EQ(tap.count("modbus_hw.tls_ciphers \"NO-SUCH-SUITE\" is refused"), 1) << tap.all();
    EXPECT_FALSE(link_connected(dev));
}

// A power unit that takes the connection and never answers the handshake: the
// attempt gives up at its bound (the wait below only guards against a hang).
TEST_F(ModbusTls, MuteServerEndsTheHandshakeAtItsBound) {
    ModbusPeer mute;
    std::atomic<int> ret{1};
    std::thread attempt([&] { ret = init_link(mute.port_text()); });
    EXPECT_TRUE(mute.accept_within(kWaitMs));
    for (int i = 0; i < kWaitMs / 10 && ret.load() == 1; i++) msleep(10);
    EXPECT_EQ(ret.load(), -2) << "the handshake was still waiting";
    dev->quit = 1;  // ends a hung attempt, so that the test can end
    modbus_TCP_wake(dev);
    attempt.join();
    EXPECT_FALSE(link_connected(dev));
}

// ---------------------------------------------------------------- a record in pieces

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

class ModbusTlsRecord : public ModbusTls {};

// A request record whose first bytes arrive and whose rest is late: the link has
// nothing to read until the rest comes, so it waits (and logs its idle second)
// instead of asking OpenSSL again and again.
TEST_F(ModbusTlsRecord, TlsRecordArrivingInPiecesIsWaitedFor) {
    TlsServer srv(good_server(TLS1_3_VERSION));
    ASSERT_EQ(srv.last_error, "");
    srv.start_accept();
    ASSERT_GT(init_link(srv.port_text()), 0);
    ASSERT_EQ(srv.wait_handshake(), 1) << srv.last_error;
    run_loop();
    for (int i = 0; i < 3; i++) ASSERT_EQ(srv.read_frame(kWaitMs).size(), 28u);

    mb_bytes raw = srv.seal(mb_read_req(0x0E01, 0x0000, 1));
    ASSERT_GT(raw.size(), 8u);
    for (size_t cut : {3, 8}) {  // inside the record header, then inside the body
        LogTap tap;
        msleep(1200);  // the loop is in its idle wait
        tap.clear();
        ASSERT_TRUE(srv.send_raw(mb_bytes(raw.begin(), raw.begin() + (long)cut)));
        double cpu0 = cpu_seconds();
        EXPECT_TRUE(tap.wait_for("timeout rx_bytes:0", kWaitMs))
            << "cut " << cut << ": no idle wait while the record is incomplete, cpu "
            << cpu_seconds() - cpu0 << " s";
        ASSERT_TRUE(srv.send_raw(mb_bytes(raw.begin() + (long)cut, raw.end())));
        EXPECT_EQ(mb_hex(srv.read_frame(kWaitMs)), "0E 01 00 00 00 05 01 03 02 00 02");
        raw = srv.seal(mb_read_req(0x0E01, 0x0000, 1));
    }
    pthread_mutex_lock(&dev->mutex);
    EXPECT_GT(dev->fd, 0);
    pthread_mutex_unlock(&dev->mutex);
}

}  // namespace
