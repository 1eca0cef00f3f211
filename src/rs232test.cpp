// RS-232 loop-back: ttyS2 greets ttyS3 once per cycle, ttyS3 acknowledges.
#include "rs232test.h"

#include <atomic>
#include <cstdio>

#include "serial_bench.h"
#include "tc_system.h"
#include "tc_thread.h"

static com_ttySx_t ttyS2;
static com_ttySx_t ttyS3;
static tc_thread_t ttyS2_thread;
static tc_thread_t ttyS3_thread;
static std::atomic<int> loop_quit{0};

void *com_ttyS2_loop(void *argv) {
    auto *tty = static_cast<com_ttySx_t *>(argv);
    char buf[serial_bench::kRecvBytes];
    while (!loop_quit) {
        serial_bench::send_text(tty, "Hello ttyS3");
        com_ttySx_recv_with_timeout(tty, buf, sizeof buf, serial_bench::kRecvTimeoutMs);
        msleep(1000);
    }
    return nullptr;
}

void *com_ttyS3_loop(void *argv) {
    auto *tty = static_cast<com_ttySx_t *>(argv);
    char buf[serial_bench::kRecvBytes];
    while (!loop_quit) {
        int n = com_ttySx_recv_with_timeout(tty, buf, sizeof buf, serial_bench::kRecvTimeoutMs);
        if (n < 0) msleep(serial_bench::kRecvTimeoutMs);  // port missing: keep the pace
        if (serial_bench::holds(buf, n, "Hello ttyS3")) serial_bench::send_text(tty, "ttyS3 ACK");
    }
    return nullptr;
}

void rs232_test(int loop) {
    char path[256];
    SERIAL_BENCH_TRACE("loop", loop);
    tcu_path(path, sizeof path, "/dev/ttyS2");
    com_ttySx_init(&ttyS2, path, 19200, 8, 'N', 1);
    SERIAL_BENCH_TRACE("loop", loop);
    tcu_path(path, sizeof path, "/dev/ttyS3");
    com_ttySx_init(&ttyS3, path, 19200, 8, 'N', 1);

    loop_quit = 0;
    SERIAL_BENCH_TRACE("loop", loop);
    tc_thread_init(&ttyS2_thread, com_ttyS2_loop, &ttyS2);
    SERIAL_BENCH_TRACE("loop", loop);
    tc_thread_init(&ttyS3_thread, com_ttyS3_loop, &ttyS3);
    SERIAL_BENCH_TRACE("loop", loop);

    while (loop > 0) {
        msleep(1000);
        loop--;
        SERIAL_BENCH_TRACE("loop", loop);
    }

    loop_quit = 1;
    SERIAL_BENCH_TRACE("loop_quit", loop_quit.load());
    tc_thread_exit(&ttyS2_thread);
    SERIAL_BENCH_TRACE("loop_quit", loop_quit.load());
    tc_thread_exit(&ttyS3_thread);
    SERIAL_BENCH_TRACE("loop_quit", loop_quit.load());
    com_ttySx_exit(&ttyS2);
    SERIAL_BENCH_TRACE("loop_quit", loop_quit.load());
    com_ttySx_exit(&ttyS3);
    SERIAL_BENCH_TRACE("loop_quit", loop_quit.load());
}
