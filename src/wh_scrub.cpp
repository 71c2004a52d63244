#include "wh_scrub.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "wh_base64.h"
#include "wh_escape.h"
#include "wh_sign.h"
#include "wh_url.h"

namespace {

constexpr size_t kFloor = 8;   // shorter needles are left alone
constexpr size_t kSpread = 6;  // answer bytes of one JSON-escaped needle byte: "\u00XX"
constexpr char kMark[] = "<redacted>";
constexpr size_t kMarkLen = sizeof kMark - 1;
constexpr int kRounds = 3;           // decoding rounds of the mixed reading
constexpr size_t kRefDigits = 8;     // the most digits of an HTML numeric reference
constexpr size_t kLongestUnit = 12;  // "\ud83d\ude00" and "&#x0010FFFF;"

constexpr unsigned kJson = 1, kPct = 2, kHtml = 4, kAll = kJson | kPct | kHtml;

// The needle bytes of a hook with every field full, shaped for the worst:
// per value byte (headers and both secrets), 6.5 bytes of derived needles (as
// stored, trimmed, after the scheme word, pieces, their values, and 3/4 each
// for Basic's pair and password); per secret, its key text once more; per URL
// byte, 10 (path and segments, each also decoded; query and values, each in 5
// forms); then each needle once more as itself, twice in its Latin-1 reading
// and 8 times in base64 (4/3 in 3 alignments and 2 alphabets).
constexpr size_t kSecretBytes = sizeof(wh_hook::secret) - 1 + sizeof(wh_hook::prev_secret) - 1;
constexpr size_t kValueBytes = WH_MAX_HEADERS * (sizeof(wh_header::value) - 1) + kSecretBytes;
constexpr size_t kMaxNeedleBytes =
    11 * (kValueBytes * 13 / 2 + kSecretBytes + 10 * (sizeof(wh_hook::url) - 1 - sizeof "http://"));
static_assert(kMaxNeedleBytes < 1440000, "the bound the header states");
// A needle's length fits a state's 16-bit fields: the longest is the Latin-1
// reading of a whole URL's query.
static_assert(2 * sizeof(wh_hook::url) < 65536);

uint32_t u32(size_t n) {
  return static_cast<uint32_t>(n);
}

// The value of n hex digits at p, or -1.
long hex_run(const char *p, size_t n) {
  long v = 0;
  for (size_t i = 0; i < n; ++i) {
    int d = wh_escape_hex(p[i]);
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

// ---- Escapes ---------------------------------------------------------------
// Each unit reader looks at an escape's first byte: it writes the bytes the
// escape stands for into u, their count into *un, and returns the answer bytes
// it spans, or 0 when there is no such escape there.

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

size_t pct_unit(std::string_view h, unsigned char *u, size_t *un) {
  long v = h.size() >= 3 ? hex_run(h.data() + 1, 2) : -1;
  if (v < 0) return 0;
  u[0] = static_cast<unsigned char>(v);
  *un = 1;
  return 3;
}

size_t html_unit(std::string_view h, unsigned char *u, size_t *un) {
  static constexpr std::string_view kNamed[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"};
  static constexpr char kMeans[] = "&<>\"'";
  for (size_t k = 0; k < std::size(kNamed); ++k) {
    if (h.substr(0, kNamed[k].size()) != kNamed[k]) continue;
    u[0] = static_cast<unsigned char>(kMeans[k]);
    *un = 1;
    return kNamed[k].size();
  }
  if (h.size() < 4 || h[1] != '#') return 0;
  bool in_hex = h[2] == 'x' || h[2] == 'X';
  size_t at = in_hex ? 3 : 2, digits = 0;
  unsigned long cp = 0;
  for (; at < h.size() && digits < kRefDigits; ++at, ++digits) {
    auto c = static_cast<unsigned char>(h[at]);
    int d = in_hex ? wh_escape_hex(h[at]) : (c >= '0' && c <= '9' ? c - '0' : -1);
    if (d < 0) break;
    cp = cp * (in_hex ? 16 : 10) + static_cast<unsigned long>(d);
  }
  if (digits == 0 || at >= h.size() || h[at] != ';') return 0;
  if (cp == 0 || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
  *un = utf8_encode(cp, u);
  return at + 1;
}

// Whether t, which runs to the end of a cut capture and is no escape as it
// stands, could begin one that the rest of the answer completes. It may say
// yes too often: that only holds back a few more bytes.
bool could_grow(std::string_view t, unsigned kinds) {
  if (t.size() >= kLongestUnit) return false;
  auto only = [&](std::string_view allowed) {
    return t.find_first_not_of(allowed, 1) == std::string_view::npos;
  };
  constexpr std::string_view kHex = "0123456789abcdefABCDEF";
  switch (t[0]) {
    case '\\': return (kinds & kJson) && only("\\u0123456789abcdefABCDEF");
    case '%': return (kinds & kPct) && t.size() < 3 && only(kHex);
    case '&':
      return (kinds & kHtml) &&
             only("#xX0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
    default: return false;
  }
}

// ---- Readings --------------------------------------------------------------

// The answer, or a decoded form of it, with the answer span each byte came from.
struct reading {
  std::string_view text;
  std::string own;                 // the text, when decoded
  std::vector<uint32_t> from, to;  // byte i came from answer bytes [from[i], to[i]); empty: i
  size_t end = 0;                  // the answer offset the text's end stands for

  size_t begin_of(size_t i) const { return from.empty() ? i : from[i]; }
  size_t end_of(size_t i) const { return to.empty() ? i + 1 : to[i]; }
};

enum class decoded { nothing, cut_only, some };

// Decodes the escapes of `kinds` in src into dst; an escape that does not
// decode is kept as it stands. In a cut capture, an escape that its end cuts
// short ends dst there.
decoded decode(const reading &src, unsigned kinds, bool complete, reading &dst) {
  std::string_view h = src.text;
  // No escape stands for more bytes than it spans: the source's size bounds the text.
  dst.own.resize(h.size());
  dst.from.resize(h.size());
  dst.to.resize(h.size());
  char *text = dst.own.data();
  uint32_t *from = dst.from.data(), *to = dst.to.data();
  size_t n = 0;
  dst.end = src.end;
  decoded result = decoded::nothing;
  for (size_t k = 0; k < h.size();) {
    unsigned kind = h[k] == '\\' ? kJson : h[k] == '%' ? kPct : h[k] == '&' ? kHtml : 0;
    unsigned char u[4];
    size_t un = 0, took = 0;
    if (kind & kinds) {
      std::string_view at = h.substr(k);
      took = kind == kJson  ? json_unit(at, u, &un)
             : kind == kPct ? pct_unit(at, u, &un)
                            : html_unit(at, u, &un);
      if (!took && !complete && could_grow(at, kinds)) {
        dst.end = src.begin_of(k);
        if (result == decoded::nothing) result = decoded::cut_only;
        break;
      }
    }
    if (!took) {
      text[n] = h[k];
      from[n] = u32(src.begin_of(k));
      to[n++] = u32(src.end_of(k++));
      continue;
    }
    result = decoded::some;
    for (size_t i = 0; i < un; ++i, ++n) {
      text[n] = static_cast<char>(u[i]);
      from[n] = u32(src.begin_of(k));
      to[n] = u32(src.end_of(k + took - 1));
    }
    k += took;
  }
  dst.own.resize(n);
  dst.from.resize(n);
  dst.to.resize(n);
  dst.text = dst.own;
  return result;
}

// ---- Needles ---------------------------------------------------------------

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

// Hex digits only, or a UUID's 8-4-4-4-12 hex digits: text whose letter case
// carries nothing, which servers print in either case.
bool case_free(std::string_view s) {
  bool uuid = s.size() == 36;
  for (size_t i = 0; i < s.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (uuid && dash ? s[i] != '-' : wh_escape_hex(s[i]) < 0) return false;
  }
  return true;
}

std::string_view trim(std::string_view s) {
  constexpr std::string_view kSpace = " \t\r\n\f\v";
  size_t b = s.find_first_not_of(kSpace);
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(kSpace) - b + 1);
}

// "%XX" decoded, and with `form` "+" read as a space.
std::string pct_decoded(std::string_view s, bool form) {
  std::string d(s.size(), '\0');
  d.resize(wh_escape_pct_decode(s, d.data(), form));
  return d;
}

std::string replaced(std::string_view s, char from, char to) {
  std::string r(s);
  std::replace(r.begin(), r.end(), from, to);
  return r;
}

// The base64 characters that s's bytes alone decide when s starts `align`
// bytes into an encoded text: character k holds the text's bits [6k, 6k+6).
std::string base64_inner(std::string_view s, size_t align) {
  std::string in(align, '\0');
  in.append(s);
  std::string out(wh_base64_encoded_len(in.size(), WH_BASE64_STD) + 1, '\0');
  wh_base64_encode(in.data(), in.size(), WH_BASE64_STD, out.data());
  size_t first = (8 * align + 5) / 6, last = 8 * (align + s.size()) / 6;
  return out.substr(first, last - first);
}

// Basic's "user:password", or false when s is not standard base64.
bool base64_decode(std::string_view s, std::string &out) {
  out.assign(s.size(), '\0');
  long n = wh_base64_decode(s, reinterpret_cast<unsigned char *>(out.data()), out.size());
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return n >= 0;
}

bool scheme_word(std::string_view w) {
  return !w.empty() && std::all_of(w.begin(), w.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
  });
}

// Splits s at any byte of seps; each piece goes to f.
template <class F>
void each(std::string_view s, std::string_view seps, F f) {
  while (!s.empty()) {
    size_t at = s.find_first_of(seps);
    f(s.substr(0, at));
    s = at == std::string_view::npos ? std::string_view() : s.substr(at + 1);
  }
}

// The needles of one hook, one after another in one text.
struct needle_set {
  struct ref {
    uint32_t at, len;
    bool fold;
  };
  std::string bytes;
  std::vector<ref> refs;
  size_t longest = 0;  // of the credentials, before their Latin-1 and base64 forms
  wh_url url;          // parsed once; the URL's pieces are views into it

  std::string_view text(const ref &r) const { return {bytes.data() + r.at, r.len}; }

  // v must not point into bytes, which may move.
  void add(std::string_view v) {
    if (v.size() < kFloor) return;
    ref r{u32(bytes.size()), u32(v.size()), case_free(v)};
    bytes += v;
    if (r.fold)
      for (size_t i = r.at; i < bytes.size(); ++i) bytes[i] = wh_escape_lower(bytes[i]);
    refs.push_back(r);
  }

  // A credential and the forms its bytes take when a server reads them as
  // Latin-1 or when they travel inside base64.
  void add_forms(std::string_view v) {
    if (v.size() < kFloor) return;
    add(v);
    longest = std::max(longest, v.size());
    if (std::any_of(v.begin(), v.end(),
                    [](char c) { return (static_cast<unsigned char>(c) & 0x80) != 0; })) {
      std::string latin1;
      for (char c : v) {
        unsigned char u[4];
        latin1.append(reinterpret_cast<char *>(u), utf8_encode(static_cast<unsigned char>(c), u));
      }
      add(latin1);
    }
    for (size_t align = 0; align < 3; ++align) {
      std::string b64 = base64_inner(v, align);
      add(b64);
      if (std::none_of(b64.begin(), b64.end(), [](char c) { return c == '+' || c == '/'; }))
        continue;
      std::replace(b64.begin(), b64.end(), '+', '-');
      std::replace(b64.begin(), b64.end(), '/', '_');
      add(b64);
    }
  }

  // A header value (or the secret, which gitlab sends as one) and the parts
  // of it that servers show on their own.
  void add_value(std::string_view v) {
    add_forms(v);
    std::string_view t = trim(v);
    if (t.size() != v.size()) add_forms(t);
    size_t space = t.find_first_of(" \t");
    if (space != std::string_view::npos && scheme_word(t.substr(0, space))) {
      std::string_view rest = trim(t.substr(space));
      add_forms(rest);
      std::string pair;
      if (ieq_view(t.substr(0, space), "Basic") && base64_decode(rest, pair)) {
        add_forms(pair);
        size_t colon = pair.find(':');
        if (colon != std::string::npos) add_forms(std::string_view(pair).substr(colon + 1));
      }
    }
    each(t, ";,", [&](std::string_view piece) {
      piece = trim(piece);
      if (piece.size() != t.size()) add_forms(piece);
      size_t eq = piece.find('=');
      if (eq == std::string_view::npos) return;
      std::string_view value = trim(piece.substr(eq + 1));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
      add_forms(value);
    });
  }

  // A piece of the URL as sent and as the endpoint may have decoded it; a
  // query's also as a form decodes it ("+" a space) and as one encodes it.
  void add_url_piece(std::string_view v, bool in_query) {
    add_forms(v);
    std::string decoded = pct_decoded(v, false);
    if (decoded != v) add_forms(decoded);
    if (!in_query) return;
    if (v.find('+') != std::string_view::npos) {
      add_forms(replaced(v, '+', ' '));
      add_forms(pct_decoded(v, true));
    }
    if (decoded.find(' ') != std::string::npos) add_forms(replaced(decoded, ' ', '+'));
  }

  explicit needle_set(const wh_hook *hook) {
    // The secret and the one a rotation keeps, each also as the key text after
    // "whsec_" (a receiver may be set up with, and echo, the key alone).
    for (const char *secret : {hook->secret, hook->prev_secret}) {
      add_value({secret, strnlen(secret, sizeof hook->secret)});
      add_forms(wh_sign_key_text(secret));
    }
    int count = hook->header_count < 0 ? 0 : hook->header_count;
    for (int i = 0; i < count && i < WH_MAX_HEADERS; ++i)
      add_value(
          {hook->headers[i].value, strnlen(hook->headers[i].value, sizeof hook->headers[i].value)});

    if (wh_url_parse(hook->url, &url, nullptr, 0) != 0) return;
    std::string_view target = url.path;
    size_t q = target.find('?');
    std::string_view path = target.substr(0, q);
    if (path.size() > 1) {
      add_url_piece(path.substr(1), false);
      each(path, "/", [this](std::string_view seg) {
        if (token_like(seg)) add_url_piece(seg, false);
      });
    }
    if (q == std::string_view::npos) return;
    std::string_view query = target.substr(q + 1);
    add_url_piece(query, true);
    each(query, "&", [this](std::string_view item) {
      size_t eq = item.find('=');
      add_url_piece(eq == std::string_view::npos ? item : item.substr(eq + 1), true);
    });
  }
};

// ---- The automaton ---------------------------------------------------------

// Aho-Corasick over one set of needles: their trie in breadth-first order, so
// that a state's children are consecutive states, sorted by their byte, with
// failure links. Built in one pass over the sorted needles.
class automaton {
 public:
  automaton(const needle_set &set, bool fold) : fold_(fold) {
    std::vector<std::string_view> words;
    size_t total = 1;
    for (const auto &r : set.refs) {
      if (r.fold != fold) continue;
      words.push_back(set.text(r));
      total += r.len;
    }
    std::sort(words.begin(), words.end());
    states_.reserve(total + 1);
    label_.reserve(total);
    states_.push_back({0, 0, 0, 0});
    label_.push_back(0);
    // The states of one depth, each as the range of words that pass through it.
    struct range {
      uint32_t lo, hi;
    };
    std::vector<range> level{{0, u32(words.size())}}, next;
    uint32_t s = 0;
    for (size_t d = 0; !level.empty(); ++d) {
      next.clear();
      for (auto [lo, hi] : level) {
        states_[s].first = u32(label_.size());
        while (lo < hi && words[lo].size() == d) ++lo;  // these end at s
        while (lo < hi) {
          auto c = static_cast<unsigned char>(words[lo][d]);
          uint32_t end = lo + 1;
          while (end < hi && static_cast<unsigned char>(words[end][d]) == c) ++end;
          // The longest proper suffix that is in the trie; the states it
          // passes through are shallower, so their children are all made.
          uint32_t f = 0;
          if (d > 0) {
            uint32_t g = states_[s].fail;
            while (g != 0 && (f = child(states_.data(), g, c)) == 0) g = states_[g].fail;
            if (g == 0) f = root_[c];
          }
          auto depth = static_cast<uint16_t>(d + 1);
          states_.push_back({0, f, words[lo].size() == d + 1 ? depth : states_[f].out, depth});
          label_.push_back(c);
          next.push_back({lo, end});
          lo = end;
        }
        ++s;
      }
      if (d == 0)
        for (uint32_t t = states_[0].first; t < label_.size(); ++t) root_[label_[t]] = t;
      level.swap(next);
    }
    states_.push_back({u32(label_.size()), 0, 0, 0});
  }

  bool empty() const { return label_.size() == 1; }

  // Feeds text through; calls hit(i, n) where the longest needle ending at
  // text[i] is n bytes long (any shorter one ending there lies inside it).
  // Returns how many bytes at text's end begin a needle.
  template <class Hit>
  size_t run(std::string_view text, Hit hit) const {
    const state *st = states_.data();
    uint32_t s = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      auto c = static_cast<unsigned char>(fold_ ? wh_escape_lower(text[i]) : text[i]);
      uint32_t t = 0;
      while (s != 0 && (t = child(st, s, c)) == 0) s = st[s].fail;
      s = s != 0 ? t : root_[c];
      if (st[s].out) hit(i, st[s].out);
    }
    return st[s].depth;
  }

 private:
  struct state;

  uint32_t child(const state *st, uint32_t s, unsigned char c) const {
    uint32_t lo = st[s].first, hi = st[s + 1].first;
    const unsigned char *label = label_.data();
    if (hi - lo <= 8) {
      for (; lo < hi; ++lo)
        if (label[lo] == c) return lo;
      return 0;
    }
    const unsigned char *at = std::lower_bound(label + lo, label + hi, c);
    return at != label + hi && *at == c ? u32(static_cast<size_t>(at - label)) : 0;
  }

  struct state {
    uint32_t first;  // the first child; the children run to the next state's first
    uint32_t fail;
    uint16_t out;    // the length of the longest needle that ends here; 0: none
    uint16_t depth;  // the length of the state's text
  };
  bool fold_;
  std::vector<state> states_;         // one more at the end, whose first ends the last children
  std::vector<unsigned char> label_;  // the byte that leads into each state
  uint32_t root_[256] = {};           // the root's transitions, the state most often left
};

}  // namespace

size_t wh_scrub(const wh_hook *hook, const char *in, size_t in_len, bool complete, char *out,
                size_t out_cap) {
  if (!out || out_cap == 0) return 0;
  std::string_view h(in ? in : "", in ? in_len : 0);
  auto needles = std::make_unique<needle_set>(hook);
  // reach[b]: the end of the longest find that begins at answer byte b; made
  // at the first find.
  std::vector<uint32_t> reach;
  size_t hold = h.size();  // a cut capture shows nothing from here on
  if (!needles->refs.empty()) {
    const automaton exact(*needles, false), folded(*needles, true);
    auto search = [&](const reading &r) {
      for (const automaton *a : {&exact, &folded}) {
        if (a->empty()) continue;
        size_t tail = a->run(r.text, [&](size_t i, size_t n) {
          if (reach.empty()) reach.assign(h.size(), 0);
          uint32_t &e = reach[r.begin_of(i + 1 - n)];
          e = std::max(e, u32(r.end_of(i)));
        });
        hold = std::min(hold, tail ? r.begin_of(r.text.size() - tail) : r.end);
      }
    };
    reading raw;
    raw.text = h;
    raw.end = h.size();
    search(raw);
    // Each kind alone (a credential may hold what another kind would
    // decode), where the mixed first round differs from it.
    constexpr std::pair<char, unsigned> kStarts[] = {{'\\', kJson}, {'%', kPct}, {'&', kHtml}};
    unsigned kinds = 0;
    for (auto [c, kind] : kStarts)
      if (h.find(c) != std::string_view::npos) kinds |= kind;
    reading one, two;
    if (kinds & (kinds - 1)) {
      for (unsigned kind : {kJson, kPct, kHtml})
        if ((kinds & kind) && decode(raw, kind, complete, one) != decoded::nothing) search(one);
    }
    const reading *from = &raw;
    for (int round = 0; round < kRounds; ++round) {
      reading &to = round % 2 == 0 ? one : two;
      decoded d = decode(*from, kAll, complete, to);
      if (d == decoded::nothing) break;
      search(to);
      if (d == decoded::cut_only) break;
      from = &to;
    }
  }

  // A cut capture: past `stop` a find could run beyond what was captured and
  // go unseen. The margin of one JSON-escaped credential holds whatever the
  // tail is; a reading whose end begins a needle in another form, or more
  // deeply escaped, reaches further back.
  size_t reach_back = needles->longest * kSpread;
  size_t stop = h.size();
  if (!complete && reach_back > 0) {
    stop = h.size() >= reach_back ? h.size() - reach_back + 1 : 0;
    stop = std::min(stop, hold);
  }
  size_t o = 0, room = out_cap - 1, cover = 0;
  // Whether answer byte i is hidden; cover is the end of the finds begun so far.
  auto hidden = [&](size_t i) {
    if (!reach.empty()) cover = std::max<size_t>(cover, reach[i]);
    return i < cover;
  };
  for (size_t i = 0; i < stop && o < room;) {
    if (hidden(i)) {
      while (i < h.size() && hidden(i)) ++i;
      size_t n = kMarkLen < room - o ? kMarkLen : room - o;
      memcpy(out + o, kMark, n);
      o += n;
      continue;
    }
    size_t end = i + 1;
    while (end < stop && !hidden(end)) ++end;
    size_t n = end - i < room - o ? end - i : room - o;
    memcpy(out + o, h.data() + i, n);
    o += n;
    i += n;
  }
  out[o] = '\0';
  return o;
}

std::vector<wh_scrub_needle> wh_scrub_needles(const wh_hook *hook) {
  auto set = std::make_unique<needle_set>(hook);
  std::vector<wh_scrub_needle> list;
  for (const auto &r : set->refs) list.push_back({std::string(set->text(r)), r.fold});
  return list;
}
