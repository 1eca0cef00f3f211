#include "support/serial_pair.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "tc_system.h"

bool serial_pair_open(serial_pair *pair) {
    char tmpl[] = "/tmp/tcu_serial_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return false;
    pair->dir = tmpl;
    pair->a = pair->dir + "/a";
    pair->b = pair->dir + "/b";
    std::string la = "pty,raw,echo=0,link=" + pair->a;
    std::string lb = "pty,raw,echo=0,link=" + pair->b;
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 2);
        execlp("socat", "socat", la.c_str(), lb.c_str(), (char *)nullptr);
        _exit(127);
    }
    pair->socat = pid;
    // socat may start slowly on a loaded machine; a late start must not pass for a
    // missing socat (the tests skip then).
    int64_t deadline = monotime_ms() + 15000;
    struct stat st;
    while (monotime_ms() < deadline) {
        if (stat(pair->a.c_str(), &st) == 0 && stat(pair->b.c_str(), &st) == 0) return true;
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pair->socat = -1;
            return false;
        }
        usleep(10000);
    }
    return false;
}

void serial_pair_close(serial_pair *pair) {
    if (pair->socat > 0) {
        kill(pair->socat, SIGTERM);
        waitpid(pair->socat, nullptr, 0);
        pair->socat = -1;
    }
    if (!pair->dir.empty()) {
        unlink(pair->a.c_str());
        unlink(pair->b.c_str());
        rmdir(pair->dir.c_str());
    }
}

uint16_t peer_crc16(const uint8_t *buf, size_t len) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < len; i++) {
        crc ^= buf[i];
        for (int b = 0; b < 8; b++)
            crc = (crc & 1) ? (uint16_t)((crc >> 1) ^ 0xA001) : (uint16_t)(crc >> 1);
    }
    return crc;
}

void peer_append_crc(std::vector<uint8_t> *frame) {
    uint16_t crc = peer_crc16(frame->data(), frame->size());
    frame->push_back((uint8_t)(crc & 0xFF));
    frame->push_back((uint8_t)(crc >> 8));
}

int peer_open_raw(const std::string &path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return -1;
    struct termios t;
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

int peer_read(int fd, uint8_t *buf, int n, int timeout_ms) {
    int got = 0;
    int64_t deadline = monotime_ms() + timeout_ms;
    while (got < n) {
        int64_t left = deadline - monotime_ms();
        if (left <= 0) break;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, (int)left) <= 0) break;
        ssize_t r = read(fd, buf + got, (size_t)(n - got));
        if (r <= 0) break;
        got += (int)r;
    }
    return got;
}

void peer_write(int fd, const std::vector<uint8_t> &frame) {
    size_t off = 0;
    while (off < frame.size()) {
        ssize_t w = write(fd, frame.data() + off, frame.size() - off);
        if (w <= 0) break;
        off += (size_t)w;
    }
}

speed_t peer_line_speed(const std::string &path, tcflag_t *cflag) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    struct termios t = {};
    if (fd >= 0) tcgetattr(fd, &t);
    if (fd >= 0) close(fd);
    *cflag = t.c_cflag;
    return cfgetospeed(&t);
}
