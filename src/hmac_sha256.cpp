// SHA-256, HMAC-SHA256 and PBKDF2-HMAC-SHA256. The compression function is fully
// unrolled with a 16-word rolling message schedule; HMAC keeps the two keyed
// midstates so each further message costs only its own blocks and two finishing ones.
#include "hmac_sha256.h"

#include <cstring>

namespace {

constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t H0[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline uint32_t ror(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

inline uint32_t load_be32(const uint8_t *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

inline void store_be32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

inline void store_be64(uint8_t *p, uint64_t v) {
    store_be32(p, (uint32_t)(v >> 32));
    store_be32(p + 4, (uint32_t)v);
}

// One round; the eight working variables rotate by renaming, not by moving.
// Ch and Maj in their cheaper equivalent forms: g ^ (e & (f ^ g)) and
// (a & b) | (c & (a | b)) save an operation each per round.
#define SHA256_ROUND(a, b, c, d, e, f, g, h, k, w)                                             \
    do {                                                                                       \
        uint32_t t1 = (h) + (ror((e), 6) ^ ror((e), 11) ^ ror((e), 25)) +                      \
                      ((g) ^ ((e) & ((f) ^ (g)))) + (k) + (w);                                 \
        uint32_t t2 =                                                                          \
            (ror((a), 2) ^ ror((a), 13) ^ ror((a), 22)) + (((a) & (b)) | ((c) & ((a) | (b)))); \
        (d) += t1;                                                                             \
        (h) = t1 + t2;                                                                         \
    } while (0)

// Message word i >= 16 from the rolling 16-word window.
#define SHA256_SCHED(W, i)                                                             \
    (W[(i)&15] +=                                                                      \
     (ror(W[((i)-2) & 15], 17) ^ ror(W[((i)-2) & 15], 19) ^ (W[((i)-2) & 15] >> 10)) + \
     W[((i)-7) & 15] +                                                                 \
     (ror(W[((i)-15) & 15], 7) ^ ror(W[((i)-15) & 15], 18) ^ (W[((i)-15) & 15] >> 3)))

#define SHA256_8ROUNDS(i, WEXPR)                                          \
    do {                                                                  \
        SHA256_ROUND(a, b, c, d, e, f, g, h, K[(i) + 0], WEXPR((i) + 0)); \
        SHA256_ROUND(h, a, b, c, d, e, f, g, K[(i) + 1], WEXPR((i) + 1)); \
        SHA256_ROUND(g, h, a, b, c, d, e, f, K[(i) + 2], WEXPR((i) + 2)); \
        SHA256_ROUND(f, g, h, a, b, c, d, e, K[(i) + 3], WEXPR((i) + 3)); \
        SHA256_ROUND(e, f, g, h, a, b, c, d, K[(i) + 4], WEXPR((i) + 4)); \
        SHA256_ROUND(d, e, f, g, h, a, b, c, K[(i) + 5], WEXPR((i) + 5)); \
        SHA256_ROUND(c, d, e, f, g, h, a, b, K[(i) + 6], WEXPR((i) + 6)); \
        SHA256_ROUND(b, c, d, e, f, g, h, a, K[(i) + 7], WEXPR((i) + 7)); \
    } while (0)

void compress(uint32_t st[8], const uint8_t *block) {
    uint32_t W[16];
    for (int i = 0; i < 16; i++) W[i] = load_be32(block + 4 * i);
    uint32_t a = st[0], b = st[1], c = st[2], d = st[3];
    uint32_t e = st[4], f = st[5], g = st[6], h = st[7];
#define W_PLAIN(i) W[(i)]
#define W_SCHED(i) SHA256_SCHED(W, (i))
    SHA256_8ROUNDS(0, W_PLAIN);
    SHA256_8ROUNDS(8, W_PLAIN);
    SHA256_8ROUNDS(16, W_SCHED);
    SHA256_8ROUNDS(24, W_SCHED);
    SHA256_8ROUNDS(32, W_SCHED);
    SHA256_8ROUNDS(40, W_SCHED);
    SHA256_8ROUNDS(48, W_SCHED);
    SHA256_8ROUNDS(56, W_SCHED);
#undef W_PLAIN
#undef W_SCHED
    st[0] += a;
    st[1] += b;
    st[2] += c;
    st[3] += d;
    st[4] += e;
    st[5] += f;
    st[6] += g;
    st[7] += h;
}

void write_digest(uint8_t *md, const uint32_t st[8]) {
    for (int i = 0; i < 8; i++) store_be32(md + 4 * i, st[i]);
}

// Restart s from a saved keyed midstate: one block (the key block) already absorbed.
void load_midstate(sha256_ctx_t *s, const uint32_t mid[8]) {
    std::memcpy(s->h, mid, sizeof(s->h));
    s->len = SHA256_BLOCK_SIZE;
}

}  // namespace

void sha256_init(sha256_ctx_t *s) {
    if (s == nullptr) return;
    s->len = 0;
    std::memcpy(s->h, H0, sizeof(s->h));
}

void sha256_transform(sha256_ctx_t *s, const uint8_t *buf) {
    if (s == nullptr || buf == nullptr) return;
    compress(s->h, buf);
}

void sha256_update(sha256_ctx_t *s, const uint8_t *m, uint32_t len) {
    if (s == nullptr || m == nullptr || len == 0) return;
    uint32_t n = (uint32_t)(s->len % SHA256_BLOCK_SIZE);
    s->len += len;
    if (n > 0) {
        // Compared as room left, not n + len: a length near 4 GiB must not wrap into
        // a short append that overruns buf.
        if (len < SHA256_BLOCK_SIZE - n) {
            std::memcpy(s->buf + n, m, len);
            return;
        }
        uint32_t fill = SHA256_BLOCK_SIZE - n;
        std::memcpy(s->buf + n, m, fill);
        compress(s->h, s->buf);
        m += fill;
        len -= fill;
    }
    while (len >= SHA256_BLOCK_SIZE) {
        compress(s->h, m);
        m += SHA256_BLOCK_SIZE;
        len -= SHA256_BLOCK_SIZE;
    }
    if (len > 0) std::memcpy(s->buf, m, len);
}

void sha256_final(sha256_ctx_t *s, uint8_t *md) {
    if (s == nullptr || md == nullptr) return;
    uint32_t n = (uint32_t)(s->len % SHA256_BLOCK_SIZE);
    s->buf[n++] = 0x80;
    if (n > 56) {
        std::memset(s->buf + n, 0, SHA256_BLOCK_SIZE - n);
        compress(s->h, s->buf);
        n = 0;
    }
    std::memset(s->buf + n, 0, 56 - n);
    store_be64(s->buf + 56, s->len * 8);
    compress(s->h, s->buf);
    write_digest(md, s->h);
    sha256_init(s);
}

void hmac_sha256_init(hmac_sha256_ctx_t *hmac, const uint8_t *key, uint32_t keylen) {
    if (hmac == nullptr) return;
    if (key == nullptr) keylen = 0;
    // The key is read before buf is cleared: a caller may key with a result that
    // sits in buf itself (the last PBKDF2 block, for instance).
    if (keylen > SHA256_BLOCK_SIZE) {
        // A long key is replaced by its digest (RFC 2104).
        sha256_init(&hmac->sha);
        sha256_update(&hmac->sha, key, keylen);
        sha256_final(&hmac->sha, hmac->buf);
        keylen = SHA256_DIGEST_SIZE;
    } else if (keylen > 0) {
        std::memmove(hmac->buf, key, keylen);
    }
    std::memset(hmac->buf + keylen, 0, SHA256_BLOCK_SIZE - keylen);
    for (uint8_t &b : hmac->buf) b ^= 0x5c;
    std::memcpy(hmac->h_outer, H0, sizeof(hmac->h_outer));
    compress(hmac->h_outer, hmac->buf);
    for (uint8_t &b : hmac->buf) b ^= 0x5c ^ 0x36;  // key ^ 0x5c becomes key ^ 0x36
    std::memcpy(hmac->h_inner, H0, sizeof(hmac->h_inner));
    compress(hmac->h_inner, hmac->buf);
    load_midstate(&hmac->sha, hmac->h_inner);
}

void hmac_sha256_update(hmac_sha256_ctx_t *hmac, const uint8_t *m, uint32_t mlen) {
    if (hmac == nullptr) return;
    sha256_update(&hmac->sha, m, mlen);
}

void hmac_sha256_final(hmac_sha256_ctx_t *hmac, uint8_t *md) {
    if (hmac == nullptr || md == nullptr) return;
    sha256_final(&hmac->sha, md);
    load_midstate(&hmac->sha, hmac->h_outer);
    sha256_update(&hmac->sha, md, SHA256_DIGEST_SIZE);
    sha256_final(&hmac->sha, md);
    load_midstate(&hmac->sha, hmac->h_inner);
}

void pbkdf2_sha256(hmac_sha256_ctx_t *hmac, const uint8_t *key, uint32_t keylen,
                   const uint8_t *salt, uint32_t saltlen, uint32_t rounds, uint8_t *dk,
                   uint32_t dklen) {
    if (hmac == nullptr) return;
    hmac_sha256_init(hmac, key, keylen);
    if (dk == nullptr || dklen == 0) return;
    uint32_t blocks = (dklen + SHA256_DIGEST_SIZE - 1) / SHA256_DIGEST_SIZE;
    for (uint32_t i = 1; i <= blocks; i++) {
        uint32_t share = i < blocks ? SHA256_DIGEST_SIZE : dklen - SHA256_DIGEST_SIZE * (i - 1);
        uint8_t index[4];
        store_be32(index, i);
        hmac_sha256_update(hmac, salt, saltlen);
        hmac_sha256_update(hmac, index, 4);
        hmac_sha256_final(hmac, hmac->buf);
        std::memcpy(dk, hmac->buf, share);
        for (uint32_t j = 2; j <= rounds; j++) {
            // U_j = HMAC(U_{j-1}): the previous U is read before final overwrites it.
            hmac_sha256_update(hmac, hmac->buf, SHA256_DIGEST_SIZE);
            hmac_sha256_final(hmac, hmac->buf);
            for (uint32_t k = 0; k < share; k++) dk[k] ^= hmac->buf[k];
        }
        dk += share;
    }
}

namespace {

// The last key this thread used, with its keyed context: a publisher signs frame
// after frame under one key, so the two key-block compressions are done once per
// key instead of once per frame. One per thread: no lock, no sharing of keyed state.
struct hmac_key_cache_t {
    uint32_t keylen = 0;  // 0: empty
    uint8_t key[SHA256_BLOCK_SIZE];
    hmac_sha256_ctx_t ctx;
};
thread_local hmac_key_cache_t key_cache;

// Compares every byte whatever the first difference: no timing hint about the key.
bool same_key(const uint8_t *a, const uint8_t *b, uint32_t n) {
    uint8_t diff = 0;
    for (uint32_t i = 0; i < n; i++) diff |= (uint8_t)(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace

void HMAC_SHA256(const uint8_t *key, int keyLen, const uint8_t *value, int valueLen, uint8_t *out) {
    if (out == nullptr) return;
    uint32_t klen = key != nullptr && keyLen > 0 ? (uint32_t)keyLen : 0;
    uint32_t vlen = valueLen > 0 ? (uint32_t)valueLen : 0;
    if (klen == 0 || klen > SHA256_BLOCK_SIZE) {
        // Empty keys and keys longer than a block (hashed first) are not cached.
        hmac_sha256_ctx_t hmac;
        hmac_sha256_init(&hmac, key, klen);
        hmac_sha256_update(&hmac, value, vlen);
        hmac_sha256_final(&hmac, out);
        return;
    }
    hmac_key_cache_t &c = key_cache;
    if (c.keylen != klen || !same_key(c.key, key, klen)) {
        hmac_sha256_init(&c.ctx, key, klen);
        std::memcpy(c.key, key, klen);
        c.keylen = klen;
    }
    // hmac_sha256_final leaves the context keyed for the next message.
    hmac_sha256_update(&c.ctx, value, vlen);
    hmac_sha256_final(&c.ctx, out);
}

void HASH_SHA256(const uint8_t *key, int keyLen, uint8_t *out) {
    if (out == nullptr) return;
    sha256_ctx_t s;
    sha256_init(&s);
    sha256_update(&s, key, keyLen > 0 ? (uint32_t)keyLen : 0);
    sha256_final(&s, out);
}

void TC_SHA256(const uint8_t *data, size_t len, uint8_t *out) {
    if (out == nullptr) return;
    if (data == nullptr) len = 0;
    uint32_t st[8];
    std::memcpy(st, H0, sizeof(st));
    size_t whole = len - len % SHA256_BLOCK_SIZE;
    for (size_t off = 0; off < whole; off += SHA256_BLOCK_SIZE) compress(st, data + off);
    // Only the tail and its padding are copied: one block when the tail leaves room
    // for 0x80 and the 8-byte bit count, two otherwise.
    uint8_t tail[2 * SHA256_BLOCK_SIZE] = {};
    size_t rest = len - whole;
    if (rest > 0) std::memcpy(tail, data + whole, rest);
    tail[rest] = 0x80;
    size_t tail_len = rest + 9 <= SHA256_BLOCK_SIZE ? SHA256_BLOCK_SIZE : 2 * SHA256_BLOCK_SIZE;
    store_be64(tail + tail_len - 8, (uint64_t)len * 8);
    for (size_t off = 0; off < tail_len; off += SHA256_BLOCK_SIZE) compress(st, tail + off);
    write_digest(out, st);
}
