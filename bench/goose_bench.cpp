// Cost of one GOOSE request frame (encoding and its HMAC) and of HMAC-SHA256 over
// the 164 bytes a PowerRequest frame authenticates, next to OpenSSL on the same bytes.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <memory>

#include "goose_HW.h"
#include "goose_HW_encode.h"
#include "hmac_sha256.h"

namespace {

constexpr int kFrameAuthBytes = 164;  // EtherType .. end of the PowerRequest goosePdu

struct bench_data_t {
    uint8_t key[48];
    uint8_t msg[kFrameAuthBytes];
    bench_data_t() {
        for (int i = 0; i < 48; i++) key[i] = (uint8_t)(i * 13 + 1);
        for (int i = 0; i < kFrameAuthBytes; i++) msg[i] = (uint8_t)(i * 7 + 3);
    }
};

const bench_data_t data;

void BM_PowerRequestFrame(benchmark::State &state) {
    auto dev = std::make_unique<goose_HW_t>();
    goose_HW_init(dev.get(), nullptr, 1);  // no socket: the frame stays in tx_buff
    for (uint8_t &b : dev->HMAC) b = 0x5A;
    dev->goID = dev->goCBRef = dev->dataSetRef = "CC/0$GO$PowerRequest";
    dev->timeAllowedToLive = 10000;
    dev->confRev = 1;
    gettimeofday(&dev->timestamp, nullptr);
    // The publisher's build steps, without its log line and send: entries, goosePdu
    // body, goosePdu, frame with header CRC and HMAC trailer.
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

void BM_HMAC_SHA256_164(benchmark::State &state) {
    uint8_t out[32];
    for (auto _ : state) {
        HMAC_SHA256(data.key, 48, data.msg, kFrameAuthBytes, out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kFrameAuthBytes);
}
BENCHMARK(BM_HMAC_SHA256_164);

// Keyed once, then one message per iteration: what the midstates save.
void BM_hmac_ctx_keyed_164(benchmark::State &state) {
    hmac_sha256_ctx_t ctx;
    hmac_sha256_init(&ctx, data.key, 48);
    uint8_t out[32];
    for (auto _ : state) {
        hmac_sha256_update(&ctx, data.msg, kFrameAuthBytes);
        hmac_sha256_final(&ctx, out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kFrameAuthBytes);
}
BENCHMARK(BM_hmac_ctx_keyed_164);

// OpenSSL's one-shot HMAC(): the same call shape as HMAC_SHA256.
void BM_OpenSSL_HMAC_164(benchmark::State &state) {
    uint8_t out[32];
    unsigned int len = 0;
    for (auto _ : state) {
        HMAC(EVP_sha256(), data.key, 48, data.msg, kFrameAuthBytes, out, &len);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kFrameAuthBytes);
}
BENCHMARK(BM_OpenSSL_HMAC_164);

// OpenSSL with a context created and keyed once, re-initialised per message: its
// fastest path (no provider fetch per call).
void BM_OpenSSL_EVP_MAC_reused_164(benchmark::State &state) {
    EVP_MAC *mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    EVP_MAC_CTX *ctx = EVP_MAC_CTX_new(mac);
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", digest, 0),
                           OSSL_PARAM_construct_end()};
    EVP_MAC_init(ctx, data.key, 48, params);
    uint8_t out[32];
    size_t len = 0;
    for (auto _ : state) {
        EVP_MAC_init(ctx, nullptr, 0, nullptr);  // same key: reuses the keyed state
        EVP_MAC_update(ctx, data.msg, kFrameAuthBytes);
        EVP_MAC_final(ctx, out, &len, sizeof(out));
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kFrameAuthBytes);
    EVP_MAC_CTX_free(ctx);
    EVP_MAC_free(mac);
}
BENCHMARK(BM_OpenSSL_EVP_MAC_reused_164);

void BM_sha256_compress_block(benchmark::State &state) {
    sha256_ctx_t s;
    sha256_init(&s);
    for (auto _ : state) {
        sha256_transform(&s, data.msg);
        benchmark::DoNotOptimize(s.h);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * 64);
}
BENCHMARK(BM_sha256_compress_block);

}  // namespace

BENCHMARK_MAIN();
