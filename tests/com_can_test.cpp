// CAN port seen from the bus: frames written into a socket pair that stands in for
// the CAN socket, the `ip link` text as the shell receives it, identifiers and
// the trace line. What needs kernel SocketCAN is skipped where it is missing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>
#include <vector>
#include <functional>
#include <linux/can/raw.h>

#include "com_CAN.h"

namespace {

std::vector<std::string> g_cmds;
int g_runner_result = 0;

int recording_runner(const char *cmd) {
    g_cmds.emplace_back(cmd);
    return g_runner_result;
}

bool kernel_has_can() {
    int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0) return false;
    close(fd);
    return true;
}

// A datagram pair keeps frame boundaries like a CAN socket does.
struct PairPort {
    com_can_t dev{};
    int peer = -1;
    PairPort() {
        int sv[2];
        EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv));
        dev.fd = sv[0];
        dev.can_name = "can0";
        peer = sv[1];
    }
    ~PairPort() {
        close(dev.fd);
        close(peer);
    }
    can_frame recv_peer() {
        can_frame f;
        memset(&f, 0xAA, sizeof f);
        EXPECT_EQ((ssize_t)sizeof f, read(peer, &f, sizeof f));
        return f;
    }
};

// Captures what the port prints on standard output.
std::string stdout_of(const std::function<void()> &fn) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

class CanInit : public testing::Test {
  protected:
    void SetUp() override {
        g_cmds.clear();
        g_runner_result = 0;
        tcu_hooks.can_shell = recording_runner;
    }
    void TearDown() override { tcu_hooks.can_shell = nullptr; }
};

}  // namespace

TEST_F(CanInit, ShellTextBringsInterfaceDownThenUpAtBitRate) {
    com_can_t dev{};
    int fd = com_CAN_init(&dev, "can0", 500000);
    ASSERT_EQ(1u, g_cmds.size());
    EXPECT_EQ("ip link set can0 down\nip link set can0 up type can bitrate 500000\n", g_cmds[0]);
    if (kernel_has_can()) {
        EXPECT_GT(fd, 0);
        close(fd);
    } else {
        // No SocketCAN in this kernel: the socket step fails after the set-up.
        EXPECT_EQ(-2, fd);
        EXPECT_STREQ("can0", dev.can_name);
    }
}

TEST_F(CanInit, NullRecordStillReconfiguresThenRefuses) {
    EXPECT_EQ(-1, com_CAN_init(nullptr, "vcan1", 250000));
    ASSERT_EQ(1u, g_cmds.size());
    EXPECT_EQ("ip link set vcan1 down\nip link set vcan1 up type can bitrate 250000\n", g_cmds[0]);
}

TEST_F(CanInit, ShellThatCannotRunGivesNegativeCodeAndNoSocket) {
    g_runner_result = -1;
    com_can_t dev{};
    dev.fd = -7;
    int ret = com_CAN_init(&dev, "can0", 500000);
    EXPECT_LT(ret, 0);
    EXPECT_EQ(-4, ret);
    EXPECT_EQ(-7, dev.fd);  // no socket was opened
}

TEST_F(CanInit, UnsafeOrOverlongNamesRefusedBeforeAnythingRuns) {
    com_can_t dev{};
    const char *bad[] = {"can0; reboot", "can0\nreboot",     "$(id)", "a b",
                         "can0`x`",      "0123456789abcdef", "",      "can/0",
                         "can0>x"};
    for (const char *name : bad) {
        EXPECT_EQ(-3, com_CAN_init(&dev, name, 500000)) << name;
    }
    EXPECT_EQ(-3, com_CAN_init(&dev, nullptr, 500000));
    EXPECT_TRUE(g_cmds.empty());
    EXPECT_EQ(1, com_CAN_name_valid("0123456789abcde"));  // 15 is the kernel's limit
    EXPECT_EQ(1, com_CAN_name_valid("can_0.a-b"));
}

// The real system() path, with a stand-in `ip` first on PATH that records its
// arguments: the two lines run as two commands.
TEST(CanInitShell, TwoIpCommandsRunThroughTheShell) {
    char dir[] = "/tmp/can_ip_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    std::string log = std::string(dir) + "/calls";
    std::string script = std::string(dir) + "/ip";
    FILE *f = fopen(script.c_str(), "w");
    ASSERT_NE(nullptr, f);
    fprintf(f, "#!/bin/sh\necho \"$*\" >> %s\n", log.c_str());
    fclose(f);
    chmod(script.c_str(), 0755);
    std::string old_path = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", (std::string(dir) + ":" + old_path).c_str(), 1);
    com_can_t dev{};
    int fd = com_CAN_init(&dev, "can1", 125000);
    setenv("PATH", old_path.c_str(), 1);
    if (fd > 0) close(fd);
    char buf[256] = {0};
    f = fopen(log.c_str(), "r");
    ASSERT_NE(nullptr, f);
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    EXPECT_EQ("link set can1 down\nlink set can1 up type can bitrate 125000\n",
              std::string(buf, n));
    unlink(log.c_str());
    unlink(script.c_str());
    rmdir(dir);
}

TEST(CanSend, FrameAndTraceLineShowAllEightBytes) {
    PairPort p;
    can_frame f{};
    f.can_id = 0x80EF1110;
    f.len = 3;
    const uint8_t payload[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    memcpy(f.data, payload, 8);  // bytes past len are still traced
    int ret = 0;
    std::string out = stdout_of([&] { ret = com_CAN_send(&p.dev, &f); });
    EXPECT_EQ(16, ret);
    EXPECT_EQ("can.send.80ef1110, len:3, 01 02 03 04 05 06 07 08\n", out);
    can_frame got = p.recv_peer();
    EXPECT_EQ(0, memcmp(&f, &got, sizeof f));
}

TEST(CanSend, Pdu1IdentifiersLengthsAndPadding) {
    PairPort p;
    const uint8_t data[12] = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15,
                              0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B};
    std::string out;
    int ret = 0;

    // len 12 is cut to 8.
    out = stdout_of([&] { ret = com_CAN_send_PDU1(&p.dev, 0, 0xEF, 0x11, 0x10, data, 12); });
    EXPECT_EQ(16, ret);
    can_frame f = p.recv_peer();
    EXPECT_EQ(0x80EF1110u, f.can_id);
    EXPECT_EQ(8, f.len);
    EXPECT_EQ(0, memcmp(data, f.data, 8));
    EXPECT_EQ("can.send.80ef1110, len:8, 10 11 12 13 14 15 16 17\n", out);

    // RDP keeps its low two bits only; the priority stays 0.
    out = stdout_of([&] { com_CAN_send_PDU1(&p.dev, 0x07, 0x12, 0x34, 0x56, data, 2); });
    f = p.recv_peer();
    EXPECT_EQ(0x83123456u, f.can_id);
    EXPECT_EQ(2, f.len);
    EXPECT_EQ(0x10, f.data[0]);
    EXPECT_EQ(0x11, f.data[1]);
    for (int i = 2; i < 8; i++) EXPECT_EQ(0, f.data[i]);
    EXPECT_EQ("can.send.83123456, len:2, 10 11 00 00 00 00 00 00\n", out);

    // len 0: the identifier alone.
    out = stdout_of([&] { com_CAN_send_PDU1(&p.dev, 0, 0xEF, 0x11, 0x10, nullptr, 0); });
    f = p.recv_peer();
    EXPECT_EQ(0x80EF1110u, f.can_id);
    EXPECT_EQ(0, f.len);
    EXPECT_EQ("can.send.80ef1110, len:0, 00 00 00 00 00 00 00 00\n", out);

    // From a PGN: PF from bits 15-8, PS 0, no data page.
    out = stdout_of([&] { com_CAN_send_PDU1PNG(&p.dev, 0x1EF00, 0x10, data, 1); });
    f = p.recv_peer();
    EXPECT_EQ(0x80EF0010u, f.can_id);
    EXPECT_EQ(1, f.len);
    static_assert(com_CAN_PDU1PNG_id(0x1EF00, 0x10) == 0x80EF0010u);
    static_assert(com_CAN_PDU1_id(0, 0xEF, 0x11, 0x10) == 0x80EF1110u);
}

TEST(CanSend, NullRecordTouchesNothing) {
    can_frame f{};
    EXPECT_EQ(-1, com_CAN_send(nullptr, &f));
    EXPECT_EQ(-1, com_CAN_send_PDU1(nullptr, 0, 1, 2, 3, nullptr, 0));
    EXPECT_EQ(-1, com_CAN_send_PDU1PNG(nullptr, 0x1EF00, 3, nullptr, 0));
    EXPECT_EQ(-1, com_CAN_read(nullptr, &f, 0));
    EXPECT_EQ(-1, com_CAN_filter(nullptr, 0x7FF, 0x123));
    com_CAN_exit(nullptr);
}

TEST(CanRead, FrameWithinTimeOutAndTimeOuts) {
    PairPort p;
    can_frame f{};
    // Nothing queued: a negative time-out polls once.
    EXPECT_EQ(-3, com_CAN_read(&p.dev, &f, -5));
    EXPECT_EQ(-3, com_CAN_read(&p.dev, &f, 30));

    can_frame in{};
    in.can_id = 0x98FF1011;
    in.len = 8;
    for (int i = 0; i < 8; i++) in.data[i] = (uint8_t)(0xA0 + i);
    ASSERT_EQ((ssize_t)sizeof in, write(p.peer, &in, sizeof in));
    memset(&f, 0, sizeof f);
    EXPECT_EQ(16, com_CAN_read(&p.dev, &f, 1000));
    EXPECT_EQ(0, memcmp(&in, &f, sizeof f));
    // Frame arriving while the read waits.
    std::thread writer([&] {
        usleep(50 * 1000);
        write(p.peer, &in, sizeof in);
    });
    EXPECT_EQ(16, com_CAN_read(&p.dev, &f, 5000));
    writer.join();
}

TEST(CanRead, WaitErrorOnBadDescriptor) {
    com_can_t dev{};
    dev.fd = dup(0);
    close(dev.fd);  // a descriptor that is no longer open
    can_frame f{};
    EXPECT_EQ(-2, com_CAN_read(&dev, &f, 10));
}

// Filter replacement is a property of the kernel's raw CAN socket.
TEST(CanKernel, SecondFilterReplacesFirst) {
    if (!kernel_has_can()) GTEST_SKIP() << "kernel has no SocketCAN (PF_CAN socket fails)";
    com_can_t dev{};
    dev.fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    EXPECT_EQ(0, com_CAN_filter(&dev, 0x7FF, 0x123));
    EXPECT_EQ(0, com_CAN_filter(&dev, 0x7FF, 0x456));
    can_filter fl[4];
    socklen_t len = sizeof fl;
    ASSERT_EQ(0, getsockopt(dev.fd, SOL_CAN_RAW, CAN_RAW_FILTER, fl, &len));
    EXPECT_EQ(sizeof(can_filter), len);
    EXPECT_EQ(0x456u, fl[0].can_id);
    close(dev.fd);
}
