// The terminal under a service manager: tells it when the workers run and when the
// orderly stop begins, feeds its watchdog only while every worker loop shows
// progress, and keeps a status line for the technician. Runs on the main thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "tc_notify.h"

// Longest legitimate time between two turns of each worker loop; a heartbeat that
// stands still longer is a hang (the sums behind each figure: docs/reliability.md).
constexpr int TC_WATCH_MODBUS_MS = 15000;  // 1 s receive + a 5 s send behind another
                                           // sender's 5 s send; a 3 s connect
constexpr int TC_WATCH_GOOSE_MS = 10000;   // 5 s repetition pause + the send
constexpr int TC_WATCH_STM32_MS = 15000;   // 1 s cycle + GPIO + reports as above
constexpr int TC_WATCH_AST_MS = 20000;     // 4 exchanges of 1.6 s + reports as above
// How often the main thread's wait must call tc_watch_tick.
constexpr int TC_WATCH_TICK_MS = 250;
// A device whose last usable answer is older than this is "not answering".
constexpr int TC_WATCH_ANSWER_MS = 5000;
constexpr int TC_WATCH_STATUS_MS = 1000;  // the status is looked at no more often
constexpr int TC_WATCH_MAX_WORKERS = 8;
constexpr int TC_WATCH_STATUS_SIZE = 400;

struct tc_watch_worker_t {
    const char *name;
    const std::atomic<uint32_t> *heartbeat;
    int limit_ms;
    uint32_t seen;       // heartbeat value at the last change
    int64_t changed_ms;  // when it last changed (monotonic)
    int stalled;         // named in the log and holding the pings back
};

// Writes the status text into buf (size bytes, terminated). Runs on the main thread
// and must never wait for a link: what it cannot read at once it takes from its last
// look.
typedef void (*tc_watch_status_fn)(char *buf, int size, int64_t now_ms);

struct tc_watch_t {
    tc_notify_t notify;
    tc_watch_worker_t workers[TC_WATCH_MAX_WORKERS];
    int nworkers;
    tc_watch_status_fn status_fn;  // null: no status line
    int ready;                     // READY=1 sent; pings and status from now on
    int stopping;                  // STOPPING=1 sent; nothing more
    int64_t next_ping_ms;
    int64_t next_status_ms;
    uint32_t pings;                     // WATCHDOG=1 sent, for the tests
    char status[TC_WATCH_STATUS_SIZE];  // last status sent
};

// The one supervisor of the process.
extern tc_watch_t tcuWatch;

// From the given manager variables (see tc_notify_setup), no workers yet.
int tc_watch_setup(tc_watch_t *w, const char *notify_socket, const char *watchdog_usec,
                   const char *watchdog_pid, long self_pid);
// Watches one more heartbeat. -2 when the table is full.
int tc_watch_add(tc_watch_t *w, const char *name, const std::atomic<uint32_t> *heartbeat,
                 int limit_ms);
// This process: the environment, the five link workers and their status line.
int tc_watch_init(tc_watch_t *w);
// READY=1 with the first status, once the workers run.
int tc_watch_ready(tc_watch_t *w, int64_t now_ms);
// Heartbeats, the watchdog ping when due and every worker progressed, and the
// status when it changed. Call at least every TC_WATCH_TICK_MS.
int tc_watch_tick(tc_watch_t *w, int64_t now_ms);
// STOPPING=1 when the orderly stop begins; no pings after it.
int tc_watch_stopping(tc_watch_t *w, int64_t now_ms);
void tc_watch_exit(tc_watch_t *w);

// The technician's status of the live links (the tc_watch_status_fn of this process).
void tc_watch_status_links(char *buf, int size, int64_t now_ms);
