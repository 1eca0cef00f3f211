// Cost of the updater's image check per MiB: SHA-512 alone, the whole Ed25519 verification of
// a 1 MiB image in memory and read back from a file through the updater's 1024-byte buffer,
// the fixed cost of one verification (empty message), and OpenSSL's Ed25519 beside it.
// The counter per_MiB is the figure to quote; 64 MiB (the largest image) costs 64 times it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ed25519.h"

namespace {

constexpr size_t kMiB = 1024 * 1024;

struct signed_data_t {
    std::vector<uint8_t> msg;
    uint8_t pub[32];
    uint8_t sig[64];
    uint8_t empty_sig[64];
    EVP_PKEY *key = nullptr;
    signed_data_t() : msg(kMiB) {
        for (size_t i = 0; i < msg.size(); i++) msg[i] = (uint8_t)(i * 131 + 7);
        EVP_PKEY_CTX *kctx = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
        EVP_PKEY_keygen_init(kctx);
        EVP_PKEY_keygen(kctx, &key);
        EVP_PKEY_CTX_free(kctx);
        size_t len = sizeof pub;
        EVP_PKEY_get_raw_public_key(key, pub, &len);
        sign(msg.data(), msg.size(), sig);
        sign(nullptr, 0, empty_sig);
    }
    void sign(const uint8_t *m, size_t n, uint8_t out[64]) const {
        EVP_MD_CTX *md = EVP_MD_CTX_new();
        size_t len = 64;
        EVP_DigestSignInit(md, nullptr, nullptr, nullptr, key);
        EVP_DigestSign(md, out, &len, m, n);
        EVP_MD_CTX_free(md);
    }
};

const signed_data_t &data() {
    static const signed_data_t d;
    return d;
}

void per_mib(benchmark::State &state, size_t bytes) {
    state.SetBytesProcessed((int64_t)(state.iterations() * bytes));
    // CPU time per MiB (the unit follows the figure, e.g. "3.4ms").
    state.counters["per_MiB"] =
        benchmark::Counter((double)state.iterations() * (double)bytes / (double)kMiB,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_sha512_1MiB(benchmark::State &state) {
    const auto &d = data();
    uint8_t out[64];
    for (auto _ : state) {
        sha512(d.msg.data(), d.msg.size(), out);
        benchmark::DoNotOptimize(out);
    }
    per_mib(state, kMiB);
}
BENCHMARK(BM_sha512_1MiB)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->DisplayAggregatesOnly(true);

void BM_ed25519_verify_1MiB(benchmark::State &state) {
    const auto &d = data();
    for (auto _ : state) {
        int rc = ed25519_verify(d.sig, d.msg.data(), d.msg.size(), d.pub);
        if (rc != 0) state.SkipWithError("signature did not verify");
        benchmark::DoNotOptimize(rc);
    }
    per_mib(state, kMiB);
}
BENCHMARK(BM_ed25519_verify_1MiB)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->DisplayAggregatesOnly(true);

// As the updater does it: the stored program read back once in 1024-byte reads (from the
// page cache, where the image just written still is).
void BM_ed25519_verify_file_1MiB(benchmark::State &state) {
    const auto &d = data();
    char path[] = "/tmp/ed25519_bench_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, d.msg.data(), d.msg.size()) != (ssize_t)d.msg.size()) {
        state.SkipWithError("cannot write the test file");
        return;
    }
    char buf[1024];
    for (auto _ : state) {
        ed25519_verify_t v;
        ed25519_verify_init(&v, d.pub, d.sig);
        lseek(fd, 0, SEEK_SET);
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) ed25519_verify_update(&v, buf, (size_t)n);
        int rc = ed25519_verify_final(&v);
        if (rc != 0) state.SkipWithError("signature did not verify");
    }
    close(fd);
    unlink(path);
    per_mib(state, kMiB);
}
BENCHMARK(BM_ed25519_verify_file_1MiB)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->DisplayAggregatesOnly(true);

// The part that does not grow with the image: decoding the key, two scalar multiplications.
void BM_ed25519_verify_fixed(benchmark::State &state) {
    const auto &d = data();
    for (auto _ : state) {
        int rc = ed25519_verify(d.empty_sig, nullptr, 0, d.pub);
        if (rc != 0) state.SkipWithError("signature did not verify");
        benchmark::DoNotOptimize(rc);
    }
}
BENCHMARK(BM_ed25519_verify_fixed)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->DisplayAggregatesOnly(true);

void BM_openssl_ed25519_verify_1MiB(benchmark::State &state) {
    const auto &d = data();
    for (auto _ : state) {
        EVP_MD_CTX *md = EVP_MD_CTX_new();
        EVP_DigestVerifyInit(md, nullptr, nullptr, nullptr, d.key);
        int rc = EVP_DigestVerify(md, d.sig, 64, d.msg.data(), d.msg.size());
        EVP_MD_CTX_free(md);
        if (rc != 1) state.SkipWithError("OpenSSL did not verify");
    }
    per_mib(state, kMiB);
}
BENCHMARK(BM_openssl_ed25519_verify_1MiB)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->DisplayAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
