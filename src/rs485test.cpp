// RS-485 loop-back: ttyS4 greets ttyS5 and ttyS6 in turn, each answers ttyS4.
#include "rs485test.h"

#include <atomic>
#include <cstdio>

#include "serial_bench.h"
#include "tc_system.h"
#include "tc_thread.h"

static com_ttySx_t ttyS4;
static com_ttySx_t ttyS5;
static com_ttySx_t ttyS6;
static tc_thread_t ttyS4_thread;
static tc_thread_t ttyS5_thread;
static tc_thread_t ttyS6_thread;
static std::atomic<int> loop_quit{0};

void *com_ttyS4_loop(void *argv) {
    auto *tty = static_cast<com_ttySx_t *>(argv);
    char buf[serial_bench::kRecvBytes];
    while (!loop_quit) {
        serial_bench::send_text(tty, "Hello ttyS5");
        com_ttySx_recv_with_timeout(tty, buf, sizeof buf, serial_bench::kRecvTimeoutMs);
        msleep(1000);
        serial_bench::send_text(tty, "Hello ttyS6");
        com_ttySx_recv_with_timeout(tty, buf, sizeof buf, serial_bench::kRecvTimeoutMs);
        msleep(1000);
    }
    return nullptr;
}

static void *answer_loop(com_ttySx_t *tty, const char *greeting) {
    char buf[serial_bench::kRecvBytes];
    while (!loop_quit) {
        int n = com_ttySx_recv_with_timeout(tty, buf, sizeof buf, serial_bench::kRecvTimeoutMs);
        if (n < 0) msleep(serial_bench::kRecvTimeoutMs);  // port missing: keep the pace
        if (serial_bench::holds(buf, n, greeting)) serial_bench::send_text(tty, "Hello ttyS4");
    }
    return nullptr;
}

void *com_ttyS5_loop(void *argv) {
    return answer_loop(static_cast<com_ttySx_t *>(argv), "Hello ttyS5");
}

void *com_ttyS6_loop(void *argv) {
    return answer_loop(static_cast<com_ttySx_t *>(argv), "Hello ttyS6");
}

void rs485_test(int loop) {
    char path[256];
    com_ttySx_t *ports[3] = {&ttyS4, &ttyS5, &ttyS6};
    const char *names[3] = {"/dev/ttyS4", "/dev/ttyS5", "/dev/ttyS6"};
    for (int i = 0; i < 3; i++) {
        SERIAL_BENCH_TRACE("loop", loop);
        tcu_path(path, sizeof path, names[i]);
        com_ttySx_init(ports[i], path, 19200, 8, 'N', 1);
    }

    loop_quit = 0;
    SERIAL_BENCH_TRACE("loop", loop);
    tc_thread_init(&ttyS4_thread, com_ttyS4_loop, &ttyS4);
    SERIAL_BENCH_TRACE("loop", loop);
    tc_thread_init(&ttyS5_thread, com_ttyS5_loop, &ttyS5);
    SERIAL_BENCH_TRACE("loop", loop);
    tc_thread_init(&ttyS6_thread, com_ttyS6_loop, &ttyS6);
    SERIAL_BENCH_TRACE("loop", loop);

    while (loop > 0) {
        msleep(1000);
        loop--;
        SERIAL_BENCH_TRACE("loop", loop);
    }

    loop_quit = 1;
    SERIAL_BENCH_TRACE("loop_quit", loop_quit.load());
    tc_thread_t *threads[3] = {&ttyS4_thread, &ttyS5_thread, &ttyS6_thread};
    for (auto *t : threads) {
        tc_thread_exit(t);
        SERIAL_BENCH_TRACE("loop_quit", loop_quit.load());
    }
    for (auto *p : ports) {
        com_ttySx_exit(p);
        SERIAL_BENCH_TRACE("loop_quit", loop_quit.load());
    }
}
