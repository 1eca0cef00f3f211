// HMAC_SHA256 keeps the last key of each thread keyed: whatever order keys come in,
// on whatever thread, every digest must still be OpenSSL's for that key and message.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <array>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "hmac_sha256.h"

namespace {

using bytes_t = std::vector<uint8_t>;

bytes_t pattern(size_t n, uint8_t seed) {
    bytes_t v(n);
    for (size_t i = 0; i < n; i++) v[i] = (uint8_t)(seed + i * 31);
    return v;
}

std::array<uint8_t, 32> openssl_hmac(const bytes_t &key, const bytes_t &msg) {
    std::array<uint8_t, 32> out{};
    unsigned int len = 0;
    static const uint8_t none = 0;
    HMAC(EVP_sha256(), key.empty() ? &none : key.data(), (int)key.size(), msg.data(), msg.size(),
         out.data(), &len);
    return out;
}

std::array<uint8_t, 32> our_hmac(const bytes_t &key, const bytes_t &msg) {
    std::array<uint8_t, 32> out{};
    HMAC_SHA256(key.empty() ? nullptr : key.data(), (int)key.size(), msg.data(), (int)msg.size(),
                out.data());
    return out;
}

TEST(HmacSha256Cache, KeysInAnyOrderGiveOpensslDigests) {
    bytes_t k48 = pattern(48, 1);
    bytes_t k48_last = k48;  // differs only in its last byte
    k48_last[47] ^= 0x01;
    bytes_t k48_first = k48;  // differs only in its first byte
    k48_first[0] ^= 0x80;
    bytes_t k47(k48.begin(), k48.end() - 1);  // a prefix: same bytes, other length
    bytes_t k64 = pattern(64, 9);             // a whole block
    bytes_t k65 = pattern(65, 9);             // hashed first, never kept
    bytes_t empty;
    const std::vector<const bytes_t *> keys = {&k48, &k48, &k48_last, &k48,   &k48_first, &k47,
                                               &k48, &k64, &k65,      &k65,   &empty,     &k48,
                                               &k47, &k47, &k64,      &empty, &k48_last};
    int n = 0;
    for (size_t len : {0u, 1u, 55u, 56u, 63u, 64u, 164u, 200u}) {
        bytes_t msg = pattern(len, (uint8_t)len);
        for (const bytes_t *k : keys) {
            EXPECT_EQ(our_hmac(*k, msg), openssl_hmac(*k, msg))
                << "key of " << k->size() << " bytes, message of " << len << " bytes, call " << n;
            n++;
        }
    }
}

TEST(HmacSha256Cache, ThreadsWithTheirOwnKeysDoNotMix) {
    bytes_t ka = pattern(48, 3), kb = pattern(48, 4);
    bytes_t msg = pattern(164, 7);
    auto want_a = openssl_hmac(ka, msg), want_b = openssl_hmac(kb, msg);
    std::atomic<int> bad{0};
    auto run = [&](const bytes_t &k, const std::array<uint8_t, 32> &want, const bytes_t &other) {
        for (int i = 0; i < 2000; i++) {
            if (our_hmac(k, msg) != want) bad++;
            // Now and then another key on the same thread, then back.
            if (i % 97 == 0 && our_hmac(other, msg) == want) bad++;
        }
    };
    std::thread a(run, std::cref(ka), std::cref(want_a), std::cref(kb));
    std::thread b(run, std::cref(kb), std::cref(want_b), std::cref(ka));
    a.join();
    b.join();
    EXPECT_EQ(bad.load(), 0);
}

}  // namespace
