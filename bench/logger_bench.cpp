// Cost of one clog_print in the calling thread, with the UDP mirror unbound and
// bound to a local socket, beside a bare sendto of the same datagram for reference.
// The writer thread runs as in the terminal, to a scratch directory, console echo off.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "logger.h"

namespace {

int g_rx = -1;
uint16_t g_port = 0;
// One datagram of log_one as the mirror sent it, for the bare sendto.
std::string g_dgram;

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

void BM_clog_print_unbound(benchmark::State &state) {
    clogger.peer_dest.store(0);
    for (auto _ : state) log_one();
}

void BM_clog_print_bound(benchmark::State &state) {
    clog_bind_serverip("127.0.0.1", g_port);
    for (auto _ : state) log_one();
    clogger.peer_dest.store(0);
}

void BM_sendto_bare(benchmark::State &state) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(g_port);
    for (auto _ : state) {
        ssize_t n = sendto(fd, g_dgram.data(), g_dgram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                           reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        benchmark::DoNotOptimize(n);
    }
    close(fd);
}

BENCHMARK(BM_clog_print_unbound)->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(BM_clog_print_bound)->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(BM_sendto_bare)->Repetitions(7)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    char tmpl[] = "/tmp/clog_bench_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    std::string base = std::string(tmpl) + "/tcu";
    open_receiver();
    clog_console = 0;
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
