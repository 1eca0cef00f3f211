// Controller link turnaround on a pseudo-terminal: from the last byte of a scripted
// controller reply to the first byte of the terminal's response, with the hub doing
// its real work (register report to a TCP power unit, GOOSE post with HMAC on lo).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "../tests/support/ctrl_peer.h"
#include "../tests/support/pty_pair.h"
#include "ast_ZQ.h"
#include "config.h"
#include "tc_system.h"
#include "tc_tcu.h"

namespace {

// The power unit's end of the Modbus TCP link: accepts the terminal's connection
// and swallows its register reports.
struct power_unit_t {
    int lfd = -1;
    int cfd = -1;
    std::string port;
    std::thread drain;
    std::atomic<bool> stop{false};
};

bool power_unit_start(power_unit_t *pu) {
    pu->lfd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(pu->lfd, (sockaddr *)&a, sizeof a) != 0 || listen(pu->lfd, 1) != 0) return false;
    getsockname(pu->lfd, (sockaddr *)&a, &len);
    pu->port = std::to_string(ntohs(a.sin_port));
    return true;
}

struct bench_env_t {
    pty_pair_t line;
    std::unique_ptr<ctrl_peer_t> peer;
    std::unique_ptr<ast_zq_t> dev;
    power_unit_t pu;
    std::thread modbus;
    bool goose_ok = false;
    bool tcp_ok = false;
};

bench_env_t *env_setup() {
    static bench_env_t *env = nullptr;
    if (env) return env;
    env = new bench_env_t;
    // Nothing fixed may reach the real board paths from a host run.
    char tmpl[] = "/tmp/ast_turnaround_XXXXXX";
    if (mkdtemp(tmpl)) setenv("TCU_ROOT", tmpl, 1);
    tcu_config.modbus_hw.maxI_GUNA = 250;

    if (power_unit_start(&env->pu)) {
        modbus_TCP_init(&modbusHW, "127.0.0.1", env->pu.port.c_str(), 0, 0);
        env->modbus = std::thread(modbus_TCP_loop, &modbusHW);
        env->pu.cfd = accept(env->pu.lfd, nullptr, nullptr);
        env->tcp_ok = env->pu.cfd >= 0;
        power_unit_t *pu = &env->pu;
        env->pu.drain = std::thread([pu] {
            uint8_t buf[4096];
            while (!pu->stop && read(pu->cfd, buf, sizeof buf) > 0) {
            }
        });
        for (int i = 0; i < 100; i++) {  // until the link counts itself connected
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
    env->peer->set_default(0x11, reply);
    env->peer->clear_frames();
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
    state.counters["tcp_report"] = env->tcp_ok ? 1 : 0;
    state.counters["goose_sent"] = env->goose_ok ? 1 : 0;
}

// Command 0 with measurements: IVE registers written and 0x1113 reported over TCP.
void BM_Cmd0Measurements(benchmark::State &state) {
    run_exchanges(state, ctrl_status(0x11, 1, 3000, 1500, 4000, 123456, 7, AST_CHARGING, 1));
}

// Command 3 in the charging stage: work state report and a GOOSE power request.
void BM_Cmd3Charging(benchmark::State &state) {
    bench_env_t *env = env_setup();
    env->dev->ast_stage[0] = AST_CHARGING;
    run_exchanges(state, ctrl_setvi(0x11, 2, 4000, 1500));
}

// Command 14: no hub work at all, the line and scheduling alone.
void BM_Cmd14Baseline(benchmark::State &state) {
    run_exchanges(state, ctrl_reply(0x11, 3, 14, {0}));
}

BENCHMARK(BM_Cmd14Baseline)->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Cmd0Measurements)->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Cmd3Charging)->Iterations(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
