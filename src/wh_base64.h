// Base64 (RFC 4648): encoding in the standard alphabet (section 4, "+" and
// "/", padded with "=" to a multiple of four) or the URL-safe one (section 5,
// "-" and "_", unpadded, for text that goes into ids and URLs as it is), and
// strict decoding of the standard form. Bytes only: no heap use, no line
// breaks, nothing else tolerated.
#pragma once

#include <cstddef>
#include <string_view>

enum wh_base64_alphabet : int {
  WH_BASE64_STD,  // "+/" and "=" padding
  WH_BASE64_URL,  // "-_", no padding
};

// The characters encoding n bytes takes, the terminator not counted.
constexpr size_t wh_base64_encoded_len(size_t n, wh_base64_alphabet a) {
  return a == WH_BASE64_STD ? (n + 2) / 3 * 4 : n / 3 * 4 + (n % 3 ? n % 3 + 1 : 0);
}

// Writes the encoding of in[0, n) and a terminator into out, which holds
// wh_base64_encoded_len(n, a) + 1 bytes; returns the characters written.
size_t wh_base64_encode(const void *in, size_t n, wh_base64_alphabet a, char *out);

// Decodes the standard form into out (room for `cap` bytes): the length a
// multiple of four, only alphabet characters, "=" only as the last one or
// two. Returns the bytes written, or -1 when the text is not that form or
// decodes to more than cap bytes.
long wh_base64_decode(std::string_view text, unsigned char *out, size_t cap);
