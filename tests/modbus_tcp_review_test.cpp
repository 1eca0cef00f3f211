// Modbus TCP link: cases found in review. A TLS record that arrives in pieces must
// be waited for, not spun on; the limit log lines name the handler that wrote them.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <csignal>
#include <memory>
#include <sstream>
#include <thread>

#include "modbus_TCP_HW.h"
#include "support/modbus_peer.h"
#include "support/tls_peer.h"
#include "tc_system.h"
#include "tc_tcu.h"

namespace {

// Bound on waits for something that must come; never a timing requirement.
constexpr int kWaitMs = 10000;

// The first log line holding both texts, or empty.
std::string line_with(const std::string &all, const std::string &a, const std::string &b) {
    std::istringstream in(all);
    std::string line;
    while (std::getline(in, line))
        if (line.find(a) != std::string::npos && line.find(b) != std::string::npos) return line;
    return "";
}

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

class ModbusReview : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }

    modbus_TCP_t *dev = &modbusHW;
    std::thread worker;
    bool initialised = false;

    int init_link(const char *host, const char *port, int ssl) {
        initialised = true;
        return modbus_TCP_init(dev, host, port, ssl, 3);
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
        unsetenv("TCU_ROOT");
    }
};

// A request record whose first bytes arrive and whose rest is late: the link has
// nothing to read until the rest comes, so it waits (and logs its idle second)
// instead of asking OpenSSL again and again.
TEST_F(ModbusReview, TlsRecordArrivingInPiecesIsWaitedFor) {
    TlsCerts certs(std::string(TCU_BINARY_DIR) + "/tests/tls_certs");
    ASSERT_TRUE(certs.ok);
    std::string root = certs.dir + "/root";
    setenv("TCU_ROOT", root.c_str(), 1);
    ASSERT_TRUE(certs.install(root, certs.ca1, certs.client1_crt, certs.client1_key));
    TlsServer srv({certs.server1_crt, certs.server1_key, certs.ca1, TLS1_3_VERSION});
    ASSERT_EQ(srv.last_error, "");
    srv.start_accept();
    ASSERT_GT(init_link("127.0.0.1", srv.port_text(), 1), 0);
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

// The limit lines come from the handler that stored the second register, under its
// own name like every other line of the handler.
TEST_F(ModbusReview, LimitLinesNameTheHandler) {
    LogTap tap;
    ModbusPeer peer;
    ASSERT_GT(init_link("127.0.0.1", peer.port_text(), 0), 0);
    run_loop();
    ASSERT_TRUE(peer.accept_within(kWaitMs));
    for (int i = 0; i < 3; i++) ASSERT_EQ(peer.read_frame(kWaitMs).size(), 28u);
    ASSERT_TRUE(peer.send_bytes(mb_write1_req(1, 0x2100, 0x447A)));
    ASSERT_EQ(peer.read_frame(kWaitMs).size(), 12u);
    ASSERT_TRUE(peer.send_bytes(mb_write1_req(2, 0x2101, 0x0000)));
    ASSERT_EQ(peer.read_frame(kWaitMs).size(), 12u);
    ASSERT_TRUE(tap.wait_for("--GUNA.maxV:1000.000000", kWaitMs));
    ASSERT_TRUE(peer.send_bytes(mb_writeN_req(3, 0x2D02, {0x42C8, 0x0000})));
    ASSERT_EQ(peer.read_frame(kWaitMs).size(), 12u);
    ASSERT_TRUE(tap.wait_for("--GUNB.maxI:100.000000", kWaitMs));
    EXPECT_NE(line_with(tap.all(), " modbus_TCP_write_single_register ", "--GUNA.maxV:1000.000000"),
              "")
        << tap.all();
    EXPECT_NE(
        line_with(tap.all(), " modbus_TCP_write_multiple_registers ", "--GUNB.maxI:100.000000"), "")
        << tap.all();
}

// Every limit pair logs on its second register only, for both guns; the MAC and key
// triggers fire on their own registers and functions only, gun B's included.
TEST_F(ModbusReview, EveryLimitAndTriggerRegisterOfBothGuns) {
    LogTap tap;
    ModbusPeer peer;
    ASSERT_GT(init_link("127.0.0.1", peer.port_text(), 0), 0);
    run_loop();
    ASSERT_TRUE(peer.accept_within(kWaitMs));
    for (int i = 0; i < 3; i++) ASSERT_EQ(peer.read_frame(kWaitMs).size(), 28u);
    uint16_t tid = 0x0F00;
    auto ask = [&](const mb_bytes &rq) {
        EXPECT_TRUE(peer.send_bytes(rq));
        mb_bytes r = peer.read_frame(kWaitMs);
        EXPECT_EQ(r.size(), 12u) << mb_hex(r);
    };
    struct {
        uint16_t first;
        const char *name;
    } limits[] = {
        {0x00, "maxV"}, {0x02, "maxI"}, {0x05, "minV"}, {0x07, "minI"}, {0x09, "fixedP.KW"}};
    float value = 1.5f;
    for (uint16_t base : {0x2100, 0x2D00}) {
        const char *gun = base == 0x2100 ? "GUNA" : "GUNB";
        for (auto &l : limits) {
            uint32_t bits;
            memcpy(&bits, &value, 4);
            // The first register alone logs nothing.
            ask(mb_write1_req(++tid, (uint16_t)(base + l.first), (uint16_t)(bits >> 16)));
            ask(mb_write1_req(++tid, (uint16_t)(base + l.first + 1), (uint16_t)bits));
            char want[64];
            snprintf(want, sizeof want, "--%s.%s:%f\n", gun, l.name, (double)value);
            EXPECT_TRUE(tap.wait_for(want, kWaitMs)) << want;
            value += 1.0f;
        }
    }
    // 0x2104 and 0x2D04 lie between the pairs: nothing to log.
    ask(mb_write1_req(++tid, 0x2104, 0x4000));
    ask(mb_write1_req(++tid, 0x2D04, 0x4000));
    msleep(200);
    std::string all = tap.all();
    size_t n = 0;
    for (size_t at = all.find("--GUN"); at != std::string::npos; at = all.find("--GUN", at + 1))
        n++;
    EXPECT_EQ(n, 10u) << all;

    // Gun B's MAC by single writes: copied when 0x2D13 is written, into both streams.
    ask(mb_write1_req(++tid, 0x2D11, 0x0A1B));
    ask(mb_write1_req(++tid, 0x2D12, 0x2C3D));
    ask(mb_write1_req(++tid, 0x2D13, 0x4E5F));
    const uint8_t mac[6] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
    EXPECT_EQ(memcmp(gooseGUNA.dst_mac, mac, 6), 0);
    EXPECT_EQ(memcmp(gooseGUNB.dst_mac, mac, 6), 0);

    // Gun B's key: 0x2D2E by function 16 and 0x2D2C by function 6 install nothing;
    // 0x2D2C by function 16 and 0x2D2E by function 6 do; gun A's key stays.
    uint8_t keyA[48];
    memcpy(keyA, gooseGUNA.HMAC, 48);
    std::vector<uint16_t> key(24);
    for (int i = 0; i < 24; i++) key[i] = (uint16_t)(0xB000 + i);
    uint8_t want[48];
    dumpReg2String(want, key.data(), 24);
    uint8_t before[48];
    memcpy(before, gooseGUNB.HMAC, 48);
    ASSERT_NE(memcmp(before, want, 48), 0);
    ask(mb_writeN_req(++tid, 0x2D15, std::vector<uint16_t>(key.begin(), key.begin() + 23)));
    ask(mb_writeN_req(++tid, 0x2D2E, {0}));
    ask(mb_write1_req(++tid, 0x2D2C, key[23]));
    EXPECT_EQ(memcmp(gooseGUNB.HMAC, before, 48), 0);
    ask(mb_write1_req(++tid, 0x2D2E, 0));
    EXPECT_EQ(memcmp(gooseGUNB.HMAC, want, 48), 0);
    for (int i = 0; i < 24; i++) key[i] = (uint16_t)(0xC000 + i);
    dumpReg2String(want, key.data(), 24);
    ask(mb_writeN_req(++tid, 0x2D15, key));
    EXPECT_EQ(memcmp(gooseGUNB.HMAC, want, 48), 0);
    EXPECT_EQ(memcmp(gooseGUNA.HMAC, keyA, 48), 0);
}

// Start-up prints the register dump on standard output, then logs the five start-up
// registers in order; the dump shows gun A's block, then gun B's.
TEST_F(ModbusReview, StartupDumpAndLogLines) {
    LogTap tap;
    testing::internal::CaptureStdout();
    EXPECT_EQ(init_link(nullptr, nullptr, 0), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\n.............\nGUN:2006, 0000\nGUN:212F, 0001\nGUN:1105, 0000\n"
                       "GUN:1106, 0000\nGUN:110B, 0000\nGUN:110D, 0000\n"
                       "GUN:2115 :0000 0000 0000 0000\nGUN:2006, 0000\nGUN:2D2F, 0001\n"
                       "GUN:1D05, 0000\nGUN:1D06, 0000\nGUN:1D0B, 0000\nGUN:1D0D, 0000\n"
                       "GUN:2D15 :0000 0000 0000 0000\n\n"),
              std::string::npos)
        << out;
    const char *lines[] = {"ADDR:0x1015=0002\n", "ADDR:0x1104=0004, CCS1\n", "ADDR:0x110E=0007\n",
                           "ADDR:0x1D04=0004, GBDC\n", "ADDR:0x1D0E=0008\n"};
    ASSERT_TRUE(tap.wait_for(lines[4], kWaitMs)) << tap.all();
    std::string all = tap.all();
    size_t at = 0;
    for (const char *l : lines) {
        size_t f = all.find(l, at);
        EXPECT_NE(f, std::string::npos) << l << " in order, in\n" << all;
        if (f != std::string::npos) at = f;
    }

    dev->regs_0x2000[0x06] = 0x2006;
    for (int g = 0; g < 2; g++) {
        uint16_t *st = g == 0 ? dev->regs_0x1100 : dev->regs_0x1D00;
        uint16_t *se = g == 0 ? dev->regs_0x2100 : dev->regs_0x2D00;
        uint16_t k = (uint16_t)(g << 12);
        se[0x2F] = k | 0x2F;
        st[0x05] = k | 0x05;
        st[0x06] = k | 0x06;
        st[0x0B] = k | 0x0B;
        st[0x0D] = k | 0x0D;
        for (int i = 0; i < 4; i++) se[0x15 + i] = (uint16_t)(k | (0x15 + i));
    }
    testing::internal::CaptureStdout();
    showRegs(dev);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n.............\nGUN:2006, 2006\nGUN:212F, 002f\nGUN:1105, 0005\n"
              "GUN:1106, 0006\nGUN:110B, 000b\nGUN:110D, 000d\n"
              "GUN:2115 :0015 0016 0017 0018\nGUN:2006, 2006\nGUN:2D2F, 102f\n"
              "GUN:1D05, 1005\nGUN:1D06, 1006\nGUN:1D0B, 100b\nGUN:1D0D, 100d\n"
              "GUN:2D15 :1015 1016 1017 1018\n\n");
}

}  // namespace
