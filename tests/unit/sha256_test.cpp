#include "sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

std::string hex_of(std::string_view data) {
  char out[65];
  kr_sha256_hex(data.data(), data.size(), out);
  return out;
}

std::string hmac_of(std::string_view key, std::string_view msg) {
  char out[65];
  kr_hmac_sha256_hex(key.data(), key.size(), msg.data(), msg.size(), out);
  return out;
}

std::string piecewise(std::string_view data, size_t piece) {
  kr_sha256_ctx ctx;
  kr_sha256_init(&ctx);
  for (size_t at = 0; at < data.size(); at += piece)
    kr_sha256_update(&ctx, data.data() + at, std::min(piece, data.size() - at));
  unsigned char digest[32];
  kr_sha256_final(&ctx, digest);
  char out[65];
  static constexpr char d[] = "0123456789abcdef";
  for (int i = 0; i < 32; ++i) {
    out[2 * i] = d[digest[i] >> 4];
    out[2 * i + 1] = d[digest[i] & 15];
  }
  out[64] = 0;
  return out;
}

TEST(Sha256, FipsVectors) {
  EXPECT_EQ(hex_of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hex_of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hex_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

// Lengths around the padding boundary: 55 fits the length in one block, 56
// needs a second one.
TEST(Sha256, PaddingBoundaries) {
  const std::pair<size_t, const char *> cases[] = {
      {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {63, "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {119, "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
      {120, "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
  };
  for (auto [n, want] : cases) EXPECT_EQ(hex_of(std::string(n, 'a')), want) << n << " bytes";
}

TEST(Sha256, PiecewiseEqualsOneCall) {
  const std::string million(1000000, 'a');
  const char *want = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
  EXPECT_EQ(hex_of(million), want);
  for (size_t piece : {1u, 63u, 64u, 65u, 4096u})
    EXPECT_EQ(piecewise(million, piece), want) << piece;

  std::string varied;
  for (int i = 0; i < 1000; ++i) varied.push_back(static_cast<char>(i * 7 + 3));
  for (size_t piece : {1u, 63u, 64u, 65u}) EXPECT_EQ(piecewise(varied, piece), hex_of(varied));
}

// The processor's SHA instructions (where present) and the portable code give
// the same digests, across block counts and alignments.
TEST(Sha256, ProcessorAndPortableCodeAgree) {
  std::string data;
  for (int i = 0; i < 4099; ++i) data.push_back(static_cast<char>(i * 31 + 7));
  std::vector<std::string> cpu;
  for (size_t n = 0; n < 300; ++n) cpu.push_back(hex_of(std::string_view(data).substr(n % 3, n)));
  cpu.push_back(hmac_of("key", data));
  kr_sha256_cpu = false;
  for (size_t n = 0; n < 300; ++n)
    EXPECT_EQ(hex_of(std::string_view(data).substr(n % 3, n)), cpu[n]) << n << " bytes";
  EXPECT_EQ(hmac_of("key", data), cpu.back());
  EXPECT_EQ(hex_of(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  kr_sha256_cpu = true;
}

TEST(Sha256, EmptyUpdatesChangeNothing) {
  kr_sha256_ctx ctx;
  kr_sha256_init(&ctx);
  kr_sha256_update(&ctx, "ab", 2);
  kr_sha256_update(&ctx, nullptr, 0);
  kr_sha256_update(&ctx, "c", 1);
  unsigned char digest[32];
  kr_sha256_final(&ctx, digest);
  EXPECT_EQ(digest[0], 0xba);
  EXPECT_EQ(digest[31], 0xad);
}

TEST(HmacSha256, Rfc4231Vectors) {
  EXPECT_EQ(hmac_of(std::string(20, '\x0b'), "Hi There"),
            "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
  EXPECT_EQ(hmac_of("Jefe", "what do ya want for nothing?"),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(hmac_of(std::string(20, '\xaa'), std::string(50, '\xdd')),
            "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe");
  std::string key4;
  for (int i = 1; i <= 25; ++i) key4.push_back(static_cast<char>(i));
  EXPECT_EQ(hmac_of(key4, std::string(50, '\xcd')),
            "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b");
  EXPECT_EQ(hmac_of(std::string(20, '\x0c'), "Test With Truncation").substr(0, 32),
            "a3b6167473100ee06e0c796c2955552b");
  EXPECT_EQ(
      hmac_of(std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First"),
      "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
  EXPECT_EQ(hmac_of(std::string(131, '\xaa'),
                    "This is a test using a larger than block-size key and a larger than "
                    "block-size data. The key needs to be hashed before being used by the HMAC "
                    "algorithm."),
            "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2");
}

// A 64-byte key is used as it stands; one more byte and it is hashed first.
TEST(HmacSha256, KeyBlockBoundary) {
  EXPECT_EQ(hmac_of(std::string(64, 'k'), "msg"),
            "d62ad25bb128e96ab6ef43464aaf2bb91b5b85f013381e9ba6be747e8d0911b2");
  EXPECT_EQ(hmac_of(std::string(64, 'k') + "x", "msg"),
            "579a81730208c03869c8f6f8e06f27c2705ebc590c4babf540478719cbfbc762");
  EXPECT_EQ(hmac_of("", "msg"), "5f576a8d68fe4fb7eb823227246353c0870c3b0e878997341db1226b4bd88d61");
  // Keys and messages are byte strings: an embedded NUL counts.
  EXPECT_NE(hmac_of(std::string("a\0b", 3), "m"), hmac_of("a", "m"));
}

TEST(ConstantTimeEq, Results) {
  EXPECT_EQ(kr_ct_eq("abc", "xyz", 0), 1);
  EXPECT_EQ(kr_ct_eq("secret", "secret", 6), 1);
  EXPECT_EQ(kr_ct_eq("secret", "secreT", 6), 0);
  EXPECT_EQ(kr_ct_eq("Secret", "secret", 6), 0);
  EXPECT_EQ(kr_ct_eq("secret1", "secret2", 6), 1);  // only n bytes are compared
  EXPECT_EQ(kr_ct_eq(std::string("a\0b", 3).c_str(), std::string("a\0c", 3).c_str(), 3), 0);
}

}  // namespace
