// Serial port driver against a real pseudo-terminal: line settings as built and as
// the kernel keeps them, raw transfers, the total receive deadline, hang-up, failed
// writes, reopen and restoration of the previous settings.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

#include "support/emu_detect.h"
#include "com_ttySx.h"
#include "support/pty_pair.h"
#include "tc_system.h"

namespace {

class ComTtySx : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(pty_pair_open(&line), 0);
        memset(&port, 0, sizeof port);
        port.fd = -1;
    }
    void TearDown() override {
        com_ttySx_exit(&port);
        pty_pair_close(&line);
    }
    struct termios kernel_view() {
        struct termios t;
        memset(&t, 0, sizeof t);
        tcgetattr(line.slave, &t);
        return t;
    }
    pty_pair_t line;
    com_ttySx_t port;
};

TEST_F(ComTtySx, SpeedTableAndStopBitsAsTheKernelKeepsThem) {
    struct {
        int baud;
        speed_t want;
    } rows[] = {{9600, B9600}, {19200, B19200}, {115200, B115200}, {1500000, B1500000},
                {4800, B4800}, {2400, B4800},   {0, B4800},        {921600, B921600}};
    for (const auto &r : rows) {
        // User-mode emulation loses speeds above 460800 when it translates termios.
        if (r.baud > 460800 && running_under_emulation()) continue;
        ASSERT_EQ(com_ttySx_init(&port, line.name.c_str(), r.baud, 8, 'N', 1), 0) << r.baud;
        struct termios t = kernel_view();
        EXPECT_EQ(cfgetospeed(&t), r.want) << r.baud;
        EXPECT_EQ(cfgetispeed(&t), r.want) << r.baud;
        EXPECT_EQ(t.c_cflag & CSTOPB, 0u) << r.baud;
        com_ttySx_exit(&port);
    }
    for (int stop : {2, 0}) {
        ASSERT_EQ(com_ttySx_init(&port, line.name.c_str(), 9600, 8, 'N', stop), 0);
        EXPECT_NE(kernel_view().c_cflag & CSTOPB, 0u) << stop;
        com_ttySx_exit(&port);
    }
}

// A pseudo-terminal forces 8 bits without parity, so size and parity are checked
// on the settings the driver built.
TEST_F(ComTtySx, BuiltSettingsSizeParityRawMode) {
    ASSERT_EQ(com_ttySx_init(&port, line.name.c_str(), 9600, 7, 'E', 1), 0);
    const struct termios &t = port.curr_termios;
    EXPECT_EQ(t.c_cflag & CSIZE, (tcflag_t)CS7);
    EXPECT_NE(t.c_cflag & PARENB, 0u);
    EXPECT_EQ(t.c_cflag & PARODD, 0u);
    EXPECT_EQ(t.c_iflag & (INPCK | ISTRIP), (tcflag_t)(INPCK | ISTRIP));
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), (tcflag_t)(CREAD | CLOCAL));
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    com_ttySx_exit(&port);

    ASSERT_EQ(com_ttySx_init(&port, line.name.c_str(), 9600, 5, 'o', 1), 0);
    EXPECT_EQ(port.curr_termios.c_cflag & CSIZE, (tcflag_t)CS5);
    EXPECT_EQ(port.curr_termios.c_cflag & (PARENB | PARODD), (tcflag_t)(PARENB | PARODD));
    EXPECT_NE(port.curr_termios.c_iflag & ISTRIP, 0u);
    com_ttySx_exit(&port);

    for (int bits : {8, 9, 0}) {
        for (int par : {(int)'N', (int)'n', 0}) {
            ASSERT_EQ(com_ttySx_init(&port, line.name.c_str(), 9600, bits, par, 1), 0);
            EXPECT_EQ(port.curr_termios.c_cflag & CSIZE, (tcflag_t)CS8);
            EXPECT_EQ(port.curr_termios.c_cflag & (PARENB | PARODD), 0u);
            EXPECT_EQ(port.curr_termios.c_iflag & (INPCK | ISTRIP), 0u);
            com_ttySx_exit(&port);
        }
    }
}

TEST_F(ComTtySx, ExitRestoresTheSettingsFoundAtOpen) {
    struct termios t = kernel_view();
    cfsetospeed(&t, B2400);
    cfsetispeed(&t, B2400);
    t.c_cflag |= CSTOPB;
    ASSERT_EQ(tcsetattr(line.slave, TCSANOW, &t), 0);
    ASSERT_EQ(com_ttySx_init(&port, line.name.c_str(), 9600, 8, 'N', 1), 0);
    EXPECT_EQ(cfgetospeed(&port.save_termios), B2400);
    EXPECT_EQ(cfgetospeed(&(t = kernel_view())), B9600);
    com_ttySx_exit(&port);
    EXPECT_EQ(port.fd, -1);
    EXPECT_EQ(port.devname, nullptr);
    t = kernel_view();
    EXPECT_EQ(cfgetospeed(&t), B2400);
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
}

TEST_F(ComTtySx, Rs485RefusedOnAPseudoTerminalPortStillWorks) {
    ASSERT_EQ(com_ttySx_init(&port, line.name.c_str(), 9600, 8, 'N', 1), 0);
    EXPECT_GT(com_ttySx_rs485_enable(&port, 1), 0);  // the kernel's errno
    EXPECT_GT(com_ttySx_rs485_enable(&port, 2), 0);
    EXPECT_EQ(com_ttySx_rs485_control(&port, 1), 0);
    EXPECT_GT(port.fd, 0);
    EXPECT_EQ(com_ttySx_send(&port, "\x11\xEE\x04", 3), 3);
    uint8_t got[8] = {0};
    ASSERT_EQ(read(line.master, got, sizeof got), 3);
    EXPECT_EQ(got[0], 0x11);
    EXPECT_EQ(got[1], 0xEE);
    EXPECT_EQ(got[2], 0x04);
}

TEST_F(ComTtySx, ReceiveWithTotalDeadline) {
    ASSERT_EQ(com_ttySx_init(&port, line.name.c_str(), 9600, 8, 'N', 1), 0);
    char buf[32];
    EXPECT_EQ(com_ttySx_recv_with_timeout(&port, buf, 0, 1000), 0);
    EXPECT_EQ(com_ttySx_recv(&port, buf, sizeof buf), 0);  // VMIN = VTIME = 0: returns at once

    int64_t t0 = monotime_ms();
    EXPECT_EQ(com_ttySx_recv_with_timeout(&port, buf, 4, 100), 0);
    EXPECT_GE(monotime_ms() - t0, 100);
    EXPECT_GT(port.fd, 0);

    // More than asked for: exactly max_bytes, the rest stays in the device.
    ASSERT_EQ(write(line.master, "abcdefgh", 8), 8);
    ASSERT_TRUE(pty_wait_queued(port.fd, 8));
    EXPECT_EQ(com_ttySx_recv_with_timeout(&port, buf, 5, 500), 5);
    EXPECT_EQ(memcmp(buf, "abcde", 5), 0);
    EXPECT_EQ(com_ttySx_recv(&port, buf, sizeof buf), 3);
    EXPECT_EQ(memcmp(buf, "fgh", 3), 0);

    // Pieces arriving inside the deadline are gathered; a short total is returned. The
    // deadline leaves the writer room on a loaded machine.
    std::thread writer([&] {
        usleep(30000);
        (void)!write(line.master, "12", 2);
        usleep(30000);
        (void)!write(line.master, "345", 3);
    });
    EXPECT_EQ(com_ttySx_recv_with_timeout(&port, buf, 10, 2000), 5);
    writer.join();
    EXPECT_EQ(memcmp(buf, "12345", 5), 0);

    ASSERT_EQ(write(line.master, "zz", 2), 2);
    ASSERT_TRUE(pty_wait_queued(port.fd, 2));  // in the input queue before the flush
    EXPECT_EQ(com_ttySx_flush(&port), 0);
    EXPECT_EQ(com_ttySx_recv(&port, buf, sizeof buf), 0);
}

// The far end closing: a readable descriptor that reads nothing ends the receive
// at once; the next write fails and closes the port, later calls find it closed.
TEST_F(ComTtySx, HangUpEndsReceiveAndFailedWriteClosesThePort) {
    ASSERT_EQ(com_ttySx_init(&port, line.name.c_str(), 9600, 8, 'N', 1), 0);
    pty_pair_close_master(&line);
    char buf[8];
    int64_t t0 = monotime_ms();
    EXPECT_EQ(com_ttySx_recv_with_timeout(&port, buf, 8, 10000), -1);
    EXPECT_LT(monotime_ms() - t0, 5000);  // not held until the deadline
    EXPECT_GT(port.fd, 0);                // a receive does not close the port

    EXPECT_LT(com_ttySx_send(&port, "x", 1), 0);
    EXPECT_EQ(port.fd, -1);
    EXPECT_EQ(com_ttySx_send(&port, "x", 1), -2);
    EXPECT_EQ(com_ttySx_recv(&port, buf, 8), -2);
    EXPECT_EQ(com_ttySx_recv_with_timeout(&port, buf, 8, 10), -2);
    EXPECT_EQ(com_ttySx_flush(&port), -2);
    EXPECT_EQ(com_ttySx_rs485_enable(&port, 1), -2);
    EXPECT_EQ(comm_ttySx_reset(&port), -2);  // the device is gone
    EXPECT_EQ(port.fd, -1);
    EXPECT_NE(port.devname, nullptr);  // kept for the next reopen
}

TEST_F(ComTtySx, ResetReopensWithTheSameSettings) {
    ASSERT_EQ(com_ttySx_init(&port, line.name.c_str(), 19200, 8, 'N', 2), 0);
    close(port.fd);
    port.fd = -1;
    struct termios t = kernel_view();
    cfsetospeed(&t, B300);
    tcsetattr(line.slave, TCSANOW, &t);
    EXPECT_EQ(comm_ttySx_reset(&port), 0);
    EXPECT_GT(port.fd, 0);
    t = kernel_view();
    EXPECT_EQ(cfgetospeed(&t), B19200);
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(com_ttySx_send(&port, "ok", 2), 2);
    char got[4];
    EXPECT_EQ(read(line.master, got, sizeof got), 2);
    // Reset of an open port closes and opens it again.
    int before = port.fd;
    EXPECT_EQ(comm_ttySx_reset(&port), 0);
    EXPECT_GT(port.fd, 0);
    (void)before;
}

TEST(ComTtySxRecord, MissingRecordNeverOpenedAndMissingDevice) {
    EXPECT_EQ(com_ttySx_init(nullptr, "/dev/null", 9600, 8, 'N', 1), -1);
    EXPECT_EQ(comm_ttySx_reset(nullptr), -1);
    EXPECT_EQ(com_ttySx_send(nullptr, "x", 1), -1);
    EXPECT_EQ(com_ttySx_recv(nullptr, nullptr, 1), -1);
    EXPECT_EQ(com_ttySx_flush(nullptr), -1);
    EXPECT_EQ(com_ttySx_recv_with_timeout(nullptr, nullptr, 1, 1), -1);
    EXPECT_EQ(com_ttySx_rs485_enable(nullptr, 1), -1);
    com_ttySx_exit(nullptr);

    // A zeroed record has descriptor 0: exit must leave standard input alone.
    com_ttySx_t zero;
    memset(&zero, 0, sizeof zero);
    zero.devname = strdup("/dev/ttyS9");
    int stdin_flags = fcntl(0, F_GETFD);
    com_ttySx_exit(&zero);
    EXPECT_EQ(zero.devname, nullptr);
    EXPECT_EQ(fcntl(0, F_GETFD), stdin_flags);
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(com_ttySx_send(&zero, "x", 1), -2);

    com_ttySx_t missing;
    memset(&missing, 0, sizeof missing);
    EXPECT_EQ(com_ttySx_init(&missing, "/nonexistent/ttyS2", 9600, 8, 'N', 1), ENOENT);
    EXPECT_EQ(missing.fd, -1);
    ASSERT_NE(missing.devname, nullptr);
    EXPECT_STREQ(missing.devname, "/nonexistent/ttyS2");
    EXPECT_EQ(comm_ttySx_reset(&missing), -2);
    EXPECT_EQ(comm_ttySx_reset(&missing), -2);  // second failure: logged at most once a minute
    com_ttySx_exit(&missing);
    EXPECT_EQ(missing.devname, nullptr);
}

TEST(ComCrc32, JamcrcCheckValues) {
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(com_crc32(digits, 9), 0x340BC6D9u);
    EXPECT_EQ(com_crc32(digits, 0), 0xFFFFFFFFu);
    EXPECT_EQ(com_crc32(digits, -3), 0xFFFFFFFFu);
}

}  // namespace
