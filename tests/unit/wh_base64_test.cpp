#include "wh_base64.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string encode(const std::string &in, wh_base64_alphabet a) {
  std::string out(wh_base64_encoded_len(in.size(), a) + 1, '*');
  size_t n = wh_base64_encode(in.data(), in.size(), a, out.data());
  EXPECT_EQ(n, out.size() - 1) << in;
  EXPECT_EQ(out[n], '\0');
  return out.substr(0, n);
}

TEST(WhBase64, Encode) {
  // RFC 4648's vectors, and the bytes where the two alphabets differ.
  struct row {
    std::string in, standard, url;
  } rows[] = {
      {"", "", ""},
      {"f", "Zg==", "Zg"},
      {"fo", "Zm8=", "Zm8"},
      {"foo", "Zm9v", "Zm9v"},
      {"foob", "Zm9vYg==", "Zm9vYg"},
      {"fooba", "Zm9vYmE=", "Zm9vYmE"},
      {"foobar", "Zm9vYmFy", "Zm9vYmFy"},
      {"\xfb\xff\xbf", "+/+/", "-_-_"},
      {std::string("\0\0", 2), "AAA=", "AAA"},
  };
  for (const row &r : rows) {
    EXPECT_EQ(encode(r.in, WH_BASE64_STD), r.standard);
    EXPECT_EQ(encode(r.in, WH_BASE64_URL), r.url);
  }
}

TEST(WhBase64, Decode) {
  struct row {
    std::string text;
    long want;  // bytes, or -1
    std::string bytes;
  } rows[] = {
      {"", 0, ""},
      {"Zg==", 1, "f"},
      {"Zm8=", 2, "fo"},
      {"Zm9vYmFy", 6, "foobar"},
      {"+/+/", 3, "\xfb\xff\xbf"},
      {"Zg", -1, ""},            // unpadded
      {"Zm9vY", -1, ""},         // not a multiple of four
      {"-_-_", -1, ""},          // the URL-safe alphabet
      {"Zg=a", -1, ""},          // padding inside
      {"=Zg=", -1, ""},          //
      {"Z===", -1, ""},          // three pad characters
      {"Zm9v\nYmFy", -1, ""},    // a line break
      {"Zm9vYmFyYmF6", -1, ""},  // 9 bytes into a buffer of 8
  };
  for (const row &r : rows) {
    unsigned char out[8];
    long n = wh_base64_decode(r.text, out, sizeof out);
    EXPECT_EQ(n, r.want) << r.text;
    if (n >= 0) {
      EXPECT_EQ(std::string(reinterpret_cast<char *>(out), static_cast<size_t>(n)), r.bytes);
    }
  }
}

}  // namespace
