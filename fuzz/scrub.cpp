// wh_scrub on arbitrary answers, credentials and cut points. Whatever the
// endpoint sends, the output is terminated within its buffer, holds no raw
// credential of 8 bytes or more, and without credentials is the answer itself.
//
// Input: the secret, a NUL, a header value, a NUL, a path, a NUL, then one
// byte for the flags and the buffer size, then the answer.
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_util.h"
#include "wh_scrub.h"

namespace {

std::string_view take(std::string_view &in) {
  size_t nul = in.find('\0');
  std::string_view piece = in.substr(0, nul);
  in = nul == std::string_view::npos ? std::string_view() : in.substr(nul + 1);
  return piece;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view in(reinterpret_cast<const char *>(data), size);
  auto hook = std::make_unique<wh_hook>();
  std::string secret(take(in)), value(take(in)), path(take(in));
  wh_field_copy(hook->secret, secret.c_str());
  hook->header_count = 1;
  wh_field_copy(hook->headers[0].value, value.c_str());
  wh_field_copy(hook->url, ("https://h.example/" + path).c_str());
  unsigned char flags = in.empty() ? 0 : static_cast<unsigned char>(in[0]);
  if (!in.empty()) in.remove_prefix(1);
  bool complete = flags & 1;
  size_t cap = 1 + (flags >> 1) * 40;

  auto out = std::make_unique<char[]>(cap);
  memset(out.get(), 'X', cap);
  size_t n = wh_scrub(hook.get(), in.data(), in.size(), complete, out.get(), cap);
  FUZZ_CHECK(n < cap && out[n] == '\0', "terminated within the buffer");
  std::string_view shown(out.get(), n);
  for (std::string_view c :
       {std::string_view(hook->secret), std::string_view(hook->headers[0].value)})
    // (One that holds '<' or '>' could be spelt by a marker and the text beside it.)
    if (c.size() >= 8 && c.find_first_of("<>") == std::string_view::npos)
      FUZZ_CHECK(shown.find(c) == std::string_view::npos, "no raw credential shown");

  auto bare = std::make_unique<wh_hook>();
  n = wh_scrub(bare.get(), in.data(), in.size(), complete, out.get(), cap);
  FUZZ_CHECK(std::string_view(out.get(), n) == in.substr(0, cap - 1),
             "without credentials the answer is shown as it came");
  return 0;
}
