// Controller link turnaround: from the last byte of a scripted controller reply on a
// pseudo-terminal to the first byte of the terminal's response, while the hub sends its
// register reports to an in-process power unit and its GOOSE posts with HMAC on lo.
// The power unit is a mutually authenticated TLS server (the default) or a plain TCP one:
//   perf_turnaround_bench [--power-unit=tls|plain] [Google Benchmark flags]
// TLS credentials come from PERF_TLS_DIR (ca.crt, server.crt, server.key, client.crt,
// client.key), made by scripts/perf.sh with the openssl command.
#include <benchmark/benchmark.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "../tests/support/ctrl_peer.h"
#include "../tests/support/pty_pair.h"
#include "ast_ZQ.h"
#include "config.h"
#include "logger.h"
#include "tc_system.h"
#include "tc_tcu.h"

namespace {

bool g_tls = true;  // --power-unit: TLS (default) or plain TCP

// The power unit's end: a server, TLS demanding the terminal's certificate or plain TCP,
// that swallows the terminal's register reports.
struct power_unit_t {
    int lfd = -1;
    std::string port;
    std::thread worker;
    std::atomic<int> handshake{0};  // 1 connected (TLS: handshake done), -1 failed
    std::atomic<long> bytes{0};
};

// ctx null: plain TCP.
bool power_unit_start(power_unit_t *pu, SSL_CTX *ctx) {
    pu->lfd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(pu->lfd, (sockaddr *)&a, sizeof a) != 0 || listen(pu->lfd, 1) != 0) return false;
    getsockname(pu->lfd, (sockaddr *)&a, &len);
    pu->port = std::to_string(ntohs(a.sin_port));
    // The terminal's first connection (and handshake) runs on the caller's thread.
    pu->worker = std::thread([pu, ctx] {
        pollfd p = {pu->lfd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) {
            pu->handshake = -1;
            return;
        }
        int fd = accept(pu->lfd, nullptr, nullptr);
        uint8_t buf[4096];
        if (ctx == nullptr) {
            pu->handshake = fd >= 0 ? 1 : -1;
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0) pu->bytes += n;
            return;
        }
        SSL *ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) != 1) {
            pu->handshake = -1;
            return;
        }
        pu->handshake = 1;
        int n;
        while ((n = SSL_read(ssl, buf, sizeof buf)) > 0) pu->bytes += n;
    });
    return true;
}

struct bench_env_t {
    pty_pair_t line;
    std::unique_ptr<ctrl_peer_t> peer;
    std::unique_ptr<ast_zq_t> dev;
    power_unit_t pu;
    std::thread modbus;
    bool goose_ok = false;
    bool link_ok = false;
    int log_rx = -1;
};

bool install_credentials(const std::string &from, const std::string &root) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(root + "/home/root/etc", ec);
    fs::copy_file(from + "/ca.crt", root + "/home/root/etc/ca.crt", ec);
    if (ec) return false;
    fs::copy_file(from + "/client.crt", root + "/home/root/etc/client.crt", ec);
    if (ec) return false;
    fs::copy_file(from + "/client.key", root + "/home/root/etc/client.keyp", ec);
    return !ec;
}

SSL_CTX *server_ctx(const std::string &dir) {
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr ||
        SSL_CTX_use_certificate_file(ctx, (dir + "/server.crt").c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, (dir + "/server.key").c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_load_verify_locations(ctx, (dir + "/ca.crt").c_str(), nullptr) != 1)
        return nullptr;
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    return ctx;
}

bench_env_t *env_setup() {
    static bench_env_t *env = nullptr;
    if (env) return env;
    env = new bench_env_t;
    // Nothing fixed may reach the real board paths from a host run.
    char tmpl[] = "/tmp/perf_turnaround_XXXXXX";
    if (mkdtemp(tmpl)) setenv("TCU_ROOT", tmpl, 1);
    tcu_config.modbus_hw.maxI_GUNA = 250;
    // The logger as the terminal runs it: writer thread, log file, UDP mirror bound (to
    // a local socket nobody reads). Console output goes where the script sends it.
    std::string logdir = std::string(tmpl) + "/home/root/log";
    std::filesystem::create_directories(logdir);
    clog_init((logdir + "/tcu").c_str(), 4 << 20, 2);
    env->log_rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in la{};
    la.sin_family = AF_INET;
    la.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t lalen = sizeof la;
    bind(env->log_rx, (sockaddr *)&la, sizeof la);
    getsockname(env->log_rx, (sockaddr *)&la, &lalen);
    clog_bind_serverip("127.0.0.1", ntohs(la.sin_port));

    const char *dir = getenv("PERF_TLS_DIR");
    SSL_CTX *ctx = nullptr;
    bool ready = !g_tls;
    if (g_tls && dir != nullptr && install_credentials(dir, tmpl)) {
        ctx = server_ctx(dir);
        ready = ctx != nullptr;
    }
    if (ready && power_unit_start(&env->pu, ctx)) {
        modbus_TCP_init(&modbusHW, "127.0.0.1", env->pu.port.c_str(), g_tls ? 1 : 0, 0);
        env->modbus = std::thread(modbus_TCP_loop, &modbusHW);
        for (int i = 0; i < 250 && env->pu.handshake == 0; i++) msleep(20);
        env->link_ok = env->pu.handshake == 1;
        for (int i = 0; i < 100 && env->link_ok; i++) {  // until the link counts itself connected
            uint16_t v = 0;
            if (modbus_TCP_report_registers(&modbusHW, 0x1113, &v, 1) == 0) break;
            msleep(20);
        }
    }
    // GOOSE on the loop-back interface needs a raw socket (root).
    env->goose_ok = goose_HW_init(&gooseGUNA, "lo", 1) == 0;
    for (int i = 0; i < GOOSE_HW_KEY_SIZE; i++) gooseGUNA.HMAC[i] = (uint8_t)(i * 7 + 1);

    pty_pair_open(&env->line);
    env->dev = std::make_unique<ast_zq_t>();
    ccu_AST_init(env->dev.get(), env->line.name.c_str());
    env->peer = std::make_unique<ctrl_peer_t>(env->line.master);
    return env;
}

void run_exchanges(benchmark::State &state, const ctrl_bytes &reply) {
    bench_env_t *env = env_setup();
    if (!env->link_ok) {
        state.SkipWithError(g_tls ? "no TLS power unit (PERF_TLS_DIR unset or handshake failed)"
                                  : "the power unit was not connected");
        for (auto _ : state) {
        }
        return;
    }
    env->peer->set_default(0x11, reply);
    env->peer->clear_frames();
    long bytes0 = env->pu.bytes;
    for (auto _ : state) {
        int rc = ccu_AST_queryController(env->dev.get(), 0x11, 3, 4, 0);
        if (rc <= 0) state.SkipWithError("exchange failed");
    }
    env->peer->wait_count((size_t)state.iterations() * 2, 2000);
    std::vector<double> us;
    for (const auto &f : env->peer->frames())
        if (f.bytes.size() >= 4 && f.bytes[3] == 1 && f.after_reply_ns != 0)
            us.push_back((double)(f.first_ns - f.after_reply_ns) / 1000.0);
    std::sort(us.begin(), us.end());
    if (us.empty()) return;
    state.counters["n"] = (double)us.size();
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, (size_t)((double)us.size() * 0.99))];
    state.counters["max_us"] = us.back();
    msleep(50);
    state.counters["report_bytes"] = (double)(env->pu.bytes - bytes0);
    state.counters["goose_sent"] = env->goose_ok ? 1 : 0;
}

// Command 3 in the charging stage: work state report and a GOOSE power request.
void BM_Cmd3Charging(benchmark::State &state) {
    bench_env_t *env = env_setup();
    env->dev->ast_stage[0] = AST_CHARGING;
    run_exchanges(state, ctrl_setvi(0x11, 2, 4000, 1500));
}

// Command 0 with measurements: measurement registers reported to the power unit.
void BM_Cmd0Measurements(benchmark::State &state) {
    run_exchanges(state, ctrl_status(0x11, 1, 3000, 1500, 4000, 123456, 7, AST_CHARGING, 1));
}

// Command 14: no hub work, the line and the scheduler alone (the noise floor).
void BM_Cmd14Baseline(benchmark::State &state) {
    run_exchanges(state, ctrl_reply(0x11, 3, 14, {0}));
}

}  // namespace

// The TLS runs are named ...Tls, so that a table never mixes the two power units.
int main(int argc, char **argv) {
    int kept = 1;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--power-unit=plain") == 0)
            g_tls = false;
        else if (strcmp(argv[i], "--power-unit=tls") == 0)
            g_tls = true;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    const char *sfx = g_tls ? "Tls" : "";
    benchmark::RegisterBenchmark("BM_Cmd14Baseline", BM_Cmd14Baseline)
        ->Iterations(1000)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark((std::string("BM_Cmd0Measurements") + sfx).c_str(),
                                 BM_Cmd0Measurements)
        ->Iterations(1000)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark((std::string("BM_Cmd3Charging") + sfx).c_str(), BM_Cmd3Charging)
        ->Iterations(1000)
        ->Unit(benchmark::kMicrosecond);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
