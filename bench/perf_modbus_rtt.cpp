// Round-trip helper for scripts/perf.sh, plain TCP and TLS. "master" plays the power
// unit: it listens on 127.0.0.1, takes one Modbus TCP server that connects out to it
// (the terminal, or the libmodbus reference below), optionally as a TLS server that
// demands a client certificate, then reads 10 holding registers with one request in
// flight and prints the round trips per second; unsolicited 0x41 reports are skipped.
// "lmserver" is the reference: libmodbus's modbus_receive + modbus_reply on a
// connection it opens to the master the way the terminal does. With TLS it sits behind
// a TLS client written here; the decrypted stream reaches libmodbus through a socketpair.
//   perf_modbus_rtt master SECONDS [CERT KEY CA]
//   perf_modbus_rtt lmserver PORT [CERT KEY CA]
#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

// One byte stream, plain or TLS.
struct stream_t {
    int fd = -1;
    SSL *ssl = nullptr;
};

ssize_t stream_read(stream_t *s, uint8_t *p, size_t n) {
    if (s->ssl == nullptr) return recv(s->fd, p, n, 0);
    int r = SSL_read(s->ssl, p, (int)n);
    return r > 0 ? r : -1;
}

bool stream_write(stream_t *s, const uint8_t *p, size_t n) {
    if (s->ssl == nullptr) return send(s->fd, p, n, MSG_NOSIGNAL) == (ssize_t)n;
    return SSL_write(s->ssl, p, (int)n) == (int)n;
}

bool read_exact(stream_t *s, uint8_t *p, size_t n) {
    while (n > 0) {
        if (s->ssl == nullptr || SSL_pending(s->ssl) == 0) {
            pollfd pf = {s->fd, POLLIN, 0};
            if (poll(&pf, 1, 5000) <= 0) return false;
        }
        ssize_t r = stream_read(s, p, n);
        if (r <= 0) return false;
        p += r;
        n -= (size_t)r;
    }
    return true;
}

SSL_CTX *tls_ctx(bool server, const char *cert, const char *key, const char *ca) {
    SSL_CTX *ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (ctx == nullptr || SSL_CTX_use_certificate_file(ctx, cert, SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, key, SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_load_verify_locations(ctx, ca, nullptr) != 1) {
        ERR_print_errors_fp(stderr);
        return nullptr;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    return ctx;
}

int master(double secs, const char *cert, const char *key, const char *ca) {
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(ls, (sockaddr *)&sa, sizeof sa) != 0 || listen(ls, 1) != 0) return 1;
    socklen_t sl = sizeof sa;
    getsockname(ls, (sockaddr *)&sa, &sl);
    printf("port %d\n", ntohs(sa.sin_port));
    fflush(stdout);
    pollfd pf = {ls, POLLIN, 0};
    if (poll(&pf, 1, 30000) <= 0) {
        fprintf(stderr, "nobody connected\n");
        return 1;
    }
    stream_t s;
    s.fd = accept(ls, nullptr, nullptr);
    int one = 1;
    setsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    SSL_CTX *ctx = nullptr;
    if (cert != nullptr) {
        ctx = tls_ctx(true, cert, key, ca);
        if (ctx == nullptr) return 1;
        s.ssl = SSL_new(ctx);
        SSL_set_fd(s.ssl, s.fd);
        if (SSL_accept(s.ssl) != 1) {
            fprintf(stderr, "TLS handshake failed\n");
            ERR_print_errors_fp(stderr);
            return 1;
        }
    }
    usleep(300000);  // let the start-up reports arrive; skipped below

    uint16_t tid = 0;
    long count = 0;
    double t0 = now_s(), end = t0 + secs;
    while (now_s() < end) {
        tid++;
        uint8_t rq[12] = {(uint8_t)(tid >> 8), (uint8_t)tid, 0, 0, 0, 6, 1, 3, 0, 0, 0, 10};
        if (!stream_write(&s, rq, sizeof rq)) return 1;
        for (;;) {
            uint8_t h[6];
            uint8_t body[1024];
            if (!read_exact(&s, h, 6)) {
                fprintf(stderr, "connection lost after %ld round trips\n", count);
                return 1;
            }
            size_t len = (size_t)(h[4] << 8 | h[5]);
            if (len > sizeof body || !read_exact(&s, body, len)) return 1;
            uint16_t rtid = (uint16_t)(h[0] << 8 | h[1]);
            if (len >= 2 && body[1] == 3 && rtid == tid) {
                if (len != 3 + 20) {
                    fprintf(stderr, "bad response length %zu\n", len);
                    return 1;
                }
                break;
            }
        }
        count++;
    }
    double took = now_s() - t0;
    printf("rtt_per_s %.0f\n", count / took);
    if (s.ssl != nullptr) {
        SSL_shutdown(s.ssl);
        SSL_free(s.ssl);
        SSL_CTX_free(ctx);
    }
    close(s.fd);
    close(ls);
    return 0;
}

// libmodbus's own server loop on an already connected descriptor.
void libmodbus_serve(int fd) {
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", 502);
    modbus_mapping_t *map = modbus_mapping_new(0, 0, 1024, 0);
    if (ctx == nullptr || map == nullptr) return;
    modbus_set_socket(ctx, fd);
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        int rc = modbus_receive(ctx, query);
        if (rc > 0)
            modbus_reply(ctx, query, rc, map);
        else if (rc == -1)
            break;
    }
    modbus_mapping_free(map);
    modbus_free(ctx);
}

int connect_to(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons((uint16_t)port);
    if (connect(fd, (sockaddr *)&sa, sizeof sa) != 0) return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

int lmserver(int port, const char *cert, const char *key, const char *ca) {
    int fd = connect_to(port);
    if (fd < 0) return 1;
    if (cert == nullptr) {
        libmodbus_serve(fd);
        close(fd);
        return 0;
    }
    SSL_CTX *ctx = tls_ctx(false, cert, key, ca);
    if (ctx == nullptr) return 1;
    SSL *ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) != 1) {
        ERR_print_errors_fp(stderr);
        return 1;
    }
    int sp[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sp) != 0) return 1;
    std::thread lm([fd1 = sp[1]] { libmodbus_serve(fd1); });
    // Relay: decrypted requests to libmodbus, its replies encrypted back.
    uint8_t buf[4096];
    for (;;) {
        if (SSL_pending(ssl) == 0) {
            pollfd pf[2] = {{fd, POLLIN, 0}, {sp[0], POLLIN, 0}};
            if (poll(pf, 2, -1) < 0) break;
            if (pf[1].revents & (POLLIN | POLLHUP)) {
                ssize_t n = read(sp[0], buf, sizeof buf);
                if (n <= 0 || SSL_write(ssl, buf, (int)n) != (int)n) break;
            }
            if (!(pf[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        }
        int n = SSL_read(ssl, buf, sizeof buf);
        if (n <= 0) {
            if (SSL_get_error(ssl, n) == SSL_ERROR_WANT_READ) continue;
            break;
        }
        if (write(sp[0], buf, (size_t)n) != n) break;
    }
    shutdown(sp[0], SHUT_RDWR);
    close(sp[0]);
    lm.join();
    close(sp[1]);
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    close(fd);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const char *cert = argc == 6 ? argv[3] : nullptr;
    const char *key = argc == 6 ? argv[4] : nullptr;
    const char *ca = argc == 6 ? argv[5] : nullptr;
    if ((argc == 3 || argc == 6) && strcmp(argv[1], "master") == 0)
        return master(atof(argv[2]), cert, key, ca);
    if ((argc == 3 || argc == 6) && strcmp(argv[1], "lmserver") == 0)
        return lmserver(atoi(argv[2]), cert, key, ca);
    fprintf(stderr, "usage: %s master SECONDS [CERT KEY CA] | lmserver PORT [CERT KEY CA]\n",
            argv[0]);
    return 2;
}
