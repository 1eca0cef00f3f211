// Small helpers every module shares: clocks, sleeping, hex dumps, the register
// packing of texts and MAC addresses, host-run path resolution and the gate that
// keeps a repeating failure from flooding the log.
#pragma once

#include <cstddef>
#include <cstdint>

// Wall clock, milliseconds since 1970-01-01 UTC (time stamps, never deadlines).
int64_t systime_ms(void);
// Monotonic clock in milliseconds: every deadline and time-out runs on it, so a
// clock step at boot (NTP) never stretches or cuts a wait.
int64_t monotime_ms(void);

char *format_local_time(char *buff, int bsize);
char *format_utc_time(char *buff, int bsize);
void msleep(int timeout);
int printline(const char *title, const uint8_t *buff, int len);

// Registers hold two bytes each, the first byte in the high half.
void dumpReg2String(uint8_t *dst, const uint16_t *src, int N);  // N registers
void dumpString2Reg(uint16_t *dst, const uint8_t *src, int N);  // N bytes

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

// Waits until fd is readable (or hung up), or until the monotonic deadline passes:
// 1 readable, 0 deadline passed, -1 failed wait (errno set). EINTR is absorbed: the
// wait goes on to the same deadline. A negative fd just waits out the deadline.
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

// A version installed by zq_update runs on trial until it confirms itself: 60 s after the
// workers started (host runs: TCU_TRIAL_CONFIRM_MS under TCU_ROOT) the trial record
// "/home/root/etc/zq_update.trial" is removed, and zq_update then keeps this version instead
// of going back to the previous one.
struct tcu_trial_t {
    int64_t due_ms;  // monotonic time of the confirmation
    int done;
};
void tcu_trial_start(tcu_trial_t *trial, int64_t now_ms);
// Once due (and only once), removes the record if there is one and logs it. 1 when removed,
// 0 when not due, already done or without record, -1 when the record could not be removed.
int tcu_trial_confirm(tcu_trial_t *trial, int64_t now_ms);
