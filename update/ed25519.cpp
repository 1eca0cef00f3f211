// SHA-512 (FIPS 180-4) and Ed25519 signature verification (RFC 8032, pure Ed25519) for the
// updater. Field elements mod p = 2^255 - 19 are five 51-bit limbs; points are kept in
// extended coordinates (X:Y:Z:T) with x = X/Z, y = Y/Z, xy = T/Z.
#include "ed25519.h"

#include <cstring>

// ---- SHA-512 -------------------------------------------------------------------------------

namespace {

// First 64 bits of the fractional parts of the cube roots of the first 80 primes.
constexpr uint64_t SHA512_K[80] = {
    0x428a2f98d728ae22ULL, 0x7137449123ef65cdULL, 0xb5c0fbcfec4d3b2fULL, 0xe9b5dba58189dbbcULL,
    0x3956c25bf348b538ULL, 0x59f111f1b605d019ULL, 0x923f82a4af194f9bULL, 0xab1c5ed5da6d8118ULL,
    0xd807aa98a3030242ULL, 0x12835b0145706fbeULL, 0x243185be4ee4b28cULL, 0x550c7dc3d5ffb4e2ULL,
    0x72be5d74f27b896fULL, 0x80deb1fe3b1696b1ULL, 0x9bdc06a725c71235ULL, 0xc19bf174cf692694ULL,
    0xe49b69c19ef14ad2ULL, 0xefbe4786384f25e3ULL, 0x0fc19dc68b8cd5b5ULL, 0x240ca1cc77ac9c65ULL,
    0x2de92c6f592b0275ULL, 0x4a7484aa6ea6e483ULL, 0x5cb0a9dcbd41fbd4ULL, 0x76f988da831153b5ULL,
    0x983e5152ee66dfabULL, 0xa831c66d2db43210ULL, 0xb00327c898fb213fULL, 0xbf597fc7beef0ee4ULL,
    0xc6e00bf33da88fc2ULL, 0xd5a79147930aa725ULL, 0x06ca6351e003826fULL, 0x142929670a0e6e70ULL,
    0x27b70a8546d22ffcULL, 0x2e1b21385c26c926ULL, 0x4d2c6dfc5ac42aedULL, 0x53380d139d95b3dfULL,
    0x650a73548baf63deULL, 0x766a0abb3c77b2a8ULL, 0x81c2c92e47edaee6ULL, 0x92722c851482353bULL,
    0xa2bfe8a14cf10364ULL, 0xa81a664bbc423001ULL, 0xc24b8b70d0f89791ULL, 0xc76c51a30654be30ULL,
    0xd192e819d6ef5218ULL, 0xd69906245565a910ULL, 0xf40e35855771202aULL, 0x106aa07032bbd1b8ULL,
    0x19a4c116b8d2d0c8ULL, 0x1e376c085141ab53ULL, 0x2748774cdf8eeb99ULL, 0x34b0bcb5e19b48a8ULL,
    0x391c0cb3c5c95a63ULL, 0x4ed8aa4ae3418acbULL, 0x5b9cca4f7763e373ULL, 0x682e6ff3d6b2b8a3ULL,
    0x748f82ee5defb2fcULL, 0x78a5636f43172f60ULL, 0x84c87814a1f0ab72ULL, 0x8cc702081a6439ecULL,
    0x90befffa23631e28ULL, 0xa4506cebde82bde9ULL, 0xbef9a3f7b2c67915ULL, 0xc67178f2e372532bULL,
    0xca273eceea26619cULL, 0xd186b8c721c0c207ULL, 0xeada7dd6cde0eb1eULL, 0xf57d4f7fee6ed178ULL,
    0x06f067aa72176fbaULL, 0x0a637dc5a2c898a6ULL, 0x113f9804bef90daeULL, 0x1b710b35131c471bULL,
    0x28db77f523047d84ULL, 0x32caab7b40c72493ULL, 0x3c9ebe0a15c9bebcULL, 0x431d67c49c100d4cULL,
    0x4cc5d4becb3e42b6ULL, 0x597f299cfc657e2aULL, 0x5fcb6fab3ad6faecULL, 0x6c44198c4a475817ULL,
};

// First 64 bits of the fractional parts of the square roots of the first 8 primes.
constexpr uint64_t SHA512_H0[8] = {
    0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL,
    0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL, 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL,
};

inline uint64_t rotr(uint64_t x, int n) {
    return (x >> n) | (x << (64 - n));
}

inline uint64_t load_be64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++) v = (v << 8) | p[i];
    return v;
}

inline void store_be64(uint8_t *p, uint64_t v) {
    for (int i = 7; i >= 0; i--) {
        p[i] = (uint8_t)v;
        v >>= 8;
    }
}

void sha512_block(uint64_t h[8], const uint8_t *block) {
    uint64_t w[80];
    for (int i = 0; i < 16; i++) w[i] = load_be64(block + 8 * i);
    for (int i = 16; i < 80; i++) {
        uint64_t s0 = rotr(w[i - 15], 1) ^ rotr(w[i - 15], 8) ^ (w[i - 15] >> 7);
        uint64_t s1 = rotr(w[i - 2], 19) ^ rotr(w[i - 2], 61) ^ (w[i - 2] >> 6);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint64_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
    for (int i = 0; i < 80; i++) {
        uint64_t s1 = rotr(e, 14) ^ rotr(e, 18) ^ rotr(e, 41);
        uint64_t ch = (e & f) ^ (~e & g);
        uint64_t t1 = k + s1 + ch + SHA512_K[i] + w[i];
        uint64_t s0 = rotr(a, 28) ^ rotr(a, 34) ^ rotr(a, 39);
        uint64_t maj = (a & b) ^ (a & c) ^ (b & c);
        uint64_t t2 = s0 + maj;
        k = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
    h[5] += f;
    h[6] += g;
    h[7] += k;
}

}  // namespace

void sha512_init(sha512_t *ctx) {
    if (ctx == nullptr) return;
    memcpy(ctx->h, SHA512_H0, sizeof ctx->h);
    ctx->bytes = 0;
    ctx->fill = 0;
}

void sha512_update(sha512_t *ctx, const void *data, size_t len) {
    if (ctx == nullptr || (data == nullptr && len > 0)) return;
    const uint8_t *p = static_cast<const uint8_t *>(data);
    ctx->bytes += len;
    if (ctx->fill > 0) {
        size_t take = SHA512_BLOCK_SIZE - ctx->fill;
        if (take > len) take = len;
        memcpy(ctx->block + ctx->fill, p, take);
        ctx->fill += take;
        p += take;
        len -= take;
        if (ctx->fill < SHA512_BLOCK_SIZE) return;
        sha512_block(ctx->h, ctx->block);
        ctx->fill = 0;
    }
    // Whole blocks straight from the caller's buffer: no copy.
    for (; len >= SHA512_BLOCK_SIZE; p += SHA512_BLOCK_SIZE, len -= SHA512_BLOCK_SIZE) {
        sha512_block(ctx->h, p);
    }
    if (len > 0) {
        memcpy(ctx->block, p, len);
        ctx->fill = len;
    }
}

void sha512_final(sha512_t *ctx, uint8_t out[SHA512_DIGEST_SIZE]) {
    if (ctx == nullptr || out == nullptr) return;
    uint64_t bits = ctx->bytes * 8;
    uint64_t bits_hi = ctx->bytes >> 61;
    ctx->block[ctx->fill++] = 0x80;
    if (ctx->fill > SHA512_BLOCK_SIZE - 16) {
        memset(ctx->block + ctx->fill, 0, SHA512_BLOCK_SIZE - ctx->fill);
        sha512_block(ctx->h, ctx->block);
        ctx->fill = 0;
    }
    memset(ctx->block + ctx->fill, 0, SHA512_BLOCK_SIZE - 16 - ctx->fill);
    store_be64(ctx->block + SHA512_BLOCK_SIZE - 16, bits_hi);
    store_be64(ctx->block + SHA512_BLOCK_SIZE - 8, bits);
    sha512_block(ctx->h, ctx->block);
    for (int i = 0; i < 8; i++) store_be64(out + 8 * i, ctx->h[i]);
    ctx->fill = 0;
}

void sha512(const void *data, size_t len, uint8_t out[SHA512_DIGEST_SIZE]) {
    sha512_t ctx;
    sha512_init(&ctx);
    sha512_update(&ctx, data, len);
    sha512_final(&ctx, out);
}

// ---- field arithmetic mod p = 2^255 - 19 ---------------------------------------------------

namespace {

using u128 = unsigned __int128;
constexpr uint64_t MASK51 = (1ULL << 51) - 1;

struct fe {
    uint64_t v[5];
};

// Limbs back below 2^51 (plus a little in limb 0); the value is unchanged mod p.
inline void fe_carry(fe *h) {
    uint64_t *t = h->v;
    t[1] += t[0] >> 51;
    t[0] &= MASK51;
    t[2] += t[1] >> 51;
    t[1] &= MASK51;
    t[3] += t[2] >> 51;
    t[2] &= MASK51;
    t[4] += t[3] >> 51;
    t[3] &= MASK51;
    t[0] += 19 * (t[4] >> 51);
    t[4] &= MASK51;
}

inline fe fe_small(uint64_t n) {
    return fe{{n, 0, 0, 0, 0}};
}

inline fe fe_add(const fe &f, const fe &g) {
    fe h;
    for (int i = 0; i < 5; i++) h.v[i] = f.v[i] + g.v[i];
    fe_carry(&h);
    return h;
}

// f - g + 4p: every limb stays positive for carried inputs.
inline fe fe_sub(const fe &f, const fe &g) {
    fe h;
    h.v[0] = f.v[0] + 0x1FFFFFFFFFFFB4ULL - g.v[0];
    for (int i = 1; i < 5; i++) h.v[i] = f.v[i] + 0x1FFFFFFFFFFFFCULL - g.v[i];
    fe_carry(&h);
    return h;
}

inline fe fe_neg(const fe &f) {
    return fe_sub(fe_small(0), f);
}

fe fe_mul(const fe &f, const fe &g) {
    const uint64_t *a = f.v, *b = g.v;
    uint64_t b1 = 19 * b[1], b2 = 19 * b[2], b3 = 19 * b[3], b4 = 19 * b[4];
    u128 r0 =
        (u128)a[0] * b[0] + (u128)a[1] * b4 + (u128)a[2] * b3 + (u128)a[3] * b2 + (u128)a[4] * b1;
    u128 r1 =
        (u128)a[0] * b[1] + (u128)a[1] * b[0] + (u128)a[2] * b4 + (u128)a[3] * b3 + (u128)a[4] * b2;
    u128 r2 = (u128)a[0] * b[2] + (u128)a[1] * b[1] + (u128)a[2] * b[0] + (u128)a[3] * b4 +
              (u128)a[4] * b3;
    u128 r3 = (u128)a[0] * b[3] + (u128)a[1] * b[2] + (u128)a[2] * b[1] + (u128)a[3] * b[0] +
              (u128)a[4] * b4;
    u128 r4 = (u128)a[0] * b[4] + (u128)a[1] * b[3] + (u128)a[2] * b[2] + (u128)a[3] * b[1] +
              (u128)a[4] * b[0];
    fe h;
    r1 += (uint64_t)(r0 >> 51);
    h.v[0] = (uint64_t)r0 & MASK51;
    r2 += (uint64_t)(r1 >> 51);
    h.v[1] = (uint64_t)r1 & MASK51;
    r3 += (uint64_t)(r2 >> 51);
    h.v[2] = (uint64_t)r2 & MASK51;
    r4 += (uint64_t)(r3 >> 51);
    h.v[3] = (uint64_t)r3 & MASK51;
    uint64_t c = (uint64_t)(r4 >> 51);
    h.v[4] = (uint64_t)r4 & MASK51;
    h.v[0] += c * 19;
    h.v[1] += h.v[0] >> 51;
    h.v[0] &= MASK51;
    return h;
}

inline fe fe_sq(const fe &f) {
    return fe_mul(f, f);
}

// The 255-bit little-endian number, bit 255 ignored (it carries the sign of x in encodings).
fe fe_frombytes(const uint8_t s[32]) {
    uint64_t w[4];
    for (int i = 0; i < 4; i++) {
        w[i] = 0;
        for (int j = 7; j >= 0; j--) w[i] = (w[i] << 8) | s[8 * i + j];
    }
    fe h;
    h.v[0] = w[0] & MASK51;
    h.v[1] = ((w[0] >> 51) | (w[1] << 13)) & MASK51;
    h.v[2] = ((w[1] >> 38) | (w[2] << 26)) & MASK51;
    h.v[3] = ((w[2] >> 25) | (w[3] << 39)) & MASK51;
    h.v[4] = (w[3] >> 12) & MASK51;
    return h;
}

// The unique representative below p, little-endian.
void fe_tobytes(uint8_t s[32], const fe &f) {
    fe h = f;
    fe_carry(&h);
    fe_carry(&h);
    uint64_t *t = h.v;
    // q = 1 exactly when h >= p.
    uint64_t q = (t[0] + 19) >> 51;
    q = (t[1] + q) >> 51;
    q = (t[2] + q) >> 51;
    q = (t[3] + q) >> 51;
    q = (t[4] + q) >> 51;
    t[0] += 19 * q;
    t[1] += t[0] >> 51;
    t[0] &= MASK51;
    t[2] += t[1] >> 51;
    t[1] &= MASK51;
    t[3] += t[2] >> 51;
    t[2] &= MASK51;
    t[4] += t[3] >> 51;
    t[3] &= MASK51;
    t[4] &= MASK51;
    uint64_t w[4] = {t[0] | (t[1] << 51), (t[1] >> 13) | (t[2] << 38), (t[2] >> 26) | (t[3] << 25),
                     (t[3] >> 39) | (t[4] << 12)};
    for (int i = 0; i < 4; i++) {
        for (int j = 0; j < 8; j++) s[8 * i + j] = (uint8_t)(w[i] >> (8 * j));
    }
}

bool fe_is_zero(const fe &f) {
    uint8_t s[32];
    fe_tobytes(s, f);
    uint8_t acc = 0;
    for (uint8_t b : s) acc |= b;
    return acc == 0;
}

bool fe_equal(const fe &f, const fe &g) {
    return fe_is_zero(fe_sub(f, g));
}

int fe_is_odd(const fe &f) {
    uint8_t s[32];
    fe_tobytes(s, f);
    return s[0] & 1;
}

// f^e for a fixed public exponent e (little-endian bytes), square and multiply.
fe fe_pow(const fe &f, const uint8_t e[32]) {
    fe r = fe_small(1);
    for (int i = 255; i >= 0; i--) {
        r = fe_sq(r);
        if ((e[i / 8] >> (i % 8)) & 1) r = fe_mul(r, f);
    }
    return r;
}

// Exponents p - 2 (inversion), (p - 5) / 8 (square roots) and (p - 1) / 4 (sqrt(-1)).
constexpr uint8_t EXP_P_MINUS_2[32] = {
    0xeb, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f};
constexpr uint8_t EXP_P_MINUS_5_DIV_8[32] = {
    0xfd, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x0f};
constexpr uint8_t EXP_P_MINUS_1_DIV_4[32] = {
    0xfb, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x1f};

inline fe fe_invert(const fe &f) {
    return fe_pow(f, EXP_P_MINUS_2);
}

// ---- points --------------------------------------------------------------------------------

struct ge {
    fe X, Y, Z, T;
};

// The curve constants, derived once instead of typed in as limbs.
struct curve_t {
    fe d;       // -121665 / 121666
    fe d2;      // 2d
    fe sqrtm1;  // sqrt(-1) = 2^((p - 1) / 4)
    ge base;    // B, y = 4/5, x even
    bool ok;
};

bool ge_decode(ge *p, const uint8_t s[32], const curve_t &c);

const curve_t &curve() {
    static const curve_t c = [] {
        curve_t k{};
        k.d = fe_mul(fe_neg(fe_small(121665)), fe_invert(fe_small(121666)));
        k.d2 = fe_add(k.d, k.d);
        k.sqrtm1 = fe_pow(fe_small(2), EXP_P_MINUS_1_DIV_4);
        static constexpr uint8_t base_enc[32] = {0x58, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
                                                 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
                                                 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
                                                 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66};
        k.ok = ge_decode(&k.base, base_enc, k);
        return k;
    }();
    return c;
}

// y below p, read from the encoding with the sign bit cleared.
bool canonical_y(const uint8_t s[32]) {
    if ((s[31] & 0x7f) != 0x7f) return true;
    for (int i = 30; i >= 1; i--) {
        if (s[i] != 0xff) return true;
    }
    return s[0] < 0xed;
}

// Point decoding as RFC 8032 5.1.3, refusing every non-canonical form.
bool ge_decode(ge *p, const uint8_t s[32], const curve_t &c) {
    if (!canonical_y(s)) return false;
    const int x_0 = s[31] >> 7;
    fe y = fe_frombytes(s);
    fe y2 = fe_sq(y);
    fe u = fe_sub(y2, fe_small(1));
    fe v = fe_add(fe_mul(c.d, y2), fe_small(1));
    fe v3 = fe_mul(fe_sq(v), v);
    fe v7 = fe_mul(fe_sq(v3), v);
    fe x = fe_mul(fe_mul(u, v3), fe_pow(fe_mul(u, v7), EXP_P_MINUS_5_DIV_8));
    fe vx2 = fe_mul(v, fe_sq(x));
    if (!fe_equal(vx2, u)) {
        if (!fe_equal(vx2, fe_neg(u))) return false;  // u/v has no square root
        x = fe_mul(x, c.sqrtm1);
    }
    if (fe_is_zero(x) && x_0 == 1) return false;  // "negative zero"
    if (fe_is_odd(x) != x_0) x = fe_neg(x);
    p->X = x;
    p->Y = y;
    p->Z = fe_small(1);
    p->T = fe_mul(x, y);
    return true;
}

void ge_encode(uint8_t s[32], const ge &p) {
    fe zi = fe_invert(p.Z);
    fe x = fe_mul(p.X, zi);
    fe y = fe_mul(p.Y, zi);
    fe_tobytes(s, y);
    s[31] |= (uint8_t)(fe_is_odd(x) << 7);
}

ge ge_identity() {
    return ge{fe_small(0), fe_small(1), fe_small(1), fe_small(0)};
}

// Unified addition on the twisted Edwards curve with a = -1 (RFC 8032 5.1.4).
ge ge_add(const ge &p, const ge &q, const curve_t &c) {
    fe a = fe_mul(fe_sub(p.Y, p.X), fe_sub(q.Y, q.X));
    fe b = fe_mul(fe_add(p.Y, p.X), fe_add(q.Y, q.X));
    fe cc = fe_mul(fe_mul(p.T, c.d2), q.T);
    fe d = fe_mul(fe_add(p.Z, p.Z), q.Z);
    fe e = fe_sub(b, a), f = fe_sub(d, cc), g = fe_add(d, cc), h = fe_add(b, a);
    return ge{fe_mul(e, f), fe_mul(g, h), fe_mul(f, g), fe_mul(e, h)};
}

ge ge_double(const ge &p) {
    fe a = fe_sq(p.X);
    fe b = fe_sq(p.Y);
    fe z2 = fe_sq(p.Z);
    fe cc = fe_add(z2, z2);
    fe h = fe_add(a, b);
    fe e = fe_sub(h, fe_sq(fe_add(p.X, p.Y)));
    fe g = fe_sub(a, b);
    fe f = fe_add(cc, g);
    return ge{fe_mul(e, f), fe_mul(g, h), fe_mul(f, g), fe_mul(e, h)};
}

ge ge_neg(const ge &p) {
    return ge{fe_neg(p.X), p.Y, p.Z, fe_neg(p.T)};
}

// [a]P + [b]Q for public scalars below 2^256, bit by bit from the top (Shamir's trick).
ge ge_double_mul(const uint8_t a[32], const ge &p, const uint8_t b[32], const ge &q,
                 const curve_t &c) {
    const ge pq = ge_add(p, q, c);
    ge r = ge_identity();
    bool started = false;
    for (int i = 255; i >= 0; i--) {
        if (started) r = ge_double(r);
        int ba = (a[i / 8] >> (i % 8)) & 1;
        int bb = (b[i / 8] >> (i % 8)) & 1;
        if (ba == 0 && bb == 0) continue;
        r = ge_add(r, ba && bb ? pq : ba ? p : q, c);
        started = true;
    }
    return r;
}

// ---- scalars mod L = 2^252 + 27742317777372353535851937790883648493 ------------------------

constexpr uint8_t ORDER_L[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                 0xa2, 0xde, 0xf9, 0xde, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

bool scalar_below_l(const uint8_t s[32]) {
    for (int i = 31; i >= 0; i--) {
        if (s[i] != ORDER_L[i]) return s[i] < ORDER_L[i];
    }
    return false;  // equal to L
}

// The 512-bit hash mod L, bit by bit: r = 2r + bit, minus L when it reaches L.
void scalar_reduce(uint8_t out[32], const uint8_t h[64]) {
    uint64_t l[4], r[4] = {0, 0, 0, 0};
    for (int i = 0; i < 4; i++) {
        l[i] = 0;
        for (int j = 7; j >= 0; j--) l[i] = (l[i] << 8) | ORDER_L[8 * i + j];
    }
    for (int bit = 511; bit >= 0; bit--) {
        r[3] = (r[3] << 1) | (r[2] >> 63);
        r[2] = (r[2] << 1) | (r[1] >> 63);
        r[1] = (r[1] << 1) | (r[0] >> 63);
        r[0] = (r[0] << 1) | ((h[bit / 8] >> (bit % 8)) & 1);
        bool ge_l = true;
        for (int i = 3; i >= 0; i--) {
            if (r[i] != l[i]) {
                ge_l = r[i] > l[i];
                break;
            }
        }
        if (!ge_l) continue;
        uint64_t borrow = 0;
        for (int i = 0; i < 4; i++) {
            uint64_t d = r[i] - l[i] - borrow;
            borrow = (r[i] < l[i] || (r[i] == l[i] && borrow)) ? 1 : 0;
            r[i] = d;
        }
    }
    for (int i = 0; i < 4; i++) {
        for (int j = 0; j < 8; j++) out[8 * i + j] = (uint8_t)(r[i] >> (8 * j));
    }
}

}  // namespace

// ---- verification --------------------------------------------------------------------------

int ed25519_point_check(const uint8_t enc[ED25519_PUBLIC_SIZE]) {
    if (enc == nullptr) return -1;
    ge p;
    return ge_decode(&p, enc, curve()) ? 0 : -1;
}

int ed25519_small_order(const uint8_t enc[ED25519_PUBLIC_SIZE]) {
    if (enc == nullptr) return -1;
    ge p;
    if (!ge_decode(&p, enc, curve())) return -1;
    // Eight times a point of the torsion subgroup is the neutral point (X = 0, Y = Z).
    for (int i = 0; i < 3; i++) p = ge_double(p);
    return fe_is_zero(p.X) && fe_equal(p.Y, p.Z) ? 1 : 0;
}

int ed25519_verify_init(ed25519_verify_t *v, const uint8_t pub[ED25519_PUBLIC_SIZE],
                        const uint8_t sig[ED25519_SIGNATURE_SIZE]) {
    if (v == nullptr) return -1;
    v->status = -1;
    if (pub == nullptr || sig == nullptr) return -1;
    memcpy(v->pub, pub, sizeof v->pub);
    memcpy(v->sig, sig, sizeof v->sig);
    sha512_init(&v->hash);
    sha512_update(&v->hash, sig, 32);  // R
    sha512_update(&v->hash, pub, ED25519_PUBLIC_SIZE);
    // S must be fully reduced: S + L would verify as well and make signatures malleable.
    if (!scalar_below_l(sig + 32)) return v->status = -2;
    if (ed25519_point_check(pub) != 0) return v->status = -3;
    return v->status = 0;
}

void ed25519_verify_update(ed25519_verify_t *v, const void *data, size_t len) {
    if (v == nullptr || v->status != 0) return;
    sha512_update(&v->hash, data, len);
}

int ed25519_verify_final(ed25519_verify_t *v) {
    if (v == nullptr) return -1;
    if (v->status != 0) return v->status;
    const curve_t &c = curve();
    if (!c.ok) return v->status = -1;
    uint8_t digest[SHA512_DIGEST_SIZE];
    sha512_final(&v->hash, digest);
    uint8_t k[32];
    scalar_reduce(k, digest);
    ge a;
    if (!ge_decode(&a, v->pub, c)) return v->status = -3;
    // R' = [S]B - [k]A must encode to exactly the R of the signature. The encoding of R' is
    // canonical, so an R that is not (y >= p, negative zero) never matches.
    ge r = ge_double_mul(v->sig + 32, c.base, k, ge_neg(a), c);
    uint8_t enc[32];
    ge_encode(enc, r);
    v->status = memcmp(enc, v->sig, 32) == 0 ? 0 : -4;
    // One result per check: a second final cannot report success again.
    int rc = v->status;
    if (rc == 0) v->status = 1;
    return rc;
}

int ed25519_verify(const uint8_t sig[ED25519_SIGNATURE_SIZE], const void *msg, size_t len,
                   const uint8_t pub[ED25519_PUBLIC_SIZE]) {
    ed25519_verify_t v;
    int rc = ed25519_verify_init(&v, pub, sig);
    if (rc != 0) return rc;
    if (msg == nullptr && len > 0) return -1;
    ed25519_verify_update(&v, msg, len);
    return ed25519_verify_final(&v);
}

// ---- public key file -----------------------------------------------------------------------

namespace {

// id-Ed25519 SubjectPublicKeyInfo: SEQUENCE { SEQUENCE { OID 1.3.101.112 } BIT STRING (0 unused
// bits, 32 bytes) }.
constexpr uint8_t SPKI_PREFIX[12] = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03,
                                     0x2b, 0x65, 0x70, 0x03, 0x21, 0x00};
constexpr const char *PEM_BEGIN = "-----BEGIN PUBLIC KEY-----";
constexpr const char *PEM_END = "-----END PUBLIC KEY-----";

int b64_value(char ch) {
    if (ch >= 'A' && ch <= 'Z') return ch - 'A';
    if (ch >= 'a' && ch <= 'z') return ch - 'a' + 26;
    if (ch >= '0' && ch <= '9') return ch - '0' + 52;
    if (ch == '+') return 62;
    if (ch == '/') return 63;
    return -1;
}

bool is_blank(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n';
}

}  // namespace

int ed25519_parse_public_pem(const char *text, size_t len, uint8_t pub[ED25519_PUBLIC_SIZE]) {
    if (text == nullptr || pub == nullptr) return -1;
    size_t pos = 0;
    while (pos < len && is_blank(text[pos])) pos++;
    const size_t begin_len = strlen(PEM_BEGIN), end_len = strlen(PEM_END);
    if (len - pos < begin_len || memcmp(text + pos, PEM_BEGIN, begin_len) != 0) return -2;
    pos += begin_len;
    // The base64 body runs to the END line; it is short, so anything long is no key of ours.
    uint8_t der[64];
    size_t der_len = 0;
    uint32_t acc = 0;
    int bits = 0, pad = 0;
    bool ended = false;
    for (; pos < len; pos++) {
        char ch = text[pos];
        if (ch == '-') {
            ended = true;
            break;
        }
        if (is_blank(ch)) continue;
        if (ch == '=') {
            pad++;
            if (pad > 2) return -4;
            continue;
        }
        int val = b64_value(ch);
        if (val < 0 || pad > 0) return -4;  // no data after padding
        acc = (acc << 6) | (uint32_t)val;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            if (der_len >= sizeof der) return -5;
            der[der_len++] = (uint8_t)(acc >> bits);
        }
    }
    if (!ended) return -3;
    // The padding must complete the last group: 2 leftover bits want "==" ... "=" per 4 chars.
    if ((bits == 4 && pad != 2) || (bits == 2 && pad != 1) || (bits == 0 && pad != 0) ||
        bits == 6) {
        return -4;
    }
    if (len - pos < end_len || memcmp(text + pos, PEM_END, end_len) != 0) return -3;
    pos += end_len;
    while (pos < len && is_blank(text[pos])) pos++;
    if (pos != len) return -3;
    if (der_len != sizeof SPKI_PREFIX + ED25519_PUBLIC_SIZE ||
        memcmp(der, SPKI_PREFIX, sizeof SPKI_PREFIX) != 0) {
        return -5;
    }
    if (ed25519_point_check(der + sizeof SPKI_PREFIX) != 0) return -6;
    if (ed25519_small_order(der + sizeof SPKI_PREFIX) != 0) return -7;
    memcpy(pub, der + sizeof SPKI_PREFIX, ED25519_PUBLIC_SIZE);
    return 0;
}
