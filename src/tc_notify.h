// Readiness, watchdog and status notifications to the service manager that started
// the terminal: one datagram per message on the AF_UNIX socket the manager names in
// NOTIFY_SOCKET. Without that variable (host runs, BusyBox init) nothing is sent.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>

#include "tc_system.h"

// A manager's watchdog period below this is raised to it: the pings come from the
// main thread's wait, which cannot keep a shorter period.
constexpr int64_t TC_NOTIFY_MIN_WATCHDOG_MS = 1000;

struct tc_notify_t {
    int fd;  // non-blocking datagram socket; <= 0: nothing is ever sent
    struct sockaddr_un addr;
    socklen_t addr_len;
    int64_t watchdog_ms;       // period the manager watches; 0: no pings are due
    tc_fail_gate_t send_gate;  // a manager that does not read costs one line a minute
};

// Takes the manager's variables as given (null: absent); self_pid is this process.
// 1 when a socket is named and open, 0 when nothing will be sent (no variable), -2
// for a name that cannot be a socket address (logged), -3 when no socket could be
// created. The watchdog period is set whenever WATCHDOG_USEC is usable and
// WATCHDOG_PID is absent or names self_pid; every refused value is logged.
int tc_notify_setup(tc_notify_t *n, const char *notify_socket, const char *watchdog_usec,
                    const char *watchdog_pid, long self_pid);
// One datagram with the text (lines "NAME=value" joined by '\n'). Never blocks.
// 0 sent, 1 nothing to send to, -1 null, -2 the manager did not take it.
int tc_notify_send(tc_notify_t *n, const char *text, int64_t now_ms);
void tc_notify_exit(tc_notify_t *n);
