#include "wh_base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

namespace {

TEST(WhBase64, EncodeBothAlphabets) {
  // RFC 4648's vectors with two and one padding bytes, and three bytes (no
  // padding) where the two alphabets differ.
  const char *rows[][3] = {
      {"", "", ""}, {"f", "Zg==", "Zg"}, {"fo", "Zm8=", "Zm8"}, {"\xfb\xff\xbf", "+/+/", "-_-_"}};
  for (auto &[in, standard, url] : rows) {
    for (auto [a, want] : {std::pair{WH_BASE64_STD, standard}, std::pair{WH_BASE64_URL, url}}) {
      char text[16];
      size_t n = wh_base64_encode(in, strlen(in), a, text);
      EXPECT_EQ(std::string(text, n + 1), std::string(want) + '\0');
      EXPECT_EQ(n, wh_base64_encoded_len(strlen(in), a));
    }
  }
}

TEST(WhBase64, DecodeOnlyTheStandardForm) {
  const std::pair<const char *, const char *> rows[] = {
      {"Zm8=", "fo"},         {"+/+/", "\xfb\xff\xbf"},
      {"Zm9vYmFy", "foobar"}, {"Zg", nullptr},  // unpadded
      {"-_-_", nullptr},      {"Zg=a", nullptr},
      {"Z===", nullptr},      {"Zm9vYmFyYmF6", nullptr},  // 9 bytes, for room of 8
  };
  for (auto &[text, bytes] : rows) {
    unsigned char out[8];
    long n = wh_base64_decode(text, out, sizeof out);
    EXPECT_EQ(n < 0 ? "-1" : std::string(reinterpret_cast<char *>(out), static_cast<size_t>(n)),
              bytes ? bytes : "-1")
        << text;
  }
}

}  // namespace
