// The service manager's notification protocol, written out: a datagram of
// "NAME=value" lines to the socket in NOTIFY_SOCKET ('@' starts an abstract name).
// The manager must never be able to hold up the caller, so the socket is
// non-blocking and a message it does not take is dropped and logged.
#include "tc_notify.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "logger.h"

namespace {

// Decimal digits only, no sign, no blanks: what the manager writes. -1 otherwise
// (also on overflow).
int parse_decimal(const char *text, unsigned long long *value) {
    if (text == nullptr || text[0] == '\0') return -1;
    for (const char *p = text; *p != '\0'; p++)
        if (*p < '0' || *p > '9') return -1;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno == ERANGE || end == nullptr || *end != '\0') return -1;
    *value = v;
    return 0;
}

// The watchdog period in ms, 0 for none; refused and raised values are logged.
int64_t watchdog_period(const char *watchdog_usec, const char *watchdog_pid, long self_pid) {
    if (watchdog_usec == nullptr) return 0;
    if (watchdog_pid != nullptr) {
        unsigned long long pid = 0;
        if (parse_decimal(watchdog_pid, &pid) != 0 || pid != (unsigned long long)self_pid) {
            TCU_LOG(3, "WATCHDOG_PID=%.32s is not this process (%ld): no watchdog pings\n",
                    watchdog_pid, self_pid);
            return 0;
        }
    }
    unsigned long long usec = 0;
    if (parse_decimal(watchdog_usec, &usec) != 0) {
        TCU_LOG(1, "WATCHDOG_USEC=%.32s is not a number of microseconds: no watchdog pings\n",
                watchdog_usec);
        return 0;
    }
    if (usec == 0) {
        TCU_LOG(3, "WATCHDOG_USEC=0: the manager keeps no watchdog, no pings\n");
        return 0;
    }
    auto ms = (int64_t)(usec / 1000);
    if (ms < TC_NOTIFY_MIN_WATCHDOG_MS) {
        TCU_LOG(1, "WATCHDOG_USEC=%llu is below %lld ms: pinging as for %lld ms\n", usec,
                (long long)TC_NOTIFY_MIN_WATCHDOG_MS, (long long)TC_NOTIFY_MIN_WATCHDOG_MS);
        ms = TC_NOTIFY_MIN_WATCHDOG_MS;
    }
    return ms;
}

// Fills the address from the variable's text: an absolute path, or '@' and an
// abstract name (the '@' becomes the leading NUL). -1 when it cannot be one.
int notify_address(tc_notify_t *n, const char *name) {
    size_t len = strlen(name);
    memset(&n->addr, 0, sizeof n->addr);
    n->addr.sun_family = AF_UNIX;
    // The path form needs its terminating NUL inside sun_path; the abstract form
    // spends that byte on the leading NUL instead.
    if (len < 2 || len > sizeof n->addr.sun_path) return -1;
    if (name[0] == '/' && len < sizeof n->addr.sun_path) {
        memcpy(n->addr.sun_path, name, len);
        n->addr_len = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + len + 1);
        return 0;
    }
    if (name[0] == '@') {
        // Abstract names are not NUL-terminated: the length says where they end.
        memcpy(n->addr.sun_path + 1, name + 1, len - 1);
        n->addr_len = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + len);
        return 0;
    }
    return -1;
}

}  // namespace

int tc_notify_setup(tc_notify_t *n, const char *notify_socket, const char *watchdog_usec,
                    const char *watchdog_pid, long self_pid) {
    if (n == nullptr) return -1;
    memset(static_cast<void *>(n), 0, sizeof *n);
    n->fd = -1;
    tc_fail_gate_clear(&n->send_gate);
    // No manager asked to be told: host runs and BusyBox boards stay exactly as before.
    if (notify_socket == nullptr) return 0;
    if (notify_address(n, notify_socket) != 0) {
        TCU_LOG(1,
                "NOTIFY_SOCKET=%.120s is no socket address (absolute path or @name, at most "
                "%d bytes): no notifications\n",
                notify_socket, (int)sizeof n->addr.sun_path - 1);
        return -2;
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        TCU_LOG(1, "notification socket: %s: no notifications\n", strerror(errno));
        return -3;
    }
    // Descriptor 0 reads as "closed" in several modules' conventions: keep above it.
    if (fd == 0) {
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        if (moved < 0) return -3;
        fd = moved;
    }
    n->fd = fd;
    n->watchdog_ms = watchdog_period(watchdog_usec, watchdog_pid, self_pid);
    TCU_LOG(3, "service manager at %s, watchdog %lld ms\n", notify_socket,
            (long long)n->watchdog_ms);
    return 1;
}

int tc_notify_send(tc_notify_t *n, const char *text, int64_t now_ms) {
    if (n == nullptr || text == nullptr) return -1;
    if (n->fd <= 0) return 1;  // a zeroed record (never set up) has fd 0: nothing
    ssize_t r;
    do {
        r = sendto(n->fd, text, strlen(text), MSG_NOSIGNAL | MSG_DONTWAIT,
                   reinterpret_cast<const struct sockaddr *>(&n->addr), n->addr_len);
    } while (r < 0 && errno == EINTR);
    if (r >= 0) return 0;
    int err = errno;
    // One code for every cause: a manager gone or not reading is one condition, and
    // the log must see it at most once a minute however the error alternates.
    int missed = n->send_gate.suppressed;
    if (tc_fail_gate_pass(&n->send_gate, 1, now_ms)) {
        const char *nl = strchr(text, '\n');
        int shown = nl != nullptr ? (int)(nl - text) : (int)strlen(text);
        if (shown > 40) shown = 40;
        TCU_LOG(1,
                "notification \"%.*s\" not taken by the service manager: %s (%d more lost "
                "since the last line)\n",
                shown, text, strerror(err), missed);
    }
    return -2;
}

void tc_notify_exit(tc_notify_t *n) {
    if (n == nullptr) return;
    if (n->fd > 0) close(n->fd);
    n->fd = -1;
}
