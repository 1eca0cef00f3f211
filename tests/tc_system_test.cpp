// Register packing, the sleep under signals, host-run paths and the failure gate.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "tc_system.h"

TEST(Packing, MacAddressRoundTrip) {
    const uint8_t mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    uint16_t regs[3] = {};
    dumpString2Reg(regs, mac, 6);
    EXPECT_EQ(regs[0], 0x001A);
    EXPECT_EQ(regs[1], 0x2B3C);
    EXPECT_EQ(regs[2], 0x4D5E);
    uint8_t back[6] = {};
    dumpReg2String(back, regs, 3);
    EXPECT_EQ(0, memcmp(back, mac, 6));
}

TEST(Packing, TextAndEdgeCounts) {
    uint16_t reg[2] = {0xFFFF, 0xFFFF};
    dumpString2Reg(reg, reinterpret_cast<const uint8_t *>("SW"), 2);
    EXPECT_EQ(reg[0], 0x5357);
    EXPECT_EQ(reg[1], 0xFFFF);
    // An odd count never reads the byte after the last one.
    const uint8_t three[4] = {'a', 'b', 'c', 'X'};
    dumpString2Reg(reg, three, 3);
    EXPECT_EQ(reg[1], 'c' << 8);
    uint8_t out[2] = {7, 7};
    dumpReg2String(out, reg, 0);
    dumpString2Reg(reg, three, -2);
    EXPECT_EQ(out[0], 7);
}

TEST(Printline, HexDumpLayout) {
    testing::internal::CaptureStdout();
    const uint8_t b[2] = {0x01, 0xAB};
    EXPECT_EQ(printline("rx", b, 2), 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "rx( 2):01 ab \r\n");
}

static void on_usr1(int) {}

TEST(Msleep, LastsUnderAStreamOfSignals) {
    struct sigaction sa = {};
    sa.sa_handler = on_usr1;
    sigaction(SIGUSR1, &sa, nullptr);
    pthread_t self = pthread_self();
    std::atomic<bool> done{false};
    std::thread pest([&] {
        while (!done) {
            pthread_kill(self, SIGUSR1);
            usleep(20000);
        }
    });
    int64_t t0 = monotime_ms();
    msleep(1500);
    int64_t took = monotime_ms() - t0;
    done = true;
    pest.join();
    EXPECT_GE(took, 1500);
    EXPECT_LT(took, 10000);
}

TEST(Msleep, ZeroAndNegativeReturnAtOnce) {
    int64_t t0 = monotime_ms();
    msleep(0);
    msleep(-5);
    EXPECT_LT(monotime_ms() - t0, 1000);
}

TEST(HostPaths, ResolvedUnderRootOnlyWhenSet) {
    char buf[64];
    unsetenv("TCU_ROOT");
    EXPECT_EQ(tcu_path(buf, sizeof buf, "/dev/ttyS2"), 10);
    EXPECT_STREQ(buf, "/dev/ttyS2");
    setenv("TCU_ROOT", "", 1);
    tcu_path(buf, sizeof buf, "/dev/ttyS2");
    EXPECT_STREQ(buf, "/dev/ttyS2");
    setenv("TCU_ROOT", "/tmp/r", 1);
    tcu_path(buf, sizeof buf, "/sys/class/gpio/export");
    EXPECT_STREQ(buf, "/tmp/r/sys/class/gpio/export");
    char tiny[8];
    EXPECT_EQ(tcu_path(tiny, sizeof tiny, "/home/root/etc"), -1);
    EXPECT_STREQ(tiny, "");
    unsetenv("TCU_ROOT");
}

TEST(FailGate, RepeatsQuietForAMinuteNewCodesAtOnce) {
    tc_fail_gate_t g = {};
    EXPECT_EQ(tc_fail_gate_pass(&g, -1, 1000), 1);
    EXPECT_EQ(tc_fail_gate_pass(&g, -1, 2000), 0);
    EXPECT_EQ(tc_fail_gate_pass(&g, -1, 60999), 0);
    EXPECT_EQ(tc_fail_gate_pass(&g, -1, 61000), 1);
    EXPECT_EQ(tc_fail_gate_pass(&g, -6, 61001), 1);
    tc_fail_gate_clear(&g);
    EXPECT_EQ(tc_fail_gate_pass(&g, -6, 61002), 1);
}

TEST(Clock, SystimeIsWallClockMilliseconds) {
    int64_t a = systime_ms();
    EXPECT_GT(a, 1600000000000LL);
    EXPECT_NEAR((double)a / 1000.0, (double)time(nullptr), 2.0);
}
