// Fail-safe figures of the terminal's own threads, in one process: the real Modbus,
// GOOSE and controller workers against a scripted controller and board on a
// pseudo-terminal, a power unit on loopback TCP and a capture of the GOOSE frames on
// lo (root: raw sockets).
//
//   estop      from the board's emergency reply (0x7F) to both guns' shutdown
//              requests on the wire, N stops with the power unit reading normally,
//              then N with it connected and not reading (its receive window full, the
//              link's thread stuck in a send); the controller poll interval of both
//              phases.
//   flood      the fastest function-16 flood (13-byte frames for 0 registers) for S
//              seconds: log bytes written, and whether every log file that existed
//              before the flood is still there.
//   reconnect  N connections of a power unit that closes each one at accept: VmRSS
//              after the first 50 and after all of them.
//
// Usage: perf_failsafe_bench [estop N] [flood S] [reconnect N]   (default: estop 100 flood 10)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/ctrl_peer.h"
#include "../tests/support/hub_peers.h"
#include "../tests/support/pty_pair.h"
#include "ast_ZQ.h"
#include "goose_HW.h"
#include "logger.h"
#include "modbus_TCP_HW.h"
#include "stm32f103.h"
#include "tc_system.h"
#include "tc_tcu.h"

namespace fs = std::filesystem;

namespace {

enum class pu_mode { read, stall, flood, close_at_accept };

// The power unit: accepts the link's connections and, by mode, reads everything,
// floods read requests without ever reading (the window fills, the link's send
// blocks), floods function-16 frames as fast as it can (reading the answers), or
// closes each connection at once.
struct power_unit_t {
    int lfd = -1;
    std::string port;
    std::atomic<pu_mode> mode{pu_mode::read};
    std::atomic<bool> stop{false};
    std::atomic<long> accepted{0};
    std::atomic<long> frames_sent{0};
    std::thread worker;

    bool start() {
        lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int small = 4096;  // a window that a stalled reader fills in a moment
        setsockopt(lfd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(lfd, (sockaddr *)&a, sizeof a) != 0 || listen(lfd, 4) != 0) return false;
        getsockname(lfd, (sockaddr *)&a, &len);
        port = std::to_string(ntohs(a.sin_port));
        worker = std::thread([this] { run(); });
        return true;
    }

    void run() {
        static const uint8_t read_rq[12] = {0, 1, 0, 0, 0, 6, 1, 3, 0x11, 0x00, 0, 125};
        static const uint8_t fc16_rq[13] = {0, 2, 0, 0, 0, 7, 1, 16, 0x40, 0x00, 0, 0, 0};
        int conn = -1;
        uint8_t buf[65536];
        while (!stop) {
            if (conn < 0) {
                pollfd p = {lfd, POLLIN, 0};
                if (poll(&p, 1, 100) <= 0) continue;
                conn = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (conn < 0) continue;
                accepted++;
                if (mode == pu_mode::close_at_accept) {
                    close(conn);
                    conn = -1;
                }
                continue;
            }
            pu_mode m = mode;
            if (m == pu_mode::close_at_accept) {
                close(conn);
                conn = -1;
                continue;
            }
            short ev = POLLIN;
            if (m == pu_mode::stall || m == pu_mode::flood) ev |= POLLOUT;
            if (m == pu_mode::stall) ev = POLLOUT;  // never read
            pollfd p = {conn, ev, 0};
            if (poll(&p, 1, 20) < 0) continue;
            if (p.revents & (POLLHUP | POLLERR)) {
                close(conn);
                conn = -1;
                continue;
            }
            if (p.revents & POLLIN) {
                ssize_t n = recv(conn, buf, sizeof buf, 0);
                if (n == 0) {
                    close(conn);
                    conn = -1;
                    continue;
                }
            }
            if (p.revents & POLLOUT) {
                const uint8_t *rq = m == pu_mode::stall ? read_rq : fc16_rq;
                size_t len = m == pu_mode::stall ? sizeof read_rq : sizeof fc16_rq;
                // As many whole frames as the socket takes.
                uint8_t burst[13 * 256];
                size_t k = 0;
                for (; k + len <= sizeof burst; k += len) memcpy(burst + k, rq, len);
                ssize_t n = send(conn, burst, k, MSG_NOSIGNAL);
                if (n > 0) frames_sent += n / (long)len;
                if (n > 0 && n % (ssize_t)len != 0) {
                    // Finish the cut frame so the stream stays in step.
                    size_t rest = len - (size_t)(n % (ssize_t)len);
                    pollfd q = {conn, POLLOUT, 0};
                    while (rest > 0 && poll(&q, 1, 1000) > 0) {
                        ssize_t w = send(conn, rq + (len - rest), rest, MSG_NOSIGNAL);
                        if (w <= 0) break;
                        rest -= (size_t)w;
                    }
                }
            }
        }
        if (conn >= 0) close(conn);
    }

    void finish() {
        stop = true;
        if (worker.joinable()) worker.join();
        close(lfd);
    }
};

struct stop_event_t {
    int64_t reply_ns = 0;
};

double pct(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = std::min(v.size() - 1, (size_t)((double)v.size() * p));
    return v[i];
}

void print_dist(const char *what, const std::vector<double> &v, const char *unit) {
    printf("  %-46s n=%zu  median %.2f  p99 %.2f  max %.2f %s\n", what, v.size(), pct(v, 0.5),
           pct(v, 0.99), v.empty() ? 0.0 : *std::max_element(v.begin(), v.end()), unit);
}

long dir_bytes(const std::string &dir) {
    long total = 0;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(dir, ec)) total += (long)e.file_size(ec);
    return total;
}

long rss_kb() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
    return -1;
}

struct rig_t {
    std::string root;
    std::string logdir;
    power_unit_t pu;
    pty_pair_t line;
    std::unique_ptr<ctrl_peer_t> peer;
    std::thread threads[4];
    uint8_t dst[6] = {0x02, 0xFE, 0, 0, 0, 0};
    std::mutex mu;
    ctrl_board_state_t board;
    int64_t last_emg_reply_ns = 0;
    uint8_t last_emg_sent = 0;
};

void start_rig(rig_t *r, bool line_and_goose) {
    char tmpl[] = "/tmp/perf_failsafe_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) exit(2);
    r->root = tmpl;
    setenv("TCU_ROOT", tmpl, 1);
    r->logdir = r->root + "/home/root/log";
    fs::create_directories(r->logdir);
    // Older log files that the flood must not rotate away.
    for (int i = 1; i <= 5; i++) {
        char name[64];
        snprintf(name, sizeof name, "/tcu_2020010%d_000000.log", i);
        std::ofstream(r->logdir + name) << "old log " << i << "\n";
    }
    tcu_hooks.log_console = 0;
    clog_init((r->logdir + "/tcu").c_str(), 0x2d00000, 7);
    if (!r->pu.start()) exit(2);
    modbus_TCP_init(&modbusHW, "127.0.0.1", r->pu.port.c_str(), 0, 0);
    ccu_STM32_init(&stm32F103, "can0", 500000, 1);
    r->threads[0] = std::thread(modbus_TCP_loop, &modbusHW);
    if (!line_and_goose) return;

    pid_t pid = getpid();
    r->dst[2] = (uint8_t)(pid >> 24);
    r->dst[3] = (uint8_t)(pid >> 16);
    r->dst[4] = (uint8_t)(pid >> 8);
    r->dst[5] = (uint8_t)pid;
    for (goose_HW_t *g : {&gooseGUNA, &gooseGUNB}) {
        goose_HW_init(g, "lo", g == &gooseGUNA ? 1 : 2);
        memcpy(g->dst_mac, r->dst, 6);
        for (int i = 0; i < GOOSE_HW_KEY_SIZE; i++) g->HMAC[i] = (uint8_t)(i + 1);
    }
    r->threads[1] = std::thread(goose_HW_loop, &gooseGUNA);
    r->threads[2] = std::thread(goose_HW_loop, &gooseGUNB);

    pty_pair_open(&r->line);
    r->peer = std::make_unique<ctrl_peer_t>(r->line.master);
    // Both guns report measurements every cycle (a register report each), and every
    // reply takes about the time its bytes need at 9600 baud.
    r->peer->set_script([r](const ctrl_bytes &req, ctrl_action_t *act) {
        if (req[0] == 0x11 || req[0] == 0x12) {
            act->bytes = ctrl_status(req[0], 1, 2000, 1000, 4000, 1000, 1, AST_CHARGING, 1);
            act->delay_ms = 20;
            return true;
        }
        if (req[0] == 0x13) {
            std::lock_guard<std::mutex> g(r->mu);
            act->bytes = ctrl_board_reply(0x13, r->board);
            act->delay_ms = 20;
            if (r->board.emg != r->last_emg_sent) {
                r->last_emg_sent = r->board.emg;
                // The reply is written right after the delay: stamp the moment it goes.
                r->last_emg_reply_ns = ctrl_now_ns() + 20 * 1000000LL;
            }
            return true;
        }
        return false;
    });
    ccu_AST_init(&ccuASTZQ, r->line.name.c_str());
    r->threads[3] = std::thread(ccu_AST_loop, &ccuASTZQ);
}

void stop_rig(rig_t *r) {
    ccuASTZQ.quit = 1;
    gooseGUNA.quit = 1;
    gooseGUNB.quit = 1;
    modbusHW.quit = 1;
    modbus_TCP_wake(&modbusHW);
    for (auto &t : r->threads)
        if (t.joinable()) t.join();
    if (r->peer) {
        r->peer->stop();
        ccu_AST_exit(&ccuASTZQ);
        goose_HW_exit(&gooseGUNA);
        goose_HW_exit(&gooseGUNB);
    }
    modbus_TCP_exit(&modbusHW);
    r->pu.finish();
    clog_exit();
}

// Poll intervals of gun A's address seen by the controller between t0 and t1.
std::vector<double> poll_gaps(rig_t *r, int64_t t0, int64_t t1) {
    std::vector<double> gaps;
    int64_t prev = 0;
    for (const auto &f : r->peer->frames()) {
        if (f.bytes.size() < 4 || f.bytes[0] != 0x11 || f.bytes[3] != 0) continue;
        if (f.first_ns < t0 || f.first_ns > t1) continue;
        if (prev != 0) gaps.push_back((double)(f.first_ns - prev) / 1e6);
        prev = f.first_ns;
    }
    return gaps;
}

std::vector<double> run_stops(rig_t *r, GooseCapture *cap, int n) {
    std::vector<double> lat;
    for (int i = 0; i < n; i++) {
        cap->drain();
        {
            std::lock_guard<std::mutex> g(r->mu);
            r->board.emg = 0x7F;
        }
        bool a = false, b = false;
        int64_t seen_ns = 0;
        int64_t deadline = monotime_ms() + 5000;
        while (!(a && b) && monotime_ms() < deadline) {
            GooseFrame f;
            if (!cap->next(&f, 200)) continue;
            if (getenv("FS_DEBUG"))
                printf("   frame st %u sq %u n %zu e0 %u e2 %u\n", f.stNum, f.sqNum,
                       f.entries.size(), f.entries.empty() ? 0 : f.entries[0].second,
                       f.entries.size() > 2 ? f.entries[2].second : 0);
            // A shutdown request (five entries) with reason 4, first frame of its state.
            if (f.entries.size() != 5 || f.entries[2].second != SRR_GUN_EMGSTOP || f.sqNum > 1)
                continue;
            if (f.entries[0].second == 1)
                a = true;
            else
                b = true;
            seen_ns = ctrl_now_ns();
        }
        int64_t reply_ns;
        {
            std::lock_guard<std::mutex> g(r->mu);
            reply_ns = r->last_emg_reply_ns;
            r->board.emg = 0;
        }
        if (a && b)
            lat.push_back((double)(seen_ns - reply_ns) / 1e6);
        else
            printf("  stop %d: shutdown request seen for gun A %d, gun B %d (emgstate %d)\n", i, a,
                   b, ccuASTZQ.emgstate);
        // Re-arm: the terminal stores the pressed state after it sent the requests,
        // then must have seen the board report the released button.
        int64_t until = monotime_ms() + 3000;
        while (a && b && ccuASTZQ.emgstate != 0x7F && monotime_ms() < until) msleep(1);
        while (ccuASTZQ.emgstate == 0x7F && monotime_ms() < until) msleep(5);
        msleep(30);
    }
    return lat;
}

void estop(int n) {
    rig_t r;
    start_rig(&r, true);
    GooseCapture cap;
    if (!cap.ok()) {
        printf("estop: no packet capture on lo (needs root)\n");
        stop_rig(&r);
        return;
    }
    cap.only_dst_prefix(r.dst, 6);
    for (int i = 0; i < 200 && r.pu.accepted == 0; i++) msleep(20);
    msleep(500);
    printf("emergency stop to both shutdown requests on the wire (%d stops each):\n", n);
    int64_t t0 = ctrl_now_ns();
    std::vector<double> normal = run_stops(&r, &cap, n);
    int64_t t1 = ctrl_now_ns();
    r.pu.mode = pu_mode::stall;
    msleep(1000);  // the window fills and the link's thread blocks in a send
    uint32_t dropped0 = modbusHW.reports_dropped_full;
    int64_t t2 = ctrl_now_ns();
    std::vector<double> stalled = run_stops(&r, &cap, n);
    int64_t t3 = ctrl_now_ns();
    print_dist("power unit reading normally", normal, "ms");
    print_dist("power unit connected, not reading", stalled, "ms");
    printf("  reports dropped while stalled: %u; connections: %ld\n",
           modbusHW.reports_dropped_full - dropped0, r.pu.accepted.load());
    printf("controller poll interval (gun A):\n");
    print_dist("power unit reading normally", poll_gaps(&r, t0, t1), "ms");
    print_dist("power unit connected, not reading", poll_gaps(&r, t2, t3), "ms");
    r.pu.mode = pu_mode::read;
    stop_rig(&r);
}

void flood(int secs) {
    rig_t r;
    start_rig(&r, false);
    for (int i = 0; i < 200 && r.pu.accepted == 0; i++) msleep(20);
    msleep(500);
    std::vector<std::string> before;
    for (const auto &e : fs::directory_iterator(r.logdir)) before.push_back(e.path().string());
    while (!clog_drained()) msleep(10);
    long bytes0 = dir_bytes(r.logdir);
    long frames0 = r.pu.frames_sent;
    r.pu.mode = pu_mode::flood;
    msleep(secs * 1000);
    r.pu.mode = pu_mode::read;
    msleep(1500);  // the flood's summary line
    long frames = r.pu.frames_sent - frames0;
    while (!clog_drained()) msleep(10);
    long written = dir_bytes(r.logdir) - bytes0;
    int kept = 0;
    for (const auto &p : before) kept += fs::exists(p) ? 1 : 0;
    printf(
        "function-16 flood for %d s: %ld frames sent (%.0f/s), %ld bytes of log written "
        "(limit 1048576), %d of %zu earlier log files kept\n",
        secs, frames, (double)frames / secs, written, kept, before.size());
    stop_rig(&r);
}

long heap_in_use() {
    struct mallinfo2 mi = mallinfo2();
    return (long)(mi.uordblks + mi.hblkhd);
}

void reconnect(int n) {
    rig_t r;
    start_rig(&r, false);
    r.pu.mode = pu_mode::close_at_accept;
    // VmRSS and the heap in use every 50 connections: a leak grows both; a fixed buffer
    // touched for the first time (the log ring fills over the first hundred or so)
    // grows RSS once and then stays.
    long next = 50, rss50 = -1, heap50 = -1;
    int64_t deadline = monotime_ms() + (int64_t)(n + 30) * 1500;
    printf("reconnections of a power unit closing at accept:\n");
    while (monotime_ms() < deadline) {
        long done = r.pu.accepted;
        if (done >= next) {
            long rss = rss_kb(), heap = heap_in_use();
            if (rss50 < 0) {
                rss50 = rss;
                heap50 = heap;
            }
            printf("  after %4ld: VmRSS %ld KiB (%+ld), heap in use %ld bytes (%+ld)\n", next, rss,
                   rss - rss50, heap, heap - heap50);
            fflush(stdout);
            next += 50;
        }
        if (done >= n) break;
        msleep(100);
    }
    stop_rig(&r);
}

}  // namespace

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc < 2) {
        estop(100);
        flood(10);
        return 0;
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string what = argv[i];
        int n = atoi(argv[i + 1]);
        if (what == "estop")
            estop(n);
        else if (what == "flood")
            flood(n);
        else if (what == "reconnect")
            reconnect(n);
        else {
            fprintf(stderr, "unknown figure %s\n", what.c_str());
            return 2;
        }
    }
    return 0;
}
