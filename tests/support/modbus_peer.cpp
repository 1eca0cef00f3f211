// Test power unit for the Modbus TCP link: listener, raw frames.
#include "support/modbus_peer.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "tc_system.h"

namespace {

void put16(mb_bytes &b, uint16_t v) {
    b.push_back((uint8_t)(v >> 8));
    b.push_back((uint8_t)(v & 0xFF));
}

mb_bytes mbap(uint16_t tid, uint16_t length, uint8_t unit, uint8_t fn) {
    mb_bytes b;
    put16(b, tid);
    put16(b, 0);
    put16(b, length);
    b.push_back(unit);
    b.push_back(fn);
    return b;
}

}  // namespace

mb_bytes mb_read_req(uint16_t tid, uint16_t addr, uint16_t qty, uint8_t unit) {
    mb_bytes b = mbap(tid, 6, unit, 3);
    put16(b, addr);
    put16(b, qty);
    return b;
}

mb_bytes mb_write1_req(uint16_t tid, uint16_t addr, uint16_t value, uint8_t unit) {
    mb_bytes b = mbap(tid, 6, unit, 6);
    put16(b, addr);
    put16(b, value);
    return b;
}

mb_bytes mb_writeN_req(uint16_t tid, uint16_t addr, const std::vector<uint16_t> &values,
                       uint8_t unit) {
    mb_bytes b = mbap(tid, (uint16_t)(7 + 2 * values.size()), unit, 16);
    put16(b, addr);
    put16(b, (uint16_t)values.size());
    b.push_back((uint8_t)(2 * values.size()));
    for (uint16_t v : values) put16(b, v);
    return b;
}

mb_bytes mb_report_frame(uint16_t tid, uint16_t addr, const std::vector<uint16_t> &values) {
    size_t n = values.size();
    mb_bytes b;
    put16(b, tid);
    put16(b, 0);
    b.push_back(0);
    b.push_back((uint8_t)(16 + 2 * n));
    b.push_back(0x01);
    b.push_back(0x41);
    b.push_back(0x91);
    b.push_back(0x00);
    b.push_back((uint8_t)(11 + 2 * n));
    for (uint8_t c : {0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01}) b.push_back(c);
    put16(b, addr);
    b.push_back(0);
    b.push_back((uint8_t)n);
    for (uint16_t v : values) put16(b, v);
    return b;
}

std::string mb_hex(const mb_bytes &b) {
    std::string s;
    char t[4];
    for (uint8_t c : b) {
        snprintf(t, sizeof t, "%02X ", c);
        s += t;
    }
    if (!s.empty()) s.pop_back();
    return s;
}

mb_bytes mb_read_exact(int fd, size_t n, int timeout_ms) {
    mb_bytes out;
    if (fd < 0) return out;
    int64_t deadline = monotime_ms() + timeout_ms;
    while (out.size() < n) {
        int64_t left = deadline - monotime_ms();
        if (left <= 0) break;
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, (int)left) <= 0) break;
        uint8_t buf[2048];
        size_t want = std::min(sizeof buf, n - out.size());
        ssize_t r = recv(fd, buf, want, 0);
        if (r <= 0) break;
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

mb_bytes mb_read_frame(int fd, int timeout_ms) {
    int64_t deadline = monotime_ms() + timeout_ms;
    mb_bytes head = mb_read_exact(fd, 6, timeout_ms);
    if (head.size() < 6) return {};
    size_t len = (size_t)((head[4] << 8) | head[5]);
    int left = (int)std::max<int64_t>(1, deadline - monotime_ms());
    mb_bytes rest = mb_read_exact(fd, len, left);
    if (rest.size() < len) return {};
    head.insert(head.end(), rest.begin(), rest.end());
    return head;
}

ModbusPeer::ModbusPeer(int backlog, int port) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons((uint16_t)port);
    bind(listen_fd_, (sockaddr *)&sa, sizeof sa);
    socklen_t sl = sizeof sa;
    getsockname(listen_fd_, (sockaddr *)&sa, &sl);
    port_ = ntohs(sa.sin_port);
    port_text_ = std::to_string(port_);
    if (backlog >= 0) listen(listen_fd_, backlog);
}

ModbusPeer::~ModbusPeer() {
    cut();
    close_listener();
}

bool ModbusPeer::listen_now(int backlog) {
    return listen(listen_fd_, backlog) == 0;
}

bool ModbusPeer::accept_within(int timeout_ms) {
    pollfd p = {listen_fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    int c = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return false;
    cut();
    conn_ = c;
    return true;
}

bool ModbusPeer::send_bytes(const mb_bytes &b) {
    size_t off = 0;
    while (off < b.size()) {
        ssize_t r = send(conn_, b.data() + off, b.size() - off, MSG_NOSIGNAL);
        if (r <= 0) return false;
        off += (size_t)r;
    }
    return true;
}

bool ModbusPeer::quiet_for(int ms) {
    pollfd p = {conn_, POLLIN, 0};
    return poll(&p, 1, ms) == 0;
}

bool ModbusPeer::closed_within(int timeout_ms) {
    int64_t deadline = monotime_ms() + timeout_ms;
    for (;;) {
        int64_t left = deadline - monotime_ms();
        if (left <= 0) return false;
        pollfd p = {conn_, POLLIN, 0};
        if (poll(&p, 1, (int)left) <= 0) return false;
        uint8_t buf[512];
        ssize_t r = recv(conn_, buf, sizeof buf, 0);
        if (r <= 0) return true;
    }
}

void ModbusPeer::cut() {
    if (conn_ >= 0) close(conn_);
    conn_ = -1;
}

void ModbusPeer::close_listener() {
    if (listen_fd_ >= 0) close(listen_fd_);
    listen_fd_ = -1;
}

int mb_hold_port(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons((uint16_t)port);
    if (bind(fd, (sockaddr *)&sa, sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int mb_closed_port(void) {
    // The socket stays bound (never listening) for the rest of the process: no other
    // process binding an ephemeral port, nor an outgoing connection, can be handed it.
    int fd = mb_hold_port(0);
    sockaddr_in sa = {};
    socklen_t sl = sizeof sa;
    if (fd < 0 || getsockname(fd, (sockaddr *)&sa, &sl) != 0) return -1;
    return ntohs(sa.sin_port);
}
