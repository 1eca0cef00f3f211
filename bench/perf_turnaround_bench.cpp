// Controller link turnaround with the power unit on TLS: from the last byte of a
// scripted controller reply to the first byte of the terminal's response, while the
// hub sends its register reports over a mutually authenticated TLS connection and its
// GOOSE posts with HMAC on lo. Credentials come from PERF_TLS_DIR (ca.crt, server.crt,
// server.key, client.crt, client.key), made by scripts/perf.sh with the openssl command.
#include <benchmark/benchmark.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
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

// The power unit's end: a TLS server that demands the terminal's certificate and
// swallows its register reports.
struct tls_power_unit_t {
    int lfd = -1;
    std::string port;
    std::thread worker;
    std::atomic<int> handshake{0};  // 1 done, -1 failed
    std::atomic<long> bytes{0};
};

bool tls_power_unit_start(tls_power_unit_t *pu, const std::string &dir) {
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr ||
        SSL_CTX_use_certificate_file(ctx, (dir + "/server.crt").c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, (dir + "/server.key").c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_load_verify_locations(ctx, (dir + "/ca.crt").c_str(), nullptr) != 1)
        return false;
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    pu->lfd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(pu->lfd, (sockaddr *)&a, sizeof a) != 0 || listen(pu->lfd, 1) != 0) return false;
    getsockname(pu->lfd, (sockaddr *)&a, &len);
    pu->port = std::to_string(ntohs(a.sin_port));
    // The terminal's first connection and handshake run on the caller's thread.
    pu->worker = std::thread([pu, ctx] {
        pollfd p = {pu->lfd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) {
            pu->handshake = -1;
            return;
        }
        int fd = accept(pu->lfd, nullptr, nullptr);
        SSL *ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) != 1) {
            pu->handshake = -1;
            return;
        }
        pu->handshake = 1;
        uint8_t buf[4096];
        int n;
        while ((n = SSL_read(ssl, buf, sizeof buf)) > 0) pu->bytes += n;
    });
    return true;
}

struct bench_env_t {
    pty_pair_t line;
    std::unique_ptr<ctrl_peer_t> peer;
    std::unique_ptr<ast_zq_t> dev;
    tls_power_unit_t pu;
    std::thread modbus;
    bool goose_ok = false;
    bool tls_ok = false;
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
    if (dir != nullptr && install_credentials(dir, tmpl) && tls_power_unit_start(&env->pu, dir)) {
        modbus_TCP_init(&modbusHW, "127.0.0.1", env->pu.port.c_str(), 1, 0);
        env->modbus = std::thread(modbus_TCP_loop, &modbusHW);
        for (int i = 0; i < 250 && env->pu.handshake == 0; i++) msleep(20);
        env->tls_ok = env->pu.handshake == 1;
        for (int i = 0; i < 100 && env->tls_ok; i++) {  // until the link counts itself connected
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
    if (!env->tls_ok) {
        state.SkipWithError("no TLS power unit (PERF_TLS_DIR unset or handshake failed)");
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
    state.counters["tls_bytes"] = (double)(env->pu.bytes - bytes0);
    state.counters["goose_sent"] = env->goose_ok ? 1 : 0;
}

// Command 3 in the charging stage: work state report over TLS and a GOOSE power request.
void BM_Cmd3ChargingTls(benchmark::State &state) {
    bench_env_t *env = env_setup();
    env->dev->ast_stage[0] = AST_CHARGING;
    run_exchanges(state, ctrl_setvi(0x11, 2, 4000, 1500));
}

// Command 0 with measurements: measurement registers reported over TLS.
void BM_Cmd0MeasurementsTls(benchmark::State &state) {
    run_exchanges(state, ctrl_status(0x11, 1, 3000, 1500, 4000, 123456, 7, AST_CHARGING, 1));
}

// Command 14: no hub work, the line and the scheduler alone (the noise floor).
void BM_Cmd14Baseline(benchmark::State &state) {
    run_exchanges(state, ctrl_reply(0x11, 3, 14, {0}));
}

BENCHMARK(BM_Cmd14Baseline)->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Cmd0MeasurementsTls)->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Cmd3ChargingTls)->Iterations(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
