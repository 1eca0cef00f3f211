// Small helpers every module shares: clocks, sleeping, hex dumps, the register
// packing of texts, MAC addresses and numbers, big-endian wire fields, the mutex
// guard, the deadline wait on descriptors, host-run path resolution, the gate that
// keeps a repeating failure from flooding the log, and the program's test hooks.
#pragma once

#include <poll.h>
#include <pthread.h>

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <ctime>

// Wall clock, milliseconds since 1970-01-01 UTC (time stamps, never deadlines).
int64_t systime_ms(void);
// Monotonic clock in milliseconds: every deadline and time-out runs on it, so a
// clock step at boot (NTP) never stretches or cuts a wait.
int64_t monotime_ms(void);
// The monotonic clock's time timeout_ms from now, for the clock-taking waits
// (pthread_clockjoin_np, sem_clockwait, a condition variable on CLOCK_MONOTONIC).
struct timespec monotime_after(int timeout_ms);

// Kept for its callers to come: nothing in the terminal formats the time yet.
char *format_local_time(char *buff, int bsize);
char *format_utc_time(char *buff, int bsize);
void msleep(int timeout);
int printline(const char *title, const uint8_t *buff, int len);

// Registers hold two bytes each, the first byte in the high half.
void dumpReg2String(uint8_t *dst, const uint16_t *src, int N);  // N registers
void dumpString2Reg(uint16_t *dst, const uint8_t *src, int N);  // N bytes

// Big-endian fields, as every 16- and 32-bit field of the Modbus, GOOSE and
// controller frames is carried (the serial CRCs excepted).
constexpr uint16_t get_be16(const uint8_t *p) {
    return (uint16_t)((p[0] << 8) | p[1]);
}
constexpr void put_be16(uint8_t *p, uint16_t v) {
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)(v & 0xFF);
}
constexpr uint32_t get_be32(const uint8_t *p) {
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}
constexpr void put_be32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}
// IEEE-754 single as four big-endian bytes (GOOSE data-set entries).
constexpr float get_be_float(const uint8_t *p) {
    return std::bit_cast<float>(get_be32(p));
}

// Numbers in the register image: a float takes two registers, a double four, the
// most significant word at the lowest address.
constexpr float regs_to_float(const uint16_t *regs) {
    return std::bit_cast<float>(((uint32_t)regs[0] << 16) | regs[1]);
}
constexpr void float_to_regs(uint16_t *regs, float v) {
    uint32_t bits = std::bit_cast<uint32_t>(v);
    regs[0] = (uint16_t)(bits >> 16);
    regs[1] = (uint16_t)(bits & 0xFFFF);
}
constexpr void double_to_regs(uint16_t *regs, double v) {
    uint64_t bits = std::bit_cast<uint64_t>(v);
    for (int i = 0; i < 4; i++) regs[i] = (uint16_t)(bits >> (48 - 16 * i));
}

// Holds a pthread mutex until the end of the scope (std::lock_guard takes none).
// unlock() lets it go early, before a call that must not run under it; lock() takes
// it again.
class tc_lock {
  public:
    explicit tc_lock(pthread_mutex_t *m) : m_(m) { pthread_mutex_lock(m_); }
    ~tc_lock() {
        if (held_) pthread_mutex_unlock(m_);
    }
    tc_lock(const tc_lock &) = delete;
    tc_lock &operator=(const tc_lock &) = delete;
    void unlock() {
        pthread_mutex_unlock(m_);
        held_ = false;
    }
    void lock() {
        pthread_mutex_lock(m_);
        held_ = true;
    }

  private:
    pthread_mutex_t *m_;
    bool held_ = true;
};

// Host runs: with TCU_ROOT set and not empty, every fixed absolute path of the
// program lives under it. Returns "" when unset.
const char *tcu_root(void);
// Writes TCU_ROOT + fixed into dst. Returns the length, or -1 when it does not fit
// (dst then holds an empty string).
int tcu_path(char *dst, size_t size, const char *fixed);

// Logs the first failure of a kind at once, then the same failure at most once
// per interval; a different code or a success (tc_fail_gate_clear) opens it again.
struct tc_fail_gate_t {
    int64_t last_ms;
    int last_code;
    int armed;  // nonzero once a failure has been logged
    int suppressed;
};
// 1 when the caller should log this failure now, 0 to stay quiet.
int tc_fail_gate_pass(tc_fail_gate_t *gate, int code, int64_t now_ms, int64_t interval_ms = 60000);
void tc_fail_gate_clear(tc_fail_gate_t *gate);

// The one deadline wait on descriptors: poll on fds until one of them is ready or
// the monotonic deadline passes (a deadline already past still looks once). The
// number of ready entries, 0 deadline passed, -1 failed wait (errno set). EINTR is
// absorbed: the wait goes on to the same deadline. Negative fds are left out.
int tc_poll_until(struct pollfd *fds, int nfds, int64_t deadline_ms);
// The same for one descriptor to become readable (or hung up): 1 readable, 0
// deadline passed, -1 failed wait (errno set; EBADF for a closed fd). A negative fd
// just waits out the deadline.
int tc_wait_readable(int fd, int64_t deadline_ms);

// Orderly stop of the whole process. tc_stop_request is async-signal-safe: it only
// counts the request and writes one byte to a pipe that the main thread waits on.
// tc_stop_setup creates the pipe (once; -1 when it cannot be created).
int tc_stop_setup(void);
void tc_stop_request(void);
// Number of stop requests so far (0: running).
int tc_stop_requested(void);
// Read end of the pipe: readable from the first request on (never drained).
int tc_stop_fd(void);

// ---- test hooks ------------------------------------------------------------------------
// Every part of app_ZQHW that a test or a benchmark may replace, in this one record and
// nowhere else. The program never writes it: as initialised, it is the board's program.
// A test sets a field before it starts what reads it and puts the initial value back
// when it is done (several tests run in one process). Each field is read where it
// applies, with one atomic load and no lock.
//   gpio_shell      runs one board I/O shell text (export, direction, value);
//                   null: /bin/sh. Tests record the text against a fake sysfs tree.
//   can_shell       runs the `ip link` text of com_CAN_init; null: system().
//   log_clock       the logger's clock for line stamps, file names and date rotation;
//                   null: time().
//   log_retry_ms    pause after a failed log file open before the next attempt.
//   log_console     0: the log writer does not echo its chunks on standard output.
//   log_hold        nonzero: the log writer waits before it takes the next chunk, so a
//                   test can fill the ring; it goes on once the field is 0 again.
//   stm32_cycle_ms  the co-processor's sampling period.
using tc_shell_fn = int (*)(const char *command);
using tc_clock_fn = time_t (*)(void);
struct tcu_hooks_t {
    std::atomic<tc_shell_fn> gpio_shell{nullptr};
    std::atomic<tc_shell_fn> can_shell{nullptr};
    std::atomic<tc_clock_fn> log_clock{nullptr};
    std::atomic<int> log_retry_ms{10000};
    std::atomic<int> log_console{1};
    std::atomic<int> log_hold{0};
    std::atomic<int> stm32_cycle_ms{1000};
};
extern tcu_hooks_t tcu_hooks;
