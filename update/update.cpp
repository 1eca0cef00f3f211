// Firmware updater: a TCP client of the HMI board that answers its version queries for the
// terminal program and installs an offered program image behind the fixed link
// "/home/root/bin/app_ZQHW", so that at every instant the link names a complete program.
#include "update.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ed25519.h"

zq_update_t update;

namespace {

[[maybe_unused]] constexpr int START_DELAY_MS = 10000;  // used by main() only
constexpr int RECV_TIMEOUT_MS = 30000;  // a silent HMI during a transfer is given up after this
constexpr int SEND_TIMEOUT_S = 30;      // also bounds a connect to an unreachable address
constexpr int KEEPALIVE_IDLE_S = 30;    // a half-open connection (HMI rebooted) is found by
constexpr int KEEPALIVE_INTVL_S = 5;    // keep-alive probes while waiting for a line
constexpr int KEEPALIVE_CNT = 4;

constexpr const char *LINK_PATH = "/home/root/bin/app_ZQHW";
constexpr const char *BIN_DIR = "/home/root/bin";
constexpr const char *PROGRAM_NAME = "app_ZQHW";
constexpr const char *KEY_PATH = "/home/root/etc/zq_update.pub";
constexpr const char *TRIAL_PATH = "/home/root/etc/zq_update.trial";
constexpr const char *TRIAL_TEMP_PATH = "/home/root/etc/zq_update.trial.new";

// What the board can hold: no image beyond 64 MiB, and 16 MiB of the program file system
// always left free for the terminal's own files.
constexpr long MAX_IMAGE_SIZE = 64L * 1024 * 1024;
constexpr long long SPACE_MARGIN = 16LL * 1024 * 1024;
// The whole transfer must be done within 60 s plus Size at 100 KiB/s (about 12 minutes for
// 64 MiB), however the bytes trickle in.
constexpr long long TRANSFER_BASE_MS = 60000;
constexpr long long TRANSFER_MIN_RATE = 100 * 1024;  // bytes per second
// A new version has this long from the updater's start to confirm itself.
#ifndef TCU_BUILD_TRIAL_WAIT_MS
#define TCU_BUILD_TRIAL_WAIT_MS 180000
#endif
constexpr int TRIAL_WAIT_MS = TCU_BUILD_TRIAL_WAIT_MS;
// The terminal's orderly stop (shutdown requests, contactors opened) gets this long.
constexpr int STOP_WAIT_MS = 5000;

constexpr char TRAILER_MAGIC[8] = {'T', 'C', 'U', 'S', 'I', 'G', '0', '1'};
constexpr int TRAILER_SIGNED_HEAD = 64;  // trailer bytes covered by the signature

constexpr const char *source_name(const char *path) {
    const char *base = path;
    for (; *path != '\0'; ++path) {
        if (*path == '/') base = path + 1;
    }
    return base;
}

}  // namespace

#define UPD_TRACE(fmt, ...) \
    printf("%s:%d, %s | " fmt, source_name(__FILE__), __LINE__, __func__ __VA_OPT__(, ) __VA_ARGS__)

// ---- host runs -----------------------------------------------------------------------------
//
// Every setting of a host run comes from the environment and is read here, once, and nowhere
// else (docs/zq_update.md lists them). On the board TCU_ROOT is unset or empty, and then
// every other one keeps its default whatever the environment holds.
//   TCU_ROOT                        prefix of every fixed path; not empty: a host run
//   ZQ_UPDATE_START_DELAY_MS        pause before the first connection
//   ZQ_UPDATE_RECV_TIMEOUT_MS       receive time-out during a transfer
//   ZQ_UPDATE_TRANSFER_DEADLINE_MS  deadline of a whole transfer
//   ZQ_UPDATE_SPACE_MARGIN          bytes of the program file system kept free beyond an offer
//   ZQ_UPDATE_TRIAL_WAIT_MS         time from start for a version on trial to confirm itself
//   ZQ_UPDATE_TRACE_READS           "1": one trace line per read of the image
//   ZQ_UPDATE_KILL_AT               the installation step at which the updater kills itself
// A number that does not parse as a whole number at or above 0 leaves the default.

namespace {

struct update_env_t {
    const char *root;    // "" on the board
    int start_delay_ms;  // -1 in all numbers: the default
    int recv_timeout_ms;
    long long transfer_deadline_ms;  // the default depends on the offer's size
    long long space_margin;
    int trial_wait_ms;
    bool trace_reads;
    const char *kill_at;  // null: never
};

long long env_number(const char *name, long long limit) {
    const char *text = getenv(name);
    if (text == nullptr || text[0] == '\0') return -1;
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < 0 || v > limit) return -1;
    return v;
}

update_env_t env_read(void) {
    update_env_t env = {"", -1, -1, -1, -1, -1, false, nullptr};
    const char *root = getenv("TCU_ROOT");
    if (root == nullptr || root[0] == '\0') return env;
    int saved = errno;
    env.root = root;
    env.start_delay_ms = (int)env_number("ZQ_UPDATE_START_DELAY_MS", INT_MAX);
    env.recv_timeout_ms = (int)env_number("ZQ_UPDATE_RECV_TIMEOUT_MS", INT_MAX);
    env.transfer_deadline_ms = env_number("ZQ_UPDATE_TRANSFER_DEADLINE_MS", LLONG_MAX);
    env.space_margin = env_number("ZQ_UPDATE_SPACE_MARGIN", LLONG_MAX);
    env.trial_wait_ms = (int)env_number("ZQ_UPDATE_TRIAL_WAIT_MS", INT_MAX);
    const char *trace = getenv("ZQ_UPDATE_TRACE_READS");
    env.trace_reads = trace != nullptr && strcmp(trace, "1") == 0;
    env.kill_at = getenv("ZQ_UPDATE_KILL_AT");
    errno = saved;
    return env;
}

const update_env_t &update_env(void) {
    static const update_env_t env = env_read();
    return env;
}

// A host-run setting, or its default.
template <typename T>
T env_or(T value, T dflt) {
    return value < 0 ? dflt : value;
}

}  // namespace

static bool update_host_run(void) {
    return update_env().root[0] != '\0';
}

int update_path(char *dst, size_t size, const char *fixed) {
    if (dst == nullptr || size == 0) return -1;
    int n = snprintf(dst, size, "%s%s", update_env().root, fixed != nullptr ? fixed : "");
    if (n < 0 || (size_t)n >= size) {
        dst[0] = '\0';
        return -1;
    }
    return n;
}

int64_t update_now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Host runs: ZQ_UPDATE_KILL_AT names an installation step at which the updater kills itself,
// as a power cut or an operator would, to prove the link never names a half-made program.
static void update_step(const char *step) {
    const char *kill_at = update_env().kill_at;
    if (kill_at == nullptr || strcmp(kill_at, step) != 0) return;
    UPD_TRACE("killed at %s\n", step);
    fflush(stdout);
    raise(SIGKILL);
}

static void update_msleep(int ms) {
    if (ms <= 0) return;
    struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Runs pkill or reboot without a shell. Host runs never touch the machine's own commands:
// only $TCU_ROOT/bin/<name> is run, and skipped when it is not there.
static int update_run(const char *name, const char *arg) {
    char cmd[128];
    snprintf(cmd, sizeof cmd, "%s%s%s", name, arg != nullptr ? " " : "", arg != nullptr ? arg : "");
    char path[ZQ_UPDATE_PATH_SIZE] = {0};
    bool host = update_host_run();
    if (host) {
        char fixed[64];
        snprintf(fixed, sizeof fixed, "/bin/%s", name);
        if (update_path(path, sizeof path, fixed) < 0 || access(path, X_OK) != 0) {
            UPD_TRACE("no %s under TCU_ROOT, skipped\n", name);
            return 0;
        }
    }
    char *argv[3] = {const_cast<char *>(name), const_cast<char *>(arg), nullptr};
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        if (host) {
            execv(path, argv);
        } else {
            execvp(name, argv);
        }
        _exit(127);
    }
    int ret = -1;
    if (pid > 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status)) {
            ret = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            ret = 128 + WTERMSIG(status);
        }
    }
    printf("ret = %d, cmd = %s\n", ret, cmd);
    return ret;
}

// ---- connection ----------------------------------------------------------------------------

static void update_drop(zq_update_t *upd) {
    if (upd->sock >= 0) {
        shutdown(upd->sock, SHUT_RDWR);
        close(upd->sock);
    }
    upd->sock = -1;
}

static void update_socket_options(int fd) {
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    int idle = KEEPALIVE_IDLE_S, intvl = KEEPALIVE_INTVL_S, cnt = KEEPALIVE_CNT;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &cnt, sizeof cnt);
    struct timeval tv = {SEND_TIMEOUT_S, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int android_connect(zq_update_t *upd) {
    if (upd == nullptr) return -1;
    while (upd->sock < 0) {
        // A socket whose connect failed is in an unspecified state: every attempt starts anew.
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            UPD_TRACE("create socket failed.retry...\n");
            update_msleep(1000);
            continue;
        }
        memset(&upd->addr, 0, sizeof upd->addr);
        upd->addr.sin_family = AF_INET;
        upd->addr.sin_addr.s_addr = inet_addr(upd->serverip);
        upd->addr.sin_port = htons((uint16_t)upd->port);
        upd->addrlen = sizeof upd->addr;
        update_socket_options(fd);
        if (connect(fd, (struct sockaddr *)&upd->addr, upd->addrlen) != 0) {
            UPD_TRACE("local socket connect to %s.%d failed.retry...\n", upd->serverip, upd->port);
            close(fd);
            update_msleep(1000);
            continue;
        }
        upd->sock = fd;
        printf("local socket connect to %s.%d ok.\n", upd->serverip, upd->port);
    }
    return 0;
}

int wait_android_message(zq_update_t *upd) {
    if (upd == nullptr) return -1;
    upd->rx_bytes = 0;
    upd->rx_buff[0] = '\0';
    while (upd->rx_bytes < ZQ_UPDATE_BUFF_SIZE) {
        // One byte at a time: the line ends exactly at its line feed, so the raw image that
        // follows the transfer request is never swallowed into a line.
        errno = 0;
        ssize_t ret = recv(upd->sock, upd->rx_buff + upd->rx_bytes, 1, 0);
        if (ret < 0 && errno == EINTR) continue;
        if (ret <= 0) {
            UPD_TRACE("ret : %d, errno:%d\n", (int)ret, errno);
            update_drop(upd);
            upd->rx_bytes = 0;
            upd->rx_buff[0] = '\0';
            return -1;
        }
        upd->rx_bytes++;
        upd->rx_buff[upd->rx_bytes] = '\0';
        if (upd->rx_bytes < 5) continue;
        if (memcmp(upd->rx_buff, "Event", 5) != 0) {
            // Leftovers of the previous line (a stray CR or LF) are skipped until "Event".
            memmove(upd->rx_buff, upd->rx_buff + 1, (size_t)upd->rx_bytes - 1);
            upd->rx_bytes--;
            upd->rx_buff[upd->rx_bytes] = '\0';
        } else if (upd->rx_buff[upd->rx_bytes - 1] == '\n') {
            UPD_TRACE("recv:%s\n", upd->rx_buff);
            return 0;
        }
    }
    // A full buffer without a line feed is dropped; the connection stays.
    return -1;
}

// ---- messages ------------------------------------------------------------------------------

static int update_send_text(zq_update_t *upd) {
    if (upd->sock < 0) return -1;
    size_t len = strlen(upd->tx_buff);
    size_t done = 0;
    while (done < len) {
        // A closed HMI must give an error here, never a SIGPIPE that ends the updater.
        ssize_t n = send(upd->sock, upd->tx_buff + done, len - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        done += (size_t)n;
    }
    return (int)done;
}

int android_NotifyUpdateFirmware_res(zq_update_t *upd, const char *status) {
    if (upd == nullptr || status == nullptr) return -1;
    snprintf(upd->tx_buff, sizeof upd->tx_buff,
             "Event=NotifyUpdateFirmware,Type=HW,Status=%s,Message=NONE\n", status);
    UPD_TRACE("send : %s\n", upd->tx_buff);
    return update_send_text(upd);
}

int android_RequestUpdateFirmware_req(zq_update_t *upd, const int version[3]) {
    if (upd == nullptr || version == nullptr) return -1;
    snprintf(upd->tx_buff, sizeof upd->tx_buff, "Event=UpdateFirmware,Type=HW,Version=%d.%d.%d\n",
             version[0], version[1], version[2]);
    UPD_TRACE("send : %s\n", upd->tx_buff);
    return update_send_text(upd);
}

int android_NotifyUpdateFirmwareResult_res(zq_update_t *upd, const char *status,
                                           const int version[3]) {
    if (upd == nullptr || status == nullptr || version == nullptr) return -1;
    snprintf(upd->tx_buff, sizeof upd->tx_buff,
             "Event=NotifyUpdateFirmwareResult,Type=HW,Status=%s,Version=%d.%d.%d,Message=NONE\n",
             status, version[0], version[1], version[2]);
    UPD_TRACE("send : %s\n", upd->tx_buff);
    return update_send_text(upd);
}

int android_GetFirmwareVersion_res(zq_update_t *upd) {
    if (upd == nullptr) return -1;
    snprintf(upd->tx_buff, sizeof upd->tx_buff,
             "Event=GetFirmwareVersion,Type=HW,Version=%d.%d.%d\n", upd->app_version[0],
             upd->app_version[1], upd->app_version[2]);
    UPD_TRACE("send : %s\n", upd->tx_buff);
    return update_send_text(upd);
}

// ---- installed version ---------------------------------------------------------------------

int android_LoadVersion(zq_update_t *upd, const char *linkname) {
    if (upd == nullptr) return -1;
    upd->app_version[0] = upd->app_version[1] = upd->app_version[2] = 0;
    char target[ZQ_UPDATE_PATH_SIZE] = {0};
    ssize_t n = linkname != nullptr ? readlink(linkname, target, sizeof target - 1) : -1;
    UPD_TRACE("app_version.linkname=%s\n", target);
    if (n <= 0) return 0;
    if (n >= (ssize_t)sizeof target - 1) {
        // The target may have been cut: a version read from it could be wrong.
        UPD_TRACE("link target too long, version unknown\n");
        return 0;
    }
    const char *tail = strstr(target, "app_ZQHW_");
    if (tail == nullptr) return 0;
    printf("%s\n", tail);
    // Numbers that do not parse stay 0: "app_ZQHW_1_2" is version 1.2.0.
    int *v = upd->app_version;
    sscanf(tail, "app_ZQHW_%d_%d_%d", &v[0], &v[1], &v[2]);
    UPD_TRACE("app_ZQHW_%d_%d_%d\n", v[0], v[1], v[2]);
    return 0;
}

// ---- offer ---------------------------------------------------------------------------------

static bool update_take_prefix(const char **p, const char *prefix) {
    size_t len = strlen(prefix);
    if (strncmp(*p, prefix, len) != 0) return false;
    *p += len;
    return true;
}

// A decimal int as the HMI protocol's %d reads it (leading blanks, optional sign);
// out-of-range values do not parse.
static bool update_take_int(const char **p, int *out) {
    const char *s = *p;
    while (isspace((unsigned char)*s)) s++;
    if (*s == '-' || *s == '+') s++;
    if (*s < '0' || *s > '9') return false;
    char *end = nullptr;
    errno = 0;
    long v = strtol(*p, &end, 10);
    if (errno != 0 || v < INT_MIN || v > INT_MAX) return false;
    *out = (int)v;
    *p = end;
    return true;
}

int android_ParseOffer(const char *line, int *size, int version[3]) {
    if (line == nullptr || size == nullptr || version == nullptr) return -1;
    int s = 0;
    int v[3] = {0, 0, 0};
    const char *p = line;
    int rc = 0;
    // Whatever follows the third number (a stray CR, further fields) is not read, as the
    // protocol's own parser never read it.
    if (!update_take_prefix(&p, "Event=NotifyUpdateFirmware,Type=HW,Size=") ||
        !update_take_int(&p, &s) || !update_take_prefix(&p, ",Version=") ||
        !update_take_int(&p, &v[0]) || !update_take_prefix(&p, ".") ||
        !update_take_int(&p, &v[1]) || !update_take_prefix(&p, ".") ||
        !update_take_int(&p, &v[2])) {
        rc = -2;
    } else if (s <= 0) {
        rc = -3;
    }
    // Whatever parsed is reported; nothing of an earlier offer survives.
    *size = s;
    memcpy(version, v, sizeof v);
    return rc;
}

// ---- download and installation -------------------------------------------------------------

static int update_temp_name(char *dst, size_t size, const char *filename) {
    int n = snprintf(dst, size, "%s.part", filename);
    return (n < 0 || (size_t)n >= size) ? -1 : 0;
}

// Makes renames in the file's directory durable.
static int update_sync_dir(const char *filename) {
    char dir[ZQ_UPDATE_PATH_SIZE];
    snprintf(dir, sizeof dir, "%s", filename);
    char *slash = strrchr(dir, '/');
    if (slash == nullptr) {
        snprintf(dir, sizeof dir, ".");
    } else if (slash == dir) {
        dir[1] = '\0';
    } else {
        *slash = '\0';
    }
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    int rc = fsync(fd);
    // Some file systems cannot sync a directory; the later sync() covers them.
    if (rc != 0 && errno == EINVAL) rc = 0;
    close(fd);
    return rc;
}

// The image ends in something that claims to be a signature trailer.
static bool update_has_trailer(const zq_update_t *upd) {
    return upd->tail_bytes == ZQ_UPDATE_TRAILER_SIZE &&
           memcmp(upd->tail, TRAILER_MAGIC, sizeof TRAILER_MAGIC) == 0;
}

// Stores the bytes [pos, pos + len) of the image: the last 128 (or all of a shorter image)
// stay in upd->tail, everything before goes to the file. false after a write error.
static bool update_store(zq_update_t *upd, FILE *fp, long pos, const uint8_t *data, long len) {
    const long size = upd->file_size;
    const long held = size < ZQ_UPDATE_TRAILER_SIZE ? 0 : size - ZQ_UPDATE_TRAILER_SIZE;
    long to_file = pos < held ? std::min(len, held - pos) : 0;
    bool ok = to_file == 0 || fwrite(data, 1, (size_t)to_file, fp) == (size_t)to_file;
    if (len > to_file) {
        memcpy(upd->tail + (pos + to_file - held), data + to_file, (size_t)(len - to_file));
        upd->tail_bytes = (int)(pos + len - held);
    }
    return ok;
}

int android_DowanloadFile(zq_update_t *upd, const char *filename) {
    if (upd == nullptr || filename == nullptr) return -1;
    // The image lands beside its final name and takes that name only once complete and on disk.
    char tmpname[ZQ_UPDATE_PATH_SIZE];
    if (update_temp_name(tmpname, sizeof tmpname, filename) != 0) return -1;
    // Never an existing file or a link planted under the temporary name: only a file of our own.
    int fd = open(tmpname, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    FILE *fp = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    printf("fp =%p\n", (void *)fp);
    if (fp == nullptr) {
        if (fd >= 0) {
            close(fd);
            unlink(tmpname);
        } else {
            UPD_TRACE("create %s failed, errno:%d\n", tmpname, errno);
        }
        return -1;
    }
    upd->state = ZQ_STATE_DOWNLOADING;
    upd->tail_bytes = 0;
    const int timeout_ms = env_or(update_env().recv_timeout_ms, RECV_TIMEOUT_MS);
    const long long deadline_ms =
        env_or(update_env().transfer_deadline_ms,
               TRANSFER_BASE_MS + (long long)upd->file_size * 1000 / TRANSFER_MIN_RATE);
    const int64_t deadline = update_now_ms() + deadline_ms;
    const bool trace_reads = update_env().trace_reads;
    bool file_ok = true;
    int received = 0;
    while (received < upd->file_size) {
        // Never more than the announced size: the HMI's next line follows the image directly.
        int want = std::min(upd->file_size - received, ZQ_UPDATE_BUFF_SIZE);
        int64_t left = deadline - update_now_ms();
        ssize_t ret = -1;
        if (left <= 0) {
            // A trickle of bytes must not hold the updater for ever.
            UPD_TRACE("transfer not complete after %lld ms, given up\n", deadline_ms);
            errno = ETIMEDOUT;
        } else {
            const int wait_ms = (int)std::min<int64_t>(left, timeout_ms);
            struct pollfd pfd = {upd->sock, POLLIN, 0};
            int pr = poll(&pfd, 1, wait_ms);
            if (pr < 0 && errno == EINTR) continue;
            if (pr == 0) {
                if (wait_ms < timeout_ms) continue;  // the deadline, reported next turn
                errno = ETIMEDOUT;                   // the HMI went silent mid-transfer
            } else if (pr > 0) {
                errno = 0;
                ret = recv(upd->sock, upd->rx_buff, (size_t)want, 0);
                if (ret < 0 && errno == EINTR) continue;
            }
        }
        if (ret <= 0) {
            UPD_TRACE("ret:%d, errno:%d\n", (int)ret, errno);
            update_drop(upd);
            fclose(fp);
            unlink(tmpname);
            upd->state = ZQ_STATE_SHORT;
            return -1;
        }
        upd->rx_bytes = (int)ret;
        upd->rx_buff[ret] = '\0';
        // After a write error the rest is still read, so the next line starts where it should.
        if (!update_store(upd, fp, received, (const uint8_t *)upd->rx_buff, (long)ret) && file_ok) {
            UPD_TRACE("write %s failed, errno:%d\n", tmpname, errno);
            file_ok = false;
        }
        received += (int)ret;
        if (trace_reads) UPD_TRACE("recv chunk:%d, recvd:%d\n", (int)ret, received);
        if (received == (int)ret) update_step("download");
    }
    // No trailer: the held-back bytes are part of the program after all.
    if (!update_has_trailer(upd) && upd->tail_bytes > 0 && file_ok &&
        fwrite(upd->tail, 1, (size_t)upd->tail_bytes, fp) != (size_t)upd->tail_bytes) {
        UPD_TRACE("write %s failed, errno:%d\n", tmpname, errno);
        file_ok = false;
    }
    if (file_ok && (fflush(fp) != 0 || fsync(fileno(fp)) != 0)) {
        UPD_TRACE("flush %s failed, errno:%d\n", tmpname, errno);
        file_ok = false;
    }
    if (fclose(fp) != 0 && file_ok) {
        UPD_TRACE("close %s failed, errno:%d\n", tmpname, errno);
        file_ok = false;
    }
    upd->state = (received == upd->file_size && file_ok) ? ZQ_STATE_COMPLETE : ZQ_STATE_SHORT;
    UPD_TRACE("recvd.filename=%s, recvd.bytes:%d\n", filename, received);
    if (upd->state != ZQ_STATE_COMPLETE) {
        unlink(tmpname);
        return -1;
    }
    update_step("received");
    return 0;
}

// ---- signature -----------------------------------------------------------------------------

static uint64_t update_le(const uint8_t *p, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; i--) v = (v << 8) | p[i];
    return v;
}

int update_parse_trailer(const uint8_t trailer[ZQ_UPDATE_TRAILER_SIZE], long size,
                         const int version[3]) {
    if (trailer == nullptr || version == nullptr) return -1;
    if (size < ZQ_UPDATE_TRAILER_SIZE || memcmp(trailer, TRAILER_MAGIC, sizeof TRAILER_MAGIC) != 0)
        return 1;
    if (update_le(trailer + 8, 8) != (uint64_t)(size - ZQ_UPDATE_TRAILER_SIZE)) return -2;
    for (int i = 22; i < TRAILER_SIGNED_HEAD; i++) {
        if (trailer[i] != 0) return -3;
    }
    for (int i = 0; i < 3; i++) {
        if ((uint64_t)(int64_t)version[i] != update_le(trailer + 16 + 2 * i, 2)) return -4;
    }
    return 0;
}

int update_load_key(uint8_t pub[32], const char **why) {
    const char *dummy = nullptr;
    if (why == nullptr) why = &dummy;
    *why = "";
    if (pub == nullptr) return -1;
    char path[ZQ_UPDATE_PATH_SIZE];
    struct stat st;
    if (update_path(path, sizeof path, KEY_PATH) < 0) {
        *why = "path too long";
        return -1;
    }
    if (lstat(path, &st) != 0) {
        if (errno == ENOENT) return 1;
        *why = "cannot be examined";
        return -1;
    }
    // A link could be re-pointed by whoever owns its target: the key must be the file itself.
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *why = "cannot be read";
        return -2;
    }
    int rc = 0;
    char text[4096];
    ssize_t len = 0;
    if (fstat(fd, &st) != 0) {
        *why = "cannot be read";
        rc = -2;
    } else if (!S_ISREG(st.st_mode)) {
        *why = "no regular file";
        rc = -3;
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        *why = "group- or other-writable";
        rc = -4;
    } else if (st.st_uid != 0 && st.st_uid != geteuid()) {
        *why = "owned by another user";
        rc = -5;
    } else {
        size_t got = 0;
        for (;;) {
            ssize_t n = read(fd, text + got, sizeof text - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (n < 0) got = sizeof text + 1;
                break;
            }
            got += (size_t)n;
            if (got == sizeof text) break;
        }
        if (got > sizeof text) {
            *why = "cannot be read";
            rc = -2;
        } else if (got == sizeof text) {
            *why = "too large for a public key";
            rc = -6;
        } else {
            len = (ssize_t)got;
        }
    }
    close(fd);
    if (rc != 0) return rc;
    if (ed25519_parse_public_pem(text, (size_t)len, pub) != 0) {
        *why = "no Ed25519 public key in PEM";
        return -7;
    }
    return 0;
}

// Whether the received image may be installed: a signed image needs its trailer to be well
// formed and, with the key file present, its signature to verify over the stored program
// (read back in one pass through the fixed receive buffer) and the trailer's first 64 bytes.
static int update_check_signature(zq_update_t *upd, const char *tmpname) {
    const bool signed_image = update_has_trailer(upd);
    if (signed_image) {
        int rc = update_parse_trailer(upd->tail, upd->file_size, upd->new_version);
        if (rc != 0) {
            static const char *const what[] = {"", "", "program length does not match Size",
                                               "reserved bytes not zero", "names another version"};
            UPD_TRACE("signature trailer refused: %s\n", what[-rc]);
            return -2;
        }
    }
    uint8_t pub[ED25519_PUBLIC_SIZE];
    const char *why = "";
    int key = update_load_key(pub, &why);
    if (key < 0) {
        UPD_TRACE("key file unusable (%s): image refused\n", why);
        return -3;
    }
    if (key == 1) {
        if (signed_image) UPD_TRACE("no key file: signature not checked, trailer removed\n");
        return 0;
    }
    if (!signed_image) {
        UPD_TRACE("image not signed: refused\n");
        return -4;
    }
    int fd = open(tmpname, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        UPD_TRACE("open %s failed, errno:%d\n", tmpname, errno);
        return -5;
    }
    ed25519_verify_t v;
    int rc = ed25519_verify_init(&v, pub, upd->tail + TRAILER_SIGNED_HEAD);
    long program = upd->file_size - ZQ_UPDATE_TRAILER_SIZE, seen = 0;
    for (;;) {
        ssize_t n = read(fd, upd->rx_buff, ZQ_UPDATE_BUFF_SIZE);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n < 0) seen = -1;
            break;
        }
        ed25519_verify_update(&v, upd->rx_buff, (size_t)n);
        seen += n;
    }
    close(fd);
    upd->rx_buff[0] = '\0';
    ed25519_verify_update(&v, upd->tail, TRAILER_SIGNED_HEAD);
    if (seen != program) {
        UPD_TRACE("read back %ld of %ld bytes: refused\n", seen, program);
        return -5;
    }
    if (rc == 0) rc = ed25519_verify_final(&v);
    if (rc != 0) {
        UPD_TRACE("signature does not verify (%d): refused\n", rc);
        return -6;
    }
    UPD_TRACE("signature verified, version %d.%d.%d\n", upd->new_version[0], upd->new_version[1],
              upd->new_version[2]);
    return 0;
}

static int update_own_machine(void) {
#if defined(__x86_64__)
    return EM_X86_64;
#elif defined(__aarch64__)
    return EM_AARCH64;
#elif defined(__arm__)
    return EM_ARM;
#elif defined(__i386__)
    return EM_386;
#elif defined(__riscv)
    return EM_RISCV;
#else
    // Any other machine: read it from the updater's own image.
    unsigned char hdr[20] = {0};
    int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t n = read(fd, hdr, sizeof hdr);
    close(fd);
    if (n < (ssize_t)sizeof hdr) return -1;
    uint16_t m;
    memcpy(&m, hdr + 18, sizeof m);
    return m;
#endif
}

int update_check_elf(const char *filename) {
    if (filename == nullptr) return -1;
    int fd = open(filename, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    unsigned char hdr[sizeof(Elf64_Ehdr)] = {0};
    size_t got = 0;
    while (got < sizeof hdr) {
        ssize_t n = read(fd, hdr + got, sizeof hdr - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += (size_t)n;
    }
    close(fd);
    if (got < EI_NIDENT) return -2;
    if (memcmp(hdr, ELFMAG, SELFMAG) != 0) return -3;
    const unsigned char own_class = sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32;
    const unsigned char own_data =
        __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
    if (hdr[EI_CLASS] != own_class) return -4;
    if (hdr[EI_DATA] != own_data) return -5;
    const size_t need = own_class == ELFCLASS64 ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr);
    if (got < need) return -6;
    // e_type and e_machine sit at the same offsets in both classes, in our own byte order.
    uint16_t type, machine;
    memcpy(&type, hdr + offsetof(Elf64_Ehdr, e_type), sizeof type);
    memcpy(&machine, hdr + offsetof(Elf64_Ehdr, e_machine), sizeof machine);
    if ((int)machine != update_own_machine()) return -7;
    if (type != ET_EXEC && type != ET_DYN) return -8;
    return 0;
}

// Makes `linkname` name `target` by renaming a fresh link over it: never a moment without a
// program behind the name. The step names of host-run kills get `prefix` in front.
static int update_switch_link(const char *linkname, const char *target, const char *prefix) {
    char newlink[ZQ_UPDATE_PATH_SIZE];
    int n = snprintf(newlink, sizeof newlink, "%s.new", linkname);
    if (n < 0 || (size_t)n >= sizeof newlink) return -2;
    char step[32];
    unlink(newlink);
    if (symlink(target, newlink) != 0) {
        UPD_TRACE("symlink %s failed, errno:%d\n", newlink, errno);
        return -6;
    }
    snprintf(step, sizeof step, "%slinked", prefix);
    update_step(step);
    if (rename(newlink, linkname) != 0) {
        UPD_TRACE("rename %s failed, errno:%d\n", linkname, errno);
        unlink(newlink);
        return -7;
    }
    if (update_sync_dir(linkname) != 0) {
        UPD_TRACE("sync %s failed, errno:%d\n", linkname, errno);
        return -8;
    }
    sync();
    snprintf(step, sizeof step, "%sswitched", prefix);
    update_step(step);
    char now[ZQ_UPDATE_PATH_SIZE] = {0};
    ssize_t len = readlink(linkname, now, sizeof now - 1);
    if (len <= 0 || strcmp(now, target) != 0) {
        UPD_TRACE("%s names %s, not %s\n", linkname, now, target);
        return -9;
    }
    return 0;
}

// The program the link names now, as an absolute path; "" when there is none.
static void update_link_target(const char *linkname, char *dst, size_t size) {
    char target[ZQ_UPDATE_PATH_SIZE] = {0};
    dst[0] = '\0';
    ssize_t n = readlink(linkname, target, sizeof target - 1);
    if (n <= 0 || n >= (ssize_t)sizeof target - 1) return;
    if (target[0] == '/') {
        snprintf(dst, size, "%s", target);
        return;
    }
    // A relative target is relative to the link's directory.
    const char *slash = strrchr(linkname, '/');
    int dirlen = slash != nullptr ? (int)(slash - linkname) : 0;
    int len = snprintf(dst, size, "%.*s/%s", dirlen, linkname, target);
    if (len < 0 || (size_t)len >= size) dst[0] = '\0';
}

// The trial record: the new program and the one to go back to, one per line, made durable
// before the link changes. Written beside its name and renamed, so it is whole or absent.
static int update_trial_write(const char *newfile, const char *previous) {
    char path[ZQ_UPDATE_PATH_SIZE], temp[ZQ_UPDATE_PATH_SIZE];
    if (update_path(path, sizeof path, TRIAL_PATH) < 0 ||
        update_path(temp, sizeof temp, TRIAL_TEMP_PATH) < 0) {
        return -1;
    }
    char text[2 * ZQ_UPDATE_PATH_SIZE + 2];
    int len = snprintf(text, sizeof text, "%s\n%s\n", newfile, previous);
    if (len < 0 || (size_t)len >= sizeof text) return -1;
    unlink(temp);
    int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        UPD_TRACE("create %s failed, errno:%d\n", temp, errno);
        return -2;
    }
    bool ok = write(fd, text, (size_t)len) == len && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (!ok) {
        UPD_TRACE("write %s failed, errno:%d\n", temp, errno);
        unlink(temp);
        return -3;
    }
    update_step("trial_temp");
    if (rename(temp, path) != 0 || update_sync_dir(path) != 0) {
        UPD_TRACE("rename %s failed, errno:%d\n", path, errno);
        unlink(temp);
        return -4;
    }
    UPD_TRACE("trial record %s: %s, back to %s\n", path, newfile, previous);
    update_step("trial");
    return 0;
}

static void update_trial_remove(void) {
    char path[ZQ_UPDATE_PATH_SIZE];
    if (update_path(path, sizeof path, TRIAL_PATH) < 0) return;
    unlink(path);
    update_sync_dir(path);
}

// Only the new version and the one it replaced stay: older program files are removed, never
// the link's target and never the previous one (compared by inode, whatever the path says).
static void update_keep_two(const char *linkname, const char *newfile, const char *previous) {
    char dirname[ZQ_UPDATE_PATH_SIZE];
    if (update_path(dirname, sizeof dirname, BIN_DIR) < 0) return;
    struct stat keep[3];
    bool have[3] = {stat(newfile, &keep[0]) == 0,
                    previous[0] != '\0' && stat(previous, &keep[1]) == 0,
                    stat(linkname, &keep[2]) == 0};
    DIR *dir = opendir(dirname);
    if (dir == nullptr) return;
    while (struct dirent *e = readdir(dir)) {
        const char *name = e->d_name;
        size_t len = strlen(name);
        if (strncmp(name, "app_ZQHW_", 9) != 0 || (len > 5 && strcmp(name + len - 5, ".part") == 0))
            continue;
        char path[ZQ_UPDATE_PATH_SIZE];
        int n = snprintf(path, sizeof path, "%s/%s", dirname, name);
        if (n < 0 || (size_t)n >= sizeof path) continue;
        struct stat st;
        if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) continue;
        bool kept = false;
        for (int i = 0; i < 3; i++) {
            if (have[i] && st.st_dev == keep[i].st_dev && st.st_ino == keep[i].st_ino) kept = true;
        }
        if (kept) continue;
        if (unlink(path) == 0) UPD_TRACE("removed older version %s\n", path);
    }
    closedir(dir);
}

// Whether a terminal program is still alive (zombies are gone for this purpose). Host runs
// only look at programs started with the same TCU_ROOT, never at the machine's others.
static bool update_terminal_running(void) {
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return false;
    const char *root = update_host_run() ? update_env().root : nullptr;
    const pid_t self = getpid();
    bool found = false;
    while (struct dirent *e = readdir(proc)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
        if (atoi(e->d_name) == self) continue;
        char path[300], stat_text[256] = {0};
        snprintf(path, sizeof path, "/proc/%s/stat", e->d_name);
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        ssize_t n = read(fd, stat_text, sizeof stat_text - 1);
        close(fd);
        if (n <= 0) continue;
        // "pid (comm) S ...": the name may itself hold parentheses, the state follows the last.
        char *open_paren = strchr(stat_text, '(');
        char *close_paren = strrchr(stat_text, ')');
        if (open_paren == nullptr || close_paren == nullptr || close_paren[1] == '\0') continue;
        char state = close_paren[2];
        *close_paren = '\0';
        if (state == 'Z' || state == 'X' || strstr(open_paren + 1, PROGRAM_NAME) == nullptr)
            continue;
        if (root != nullptr) {
            char env[8192];
            snprintf(path, sizeof path, "/proc/%s/environ", e->d_name);
            fd = open(path, O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            ssize_t len = read(fd, env, sizeof env - 1);
            close(fd);
            if (len <= 0) continue;
            env[len] = '\0';
            bool same = false;
            for (char *p = env; p < env + len; p += strlen(p) + 1) {
                if (strncmp(p, "TCU_ROOT=", 9) == 0 && strcmp(p + 9, root) == 0) same = true;
            }
            if (!same) continue;
        }
        found = true;
        break;
    }
    closedir(proc);
    return found;
}

// After pkill: the terminal's orderly stop completes before the result goes out and the board
// reboots, but a terminal that does not stop never blocks the update.
static void update_wait_stopped(void) {
    const int64_t deadline = update_now_ms() + STOP_WAIT_MS;
    while (update_terminal_running()) {
        if (update_now_ms() >= deadline) {
            UPD_TRACE("%s still running after %d ms, going on\n", PROGRAM_NAME, STOP_WAIT_MS);
            return;
        }
        update_msleep(50);
    }
    UPD_TRACE("%s stopped\n", PROGRAM_NAME);
}

int android_Upgrade(zq_update_t *upd, const char *linkname, const char *filename) {
    if (upd == nullptr || linkname == nullptr || filename == nullptr) return -1;
    if (upd->state != ZQ_STATE_COMPLETE) return -1;
    char tmpname[ZQ_UPDATE_PATH_SIZE];
    if (update_temp_name(tmpname, sizeof tmpname, filename) != 0) return -2;
    int rc = update_check_signature(upd, tmpname);
    if (rc != 0) {
        unlink(tmpname);
        return -10;
    }
    rc = update_check_elf(tmpname);
    if (rc != 0) {
        UPD_TRACE("%s is no program for this machine (%d)\n", filename, rc);
        unlink(tmpname);
        return -3;
    }
    if (chmod(tmpname, 0755) != 0) {
        UPD_TRACE("chmod %s failed, errno:%d\n", tmpname, errno);
        unlink(tmpname);
        return -4;
    }
    update_step("verified");
    if (rename(tmpname, filename) != 0) {
        UPD_TRACE("rename %s failed, errno:%d\n", filename, errno);
        unlink(tmpname);
        return -5;
    }
    if (update_sync_dir(filename) != 0) {
        UPD_TRACE("sync %s failed, errno:%d\n", filename, errno);
        return -5;
    }
    update_step("renamed");
    // The way back exists before the link changes: a new version that never confirms itself
    // is undone at the next start.
    char previous[ZQ_UPDATE_PATH_SIZE];
    update_link_target(linkname, previous, sizeof previous);
    struct stat st;
    if (previous[0] == '\0' || stat(previous, &st) != 0) {
        UPD_TRACE("no previous version to go back to: no trial\n");
        previous[0] = '\0';
    } else if (update_trial_write(filename, previous) != 0) {
        return -11;
    }
    rc = update_switch_link(linkname, filename, "");
    if (rc != 0) {
        // The link still names the previous program (or was never read back): no trial runs.
        if (previous[0] != '\0') update_trial_remove();
        return rc;
    }
    update_keep_two(linkname, filename, previous);
    // Only now the running terminal is stopped; no match (it was not running) is no failure.
    rc = update_run("pkill", PROGRAM_NAME);
    if (rc != 0 && rc != 1) UPD_TRACE("pkill %s failed (%d)\n", PROGRAM_NAME, rc);
    update_wait_stopped();
    upd->state = ZQ_STATE_INSTALLED;
    update_step("stopped");
    return 0;
}

int android_Reboot(zq_update_t *upd) {
    if (upd == nullptr || upd->state != ZQ_STATE_INSTALLED) return -1;
    sync();
    return update_run("reboot", nullptr);
}

// ---- trial boot ----------------------------------------------------------------------------

// Reads the two paths of the trial record; 0, 1 when there is none, negative when unusable.
static int update_trial_read(const char *path, char *newfile, char *previous, size_t size) {
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? 1 : -1;
    char text[2 * ZQ_UPDATE_PATH_SIZE + 2];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return -2;
    text[n] = '\0';
    char *lf1 = strchr(text, '\n');
    if (lf1 == nullptr) return -3;
    *lf1 = '\0';
    char *second = lf1 + 1;
    char *lf2 = strchr(second, '\n');
    if (lf2 == nullptr || lf2[1] != '\0') return -3;
    *lf2 = '\0';
    if (text[0] != '/' || second[0] != '/' || strlen(text) >= size || strlen(second) >= size)
        return -4;
    snprintf(newfile, size, "%s", text);
    snprintf(previous, size, "%s", second);
    return 0;
}

int update_trial_check(zq_update_t *upd) {
    if (upd == nullptr) return -1;
    char path[ZQ_UPDATE_PATH_SIZE], linkname[ZQ_UPDATE_PATH_SIZE];
    if (update_path(path, sizeof path, TRIAL_PATH) < 0 ||
        update_path(linkname, sizeof linkname, LINK_PATH) < 0) {
        return -1;
    }
    char newfile[ZQ_UPDATE_PATH_SIZE], previous[ZQ_UPDATE_PATH_SIZE];
    int rc = update_trial_read(path, newfile, previous, sizeof newfile);
    if (rc == 1) return 0;
    if (rc < 0) {
        UPD_TRACE("trial record %s unreadable (%d), removed\n", path, rc);
        update_trial_remove();
        return 0;
    }
    struct stat st;
    if (stat(newfile, &st) != 0 || stat(previous, &st) != 0) {
        UPD_TRACE("trial record names files that no longer exist (%s, %s), removed\n", newfile,
                  previous);
        update_trial_remove();
        return 0;
    }
    const int wait_ms = env_or(update_env().trial_wait_ms, TRIAL_WAIT_MS);
    UPD_TRACE("trial of %s: waiting up to %d ms from start for it to confirm\n", newfile, wait_ms);
    // No offer is taken meanwhile: the HMI is answered once the trial is decided.
    while (access(path, F_OK) == 0) {
        if (update_now_ms() - upd->start_ms >= wait_ms) {
            UPD_TRACE("%s did not confirm itself: back to %s\n", newfile, previous);
            rc = update_switch_link(linkname, previous, "rollback_");
            if (rc != 0) {
                // The record stays: the next start tries again, the link names a program.
                UPD_TRACE("rollback to %s failed (%d)\n", previous, rc);
                return -2;
            }
            update_trial_remove();
            UPD_TRACE("rolled back to %s, rebooting\n", previous);
            update_step("rollback_removed");
            sync();
            update_run("reboot", nullptr);
            return 1;
        }
        update_msleep(250);
    }
    UPD_TRACE("%s confirmed itself\n", newfile);
    return 0;
}

// ---- main loop -----------------------------------------------------------------------------

static void update_offer(zq_update_t *upd) {
    int rc = android_ParseOffer(upd->rx_buff, &upd->file_size, upd->new_version);
    const int *v = upd->new_version;
    printf("as =%d,%d,%d,%d\n", upd->file_size, v[0], v[1], v[2]);
    char linkname[ZQ_UPDATE_PATH_SIZE];
    char filename[ZQ_UPDATE_PATH_SIZE];
    char dirname[ZQ_UPDATE_PATH_SIZE];
    char fixed[64];
    snprintf(fixed, sizeof fixed, "/home/root/bin/app_ZQHW_%d_%d_%d", v[0], v[1], v[2]);
    if (rc != 0) {
        UPD_TRACE("offer refused (%d)\n", rc);
        android_NotifyUpdateFirmware_res(upd, "Rejected");
        return;
    }
    if (update_path(linkname, sizeof linkname, LINK_PATH) < 0 ||
        update_path(filename, sizeof filename, fixed) < 0 ||
        update_path(dirname, sizeof dirname, BIN_DIR) < 0) {
        UPD_TRACE("installation path too long\n");
        android_NotifyUpdateFirmware_res(upd, "Rejected");
        return;
    }
    if (v[0] == upd->app_version[0] && v[1] == upd->app_version[1] && v[2] == upd->app_version[2]) {
        android_NotifyUpdateFirmware_res(upd, "Rejected");
        return;
    }
    if (upd->file_size > MAX_IMAGE_SIZE) {
        UPD_TRACE("Size %d beyond the %ld-byte limit\n", upd->file_size, MAX_IMAGE_SIZE);
        android_NotifyUpdateFirmware_res(upd, "Rejected");
        return;
    }
    // What does not fit beside the installed versions is refused before a byte is sent.
    const long long margin = env_or(update_env().space_margin, SPACE_MARGIN);
    struct statvfs fs;
    if (statvfs(dirname, &fs) != 0) {
        UPD_TRACE("statvfs %s failed, errno:%d\n", dirname, errno);
        android_NotifyUpdateFirmware_res(upd, "Rejected");
        return;
    }
    const long long avail = (long long)fs.f_bavail * (long long)fs.f_frsize;
    if ((long long)upd->file_size > avail - margin) {
        UPD_TRACE("Size %d beyond the free space of %s (%lld bytes, %lld kept free)\n",
                  upd->file_size, dirname, avail, margin);
        android_NotifyUpdateFirmware_res(upd, "Rejected");
        return;
    }
    upd->state = ZQ_STATE_IDLE;
    if (android_NotifyUpdateFirmware_res(upd, "Accepted") < 0) return;
    update_msleep(1000);
    if (android_RequestUpdateFirmware_req(upd, v) < 0) return;
    // A failure reaches the HMI only while the connection is still open.
    if (android_DowanloadFile(upd, filename) != 0 ||
        android_Upgrade(upd, linkname, filename) != 0) {
        android_NotifyUpdateFirmwareResult_res(upd, "Fail", v);
        return;
    }
    memcpy(upd->app_version, upd->new_version, sizeof upd->app_version);
    android_NotifyUpdateFirmwareResult_res(upd, "Success", v);
    update_step("success");
    android_Reboot(upd);
}

// Removes what an installation cut short by a power loss left behind: partial downloads, a
// new link that was never renamed into place and a trial record never completed. The link
// itself is never touched here.
static void update_clean_leftovers(void) {
    char temp[ZQ_UPDATE_PATH_SIZE];
    if (update_path(temp, sizeof temp, TRIAL_TEMP_PATH) >= 0 && unlink(temp) == 0) {
        UPD_TRACE("removed %s\n", temp);
    }
    char dirname[ZQ_UPDATE_PATH_SIZE];
    if (update_path(dirname, sizeof dirname, BIN_DIR) < 0) return;
    DIR *dir = opendir(dirname);
    if (dir == nullptr) return;
    while (struct dirent *e = readdir(dir)) {
        const char *name = e->d_name;
        size_t len = strlen(name);
        bool part =
            strncmp(name, "app_ZQHW_", 9) == 0 && len > 5 && strcmp(name + len - 5, ".part") == 0;
        if (!part && strcmp(name, "app_ZQHW.new") != 0) continue;
        char path[ZQ_UPDATE_PATH_SIZE];
        int n = snprintf(path, sizeof path, "%s/%s", dirname, name);
        if (n < 0 || (size_t)n >= sizeof path) continue;
        if (unlink(path) == 0) UPD_TRACE("removed %s\n", path);
    }
    closedir(dir);
}

// One line at start on what protects the installation.
static void update_trace_key(void) {
    uint8_t pub[ED25519_PUBLIC_SIZE];
    const char *why = "";
    char path[ZQ_UPDATE_PATH_SIZE];
    update_path(path, sizeof path, KEY_PATH);
    int rc = update_load_key(pub, &why);
    if (rc == 1) {
        UPD_TRACE("no %s: images are not verified\n", path);
    } else if (rc < 0) {
        UPD_TRACE("key file %s unusable (%s): every image fails\n", path, why);
    } else {
        UPD_TRACE("images must be signed by the key in %s\n", path);
    }
}

int zq_update_init(zq_update_t *upd) {
    if (upd == nullptr) return -1;
    upd->sock = -1;
    if (upd->start_ms == 0) upd->start_ms = update_now_ms();
    update_clean_leftovers();
    update_trace_key();
    update_trial_check(upd);
    android_connect(upd);
    char linkname[ZQ_UPDATE_PATH_SIZE];
    if (update_path(linkname, sizeof linkname, LINK_PATH) < 0) {
        UPD_TRACE("link path too long\n");
        return -1;
    }
    return android_LoadVersion(upd, linkname);
}

int zq_update_loop(zq_update_t *upd) {
    if (upd == nullptr) return -1;
    while (!upd->quit) {
        android_connect(upd);
        if (wait_android_message(upd) != 0) continue;
        if (strncmp(upd->rx_buff, "Event=NotifyUpdateFirmware,Type=HW", 34) == 0) {
            update_offer(upd);
        } else if (strncmp(upd->rx_buff, "Event=NotifyUpdateFirmwareResult,Type=HW", 40) == 0) {
            // The HMI's acknowledgement of a result: nothing to answer.
        } else if (strncmp(upd->rx_buff, "Event=GetFirmwareVersion,Type=HW", 32) == 0) {
            android_GetFirmwareVersion_res(upd);
        }
    }
    return 0;
}

int zq_update_exit(zq_update_t *upd) {
    if (upd == nullptr) return -1;
    upd->quit = 1;
    update_drop(upd);
    return 0;
}

// The fuzz targets link the line reader and the offer parser without this entry point.
#ifndef ZQ_UPDATE_NO_MAIN
int main(int argc, char **argv) {
    // Traces are read line by line by whoever watches the updater, even through a pipe.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    update.start_ms = update_now_ms();
    signal(SIGPIPE, SIG_IGN);
    // A file-size limit must make the write fail (answered "Fail"), not end the updater.
    signal(SIGXFSZ, SIG_IGN);
    // The board's network and the HMI come up after the updater is started.
    update_msleep(env_or(update_env().start_delay_ms, START_DELAY_MS));
    zq_update_t *upd = &update;
    upd->port = ZQ_UPDATE_DEFAULT_PORT;
    snprintf(upd->serverip, sizeof upd->serverip, "%s", ZQ_UPDATE_DEFAULT_ADDR);
    int opt;
    while ((opt = getopt(argc, argv, "i:p:")) != -1) {
        if (opt == 'i') {
            struct in_addr probe;
            if (strlen(optarg) >= sizeof upd->serverip || inet_pton(AF_INET, optarg, &probe) != 1) {
                UPD_TRACE("-i %.63s refused, keeping %s\n", optarg, upd->serverip);
            } else {
                snprintf(upd->serverip, sizeof upd->serverip, "%s", optarg);
            }
        } else if (opt == 'p') {
            int port = atoi(optarg);
            if (port <= 0 || port > 65535) {
                UPD_TRACE("-p %s refused, keeping %d\n", optarg, upd->port);
            } else {
                upd->port = port;
            }
        }
    }
    zq_update_init(upd);
    zq_update_loop(upd);
    zq_update_exit(upd);
    return 0;
}
#endif
