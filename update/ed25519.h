// Signature check of program images: SHA-512 and Ed25519 verification (pure Ed25519, no
// pre-hash), written here because the updater links nothing but the C library. Only
// verification: every input (key, signature, image) is public, so nothing needs constant time.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t SHA512_DIGEST_SIZE = 64;
constexpr size_t SHA512_BLOCK_SIZE = 128;
constexpr size_t ED25519_PUBLIC_SIZE = 32;
constexpr size_t ED25519_SIGNATURE_SIZE = 64;

struct sha512_t {
    uint64_t h[8];
    uint64_t bytes;  // message length so far (images are far below 2^64 bytes)
    uint8_t block[SHA512_BLOCK_SIZE];
    size_t fill;
};

void sha512_init(sha512_t *ctx);
void sha512_update(sha512_t *ctx, const void *data, size_t len);
void sha512_final(sha512_t *ctx, uint8_t out[SHA512_DIGEST_SIZE]);
void sha512(const void *data, size_t len, uint8_t out[SHA512_DIGEST_SIZE]);

// Streaming verification: the message is handed over in pieces of any size, so an image is
// checked in one pass with a fixed buffer. R and A enter the hash first, so the signature
// must be known before the first message byte.
struct ed25519_verify_t {
    sha512_t hash;  // SHA-512(R || A || M) under way
    uint8_t pub[ED25519_PUBLIC_SIZE];
    uint8_t sig[ED25519_SIGNATURE_SIZE];
    int status;  // 0 while the check can still succeed, else the refusal of init
};

// Results: 0 valid; -1 null argument; -2 S is not below the group order L; -3 the public key
// is no canonical encoding of a curve point; -4 the equation [S]B = R + [k]A does not hold
// (which includes an R that is no canonical point encoding).
int ed25519_verify_init(ed25519_verify_t *v, const uint8_t pub[ED25519_PUBLIC_SIZE],
                        const uint8_t sig[ED25519_SIGNATURE_SIZE]);
void ed25519_verify_update(ed25519_verify_t *v, const void *data, size_t len);
int ed25519_verify_final(ed25519_verify_t *v);
int ed25519_verify(const uint8_t sig[ED25519_SIGNATURE_SIZE], const void *msg, size_t len,
                   const uint8_t pub[ED25519_PUBLIC_SIZE]);

// 0 when the 32 bytes are a canonical encoding of a point on the curve (y below p, no
// "negative zero" x), else -1.
int ed25519_point_check(const uint8_t enc[ED25519_PUBLIC_SIZE]);

// 1 when the point is of small order (eight times it is the neutral point: the neutral point
// itself, the all-zero encoding, the other torsion points), 0 when not, -1 when the 32 bytes
// are no canonical point. Under such a key one forged signature verifies for every message.
int ed25519_small_order(const uint8_t enc[ED25519_PUBLIC_SIZE]);

// An Ed25519 public key as PEM SubjectPublicKeyInfo, as `openssl pkey -pubout` writes it:
// "-----BEGIN PUBLIC KEY-----", base64 of the 44-byte DER (fixed 12-byte prefix naming
// id-Ed25519, then the 32 key bytes), "-----END PUBLIC KEY-----". Results: 0 and the key in
// pub; -1 null argument; -2 no BEGIN line; -3 no END line or text after it; -4 bad base64;
// -5 not an Ed25519 key (other length or prefix); -6 the key is no canonical curve point;
// -7 the key is a point of small order.
int ed25519_parse_public_pem(const char *text, size_t len, uint8_t pub[ED25519_PUBLIC_SIZE]);
