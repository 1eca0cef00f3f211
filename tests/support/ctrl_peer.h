// Scripted charging controller (0x11, 0x12) and lock/auxiliary-power/temperature
// board (0x13) on the master side of a pseudo-terminal. It builds and checks frames
// with its own bitwise CRC-16/MODBUS, so a wrong table in the program under test
// cannot agree with itself. Header-only: tests, benchmarks and the simulator share it.
#pragma once

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

using ctrl_bytes = std::vector<uint8_t>;

// CRC-16/MODBUS bit by bit: reflected polynomial 0xA001, start 0xFFFF.
inline uint16_t ctrl_crc16(const uint8_t *p, size_t n) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; i++) {
        crc ^= p[i];
        for (int b = 0; b < 8; b++) crc = (crc & 1) ? (uint16_t)((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

// addr, ~addr, L, body, CRC low byte, CRC high byte.
inline ctrl_bytes ctrl_frame(uint8_t addr, const ctrl_bytes &body) {
    // Sized once and filled (GCC 12 warns wrongly about an insert into a 3-byte vector).
    ctrl_bytes f(3 + body.size());
    f[0] = addr;
    f[1] = (uint8_t)~addr;
    f[2] = (uint8_t)body.size();
    std::copy(body.begin(), body.end(), f.begin() + 3);
    uint16_t crc = ctrl_crc16(f.data(), f.size());
    f.push_back((uint8_t)(crc & 0xFF));
    f.push_back((uint8_t)(crc >> 8));
    return f;
}

// A controller reply: seq, cmd, parameters.
inline ctrl_bytes ctrl_reply(uint8_t addr, uint8_t seq, uint8_t cmd,
                             const ctrl_bytes &params = {}) {
    ctrl_bytes body{seq, cmd};
    body.insert(body.end(), params.begin(), params.end());
    return ctrl_frame(addr, body);
}

inline void ctrl_put16(ctrl_bytes &b, uint16_t v) {
    b.push_back((uint8_t)(v >> 8));
    b.push_back((uint8_t)(v & 0xFF));
}

inline void ctrl_put32(ctrl_bytes &b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back((uint8_t)(v >> s));
}

// Command 0 with measurements, stage and gun type (L = 18).
inline ctrl_bytes ctrl_status(uint8_t addr, uint8_t seq, uint16_t maxI, uint16_t currI,
                              uint16_t currV, uint32_t totalE, uint32_t currE, uint8_t stage,
                              uint8_t type) {
    ctrl_bytes p;
    ctrl_put16(p, maxI);
    ctrl_put16(p, currI);
    ctrl_put16(p, currV);
    ctrl_put32(p, totalE);
    ctrl_put32(p, currE);
    p.push_back(stage);
    p.push_back(type);
    return ctrl_reply(addr, seq, 0, p);
}

// Command 3: voltage 0.1 V, current 0.1 A, more-commands byte.
inline ctrl_bytes ctrl_setvi(uint8_t addr, uint8_t seq, uint16_t dV, uint16_t dA) {
    ctrl_bytes p;
    ctrl_put16(p, dV);
    ctrl_put16(p, dA);
    p.push_back(0);
    return ctrl_reply(addr, seq, 3, p);
}

struct ctrl_board_state_t {
    uint8_t temp[6] = {20, 21, 22, 23, 24, 25};
    uint8_t emg = 0;
    uint8_t linkA = 1, linkB = 1;
    uint8_t lockA = 1, lockB = 1;
    uint8_t auxA = 1, auxB = 1;
};

// The board's 18-byte reply (L = 13).
inline ctrl_bytes ctrl_board_reply(uint8_t addr, const ctrl_board_state_t &s) {
    ctrl_bytes body(s.temp, s.temp + 6);
    body.insert(body.end(), {s.emg, s.linkA, s.linkB, s.lockA, s.lockB, s.auxA, s.auxB});
    return ctrl_frame(addr, body);
}

inline int64_t ctrl_now_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

struct ctrl_frame_t {
    ctrl_bytes bytes;
    int64_t first_ns = 0;  // arrival of the first byte
    bool crc_ok = false;
    // End of the peer's last reply before this frame (0 if none): turnaround base.
    int64_t after_reply_ns = 0;
};

// What the peer does when a frame arrives that asks for an answer.
struct ctrl_action_t {
    ctrl_bytes bytes;         // written as one block (may be garbage or cut short)
    int delay_ms = 0;         // before writing
    bool close_line = false;  // close the master instead of answering
};

class ctrl_peer_t {
  public:
    using script_fn = std::function<bool(const ctrl_bytes &req, ctrl_action_t *act)>;

    explicit ctrl_peer_t(int master_fd) : fd_(master_fd) {
        thread_ = std::thread([this] { run(); });
    }
    ~ctrl_peer_t() { stop(); }

    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

    // Answers to the polls (or board requests) of addr, used in order; when the
    // queue is empty the script function, then the default of addr, then silence.
    void queue(uint8_t addr, ctrl_action_t act) {
        std::lock_guard<std::mutex> g(mu_);
        queues_[addr].push_back(std::move(act));
    }
    void queue(uint8_t addr, ctrl_bytes bytes) { queue(addr, ctrl_action_t{std::move(bytes)}); }
    void set_default(uint8_t addr, ctrl_bytes bytes) {
        std::lock_guard<std::mutex> g(mu_);
        defaults_[addr] = std::move(bytes);
    }
    void clear_default(uint8_t addr) {
        std::lock_guard<std::mutex> g(mu_);
        defaults_.erase(addr);
    }
    // Board answering from a live state (defaults to the start state).
    void board_state(const ctrl_board_state_t &s) { set_default(0x13, ctrl_board_reply(0x13, s)); }
    void set_script(script_fn fn) {
        std::lock_guard<std::mutex> g(mu_);
        script_ = std::move(fn);
    }
    size_t pending(uint8_t addr) {
        std::lock_guard<std::mutex> g(mu_);
        return queues_[addr].size();
    }

    std::vector<ctrl_frame_t> frames() {
        std::lock_guard<std::mutex> g(mu_);
        return frames_;
    }
    size_t count() {
        std::lock_guard<std::mutex> g(mu_);
        return frames_.size();
    }
    void clear_frames() {
        std::lock_guard<std::mutex> g(mu_);
        frames_.clear();
    }
    // Waits until pred(frames) holds; false after timeout_ms.
    bool wait_for(const std::function<bool(const std::vector<ctrl_frame_t> &)> &pred,
                  int timeout_ms) {
        std::unique_lock<std::mutex> g(mu_);
        return cv_.wait_for(g, std::chrono::milliseconds(timeout_ms),
                            [&] { return pred(frames_); });
    }
    bool wait_count(size_t n, int timeout_ms) {
        return wait_for([n](const std::vector<ctrl_frame_t> &f) { return f.size() >= n; },
                        timeout_ms);
    }
    bool closed() const { return closed_; }

  private:
    // Polls (frame kind 0 at an address other than the board's) and board requests
    // want an answer; the terminal's responses (kind 1) do not.
    static bool wants_answer(const ctrl_bytes &f) {
        if (f.size() < 5) return false;
        if ((f[0] & 0x0F) == 3) return true;
        return f[3] == 0;
    }

    bool pick(const ctrl_bytes &req, ctrl_action_t *act) {
        std::lock_guard<std::mutex> g(mu_);
        auto &q = queues_[req[0]];
        if (!q.empty()) {
            *act = std::move(q.front());
            q.pop_front();
            return true;
        }
        if (script_ && script_(req, act)) return true;
        auto it = defaults_.find(req[0]);
        if (it == defaults_.end()) return false;
        act->bytes = it->second;
        return true;
    }

    void handle(ctrl_bytes frame, int64_t first_ns) {
        ctrl_frame_t rec;
        rec.first_ns = first_ns;
        rec.after_reply_ns = last_reply_ns_;
        size_t n = frame.size();
        rec.crc_ok = n >= 5 && ctrl_crc16(frame.data(), n - 2) ==
                                   (uint16_t)(frame[n - 2] | (frame[n - 1] << 8));
        rec.bytes = frame;
        ctrl_action_t act;
        bool answer = wants_answer(frame) && pick(frame, &act);
        {
            std::lock_guard<std::mutex> g(mu_);
            frames_.push_back(rec);
        }
        cv_.notify_all();
        if (!answer) return;
        if (act.delay_ms > 0) usleep((useconds_t)act.delay_ms * 1000);
        if (act.close_line) {
            close(fd_);
            fd_ = -1;
            closed_ = true;
            return;
        }
        if (!act.bytes.empty()) {
            ssize_t w = write(fd_, act.bytes.data(), act.bytes.size());
            (void)w;
            last_reply_ns_ = ctrl_now_ns();
        }
    }

    void run() {
        ctrl_bytes buf;
        int64_t first_ns = 0;
        while (!stop_ && fd_ >= 0) {
            struct pollfd p = {fd_, POLLIN, 0};
            int rc = poll(&p, 1, 20);
            if (rc <= 0) continue;
            if (p.revents & (POLLHUP | POLLERR)) {
                if (!(p.revents & POLLIN)) {
                    usleep(1000);
                    continue;
                }
            }
            uint8_t tmp[256];
            ssize_t r = read(fd_, tmp, sizeof tmp);
            if (r <= 0) {
                usleep(1000);
                continue;
            }
            if (buf.empty()) first_ns = ctrl_now_ns();
            buf.insert(buf.end(), tmp, tmp + r);
            // Cut frames by their header; a byte that cannot start one is dropped.
            while (buf.size() >= 3) {
                if (buf[0] != (uint8_t)~buf[1]) {
                    buf.erase(buf.begin());
                    continue;
                }
                size_t need = (size_t)buf[2] + 5;
                if (buf.size() < need) break;
                ctrl_bytes frame(buf.begin(), buf.begin() + (long)need);
                buf.erase(buf.begin(), buf.begin() + (long)need);
                handle(std::move(frame), first_ns);
                first_ns = ctrl_now_ns();
                if (fd_ < 0) return;
            }
        }
        if (fd_ >= 0 && closed_) close(fd_);
    }

    int fd_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> closed_{false};
    std::thread thread_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<ctrl_frame_t> frames_;
    std::map<uint8_t, std::deque<ctrl_action_t>> queues_;
    std::map<uint8_t, ctrl_bytes> defaults_;
    script_fn script_;
    int64_t last_reply_ns_ = 0;
};
