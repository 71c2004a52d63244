#include "wh_scrub.h"

#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "wh_sign.h"
#include "wh_url.h"

namespace {

constexpr size_t kFloor = 8;   // shorter values are left alone
constexpr size_t kSpread = 6;  // the most answer bytes one credential byte takes: "\u00XX"
constexpr char kMark[] = "<redacted>";
constexpr size_t kMarkLen = sizeof kMark - 1;

constexpr unsigned kJson = 1, kPct = 2;  // which escapes a search decodes

int hex(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of n hex digits at p, or -1.
long hex_run(const char *p, size_t n) {
  long v = 0;
  for (size_t i = 0; i < n; ++i) {
    int d = hex(static_cast<unsigned char>(p[i]));
    if (d < 0) return -1;
    v = v * 16 + d;
  }
  return v;
}

size_t utf8_encode(unsigned long cp, unsigned char *u) {
  if (cp < 0x80) {
    u[0] = static_cast<unsigned char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    u[0] = static_cast<unsigned char>(0xc0 | (cp >> 6));
    u[1] = static_cast<unsigned char>(0x80 | (cp & 0x3f));
    return 2;
  }
  if (cp < 0x10000) {
    u[0] = static_cast<unsigned char>(0xe0 | (cp >> 12));
    u[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3f));
    u[2] = static_cast<unsigned char>(0x80 | (cp & 0x3f));
    return 3;
  }
  u[0] = static_cast<unsigned char>(0xf0 | (cp >> 18));
  u[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3f));
  u[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3f));
  u[3] = static_cast<unsigned char>(0x80 | (cp & 0x3f));
  return 4;
}

// A JSON escape at h[0] (a backslash): its bytes into u, how many it took into
// *un; returns the haystack bytes it spans, 0 when it is not one.
size_t json_unit(std::string_view h, unsigned char *u, size_t *un) {
  if (h.size() < 2) return 0;
  constexpr std::string_view kShort = "\"\\/bfnrt", kMeans = "\"\\/\b\f\n\r\t";
  if (size_t k = kShort.find(h[1]); k != std::string_view::npos) {
    u[0] = static_cast<unsigned char>(kMeans[k]);
    *un = 1;
    return 2;
  }
  if (h[1] != 'u' || h.size() < 6) return 0;
  long cp = hex_run(h.data() + 2, 4);
  if (cp < 0 || (cp >= 0xdc00 && cp <= 0xdfff)) return 0;
  if (cp < 0xd800 || cp > 0xdbff) {
    *un = utf8_encode(static_cast<unsigned long>(cp), u);
    return 6;
  }
  if (h.size() < 12 || h[6] != '\\' || h[7] != 'u') return 0;
  long lo = hex_run(h.data() + 8, 4);
  if (lo < 0xdc00 || lo > 0xdfff) return 0;
  *un = utf8_encode(0x10000 + ((static_cast<unsigned long>(cp) - 0xd800) << 10) +
                        (static_cast<unsigned long>(lo) - 0xdc00),
                    u);
  return 12;
}

// The answer with the escapes of `mode` decoded, and for each decoded byte
// the span of answer bytes it came from. An escape that does not decode is
// kept as it stands.
struct decoded {
  std::string text;
  std::vector<uint32_t> from, to;

  decoded(std::string_view h, unsigned mode) {
    text.reserve(h.size());
    from.reserve(h.size());
    to.reserve(h.size());
    for (size_t k = 0; k < h.size();) {
      unsigned char u[4];
      size_t un = 1, took = 0;
      if ((mode & kJson) && h[k] == '\\') {
        took = json_unit(h.substr(k), u, &un);
      } else if ((mode & kPct) && h[k] == '%') {
        long v = h.size() - k >= 3 ? hex_run(h.data() + k + 1, 2) : -1;
        if (v >= 0) {
          u[0] = static_cast<unsigned char>(v);
          took = 3;
        }
      }
      if (!took) {
        u[0] = static_cast<unsigned char>(h[k]);
        un = took = 1;
      }
      for (size_t i = 0; i < un; ++i) {
        text += static_cast<char>(u[i]);
        from.push_back(static_cast<uint32_t>(k));
        to.push_back(static_cast<uint32_t>(k + took));
      }
      k += took;
    }
  }
};

bool token_like(std::string_view s) {
  if (s.size() >= 16) return true;
  if (s.size() < kFloor) return false;
  bool letter = false, digit = false;
  for (char c : s) {
    letter |= (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    digit |= c >= '0' && c <= '9';
  }
  return letter && digit;
}

std::string pct_decode(std::string_view s) {
  std::string d;
  d.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    long v = s[i] == '%' && s.size() - i >= 3 ? hex_run(s.data() + i + 1, 2) : -1;
    if (v < 0) {
      d += s[i];
    } else {
      d += static_cast<char>(v);
      i += 2;
    }
  }
  return d;
}

// The credentials of one hook, each once.
struct needle_set {
  std::vector<std::string_view> list;
  std::deque<std::string> decoded;  // a deque keeps its strings where they are
  wh_url url;                       // the pieces of the target point into it
  size_t longest = 0;

  void add(std::string_view v) {
    if (v.size() < kFloor) return;
    for (std::string_view n : list)
      if (n == v) return;
    list.push_back(v);
    if (v.size() > longest) longest = v.size();
  }
  // The value as sent and, when it holds escapes, as the endpoint may have
  // decoded it before echoing it.
  void add_url_piece(std::string_view v) {
    add(v);
    if (v.find('%') == std::string_view::npos) return;
    decoded.push_back(pct_decode(v));
    add(decoded.back());
  }
  // Splits s at sep; each piece goes to add_piece.
  template <class F>
  static void each(std::string_view s, char sep, F add_piece) {
    while (!s.empty()) {
      size_t at = s.find(sep);
      add_piece(s.substr(0, at));
      s = at == std::string_view::npos ? std::string_view() : s.substr(at + 1);
    }
  }

  explicit needle_set(const wh_hook *hook) {
    for (const char *secret : {hook->secret, hook->prev_secret}) {
      add({secret, strnlen(secret, sizeof hook->secret)});
      add(wh_sign_key_text(secret));
    }
    int count = hook->header_count < 0 ? 0 : hook->header_count;
    for (int i = 0; i < count && i < WH_MAX_HEADERS; ++i)
      add({hook->headers[i].value, strnlen(hook->headers[i].value, sizeof hook->headers[i].value)});

    if (wh_url_parse(hook->url, &url, nullptr, 0) != 0) return;
    std::string_view target = url.path;
    size_t q = target.find('?');
    std::string_view path = target.substr(0, q);
    if (path.size() > 1) {
      add_url_piece(path.substr(1));
      each(path, '/', [this](std::string_view seg) {
        if (token_like(seg)) add_url_piece(seg);
      });
    }
    if (q == std::string_view::npos) return;
    std::string_view query = target.substr(q + 1);
    add_url_piece(query);
    each(query, '&', [this](std::string_view item) {
      size_t eq = item.find('=');
      add_url_piece(eq == std::string_view::npos ? item : item.substr(eq + 1));
    });
  }
};

// Marks in `hidden` every answer byte of every find of a needle in text,
// where text's byte i came from answer bytes [from(i), to(i)).
template <class From, class To>
void mark(std::string_view text, const std::vector<std::string_view> &needles, From from, To to,
          size_t answer_len, std::vector<char> &hidden) {
  for (std::string_view n : needles) {
    for (size_t at = text.find(n); at != std::string_view::npos; at = text.find(n, at + 1)) {
      if (hidden.empty()) hidden.assign(answer_len, 0);
      size_t begin = from(at), end = to(at + n.size() - 1);
      memset(hidden.data() + begin, 1, end - begin);
    }
  }
}

}  // namespace

size_t wh_scrub(const wh_hook *hook, const char *in, size_t in_len, bool complete, char *out,
                size_t out_cap) {
  if (!out || out_cap == 0) return 0;
  std::string_view h(in ? in : "", in ? in_len : 0);
  needle_set needles(hook);
  unsigned modes = (h.find('\\') != std::string_view::npos ? kJson : 0) |
                   (h.find('%') != std::string_view::npos ? kPct : 0);
  std::vector<char> hidden;  // one flag a byte, made at the first find
  if (!needles.list.empty()) {
    mark(
        h, needles.list, [](size_t i) { return i; }, [](size_t i) { return i + 1; }, h.size(),
        hidden);
    for (unsigned mode : {kJson, kPct, kJson | kPct}) {
      if ((modes & mode) != mode) continue;
      decoded d(h, mode);
      mark(
          d.text, needles.list, [&](size_t i) { return d.from[i]; },
          [&](size_t i) { return d.to[i]; }, h.size(), hidden);
    }
  }

  // Past `stop` a find could run beyond what was captured and go unseen.
  size_t reach = needles.longest * kSpread;
  size_t stop = complete || reach == 0 ? h.size() : (h.size() >= reach ? h.size() - reach + 1 : 0);
  size_t o = 0, room = out_cap - 1;
  for (size_t i = 0; i < stop && o < room;) {
    if (!hidden.empty() && hidden[i]) {
      while (i < h.size() && hidden[i]) ++i;
      size_t n = kMarkLen < room - o ? kMarkLen : room - o;
      memcpy(out + o, kMark, n);
      o += n;
      continue;
    }
    size_t end = i;
    while (end < stop && (hidden.empty() || !hidden[end])) ++end;
    size_t n = end - i < room - o ? end - i : room - o;
    memcpy(out + o, h.data() + i, n);
    o += n;
    i += n;
  }
  out[o] = '\0';
  return o;
}
