// SHA-256, HMAC-SHA256 and PBKDF2 against the published vectors (FIPS 180-4, RFC 4231,
// RFC 7914) and against OpenSSL for every padding length around the block edges.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <cstring>
#include <string>
#include <vector>

#include "hmac_sha256.h"

namespace {

std::string hex(const uint8_t *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

const uint8_t *bytes(const std::string &s) {
    return reinterpret_cast<const uint8_t *>(s.data());
}

// Digest through every entry point that hashes: one-shot, self-contained routine,
// and the incremental context fed in uneven pieces.
struct digests_t {
    std::string hash, tc, incremental;
};

digests_t all_digests(const std::string &msg) {
    uint8_t out[32];
    digests_t d;
    HASH_SHA256(bytes(msg), (int)msg.size(), out);
    d.hash = hex(out, 32);
    TC_SHA256(bytes(msg), msg.size(), out);
    d.tc = hex(out, 32);
    sha256_ctx_t s;
    sha256_init(&s);
    size_t pos = 0, step = 1;
    while (pos < msg.size()) {
        size_t n = std::min(step, msg.size() - pos);
        sha256_update(&s, bytes(msg) + pos, (uint32_t)n);
        pos += n;
        step = step * 3 + 1;  // 1, 4, 13, 40, ... crosses the block edges unevenly
    }
    sha256_final(&s, out);
    d.incremental = hex(out, 32);
    return d;
}

void expect_digest(const std::string &msg, const char *expected) {
    digests_t d = all_digests(msg);
    EXPECT_EQ(d.hash, expected) << "HASH_SHA256, " << msg.size() << " bytes";
    EXPECT_EQ(d.tc, expected) << "TC_SHA256, " << msg.size() << " bytes";
    EXPECT_EQ(d.incremental, expected) << "sha256_update, " << msg.size() << " bytes";
}

std::string openssl_sha256(const std::string &msg) {
    uint8_t out[32];
    SHA256(bytes(msg), msg.size(), out);
    return hex(out, 32);
}

std::string openssl_hmac(const std::string &key, const std::string &msg) {
    uint8_t out[32];
    unsigned int len = 0;
    HMAC(EVP_sha256(), key.data(), (int)key.size(), bytes(msg), msg.size(), out, &len);
    return hex(out, len);
}

std::string our_hmac(const std::string &key, const std::string &msg) {
    uint8_t out[32];
    HMAC_SHA256(bytes(key), (int)key.size(), bytes(msg), (int)msg.size(), out);
    return hex(out, 32);
}

std::string pattern(size_t n, uint8_t seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = (char)(uint8_t)(seed + i * 7);
    return s;
}

}  // namespace

TEST(Sha256, FipsExamples) {
    expect_digest("", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    expect_digest("abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    expect_digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                  "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    expect_digest(
        "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlm"
        "nopqrsmnopqrstnopqrstu",
        "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    expect_digest(std::string(1000000, 'a'),
                  "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, EveryPaddingLengthMatchesOpenssl) {
    for (size_t n = 0; n <= 130; n++) {
        std::string msg = pattern(n, (uint8_t)n);
        std::string expected = openssl_sha256(msg);
        digests_t d = all_digests(msg);
        ASSERT_EQ(d.hash, expected) << n;
        ASSERT_EQ(d.tc, expected) << n;
        ASSERT_EQ(d.incremental, expected) << n;
    }
}

TEST(Sha256, SplitAtEveryPointAndReuseAfterFinal) {
    // One context for all messages: final re-initialises it without sha256_init.
    sha256_ctx_t s;
    sha256_init(&s);
    uint8_t out[32];
    for (size_t n : {55u, 56u, 63u, 64u, 65u, 128u, 130u}) {
        std::string msg = pattern(n, 3);
        for (size_t cut = 0; cut <= n; cut++) {
            sha256_update(&s, bytes(msg), (uint32_t)cut);
            sha256_update(&s, bytes(msg) + cut, (uint32_t)(n - cut));
            sha256_final(&s, out);
            ASSERT_EQ(hex(out, 32), openssl_sha256(msg)) << n << " cut at " << cut;
        }
    }
}

TEST(Sha256, NegativeAndNullLengthsCountAsEmpty) {
    const std::string empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    uint8_t out[32];
    HASH_SHA256(bytes("abc"), -5, out);
    EXPECT_EQ(hex(out, 32), empty);
    TC_SHA256(nullptr, 12, out);
    EXPECT_EQ(hex(out, 32), empty);
    HMAC_SHA256(bytes("key"), -1, bytes("abc"), -1, out);
    EXPECT_EQ(hex(out, 32), openssl_hmac("", ""));
}

TEST(HmacSha256, Rfc4231Cases) {
    struct vector_t {
        std::string key, data, mac;
    };
    std::string key4;
    for (int i = 1; i <= 25; i++) key4 += (char)i;
    const vector_t cases[] = {
        {std::string(20, '\x0b'), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {std::string(20, '\xaa'), std::string(50, '\xdd'),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {key4, std::string(50, '\xcd'),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {std::string(20, '\x0c'), "Test With Truncation", "a3b6167473100ee06e0c796c2955552b"},
        {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {std::string(131, '\xaa'),
         "This is a test using a larger than block-size key and a larger than block-size data. "
         "The key needs to be hashed before being used by the HMAC algorithm.",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    int n = 1;
    for (const vector_t &c : cases) {
        // Case 5 publishes only the first 128 bits.
        EXPECT_EQ(our_hmac(c.key, c.data).substr(0, c.mac.size()), c.mac) << "case " << n;
        n++;
    }
}

TEST(HmacSha256, EveryPaddingLengthAndKeySizeMatchesOpenssl) {
    // 48 bytes is the GOOSE key; 64 is used as is, 65 is hashed first.
    for (size_t klen : {0u, 1u, 32u, 48u, 63u, 64u, 65u, 131u}) {
        std::string key = pattern(klen, 0x5a);
        for (size_t n = 0; n <= 130; n++) {
            std::string msg = pattern(n, (uint8_t)(n + klen));
            ASSERT_EQ(our_hmac(key, msg), openssl_hmac(key, msg)) << klen << "/" << n;
        }
    }
    std::string zero_key(48, '\0');
    std::string frame = pattern(164, 1);
    EXPECT_EQ(our_hmac(zero_key, frame), openssl_hmac(zero_key, frame));
}

TEST(HmacSha256, ContextStaysKeyedAfterFinal) {
    std::string key = pattern(48, 9);
    hmac_sha256_ctx_t ctx;
    hmac_sha256_init(&ctx, bytes(key), (uint32_t)key.size());
    uint8_t out[32];
    for (size_t n : {0u, 20u, 157u, 164u, 300u}) {
        std::string msg = pattern(n, (uint8_t)n);
        // Pieces across the block edges, then a second message without re-keying.
        hmac_sha256_update(&ctx, bytes(msg), (uint32_t)(n / 3));
        hmac_sha256_update(&ctx, bytes(msg) + n / 3, (uint32_t)(n - n / 3));
        hmac_sha256_final(&ctx, out);
        EXPECT_EQ(hex(out, 32), openssl_hmac(key, msg)) << n;
    }
}

TEST(HmacSha256Key, KeyTakenFromTheContextsOwnWorkBuffer) {
    // A caller keys a context with a result that already sits in its buf (a PBKDF2
    // block, say): the MAC must be the one under those bytes, not under zeros.
    for (uint32_t klen : {1u, 20u, 32u, 48u, 64u}) {
        hmac_sha256_ctx_t ctx;
        uint8_t key[64];
        for (uint32_t i = 0; i < klen; i++) key[i] = (uint8_t)(0x41 + 3 * i);
        std::memcpy(ctx.buf, key, klen);
        hmac_sha256_init(&ctx, ctx.buf, klen);
        const uint8_t msg[] = "power request";
        uint8_t ours[32], ref[32];
        hmac_sha256_update(&ctx, msg, sizeof(msg));
        hmac_sha256_final(&ctx, ours);
        unsigned int n = 0;
        HMAC(EVP_sha256(), key, (int)klen, msg, sizeof(msg), ref, &n);
        EXPECT_EQ(0, std::memcmp(ours, ref, 32)) << klen;
    }
}

TEST(Pbkdf2Sha256, Rfc7914Vectors) {
    hmac_sha256_ctx_t ctx;
    uint8_t dk[64];
    pbkdf2_sha256(&ctx, bytes("passwd"), 6, bytes("salt"), 4, 1, dk, sizeof(dk));
    EXPECT_EQ(hex(dk, 64),
              "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
              "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
    pbkdf2_sha256(&ctx, bytes("Password"), 8, bytes("NaCl"), 4, 80000, dk, sizeof(dk));
    EXPECT_EQ(hex(dk, 64),
              "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
              "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d");
    // The context is left keyed with the password.
    uint8_t out[32];
    hmac_sha256_update(&ctx, bytes("abc"), 3);
    hmac_sha256_final(&ctx, out);
    EXPECT_EQ(hex(out, 32), openssl_hmac("Password", "abc"));
}

TEST(Pbkdf2Sha256, TruncationRoundsAndEmptyOutput) {
    hmac_sha256_ctx_t ctx;
    const std::string pw = "correct horse", salt = "battery staple";
    for (uint32_t dklen : {1u, 31u, 32u, 33u, 40u, 97u}) {
        for (uint32_t rounds : {1u, 2u, 3u, 1000u}) {
            std::vector<uint8_t> ours(dklen), ref(dklen);
            pbkdf2_sha256(&ctx, bytes(pw), (uint32_t)pw.size(), bytes(salt), (uint32_t)salt.size(),
                          rounds, ours.data(), dklen);
            PKCS5_PBKDF2_HMAC(pw.data(), (int)pw.size(), bytes(salt), (int)salt.size(), (int)rounds,
                              EVP_sha256(), (int)dklen, ref.data());
            ASSERT_EQ(ours, ref) << dklen << " bytes, " << rounds << " rounds";
        }
    }
    uint8_t r0[40], r1[40];
    pbkdf2_sha256(&ctx, bytes(pw), 13, bytes(salt), 14, 0, r0, sizeof(r0));
    pbkdf2_sha256(&ctx, bytes(pw), 13, bytes(salt), 14, 1, r1, sizeof(r1));
    EXPECT_EQ(0, std::memcmp(r0, r1, sizeof(r0)));
    uint8_t untouched[8];
    std::memset(untouched, 0xEE, sizeof(untouched));
    pbkdf2_sha256(&ctx, bytes(pw), 13, bytes(salt), 14, 5, untouched, 0);
    for (uint8_t b : untouched) EXPECT_EQ(b, 0xEE);
}
