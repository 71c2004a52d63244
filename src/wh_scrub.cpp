#include "wh_scrub.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
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

uint32_t u32(size_t n) {
  return static_cast<uint32_t>(n);
}

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

// ---- Readings ------------------------------------------------------------

// The answer, or a decoded form of it, with the answer span each byte came from.
struct reading {
  std::string_view text;
  std::string own;                 // the text, when decoded
  std::vector<uint32_t> from, to;  // byte i came from answer bytes [from[i], to[i]); empty: i

  size_t begin_of(size_t i) const { return from.empty() ? i : from[i]; }
  size_t end_of(size_t i) const { return to.empty() ? i + 1 : to[i]; }
};

// Decodes the escapes of `mode` in src into dst; an escape that does not
// decode is kept as it stands.
void decode(const reading &src, unsigned mode, reading &dst) {
  std::string_view h = src.text;
  // No escape stands for more bytes than it spans: the source's size bounds the text.
  dst.own.resize(h.size());
  dst.from.resize(h.size());
  dst.to.resize(h.size());
  char *text = dst.own.data();
  uint32_t *from = dst.from.data(), *to = dst.to.data();
  size_t n = 0;
  for (size_t k = 0; k < h.size();) {
    unsigned char u[4];
    size_t un = 0, took = 0;
    if ((mode & kJson) && h[k] == '\\') {
      took = json_unit(h.substr(k), u, &un);
    } else if ((mode & kPct) && h[k] == '%') {
      long v = h.size() - k >= 3 ? hex_run(h.data() + k + 1, 2) : -1;
      if (v >= 0) {
        u[0] = static_cast<unsigned char>(v);
        un = 1;
        took = 3;
      }
    }
    if (!took) {
      text[n] = h[k];
      from[n] = u32(src.begin_of(k));
      to[n++] = u32(src.end_of(k++));
      continue;
    }
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

// ---- The automaton ---------------------------------------------------------

// Aho-Corasick over one set of needles: their trie in breadth-first order, so
// that a state's children are consecutive states, sorted by their byte, with
// failure links. Built in one pass over the sorted needles.
class automaton {
 public:
  explicit automaton(std::vector<std::string_view> words) {
    size_t total = 1;
    for (std::string_view w : words) total += w.size();
    std::sort(words.begin(), words.end());
    states_.reserve(total + 1);
    label_.reserve(total);
    states_.push_back({0, 0, 0});
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
          states_.push_back({0, f, words[lo].size() == d + 1 ? u32(d + 1) : states_[f].out});
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
    states_.push_back({u32(label_.size()), 0, 0});
  }

  // Feeds text through; calls hit(i, n) where the longest needle ending at
  // text[i] is n bytes long (any shorter one ending there lies inside it).
  template <class Hit>
  void run(std::string_view text, Hit hit) const {
    const state *st = states_.data();
    uint32_t s = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      auto c = static_cast<unsigned char>(text[i]);
      uint32_t t = 0;
      while (s != 0 && (t = child(st, s, c)) == 0) s = st[s].fail;
      s = s != 0 ? t : root_[c];
      if (st[s].out) hit(i, st[s].out);
    }
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
    uint32_t out;  // the length of the longest needle that ends here; 0: none
  };
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
  if (!needles->list.empty()) {
    const automaton all(needles->list);
    auto search = [&](const reading &r) {
      all.run(r.text, [&](size_t i, size_t n) {
        if (reach.empty()) reach.assign(h.size(), 0);
        uint32_t &e = reach[r.begin_of(i + 1 - n)];
        e = std::max(e, u32(r.end_of(i)));
      });
    };
    reading raw, decoded;
    raw.text = h;
    search(raw);
    unsigned modes = (h.find('\\') != std::string_view::npos ? kJson : 0) |
                     (h.find('%') != std::string_view::npos ? kPct : 0);
    for (unsigned mode : {kJson, kPct, kJson | kPct}) {
      if ((modes & mode) != mode) continue;
      decode(raw, mode, decoded);
      search(decoded);
    }
  }

  // Past `stop` a find could run beyond what was captured and go unseen.
  size_t reach_back = needles->longest * kSpread;
  size_t stop = complete || reach_back == 0
                    ? h.size()
                    : (h.size() >= reach_back ? h.size() - reach_back + 1 : 0);
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
