// wh_scrub on arbitrary answers, credentials and cut points. Whatever the
// endpoint sends, the output is terminated within its buffer, holds none of
// the hook's needles (each credential of 8 bytes or more and every form
// derived from it; in either letter case where the needle is case-free), and
// without credentials is the answer itself.
//
// Input: the secret, a NUL, a header value, a NUL, a path, a NUL, then one
// byte for the flags and the buffer size, then the answer.
#include <cctype>
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
  std::string folded(shown);
  for (char &c : folded) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  for (const wh_scrub_needle &needle : wh_scrub_needles(hook.get())) {
    // (One that holds '<' or '>' could be spelt by a marker and the text
    // beside it, one inside "redacted" by the marker alone.)
    if (needle.text.find_first_of("<>") != std::string::npos ||
        std::string_view("redacted").find(needle.text) != std::string_view::npos)
      continue;
    FUZZ_CHECK((needle.fold ? std::string_view(folded) : shown).find(needle.text) ==
                   std::string_view::npos,
               "no credential, nor a form of one, shown");
  }

  auto bare = std::make_unique<wh_hook>();
  n = wh_scrub(bare.get(), in.data(), in.size(), complete, out.get(), cap);
  FUZZ_CHECK(std::string_view(out.get(), n) == in.substr(0, cap - 1),
             "without credentials the answer is shown as it came");
  return 0;
}
