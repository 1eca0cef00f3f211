// Round-trip client for scripts/bench_modbus.sh. "master SECONDS" listens on
// 127.0.0.1 for one Modbus TCP server that connects out to it (the terminal, or
// libmodbus below), then reads 10 holding registers with one request in flight for
// SECONDS and prints the round trips per second; unsolicited 0x41 reports are skipped.
// "lmserver PORT" is libmodbus's own server code (modbus_receive + modbus_reply) on a
// connection it opens to PORT, the same way the terminal connects.
#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

static bool read_exact(int fd, uint8_t *p, size_t n) {
    while (n > 0) {
        pollfd pf = {fd, POLLIN, 0};
        if (poll(&pf, 1, 5000) <= 0) return false;
        ssize_t r = recv(fd, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= (size_t)r;
    }
    return true;
}

static int master(double secs) {
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
    int fd = accept(ls, nullptr, nullptr);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    usleep(300000);  // let the terminal's start-up reports arrive; skipped below

    uint16_t tid = 0;
    long count = 0;
    double t0 = now_s(), end = t0 + secs;
    while (now_s() < end) {
        tid++;
        uint8_t rq[12] = {(uint8_t)(tid >> 8), (uint8_t)tid, 0, 0, 0, 6, 1, 3, 0, 0, 0, 10};
        if (send(fd, rq, sizeof rq, MSG_NOSIGNAL) != (ssize_t)sizeof rq) return 1;
        for (;;) {
            uint8_t h[6];
            uint8_t body[1024];
            if (!read_exact(fd, h, 6)) {
                fprintf(stderr, "connection lost after %ld round trips\n", count);
                return 1;
            }
            size_t len = (size_t)(h[4] << 8 | h[5]);
            if (len > sizeof body || !read_exact(fd, body, len)) return 1;
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
    close(fd);
    close(ls);
    return 0;
}

static int lmserver(int port) {
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_mapping_t *map = modbus_mapping_new(0, 0, 1024, 0);
    if (ctx == nullptr || map == nullptr || modbus_connect(ctx) != 0) return 1;
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        int rc = modbus_receive(ctx, query);
        if (rc > 0)
            modbus_reply(ctx, query, rc, map);
        else if (rc == -1)
            break;
    }
    modbus_mapping_free(map);
    modbus_close(ctx);
    modbus_free(ctx);
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "master") == 0) return master(atof(argv[2]));
    if (argc == 3 && strcmp(argv[1], "lmserver") == 0) return lmserver(atoi(argv[2]));
    fprintf(stderr, "usage: %s master SECONDS | lmserver PORT\n", argv[0]);
    return 2;
}
