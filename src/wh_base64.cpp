#include "wh_base64.h"

namespace {

constexpr char kStd[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// The value of a standard-alphabet character, or -1.
int value_of(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

size_t wh_base64_encode(const void *in, size_t n, wh_base64_alphabet a, char *out) {
  const auto *p = static_cast<const unsigned char *>(in);
  const char *digits = a == WH_BASE64_STD ? kStd : kUrl;
  size_t o = 0;
  for (size_t i = 0; i < n; i += 3) {
    size_t left = n - i;
    unsigned long v = static_cast<unsigned long>(p[i]) << 16;
    if (left > 1) v |= static_cast<unsigned long>(p[i + 1]) << 8;
    if (left > 2) v |= p[i + 2];
    out[o++] = digits[(v >> 18) & 63];
    out[o++] = digits[(v >> 12) & 63];
    if (left > 1)
      out[o++] = digits[(v >> 6) & 63];
    else if (a == WH_BASE64_STD)
      out[o++] = '=';
    if (left > 2)
      out[o++] = digits[v & 63];
    else if (a == WH_BASE64_STD)
      out[o++] = '=';
  }
  out[o] = '\0';
  return o;
}

long wh_base64_decode(std::string_view text, unsigned char *out, size_t cap) {
  if (text.size() % 4) return -1;
  size_t pad = 0;
  if (!text.empty() && text.back() == '=') pad = text[text.size() - 2] == '=' ? 2 : 1;
  size_t len = text.size() / 4 * 3 - pad;
  if (len > cap) return -1;
  size_t o = 0;
  for (size_t i = 0; i < text.size(); i += 4) {
    unsigned long v = 0;
    for (size_t k = 0; k < 4; ++k) {
      size_t at = i + k;
      int d = at < text.size() - pad ? value_of(text[at]) : 0;
      if (d < 0) return -1;
      v = v << 6 | static_cast<unsigned long>(d);
    }
    for (size_t k = 0; k < 3 && o < len; ++k)
      out[o++] = static_cast<unsigned char>(v >> (16 - 8 * k));
  }
  return static_cast<long>(o);
}
