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

zq_update_t update;

namespace {

[[maybe_unused]] constexpr int START_DELAY_MS = 10000;  // used by main() only
constexpr int RECV_TIMEOUT_MS = 30000;  // a silent HMI during a transfer is given up after this
constexpr int SEND_TIMEOUT_S = 30;      // also bounds a connect to an unreachable address
constexpr int KEEPALIVE_IDLE_S = 30;    // a half-open connection (HMI rebooted) is found by
constexpr int KEEPALIVE_INTVL_S = 5;    // keep-alive probes while waiting for a line
constexpr int KEEPALIVE_CNT = 4;

constexpr const char *LINK_PATH = "/home/root/bin/app_ZQHW";
constexpr const char *PROGRAM_NAME = "app_ZQHW";

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

static bool update_host_run(void) {
    const char *root = getenv("TCU_ROOT");
    return root != nullptr && root[0] != '\0';
}

int update_path(char *dst, size_t size, const char *fixed) {
    if (dst == nullptr || size == 0) return -1;
    const char *root = update_host_run() ? getenv("TCU_ROOT") : "";
    int n = snprintf(dst, size, "%s%s", root, fixed != nullptr ? fixed : "");
    if (n < 0 || (size_t)n >= size) {
        dst[0] = '\0';
        return -1;
    }
    return n;
}

// A host-run setting in milliseconds; the board build always uses the default.
static int update_env_ms(const char *name, int dflt) {
    if (!update_host_run()) return dflt;
    const char *text = getenv(name);
    if (text == nullptr || text[0] == '\0') return dflt;
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < 0 || v > INT_MAX) return dflt;
    return (int)v;
}

static bool update_trace_reads(void) {
    if (!update_host_run()) return false;
    const char *text = getenv("ZQ_UPDATE_TRACE_READS");
    return text != nullptr && strcmp(text, "1") == 0;
}

// Host runs: ZQ_UPDATE_KILL_AT names an installation step at which the updater kills itself,
// as a power cut or an operator would, to prove the link never names a half-made program.
static void update_step(const char *step) {
    if (!update_host_run()) return;
    const char *kill_at = getenv("ZQ_UPDATE_KILL_AT");
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

int android_DowanloadFile(zq_update_t *upd, const char *filename) {
    if (upd == nullptr || filename == nullptr) return -1;
    // The image lands beside its final name and takes that name only once complete and on disk.
    char tmpname[ZQ_UPDATE_PATH_SIZE];
    if (update_temp_name(tmpname, sizeof tmpname, filename) != 0) return -1;
    FILE *fp = fopen(tmpname, "wbe");
    printf("fp =%p\n", (void *)fp);
    if (fp == nullptr) return -1;
    upd->state = ZQ_STATE_DOWNLOADING;
    const int timeout_ms = update_env_ms("ZQ_UPDATE_RECV_TIMEOUT_MS", RECV_TIMEOUT_MS);
    const bool trace_reads = update_trace_reads();
    bool file_ok = true;
    int received = 0;
    while (received < upd->file_size) {
        int want = std::min(upd->file_size - received, ZQ_UPDATE_BUFF_SIZE);
        struct pollfd pfd = {upd->sock, POLLIN, 0};
        int pr = poll(&pfd, 1, timeout_ms);
        if (pr < 0 && errno == EINTR) continue;
        ssize_t ret = -1;
        if (pr == 0) {
            errno = ETIMEDOUT;  // the HMI went silent mid-transfer
        } else if (pr > 0) {
            errno = 0;
            ret = recv(upd->sock, upd->rx_buff, (size_t)want, 0);
            if (ret < 0 && errno == EINTR) continue;
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
        if (file_ok && fwrite(upd->rx_buff, 1, (size_t)ret, fp) != (size_t)ret) {
            UPD_TRACE("write %s failed, errno:%d\n", tmpname, errno);
            file_ok = false;
        }
        received += (int)ret;
        if (trace_reads) UPD_TRACE("recv chunk:%d, recvd:%d\n", (int)ret, received);
        if (received == (int)ret) update_step("download");
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

int android_Upgrade(zq_update_t *upd, const char *linkname, const char *filename) {
    if (upd == nullptr || linkname == nullptr || filename == nullptr) return -1;
    if (upd->state != ZQ_STATE_COMPLETE) return -1;
    char tmpname[ZQ_UPDATE_PATH_SIZE];
    char newlink[ZQ_UPDATE_PATH_SIZE];
    int n = snprintf(newlink, sizeof newlink, "%s.new", linkname);
    if (update_temp_name(tmpname, sizeof tmpname, filename) != 0 || n < 0 ||
        (size_t)n >= sizeof newlink) {
        return -2;
    }
    int rc = update_check_elf(tmpname);
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
    // The link is replaced by renaming a fresh one over it: never a moment without a program.
    unlink(newlink);
    if (symlink(filename, newlink) != 0) {
        UPD_TRACE("symlink %s failed, errno:%d\n", newlink, errno);
        return -6;
    }
    update_step("linked");
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
    update_step("switched");
    char target[ZQ_UPDATE_PATH_SIZE] = {0};
    ssize_t len = readlink(linkname, target, sizeof target - 1);
    if (len <= 0 || strcmp(target, filename) != 0) {
        UPD_TRACE("%s names %s, not %s\n", linkname, target, filename);
        return -9;
    }
    // Only now the running terminal is stopped; no match (it was not running) is no failure.
    rc = update_run("pkill", PROGRAM_NAME);
    if (rc != 0 && rc != 1) UPD_TRACE("pkill %s failed (%d)\n", PROGRAM_NAME, rc);
    upd->state = ZQ_STATE_INSTALLED;
    update_step("stopped");
    return 0;
}

int android_Reboot(zq_update_t *upd) {
    if (upd == nullptr || upd->state != ZQ_STATE_INSTALLED) return -1;
    sync();
    return update_run("reboot", nullptr);
}

// ---- main loop -----------------------------------------------------------------------------

static void update_offer(zq_update_t *upd) {
    int rc = android_ParseOffer(upd->rx_buff, &upd->file_size, upd->new_version);
    const int *v = upd->new_version;
    printf("as =%d,%d,%d,%d\n", upd->file_size, v[0], v[1], v[2]);
    char linkname[ZQ_UPDATE_PATH_SIZE];
    char filename[ZQ_UPDATE_PATH_SIZE];
    char fixed[64];
    snprintf(fixed, sizeof fixed, "/home/root/bin/app_ZQHW_%d_%d_%d", v[0], v[1], v[2]);
    if (rc != 0) {
        UPD_TRACE("offer refused (%d)\n", rc);
        android_NotifyUpdateFirmware_res(upd, "Rejected");
        return;
    }
    if (update_path(linkname, sizeof linkname, LINK_PATH) < 0 ||
        update_path(filename, sizeof filename, fixed) < 0) {
        UPD_TRACE("installation path too long\n");
        android_NotifyUpdateFirmware_res(upd, "Rejected");
        return;
    }
    if (v[0] == upd->app_version[0] && v[1] == upd->app_version[1] && v[2] == upd->app_version[2]) {
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

// Removes what an installation cut short by a power loss left behind: partial downloads and
// a new link that was never renamed into place. The link itself is never touched here.
static void update_clean_leftovers(void) {
    char dirname[ZQ_UPDATE_PATH_SIZE];
    if (update_path(dirname, sizeof dirname, "/home/root/bin") < 0) return;
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

int zq_update_init(zq_update_t *upd) {
    if (upd == nullptr) return -1;
    upd->sock = -1;
    update_clean_leftovers();
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
    signal(SIGPIPE, SIG_IGN);
    // A file-size limit must make the write fail (answered "Fail"), not end the updater.
    signal(SIGXFSZ, SIG_IGN);
    // The board's network and the HMI come up after the updater is started.
    update_msleep(update_env_ms("ZQ_UPDATE_START_DELAY_MS", START_DELAY_MS));
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
