// Shared by the fuzz targets: quiet standard output, a private host-run tree, the
// socket pair that stands in for a serial line or a TCP connection, and a
// check that ends the run with a readable message when an invariant breaks.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// An invariant of the module broke: the fuzzer records the input as a crash.
#define FUZZ_CHECK(cond, ...)                                                              \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            fprintf(stderr, "invariant failed at %s:%d: %s: ", __FILE__, __LINE__, #cond); \
            fprintf(stderr, __VA_ARGS__);                                                  \
            fputc('\n', stderr);                                                           \
            abort();                                                                       \
        }                                                                                  \
    } while (0)

// The modules print traces and log lines on standard output: thousands per
// second would dominate the run. libFuzzer reports on standard error.
inline void fuzz_quiet_stdout(void) {
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        fflush(stdout);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    signal(SIGPIPE, SIG_IGN);
}

// Every fixed path (GPIO lines, program link) resolves under a private empty
// directory, never on the real board tree.
inline std::string fuzz_private_root(const char *name) {
    std::string tmpl = std::string("/tmp/") + name + ".XXXXXX";
    char *dir = mkdtemp(tmpl.data());
    if (dir == nullptr) abort();
    setenv("TCU_ROOT", dir, 1);
    return dir;
}

// sv[0] is the module's end, sv[1] the peer's. The peer's bytes are written
// before the module reads, then the peer's sending side is shut: the module
// sees its reply and then an end of stream, never a time-out.
struct fuzz_line_t {
    int sv[2] = {-1, -1};
};

inline bool fuzz_line_open(fuzz_line_t *l, const uint8_t *peer_bytes, size_t n, bool end) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, l->sv) != 0) return false;
    int big = 1 << 20;
    setsockopt(l->sv[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(l->sv[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    size_t done = 0;
    while (done < n) {
        ssize_t w = write(l->sv[1], peer_bytes + done, n - done);
        if (w <= 0) abort();
        done += (size_t)w;
    }
    if (end) shutdown(l->sv[1], SHUT_WR);
    return true;
}

// What the module sent to the peer, without waiting.
inline size_t fuzz_line_take(fuzz_line_t *l, uint8_t *out, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t r = recv(l->sv[1], out + got, size - got, MSG_DONTWAIT);
        if (r <= 0) break;
        got += (size_t)r;
    }
    // Anything beyond `size` is dropped so that the next exchange starts clean.
    uint8_t sink[4096];
    while (recv(l->sv[1], sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
    return got;
}

// The peer's end; the module's end is closed by the caller only if the module
// has not closed it already (it may, after a failed write or a reopen).
inline void fuzz_line_close_peer(fuzz_line_t *l) {
    if (l->sv[1] >= 0) close(l->sv[1]);
    l->sv[1] = -1;
}

// Most mutations break a frame's CRC, and a frame with a bad CRC goes no further
// than the check: targets let a selector bit repair it, so that the handlers
// behind the check see arbitrary parameters too.
inline void fuzz_put_crc16(uint8_t *frame, size_t body) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < body; i++) {
        crc ^= frame[i];
        for (int b = 0; b < 8; b++) crc = (crc & 1) ? (uint16_t)((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    frame[body] = (uint8_t)(crc & 0xFF);
    frame[body + 1] = (uint8_t)(crc >> 8);
}

// Records of the input: [selector][length][length bytes]...; a record cut by the
// end of the input takes what is left.
struct fuzz_reader_t {
    const uint8_t *p;
    size_t left;
    bool next(uint8_t *sel, const uint8_t **bytes, size_t *n) {
        if (left < 2) return false;
        *sel = p[0];
        size_t want = p[1];
        p += 2;
        left -= 2;
        *n = want < left ? want : left;
        *bytes = p;
        p += *n;
        left -= *n;
        return true;
    }
};
