// Clocks, sleeping, hex dumps and register packing shared by every module, plus
// the host-run path resolver.
#include "tc_system.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>

#include "logger.h"

tcu_hooks_t tcu_hooks;

int64_t systime_ms(void) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (int64_t)tv.tv_sec * 1000 + tv.tv_usec / 1000;
}

int64_t monotime_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

struct timespec monotime_after(int timeout_ms) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += timeout_ms / 1000;
    t.tv_nsec += (long)(timeout_ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

char *format_local_time(char *buff, int bsize) {
    if (buff == nullptr || bsize <= 0) return buff;
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    if (strftime(buff, (size_t)bsize, "%Y-%m-%d %H:%M:%S", &tmv) == 0) buff[0] = '\0';
    return buff;
}

char *format_utc_time(char *buff, int bsize) {
    if (buff == nullptr || bsize <= 0) return buff;
    time_t now = time(nullptr);
    struct tm tmv;
    gmtime_r(&now, &tmv);
    if (strftime(buff, (size_t)bsize, "%Y-%m-%d %H:%M:%S", &tmv) == 0) buff[0] = '\0';
    return buff;
}

void msleep(int timeout) {
    if (timeout <= 0) return;
    // A signal interrupts select(); the sleep goes on for what is left of the
    // deadline. The time left is computed here rather than taken from select(),
    // which not every environment writes back (user-mode emulators do not).
    const int64_t deadline = monotime_ms() + timeout;
    for (;;) {
        int64_t left = deadline - monotime_ms();
        if (left <= 0) break;
        struct timeval tv;
        tv.tv_sec = (time_t)(left / 1000);
        tv.tv_usec = (suseconds_t)((left % 1000) * 1000);
        int rc = select(0, nullptr, nullptr, nullptr, &tv);
        if (rc < 0 && errno != EINTR) break;
    }
}

int printline(const char *title, const uint8_t *buff, int len) {
    printf("%s(%2d):", title ? title : "", len);
    for (int i = 0; i < len && buff != nullptr; i++) printf("%02x ", buff[i]);
    printf("\r\n");
    return len;
}

void dumpReg2String(uint8_t *dst, const uint16_t *src, int N) {
    if (dst == nullptr || src == nullptr) return;
    for (int i = 0; i < N; i++) {
        dst[2 * i] = (uint8_t)(src[i] >> 8);
        dst[2 * i + 1] = (uint8_t)(src[i] & 0xFF);
    }
}

void dumpString2Reg(uint16_t *dst, const uint8_t *src, int N) {
    if (dst == nullptr || src == nullptr) return;
    for (int j = 0; j < N; j += 2) {
        // An odd count ends with a zero low half instead of reading the byte past N.
        uint8_t lo = (j + 1 < N) ? src[j + 1] : 0;
        dst[j / 2] = (uint16_t)((src[j] << 8) | lo);
    }
}

const char *tcu_root(void) {
    const char *root = getenv("TCU_ROOT");
    return (root != nullptr) ? root : "";
}

int tcu_path(char *dst, size_t size, const char *fixed) {
    if (dst == nullptr || size == 0) return -1;
    int n = snprintf(dst, size, "%s%s", tcu_root(), fixed ? fixed : "");
    if (n < 0 || (size_t)n >= size) {
        dst[0] = '\0';
        return -1;
    }
    return n;
}

int tc_fail_gate_pass(tc_fail_gate_t *gate, int code, int64_t now_ms, int64_t interval_ms) {
    if (gate == nullptr) return 1;
    if (!gate->armed || gate->last_code != code || now_ms - gate->last_ms >= interval_ms ||
        now_ms < gate->last_ms) {
        gate->armed = 1;
        gate->last_code = code;
        gate->last_ms = now_ms;
        gate->suppressed = 0;
        return 1;
    }
    gate->suppressed++;
    return 0;
}

void tc_fail_gate_clear(tc_fail_gate_t *gate) {
    if (gate == nullptr) return;
    gate->armed = 0;
    gate->suppressed = 0;
}

int tc_poll_until(struct pollfd *fds, int nfds, int64_t deadline_ms) {
    for (;;) {
        int64_t left = deadline_ms - monotime_ms();
        if (left < 0) left = 0;
        int rc = poll(fds, (nfds_t)nfds, (int)(left > 0x7FFFFFFF ? 0x7FFFFFFF : left));
        if (rc < 0 && errno == EINTR) continue;
        return rc;
    }
}

int tc_wait_readable(int fd, int64_t deadline_ms) {
    struct pollfd p = {fd, POLLIN, 0};
    int rc = tc_poll_until(&p, 1, deadline_ms);
    if (rc <= 0) return rc;
    if ((p.revents & POLLNVAL) != 0) {
        errno = EBADF;
        return -1;
    }
    return 1;
}

namespace {

std::atomic<int> stop_count{0};
std::atomic<int> stop_pipe_r{-1};
std::atomic<int> stop_pipe_w{-1};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");

}  // namespace

int tc_stop_setup(void) {
    if (stop_pipe_r.load() >= 0) return 0;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    stop_pipe_w.store(fds[1]);
    stop_pipe_r.store(fds[0]);
    return 0;
}

void tc_stop_request(void) {
    int saved = errno;  // a signal handler must leave errno as it found it
    stop_count.fetch_add(1);
    int fd = stop_pipe_w.load();
    if (fd >= 0) {
        char one = 1;
        ssize_t n = write(fd, &one, 1);
        (void)n;  // a full pipe is already readable
    }
    errno = saved;
}

int tc_stop_requested(void) {
    return stop_count.load();
}

int tc_stop_fd(void) {
    return stop_pipe_r.load();
}
