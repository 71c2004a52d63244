// get_query_val on arbitrary query texts, names and buffer sizes, against a
// plain model of the rules: split at '&', the first "name=" wins, the raw
// value is cut to the buffer and then decoded ("+" and %XX only).
//
// Input: one byte for the buffer size, the name up to the first NUL, the
// query after it (without a NUL the name is "pwd" and all of it is query).
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "cgi_query.h"
#include "fuzz_util.h"

namespace {

int hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The raw value of the first parameter "name=...", if any.
std::optional<std::string> model_raw(const std::string &query, const std::string &name) {
  size_t start = 0;
  while (start < query.size()) {
    size_t amp = query.find('&', start);
    std::string param = query.substr(start, amp == std::string::npos ? amp : amp - start);
    if (param.size() > name.size() && param.compare(0, name.size(), name) == 0 &&
        param[name.size()] == '=')
      return param.substr(name.size() + 1);
    if (amp == std::string::npos) break;
    start = amp + 1;
  }
  return std::nullopt;
}

std::string model_decode(const std::string &raw) {
  std::string out;
  for (size_t i = 0; i < raw.size();) {
    int hi, lo;
    if (raw[i] == '+') {
      out += ' ';
      ++i;
    } else if (raw[i] == '%' && i + 2 < raw.size() && (hi = hex(raw[i + 1])) >= 0 &&
               (lo = hex(raw[i + 2])) >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 3;
    } else {
      out += raw[i++];
    }
  }
  return out.substr(0, strlen(out.c_str()));  // a decoded NUL ends the value
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  size_t out_size = 1 + data[0] % 80;
  std::string rest = fuzz_text(data + 1, size - 1);
  std::string name = "pwd", query = rest;
  if (size_t nul = rest.find('\0'); nul != std::string::npos) {
    name = rest.substr(0, nul);
    query = rest.substr(nul + 1);
  }
  // The program asks for fixed names (action, pwd, theme, name, ...); a name
  // holding '&' is no parameter name.
  if (name.find('&') != std::string::npos) return 0;
  query.resize(strlen(query.c_str()));

  // Exactly out_size bytes on the heap, so a write past them is caught.
  auto out = std::make_unique<char[]>(out_size);
  memset(out.get(), 'X', out_size);
  int rc = get_query_val(query.c_str(), name.c_str(), out.get(), out_size);
  FUZZ_CHECK(memchr(out.get(), '\0', out_size), "value terminated within out_size");

  std::optional<std::string> raw = model_raw(query, name);
  FUZZ_CHECK(rc == (raw ? 1 : 0), "1 exactly when the name= parameter is present");
  if (!raw) {
    FUZZ_CHECK(out[0] == '\0', "value empty when absent");
    return 0;
  }
  std::string cut = raw->substr(0, out_size - 1);
  std::string got = out.get();
  FUZZ_CHECK(got.size() <= cut.size(), "decoding never grows the text");
  FUZZ_CHECK(got == model_decode(cut), "value is the cut raw value, decoded");
  if (cut.find_first_of("%+") == std::string::npos && cut.find('\0') == std::string::npos)
    FUZZ_CHECK(got == cut, "a value without '%' or '+' is copied exactly");

  // A null query finds nothing and empties the value.
  FUZZ_CHECK(get_query_val(nullptr, name.c_str(), out.get(), out_size) == 0 && out[0] == '\0',
             "a null query finds nothing");
  return 0;
}
