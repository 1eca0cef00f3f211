// POSIX interval timer whose expiries run a callback on a thread of their own
// (SIGEV_THREAD). The terminal program itself arms none.
#pragma once

#include <csignal>
#include <ctime>

struct ptimer_t {
    timer_t timerid;
    struct sigevent evp;
    struct itimerspec it;    // the last programmed first expiry and interval
    struct itimerspec save;  // spare setting, not used
    void *priv;              // handed to timeout_callback
    void (*timeout_callback)(void *priv);
    int created;  // timerid is valid: reset and exit never touch a timer that failed to exist
};

// Kept for its callers to come: nothing in the terminal creates a timer yet.
// Creates the timer on CLOCK_REALTIME when type is "systime", otherwise on
// CLOCK_MONOTONIC. The timer stays disarmed until com_ptimer_reset.
void com_ptimer_init(ptimer_t *ptimer, const char *type, void (*timeout_callback)(void *),
                     void *priv);
// Arms the timer: first expiry at start_ms as an absolute time on the timer's clock
// (a value already past fires at once; 0 disarms), then every interval_ms (0: once).
void com_ptimer_reset(ptimer_t *ptimer, int start_ms, int interval_ms);
// Deletes the timer. A callback already running may still be finishing.
void com_ptimer_exit(ptimer_t *ptimer);
// Runs at every expiry on a thread the system starts: calls timeout_callback(priv).
void com_ptimer_notify_function(union sigval value);
