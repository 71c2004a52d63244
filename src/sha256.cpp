// SHA-256's compression function twice: portable, and on x86-64 through the
// SHA extensions, taken once the processor reports them (cpuid) unless a test
// clears kr_sha256_cpu. Both give the same state; padding, HMAC, hex and the
// constant-time comparison around them are portable.
#include "sha256.h"

#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

bool kr_sha256_cpu = true;

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

constexpr uint32_t rotr(uint32_t x, int n) {
  return (x >> n) | (x << (32 - n));
}

void compress(uint32_t h[8], const unsigned char *p) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i)
    w[i] = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 | uint32_t(p[4 * i + 2]) << 8 |
           uint32_t(p[4 * i + 3]);
  for (int i = 16; i < 64; ++i) {
    uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
  for (int i = 0; i < 64; ++i) {
    uint32_t t1 =
        hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
    uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    hh = g;
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
  h[7] += hh;
}

#if defined(__x86_64__)
// The same compression with the SHA extensions, for `blocks` whole blocks.
// The state is kept as the instructions want it (ABEF and CDGH) across blocks.
__attribute__((target("sha,sse4.1,ssse3"))) void compress_cpu(uint32_t h[8], const unsigned char *p,
                                                              size_t blocks) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i cdab = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(h)), 0xB1);
  __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(h + 4)), 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
  for (; blocks > 0; --blocks, p += 64) {
    const __m128i abef_in = abef, cdgh_in = cdgh;
    __m128i w[4];  // four words of the schedule each, the next four replacing the used ones
    for (int j = 0; j < 4; ++j)
      w[j] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * j)),
                              byte_swap);
    for (int i = 0; i < 16; ++i) {
      __m128i wk =
          _mm_add_epi32(w[i & 3], _mm_loadu_si128(reinterpret_cast<const __m128i *>(K + 4 * i)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(wk, 0x0E));
      if (i < 12) {
        __m128i t = _mm_sha256msg1_epu32(w[i & 3], w[(i + 1) & 3]);
        t = _mm_add_epi32(t, _mm_alignr_epi8(w[(i + 3) & 3], w[(i + 2) & 3], 4));
        w[i & 3] = _mm_sha256msg2_epu32(t, w[(i + 3) & 3]);
      }
    }
    abef = _mm_add_epi32(abef, abef_in);
    cdgh = _mm_add_epi32(cdgh, cdgh_in);
  }
  __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(h), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i *>(h + 4), _mm_alignr_epi8(dchg, feba, 8));
}

bool cpu_has_sha() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_SSE4_1) || !(c & bit_SSSE3)) return false;
  return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_SHA);
}
#endif

// `blocks` whole 64-byte blocks in a row.
void compress_blocks(uint32_t h[8], const unsigned char *p, size_t blocks) {
#if defined(__x86_64__)
  static const bool has_sha = cpu_has_sha();
  if (has_sha && kr_sha256_cpu) return compress_cpu(h, p, blocks);
#endif
  for (; blocks > 0; --blocks, p += 64) compress(h, p);
}

void to_hex(const unsigned char *bytes, size_t n, char *out) {
  static constexpr char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) {
    out[2 * i] = digits[bytes[i] >> 4];
    out[2 * i + 1] = digits[bytes[i] & 15];
  }
  out[2 * n] = '\0';
}

}  // namespace

void kr_sha256_init(kr_sha256_ctx *ctx) {
  static constexpr uint32_t H0[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  memcpy(ctx->state, H0, sizeof H0);
  ctx->bit_count = 0;
  ctx->block_len = 0;
}

void kr_sha256_update(kr_sha256_ctx *ctx, const void *data, size_t len) {
  const unsigned char *p = static_cast<const unsigned char *>(data);
  ctx->bit_count += uint64_t(len) * 8;
  while (len > 0) {
    if (ctx->block_len > 0 || len < 64) {
      size_t take = 64 - ctx->block_len;
      if (take > len) take = len;
      memcpy(ctx->block + ctx->block_len, p, take);
      ctx->block_len += take;
      p += take;
      len -= take;
      if (ctx->block_len == 64) {
        compress_blocks(ctx->state, ctx->block, 1);
        ctx->block_len = 0;
      }
    } else {
      // Whole blocks straight from the input, all of them in one go.
      size_t whole = len / 64 * 64;
      compress_blocks(ctx->state, p, whole / 64);
      p += whole;
      len -= whole;
    }
  }
}

void kr_sha256_final(kr_sha256_ctx *ctx, unsigned char out[32]) {
  static constexpr unsigned char pad[64] = {0x80};
  uint64_t bits = ctx->bit_count;
  size_t pad_len = ctx->block_len <= 55 ? 56 - ctx->block_len : 120 - ctx->block_len;
  kr_sha256_update(ctx, pad, pad_len);
  unsigned char length[8];
  for (int i = 0; i < 8; ++i) length[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  kr_sha256_update(ctx, length, 8);
  for (int i = 0; i < 8; ++i) {
    out[4 * i] = static_cast<unsigned char>(ctx->state[i] >> 24);
    out[4 * i + 1] = static_cast<unsigned char>(ctx->state[i] >> 16);
    out[4 * i + 2] = static_cast<unsigned char>(ctx->state[i] >> 8);
    out[4 * i + 3] = static_cast<unsigned char>(ctx->state[i]);
  }
}

void kr_sha256_hex(const void *data, size_t len, char out[65]) {
  kr_sha256_ctx ctx;
  unsigned char digest[32];
  kr_sha256_init(&ctx);
  kr_sha256_update(&ctx, data, len);
  kr_sha256_final(&ctx, digest);
  to_hex(digest, 32, out);
}

void kr_hmac_sha256(const void *key, size_t key_len, const void *msg, size_t msg_len,
                    unsigned char out[32]) {
  unsigned char kblock[64] = {0};
  kr_sha256_ctx ctx;
  if (key_len > 64) {
    kr_sha256_init(&ctx);
    kr_sha256_update(&ctx, key, key_len);
    kr_sha256_final(&ctx, kblock);
  } else if (key_len > 0) {
    memcpy(kblock, key, key_len);
  }
  unsigned char pad[64];
  for (int i = 0; i < 64; ++i) pad[i] = kblock[i] ^ 0x36;
  unsigned char inner[32];
  kr_sha256_init(&ctx);
  kr_sha256_update(&ctx, pad, 64);
  kr_sha256_update(&ctx, msg, msg_len);
  kr_sha256_final(&ctx, inner);
  for (int i = 0; i < 64; ++i) pad[i] = kblock[i] ^ 0x5c;
  kr_sha256_init(&ctx);
  kr_sha256_update(&ctx, pad, 64);
  kr_sha256_update(&ctx, inner, 32);
  kr_sha256_final(&ctx, out);
}

void kr_hmac_sha256_hex(const void *key, size_t key_len, const void *msg, size_t msg_len,
                        char out[65]) {
  unsigned char mac[32];
  kr_hmac_sha256(key, key_len, msg, msg_len, mac);
  to_hex(mac, 32, out);
}

int kr_ct_eq(const void *a, const void *b, size_t n) {
  const volatile unsigned char *x = static_cast<const volatile unsigned char *>(a);
  const volatile unsigned char *y = static_cast<const volatile unsigned char *>(b);
  unsigned char diff = 0;
  for (size_t i = 0; i < n; ++i) diff = static_cast<unsigned char>(diff | (x[i] ^ y[i]));
  return diff == 0;
}
