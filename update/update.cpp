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
// A version on trial is confirmed once one process running its file has been seen at every
// look for ZQ_TRIAL_CONFIRM_S, and rolled back when that has not happened ZQ_TRIAL_WINDOW_S
// after the updater's start. Both are build settings (a virtual board may need longer).
#ifndef ZQ_TRIAL_CONFIRM_S
#define ZQ_TRIAL_CONFIRM_S 60
#endif
#ifndef ZQ_TRIAL_WINDOW_S
#define ZQ_TRIAL_WINDOW_S 180
#endif
constexpr int TRIAL_CONFIRM_MS = ZQ_TRIAL_CONFIRM_S * 1000;
constexpr int TRIAL_WINDOW_MS = ZQ_TRIAL_WINDOW_S * 1000;
static_assert(ZQ_TRIAL_CONFIRM_S > 0 && ZQ_TRIAL_WINDOW_S > ZQ_TRIAL_CONFIRM_S + 10,
              "the trial window must leave the start delay and the confirmation period room");
constexpr int TRIAL_LOOK_MS = 250;  // how often a trial is looked at
// The terminal's orderly stop (shutdown requests, contactors opened, workers joined) gets
// this long: at least its unit's TimeoutStopSec (scripts/verify_units.sh holds them in step).
constexpr int STOP_WAIT_MS = 12000;

// Build settings of a maker's release: a built-in key makes signatures mandatory (the key file
// on the board is then ignored), a floor refuses every version below it.
#ifdef ZQ_UPDATE_BUILTIN_KEY_B64
constexpr char BUILTIN_KEY_PEM[] =
    "-----BEGIN PUBLIC KEY-----\n" ZQ_UPDATE_BUILTIN_KEY_B64 "\n-----END PUBLIC KEY-----\n";
constexpr bool HAVE_BUILTIN_KEY = true;
#else
constexpr char BUILTIN_KEY_PEM[] = "";
constexpr bool HAVE_BUILTIN_KEY = false;
#endif
#ifdef ZQ_UPDATE_FLOOR
constexpr int VERSION_FLOOR[3] = {ZQ_UPDATE_FLOOR};
constexpr bool HAVE_FLOOR = true;
#else
constexpr int VERSION_FLOOR[3] = {0, 0, 0};
constexpr bool HAVE_FLOOR = false;
#endif

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
// The same trace in the name of the operation a helper works for.
#define UPD_TRACE_AS(func, fmt, ...) \
    printf("%s:%d, %s | " fmt, source_name(__FILE__), __LINE__, func __VA_OPT__(, ) __VA_ARGS__)

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
//   ZQ_UPDATE_TRIAL_WAIT_MS         trial window: time from start for a version to confirm
//   ZQ_UPDATE_TRIAL_CONFIRM_MS      confirmation period: how long its program must run
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
    int trial_confirm_ms;
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
    update_env_t env = {"", -1, -1, -1, -1, -1, -1, false, nullptr};
    const char *root = getenv("TCU_ROOT");
    if (root == nullptr || root[0] == '\0') return env;
    int saved = errno;
    env.root = root;
    env.start_delay_ms = (int)env_number("ZQ_UPDATE_START_DELAY_MS", INT_MAX);
    env.recv_timeout_ms = (int)env_number("ZQ_UPDATE_RECV_TIMEOUT_MS", INT_MAX);
    env.transfer_deadline_ms = env_number("ZQ_UPDATE_TRANSFER_DEADLINE_MS", LLONG_MAX);
    env.space_margin = env_number("ZQ_UPDATE_SPACE_MARGIN", LLONG_MAX);
    env.trial_wait_ms = (int)env_number("ZQ_UPDATE_TRIAL_WAIT_MS", INT_MAX);
    env.trial_confirm_ms = (int)env_number("ZQ_UPDATE_TRIAL_CONFIRM_MS", INT_MAX);
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

// Waits up to timeout_ms (-1: for ever) for fd to be ready for `events`, or only waits when fd
// is below 0. A trial is looked at meanwhile: its window ends on time in every wait, whether
// the HMI is connected or not. 1 ready, 0 time-out, -1 error.
static int update_wait(zq_update_t *upd, int fd, short events, int timeout_ms) {
    const int64_t end = timeout_ms < 0 ? INT64_MAX : update_now_ms() + timeout_ms;
    for (;;) {
        update_trial_watch(upd);
        const int64_t now = update_now_ms();
        if (now >= end) return 0;
        int64_t slice = std::min<int64_t>(end - now, INT_MAX);
        if (upd->trial.active) slice = std::min<int64_t>(slice, TRIAL_LOOK_MS);
        struct pollfd pfd = {fd, events, 0};
        int rc = poll(fd >= 0 ? &pfd : nullptr, fd >= 0 ? 1 : 0, (int)slice);
        if (rc < 0 && errno == EINTR) continue;
        if (rc != 0) return rc > 0 ? 1 : -1;
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

// A connect bounded like a send (30 s), during which a trial is still looked at.
static int update_connect(zq_update_t *upd, int fd) {
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int rc = connect(fd, (struct sockaddr *)&upd->addr, upd->addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
        rc = -1;
        if (update_wait(upd, fd, POLLOUT, SEND_TIMEOUT_S * 1000) > 0) {
            int err = 0;
            socklen_t len = sizeof err;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) rc = 0;
        }
    }
    fcntl(fd, F_SETFL, flags);
    return rc;
}

int android_connect(zq_update_t *upd) {
    if (upd == nullptr) return -1;
    while (upd->sock < 0) {
        // A socket whose connect failed is in an unspecified state: every attempt starts anew.
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            UPD_TRACE("create socket failed.retry...\n");
            update_wait(upd, -1, 0, 1000);
            continue;
        }
        memset(&upd->addr, 0, sizeof upd->addr);
        upd->addr.sin_family = AF_INET;
        upd->addr.sin_addr.s_addr = inet_addr(upd->serverip);
        upd->addr.sin_port = htons((uint16_t)upd->port);
        upd->addrlen = sizeof upd->addr;
        update_socket_options(fd);
        if (update_connect(upd, fd) != 0) {
            UPD_TRACE("local socket connect to %s.%d failed.retry...\n", upd->serverip, upd->port);
            close(fd);
            update_wait(upd, -1, 0, 1000);
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
        // While a version is on trial, the wait for the HMI's next byte also watches it.
        if (upd->trial.active) update_wait(upd, upd->sock, POLLIN, -1);
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

// The installed version from the link's target; traced at start, read quietly on every
// query and offer afterwards (a rollback or an installation may have moved the link).
static int update_read_version(zq_update_t *upd, const char *linkname, bool trace) {
    if (upd == nullptr) return -1;
    upd->app_version[0] = upd->app_version[1] = upd->app_version[2] = 0;
    char target[ZQ_UPDATE_PATH_SIZE] = {0};
    ssize_t n = linkname != nullptr ? readlink(linkname, target, sizeof target - 1) : -1;
    if (trace) UPD_TRACE_AS("android_LoadVersion", "app_version.linkname=%s\n", target);
    if (n <= 0) return 0;
    if (n >= (ssize_t)sizeof target - 1) {
        // The target may have been cut: a version read from it could be wrong.
        if (trace) UPD_TRACE_AS("android_LoadVersion", "link target too long, version unknown\n");
        return 0;
    }
    const char *tail = strstr(target, "app_ZQHW_");
    if (tail == nullptr) return 0;
    if (trace) printf("%s\n", tail);
    // Numbers that do not parse stay 0: "app_ZQHW_1_2" is version 1.2.0.
    int *v = upd->app_version;
    sscanf(tail, "app_ZQHW_%d_%d_%d", &v[0], &v[1], &v[2]);
    if (trace) UPD_TRACE_AS("android_LoadVersion", "app_ZQHW_%d_%d_%d\n", v[0], v[1], v[2]);
    return 0;
}

int android_LoadVersion(zq_update_t *upd, const char *linkname) {
    return update_read_version(upd, linkname, true);
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

static int update_check_elf_head(const uint8_t *hdr, size_t got);

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
    // Nothing reaches the file before the image's first bytes are an ELF header for this
    // machine: what is no program for the board is read to its end but never written.
    uint8_t head[sizeof(Elf64_Ehdr)];
    const int head_need = std::min<int>(upd->file_size, (int)sizeof head);
    int head_bytes = 0;
    bool file_ok = true, program = true;
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
            int pr = update_wait(upd, upd->sock, POLLIN, wait_ms);
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
            if (fp != nullptr) fclose(fp);
            unlink(tmpname);
            upd->state = ZQ_STATE_SHORT;
            return -1;
        }
        upd->rx_bytes = (int)ret;
        upd->rx_buff[ret] = '\0';
        const uint8_t *data = (const uint8_t *)upd->rx_buff;
        int skip = 0;
        if (head_bytes < head_need) {
            skip = std::min((int)ret, head_need - head_bytes);
            memcpy(head + head_bytes, data, (size_t)skip);
            head_bytes += skip;
            if (head_bytes == head_need) {
                int rc = update_check_elf_head(head, (size_t)head_bytes);
                if (rc != 0) {
                    UPD_TRACE("no program for this machine (%d): read to its end, not stored\n",
                              rc);
                    program = false;
                    fclose(fp);
                    fp = nullptr;
                    unlink(tmpname);
                } else if (!update_store(upd, fp, 0, head, head_bytes)) {
                    UPD_TRACE("write %s failed, errno:%d\n", tmpname, errno);
                    file_ok = false;
                }
            }
        }
        // After a write error the rest is still read, so the next line starts where it should.
        if (fp != nullptr && skip < ret && file_ok &&
            !update_store(upd, fp, received + skip, data + skip, (long)ret - skip)) {
            UPD_TRACE("write %s failed, errno:%d\n", tmpname, errno);
            file_ok = false;
        }
        received += (int)ret;
        if (trace_reads) UPD_TRACE("recv chunk:%d, recvd:%d\n", (int)ret, received);
        if (received == (int)ret) update_step("download");
    }
    if (!program) {
        upd->state = ZQ_STATE_SHORT;
        UPD_TRACE("recvd.filename=%s, recvd.bytes:%d\n", filename, received);
        return -1;
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

// The key in PEM text: 0, -7 no Ed25519 public key, -8 a point of small order (a key under
// which one forged signature verifies every image).
static int update_parse_key(const char *text, size_t len, uint8_t pub[32], const char **why) {
    int rc = ed25519_parse_public_pem(text, len, pub);
    if (rc == -7) {
        *why = "a key of small order";
        return -8;
    }
    if (rc != 0) {
        *why = "no Ed25519 public key in PEM";
        return -7;
    }
    return 0;
}

int update_load_key(uint8_t pub[32], const char **why) {
    const char *dummy = nullptr;
    if (why == nullptr) why = &dummy;
    *why = "";
    if (pub == nullptr) return -1;
    if (HAVE_BUILTIN_KEY) {
        // A maker's release: this key or none, whatever lies on the board.
        return update_parse_key(BUILTIN_KEY_PEM, sizeof BUILTIN_KEY_PEM - 1, pub, why);
    }
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
    return update_parse_key(text, (size_t)len, pub, why);
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
        UPD_TRACE("%s unusable (%s): image refused\n",
                  HAVE_BUILTIN_KEY ? "built-in key" : "key file", why);
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

// 0 when the bytes begin with an ELF header of an executable for this very machine.
static int update_check_elf_head(const uint8_t *hdr, size_t got) {
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
    return update_check_elf_head(hdr, got);
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

// ---- processes -----------------------------------------------------------------------------

// A process as the kernel knows it: its PID and start time (clock ticks after boot) together
// name one run of a program, whatever PID reuse does.
struct update_proc_t {
    int pid;
    uint64_t started;
};

// The start time of a live process (field 22 of /proc/PID/stat) and its name; false for a
// process that is gone or a zombie.
static bool update_proc_stat(int pid, uint64_t *started, char *comm, size_t comm_size) {
    char path[64], text[1024] = {0};
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return false;
    text[n] = '\0';
    // "pid (comm) S ...": the name may itself hold parentheses, the state follows the last.
    const char *open_paren = strchr(text, '(');
    const char *close_paren = strrchr(text, ')');
    if (open_paren == nullptr || close_paren == nullptr || close_paren < open_paren ||
        close_paren[1] == '\0') {
        return false;
    }
    if (comm != nullptr) {
        snprintf(comm, comm_size, "%.*s", (int)(close_paren - open_paren - 1), open_paren + 1);
    }
    const char *p = close_paren + 2;
    if (*p == 'Z' || *p == 'X') return false;
    for (int field = 3; field < 22; field++) {  // the state is field 3, the start time 22
        p = strchr(p, ' ');
        if (p == nullptr) return false;
        p++;
    }
    *started = strtoull(p, nullptr, 10);
    return true;
}

// The same run of a program as at an earlier look.
static bool update_proc_alive(const update_proc_t &proc) {
    uint64_t started = 0;
    return update_proc_stat(proc.pid, &started, nullptr, 0) && started == proc.started;
}

// Whether the process executes the file (dev, ino): /proc/PID/exe is its program, whatever
// name or link it was started by.
static bool update_proc_runs(int pid, uint64_t dev, uint64_t ino) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/exe", pid);
    struct stat st;
    return stat(path, &st) == 0 && (uint64_t)st.st_dev == dev && (uint64_t)st.st_ino == ino;
}

// The oldest live process that executes the file; pid 0 when none does. The oldest is the
// program itself: a child it forks executes the same file only until its exec.
static update_proc_t update_find_program(uint64_t dev, uint64_t ino) {
    update_proc_t best = {0, 0};
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return best;
    while (struct dirent *e = readdir(proc)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
        const int pid = atoi(e->d_name);
        uint64_t started = 0;
        if (!update_proc_runs(pid, dev, ino) || !update_proc_stat(pid, &started, nullptr, 0))
            continue;
        if (best.pid == 0 || started < best.started ||
            (started == best.started && pid < best.pid)) {
            best = {pid, started};
        }
    }
    closedir(proc);
    return best;
}

// The terminal programs alive now (named app_ZQHW), at most max of them. Host runs only see
// programs started with the same TCU_ROOT, never the machine's others.
static int update_terminals(update_proc_t *list, int max) {
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return 0;
    const char *root = update_host_run() ? update_env().root : nullptr;
    const pid_t self = getpid();
    int count = 0;
    while (struct dirent *e = readdir(proc)) {
        if (count >= max) break;
        if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
        const int pid = atoi(e->d_name);
        char comm[64];
        uint64_t started = 0;
        if (pid == self || !update_proc_stat(pid, &started, comm, sizeof comm) ||
            strstr(comm, PROGRAM_NAME) == nullptr) {
            continue;
        }
        if (root != nullptr) {
            char path[64], env[8192];
            snprintf(path, sizeof path, "/proc/%d/environ", pid);
            int fd = open(path, O_RDONLY | O_CLOEXEC);
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
        list[count++] = {pid, started};
    }
    closedir(proc);
    return count;
}

// After pkill: the orderly stop of the terminals that were stopped (shutdown requests,
// contactors opened) completes before the result goes out and the board reboots, but one that
// does not stop never blocks the update. Only those runs are waited for: the service manager
// may already have started the new version behind the link.
static void update_wait_stopped(const update_proc_t *list, int count) {
    const int64_t deadline = update_now_ms() + STOP_WAIT_MS;
    for (;;) {
        bool running = false;
        for (int i = 0; i < count; i++) running = running || update_proc_alive(list[i]);
        if (!running) break;
        if (update_now_ms() >= deadline) {
            UPD_TRACE("%s still running after %d ms, going on\n", PROGRAM_NAME, STOP_WAIT_MS);
            return;
        }
        update_msleep(50);
    }
    UPD_TRACE("%s stopped\n", PROGRAM_NAME);
}

// ---- installation --------------------------------------------------------------------------

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
    // The way back exists before the link changes: a new version that never proves itself is
    // undone. It is the last confirmed version: during a trial the record's previous program,
    // never the version still on trial.
    const zq_trial_t *trial = &upd->trial;
    char previous[ZQ_UPDATE_PATH_SIZE];
    if (trial->active) {
        snprintf(previous, sizeof previous, "%s", trial->previous);
    } else {
        update_link_target(linkname, previous, sizeof previous);
    }
    struct stat st;
    if (previous[0] == '\0' || stat(previous, &st) != 0) {
        UPD_TRACE("no previous version to go back to: no trial\n");
        previous[0] = '\0';
        if (trial->active) update_trial_remove();
    } else if (update_trial_write(filename, previous) != 0) {
        return -11;
    }
    rc = update_switch_link(linkname, filename, "");
    if (rc != 0) {
        // The link still names what it named (or was never read back): the trial, if one ran,
        // is the one before.
        if (trial->active) {
            update_trial_write(trial->newfile, trial->previous);
        } else if (previous[0] != '\0') {
            update_trial_remove();
        }
        return rc;
    }
    // Only now the running terminal is stopped; no match (it was not running) is no failure.
    update_proc_t stopped[16];
    const int count = update_terminals(stopped, 16);
    rc = update_run("pkill", PROGRAM_NAME);
    if (rc != 0 && rc != 1) UPD_TRACE("pkill %s failed (%d)\n", PROGRAM_NAME, rc);
    update_wait_stopped(stopped, count);
    // A terminal of an older build removed the record on its own once it had run a minute;
    // should it have done so just now, the way back is written again.
    char record[ZQ_UPDATE_PATH_SIZE];
    if (previous[0] != '\0' && update_path(record, sizeof record, TRIAL_PATH) >= 0 &&
        access(record, F_OK) != 0) {
        UPD_TRACE("trial record %s gone before the reboot, written again\n", record);
        update_trial_write(filename, previous);
    }
    // From here on the new version is the one on trial.
    update_trial_load(upd, update_now_ms());
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

int update_trial_load(zq_update_t *upd, int64_t window_from_ms) {
    if (upd == nullptr) return -1;
    zq_trial_t *t = &upd->trial;
    t->active = 0;
    char path[ZQ_UPDATE_PATH_SIZE];
    if (update_path(path, sizeof path, TRIAL_PATH) < 0) return 0;
    int rc = update_trial_read(path, t->newfile, t->previous, sizeof t->newfile);
    if (rc == 1) return 0;
    if (rc < 0) {
        UPD_TRACE("trial record %s unreadable (%d), removed\n", path, rc);
        update_trial_remove();
        return 0;
    }
    struct stat st, prev;
    if (stat(t->newfile, &st) != 0 || stat(t->previous, &prev) != 0) {
        UPD_TRACE("trial record names files that no longer exist (%s, %s), removed\n", t->newfile,
                  t->previous);
        update_trial_remove();
        return 0;
    }
    t->dev = (uint64_t)st.st_dev;
    t->ino = (uint64_t)st.st_ino;
    t->pid = 0;
    t->started = 0;
    t->seen_ms = 0;
    t->next_look_ms = 0;
    t->end_ms = window_from_ms + env_or(update_env().trial_wait_ms, TRIAL_WINDOW_MS);
    t->active = 1;
    UPD_TRACE(
        "trial of %s: kept once it has run %d ms without a break, else back to %s in %lld "
        "ms\n",
        t->newfile, env_or(update_env().trial_confirm_ms, TRIAL_CONFIRM_MS), t->previous,
        (long long)(t->end_ms - update_now_ms()));
    return 1;
}

int update_trial_watch(zq_update_t *upd) {
    if (upd == nullptr || !upd->trial.active) return 0;
    zq_trial_t *t = &upd->trial;
    const int64_t now = update_now_ms();
    if (now < t->next_look_ms) return 0;
    t->next_look_ms = now + TRIAL_LOOK_MS;
    // Without a break: the same run (PID and start time) of the file at every look. A program
    // that is restarted, however quickly, begins its count anew.
    const update_proc_t watched = {t->pid, t->started};
    if (t->pid != 0 && !(update_proc_runs(t->pid, t->dev, t->ino) && update_proc_alive(watched))) {
        UPD_TRACE("%s: pid %d gone after %lld ms, counting anew\n", t->newfile, t->pid,
                  (long long)(now - t->seen_ms));
        t->pid = 0;
    }
    if (t->pid == 0) {
        const update_proc_t found = update_find_program(t->dev, t->ino);
        if (found.pid != 0) {
            t->pid = found.pid;
            t->started = found.started;
            t->seen_ms = now;
            UPD_TRACE("%s runs as pid %d\n", t->newfile, t->pid);
        }
    }
    const int confirm_ms = env_or(update_env().trial_confirm_ms, TRIAL_CONFIRM_MS);
    if (t->pid != 0 && now - t->seen_ms >= confirm_ms) {
        t->active = 0;
        update_trial_remove();
        UPD_TRACE("%s confirmed: ran %lld ms without a break as pid %d\n", t->newfile,
                  (long long)(now - t->seen_ms), t->pid);
        return 1;
    }
    if (now < t->end_ms) return 0;
    // The window has ended without proof: back to the last confirmed version.
    t->active = 0;
    UPD_TRACE("%s did not run %d ms without a break: back to %s\n", t->newfile, confirm_ms,
              t->previous);
    char linkname[ZQ_UPDATE_PATH_SIZE];
    int rc = update_path(linkname, sizeof linkname, LINK_PATH) < 0
                 ? -1
                 : update_switch_link(linkname, t->previous, "rollback_");
    if (rc != 0) {
        // The record stays: the next start tries again, the link names a program.
        UPD_TRACE("rollback to %s failed (%d)\n", t->previous, rc);
        return -2;
    }
    update_trial_remove();
    UPD_TRACE("rolled back to %s, rebooting\n", t->previous);
    update_step("rollback_removed");
    sync();
    update_run("reboot", nullptr);
    return 2;
}

// ---- main loop -----------------------------------------------------------------------------

static bool update_version_below(const int v[3], const int floor[3]) {
    for (int i = 0; i < 3; i++) {
        if (v[i] != floor[i]) return v[i] < floor[i];
    }
    return false;
}

// The program files beside the link, each with its size, the one the link names marked:
// "app_ZQHW_1_2_3 (2048 KiB, linked), app_ZQHW_backup (2040 KiB)"; cut with "..." when long.
static void update_list_versions(const char *dirname, const char *linkname, char *dst,
                                 size_t size) {
    snprintf(dst, size, "none");
    DIR *dir = opendir(dirname);
    if (dir == nullptr) return;
    struct stat linked;
    const bool have_link = stat(linkname, &linked) == 0;
    size_t used = 0;
    while (struct dirent *e = readdir(dir)) {
        if (strncmp(e->d_name, "app_ZQHW_", 9) != 0) continue;
        char path[ZQ_UPDATE_PATH_SIZE];
        struct stat st;
        int n = snprintf(path, sizeof path, "%s/%s", dirname, e->d_name);
        if (n < 0 || (size_t)n >= sizeof path || lstat(path, &st) != 0) continue;
        const bool is_linked =
            have_link && st.st_dev == linked.st_dev && st.st_ino == linked.st_ino;
        n = snprintf(dst + used, size - used, "%s%s (%lld KiB%s)", used > 0 ? ", " : "", e->d_name,
                     (long long)st.st_size / 1024, is_linked ? ", linked" : "");
        if (n < 0 || (size_t)n >= size - used) {
            snprintf(dst + (size > 4 ? size - 4 : 0), size > 4 ? 4 : size, "...");
            break;
        }
        used += (size_t)n;
    }
    closedir(dir);
}

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
    // The installed version is what the link names now (a rollback may have moved it).
    update_read_version(upd, linkname, false);
    if (v[0] == upd->app_version[0] && v[1] == upd->app_version[1] && v[2] == upd->app_version[2]) {
        android_NotifyUpdateFirmware_res(upd, "Rejected");
        return;
    }
    if (HAVE_FLOOR && update_version_below(v, VERSION_FLOOR)) {
        UPD_TRACE("version %d.%d.%d below the floor %d.%d.%d: refused\n", v[0], v[1], v[2],
                  VERSION_FLOOR[0], VERSION_FLOOR[1], VERSION_FLOOR[2]);
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
        // Nothing is ever removed here: the technician learns what to remove.
        char files[640];
        update_list_versions(dirname, linkname, files, sizeof files);
        UPD_TRACE(
            "Size %d beyond the free space of %s (%lld bytes, %lld kept free): %lld bytes "
            "more needed; version files: %s\n",
            upd->file_size, dirname, avail, margin, upd->file_size - (avail - margin), files);
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

// One line at start on what protects the installation, one more for a version floor.
static void update_trace_key(void) {
    uint8_t pub[ED25519_PUBLIC_SIZE];
    const char *why = "";
    char path[ZQ_UPDATE_PATH_SIZE];
    update_path(path, sizeof path, KEY_PATH);
    int rc = update_load_key(pub, &why);
    if (HAVE_BUILTIN_KEY) {
        if (rc < 0) {
            UPD_TRACE("built-in key unusable (%s): every image fails\n", why);
        } else {
            UPD_TRACE("images must be signed by the built-in key; %s is not read\n", path);
        }
    } else if (rc == 1) {
        UPD_TRACE("no %s: images are not verified\n", path);
    } else if (rc < 0) {
        UPD_TRACE("key file %s unusable (%s): every image fails\n", path, why);
    } else {
        UPD_TRACE("images must be signed by the key in %s\n", path);
    }
    if (HAVE_FLOOR) {
        UPD_TRACE("versions below %d.%d.%d are refused\n", VERSION_FLOOR[0], VERSION_FLOOR[1],
                  VERSION_FLOOR[2]);
    }
}

int zq_update_init(zq_update_t *upd) {
    if (upd == nullptr) return -1;
    upd->sock = -1;
    if (upd->start_ms == 0) upd->start_ms = update_now_ms();
    update_clean_leftovers();
    update_trace_key();
    // A trial is watched from every wait that follows; the HMI is served meanwhile.
    if (update_trial_load(upd, upd->start_ms) == 1) update_trial_watch(upd);
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
            // The answer is what the link names at the time of the query: after a rollback
            // the HMI sees the version it went back to.
            char linkname[ZQ_UPDATE_PATH_SIZE];
            if (update_path(linkname, sizeof linkname, LINK_PATH) >= 0) {
                update_read_version(upd, linkname, false);
            }
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
