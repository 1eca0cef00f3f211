// Cost of one clog_print in the calling thread, the UDP mirror bound or not, against one
// bare sendto of the same datagram, timed in alternation (thread CPU time) so that the
// slow drift of a shared machine's load cancels out in each round's ratio. Three cases:
// a flood (lines back to back), sparse lines (a pause after each, so the writer thread
// is asleep whenever a line arrives, as in the running terminal), and a flood with the
// mirror unbound (no log server configured), against the same sendto.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "logger.h"

namespace {

int g_rx = -1;
uint16_t g_port = 0;
std::string g_dgram;  // one datagram of log_one as the mirror sent it

// A receiver nobody reads: once its buffer is full the kernel drops, as a slow log server would.
void open_receiver() {
    g_rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(g_rx, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    socklen_t sl = sizeof sa;
    getsockname(g_rx, reinterpret_cast<sockaddr *>(&sa), &sl);
    g_port = ntohs(sa.sin_port);
}

void log_one() {
    TCU_LOG(4, "GUNA cmd:%d voltage:%.1f current:%.1f stage:%d\n", 3, 750.5, 125.0, 7);
}

double thread_ns() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec * 1e9 + (double)ts.tv_nsec;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void pause_us(long us) {
    timespec ts = {0, us * 1000};
    nanosleep(&ts, nullptr);
}

// CPU time of calls of f: bracketed as a whole in a flood; one by one, less the cost
// of the bracketing itself, when each call is followed by a pause.
template <typename F>
double cpu_of(int calls, long pause, F f) {
    if (pause == 0) {
        double t0 = thread_ns();
        for (int i = 0; i < calls; i++) f();
        return thread_ns() - t0;
    }
    double cpu = 0, clocks = 0;
    for (int i = 0; i < calls; i++) {
        double t0 = thread_ns();
        double t1 = thread_ns();
        f();
        double t2 = thread_ns();
        clocks += t1 - t0;
        cpu += t2 - t1;
        pause_us(pause);
    }
    return cpu - clocks;
}

// calls per round, the pause after each call (0: flood) and whether the mirror is bound.
void paired(benchmark::State &state, int calls, long pause, bool bound) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(g_port);
    if (bound)
        clog_bind_serverip("127.0.0.1", g_port);
    else
        clogger.peer_dest.store(0);
    auto bare = [&] {
        ssize_t n = sendto(fd, g_dgram.data(), g_dgram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                           reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        benchmark::DoNotOptimize(n);
    };
    std::vector<double> own, ref, ratio;
    for (auto _ : state) {
        double cpu = cpu_of(calls, pause, log_one);
        double cpu_ref = cpu_of(calls, pause, bare);
        own.push_back(cpu / calls);
        ref.push_back(cpu_ref / calls);
        ratio.push_back(cpu / cpu_ref);
    }
    clogger.peer_dest.store(0);
    close(fd);
    state.counters["clog_ns"] = median(own);
    state.counters["sendto_ns"] = median(ref);
    state.counters["ratio"] = median(ratio);
}

void BM_flood(benchmark::State &state) {
    paired(state, 2000, 0, true);
}
BENCHMARK(BM_flood)->Iterations(51)->Unit(benchmark::kMillisecond);

void BM_sparse(benchmark::State &state) {
    paired(state, 100, 300, true);
}
BENCHMARK(BM_sparse)->Iterations(51)->Unit(benchmark::kMillisecond);

void BM_unbound(benchmark::State &state) {
    paired(state, 2000, 0, false);
}
BENCHMARK(BM_unbound)->Iterations(51)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    char tmpl[] = "/tmp/perf_clog_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    std::string base = std::string(tmpl) + "/tcu";
    open_receiver();
    tcu_hooks.log_console = 0;
    // Small files and two of them keep the scratch directory bounded under the flood.
    clog_init(base.c_str(), 4 << 20, 2);
    clog_bind_serverip("127.0.0.1", g_port);
    log_one();
    char buf[CLOG_DGRAM_SIZE];
    ssize_t n = recv(g_rx, buf, sizeof buf, 0);
    if (n <= 0) return 1;
    g_dgram.assign(buf, (size_t)n);
    clogger.peer_dest.store(0);
    benchmark::RunSpecifiedBenchmarks();
    clog_exit();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(tmpl, ec);
    close(g_rx);
    return 0;
}
