// POSIX interval timer wrapper: thread notification straight into the record's
// callback, clock chosen by name, times in milliseconds.
#include "ptimer.h"

#include <cstring>

#include "logger.h"

namespace {

struct timespec ms_to_timespec(int ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    return ts;
}

}  // namespace

void com_ptimer_notify_function(union sigval value) {
    ptimer_t *ptimer = static_cast<ptimer_t *>(value.sival_ptr);
    if (ptimer != nullptr && ptimer->timeout_callback != nullptr) {
        ptimer->timeout_callback(ptimer->priv);
    }
}

void com_ptimer_init(ptimer_t *ptimer, const char *type, void (*timeout_callback)(void *),
                     void *priv) {
    if (ptimer == nullptr) return;
    ptimer->created = 0;
    ptimer->priv = priv;
    ptimer->timeout_callback = timeout_callback;
    memset(&ptimer->evp, 0, sizeof ptimer->evp);
    ptimer->evp.sigev_value.sival_ptr = ptimer;
    ptimer->evp.sigev_notify = SIGEV_THREAD;
    ptimer->evp.sigev_notify_function = com_ptimer_notify_function;
    clockid_t clock =
        (type != nullptr && strcmp(type, "systime") == 0) ? CLOCK_REALTIME : CLOCK_MONOTONIC;
    if (timer_create(clock, &ptimer->evp, &ptimer->timerid) != 0) {
        TCU_LOG(1, ":%p\n", (void *)ptimer);
        return;
    }
    ptimer->created = 1;
}

void com_ptimer_reset(ptimer_t *ptimer, int start_ms, int interval_ms) {
    if (ptimer == nullptr) return;
    ptimer->it.it_interval = ms_to_timespec(interval_ms);
    ptimer->it.it_value = ms_to_timespec(start_ms);
    if (!ptimer->created ||
        timer_settime(ptimer->timerid, TIMER_ABSTIME, &ptimer->it, nullptr) != 0) {
        TCU_LOG(1, ":%p\n", (void *)ptimer);
    }
}

void com_ptimer_exit(ptimer_t *ptimer) {
    if (ptimer == nullptr) return;
    if (!ptimer->created || timer_delete(ptimer->timerid) != 0) {
        TCU_LOG(1, ":%p\n", (void *)ptimer);
        return;
    }
    ptimer->created = 0;
}
