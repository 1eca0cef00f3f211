// The log server's end of the terminal's UDP log mirror: a datagram socket on
// 127.0.0.1 that the mirror is pointed at, for the tests and the benchmarks alike.
// Header-only, so that a benchmark needs nothing beyond the terminal library.
//
// Two ways to use it, chosen when it is made:
//  - collecting (LOG_TAP_COLLECT): a thread stores every datagram as it arrives, so
//    none is lost however long the test looks elsewhere; wait_for, count, all and
//    clear look at what was stored.
//  - reading (LOG_TAP_READ): datagrams wait in the socket until recv_one, find or
//    drain take them, in the order they came; a tap nobody reads lets the kernel drop
//    what no longer fits, as a slow log server would.
// LOG_TAP_BIND points the logger's mirror at the tap when it is made; without it the
// test calls bind_logger() (or clog_bind_serverip with port()) when it wants to.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logger.h"
#include "tc_system.h"

enum : int { LOG_TAP_READ = 0, LOG_TAP_BIND = 1, LOG_TAP_COLLECT = 2 };

class LogTap {
  public:
    // Bound on a wait for a datagram that must come, not a timing check.
    static constexpr int kWaitMs = 10000;
    // find gives up after this many datagrams without its text.
    static constexpr int kFindMax = 1000;

    explicit LogTap(int flags = LOG_TAP_BIND | LOG_TAP_COLLECT) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int big = 4 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        socklen_t sl = sizeof sa;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &sl);
        port_ = ntohs(sa.sin_port);
        if (flags & LOG_TAP_BIND) bind_logger();
        if (flags & LOG_TAP_COLLECT) th_ = std::thread([this] { collect(); });
    }
    ~LogTap() {
        stop_ = 1;
        if (th_.joinable()) th_.join();
        if (fd_ >= 0) close(fd_);
    }
    LogTap(const LogTap &) = delete;
    LogTap &operator=(const LogTap &) = delete;

    uint16_t port() const { return port_; }
    int fd() const { return fd_; }
    void bind_logger() const { clog_bind_serverip("127.0.0.1", port_); }

    // ---- reading taps

    // The next datagram; false when none comes within wait_ms.
    bool recv_one(std::string *out, int wait_ms = kWaitMs) {
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, wait_ms) != 1) return false;
        char buf[2048];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n < 0) return false;
        out->assign(buf, (size_t)n);
        return true;
    }
    // The next datagram carrying needle, those before it skipped; false (and *out
    // empty) when none comes within wait_ms of the last, or after kFindMax others.
    bool find(const std::string &needle, std::string *out, int wait_ms = kWaitMs) {
        for (int i = 0; i < kFindMax; i++) {
            if (!recv_one(out, wait_ms)) break;
            if (out->find(needle) != std::string::npos) return true;
        }
        out->clear();
        return false;
    }
    // Discards what was received so far, stragglers of up to 50 ms included; returns
    // how many datagrams went.
    int drain() {
        int n = 0;
        std::string d;
        while (recv_one(&d, 50)) n++;
        return n;
    }

    // ---- collecting taps

    // True once a datagram stored since the last clear carries needle.
    bool wait_for(const std::string &needle, int timeout_ms) {
        int64_t deadline = monotime_ms() + timeout_ms;
        do {
            if (count(needle) > 0) return true;
            msleep(10);
        } while (monotime_ms() < deadline);
        return count(needle) > 0;
    }
    int count(const std::string &needle) {
        std::lock_guard<std::mutex> lk(mu_);
        int n = 0;
        for (const std::string &l : lines_)
            if (l.find(needle) != std::string::npos) n++;
        return n;
    }
    void clear() {
        std::lock_guard<std::mutex> lk(mu_);
        lines_.clear();
    }
    std::string all() {
        std::lock_guard<std::mutex> lk(mu_);
        std::string s;
        for (const std::string &l : lines_) s += l;
        return s;
    }

  private:
    void collect() {
        char buf[2048];
        while (!stop_) {
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            ssize_t r = recv(fd_, buf, sizeof buf, 0);
            if (r <= 0) continue;
            std::lock_guard<std::mutex> lk(mu_);
            lines_.emplace_back(buf, (size_t)r);
        }
    }

    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<int> stop_{0};
    std::thread th_;
    std::mutex mu_;
    std::vector<std::string> lines_;
};
