// HMAC-SHA256 over the 164 bytes a GOOSE PowerRequest frame authenticates: the
// terminal's HMAC_SHA256 with one key (a stream's frames) and with the key changing on
// every call (its worst case), beside OpenSSL's one-shot HMAC() and a keyed EVP_MAC
// context reused per message (BM_paired). Run with OPENSSL_ia32cap=":~0x20000000" to take
// the SHA instructions away from OpenSSL and compare software with software. Beside it,
// with no reference: the whole PowerRequest frame, the keyed context and one compression.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <time.h>

#include <sys/time.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "goose_HW.h"
#include "goose_HW_encode.h"
#include "hmac_sha256.h"

namespace {

constexpr int kFrameAuthBytes = 164;  // EtherType .. end of the PowerRequest goosePdu
constexpr int kKeyBytes = 48;         // the key the power unit writes

struct bench_data_t {
    uint8_t key[2][kKeyBytes];
    uint8_t msg[kFrameAuthBytes];
    bench_data_t() {
        for (int i = 0; i < kKeyBytes; i++) {
            key[0][i] = (uint8_t)(i * 13 + 1);
            key[1][i] = (uint8_t)(i * 17 + 5);
        }
        for (int i = 0; i < kFrameAuthBytes; i++) msg[i] = (uint8_t)(i * 7 + 3);
    }
};

const bench_data_t data;

// The whole GOOSE PowerRequest frame as the publisher builds it, without its log line
// and send: entries, goosePdu body, goosePdu, frame with header CRC and HMAC trailer.
void BM_PowerRequestFrame(benchmark::State &state) {
    auto dev = std::make_unique<goose_HW_t>();
    goose_HW_init(dev.get(), nullptr, 1);  // no socket: the frame stays in tx_buff
    for (uint8_t &b : dev->HMAC) b = 0x5A;
    dev->goID = dev->goCBRef = dev->dataSetRef = "CC/0$GO$PowerRequest";
    dev->timeAllowedToLive = 10000;
    dev->confRev = 1;
    gettimeofday(&dev->timestamp, nullptr);
    uint8_t work_a[GOOSE_HW_BUFF_SIZE];
    uint8_t work_b[GOOSE_HW_BUFF_SIZE];
    for (auto _ : state) {
        dev->sqNum++;
        int n = goose_HW_encode_PowerRequest(dev.get(), work_b, 0, &dev->power_request);
        n = goose_HW_encode_APDU(dev.get(), work_a, 0, 8, work_b, n);
        n = goose_HW_encode_TLV(work_b, 0, 0x61, n, work_a);
        n = goose_HW_encode_Eth8021Q(dev.get(), dev->tx_buff, 0, 5, 0, 0x0001, work_b, n);
        if (n != 211) state.SkipWithError("frame is not 211 bytes");
        benchmark::DoNotOptimize(dev->tx_buff);
    }
    goose_HW_exit(dev.get());
}
BENCHMARK(BM_PowerRequestFrame);

// Keyed once, then one message per iteration through the context: what the midstates
// save, without the cache's key comparison.
void BM_hmac_ctx_keyed(benchmark::State &state) {
    hmac_sha256_ctx_t ctx;
    hmac_sha256_init(&ctx, data.key[0], kKeyBytes);
    uint8_t out[32];
    for (auto _ : state) {
        hmac_sha256_update(&ctx, data.msg, kFrameAuthBytes);
        hmac_sha256_final(&ctx, out);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_hmac_ctx_keyed);

// One SHA-256 compression, the unit every HMAC above is made of.
void BM_sha256_compress_block(benchmark::State &state) {
    sha256_ctx_t s;
    sha256_init(&s);
    for (auto _ : state) {
        sha256_transform(&s, data.msg);
        benchmark::DoNotOptimize(s.h);
    }
}
BENCHMARK(BM_sha256_compress_block);

double thread_ns() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec * 1e9 + (double)ts.tv_nsec;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Own and reference timed in alternation, 2000 calls each per round: load on a shared
// machine drifts slowly, so each round's ratio compares like with like. Counters:
// median ns per call of each side and the median of the rounds' ratios.
void BM_paired(benchmark::State &state) {
    EVP_MAC *mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    EVP_MAC_CTX *ctx = EVP_MAC_CTX_new(mac);
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", digest, 0),
                           OSSL_PARAM_construct_end()};
    EVP_MAC_init(ctx, data.key[0], kKeyBytes, params);
    constexpr int kCalls = 2000;
    uint8_t out[32];
    size_t len = 0;
    unsigned int ulen = 0;
    std::vector<double> same, evp, newkey, oneshot, r_same, r_new;
    for (auto _ : state) {
        double t0 = thread_ns();
        for (int i = 0; i < kCalls; i++) {
            HMAC_SHA256(data.key[0], kKeyBytes, data.msg, kFrameAuthBytes, out);
            benchmark::DoNotOptimize(out);
        }
        double t1 = thread_ns();
        for (int i = 0; i < kCalls; i++) {
            EVP_MAC_init(ctx, nullptr, 0, nullptr);
            EVP_MAC_update(ctx, data.msg, kFrameAuthBytes);
            EVP_MAC_final(ctx, out, &len, sizeof(out));
            benchmark::DoNotOptimize(out);
        }
        double t2 = thread_ns();
        for (int i = 0; i < kCalls; i++) {
            HMAC_SHA256(data.key[i & 1], kKeyBytes, data.msg, kFrameAuthBytes, out);
            benchmark::DoNotOptimize(out);
        }
        double t3 = thread_ns();
        for (int i = 0; i < kCalls; i++) {
            HMAC(EVP_sha256(), data.key[i & 1], kKeyBytes, data.msg, kFrameAuthBytes, out, &ulen);
            benchmark::DoNotOptimize(out);
        }
        double t4 = thread_ns();
        same.push_back((t1 - t0) / kCalls);
        evp.push_back((t2 - t1) / kCalls);
        newkey.push_back((t3 - t2) / kCalls);
        oneshot.push_back((t4 - t3) / kCalls);
        r_same.push_back((t1 - t0) / (t2 - t1));
        r_new.push_back((t3 - t2) / (t4 - t3));
    }
    state.counters["own_same_key_ns"] = median(same);
    state.counters["evp_reused_ns"] = median(evp);
    state.counters["own_new_key_ns"] = median(newkey);
    state.counters["oneshot_ns"] = median(oneshot);
    state.counters["ratio_same_vs_evp"] = median(r_same);
    state.counters["ratio_new_vs_oneshot"] = median(r_new);
    EVP_MAC_CTX_free(ctx);
    EVP_MAC_free(mac);
}
BENCHMARK(BM_paired)->Iterations(101)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
