// SHA-256 (FIPS 180-4), HMAC-SHA256 (RFC 2104) with keyed midstates and
// PBKDF2-HMAC-SHA256 (RFC 8018), written out here so the GOOSE authentication value
// depends on no crypto library. Contexts belong to the caller; nothing is allocated.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int SHA256_BLOCK_SIZE = 64;
constexpr int SHA256_DIGEST_SIZE = 32;

struct sha256_ctx_t {
    uint64_t len;  // message bytes absorbed so far (bytes, not bits)
    uint32_t h[8];
    uint8_t buf[SHA256_BLOCK_SIZE];  // uncompressed tail: len % 64 bytes valid
};

struct hmac_sha256_ctx_t {
    uint8_t buf[SHA256_BLOCK_SIZE];  // key block while keying, then a work area
    uint32_t h_inner[8];             // state after the key block XOR 0x36
    uint32_t h_outer[8];             // state after the key block XOR 0x5c
    sha256_ctx_t sha;                // the running inner or outer hash
};

void sha256_init(sha256_ctx_t *s);
void sha256_update(sha256_ctx_t *s, const uint8_t *m, uint32_t len);
// Writes the 32-byte digest, then leaves s initialised for a new message.
void sha256_final(sha256_ctx_t *s, uint8_t *md);
// Compresses one 64-byte block into s->h.
void sha256_transform(sha256_ctx_t *s, const uint8_t *buf);

void hmac_sha256_init(hmac_sha256_ctx_t *hmac, const uint8_t *key, uint32_t keylen);
void hmac_sha256_update(hmac_sha256_ctx_t *hmac, const uint8_t *m, uint32_t mlen);
// Writes the 32-byte MAC, then leaves the context keyed and empty.
void hmac_sha256_final(hmac_sha256_ctx_t *hmac, uint8_t *md);

// Kept for its callers to come: no key is derived from a password yet.
// dklen bytes of PBKDF2-HMAC-SHA256 of the password key under salt; rounds 0 counts
// as 1. hmac is the caller's work context, left keyed with the password.
void pbkdf2_sha256(hmac_sha256_ctx_t *hmac, const uint8_t *key, uint32_t keylen,
                   const uint8_t *salt, uint32_t saltlen, uint32_t rounds, uint8_t *dk,
                   uint32_t dklen);

// One-shot forms; a negative length counts as 0.
void HMAC_SHA256(const uint8_t *key, int keyLen, const uint8_t *value, int valueLen, uint8_t *out);
// Kept for its callers to come: only the HMAC is used on the wire.
void HASH_SHA256(const uint8_t *key, int keyLen, uint8_t *out);
// Self-contained second routine; same digest as HASH_SHA256, any length, constant
// stack (the padding is built in the last one or two blocks only).
void TC_SHA256(const uint8_t *data, size_t len, uint8_t *out);
