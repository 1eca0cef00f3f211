// The gun state hub seen by its peers: the power unit's TCP end receiving the
// register reports, the GOOSE frames leaving on the loopback interface, and the
// board lines on a fake sysfs tree; its state lines as the log server gets them.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <sys/ioctl.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "support/ctrl_peer.h"
#include "support/fake_sysfs.h"
#include "support/hub_peers.h"
#include "support/log_fixture.h"
#include "support/pty_pair.h"
#include "adcgpio.h"
#include "ast_ZQ.h"
#include "logger.h"
#include "tc_system.h"
#include "tc_tcu.h"

namespace {

constexpr uint16_t TCU_ID = 5;  // connector ids 11 and 12

uint16_t reg(const uint16_t *r) {
    pthread_mutex_lock(&modbusHW.mutex);
    uint16_t v = *r;
    pthread_mutex_unlock(&modbusHW.mutex);
    return v;
}

// Locally administered; bytes 2-3 from the process id.
const uint8_t test_dst[6] = {0x02, 0x48, (uint8_t)(getpid() >> 8), (uint8_t)getpid(), 0x00, 0x01};

class Hub : public testing::Test {
  protected:
    FakeSysfs fs;  // TCU_ROOT: no board line of the host is ever touched
    PowerUnitPeer peer;
    bool goose_ok = false;

    void SetUp() override {
        fs.add_board_lines(1);
        fs.record_commands(true);
        modbus_TCP_init(&modbusHW, "127.0.0.1", peer.port(), 0, TCU_ID);
        ASSERT_TRUE(peer.accept_link()) << "the link did not connect to the test peer";
        goose_ok = goose_HW_init(&gooseGUNA, "lo", TCU_ID * 2 + 1) == 0;
        goose_ok = goose_HW_init(&gooseGUNB, "lo", TCU_ID * 2 + 2) == 0 && goose_ok;
        ccu_STM32_init(&stm32F103, "can0", 500000, 1);
        // A destination of this process only, so the capture ignores other publishers.
        for (goose_HW_t *g : {&gooseGUNA, &gooseGUNB}) memcpy(g->dst_mac, test_dst, 6);
    }
    void TearDown() override {
        ccu_STM32_exit(&stm32F103);
        goose_HW_exit(&gooseGUNB);
        goose_HW_exit(&gooseGUNA);
        modbus_TCP_exit(&modbusHW);
    }
    void expect_report(uint16_t addr, std::vector<uint16_t> values) {
        HubReport r;
        std::string why;
        ASSERT_TRUE(peer.read_report(&r, 10000, &why)) << why;
        EXPECT_EQ(addr, r.addr) << std::hex << addr;
        EXPECT_EQ(values, r.values) << std::hex << addr;
    }
    void expect_quiet() {
        std::vector<uint8_t> f = peer.read_frame(150);
        EXPECT_TRUE(f.empty()) << "unexpected frame of " << f.size() << " bytes";
    }
};

#define SKIP_WITHOUT_GOOSE()                                                                     \
    do {                                                                                         \
        if (!goose_ok || !GooseCapture().ok())                                                   \
            GTEST_SKIP() << "no raw packet socket on lo (needs CAP_NET_RAW): GOOSE not checked"; \
    } while (0)

}  // namespace

TEST_F(Hub, MeasurementUpdateEncodingsAndSingleReport) {
    uint16_t *a = modbusHW.regs_0x1100;
    ccu_Update_GUNA_IVE(320, 105, 2205, 123456, 0);
    EXPECT_EQ(0x4200, reg(&a[0x05]));  // 32.0 A
    EXPECT_EQ(0x0000, reg(&a[0x06]));
    EXPECT_EQ(0x435C, reg(&a[0x07]));  // 220.5 V
    EXPECT_EQ(0x8000, reg(&a[0x08]));
    EXPECT_EQ(0x4128, reg(&a[0x09]));  // 10.5 A
    EXPECT_EQ(0x0000, reg(&a[0x0A]));
    EXPECT_EQ(0x435C, reg(&a[0x13]));
    EXPECT_EQ(0x8000, reg(&a[0x14]));
    EXPECT_EQ(0x405E, reg(&a[0x00]));  // 123.456 kWh, double, most significant first
    EXPECT_EQ(0xDD2F, reg(&a[0x01]));
    EXPECT_EQ(0x1A9F, reg(&a[0x02]));
    EXPECT_EQ(0xBE77, reg(&a[0x03]));
    expect_report(0x1113, {0x435C, 0x8000});
    expect_quiet();  // the other measurement registers are not reported

    // Gun B's twin writes gun B's block only.
    ccu_Update_GUNB_IVE(1000, 2000, 7505, 1000, 77);
    uint16_t *b = modbusHW.regs_0x1D00;
    EXPECT_EQ(0x42C8, reg(&b[0x05]));  // 100.0
    expect_report(0x1D13, {reg(&b[0x13]), reg(&b[0x14])});
    uint32_t bits = ((uint32_t)reg(&b[0x07]) << 16) | reg(&b[0x08]);
    float v;
    memcpy(&v, &bits, 4);
    EXPECT_FLOAT_EQ(750.5f, v);
    EXPECT_EQ(0x405E, reg(&a[0x00]));  // gun A untouched
}

TEST_F(Hub, StatusTwinsWriteAndReportTheirOwnRegisters) {
    struct row {
        void (*fa)(uint16_t);
        void (*fb)(uint16_t);
        int off;
        uint16_t in, stored;
    };
    // Wrappers give every update one signature.
    const row rows[] = {
        {[](uint16_t v) { ccu_Update_GUNA_Type(v); }, [](uint16_t v) { ccu_Update_GUNB_Type(v); },
         0x04, 1, 1},
        {[](uint16_t v) { ccu_Update_GUNA_WorkState(v); },
         [](uint16_t v) { ccu_Update_GUNB_WorkState(v); }, 0x0B, 8, 8},
        {[](uint16_t v) { ccu_Update_GUNA_LinkState(v); },
         [](uint16_t v) { ccu_Update_GUNB_LinkState(v); }, 0x0D, 1, 1},
        {[](uint16_t v) { ccu_Update_GUNA_ContactorState((uint8_t)v); },
         [](uint16_t v) { ccu_Update_GUNB_ContactorState((uint8_t)v); }, 0x54, 0x1FF, 0xFF},
        {[](uint16_t v) { ccu_Update_GUNA_ElecLockState((uint8_t)v); },
         [](uint16_t v) { ccu_Update_GUNB_ElecLockState((uint8_t)v); }, 0x56, 1, 1},
        {[](uint16_t v) { ccu_Update_GUNA_PowerOn((uint8_t)v); },
         [](uint16_t v) { ccu_Update_GUNB_PowerOn((uint8_t)v); }, 0x7E, 0x101, 0x01},
    };
    for (const row &r : rows) {
        r.fb(r.in);
        EXPECT_EQ(r.stored, reg(&modbusHW.regs_0x1D00[r.off])) << std::hex << r.off;
        expect_report((uint16_t)(0x1D00 + r.off), {r.stored});
        r.fa(r.in);  // gun A at 0x11nn
        EXPECT_EQ(r.stored, reg(&modbusHW.regs_0x1100[r.off]));
        expect_report((uint16_t)(0x1100 + r.off), {r.stored});
    }
    // Contactor voltage: no scaling, float.
    ccu_Update_GUNB_K1K2Voltage(750);
    expect_report(0x1D13, {0x443B, 0x8000});
    ccu_Update_GUNA_K1K2Voltage(0);
    expect_report(0x1113, {0x0000, 0x0000});
    expect_quiet();
}

// Records each contactor command together with what the power unit had already
// received at that moment.
struct ordered_cmd {
    std::string cmd;
    int peer_bytes;
};
std::vector<ordered_cmd> g_ordered;
int g_peer_fd = -1;
// Bytes a report sent before the command amounts to. Loopback delivery can trail the
// sender's send() on a loaded machine, so the command waits (boundedly) for them: the
// thread that would send a late report is the one held here, so waiting never lets
// a report sent after the command count as sent before it.
int g_expect_bytes = 0;
int ordering_shell(const char *command) {
    int n = 0;
    int64_t deadline = monotime_ms() + 5000;
    for (;;) {
        ioctl(g_peer_fd, FIONREAD, &n);
        if (n >= g_expect_bytes || monotime_ms() >= deadline) break;
        msleep(5);
    }
    g_ordered.push_back({command, n});
    // The write itself still happens: the contactor command is read back.
    return system(command);
}

TEST_F(Hub, OpeningK1ReportsWorkStateOneBeforeTheOutputOpens) {
    g_ordered.clear();
    g_peer_fd = peer.fd();
    tcu_hooks.gpio_shell = ordering_shell;
    g_expect_bytes = 24;
    ccu_GUNA_Ctrl_K1(0);
    g_expect_bytes = 0;
    ASSERT_EQ(1u, g_ordered.size());
    EXPECT_EQ("echo 1 > " + fs.path("/sys/class/gpio/gpio405/value"), g_ordered[0].cmd);
    EXPECT_EQ(24, g_ordered[0].peer_bytes);  // the whole report was there already
    expect_report(0x110B, {1});

    // Closing touches no register.
    g_ordered.clear();
    ccu_GUNA_Ctrl_K1(1);
    ASSERT_EQ(1u, g_ordered.size());
    EXPECT_EQ("echo 0 > " + fs.path("/sys/class/gpio/gpio405/value"), g_ordered[0].cmd);
    expect_quiet();

    // Gun B: 0x1D0B and contactor 2; K2s are contactors 1 and 3, no register.
    g_ordered.clear();
    g_expect_bytes = 24;
    ccu_GUNB_Ctrl_K1(0);
    g_expect_bytes = 0;
    ccu_GUNA_Ctrl_K2(1);
    ccu_GUNB_Ctrl_K2(0);
    ASSERT_EQ(3u, g_ordered.size());
    EXPECT_EQ("echo 1 > " + fs.path("/sys/class/gpio/gpio400/value"), g_ordered[0].cmd);
    EXPECT_EQ(24, g_ordered[0].peer_bytes);
    EXPECT_EQ("echo 0 > " + fs.path("/sys/class/gpio/gpio401/value"), g_ordered[1].cmd);
    EXPECT_EQ("echo 1 > " + fs.path("/sys/class/gpio/gpio399/value"), g_ordered[2].cmd);
    expect_report(0x1D0B, {1});
    expect_quiet();
    fs.record_commands(true);
}

namespace {

uint32_t fbits(float f) {
    uint32_t b;
    memcpy(&b, &f, 4);
    return b;
}

using entries_t = std::vector<std::pair<uint8_t, uint32_t>>;

}  // namespace

TEST_F(Hub, PowerRequestsCarryConnectorIdAndFixedWordsWhateverCameBefore) {
    SKIP_WITHOUT_GOOSE();
    GooseCapture cap;
    cap.only_dst_prefix(test_dst, 6);
    // A previous request held other values in every field.
    pthread_mutex_lock(&gooseGUNB.mutex);
    gooseGUNB.power_request = {99, 0x1234, 1, 1, 1.0f, 2.0f, 0, 0x5555};
    uint32_t st = gooseGUNB.stNum;
    pthread_mutex_unlock(&gooseGUNB.mutex);
    cap.drain();
    ccu_GUNB_PowerRequest(PRT_CHARGING, PRM_CONSTANT_CURRENT, 750.5f, 120.25f);
    GooseFrame g;
    ASSERT_TRUE(cap.next(&g, 10000)) << "first frame not sent at once";
    EXPECT_EQ("CC/0$GO$PowerRequest", g.goID);
    EXPECT_EQ(st + 1, g.stNum);
    EXPECT_EQ(1u, g.sqNum);
    EXPECT_EQ((entries_t{{0x86, 12},
                         {0x86, 0xFFFF},
                         {0x86, 5},
                         {0x86, 2},
                         {0x87, fbits(750.5f)},
                         {0x87, fbits(120.25f)},
                         {0x86, 0xFFFF},
                         {0x86, 0xFFFF}}),
              g.entries);

    // The connector id comes from the register, read at each request.
    pthread_mutex_lock(&modbusHW.mutex);
    modbusHW.regs_0x1100[0x0E] = 0x0042;
    pthread_mutex_unlock(&modbusHW.mutex);
    pthread_mutex_lock(&gooseGUNA.mutex);
    gooseGUNA.power_request = {7, 7, 7, 7, 7.0f, 7.0f, 7, 7};
    pthread_mutex_unlock(&gooseGUNA.mutex);
    ccu_GUNA_PowerRequest(PRT_PRECHARGING, PRM_CONSTANT_VOLTAGE, 400.0f, 2.0f);
    ASSERT_TRUE(cap.next(&g, 10000));
    EXPECT_EQ((entries_t{{0x86, 0x42},
                         {0x86, 0xFFFF},
                         {0x86, 4},
                         {0x86, 1},
                         {0x87, fbits(400.0f)},
                         {0x87, fbits(2.0f)},
                         {0x86, 0xFFFF},
                         {0x86, 0xFFFF}}),
              g.entries);

    // Shutdown requests: gun A's connector id, reason, 0xFFFF words.
    pthread_mutex_lock(&gooseGUNA.mutex);
    gooseGUNA.shutdown_request = {1, 2, 3, 0, 0};
    st = gooseGUNA.stNum;
    pthread_mutex_unlock(&gooseGUNA.mutex);
    ccu_GUNA_ShuntdownRequest(SRR_GUN_EMGSTOP);
    ASSERT_TRUE(cap.next(&g, 10000));
    EXPECT_EQ("CC/0$GO$ShutdownRequest", g.goID);
    EXPECT_EQ(0x3002, g.appid);
    EXPECT_EQ(st + 1, g.stNum);
    EXPECT_EQ(1u, g.sqNum);
    EXPECT_EQ((entries_t{{0x86, 0x42}, {0x86, 0xFFFF}, {0x86, 4}, {0x86, 0xFFFF}, {0x86, 0xFFFF}}),
              g.entries);
    ccu_GUNB_ShuntdownRequest(SRR_NORMAL);
    ASSERT_TRUE(cap.next(&g, 10000));
    EXPECT_EQ((entries_t{{0x86, 12}, {0x86, 0xFFFF}, {0x86, 0}, {0x86, 0xFFFF}, {0x86, 0xFFFF}}),
              g.entries);
}

// The power unit writes a MAC address with function 16 into either gun's block:
// the write handler triggers the hub on the Modbus side, both streams follow.
TEST_F(Hub, MacWriteForEitherGunChangesBothStreams) {
    auto write_mac = [](uint16_t start, const uint8_t mac[6]) {
        uint8_t rq[19] = {
            0x00,           0x07, 0x00, 0x00, 0x00, 0x0D, 0x01, 0x10, (uint8_t)(start >> 8),
            (uint8_t)start, 0x00, 0x03, 0x06};
        memcpy(rq + 13, mac, 6);
        memcpy(modbusHW.rx_buff, rq, sizeof rq);
        modbusHW.rx_bytes = sizeof rq;
        return modbus_TCP_write_multiple_registers(&modbusHW);
    };
    auto dst_of = [](goose_HW_t *g) {
        pthread_mutex_lock(&g->mutex);
        std::vector<uint8_t> d(g->dst_mac, g->dst_mac + 6);
        pthread_mutex_unlock(&g->mutex);
        return d;
    };
    const uint8_t macB[6] = {0x02, 0x48, test_dst[2], test_dst[3], 0x4E, 0x5F};
    ASSERT_EQ(0, write_mac(0x2D11, macB));
    std::vector<uint8_t> want(macB, macB + 6);
    EXPECT_EQ(want, dst_of(&gooseGUNA));
    EXPECT_EQ(want, dst_of(&gooseGUNB));

    if (goose_ok && GooseCapture().ok()) {
        GooseCapture cap;
        cap.only_dst_prefix(macB, 6);
        GooseFrame g;
        ccu_GUNA_PowerRequest(PRT_ACDC_PLACEHOLDER, PRM_CONSTANT_CURRENT, 1000.0f, 100.0f);
        ASSERT_TRUE(cap.next(&g, 10000));
        EXPECT_EQ(want, std::vector<uint8_t>(g.dst, g.dst + 6));
        ccu_GUNB_ShuntdownRequest(SRR_NORMAL);
        ASSERT_TRUE(cap.next(&g, 10000));
        EXPECT_EQ(want, std::vector<uint8_t>(g.dst, g.dst + 6));
    }

    const uint8_t macA[6] = {0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
    ASSERT_EQ(0, write_mac(0x2111, macA));
    want.assign(macA, macA + 6);
    EXPECT_EQ(want, dst_of(&gooseGUNA));
    EXPECT_EQ(want, dst_of(&gooseGUNB));
}

TEST_F(Hub, KeyCopiesGoToTheirOwnGunOnly) {
    uint8_t zero[48] = {0};
    for (int i = 0; i < 24; i++) {
        modbusHW.regs_0x2100[0x15 + i] = (uint16_t)(0x0100 * (2 * i) + (2 * i + 1));
    }
    ccu_Update_GUNA_HMAC();
    pthread_mutex_lock(&gooseGUNA.mutex);
    for (int i = 0; i < 48; i++) EXPECT_EQ(i, gooseGUNA.HMAC[i]) << i;
    pthread_mutex_unlock(&gooseGUNA.mutex);
    pthread_mutex_lock(&gooseGUNB.mutex);
    EXPECT_EQ(0, memcmp(zero, gooseGUNB.HMAC, 48));
    pthread_mutex_unlock(&gooseGUNB.mutex);

    for (int i = 0; i < 24; i++) modbusHW.regs_0x2D00[0x15 + i] = 0xA55A;
    ccu_Update_GUNB_HMAC();
    pthread_mutex_lock(&gooseGUNB.mutex);
    for (int i = 0; i < 48; i++) EXPECT_EQ(i % 2 == 0 ? 0xA5 : 0x5A, gooseGUNB.HMAC[i]);
    pthread_mutex_unlock(&gooseGUNB.mutex);
    pthread_mutex_lock(&gooseGUNA.mutex);
    EXPECT_EQ(47, gooseGUNA.HMAC[47]);
    pthread_mutex_unlock(&gooseGUNA.mutex);
}

TEST_F(Hub, LedCacheCommandsEachChannelAtMostOnce) {
    std::vector<std::pair<int, int>> cmds;
    auto decide = [&](void (*op)()) {
        pthread_mutex_lock(&stm32F103.mutex);
        stm32F103.led_ncmds = 0;
        op();
        cmds.clear();
        for (int i = 0; i < stm32F103.led_ncmds; i++) {
            cmds.emplace_back(stm32F103.led_cmds[i].idx, stm32F103.led_cmds[i].enable);
        }
        stm32F103.led_ncmds = 0;
        pthread_mutex_unlock(&stm32F103.mutex);
        return cmds;
    };
    using cl = std::vector<std::pair<int, int>>;
    // The cache starts with all four channels on.
    EXPECT_EQ((cl{{7, 0}}), decide([] { ccu_GUNA_LED_OnOff(1); }));
    EXPECT_EQ((cl{}), decide([] { ccu_GUNA_LED_OnOff(1); }));
    EXPECT_EQ((cl{{6, 0}, {7, 1}}), decide([] { ccu_GUNA_LED_OnOff(0); }));
    EXPECT_EQ((cl{{6, 1}, {7, 0}}), decide([] { ccu_GUNA_LED_Toggle(); }));
    EXPECT_EQ((cl{{6, 0}}), decide([] { ccu_GUNA_LED_Toggle(); }));
    EXPECT_EQ((cl{{6, 1}}), decide([] { ccu_GUNA_LED_Toggle(); }));
    EXPECT_EQ((cl{{8, 0}}), decide([] { ccu_GUNB_LED_OnOff(1); }));
    EXPECT_EQ((cl{}), decide([] { ccu_GUNB_LED_OnOff(7); }));  // any nonzero is on
    EXPECT_EQ((cl{{8, 1}, {9, 0}}), decide([] { ccu_GUNB_LED_OnOff(0); }));
    EXPECT_EQ((cl{{8, 0}, {9, 1}}), decide([] { ccu_GUNB_LED_Toggle(); }));
    EXPECT_EQ((cl{{9, 0}}), decide([] { ccu_GUNB_LED_Toggle(); }));
}

// Once per second the co-processor thread applies the modes: a blinking gun A
// flips channel 6 (board LED 1) every time and keeps channel 7 (LED 0) dark.
TEST_F(Hub, BlinkingGunTogglesChannelSixOncePerApplication) {
    ccu_GUNA_LED_State(2);
    fs.clear_commands();
    for (int i = 0; i < 4; i++) ccu_STM32_LED(&stm32F103);
    EXPECT_EQ((std::vector<int>{1, 0, 1, 0}), fs.value_history(409));
    EXPECT_EQ((std::vector<int>{1}), fs.value_history(408));
    // Gun B steady (mode 1): channel 8 (LED 2) out once, channel 9 stays lit.
    EXPECT_EQ((std::vector<int>{1}), fs.value_history(407));
    EXPECT_TRUE(fs.value_history(397).empty());
}

TEST_F(Hub, QueriesReadTheSampledState) {
    pthread_mutex_lock(&stm32F103.mutex);
    const uint8_t st[4] = {1, 0, 0, 1};
    memcpy(stm32F103.state, st, 4);
    pthread_mutex_unlock(&stm32F103.mutex);
    EXPECT_EQ(1, ccu_GUNA_Query_K1_State());
    EXPECT_EQ(0, ccu_GUNA_Query_K2_State());
    EXPECT_EQ(0, ccu_GUNB_Query_K1_State());
    EXPECT_EQ(1, ccu_GUNB_Query_K2_State());
    EXPECT_EQ(0u, ccu_GUNA_Query_OutputVoltage());
    EXPECT_EQ(0u, ccu_GUNB_Query_OutputVoltage());
    ccu_GUNB_LED_State(3);
    pthread_mutex_lock(&stm32F103.mutex);
    EXPECT_EQ(3, stm32F103.GUNB_State);
    EXPECT_EQ(1, stm32F103.GUNA_State);
    pthread_mutex_unlock(&stm32F103.mutex);
}

TEST_F(Hub, SerialIdIsPaddedOrCutToNineRegistersAndUtcIsLowWordFirst) {
    const uint16_t *id = &modbusHW.regs_0x1000[0x16];
    // A short text, in a buffer with nothing readable past its end as far as the
    // copy is concerned: the rest of the identity is zero.
    std::vector<char> shorttext = {'T', 'C', '7', '\0'};
    ccu_Update_serialID(shorttext.data());
    EXPECT_EQ(0x5443, reg(&id[0]));
    EXPECT_EQ(0x3700, reg(&id[1]));
    for (int i = 2; i < 9; i++) EXPECT_EQ(0, reg(&id[i])) << i;
    ccu_Update_serialID("ABCDEFGHIJKLMNOPQRSTUVWXYZ");  // cut at 18
    EXPECT_EQ(0x4142, reg(&id[0]));
    EXPECT_EQ(0x5152, reg(&id[8]));
    EXPECT_EQ(0, reg(&modbusHW.regs_0x1000[0x1F]));  // the register after is untouched
    ccu_Update_serialID(nullptr);
    EXPECT_EQ(0x4142, reg(&id[0]));

    uint32_t before = (uint32_t)time(nullptr);
    ccu_Update_UTC();
    uint32_t after = (uint32_t)time(nullptr);
    uint32_t got =
        reg(&modbusHW.regs_0x1000[0x24]) | ((uint32_t)reg(&modbusHW.regs_0x1000[0x25]) << 16);
    EXPECT_GE(got, before);
    EXPECT_LE(got, after);
    expect_quiet();  // terminal-wide updates are not reported
}

// The board's emergency stop is turned into both guns' shutdown requests on the
// controller thread while the link's own thread is stuck sending to a power unit that
// stopped reading: the hub never waits behind that send. And a stop of the link ends
// the stuck send at once.
TEST_F(Hub, EmergencyStopReachesGooseWhileThePowerUnitIsNotReading) {
    SKIP_WITHOUT_GOOSE();
    GooseCapture cap;
    cap.only_dst_prefix(test_dst, 6);
    {
        pthread_mutex_lock(&modbusHW.mutex);
        int small = 4096;
        setsockopt(modbusHW.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        pthread_mutex_unlock(&modbusHW.mutex);
    }
    std::thread loop(modbus_TCP_loop, &modbusHW);
    // Read requests whose answers the power unit never reads: the window fills, the
    // link's thread blocks in a send and stops taking requests, until even the power
    // unit's own sends stay refused.
    const std::vector<uint8_t> rq = {0, 7, 0, 0, 0, 6, 1, 3, 0x11, 0, 0, 125};
    int small_rx = 4096;
    setsockopt(peer.fd(), SOL_SOCKET, SO_RCVBUF, &small_rx, sizeof small_rx);
    int flags = fcntl(peer.fd(), F_GETFL);
    fcntl(peer.fd(), F_SETFL, flags | O_NONBLOCK);
    size_t off = 0;
    int64_t refused_since = 0;
    bool stuck = false;
    for (int64_t end = monotime_ms() + 20000; !stuck && monotime_ms() < end;) {
        ssize_t n = send(peer.fd(), rq.data() + off, rq.size() - off, MSG_NOSIGNAL);
        if (n > 0) {
            off = (off + (size_t)n) % rq.size();
            refused_since = 0;
            continue;
        }
        if (refused_since == 0) refused_since = monotime_ms();
        stuck = monotime_ms() - refused_since >= 500;
        msleep(10);
    }
    ASSERT_TRUE(stuck) << "the link kept taking requests";
    pthread_mutex_lock(&modbusHW.mutex);
    const uint32_t gen = modbusHW.conn_gen;
    pthread_mutex_unlock(&modbusHW.mutex);

    pty_pair_t line;
    ASSERT_EQ(pty_pair_open(&line), 0);
    ctrl_peer_t board(line.master);
    ctrl_board_state_t s;
    s.emg = 0x7F;
    board.board_state(s);
    ast_zq_t ast{};
    ccu_AST_init(&ast, line.name.c_str());
    EXPECT_EQ(ccu_AST_queryTemperature(&ast, 0x13, 0, 0, 0, 0, 0), 0);
    bool a = false, b = false;
    GooseFrame f;
    while (!(a && b) && cap.next(&f, 10000)) {
        if (f.entries.size() != 5 || f.entries[2].second != SRR_GUN_EMGSTOP) continue;
        if (f.entries[0].second == TCU_ID * 2 + 1) a = true;
        if (f.entries[0].second == TCU_ID * 2 + 2) b = true;
    }
    EXPECT_TRUE(a && b);
    pthread_mutex_lock(&modbusHW.mutex);
    EXPECT_EQ(modbusHW.conn_gen, gen) << "the requests waited for the stalled send to give up";
    pthread_mutex_unlock(&modbusHW.mutex);

    modbusHW.quit = 1;
    modbus_TCP_wake(&modbusHW);
    loop.join();  // the stuck send ends at once
    board.stop();
    ccu_AST_exit(&ast);
    close(line.master);
    close(line.slave);
}

namespace {

// Standard output that nobody reads (a slow serial console, a full pipe): a pipe filled
// to the brim stands in, drained when the test lets it go.
struct BlockedStdout {
    int saved = -1;
    int rd = -1;
    BlockedStdout() {
        fflush(stdout);
        int fds[2];
        if (pipe(fds) != 0) return;
        saved = dup(1);
        dup2(fds[1], 1);
        close(fds[1]);
        rd = fds[0];
        fcntl(1, F_SETFL, fcntl(1, F_GETFL) | O_NONBLOCK);
        char junk[4096];
        memset(junk, '.', sizeof junk);
        while (write(1, junk, sizeof junk) > 0) {
        }
        fcntl(1, F_SETFL, fcntl(1, F_GETFL) & ~O_NONBLOCK);
    }
    // Drains until done() holds, then puts the real standard output back.
    template <typename F>
    void release_until(F done) {
        fcntl(rd, F_SETFL, fcntl(rd, F_GETFL) | O_NONBLOCK);
        char buf[4096];
        while (!done()) {
            if (read(rd, buf, sizeof buf) <= 0) msleep(1);
        }
        dup2(saved, 1);
        close(saved);
        while (read(rd, buf, sizeof buf) > 0) {
        }
        close(rd);
    }
};

// The thread's scheduler state from /proc: 'S' once it sleeps (here: in a write).
char thread_state(pid_t tid) {
    std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    FILE *fp = fopen(path.c_str(), "r");
    if (fp == nullptr) return '?';
    char buf[512] = {};
    size_t n = fread(buf, 1, sizeof buf - 1, fp);
    fclose(fp);
    const char *close_paren = strrchr(buf, ')');
    return (n > 0 && close_paren != nullptr && close_paren[1] == ' ') ? close_paren[2] : '?';
}

}  // namespace

// A controller command already past the hub's first look when the stop comes, held up
// on a blocked standard output: once it gets going again it must not replace the stop's
// shutdown request, nor may a stored contactor close be repeated in the ramp-down pause.
TEST_F(Hub, StopWinsOverARequestAlreadyOnItsWay) {
    // Lines go to the log file only: while standard output is blocked, nothing on this
    // thread may write to it (a check that failed here would print, so they come later).
    tcu_hooks.log_console = 0;
    std::filesystem::create_directories(fs.path("/home/root/log"));
    clog_init(fs.path("/home/root/log/tcu").c_str(), 1 << 20, 7);
    std::atomic<pid_t> tid{0};
    std::atomic<bool> done{false};
    BlockedStdout out;
    ASSERT_GE(out.rd, 0);
    std::thread controller([&] {
        tid = (pid_t)gettid();
        ccu_GUNA_PowerRequest(PRT_CHARGING, 2, 500.0f, 200.0f);
        done = true;
    });
    // Held in the register dump's write; bounded, so a changed path cannot hang the test.
    for (int64_t end = monotime_ms() + 10000; monotime_ms() < end && !done; msleep(5))
        if (tid != 0 && thread_state(tid) == 'S') break;
    const bool held = !done;

    // A close whose write did not hold, stored for the co-processor's repeat.
    fs.fail_commands(KMD_WRITE_ATTEMPTS);
    const int first_close = ccu_STM32_ControlContactor(&stm32F103, 0, 1);
    tc_stop_request();
    const int pending = ccu_STM32_RetryContactors(&stm32F103);
    const std::string after_repeat = fs.value(405);
    const int late_close = ccu_STM32_ControlContactor(&stm32F103, 0, 1);
    ccu_TCU_safe_stop();
    out.release_until([&] { return done.load(); });
    controller.join();
    clog_exit();
    tcu_hooks.log_console = 1;

    ASSERT_TRUE(held) << "the request was not held up on standard output";
    EXPECT_EQ(first_close, -2);
    EXPECT_EQ(pending, 0);
    EXPECT_EQ(after_repeat, "1") << "a stored close was repeated during the stop";
    EXPECT_EQ(late_close, -3);
    EXPECT_EQ(gooseGUNA.state.load(), GHWS_SHUTDOWN_REQUEST);
    EXPECT_EQ(gooseGUNA.shutdown_request.reason, SRR_GUN_HOST_ERR);
    for (int gpio : {405, 401, 400, 399}) EXPECT_EQ(fs.value(gpio), "1") << gpio;
}

// The stop gives the power unit its ramp-down pause before any contactor opens under
// load. The opening's time is the value file's modification time, set by the kernel
// at the write: a loaded machine can only lengthen what is measured.
TEST_F(Hub, StopOpensTheContactorsOnlyAfterTheRampDownPause) {
    for (int gpio : {405, 401, 400, 399})
        fs.write("/sys/class/gpio/gpio" + std::to_string(gpio) + "/value", "0\n");
    struct timespec before;
    clock_gettime(CLOCK_REALTIME_COARSE, &before);
    tc_stop_request();
    ccu_TCU_safe_stop();
    EXPECT_EQ(gooseGUNA.state.load(), GHWS_SHUTDOWN_REQUEST);
    for (int gpio : {405, 401, 400, 399}) {
        ASSERT_EQ(fs.value(gpio), "1") << gpio;
        struct stat st;
        ASSERT_EQ(
            stat(fs.path("/sys/class/gpio/gpio" + std::to_string(gpio) + "/value").c_str(), &st),
            0);
        const int64_t opened_ms = (int64_t)(st.st_mtim.tv_sec - before.tv_sec) * 1000 +
                                  (st.st_mtim.tv_nsec - before.tv_nsec) / 1000000;
        // The coarse clocks tick every few milliseconds.
        EXPECT_GE(opened_ms, TCU_STOP_RAMP_MS - 10) << "gpio" << gpio << " opened too soon";
    }
}

// ---------------------------------------------------------------- the hub's log lines
// Their own fixture: the logger started as the terminal starts it, clock fixed, its
// mirror read by a stand-in log server.

class HubLog : public LogFixture {};

// The hub's state lines name the register and the caller, in green, with the value
// stored; the power request names its type.
TEST_F(HubLog, HubStateAndRequestLines) {
    modbus_TCP_init(&modbusHW, nullptr, nullptr, 0, 5);  // no power unit: reports dropped
    goose_HW_init(&gooseGUNA, nullptr, 11);
    goose_HW_init(&gooseGUNB, nullptr, 12);
    struct {
        void (*op)(uint16_t);
        const char *func;
        const char *text;
    } rows[] = {
        {ccu_Update_GUNA_WorkState, "ccu_Update_GUNA_WorkState", "0x110B:3\n"},
        {ccu_Update_GUNB_WorkState, "ccu_Update_GUNB_WorkState", "0x1D0B:3\n"},
        {ccu_Update_GUNA_LinkState, "ccu_Update_GUNA_LinkState", "0x110D:3\n"},
        {ccu_Update_GUNB_LinkState, "ccu_Update_GUNB_LinkState", "0x1D0D:3\n"},
    };
    std::string d;
    for (auto &r : rows) {
        SCOPED_TRACE(r.text);
        r.op(3);
        ASSERT_TRUE(server.find(std::string("| ") + r.text, &d));
        EXPECT_EQ(d.substr(0, 11), "HW|\x1b[32;22m");
        std::string func = " " + std::string(r.func);
        func.resize(34, ' ');
        EXPECT_NE(d.find(" TCU " + func + " "), std::string::npos) << d;
    }
    // 65535 stored in a 16-bit register logs as its unsigned value.
    ccu_Update_GUNB_WorkState(0xFFFF);
    EXPECT_TRUE(server.find("| 0x1D0B:65535\n", &d));

    testing::internal::CaptureStdout();  // the register dump
    ccu_GUNB_PowerRequest(3, 1, 500.0f, 100.0f);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(server.find("| type:3\n", &d));
    EXPECT_EQ(d.substr(0, 11), "HW|\x1b[32;22m");
    EXPECT_NE(d.find(" ccu_GUNB_PowerRequest "), std::string::npos) << d;

    goose_HW_exit(&gooseGUNB);
    goose_HW_exit(&gooseGUNA);
    modbus_TCP_exit(&modbusHW);
}
