// SHA-256 (FIPS 180-4), HMAC-SHA256 (RFC 2104, 64-byte block), lower-case hex
// forms and a constant-time comparison. No heap use: every buffer is the
// caller's. Hex outputs are 64 characters and a NUL, so they need 65 bytes.
#pragma once

#include <cstddef>
#include <cstdint>

struct kr_sha256_ctx {
  uint32_t state[8];
  uint64_t bit_count;
  unsigned char block[64];
  size_t block_len;
};

void kr_sha256_init(kr_sha256_ctx *ctx);
void kr_sha256_update(kr_sha256_ctx *ctx, const void *data, size_t len);
void kr_sha256_final(kr_sha256_ctx *ctx, unsigned char out[32]);
void kr_sha256_hex(const void *data, size_t len, char out[65]);
void kr_hmac_sha256(const void *key, size_t key_len, const void *msg, size_t msg_len,
                    unsigned char out[32]);
void kr_hmac_sha256_hex(const void *key, size_t key_len, const void *msg, size_t msg_len,
                        char out[65]);
// Where the processor has SHA instructions (x86-64 SHA extensions), blocks are
// compressed with them, several times faster than the portable code (a 1 MiB
// payload is signed in a fraction of a millisecond). A test seam: false forces
// the portable code.
extern bool kr_sha256_cpu;

// 1 when the first n bytes of a and b are equal (1 for n == 0), else 0; the
// time taken depends on n alone.
int kr_ct_eq(const void *a, const void *b, size_t n);
