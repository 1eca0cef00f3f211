// Modbus TCP link to the power unit: connecting out (plain or mutual TLS), receiving
// and cutting request frames, the register image with its request handlers, and the
// unsolicited register reports that other threads push through the link.
#include "modbus_TCP_HW.h"

#include <errno.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "logger.h"
#include "tc_system.h"
#include "tc_tcu.h"

namespace {

constexpr int kBuffSize = 1024;
// 9 header bytes + 2 per register must fit the response buffer.
constexpr int kMaxReadRegs = (kBuffSize - 9) / 2;
static_assert(22 + 2 * MODBUS_TCP_REPORT_REGS <= kBuffSize, "a report fits the report buffer");
// Its two length bytes are 8 bits wide: 16 + 2N must stay below 256 (N at most 119).
static_assert(16 + 2 * MODBUS_TCP_REPORT_REGS <= 0xFF, "a report's length fits its byte");

// ---------------------------------------------------------------------------
// Transports. Both run on a non-blocking socket, so that nothing waits on the
// network inside them: waiting is done by the callers with a deadline.

// Records a failed transport call: its own result, errno right after it, the
// SSL_get_error code (0: not a TLS failure) and OpenSSL's queue entry (0: none).
int io_failed(modbus_TCP_t *dev, int ret, int err, int ssl_code, unsigned long detail) {
    dev->io_ret = ret;
    dev->io_errno = err;
    dev->io_ssl_code = ssl_code;
    dev->io_detail = detail;
    return -2;
}

int plain_read(modbus_TCP_t *dev, uint8_t *buff, int size) {
    ssize_t n = recv(dev->fd, buff, (size_t)size, MSG_DONTWAIT);
    if (n > 0) return (int)n;
    if (n == 0) return -1;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    return io_failed(dev, (int)n, errno, 0, 0);
}

int plain_write(modbus_TCP_t *dev, const uint8_t *buff, int size, short *events) {
    ssize_t n = send(dev->fd, buff, (size_t)size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) return (int)n;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        *events = POLLOUT;
        return 0;
    }
    return io_failed(dev, (int)n, (n < 0) ? errno : EPIPE, 0, 0);
}

int plain_pending(modbus_TCP_t *) {
    return 0;
}

int tls_read(modbus_TCP_t *dev, uint8_t *buff, int size) {
    ERR_clear_error();
    errno = 0;
    int n = SSL_read(dev->ssl, buff, size);
    if (n > 0) return n;
    int sys_err = errno;
    int err = SSL_get_error(dev->ssl, n);
    // Session tickets, key updates and partial records arrive without application
    // data: "nothing yet", not a failure.
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return 0;
    if (err == SSL_ERROR_ZERO_RETURN) return -1;
    // After a fatal error OpenSSL must not write a close_notify on this connection.
    SSL_set_quiet_shutdown(dev->ssl, 1);
    unsigned long detail = ERR_peek_last_error();
    if (err == SSL_ERROR_SYSCALL && detail == 0 && sys_err == 0) return -1;  // EOF, no notify
    return io_failed(dev, n, sys_err, err, detail);
}

int tls_write(modbus_TCP_t *dev, const uint8_t *buff, int size, short *events) {
    ERR_clear_error();
    errno = 0;
    int n = SSL_write(dev->ssl, buff, size);
    if (n > 0) return n;
    int sys_err = errno;
    int err = SSL_get_error(dev->ssl, n);
    if (err == SSL_ERROR_WANT_WRITE) {
        *events = POLLOUT;
        return 0;
    }
    if (err == SSL_ERROR_WANT_READ) {
        *events = POLLIN;
        return 0;
    }
    SSL_set_quiet_shutdown(dev->ssl, 1);
    return io_failed(dev, n, sys_err, err, ERR_peek_last_error());
}

// Decrypted bytes left over from a read capped by the free buffer space sit inside
// OpenSSL, where poll cannot see them. Undecrypted bytes (SSL_has_pending) are only
// ever the start of a record whose rest is still on the way: for those the socket
// must be waited on, or the loop spins until the record is complete.
int tls_pending(modbus_TCP_t *dev) {
    return SSL_pending(dev->ssl) > 0 ? 1 : 0;
}

constexpr modbus_TCP_io_t kPlainIo = {plain_read, plain_write, plain_pending};
constexpr modbus_TCP_io_t kTlsIo = {tls_read, tls_write, tls_pending};

// The code of the last transport failure: SSL_get_error's for a TLS failure, else errno.
int io_code(const modbus_TCP_t *dev) {
    return dev->io_ssl_code != 0 ? dev->io_ssl_code : dev->io_errno;
}

// Its text: OpenSSL's own when its queue holds the failure; for a failure of the
// system call under TLS the system's text (or the peer's close); else the name of
// the TLS error. A failure outside TLS has the system's text.
const char *io_errstr(const modbus_TCP_t *dev, char *buff, size_t size) {
    if (dev->io_detail != 0) {
        ERR_error_string_n(dev->io_detail, buff, size);
        return buff;
    }
    const char *text;
    switch (dev->io_ssl_code) {
        case 0:
            text = strerror(dev->io_errno);
            break;
        case SSL_ERROR_SYSCALL:
            text = dev->io_errno != 0 ? strerror(dev->io_errno) : "connection closed by peer";
            break;
        case SSL_ERROR_SSL:
            text = "TLS protocol error";
            break;
        case SSL_ERROR_ZERO_RETURN:
            text = "TLS connection closed by peer";
            break;
        default:
            text = "TLS operation not completed";
            break;
    }
    snprintf(buff, size, "%s", text);
    return buff;
}

// ---------------------------------------------------------------------------
// Connection state.

// Caller holds mutex.
void free_ssl_locked(modbus_TCP_t *dev) {
    if (dev->ssl != nullptr) {
        // Best effort close_notify: the socket is non-blocking, nothing waits here.
        ERR_clear_error();
        SSL_shutdown(dev->ssl);
        SSL_free(dev->ssl);
        dev->ssl = nullptr;
    }
    if (dev->ctx != nullptr) {
        SSL_CTX_free(dev->ctx);
        dev->ctx = nullptr;
    }
    ERR_clear_error();
}

void drain_wake(modbus_TCP_t *dev) {
    int fd = dev->wake_fd.load();
    if (fd <= 0) return;
    uint64_t count;
    while (read(fd, &count, sizeof count) > 0) {
    }
}

// Caller holds report_mutex. Reports up to this ticket will never wait for the
// socket again (sent, or dropped): whoever waits for one of them goes on.
void settle_locked(modbus_TCP_t *dev, uint64_t ticket) {
    if (ticket <= dev->report_settled) return;
    dev->report_settled = ticket;
    dev->report_stalled = 0;
    if (dev->report_waiters > 0) pthread_cond_broadcast(&dev->report_cond);
}

// Caller holds io_mutex. The other threads see "not connected" as soon as mutex is
// released; what was queued for this connection will never be sent.
void close_conn(modbus_TCP_t *dev) {
    {
        tc_lock lk(&dev->mutex);
        free_ssl_locked(dev);
        if (dev->fd > 0) close(dev->fd);
        dev->fd = -1;
        dev->io = &kPlainIo;
        dev->conn_gen++;
    }
    int dropped = 0;
    uint32_t total = 0;
    {
        tc_lock q(&dev->report_mutex);
        dropped = dev->report_count;
        dev->report_count = 0;
        dev->reports_dropped_gone += (uint32_t)dropped;
        total = dev->reports_dropped_gone;
        settle_locked(dev, dev->report_tickets);
    }
    if (dropped > 0)
        TCU_LOG_PEER(1, "%d register reports dropped: connection closed (%u so far)\n", dropped,
                     total);
}

bool is_connected(modbus_TCP_t *dev) {
    tc_lock lk(&dev->mutex);
    return dev->fd > 0;
}

bool link_stopping(modbus_TCP_t *dev) {
    return dev->quit.load() != 0 || tc_stop_requested() != 0;
}

// Waits for the socket to become ready for `events`, until the deadline, on the
// thread that owns the socket. A stop of the process or of the link ends the wait
// at once (-2): nobody waits on a power unit that is not reading while the guns are
// being made safe. 1 ready, 0 deadline passed, -1 failed wait.
int link_wait(modbus_TCP_t *dev, int fd, short events, int64_t deadline) {
    for (;;) {
        if (link_stopping(dev)) return -2;
        if (deadline - monotime_ms() <= 0) return 0;
        pollfd p[3] = {
            {fd, events, 0}, {dev->wake_fd.load(), POLLIN, 0}, {tc_stop_fd(), POLLIN, 0}};
        int r = tc_poll_until(p, 3, deadline);
        if (r < 0) return -1;
        if (r == 0) return 0;
        if (p[1].revents != 0) drain_wake(dev);  // queued reports go after this frame
        if (p[0].revents != 0) return 1;
    }
}

// Caller holds io_mutex (the socket's owner).
int send_frame(modbus_TCP_t *dev, const uint8_t *buff, int bytes) {
    if (dev->fd <= 0) return -1;
    if (bytes <= 0 || buff == nullptr) return -2;
    const int64_t deadline = monotime_ms() + MODBUS_TCP_SEND_MS;
    int sent = 0;
    while (sent < bytes) {
        short events = POLLOUT;
        int n = dev->io->write(dev, buff + sent, bytes - sent, &events);
        if (n > 0) {
            sent += n;  // a short write is continued until the frame is out
            continue;
        }
        if (n == 0) {
            int w = link_wait(dev, dev->fd, events, deadline);
            if (w == 1) continue;
            // 0: the power unit stopped reading; -2: the terminal is stopping.
            io_failed(dev, n, w == 0 ? ETIMEDOUT : (w == -2 ? ECANCELED : errno), 0, 0);
        }
        break;
    }
    if (sent == bytes) return sent;
    char errstr[160];
    TCU_LOG(1, "send(fd = %d)  error.\n", dev->fd);
    TCU_LOG(1, "send %d of %d bytes, %s\n", sent, bytes, io_errstr(dev, errstr, sizeof(errstr)));
    close_conn(dev);
    return -3;
}

// ---------------------------------------------------------------------------
// Connecting, on locals and without the mutex: a sender on another thread is
// never held up by a slow or black-holed power unit.

void conn_release(modbus_TCP_conn_t *conn) {
    if (conn->ssl != nullptr) SSL_free(conn->ssl);
    if (conn->ctx != nullptr) SSL_CTX_free(conn->ctx);
    if (conn->fd > 0) close(conn->fd);
    conn->ssl = nullptr;
    conn->ctx = nullptr;
    conn->fd = -1;
}

// Failure kinds for the repeated-failure gate: one code per kind and cause.
constexpr int kGateResolver = 100000;
constexpr int kGateConnect = 200000;
constexpr int kGateTls = 300000;

bool gate_pass(modbus_TCP_t *dev, int code) {
    return tc_fail_gate_pass(&dev->connect_gate, code, monotime_ms()) != 0;
}

// Non-blocking connect bounded by the deadline, then SO_ERROR.
int connect_with_deadline(modbus_TCP_t *dev, int fd, const sockaddr *addr, socklen_t len,
                          int64_t deadline) {
    if (connect(fd, addr, len) == 0) return 0;
    if (errno != EINPROGRESS && errno != EINTR && errno != EALREADY) return errno;
    for (;;) {
        int r = link_wait(dev, fd, POLLOUT, deadline);
        if (r == -2) return ECANCELED;
        if (r < 0) return errno;
        if (r == 0) return ETIMEDOUT;
        int err = 0;
        socklen_t elen = sizeof(err);
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &elen) < 0) return errno;
        return err;
    }
}

// Dotted IPv4 address and decimal port 1-65535 into sa; false for anything else.
bool numeric_endpoint(const char *host, const char *port, sockaddr_in *sa) {
    memset(sa, 0, sizeof(*sa));
    if (inet_pton(AF_INET, host, &sa->sin_addr) != 1) return false;
    long value = 0;
    int digits = 0;
    for (const char *p = port; *p != '\0'; p++, digits++) {
        if (*p < '0' || *p > '9' || digits >= 5) return false;
        value = value * 10 + (*p - '0');
    }
    if (digits == 0 || value < 1 || value > 65535) return false;
    sa->sin_family = AF_INET;
    sa->sin_port = htons((uint16_t)value);
    return true;
}

int create_inet_stream_socket(modbus_TCP_t *dev, int64_t deadline) {
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    // A numeric address and port (the usual case) need no resolver: no allocation at
    // all per connection attempt, so reconnecting for months leaves the heap as it was.
    sockaddr_in numeric_sa;
    addrinfo numeric;
    const bool is_numeric = numeric_endpoint(dev->serverip, dev->port, &numeric_sa);
    if (is_numeric) {
        memset(&numeric, 0, sizeof(numeric));
        numeric.ai_family = AF_INET;
        numeric.ai_socktype = SOCK_STREAM;
        numeric.ai_addr = reinterpret_cast<sockaddr *>(&numeric_sa);
        numeric.ai_addrlen = sizeof(numeric_sa);
        res = &numeric;
    } else {
        int gai = getaddrinfo(dev->serverip, dev->port, &hints, &res);
        if (gai != 0) {
            if (gate_pass(dev, kGateResolver - gai)) TCU_LOG(1, "getaddrinfo error(%d)\n", gai);
            return -1;
        }
    }
    int fd = -1;
    int last_err = 0;
    for (addrinfo *ai = res; ai != nullptr; ai = ai->ai_next) {
        int s =
            socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (s < 0) {
            last_err = errno;
            continue;
        }
        int err = connect_with_deadline(dev, s, ai->ai_addr, ai->ai_addrlen, deadline);
        if (err == 0) {
            fd = s;
            break;
        }
        close(s);
        last_err = err;
    }
    if (!is_numeric) freeaddrinfo(res);
    if (fd < 0) {
        if (gate_pass(dev, kGateConnect + last_err))
            TCU_LOG(1, "connect(%s:%s) error:%d, %s\n", dev->serverip, dev->port, last_err,
                    strerror(last_err));
        errno = last_err;
        return -1;
    }
    // Requests, responses and reports are single small frames that must leave at once.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    // fd 0 would read as "not connected" everywhere: keep the descriptor above it.
    if (fd == 0) {
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        fd = moved;
    }
    return fd;
}

// The power unit's certificate must name `name`: an IP address when it parses as
// one (iPAddress entry), otherwise a DNS name (which is also sent as SNI).
bool expect_server_name(SSL *ssl, const char *name) {
    X509_VERIFY_PARAM *param = SSL_get0_param(ssl);
    if (param == nullptr) return false;
    if (X509_VERIFY_PARAM_set1_ip_asc(param, name) == 1) return true;
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (X509_VERIFY_PARAM_set1_host(param, name, 0) != 1) return false;
    return SSL_set_tlsext_host_name(ssl, name) == 1;
}

// The key file must never make OpenSSL prompt on the terminal: supply no password.
int no_password_cb(char *, int, int, void *) {
    return 0;
}

int tls_setup_fail(modbus_TCP_t *dev, modbus_TCP_conn_t *conn, int ret, const char *what,
                   const char *path) {
    if (gate_pass(dev, kGateTls - ret)) {
        char errstr[160];
        ERR_error_string_n(ERR_peek_last_error(), errstr, sizeof(errstr));
        if (ret == -3 && strcmp(what, "SSL_new") == 0)
            TCU_LOG(1, "SSL_new ctx(%p)\n", (void *)conn->ctx);
        else
            TCU_LOG(1, "ctx(%p)\n", (void *)conn->ctx);
        TCU_LOG(1, "%s %s failed(%d): %s\n", what, path, ret, errstr);
    }
    conn_release(conn);
    ERR_clear_error();
    return ret;
}

void log_peer_certificate(SSL *ssl) {
    TCU_LOG(3, "ssl(%p)\n", (void *)ssl);
    X509 *cert = SSL_get1_peer_certificate(ssl);
    if (SSL_get_verify_result(ssl) == X509_V_OK) TCU_LOG(3, "证书验证通过\n");
    if (cert == nullptr) {
        TCU_LOG(3, "无证书信息！\n");
        return;
    }
    TCU_LOG(3, "数字证书信息:\n");
    char *subject = X509_NAME_oneline(X509_get_subject_name(cert), nullptr, 0);
    char *issuer = X509_NAME_oneline(X509_get_issuer_name(cert), nullptr, 0);
    TCU_LOG(3, "证书: %s\n", subject ? subject : "");
    TCU_LOG(3, "颁发者: %s\n", issuer ? issuer : "");
    OPENSSL_free(subject);
    OPENSSL_free(issuer);
    X509_free(cert);
}

// The operator's TLS 1.2 cipher string, tried once at start-up on a context of its
// own: a string the library refuses is named once, and the link then makes no
// attempt at all rather than fall back to the default list the operator ruled out.
void check_tls_ciphers(modbus_TCP_t *dev) {
    if (dev->tls_ciphers == nullptr) return;
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr) return;  // the set-up of each attempt reports this itself
    ERR_clear_error();
    if (SSL_CTX_set_cipher_list(ctx, dev->tls_ciphers) != 1) {
        dev->tls_ciphers_refused = 1;
        TCU_LOG(1,
                "modbus_hw.tls_ciphers \"%s\" is refused by the TLS library: no connection to "
                "the power unit until it is corrected\n",
                dev->tls_ciphers);
    }
    ERR_clear_error();
    SSL_CTX_free(ctx);
}

// A private key that others can read is as good as published: say so once.
void check_key_file(void) {
    char path[512];
    tcu_path(path, sizeof(path), "/home/root/etc/client.keyp");
    struct stat st;
    if (stat(path, &st) != 0) return;  // the TLS set-up names a missing file itself
    if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0)
        TCU_LOG(1, "%s is readable by group or others (mode %03o): make it owner-only\n", path,
                (unsigned)(st.st_mode & 0777));
}

// ---------------------------------------------------------------------------
// Register image: every read window and every writable range, a fixed range test
// per register.

enum reg_block {
    B0000,
    B0100,
    B1000,
    B1100,
    B1D00,
    B2000,
    B2100,
    B2D00,
    B3000,
    B3100,
    B3D00,
    B4000,
};

struct reg_window_t {
    uint16_t first;  // Modbus address of element `elem`
    uint16_t count;
    reg_block block;
    uint16_t elem;
};

constexpr reg_window_t kReadWindows[] = {
    {0x0000, 43, B0000, 0},  {0x0100, 43, B0100, 0},  {0x1000, 38, B1000, 0},
    {0x1100, 128, B1100, 0}, {0x1200, 160, B1100, 0}, {0x1400, 128, B1100, 0},
    {0x1500, 128, B1100, 0}, {0x1D00, 128, B1D00, 0}, {0x2000, 23, B2000, 0},
    {0x2100, 48, B2100, 0},  {0x2500, 48, B2100, 0},  {0x2D00, 48, B2D00, 0},
    {0x2E00, 48, B2D00, 0},  {0x3000, 5, B3000, 0},   {0x3100, 41, B3100, 0},
    {0x3200, 22, B3100, 0},  {0x3D00, 41, B3D00, 0},  {0x4000, 256, B4000, 0},
};

constexpr reg_window_t kWriteWindows[] = {
    {0x0100, 43, B0100, 0}, {0x2006, 16, B2000, 6},  {0x2100, 48, B2100, 0},
    {0x2D00, 48, B2D00, 0}, {0x4000, 256, B4000, 0},
};

uint16_t *block_base(modbus_TCP_t *dev, reg_block b) {
    switch (b) {
        case B0000:
            return dev->regs_0x0000;
        case B0100:
            return dev->regs_0x0100;
        case B1000:
            return dev->regs_0x1000;
        case B1100:
            return dev->regs_0x1100;
        case B1D00:
            return dev->regs_0x1D00;
        case B2000:
            return dev->regs_0x2000;
        case B2100:
            return dev->regs_0x2100;
        case B2D00:
            return dev->regs_0x2D00;
        case B3000:
            return dev->regs_0x3000;
        case B3100:
            return dev->regs_0x3100;
        case B3D00:
            return dev->regs_0x3D00;
        case B4000:
            return dev->regs_0x4000;
    }
    return nullptr;
}

template <size_t N>
uint16_t *map_reg(modbus_TCP_t *dev, const reg_window_t (&table)[N], uint16_t addr) {
    for (const reg_window_t &w : table) {
        if (addr >= w.first && addr - w.first < w.count)
            return block_base(dev, w.block) + w.elem + (addr - w.first);
    }
    return nullptr;
}

// What a stored register sets off, found under the mutex and carried out after it.
struct reg_action_t {
    enum kind_t { NONE, LIMIT, MAC_A, MAC_B, KEY_A, KEY_B } kind;
    const char *format;  // LIMIT: the log text
    float value;         // LIMIT: the pair as a float, first register high
    int gun;             // LIMIT: 0 gun A, 1 gun B
    int index;           // LIMIT: which of the five limits
};

constexpr const char *kLimitFormats[2][5] = {
    {"--GUNA.maxV:%f\n", "--GUNA.maxI:%f\n", "--GUNA.minV:%f\n", "--GUNA.minI:%f\n",
     "--GUNA.fixedP.KW:%f\n"},
    {"--GUNB.maxV:%f\n", "--GUNB.maxI:%f\n", "--GUNB.minV:%f\n", "--GUNB.minI:%f\n",
     "--GUNB.fixedP.KW:%f\n"},
};
// Second register of each limit pair, offset in the gun's settings block.
constexpr uint16_t kLimitSecond[5] = {0x01, 0x03, 0x06, 0x08, 0x0A};

// key_reg: the register whose write installs the key (0x2E by function 6, 0x2C by 16).
reg_action_t action_locked(modbus_TCP_t *dev, uint16_t addr, uint16_t key_reg) {
    reg_action_t act = {reg_action_t::NONE, nullptr, 0.0f, 0, 0};
    int gun;
    const uint16_t *block;
    if (addr >= 0x2100 && addr <= 0x212F) {
        gun = 0;
        block = dev->regs_0x2100;
    } else if (addr >= 0x2D00 && addr <= 0x2D2F) {
        gun = 1;
        block = dev->regs_0x2D00;
    } else {
        return act;
    }
    uint16_t off = addr & 0xFF;
    for (int i = 0; i < 5; i++) {
        if (off == kLimitSecond[i]) {
            act.kind = reg_action_t::LIMIT;
            act.format = kLimitFormats[gun][i];
            act.gun = gun;
            act.index = i;
            act.value = regs_to_float(&block[off - 1]);
            return act;
        }
    }
    if (off == 0x13) act.kind = gun == 0 ? reg_action_t::MAC_A : reg_action_t::MAC_B;
    if (off == key_reg) act.kind = gun == 0 ? reg_action_t::KEY_A : reg_action_t::KEY_B;
    return act;
}

// Runs without mutex: the hub's triggers take the GOOSE objects' mutexes. The limit
// line names the handler that stored the register (func).
void run_action(const reg_action_t &act, const char *func) {
    switch (act.kind) {
        case reg_action_t::LIMIT: {
            // One budget per limit: a power unit setting all ten at once is logged whole.
            static clog_rate_t limit_rates[2][5];
            clog_rate_t *rate = &limit_rates[act.gun][act.index];
            if (clog_rate_pass(rate, 3, func, __FILE__, __LINE__))
                clog_print(3, "TCU", func, __FILE__, __LINE__, act.format, (double)act.value);
            break;
        }
        case reg_action_t::MAC_A:
            ccu_Update_GUNA_mac_addr();
            break;
        case reg_action_t::MAC_B:
            ccu_Update_GUNB_mac_addr();
            break;
        case reg_action_t::KEY_A:
            ccu_Update_GUNA_HMAC();
            break;
        case reg_action_t::KEY_B:
            ccu_Update_GUNB_HMAC();
            break;
        case reg_action_t::NONE:
            break;
    }
}

// Functions accepted at a frame start: 3, 6, 16, 65 and 103.
bool function_accepted(uint8_t fn) {
    constexpr uint64_t kMask = 0x4000000000002009ULL;  // bits over fn - 3: 3, 6, 16, 65
    if (fn == 103) return true;
    if (fn < 3 || fn - 3 >= 64) return false;
    return ((kMask >> (fn - 3)) & 1) != 0;
}

// Bytes a frame of the function needs to be handled at all.
int min_frame_bytes(uint8_t fn) {
    switch (fn) {
        case 3:
        case 6:
            return 12;
        case 16:
            return 13;
        default:
            return 8;
    }
}

void drop_front(modbus_TCP_t *dev, int n) {
    if (n >= dev->rx_bytes) {
        dev->rx_bytes = 0;
        return;
    }
    memmove(dev->rx_buff, dev->rx_buff + n, (size_t)(dev->rx_bytes - n));
    dev->rx_bytes -= n;
}

}  // namespace

// ---------------------------------------------------------------------------
// OpenSSL legacy locking set-up (OpenSSL 3 calls none of it; kept for the record).

static pthread_mutex_t *lock_cs = nullptr;
static long long *lock_count = nullptr;

void pthread_locking_callback(int mode, int type, const char *, int) {
    if (lock_cs == nullptr || type != 0) return;
    if (mode & 0x1) {
        pthread_mutex_lock(&lock_cs[type]);
        lock_count[type]++;
    } else {
        pthread_mutex_unlock(&lock_cs[type]);
    }
}

unsigned long pthreads_thread_id(void) {
    return (unsigned long)pthread_self();
}

void CRYPTO_thread_setup(void) {
    if (lock_cs != nullptr) return;
    lock_cs = static_cast<pthread_mutex_t *>(OPENSSL_malloc(sizeof(pthread_mutex_t)));
    lock_count = static_cast<long long *>(OPENSSL_malloc(sizeof(long long)));
    if (lock_cs == nullptr || lock_count == nullptr) {
        OPENSSL_free(lock_cs);
        OPENSSL_free(lock_count);
        lock_cs = nullptr;
        lock_count = nullptr;
        return;
    }
    lock_count[0] = 0;
    pthread_mutex_init(&lock_cs[0], nullptr);
}

void CRYPTO_thread_cleanup(void) {
    if (lock_cs == nullptr) return;
    pthread_mutex_destroy(&lock_cs[0]);
    OPENSSL_free(lock_cs);
    OPENSSL_free(lock_count);
    lock_cs = nullptr;
    lock_count = nullptr;
}

// ---------------------------------------------------------------------------
// Register image.

uint16_t *modbus_TCP_read_reg(modbus_TCP_t *dev, uint16_t addr) {
    return dev ? map_reg(dev, kReadWindows, addr) : nullptr;
}

uint16_t *modbus_TCP_write_reg(modbus_TCP_t *dev, uint16_t addr) {
    return dev ? map_reg(dev, kWriteWindows, addr) : nullptr;
}

static void modbus_TCP_init_regs(modbus_TCP_t *dev, uint16_t tcu_id) {
    dev->regs_0x0000[0x00] = 2;
    dev->regs_0x0000[0x01] = 0x0080;
    dev->regs_0x0000[0x02] = 0x0100;
    dev->regs_0x0000[0x04] = 0x4142;
    static const char kVersion[] = "SW20241128";
    dumpString2Reg(&dev->regs_0x0000[0x13], (const uint8_t *)kVersion, 10);
    dev->regs_0x1000[0x15] = 2;
    // "TC20241120-ASTZQ" + a five-digit id is 21 characters: format into room enough,
    // then pack the first 18, a shorter text padded with zeros.
    char ident[32];
    snprintf(ident, sizeof(ident), "TC20241120-ASTZQ%2d", tcu_id);
    uint8_t packed[18] = {0};
    memcpy(packed, ident, std::min(strlen(ident), sizeof(packed)));
    dumpString2Reg(&dev->regs_0x1000[0x16], packed, 18);
    dev->regs_0x1100[0x04] = 4;
    dev->regs_0x1100[0x0E] = (uint16_t)(tcu_id * 2 + 1);
    dev->regs_0x1100[0x0B] = 0;
    dev->regs_0x1100[0x0D] = 0;
    dev->regs_0x2100[0x2F] = 1;
    dev->regs_0x1D00[0x04] = 4;
    dev->regs_0x1D00[0x0E] = (uint16_t)(tcu_id * 2 + 2);
    dev->regs_0x1D00[0x0B] = 0;
    dev->regs_0x1D00[0x0D] = 0;
    dev->regs_0x2D00[0x2F] = 1;
}

void showRegs(modbus_TCP_t *dev) {
    if (dev == nullptr) return;
    uint16_t a[10], b[10];
    {
        tc_lock lk(&dev->mutex);
        const uint16_t *blk[2][3] = {{dev->regs_0x2100, dev->regs_0x1100, dev->regs_0x2100},
                                     {dev->regs_0x2D00, dev->regs_0x1D00, dev->regs_0x2D00}};
        uint16_t *out[2] = {a, b};
        for (int g = 0; g < 2; g++) {
            out[g][0] = dev->regs_0x2000[0x06];
            out[g][1] = blk[g][0][0x2F];
            out[g][2] = blk[g][1][0x05];
            out[g][3] = blk[g][1][0x06];
            out[g][4] = blk[g][1][0x0B];
            out[g][5] = blk[g][1][0x0D];
            for (int i = 0; i < 4; i++) out[g][6 + i] = blk[g][2][0x15 + i];
        }
    }
    printf("\n.............\n");
    printf("GUN:2006, %04x\n", a[0]);
    printf("GUN:212F, %04x\n", a[1]);
    printf("GUN:1105, %04x\n", a[2]);
    printf("GUN:1106, %04x\n", a[3]);
    printf("GUN:110B, %04x\n", a[4]);
    printf("GUN:110D, %04x\n", a[5]);
    printf("GUN:2115 :%04x %04x %04x %04x\n", a[6], a[7], a[8], a[9]);
    printf("GUN:2006, %04x\n", b[0]);
    printf("GUN:2D2F, %04x\n", b[1]);
    printf("GUN:1D05, %04x\n", b[2]);
    printf("GUN:1D06, %04x\n", b[3]);
    printf("GUN:1D0B, %04x\n", b[4]);
    printf("GUN:1D0D, %04x\n", b[5]);
    printf("GUN:2D15 :%04x %04x %04x %04x\n", b[6], b[7], b[8], b[9]);
    printf("\n");
    fflush(stdout);
}

int modbus_TCP_response_error(modbus_TCP_t *dev, uint8_t function, uint8_t errcode) {
    if (dev == nullptr) return -1;
    const uint8_t *rq = dev->rx_buff;
    uint8_t *tx = dev->tx_buff;
    memcpy(tx, rq, 4);
    tx[4] = 0x00;
    tx[5] = 0x03;
    tx[6] = rq[6];
    tx[7] = (uint8_t)(function | 0x80);
    tx[8] = errcode;
    dev->tx_bytes = 9;
    return 0;
}

int modbus_TCP_read_holding_registers(modbus_TCP_t *dev) {
    if (dev == nullptr) return -1;
    const uint8_t *rq = dev->rx_buff;
    uint8_t *tx = dev->tx_buff;
    uint16_t addr = get_be16(rq + 8);
    int quantity = get_be16(rq + 10);
    if (quantity > kMaxReadRegs) {  // the response would not fit the buffer
        modbus_TCP_response_error(dev, rq[7], 3);
        return -1;
    }
    memcpy(tx, rq, 8);
    int n = 9;
    {
        // One copy under the mutex: a float pair is never served half-updated.
        tc_lock lk(&dev->mutex);
        for (int i = 0; i < quantity; i++) {
            const uint16_t *reg = modbus_TCP_read_reg(dev, (uint16_t)(addr + i));
            if (reg == nullptr) {
                modbus_TCP_response_error(dev, rq[7], 2);
                return -1;
            }
            put_be16(tx + n, *reg);
            n += 2;
        }
    }
    put_be16(tx + 4, (uint16_t)(n - 6));
    tx[8] = (uint8_t)(2 * quantity);
    dev->tx_bytes = n;
    return 0;
}

int modbus_TCP_write_single_register(modbus_TCP_t *dev) {
    if (dev == nullptr) return -1;
    const uint8_t *rq = dev->rx_buff;
    uint16_t addr = get_be16(rq + 8);
    uint16_t value = get_be16(rq + 10);
    reg_action_t act;
    {
        tc_lock lk(&dev->mutex);
        uint16_t *reg = modbus_TCP_write_reg(dev, addr);
        if (reg == nullptr) {
            modbus_TCP_response_error(dev, rq[7], 2);
            return -1;
        }
        *reg = value;
        act = action_locked(dev, addr, 0x2E);
    }
    run_action(act, __func__);
    memcpy(dev->tx_buff, rq, 12);
    dev->tx_buff[4] = 0x00;
    dev->tx_buff[5] = 0x06;
    dev->tx_bytes = 12;
    return 0;
}

int modbus_TCP_write_multiple_registers(modbus_TCP_t *dev) {
    if (dev == nullptr) return -1;
    const uint8_t *rq = dev->rx_buff;
    uint16_t addr = get_be16(rq + 8);
    int quantity = get_be16(rq + 10);
    // The end address as counted, not cut to 16 bits: 0xFFFF and 2 registers end at 0x10000.
    TCU_LOG_PEER(3, "fill-addr[%04x --- %04x] %04x regs.\n", addr,
                 (unsigned)((int)addr + quantity - 1), quantity);
    // The values must all be inside the frame (and the frame inside the buffer);
    // a short frame writes nothing.
    int frame = std::min((int)get_be16(rq + 4) + 6, dev->rx_bytes);
    if (frame < 13 || 13 + 2 * quantity > frame) {
        modbus_TCP_response_error(dev, rq[7], 3);
        return -1;
    }
    tc_lock lk(&dev->mutex);
    for (int i = 0; i < quantity; i++) {
        uint16_t a = (uint16_t)(addr + i);
        uint16_t *reg = modbus_TCP_write_reg(dev, a);
        if (reg == nullptr) {
            lk.unlock();
            modbus_TCP_response_error(dev, rq[7], 2);
            return -1;
        }
        *reg = get_be16(rq + 13 + 2 * i);
        reg_action_t act = action_locked(dev, a, 0x2C);
        if (act.kind != reg_action_t::NONE) {
            // The hub takes other objects' mutexes: never call it with ours held.
            lk.unlock();
            run_action(act, __func__);
            lk.lock();
        }
    }
    lk.unlock();
    uint8_t *tx = dev->tx_buff;
    memcpy(tx, rq, 4);
    tx[4] = 0x00;
    tx[5] = 0x06;
    memcpy(tx + 6, rq + 6, 6);
    dev->tx_bytes = 12;
    return 0;
}

int modbus_TCP_report_registers(modbus_TCP_t *dev, uint16_t regaddr, const uint16_t *regvalue,
                                int N) {
    return modbus_TCP_report_ticket(dev, regaddr, regvalue, N, nullptr);
}

int modbus_TCP_report_ticket(modbus_TCP_t *dev, uint16_t regaddr, const uint16_t *regvalue, int N,
                             uint64_t *ticket) {
    if (ticket != nullptr) *ticket = 0;
    if (dev == nullptr) return -1;
    if (N < 0 || N > MODBUS_TCP_REPORT_REGS || (N > 0 && regvalue == nullptr)) return -2;
    modbus_TCP_report_t r;
    r.regaddr = regaddr;
    r.count = (uint16_t)N;
    {
        // One copy under the mutex: a float pair is never reported half-updated.
        tc_lock lk(&dev->mutex);
        if (dev->fd <= 0) return -1;
        r.conn_gen = dev->conn_gen;
        for (int i = 0; i < N; i++) r.regs[i] = regvalue[i];
    }
    uint32_t dropped = 0;
    {
        tc_lock q(&dev->report_mutex);
        if (dev->report_count >= MODBUS_TCP_REPORT_QUEUE) {
            dropped = ++dev->reports_dropped_full;
        } else {
            r.ticket = ++dev->report_tickets;
            int tail = (dev->report_head + dev->report_count) % MODBUS_TCP_REPORT_QUEUE;
            dev->reports[tail] = r;
            dev->report_count++;
            if (ticket != nullptr) *ticket = r.ticket;
        }
    }
    if (dropped > 0) {
        // The power unit has not read for a while; the image keeps the value for its
        // next read.
        TCU_LOG_PEER(1,
                     "report 0x%04x dropped: %d reports waiting for the power unit (%u so far)\n",
                     regaddr, MODBUS_TCP_REPORT_QUEUE, dropped);
        return -3;
    }
    // The link's own thread (or a caller while no loop runs) owns the socket and
    // sends at once; any other thread only wakes it.
    if (dev->loop_running.load() == 0 || pthread_equal(dev->loop_thread, pthread_self()))
        modbus_TCP_flush_reports(dev);
    else
        modbus_TCP_wake(dev);
    return 0;
}

int modbus_TCP_flush_reports(modbus_TCP_t *dev) {
    if (dev == nullptr) return -1;
    int sent = 0;
    for (;;) {
        modbus_TCP_report_t r;
        {
            tc_lock q(&dev->report_mutex);
            if (dev->report_count == 0) break;
            r = dev->reports[dev->report_head];
            dev->report_head = (dev->report_head + 1) % MODBUS_TCP_REPORT_QUEUE;
            dev->report_count--;
        }
        tc_lock io(&dev->io_mutex);
        if (dev->fd <= 0 || r.conn_gen != dev->conn_gen) {
            tc_lock q(&dev->report_mutex);
            dev->reports_dropped_gone++;
            settle_locked(dev, r.ticket);
            continue;
        }
        // Numbered when sent: within a connection the ids rise by one per report.
        dev->seqnumb = (uint16_t)(dev->seqnumb + 1);
        uint8_t *x = dev->xx_buff;
        const int total = 22 + 2 * r.count;
        put_be16(x + 0, dev->seqnumb);
        x[2] = 0x00;
        x[3] = 0x00;
        x[4] = 0x00;
        x[5] = (uint8_t)((total - 6) & 0xFF);
        x[6] = 0x01;
        x[7] = 0x41;
        x[8] = 0x91;
        x[9] = 0x00;
        x[10] = (uint8_t)((total - 11) & 0xFF);
        static constexpr uint8_t kFixed[7] = {0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01};
        memcpy(x + 11, kFixed, sizeof(kFixed));
        put_be16(x + 18, r.regaddr);
        x[20] = 0x00;
        x[21] = (uint8_t)(r.count & 0xFF);
        for (int i = 0; i < r.count; i++) put_be16(x + 22 + 2 * i, r.regs[i]);
        dev->xx_bytes = total;
        if (send_frame(dev, x, total) == total) sent++;
        tc_lock q(&dev->report_mutex);
        settle_locked(dev, r.ticket);
    }
    return sent;
}

int modbus_TCP_report_wait(modbus_TCP_t *dev, uint64_t ticket, int timeout_ms) {
    if (dev == nullptr) return -1;
    const struct timespec until = monotime_after(timeout_ms);
    tc_lock q(&dev->report_mutex);
    if (dev->report_settled >= ticket) return 0;
    // A power unit that has stopped reading costs the first waiter its time-out, not
    // every one after it: nothing moved since, so nobody waits again until it does.
    if (dev->report_stalled) return 1;
    dev->report_waiters++;
    int rc = 0;
    while (dev->report_settled < ticket) {
        if (pthread_cond_timedwait(&dev->report_cond, &dev->report_mutex, &until) == ETIMEDOUT) {
            rc = dev->report_settled < ticket ? 1 : 0;
            break;
        }
    }
    dev->report_waiters--;
    if (rc == 1) dev->report_stalled = 1;
    return rc;
}

void modbus_TCP_wake(modbus_TCP_t *dev) {
    if (dev == nullptr) return;
    int fd = dev->wake_fd.load();
    if (fd <= 0) return;
    int saved = errno;
    uint64_t one = 1;
    ssize_t n = write(fd, &one, sizeof one);
    (void)n;  // a counter at its limit is already readable
    errno = saved;
}

// ---------------------------------------------------------------------------
// Link.

int modbus_TCP_free_SSL(modbus_TCP_t *dev) {
    if (dev == nullptr) return 0;
    free_ssl_locked(dev);
    return 0;
}

int modbus_TCP_init_SSL(modbus_TCP_t *dev, modbus_TCP_conn_t *conn, int64_t deadline_ms) {
    if (dev == nullptr || conn == nullptr || conn->fd <= 0) return -1;
    char path[512];
    conn->ctx = SSL_CTX_new(TLS_client_method());
    if (conn->ctx == nullptr) return tls_setup_fail(dev, conn, -8, "SSL_CTX_new", "");
    SSL_CTX_set_verify(conn->ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    SSL_CTX_set_default_passwd_cb(conn->ctx, no_password_cb);
    // Never wait inside SSL_read for application data that may never come.
    SSL_CTX_clear_mode(conn->ctx, SSL_MODE_AUTO_RETRY);
    // Nothing older than TLS 1.2 and no renegotiation: no power unit needs either.
    // The TLS 1.2 suites stay the library's own list, which the power units in the
    // field speak (CBC suites included), unless the site narrowed them.
    SSL_CTX_set_min_proto_version(conn->ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(conn->ctx, SSL_OP_NO_RENEGOTIATION);
    if (dev->tls_ciphers != nullptr && SSL_CTX_set_cipher_list(conn->ctx, dev->tls_ciphers) != 1)
        return tls_setup_fail(dev, conn, -8, "tls_ciphers", dev->tls_ciphers);
    tcu_path(path, sizeof(path), "/home/root/etc/ca.crt");
    if (SSL_CTX_load_verify_locations(conn->ctx, path, nullptr) <= 0)
        return tls_setup_fail(dev, conn, -7, "CA", path);
    tcu_path(path, sizeof(path), "/home/root/etc/client.crt");
    if (SSL_CTX_use_certificate_file(conn->ctx, path, SSL_FILETYPE_PEM) <= 0)
        return tls_setup_fail(dev, conn, -6, "certificate", path);
    tcu_path(path, sizeof(path), "/home/root/etc/client.keyp");
    if (SSL_CTX_use_PrivateKey_file(conn->ctx, path, SSL_FILETYPE_PEM) <= 0)
        return tls_setup_fail(dev, conn, -5, "private key", path);
    if (!SSL_CTX_check_private_key(conn->ctx))
        return tls_setup_fail(dev, conn, -4, "key check", path);
    conn->ssl = SSL_new(conn->ctx);
    if (conn->ssl == nullptr) return tls_setup_fail(dev, conn, -3, "SSL_new", "");
    if (dev->server_name != nullptr && !expect_server_name(conn->ssl, dev->server_name))
        return tls_setup_fail(dev, conn, -3, "server_name", dev->server_name);
    SSL_set_fd(conn->ssl, conn->fd);
    for (;;) {
        ERR_clear_error();
        int ret = SSL_connect(conn->ssl);
        if (ret > 0) break;
        int err = SSL_get_error(conn->ssl, ret);
        int w = -1;
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            w = link_wait(dev, conn->fd, (short)(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT),
                          deadline_ms);
            if (w == 1) continue;
        }
        if (gate_pass(dev, kGateTls - 2 * 1000 - err)) {
            char errstr[256];
            ERR_error_string_n(ERR_peek_last_error(), errstr, sizeof(errstr));
            if (w == 0) snprintf(errstr, sizeof(errstr), "handshake timed out");
            if (w == -2) snprintf(errstr, sizeof(errstr), "handshake abandoned: stopping");
            TCU_LOG(1, "ssl(%p), ret:%d, ssl_errno:%d, ssl_errstr:%s\n", (void *)conn->ssl, ret,
                    err, errstr);
            long verify = SSL_get_verify_result(conn->ssl);
            if (verify != X509_V_OK)
                TCU_LOG(1, "power unit certificate refused: %s\n",
                        X509_verify_cert_error_string(verify));
        }
        conn_release(conn);
        ERR_clear_error();
        return -2;
    }
    // The socket's line comes before the session's, as for a plain connection.
    TCU_LOG(4, "dev->fd:%d\n", conn->fd);
    log_peer_certificate(conn->ssl);
    return conn->fd;
}

int modbus_TCP_connect(modbus_TCP_t *dev) {
    if (dev == nullptr || is_connected(dev)) return 0;
    if (dev->serverip == nullptr || dev->port == nullptr) {
        if (!dev->config_logged) {
            dev->config_logged = 1;
            TCU_LOG(1, "modbus_hw.%s is not configured: no connection to the power unit\n",
                    dev->serverip == nullptr ? "serverip" : "port");
        }
        return dev->last_connect_ret = -1;
    }
    // Said once at start-up; connecting with another list than the one asked for
    // is no option.
    if (dev->ssl_enable && dev->tls_ciphers_refused) return dev->last_connect_ret = -8;
    const int64_t deadline = monotime_ms() + MODBUS_TCP_CONNECT_MS;
    modbus_TCP_conn_t conn = {-1, nullptr, nullptr};
    conn.fd = create_inet_stream_socket(dev, deadline);
    if (conn.fd <= 0) return dev->last_connect_ret = -1;
    int ret = conn.fd;
    if (dev->ssl_enable) {
        ret = modbus_TCP_init_SSL(dev, &conn, deadline);
        if (ret < 0) return dev->last_connect_ret = ret;
    }
    {
        tc_lock io(&dev->io_mutex);
        tc_lock lk(&dev->mutex);
        dev->fd = conn.fd;
        dev->ctx = conn.ctx;
        dev->ssl = conn.ssl;
        dev->io = (conn.ssl != nullptr) ? &kTlsIo : &kPlainIo;
        dev->rx_bytes = 0;  // nothing of an earlier connection carries over
        dev->conn_gen++;
    }
    tc_fail_gate_clear(&dev->connect_gate);
    if (!dev->ssl_enable) TCU_LOG(4, "dev->fd:%d\n", conn.fd);  // TLS: before its session
    return dev->last_connect_ret = ret;
}

int modbus_TCP_recv_with_timeout(modbus_TCP_t *dev, int timeout) {
    if (dev == nullptr) return -1;
    const int64_t deadline = monotime_ms() + timeout;
    for (;;) {
        int fd;
        uint32_t gen;
        bool ready;
        {
            tc_lock io(&dev->io_mutex);
            if (dev->fd <= 0) {
                dev->rx_bytes = 0;
                return -2;
            }
            fd = dev->fd;
            gen = dev->conn_gen;
            ready = dev->io->pending(dev) > 0;
        }
        if (!ready) {
            // Reports handed over during the wait are sent at once; a stop of the
            // process returns to the loop, which then stops waiting on its pipe.
            int stop_fd = tc_stop_requested() ? -1 : tc_stop_fd();
            pollfd p[3] = {{fd, POLLIN, 0}, {dev->wake_fd.load(), POLLIN, 0}, {stop_fd, POLLIN, 0}};
            int r = tc_poll_until(p, 3, deadline);
            if (r == 0) {
                int err = errno;
                TCU_LOG(3, "timeout rx_bytes:%d, error:%d, %s\n", dev->rx_bytes, err,
                        strerror(err));
                return dev->rx_bytes;
            }
            if (r < 0) {
                tc_lock io(&dev->io_mutex);
                if (dev->conn_gen == gen && dev->fd > 0) {
                    TCU_LOG(1, "recv(fd = %d) from(%s) error.\n", dev->fd, dev->serverip);
                    close_conn(dev);
                }
                dev->rx_bytes = 0;
                return dev->rx_bytes;
            }
            if (p[1].revents != 0) {
                drain_wake(dev);
                if (dev->quit.load() != 0) return dev->rx_bytes;
                modbus_TCP_flush_reports(dev);
                if (p[0].revents == 0) continue;
            }
            if (p[2].revents != 0 && p[0].revents == 0) return dev->rx_bytes;
            if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                tc_lock io(&dev->io_mutex);
                if (dev->conn_gen == gen && dev->fd > 0) {
                    TCU_LOG(1, "serverip:%s, fd:%d, rx_bytes:%d\n", dev->serverip, dev->fd,
                            dev->rx_bytes);
                    close_conn(dev);
                }
                dev->rx_bytes = 0;
                return dev->rx_bytes;
            }
        }
        tc_lock io(&dev->io_mutex);
        // The connection may have been closed (and not yet reopened) during the
        // wait: read only from the one waited on.
        if (dev->conn_gen != gen || dev->fd <= 0) {
            dev->rx_bytes = 0;
            return dev->rx_bytes;
        }
        int room = kBuffSize - dev->rx_bytes;
        if (room <= 0) return dev->rx_bytes;
        int n = dev->io->read(dev, dev->rx_buff + dev->rx_bytes, room);
        if (n > 0) {
            dev->rx_bytes += n;
        } else if (n == -1) {
            TCU_LOG(3, "serverip:%s, fd:%d, connection closed by the peer\n", dev->serverip,
                    dev->fd);
            close_conn(dev);
            dev->rx_bytes = 0;
        } else if (n < 0) {
            char errstr[160];
            TCU_LOG(
                1,
                "serverip:%s, fd:%d, rx_bytes:%d, ret:%d, ssl(%p), ssl_errno:%d, ssl_errstr:%s\n",
                dev->serverip, dev->fd, dev->rx_bytes, dev->io_ret, (void *)dev->ssl, io_code(dev),
                io_errstr(dev, errstr, sizeof(errstr)));
            close_conn(dev);
            dev->rx_bytes = 0;
        }
        return dev->rx_bytes;
    }
}

int modebus_TCP_send(modbus_TCP_t *dev, const uint8_t *buff, int bytes) {
    if (dev == nullptr) return -1;
    tc_lock io(&dev->io_mutex);
    return send_frame(dev, buff, bytes);
}

int modbus_TCP_process_frames(modbus_TCP_t *dev) {
    if (dev == nullptr) return -1;
    int answered = 0;
    while (dev->rx_bytes >= 11) {
        const uint8_t *p = dev->rx_buff;
        uint16_t tid = get_be16(p);
        uint16_t proto = get_be16(p + 2);
        int length = get_be16(p + 4);
        uint8_t fn = p[7];
        if (dev->trans_ids[0] != 0 || dev->trans_ids[1] != 0)
            dev->trans_ids[0] = dev->trans_ids[1];
        else
            dev->trans_ids[0] = (uint16_t)(tid - 1);
        dev->trans_ids[1] = tid;
        // Resynchronise on anything that cannot start a frame: one byte at a time.
        // A length below 2 cannot even hold the unit and function bytes.
        if (proto != 0 || !function_accepted(fn) || length < 2) {
            drop_front(dev, 1);
            continue;
        }
        int frame = length + 6;  // no 16-bit wrap: 0xFFFA must not become 0
        if (frame > kBuffSize) {
            if (tc_fail_gate_pass(&dev->frame_gate, 1, monotime_ms()))
                TCU_LOG(1, "frame of %d bytes can never fit the %d-byte buffer: disconnect\n",
                        frame, kBuffSize);
            tc_lock io(&dev->io_mutex);
            if (dev->fd > 0) close_conn(dev);
            dev->rx_bytes = 0;
            break;
        }
        if (dev->rx_bytes < frame) break;
        if (frame < min_frame_bytes(fn)) {
            if (tc_fail_gate_pass(&dev->frame_gate, 2, monotime_ms()))
                TCU_LOG(1, "frame of %d bytes too short for function %d: dropped\n", frame, fn);
            drop_front(dev, frame);
            continue;
        }
        switch (fn) {
            case 6:
                modbus_TCP_write_single_register(dev);
                break;
            case 16:
                modbus_TCP_write_multiple_registers(dev);
                break;
            case 3:
                modbus_TCP_read_holding_registers(dev);
                break;
            default:
                modbus_TCP_response_error(dev, fn, 1);
                break;
        }
        drop_front(dev, frame);
        int sent = modebus_TCP_send(dev, dev->tx_buff, dev->tx_bytes);
        if (sent < 0) {
            // The connection is gone: what is left belongs to it.
            dev->rx_bytes = 0;
            break;
        }
        answered++;
    }
    return answered;
}

void *modbus_TCP_loop(void *argv) {
    auto *dev = static_cast<modbus_TCP_t *>(argv);
    if (dev == nullptr) return nullptr;
    dev->loop_thread = pthread_self();
    dev->loop_running.store(1);
    modbus_TCP_report_registers(dev, 0x0000, &dev->regs_0x0000[0x00], 3);
    modbus_TCP_report_registers(dev, 0x114D, &dev->regs_0x1100[0x4D], 3);
    modbus_TCP_report_registers(dev, 0x1D4D, &dev->regs_0x1D00[0x4D], 3);
    while (dev->quit == 0) {
        dev->heartbeat.fetch_add(1, std::memory_order_relaxed);
        if (!is_connected(dev)) {
            // At most one attempt per pause: an absent power unit costs no CPU. While
            // the terminal stops, no new connection is opened.
            int64_t now = monotime_ms();
            if (now < dev->next_connect_ms || tc_stop_requested()) {
                int64_t until = std::min(dev->next_connect_ms, now + MODBUS_TCP_RECV_MS);
                if (until <= now) until = now + MODBUS_TCP_RECV_MS;
                if (tc_wait_readable(dev->wake_fd.load(), until) == 1) drain_wake(dev);
                continue;
            }
            dev->next_connect_ms = now + MODBUS_TCP_RETRY_MS;
            modbus_TCP_connect(dev);
            continue;
        }
        modbus_TCP_recv_with_timeout(dev, MODBUS_TCP_RECV_MS);
        modbus_TCP_process_frames(dev);
        modbus_TCP_flush_reports(dev);
    }
    dev->loop_running.store(0);
    return nullptr;
}

int modbus_TCP_init(modbus_TCP_t *dev, const char *server_ip, const char *server_port,
                    int ssl_enable, uint16_t tcu_id, const char *server_name,
                    const char *tls_ciphers) {
    if (dev == nullptr) return -1;
    int old_wake = dev->wake_fd.load();
    if (old_wake > 0) close(old_wake);  // initialised again without an exit
    memset(static_cast<void *>(dev), 0, sizeof(*dev));
    dev->ssl_enable = ssl_enable;
    dev->serverip = server_ip;
    dev->port = server_port;
    dev->server_name = server_name;
    dev->tls_ciphers = tls_ciphers;
    dev->fd = -1;
    dev->io = &kPlainIo;
    pthread_mutex_init(&dev->mutex, nullptr);
    pthread_mutex_init(&dev->io_mutex, nullptr);
    pthread_mutex_init(&dev->report_mutex, nullptr);
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(&dev->report_cond, &ca);
    pthread_condattr_destroy(&ca);
    dev->quit = 0;
    int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake == 0) {  // 0 reads as "none" everywhere: keep it above
        wake = fcntl(0, F_DUPFD_CLOEXEC, 1);
        close(0);
    }
    dev->wake_fd.store(wake > 0 ? wake : -1);
    if (wake < 0) TCU_LOG(1, "eventfd failed: reports wait for the next receive time-out\n");

    modbus_TCP_init_regs(dev, tcu_id);
    showRegs(dev);
    TCU_LOG(3, "ADDR:0x1015=%04x\n", dev->regs_0x1000[0x15]);
    TCU_LOG(3, "ADDR:0x1104=%04x, CCS1\n", dev->regs_0x1100[0x04]);
    TCU_LOG(3, "ADDR:0x110E=%04x\n", dev->regs_0x1100[0x0E]);
    TCU_LOG(3, "ADDR:0x1D04=%04x, GBDC\n", dev->regs_0x1D00[0x04]);
    TCU_LOG(3, "ADDR:0x1D0E=%04x\n", dev->regs_0x1D00[0x0E]);

    OPENSSL_init_ssl(0, nullptr);
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    CRYPTO_thread_setup();
    if (ssl_enable) {
        check_key_file();
        check_tls_ciphers(dev);
    } else if (server_ip != nullptr) {
        // The power unit writes the GOOSE keys (0x2115-0x212C, 0x2D15-0x2D2C) over
        // this link: anyone on the segment can read them and sign requests.
        TCU_LOG(1,
                "modbus_hw.enable_ssl is 0: the GOOSE keys the power unit writes travel in "
                "clear on this connection\n");
    }

    // The first attempt is bounded like every other; the loop keeps trying.
    dev->next_connect_ms = monotime_ms() + MODBUS_TCP_RETRY_MS;
    return modbus_TCP_connect(dev);
}

void modbus_TCP_exit(modbus_TCP_t *dev) {
    if (dev == nullptr) return;
    {
        tc_lock io(&dev->io_mutex);
        close_conn(dev);
    }
    int wake = dev->wake_fd.exchange(-1);
    if (wake > 0) close(wake);
    pthread_cond_destroy(&dev->report_cond);
    pthread_mutex_destroy(&dev->report_mutex);
    pthread_mutex_destroy(&dev->io_mutex);
    pthread_mutex_destroy(&dev->mutex);
    CRYPTO_thread_cleanup();
}
