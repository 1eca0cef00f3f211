// Supervision of the worker loops for the service manager. A hung worker (a sysfs
// read that never returns, a driver that blocks) leaves the process alive but the
// dispenser dead; the manager's watchdog can only restart it if the pings stop, so
// they are sent only while every loop's heartbeat moves.
#include "tc_watch.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "logger.h"
#include "tc_system.h"
#include "tc_tcu.h"

tc_watch_t tcuWatch;

int tc_watch_setup(tc_watch_t *w, const char *notify_socket, const char *watchdog_usec,
                   const char *watchdog_pid, long self_pid) {
    if (w == nullptr) return -1;
    memset(static_cast<void *>(w), 0, sizeof *w);
    return tc_notify_setup(&w->notify, notify_socket, watchdog_usec, watchdog_pid, self_pid);
}

int tc_watch_add(tc_watch_t *w, const char *name, const std::atomic<uint32_t> *heartbeat,
                 int limit_ms) {
    if (w == nullptr || heartbeat == nullptr) return -1;
    if (w->nworkers >= TC_WATCH_MAX_WORKERS) return -2;
    tc_watch_worker_t &k = w->workers[w->nworkers++];
    k.name = name != nullptr ? name : "?";
    k.heartbeat = heartbeat;
    k.limit_ms = limit_ms;
    k.seen = heartbeat->load(std::memory_order_relaxed);
    k.changed_ms = 0;
    k.stalled = 0;
    return 0;
}

int tc_watch_init(tc_watch_t *w) {
    if (w == nullptr) return -1;
    tc_watch_exit(w);  // a second run call must not leak the first one's socket
    int rc = tc_watch_setup(w, getenv("NOTIFY_SOCKET"), getenv("WATCHDOG_USEC"),
                            getenv("WATCHDOG_PID"), (long)getpid());
    tc_watch_add(w, "Modbus TCP", &modbusHW.heartbeat, TC_WATCH_MODBUS_MS);
    tc_watch_add(w, "GOOSE gun A", &gooseGUNA.heartbeat, TC_WATCH_GOOSE_MS);
    tc_watch_add(w, "GOOSE gun B", &gooseGUNB.heartbeat, TC_WATCH_GOOSE_MS);
    tc_watch_add(w, "co-processor", &stm32F103.heartbeat, TC_WATCH_STM32_MS);
    tc_watch_add(w, "controller polling", &ccuASTZQ.heartbeat, TC_WATCH_AST_MS);
    w->status_fn = tc_watch_status_links;
    return rc;
}

namespace {

// Sends the status when its text changed; the same text goes to the log once.
void watch_status(tc_watch_t *w, int64_t now_ms, const char *prefix) {
    char text[TC_WATCH_STATUS_SIZE];
    memcpy(text, w->status, sizeof text);
    w->status_fn(text, (int)sizeof text, now_ms);
    text[sizeof text - 1] = '\0';
    if (prefix == nullptr && strcmp(text, w->status) == 0) return;
    bool changed = strcmp(text, w->status) != 0;
    memcpy(w->status, text, sizeof text);
    char msg[TC_WATCH_STATUS_SIZE + 32];
    snprintf(msg, sizeof msg, "%sSTATUS=%s", prefix != nullptr ? prefix : "", text);
    tc_notify_send(&w->notify, msg, now_ms);
    if (changed) TCU_LOG(3, "status: %s\n", text);
}

}  // namespace

int tc_watch_ready(tc_watch_t *w, int64_t now_ms) {
    if (w == nullptr) return -1;
    if (w->ready) return 0;
    w->ready = 1;
    for (int i = 0; i < w->nworkers; i++) {
        tc_watch_worker_t &k = w->workers[i];
        k.seen = k.heartbeat->load(std::memory_order_relaxed);
        k.changed_ms = now_ms;
        k.stalled = 0;
    }
    w->next_status_ms = now_ms + TC_WATCH_STATUS_MS;
    if (w->status_fn != nullptr) {
        watch_status(w, now_ms, "READY=1\n");
    } else {
        tc_notify_send(&w->notify, "READY=1", now_ms);
    }
    TCU_LOG(3, "%d workers running: ready\n", w->nworkers);
    // The first ping follows at once (tick), so a short period starts fed.
    w->next_ping_ms = now_ms;
    return tc_watch_tick(w, now_ms);
}

int tc_watch_tick(tc_watch_t *w, int64_t now_ms) {
    if (w == nullptr) return -1;
    if (!w->ready || w->stopping) return 0;
    int stalled = 0;
    for (int i = 0; i < w->nworkers; i++) {
        tc_watch_worker_t &k = w->workers[i];
        uint32_t v = k.heartbeat->load(std::memory_order_relaxed);
        if (v != k.seen) {
            k.seen = v;
            k.changed_ms = now_ms;
            if (k.stalled) {
                k.stalled = 0;
                TCU_LOG(3, "worker %s moves again\n", k.name);
            }
        } else if (now_ms - k.changed_ms > k.limit_ms && !k.stalled) {
            k.stalled = 1;
            TCU_LOG(1,
                    "worker %s made no progress for %lld ms (longest legitimate wait %d ms): "
                    "watchdog pings stopped\n",
                    k.name, (long long)(now_ms - k.changed_ms), k.limit_ms);
        }
        stalled += k.stalled;
    }
    int64_t period = w->notify.watchdog_ms;
    if (period > 0 && stalled == 0 && now_ms >= w->next_ping_ms) {
        tc_notify_send(&w->notify, "WATCHDOG=1", now_ms);
        w->pings++;
        w->next_ping_ms = now_ms + period / 2;
    }
    if (w->status_fn != nullptr && now_ms >= w->next_status_ms) {
        w->next_status_ms = now_ms + TC_WATCH_STATUS_MS;
        watch_status(w, now_ms, nullptr);
    }
    return stalled;
}

int tc_watch_stopping(tc_watch_t *w, int64_t now_ms) {
    if (w == nullptr) return -1;
    if (w->stopping) return 0;
    w->stopping = 1;
    if (tc_notify_send(&w->notify, "STOPPING=1\nSTATUS=orderly stop in progress", now_ms) == 0)
        TCU_LOG(3, "orderly stop: the service manager is told\n");
    return 0;
}

void tc_watch_exit(tc_watch_t *w) {
    if (w == nullptr) return;
    tc_notify_exit(&w->notify);
}

// ---- Status of the links ----

namespace {

// A look waits this long at most for a link's mutex: long enough for the short
// holds of normal work, far below a ping interval.
constexpr int kLookWaitMs = 20;

// Last values read from the links: a link whose mutex stays held keeps what was
// read before (the main thread never waits on a link for longer than a look).
struct watch_view_t {
    int pu_seen;  // read at least once
    int pu_connected;
    int pu_tls;
    int goose_seen[2];
    int goose_state[2];
    uint16_t goose_type[2];
    uint16_t goose_reason[2];
    int goose_key[2];
};
watch_view_t view;

const char *stage_text(uint8_t stage, char *tmp, int size) {
    static constexpr const char *kStage[] = {
        "idle",      "fault",    "plugged in", "fault, plugged in", "starting", "insulation check",
        "precharge", "charging", "end"};
    if (stage < sizeof kStage / sizeof kStage[0]) return kStage[stage];
    snprintf(tmp, (size_t)size, "stage %u", (unsigned)stage);
    return tmp;
}

const char *request_text(int g, char *tmp, int size) {
    if (!view.goose_seen[g]) return "unknown";
    static constexpr const char *kPower[] = {
        nullptr,     "placeholder power", "insulation check start", "insulation check stop",
        "precharge", "charging"};
    static constexpr const char *kReason[] = {
        "normal",          "gun fell off", "gun offline", "insulation fault",    "emergency stop",
        "parameter fault", "SECC fault",   "EVCC fault",  "communication fault", "host fault"};
    if (view.goose_state[g] == GHWS_POWER_REQUEST) {
        uint16_t t = view.goose_type[g];
        if (t < sizeof kPower / sizeof kPower[0] && kPower[t] != nullptr) return kPower[t];
        snprintf(tmp, (size_t)size, "power type %u", (unsigned)t);
        return tmp;
    }
    if (view.goose_state[g] == GHWS_SHUTDOWN_REQUEST) {
        uint16_t r = view.goose_reason[g];
        if (r < sizeof kReason / sizeof kReason[0])
            snprintf(tmp, (size_t)size, "shutdown (%s)", kReason[r]);
        else
            snprintf(tmp, (size_t)size, "shutdown (reason %u)", (unsigned)r);
        return tmp;
    }
    return "none";
}

// Tries for up to kLookWaitMs in 1 ms steps: bounded by counting, so no clock step
// can stretch it.
int look_lock(pthread_mutex_t *mutex) {
    for (int i = 0;; i++) {
        int rc = pthread_mutex_trylock(mutex);
        if (rc == 0 || i >= kLookWaitMs) return rc;
        msleep(1);
    }
}

void look_at_links(void) {
    if (look_lock(&modbusHW.mutex) == 0) {
        view.pu_seen = 1;
        view.pu_connected = modbusHW.fd > 0;
        view.pu_tls = modbusHW.fd > 0 ? modbusHW.ssl != nullptr : modbusHW.ssl_enable != 0;
        pthread_mutex_unlock(&modbusHW.mutex);
    }
    goose_HW_t *goose[2] = {&gooseGUNA, &gooseGUNB};
    for (int g = 0; g < 2; g++) {
        if (look_lock(&goose[g]->mutex) != 0) continue;
        view.goose_seen[g] = 1;
        view.goose_state[g] = goose[g]->state.load();
        view.goose_type[g] = goose[g]->power_request.type;
        view.goose_reason[g] = goose[g]->shutdown_request.reason;
        int key = 0;
        for (uint8_t b : goose[g]->HMAC) key |= b;
        view.goose_key[g] = key != 0;
        pthread_mutex_unlock(&goose[g]->mutex);
    }
}

bool answering(const std::atomic<int64_t> &answered_ms, int64_t now_ms) {
    int64_t t = answered_ms.load(std::memory_order_relaxed);
    return t != 0 && now_ms - t <= TC_WATCH_ANSWER_MS;
}

}  // namespace

void tc_watch_status_links(char *buf, int size, int64_t now_ms) {
    if (buf == nullptr || size <= 0) return;
    look_at_links();
    char st[2][24];
    char rq[2][48];
    const char *stage[2];
    const char *request[2];
    for (int g = 0; g < 2; g++) {
        stage[g] = stage_text(ccuASTZQ.stage_seen[g].load(std::memory_order_relaxed), st[g],
                              (int)sizeof st[g]);
        request[g] = request_text(g, rq[g], (int)sizeof rq[g]);
    }
    snprintf(buf, (size_t)size,
             "power unit %s (%s); gun A: controller %s, %s, last request %s; gun B: controller "
             "%s, %s, last request %s; board %s; GOOSE key A %s, B %s",
             !view.pu_seen       ? "unknown"
             : view.pu_connected ? "connected"
                                 : "not connected",
             view.pu_tls ? "TLS" : "plain",
             answering(ccuASTZQ.answered_ms[0], now_ms) ? "answering" : "not answering", stage[0],
             request[0], answering(ccuASTZQ.answered_ms[1], now_ms) ? "answering" : "not answering",
             stage[1], request[1],
             answering(ccuASTZQ.answered_ms[2], now_ms) ? "answering" : "not answering",
             !view.goose_seen[0] ? "unknown"
             : view.goose_key[0] ? "set"
                                 : "not set",
             !view.goose_seen[1] ? "unknown"
             : view.goose_key[1] ? "set"
                                 : "not set");
}
