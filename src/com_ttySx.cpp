// Serial port driver: raw termios line with fixed settings, kernel RS-485 mode,
// single-call send and receive, receive with a total deadline on the monotonic
// clock, reopen after a failure, and the device's own settings restored on close.
#include "com_ttySx.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "logger.h"
#include "tc_system.h"

namespace {

struct speed_entry_t {
    int baudrate;
    speed_t speed;
};

constexpr std::array<speed_entry_t, 13> com_speed_table = {{
    {9600, B9600},
    {19200, B19200},
    {38400, B38400},
    {57600, B57600},
    {115200, B115200},
    {230400, B230400},
    {460800, B460800},
    {500000, B500000},
    {576000, B576000},
    {921600, B921600},
    {1000000, B1000000},
    {1152000, B1152000},
    {1500000, B1500000},
}};

speed_t com_speed(int baudrate) {
    for (const auto &e : com_speed_table)
        if (e.baudrate == baudrate) return e.speed;
    return B4800;
}

const char *com_name(const com_ttySx_t *dev) {
    return dev->devname != nullptr ? dev->devname : "";
}

// Close-on-exec: the GPIO shells must not inherit the line.
constexpr int COM_OPEN_FLAGS = O_RDWR | O_NOCTTY | O_SYNC | O_CLOEXEC;

}  // namespace

int com_ttySx_init(com_ttySx_t *dev, const char *devname, int baudrate, int databits, int parbits,
                   int stopbits) {
    if (dev == nullptr) return -1;
    TCU_LOG(3, "devname:%s\n", devname != nullptr ? devname : "");
    // A second init must not leak the descriptor or the path of the first.
    if (dev->fd > 0) close(dev->fd);
    dev->fd = -1;
    free(dev->devname);
    dev->devname = nullptr;
    if (devname == nullptr) {
        TCU_LOG(1, "tty:%s\n", "");
        return EINVAL;
    }
    // Copied before opening, so that every error message can name the device.
    dev->devname = strdup(devname);

    dev->fd = open(devname, COM_OPEN_FLAGS);
    if (dev->fd < 0) {
        int err = errno;
        dev->fd = -1;
        TCU_LOG(1, "tty:%s\n", com_name(dev));
        return err;
    }

    memset(&dev->save_termios, 0, sizeof dev->save_termios);
    if (tcgetattr(dev->fd, &dev->save_termios) != 0) {
        int err = errno;
        TCU_LOG(1, "tty:%s\n", com_name(dev));
        return err;
    }

    // Built from zero, so every flag not set below (echo, signals, translation,
    // output processing, canonical input) is off.
    struct termios *t = &dev->curr_termios;
    memset(t, 0, sizeof *t);
    speed_t speed = com_speed(baudrate);
    cfsetispeed(t, speed);
    cfsetospeed(t, speed);

    t->c_cflag &= ~CSIZE;
    switch (databits) {
        case 5:
            t->c_cflag |= CS5;
            break;
        case 6:
            t->c_cflag |= CS6;
            break;
        case 7:
            t->c_cflag |= CS7;
            break;
        default:
            t->c_cflag |= CS8;
            break;
    }
    t->c_cflag |= CREAD | CLOCAL;

    switch (parbits) {
        case 'E':
        case 'e':
            t->c_cflag |= PARENB;
            t->c_cflag &= ~PARODD;
            t->c_iflag |= INPCK | ISTRIP;
            break;
        case 'O':
        case 'o':
            t->c_cflag |= PARENB | PARODD;
            t->c_iflag |= INPCK | ISTRIP;
            break;
        default:
            t->c_cflag &= ~(PARENB | PARODD);
            break;
    }
    t->c_lflag &= ~ICANON;

    if (stopbits == 1)
        t->c_cflag &= ~CSTOPB;
    else
        t->c_cflag |= CSTOPB;
    t->c_cflag &= ~CRTSCTS;

    // Reads return at once with what has arrived; waiting is done with poll.
    t->c_cc[VTIME] = 0;
    t->c_cc[VMIN] = 0;

    tcflush(dev->fd, TCIOFLUSH);
    if (tcsetattr(dev->fd, TCSANOW, t) != 0) {
        int err = errno;
        TCU_LOG(1, "tty:%s\n", com_name(dev));
        return err;
    }
    return 0;
}

int comm_ttySx_reset(com_ttySx_t *dev) {
    if (dev == nullptr) return -1;
    if (dev->fd > 0) {
        tcflush(dev->fd, TCIOFLUSH);
        close(dev->fd);
        dev->fd = -1;
    }
    if (dev->devname == nullptr) return -2;
    int fd = open(dev->devname, COM_OPEN_FLAGS);
    if (fd <= 0) {
        // Descriptor 0 would only be reachable with standard input closed; never
        // adopt it as the port.
        int err = errno;
        if (fd == 0) close(fd);
        dev->fd = -1;
        if (tc_fail_gate_pass(&dev->reset_gate, err, monotime_ms()))
            TCU_LOG(1, "tty:%s\n", com_name(dev));
        return -2;
    }
    dev->fd = fd;
    if (tcsetattr(dev->fd, TCSANOW, &dev->curr_termios) != 0) {
        if (tc_fail_gate_pass(&dev->reset_gate, -3, monotime_ms()))
            TCU_LOG(1, "tty:%s\n", com_name(dev));
        return -3;
    }
    tc_fail_gate_clear(&dev->reset_gate);
    return 0;
}

int com_ttySx_send(com_ttySx_t *dev, const char *txbuff, int txlen) {
    if (dev == nullptr) return -1;
    if (dev->fd <= 0) return -2;
    ssize_t n = write(dev->fd, txbuff, (size_t)(txlen > 0 ? txlen : 0));
    if (n < 0) {
        TCU_LOG(1, "tty:%s\n", com_name(dev));
        close(dev->fd);
        dev->fd = -1;
    }
    return (int)n;
}

int com_ttySx_recv(com_ttySx_t *dev, char *rxbuff, int rxsize) {
    if (dev == nullptr) return -1;
    if (dev->fd <= 0) return -2;
    ssize_t n = read(dev->fd, rxbuff, (size_t)(rxsize > 0 ? rxsize : 0));
    if (n < 0) {
        TCU_LOG(1, "tty:%s\n", com_name(dev));
        close(dev->fd);
        dev->fd = -1;
    }
    return (int)n;
}

int com_ttySx_flush(com_ttySx_t *dev) {
    if (dev == nullptr) return -1;
    if (dev->fd <= 0) return -2;
    return tcflush(dev->fd, TCIOFLUSH);
}

int com_ttySx_flush_input(com_ttySx_t *dev) {
    if (dev == nullptr) return -1;
    if (dev->fd <= 0) return -2;
    return tcflush(dev->fd, TCIFLUSH);
}

int com_ttySx_recv_with_timeout(com_ttySx_t *dev, char *rxbuff, int max_bytes, int timeout) {
    // Monotonic: a clock step at boot must neither stretch nor cut the wait.
    int64_t deadline = monotime_ms() + timeout;
    if (dev == nullptr) return -1;
    if (dev->fd <= 0) return -2;
    if (max_bytes <= 0 || rxbuff == nullptr) return 0;

    int count = 0;
    while (count < max_bytes) {
        // The deadline may pass while the previous read is handled: that is a
        // time-out (look once more for bytes), not a failed wait.
        int rc = tc_wait_readable(dev->fd, deadline);
        if (rc < 0) {
            TCU_LOG(1, "tty:%s\n", com_name(dev));
            close(dev->fd);
            dev->fd = -1;
            return -1;
        }
        if (rc == 0) return count;
        ssize_t n = read(dev->fd, rxbuff + count, (size_t)(max_bytes - count));
        if (n > 0) {
            count += (int)n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // Readable but nothing to read is a hang-up (or EIO): it will not get
        // better before the deadline, so end here instead of spinning.
        TCU_LOG(1, "tty:%s\n", com_name(dev));
        return -1;
    }
    return count;
}

int com_ttySx_rs485_enable(com_ttySx_t *dev, int enable) {
    if (dev == nullptr) return -1;
    if (dev->fd <= 0) return -2;
    struct serial_rs485 rs485;
    memset(&rs485, 0, sizeof rs485);
    if (ioctl(dev->fd, TIOCGRS485, &rs485) < 0) {
        int err = errno;
        TCU_LOG(1, "tty:%s\n", com_name(dev));
        return err;
    }
    if (enable == 1)
        rs485.flags |= SER_RS485_ENABLED;
    else if (enable == 0)
        rs485.flags &= ~(uint32_t)SER_RS485_ENABLED;
    // The kernel drives the transceiver: enable line active while sending only,
    // raised 8 ms before the first bit.
    rs485.flags |= SER_RS485_RTS_ON_SEND;
    rs485.flags &= ~(uint32_t)SER_RS485_RTS_AFTER_SEND;
    rs485.delay_rts_before_send = 8;
    rs485.delay_rts_after_send = 0;
    int rc = ioctl(dev->fd, TIOCSRS485, &rs485);
    if (rc < 0) {
        int err = errno;
        TCU_LOG(1, "tty:%s\n", com_name(dev));
        return err;
    }
    return rc;
}

int com_ttySx_rs485_control(com_ttySx_t *, int) {
    return 0;
}

void com_ttySx_exit(com_ttySx_t *dev) {
    if (dev == nullptr) return;
    // Descriptor 0 in a zeroed record was never opened here: it is standard input.
    if (dev->fd > 0) {
        if (tcsetattr(dev->fd, TCSANOW, &dev->save_termios) != 0)
            TCU_LOG(1, "tty:%s\n", com_name(dev));
        close(dev->fd);
    }
    dev->fd = -1;
    free(dev->devname);
    dev->devname = nullptr;
}

uint32_t com_crc32(const uint8_t *buf, int len) {
    uint32_t crc = 0xFFFFFFFFu;
    if (buf == nullptr || len <= 0) return crc;
    for (int i = 0; i < len; i++) {
        crc ^= buf[i];
        for (int b = 0; b < 8; b++) crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}
