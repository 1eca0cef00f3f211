// A pseudo-terminal pair standing in for a serial line: the program under test
// opens the slave by name, a scripted peer reads and writes the master. Header-only
// so that benchmarks and the simulator can use it without the test library.
#pragma once

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

struct pty_pair_t {
    int master = -1;
    // Held open by the peer's side so the line does not hang up while the program
    // closes and reopens its own descriptor.
    int slave = -1;
    std::string name;
};

// 0 on success; both ends raw (no echo, no translation) before anyone uses them.
inline int pty_pair_open(pty_pair_t *p) {
    char name[128] = {0};
    if (openpty(&p->master, &p->slave, name, nullptr, nullptr) != 0) return -1;
    p->name = name;
    struct termios t;
    if (tcgetattr(p->slave, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(p->slave, TCSANOW, &t);
    }
    if (tcgetattr(p->master, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(p->master, TCSANOW, &t);
    }
    return 0;
}

inline void pty_pair_close_master(pty_pair_t *p) {
    if (p->master >= 0) close(p->master);
    p->master = -1;
}

inline void pty_pair_close(pty_pair_t *p) {
    pty_pair_close_master(p);
    if (p->slave >= 0) close(p->slave);
    p->slave = -1;
}

// Bytes written to the master reach the slave's input queue through the kernel's
// flip-buffer work, a moment later on a loaded machine: waits (up to timeout_ms, a
// bound against hanging) until n bytes are queued on fd, any descriptor of the slave.
inline bool pty_wait_queued(int fd, int n, int timeout_ms = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int queued = 0;
    while (ioctl(fd, FIONREAD, &queued) == 0 && queued < n &&
           std::chrono::steady_clock::now() < deadline)
        usleep(2000);
    return queued >= n;
}
