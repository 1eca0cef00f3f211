// Asynchronous logger: callers format a line on their own stack, mirror it to the
// UDP log server and copy it into a ring; one writer thread drains the ring to
// standard output and to log files rotated by date and size, keeping a fixed count.
#include "logger.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tc_system.h"
#include "tc_thread.h"

clog_t clogger;

// The clock of stamps, names and rotation: tcu_hooks.log_clock when a test set one.
static time_t clog_clock(void) {
    tc_clock_fn clock = tcu_hooks.log_clock.load(std::memory_order_relaxed);
    return clock != nullptr ? clock() : time(nullptr);
}

static constexpr const char *console_color_info[6] = {"35;22m", "31;22m", "33;22m",
                                                      "36;22m", "32;22m", "34;22m"};
static constexpr char color_reset[] = "\x1b[0m\n";
static constexpr int color_reset_len = sizeof color_reset - 1;
// Header and message end here so that the reset code still fits in the line.
static constexpr int line_body_max = CLOG_LINE_MAX - color_reset_len;
static constexpr uint64_t peer_bound_bit = 1ull << 48;

static pthread_once_t clog_once = PTHREAD_ONCE_INIT;
// Only the writer (and clog_init before it starts) opens files.
static tc_fail_gate_t clog_open_gate;

// The ring lock and the semaphore live for the whole process: a line printed by
// another thread while clog_exit runs must never touch a destroyed lock.
// getpid is a system call on every call; a forked child looks its own up again.
static std::atomic<int> clog_pid{0};
static void clog_forked_child(void) {
    clog_pid.store(0, std::memory_order_relaxed);
}

static void clog_once_init(void) {
    pthread_mutex_init(&clogger.mutex, nullptr);
    sem_init(&clogger.sempare, 0, 0);
    pthread_atfork(nullptr, nullptr, clog_forked_child);
}

namespace {

struct stamp_cache_t {
    time_t sec = -1;
    int len = 0;
    char text[32] = {};
};
thread_local stamp_cache_t t_stamp;
thread_local long t_tid = 0;

// Appends printf output of at most cap - 1 bytes, never past line_body_max.
int line_append(char *line, int pos, int cap, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
int line_append(char *line, int pos, int cap, const char *fmt, ...) {
    int room = line_body_max - pos + 1;
    if (room <= 1) return pos;
    if (cap > room) cap = room;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line + pos, (size_t)cap, fmt, ap);
    va_end(ap);
    if (n < 0) return pos;
    return pos + (n < cap ? n : cap - 1);
}

int clog_send_dgram(const char *dgram, int len) {
    int fd = clogger.zqlog_fd.load(std::memory_order_acquire);
    uint64_t dest = clogger.peer_dest.load(std::memory_order_acquire);
    if (fd < 0 || (dest & peer_bound_bit) == 0) return -1;
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl((uint32_t)(dest >> 16));
    sa.sin_port = htons((uint16_t)(dest & 0xFFFF));
    // Never wait on the network in the caller's thread: a full socket buffer drops the line.
    return (int)sendto(fd, dgram, (size_t)len, MSG_DONTWAIT | MSG_NOSIGNAL,
                       reinterpret_cast<struct sockaddr *>(&sa), sizeof sa);
}

void clog_stdout(const char *line, int len) {
    fwrite(line, 1, (size_t)len, stdout);
    fflush(stdout);
}

// Calendar time of a local broken-down time, without touching the argument.
time_t clog_mktime(const struct tm *ltm) {
    struct tm t = *ltm;
    t.tm_isdst = -1;
    return mktime(&t);
}

bool clog_listed(const clog_t *clog, const char *name) {
    if (strcmp(name, clog->cur_name) == 0) return true;
    for (int i = 0; clog->flist != nullptr && i < clog->fnumb; i++)
        if (strcmp(clog->flist[i], name) == 0) return true;
    return false;
}

void clog_release(clog_t *clog) {
    if (clog->fp != nullptr) {
        fflush(clog->fp);
        fclose(clog->fp);
        clog->fp = nullptr;
    }
    if (clog->flist != nullptr) {
        for (int i = 0; i < clog->max_filenumb; i++) free(clog->flist[i]);
        free(clog->flist);
        clog->flist = nullptr;
    }
    free(clog->flutc);
    clog->flutc = nullptr;
    free(clog->log_filename);
    clog->log_filename = nullptr;
    free(clog->log_pathname);
    clog->log_pathname = nullptr;
    clog->fnumb = 0;
}

// Opens a log file for appending; a failure is remembered for the retry pause and
// reported (the same error at most once a minute).
FILE *clog_open_path(clog_t *clog, const char *path) {
    // Close-on-exec: the shell commands of the board I/O must not inherit the log.
    // No symbolic link is followed: a link planted under the log's name would have
    // the terminal append to (and rotation count) whatever file it points at.
    int fd = open(path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0666);
    FILE *fp = fd >= 0 ? fdopen(fd, "a+") : nullptr;
    if (fp == nullptr) {
        int err = errno;
        if (fd >= 0) close(fd);
        clog->reopen_ms = monotime_ms();
        if (tc_fail_gate_pass(&clog_open_gate, err, clog->reopen_ms))
            clog_print(1, "TCU", "clog_fopen", __FILE__, __LINE__, "log file %s: %s\n", path,
                       strerror(err));
        return nullptr;
    }
    return fp;
}

// After a failed write (disk full, medium error) the current file is opened again
// rather than rotated, so that a full disk does not cost one old log file per retry.
// Without a current file (directory missing at start-up) a new file is opened.
void clog_freopen(clog_t *clog, time_t now, const struct tm *tm_now) {
    if (clog->cur_name[0] == '\0') {
        clog->utc = now;
        clog->ltm = *tm_now;
        clog_fopen(clog);
        return;
    }
    char path[512];
    int n = snprintf(path, sizeof path, "%s/%s", clog->log_pathname, clog->cur_name);
    if (n <= 0 || n >= (int)sizeof path) return;
    clog->fp = clog_open_path(clog, path);
    if (clog->fp == nullptr) return;
    fseek(clog->fp, 0, SEEK_END);
    long size = ftell(clog->fp);
    clog->log_filesize = size > 0 && size < INT_MAX ? (int)size : 0;
}

// Takes and writes one chunk; returns its length (0 when the ring was empty).
int clog_write_chunk(clog_t *clog) {
    pthread_mutex_lock(&clog->mutex);
    if (clog->bytes == 0) {
        pthread_mutex_unlock(&clog->mutex);
        return 0;
    }
    int n = clog_ring_take(clog, clog->obuf);
    clog->busy.store(1);
    pthread_mutex_unlock(&clog->mutex);

    if (tcu_hooks.log_console.load(std::memory_order_relaxed)) clog_stdout(clog->obuf, n);

    time_t now = clog_clock();
    struct tm tm_now;
    localtime_r(&now, &tm_now);
    if (tm_now.tm_yday != clog->ltm.tm_yday || tm_now.tm_year != clog->ltm.tm_year) {
        clog->utc = now;
        clog->ltm = tm_now;
        clog_fopen(clog);
    } else if (clog->fp == nullptr &&
               monotime_ms() - clog->reopen_ms >= tcu_hooks.log_retry_ms.load()) {
        // Log directory missing, unwritable or full a while ago: try again.
        clog_freopen(clog, now, &tm_now);
    }
    if ((int64_t)n + clog->log_filesize >= clog->max_filesize) {
        clog->utc = now;
        clog->ltm = tm_now;
        clog_fopen(clog);
        if (n > clog->max_filesize) {
            clog->busy.store(0);
            return n;
        }
    }
    if (clog->fp != nullptr) {
        clog->log_filesize += n;
        if (fwrite(clog->obuf, 1, (size_t)n, clog->fp) != (size_t)n || fflush(clog->fp) != 0) {
            int err = errno;
            fclose(clog->fp);
            clog->fp = nullptr;
            clog->reopen_ms = monotime_ms();
            if (tc_fail_gate_pass(&clog_open_gate, err, clog->reopen_ms))
                clog_print(1, "TCU", __func__, __FILE__, __LINE__, "log file %s: write: %s\n",
                           clog->cur_name, strerror(err));
        } else if (clog_open_gate.armed) {
            // Only a write that lands ends a failure; a file that opens but can't be
            // written would otherwise report itself on every retry.
            tc_fail_gate_clear(&clog_open_gate);
        }
    }
    clog->busy.store(0);
    return n;
}

}  // namespace

int clog_ring_put(clog_t *clog, const char *line, int len) {
    if (clog == nullptr || line == nullptr || len <= 0) return 0;
    if (len > CLOG_RING_SIZE) {
        // Only the newest bytes of an oversize record can survive anyway.
        line += len - CLOG_RING_SIZE;
        len = CLOG_RING_SIZE;
    }
    if (clog->idx_w + len > CLOG_RING_SIZE) {
        int first = CLOG_RING_SIZE - clog->idx_w;
        memcpy(clog->buff + clog->idx_w, line, (size_t)first);
        memcpy(clog->buff, line + first, (size_t)(len - first));
        clog->idx_w = len - first;
    } else {
        memcpy(clog->buff + clog->idx_w, line, (size_t)len);
        clog->idx_w += len;
    }
    clog->bytes += len;
    if (clog->bytes > CLOG_RING_SIZE) {
        // The oldest unread bytes are gone; the next drain starts at the write position.
        clog->idx_r = clog->idx_w;
        clog->bytes = CLOG_RING_SIZE;
    }
    return len;
}

int clog_ring_take(clog_t *clog, char *out) {
    if (clog == nullptr || out == nullptr || clog->bytes <= 0) return 0;
    int n = clog->bytes;
    int first = CLOG_RING_SIZE - clog->idx_r;
    if (first > n) first = n;
    memcpy(out, clog->buff + clog->idx_r, (size_t)first);
    memcpy(out + first, clog->buff, (size_t)(n - first));
    clog->bytes = 0;
    clog->idx_r = clog->idx_w;
    return n;
}

int clog_print(int level, const char *tag, const char *FUNCNAME, const char *FILENAME, int LINENO,
               const char *format, ...) {
    // The datagram is "HW|" followed by the line: building the line in place saves a copy.
    char dgram[CLOG_DGRAM_SIZE];
    dgram[0] = 'H';
    dgram[1] = 'W';
    dgram[2] = '|';
    char *line = dgram + 3;

    if (level < 0) level = 0;
    if (level > 5) level = 5;
    line[0] = '\x1b';
    line[1] = '[';
    memcpy(line + 2, console_color_info[level], 6);
    int pos = 8;

    time_t now = clog_clock();
    if (t_stamp.sec != now) {
        struct tm ltm;
        localtime_r(&now, &ltm);
        t_stamp.len = (int)strftime(t_stamp.text, sizeof t_stamp.text, "%F %T", &ltm);
        t_stamp.sec = now;
    }
    memcpy(line + pos, t_stamp.text, (size_t)t_stamp.len);
    pos += t_stamp.len;

    if (t_tid == 0) t_tid = (long)gettid();
    int pid = clog_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = (int)getpid();
        // Kept only once clog_init has hooked fork.
        if (clogger.active.load(std::memory_order_relaxed)) clog_pid.store(pid);
    }
    pos = line_append(line, pos, 16, " PID:%6d", pid);
    pos = line_append(line, pos, 16, " TID:%6ld", t_tid);
    if (tag != nullptr) pos = line_append(line, pos, 6, " %s ", tag);
    const char *file = FILENAME != nullptr ? FILENAME : "";
    const char *slash = strrchr(file, '/');
    if (slash != nullptr) file = slash + 1;
    pos = line_append(line, pos, 64, " %-33s %17s:%3d | ", FUNCNAME != nullptr ? FUNCNAME : "",
                      file, LINENO);

    int room = line_body_max - pos + 1;
    if (format != nullptr && room > 1) {
        va_list ap;
        va_start(ap, format);
        int n = vsnprintf(line + pos, (size_t)room, format, ap);
        va_end(ap);
        if (n >= room) {
            // Cut: keep the record's own line break ahead of the reset line.
            pos = line_body_max;
            line[pos - 1] = '\n';
        } else if (n > 0) {
            pos += n;
        }
    }
    memcpy(line + pos, color_reset, color_reset_len);
    int len = pos + color_reset_len;

    clog_send_dgram(dgram, len + 3);

    if (!clogger.active.load(std::memory_order_acquire)) {
        clog_stdout(line, len);
        return len;
    }
    pthread_mutex_lock(&clogger.mutex);
    if (!clogger.active.load(std::memory_order_relaxed)) {
        pthread_mutex_unlock(&clogger.mutex);
        clog_stdout(line, len);
        return len;
    }
    const int before = clogger.bytes;
    clog_ring_put(&clogger, line, len);
    // The writer takes everything per wake-up: a caller wakes it only when it sleeps
    // on an empty ring, or when the ring passes half full during its short wait (so
    // a burst is not cut by the ring wrapping).
    bool wake = clogger.writer_waiting != 0 ||
                (before < CLOG_RING_SIZE / 2 && clogger.bytes >= CLOG_RING_SIZE / 2);
    clogger.writer_waiting = 0;
    pthread_mutex_unlock(&clogger.mutex);
    if (wake) sem_post(&clogger.sempare);
    return len;
}

int clog_sendto_serverip(const char *line, int len) {
    if (line == nullptr) return -1;
    if (len < 0) len = (int)strnlen(line, CLOG_LINE_MAX);
    if (len > CLOG_LINE_MAX) len = CLOG_LINE_MAX;
    char dgram[CLOG_DGRAM_SIZE];
    memcpy(dgram, "HW|", 3);
    memcpy(dgram + 3, line, (size_t)len);
    return clog_send_dgram(dgram, len + 3);
}

void clog_bind_serverip(const char *serverip, uint16_t port) {
    struct in_addr addr = {};
    if (serverip == nullptr || inet_pton(AF_INET, serverip, &addr) != 1) {
        // Left unbound rather than aimed at 255.255.255.255.
        clog_print(1, "TCU", __func__, __FILE__, __LINE__, "log server address '%s' invalid\n",
                   serverip != nullptr ? serverip : "");
        return;
    }
    if (clogger.zqlog_fd.load() < 0) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            clog_print(1, "TCU", __func__, __FILE__, __LINE__, "socket: %s\n", strerror(errno));
            return;
        }
        clogger.zqlog_fd.store(fd, std::memory_order_release);
    }
    clogger.peer_addr = {};
    clogger.peer_addr.sin_family = AF_INET;
    clogger.peer_addr.sin_addr = addr;
    clogger.peer_addr.sin_port = htons(port);
    clogger.peer_addrlen = sizeof clogger.peer_addr;
    clogger.peer_dest.store(peer_bound_bit | (uint64_t)ntohl(addr.s_addr) << 16 | port,
                            std::memory_order_release);
}

int clog_parse_name(const char *base, const char *name, time_t *utc) {
    if (base == nullptr || name == nullptr) return -1;
    size_t bl = strlen(base);
    if (strncmp(name, base, bl) != 0) return -1;
    const char *s = name + bl;
    if (strlen(s) != CLOG_NAME_SUFFIX) return -2;
    if (s[0] != '_' || s[9] != '_' || strcmp(s + 16, ".log") != 0) return -3;
    int v[14];
    for (int i = 0; i < 14; i++) {
        char c = s[i < 8 ? 1 + i : 2 + i];
        if (c < '0' || c > '9') return -4;
        v[i] = c - '0';
    }
    struct tm t = {};
    t.tm_year = v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3] - 1900;
    t.tm_mon = v[4] * 10 + v[5] - 1;
    t.tm_mday = v[6] * 10 + v[7];
    t.tm_hour = v[8] * 10 + v[9];
    t.tm_min = v[10] * 10 + v[11];
    t.tm_sec = v[12] * 10 + v[13];
    if (t.tm_mon < 0 || t.tm_mon > 11 || t.tm_mday < 1 || t.tm_mday > 31 || t.tm_hour > 23 ||
        t.tm_min > 59 || t.tm_sec > 60)
        return -5;
    t.tm_isdst = -1;
    if (utc != nullptr) *utc = mktime(&t);
    return 0;
}

// Keeps the max_filenumb newest names, oldest first. An entry that falls out is
// deleted from the directory, unless it is the file being written.
int clog_flast(clog_t *clog, time_t utc, const char *name) {
    if (clog == nullptr || name == nullptr || clog->flist == nullptr || clog->flutc == nullptr ||
        clog->max_filenumb <= 0)
        return -1;
    char **fl = clog->flist;
    time_t *ft = clog->flutc;
    // The same name again (reopened, or scanned after being opened): one entry.
    for (int i = 0; i < clog->fnumb; i++) {
        if (strcmp(fl[i], name) != 0) continue;
        char *buf = fl[i];
        for (int j = i; j + 1 < clog->fnumb; j++) {
            fl[j] = fl[j + 1];
            ft[j] = ft[j + 1];
        }
        clog->fnumb--;
        fl[clog->fnumb] = buf;
        break;
    }
    char victim[512] = "";
    if (clog->fnumb >= clog->max_filenumb) {
        if (utc < ft[0] && strcmp(name, clog->cur_name) != 0) {
            // Older than everything kept: it goes, the list stays.
            snprintf(victim, sizeof victim, "%s", name);
        } else {
            snprintf(victim, sizeof victim, "%s", fl[0]);
            char *buf = fl[0];
            for (int j = 0; j + 1 < clog->fnumb; j++) {
                fl[j] = fl[j + 1];
                ft[j] = ft[j + 1];
            }
            clog->fnumb--;
            fl[clog->fnumb] = buf;
        }
    }
    if (victim[0] == '\0' || strcmp(victim, name) != 0) {
        int pos = clog->fnumb;
        char *buf = fl[pos];
        while (pos > 0 && ft[pos - 1] > utc) {
            fl[pos] = fl[pos - 1];
            ft[pos] = ft[pos - 1];
            pos--;
        }
        fl[pos] = buf;
        ft[pos] = utc;
        snprintf(buf, strlen(clog->log_filename) + 32, "%s", name);
        clog->fnumb++;
    }
    if (victim[0] == '\0' || strcmp(victim, clog->cur_name) == 0) return 0;
    char path[512];
    int n = snprintf(path, sizeof path, "%s/%s", clog->log_pathname, victim);
    if (n > 0 && n < (int)sizeof path) unlink(path);
    return 1;
}

int clog_fload(clog_t *clog) {
    if (clog == nullptr || clog->log_pathname == nullptr || clog->log_filename == nullptr)
        return -1;
    DIR *dir = opendir(clog->log_pathname);
    if (dir == nullptr) return -2;
    int count = 0;
    struct dirent *de;
    while ((de = readdir(dir)) != nullptr) {
        time_t utc;
        // Names that only begin with the base name (notes, copies, other tools) stay untouched.
        if (clog_parse_name(clog->log_filename, de->d_name, &utc) != 0) continue;
        clog_flast(clog, utc, de->d_name);
        count++;
    }
    closedir(dir);
    return count;
}

int clog_fopen(clog_t *clog) {
    if (clog == nullptr) return -1;
    if (clog->fp != nullptr) {
        fclose(clog->fp);
        clog->fp = nullptr;
    }
    if (clog->log_pathname == nullptr || clog->log_filename == nullptr) return -2;
    char name[512];
    for (int tries = 0;; tries++) {
        snprintf(name, sizeof name, "%s_%04d%02d%02d_%02d%02d%02d.log", clog->log_filename,
                 clog->ltm.tm_year + 1900, clog->ltm.tm_mon + 1, clog->ltm.tm_mday,
                 clog->ltm.tm_hour, clog->ltm.tm_min, clog->ltm.tm_sec);
        // A rotation must start a fresh file: when the stamp names a file already
        // kept (two rotations within one second), step it on by a second.
        if (clog->cur_name[0] == '\0' || !clog_listed(clog, name) || tries >= 3600) break;
        time_t next = clog_mktime(&clog->ltm) + 1;
        localtime_r(&next, &clog->ltm);
    }
    char path[512];
    int n = snprintf(path, sizeof path, "%s/%s", clog->log_pathname, name);
    if (n <= 0 || n >= (int)sizeof path) return -3;
    clog->log_filesize = 0;
    clog->fp = clog_open_path(clog, path);
    if (clog->fp == nullptr) return -4;
    snprintf(clog->cur_name, sizeof clog->cur_name, "%s", name);
    // The file being written ranks newest whatever its stamp says: after a clock
    // step back (a board starting in 1970) retention still removes the oldest
    // file on disk, never the current one.
    time_t utc = clog_mktime(&clog->ltm);
    if (clog->flutc != nullptr && clog->fnumb > 0 && clog->flutc[clog->fnumb - 1] > utc)
        utc = clog->flutc[clog->fnumb - 1];
    clog_flast(clog, utc, name);
    return 0;
}

// ---------------------------------------------------------------------------
// Per-site rate limit of lines set off by a peer.

namespace {

constexpr int kRateSites = 128;
pthread_mutex_t rate_list_mutex = PTHREAD_MUTEX_INITIALIZER;
clog_rate_t *rate_list[kRateSites];
int rate_count = 0;
// Sites holding drops not yet summarised: the writer then wakes once a second.
std::atomic<int> rate_pending{0};

void rate_summary(const clog_rate_t *r, int count) {
    clog_print(r->level, "TCU", r->func, r->file, r->line, "... %d similar lines suppressed\n",
               count);
}

}  // namespace

int clog_rate_pass(clog_rate_t *rate, int level, const char *func, const char *file, int line) {
    if (rate == nullptr) return 1;
    const int64_t now = monotime_ms();
    int summary = 0;
    int pass;
    bool list = false;
    bool started = false;
    constexpr int64_t kCapacity = (int64_t)CLOG_RATE_BURST * 1000;
    pthread_mutex_lock(&rate->mutex);
    if (!rate->used) {
        rate->used = true;
        rate->tokens = kCapacity;
    } else if (now > rate->refill_ms) {
        rate->tokens =
            std::min(kCapacity, rate->tokens + (now - rate->refill_ms) * CLOG_RATE_LINES);
    }
    rate->refill_ms = now;
    if (rate->tokens >= 1000) {
        rate->tokens -= 1000;
        pass = 1;
        // Quiet for a while and now a line again: the last flood is over.
        if (rate->suppressed > 0 && now - rate->last_ms >= CLOG_RATE_QUIET_MS) {
            summary = rate->suppressed;
            rate->suppressed = 0;
        }
    } else {
        pass = 0;
        if (rate->suppressed == 0) {
            rate->first_ms = now;
            rate->func = func;
            rate->file = file;
            rate->line = line;
            rate->level = level;
            rate_pending.fetch_add(1);
            started = true;
            list = !rate->listed;
            rate->listed = true;
        }
        rate->suppressed++;
        rate->last_ms = now;
        if (now - rate->first_ms >= CLOG_RATE_SUMMARY_MS) {
            summary = rate->suppressed;
            rate->suppressed = 0;
        }
    }
    if (summary > 0) rate_pending.fetch_sub(1);
    pthread_mutex_unlock(&rate->mutex);
    if (list) {
        pthread_mutex_lock(&rate_list_mutex);
        if (rate_count < kRateSites) rate_list[rate_count++] = rate;
        pthread_mutex_unlock(&rate_list_mutex);
    }
    if (summary > 0) rate_summary(rate, summary);
    // A drop queues no line: a writer already asleep on an empty ring must still wake
    // to start looking for the end of this flood.
    if (started && clogger.active.load()) {
        pthread_mutex_lock(&clogger.mutex);
        bool wake = clogger.writer_waiting != 0;
        clogger.writer_waiting = 0;
        pthread_mutex_unlock(&clogger.mutex);
        if (wake) sem_post(&clogger.sempare);
    }
    return pass;
}

void clog_rate_flush(void) {
    if (rate_pending.load() == 0) return;
    const int64_t now = monotime_ms();
    pthread_mutex_lock(&rate_list_mutex);
    int n = rate_count;
    pthread_mutex_unlock(&rate_list_mutex);
    for (int i = 0; i < n; i++) {
        pthread_mutex_lock(&rate_list_mutex);
        clog_rate_t *r = rate_list[i];
        pthread_mutex_unlock(&rate_list_mutex);
        int summary = 0;
        pthread_mutex_lock(&r->mutex);
        if (r->suppressed > 0 && now - r->last_ms >= CLOG_RATE_QUIET_MS) {
            summary = r->suppressed;
            r->suppressed = 0;
            rate_pending.fetch_sub(1);
        }
        pthread_mutex_unlock(&r->mutex);
        if (summary > 0) rate_summary(r, summary);
    }
}

void *clog_loop(void *arg) {
    clog_t *clog = static_cast<clog_t *>(arg);
    tc_thread_altstack();  // a crash in here still opens the contactors
    for (;;) {
        // Block only on an empty ring; the flag is set under the ring's mutex, so a
        // line queued after this test always sees it and posts.
        pthread_mutex_lock(&clog->mutex);
        bool idle = clog->bytes == 0 && clog->quit.load() == 0;
        clog->writer_waiting = idle ? 1 : 0;
        pthread_mutex_unlock(&clog->mutex);
        if (idle && rate_pending.load() == 0) {
            while (sem_wait(&clog->sempare) != 0 && errno == EINTR) {
            }
        } else if (idle) {
            // Floods to summarise once they are over: look again in a second.
            struct timespec until;
            clock_gettime(CLOCK_MONOTONIC, &until);
            until.tv_sec += 1;
            while (sem_clockwait(&clog->sempare, CLOCK_MONOTONIC, &until) != 0 && errno == EINTR) {
            }
        }
        clog_rate_flush();
        int quit = clog->quit.load();
        while (tcu_hooks.log_hold.load(std::memory_order_acquire) != 0) msleep(1);
        // Lines queued before quit was raised are written before returning.
        clog_write_chunk(clog);
        if (quit) break;
        // Let the next lines gather; a post (half-full ring, clog_exit) ends it early.
        struct timespec until;
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_nsec += (long)CLOG_BATCH_MS * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
        while (sem_clockwait(&clog->sempare, CLOCK_MONOTONIC, &until) != 0 && errno == EINTR) {
        }
    }
    return nullptr;
}

void clog_init(const char *log_filename, int max_filesize, int max_filenumb) {
    pthread_once(&clog_once, clog_once_init);
    clog_t *clog = &clogger;
    if (clog->active.load()) clog_exit();

    pthread_mutex_lock(&clog->mutex);
    clog->idx_r = clog->idx_w = clog->bytes = 0;
    pthread_mutex_unlock(&clog->mutex);
    while (sem_trywait(&clog->sempare) == 0) {
    }
    clog->fp = nullptr;
    clog->log_filesize = 0;
    clog->max_filesize = max_filesize > 0 ? max_filesize : INT_MAX;
    clog->max_filenumb = max_filenumb > 0 ? max_filenumb : 1;
    clog->fnumb = 0;
    clog->flist = nullptr;
    clog->flutc = nullptr;
    clog->cur_name[0] = '\0';
    clog->busy.store(0);
    clog->reopen_ms = monotime_ms();
    tc_fail_gate_clear(&clog_open_gate);

    const char *path = log_filename != nullptr ? log_filename : "";
    const char *slash = strrchr(path, '/');
    if (slash == nullptr) {
        clog->log_pathname = strdup(".");
        clog->log_filename = strdup(path);
    } else {
        size_t dl = slash == path ? 1 : (size_t)(slash - path);
        clog->log_pathname = strndup(path, dl);
        clog->log_filename = strdup(slash + 1);
    }

    bool alloc_ok = clog->log_pathname != nullptr && clog->log_filename != nullptr;
    if (alloc_ok) {
        clog->flutc = static_cast<time_t *>(calloc((size_t)clog->max_filenumb, sizeof(time_t)));
        if (clog->flutc == nullptr) printf("malloc(%p) failed.\n", (void *)clog->flutc);
        clog->flist = static_cast<char **>(calloc((size_t)clog->max_filenumb, sizeof(char *)));
        if (clog->flist == nullptr) printf("malloc(%p) failed.\n", (void *)clog->flist);
        alloc_ok = clog->flutc != nullptr && clog->flist != nullptr;
        size_t nsize = strlen(clog->log_filename) + 32;
        for (int i = 0; alloc_ok && i < clog->max_filenumb; i++) {
            clog->flist[i] = static_cast<char *>(calloc(1, nsize));
            if (clog->flist[i] == nullptr) {
                printf("malloc(%d, %p) failed.\n", i, (void *)clog->flist[i]);
                alloc_ok = false;
            }
        }
    }
    if (!alloc_ok && clog->flist != nullptr) {
        // Without a complete list nothing is ever deleted.
        for (int i = 0; i < clog->max_filenumb; i++) free(clog->flist[i]);
        free(clog->flist);
        clog->flist = nullptr;
    }

    clog_fload(clog);
    clog->utc = clog_clock();
    localtime_r(&clog->utc, &clog->ltm);
    clog_fopen(clog);

    clog->quit.store(0);
    int rc = pthread_create(&clog->threadID, nullptr, clog_loop, clog);
    if (rc != 0) {
        printf("clog_init: pthread_create: %s\n", strerror(rc));
        clog_release(clog);
        return;
    }
    pthread_mutex_lock(&clog->mutex);
    clog->active.store(1, std::memory_order_release);
    pthread_mutex_unlock(&clog->mutex);
}

void clog_exit(void) {
    clog_exit_within(-1);
}

int clog_exit_within(int timeout_ms) {
    clog_t *clog = &clogger;
    if (!clog->active.load()) return 0;
    // From here on lines go to standard output; everything queued so far is written.
    pthread_mutex_lock(&clog->mutex);
    clog->active.store(0, std::memory_order_release);
    pthread_mutex_unlock(&clog->mutex);
    clog->quit.store(1);
    sem_post(&clog->sempare);
    if (timeout_ms < 0) {
        pthread_join(clog->threadID, nullptr);
    } else {
        const struct timespec until = monotime_after(timeout_ms);
        // A writer blocked on a stalled standard output keeps its buffers: nothing is
        // released under it.
        if (pthread_clockjoin_np(clog->threadID, nullptr, CLOCK_MONOTONIC, &until) == ETIMEDOUT)
            return 1;
    }
    clog->peer_dest.store(0, std::memory_order_release);
    clog_release(clog);
    return 0;
}

void show_flist(clog_t *clog) {
    if (clog == nullptr) return;
    printf("\nflist.fnumb:%d\n", clog->fnumb);
    for (int i = 0; i < clog->fnumb && clog->flist != nullptr && clog->flutc != nullptr; i++)
        printf("flist:%d, utc:%ld, log_filename:%s\n", i, (long)clog->flutc[i], clog->flist[i]);
    printf("\n");
}

int clog_drained(void) {
    pthread_once(&clog_once, clog_once_init);
    pthread_mutex_lock(&clogger.mutex);
    int drained = clogger.bytes == 0 && clogger.busy.load() == 0;
    pthread_mutex_unlock(&clogger.mutex);
    return drained;
}
