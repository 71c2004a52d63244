#include "wh_buf.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "raii.h"

namespace {

std::string json_of(const char *s) {
  wh_text b;
  wh_buf_json_str(&b, s);
  return wh_buf_cstr(&b);
}

TEST(WhBuf, FreshBufferReadsAsEmptyString) {
  wh_text b;
  const char *s = wh_buf_cstr(&b);
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, "");
  EXPECT_EQ(b.len, 0u);
}

TEST(WhBuf, GrowthSizes) {
  wh_text b;
  wh_buf_str(&b, "");
  wh_buf_str(&b, nullptr);
  wh_buf_add(&b, "x", 0);
  EXPECT_EQ(b.data, nullptr) << "empty appends allocate nothing";
  EXPECT_EQ(b.cap, 0u);

  wh_buf_add(&b, std::string(255, 'a').data(), 255);
  EXPECT_EQ(b.cap, 256u) << "255 bytes and the terminator fit the first block";
  wh_buf_add(&b, "b", 1);
  EXPECT_EQ(b.cap, 512u);
  EXPECT_EQ(b.len, 256u);
  EXPECT_EQ(b.data[256], '\0');

  wh_text c;
  wh_buf_add(&c, std::string(256, 'a').data(), 256);
  EXPECT_EQ(c.cap, 512u) << "a need of 257 doubles once";
  wh_buf_add(&c, std::string(1000, 'z').data(), 1000);
  EXPECT_EQ(c.cap, 2048u);
  EXPECT_EQ(c.len, 1256u);
}

TEST(WhBuf, EmbeddedNulBytesAreKept) {
  wh_text b;
  wh_buf_add(&b, "a\0b", 3);
  EXPECT_EQ(b.len, 3u);
  EXPECT_EQ(std::string(b.data, b.len), std::string("a\0b", 3));
}

TEST(WhBuf, PrintfShortAndLong) {
  for (size_t n : {1u, 511u, 512u, 513u, 5000u}) {
    wh_text b;
    wh_buf_str(&b, "<");
    std::string body(n, 'q');
    wh_buf_printf(&b, "%s|%d", body.c_str(), 7);
    EXPECT_EQ(std::string(wh_buf_cstr(&b)), "<" + body + "|7") << n;
    EXPECT_EQ(b.len, n + 3);
  }
  // Exactly 511 and exactly 512 formatted characters.
  for (size_t n : {511u, 512u}) {
    wh_text b;
    wh_buf_printf(&b, "%s", std::string(n, 'r').c_str());
    EXPECT_EQ(b.len, n);
    EXPECT_EQ(strlen(wh_buf_cstr(&b)), n);
  }
}

TEST(WhBuf, JsonStringEscapes) {
  EXPECT_EQ(json_of(nullptr), "\"\"");
  EXPECT_EQ(json_of(""), "\"\"");
  EXPECT_EQ(json_of("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(json_of("\b\t\n\f\r"), "\"\\b\\t\\n\\f\\r\"");
  EXPECT_EQ(json_of("\x01\x0b\x1f"), "\"\\u0001\\u000b\\u001f\"");
  EXPECT_EQ(json_of("/ \x7f"), "\"/ \x7f\"") << "slash and DEL pass unchanged";
  EXPECT_EQ(json_of("caf\xc3\xa9 \xe2\x82\xac"), "\"caf\xc3\xa9 \xe2\x82\xac\"");
  EXPECT_EQ(json_of("\xff\xc3"), "\"\xff\xc3\"") << "invalid UTF-8 is not repaired";
  EXPECT_EQ(json_of(" "), "\" \"");
}

// Every control byte round-trips through a JSON reader to the same byte.
TEST(WhBuf, JsonStringRoundTripsThroughParser) {
  std::string all;
  for (int c = 1; c < 256; ++c) all.push_back(static_cast<char>(c));
  wh_text b;
  wh_buf_json_str(&b, all.c_str());
  yy_doc doc(yyjson_read_opts(b.data, b.len, YYJSON_READ_ALLOW_INVALID_UNICODE, nullptr, nullptr));
  ASSERT_TRUE(doc);
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  ASSERT_TRUE(yyjson_is_str(root));
  EXPECT_EQ(std::string(yyjson_get_str(root), yyjson_get_len(root)), all);
}

// The writer for replies that strict UTF-8 readers decode: well-formed text
// passes unchanged, each byte that begins no well-formed character becomes
// U+FFFD, and the result always parses as strict JSON.
TEST(WhBuf, JsonUtf8ReplacesIllFormedBytes) {
  const std::string r = "\xef\xbf\xbd";  // U+FFFD
  struct {
    const char *in;
    std::string want;  // between the quotes
  } cases[] = {
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\n",
       "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\\n"},
      {"cut \xe2\x82", "cut " + r + r},  // a character cut at a field's end
      {"\xc3", r},                       // cut after its first byte, at the very end
      {"a\x80"
       "b",
       "a" + r + "b"},                                      // a lone continuation byte
      {"\xc0\xaf", r + r},                                  // overlong
      {"\xed\xa0\x80", r + r + r},                          // a surrogate
      {"\xf4\x90\x80\x80\xf5\xff", r + r + r + r + r + r},  // above U+10FFFF, never-used bytes
      {"\"\xff\"", "\\\"" + r + "\\\""},  // escapes still apply around a replacement
  };
  for (const auto &c : cases) {
    wh_text b;
    wh_buf_json_utf8(&b, c.in);
    EXPECT_EQ(wh_buf_cstr(&b), "\"" + c.want + "\"") << c.in;
    yy_doc doc(yyjson_read(b.data, b.len, 0));
    EXPECT_TRUE(doc) << "strict JSON: " << c.in;
  }
}

// The numbers of the list and the store file are written without printf; they
// must read exactly as "%ld" writes them.
TEST(WhBuf, LongAsPrintfWritesIt) {
  for (long n : {0L, 7L, -1L, 10L, -10L, 4096L, 2147483647L, -2147483647L - 1, LONG_MAX, LONG_MIN}) {
    wh_text b;
    wh_buf_str(&b, "<");
    wh_buf_long(&b, n);
    char want[32];
    snprintf(want, sizeof want, "<%ld", n);
    EXPECT_STREQ(wh_buf_cstr(&b), want);
    EXPECT_EQ(b.len, strlen(want));
  }
}

// Escapes and ill-formed bytes at every position around the eight-byte words
// the writers scan at once: each must be found wherever it falls, and a text
// without any passes whole.
TEST(WhBuf, JsonWritersFindEveryByteWhereverItFalls) {
  const std::string r = "\xef\xbf\xbd";  // U+FFFD
  struct {
    std::string in, escaped, utf8;  // one special piece; how each writer writes it
  } pieces[] = {
      {"\"", "\\\"", "\\\""},
      {"\\", "\\\\", "\\\\"},
      {"\x01", "\\u0001", "\\u0001"},
      {"\x1f", "\\u001f", "\\u001f"},
      {"\n", "\\n", "\\n"},
      {"\x7f", "\x7f", "\x7f"},
      {" ", " ", " "},
      {"\xc3\xa9", "\xc3\xa9", "\xc3\xa9"},
      {"\xe2\x82\xac", "\xe2\x82\xac", "\xe2\x82\xac"},
      {"\xff", "\xff", r},
      {"\xc3", "\xc3", r},
  };
  for (const auto &p : pieces) {
    for (size_t len : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 23u, 24u, 31u, 32u, 33u, 47u}) {
      for (size_t at = 0; at < len; ++at) {
        std::string in(len, 'a'), escaped(len, 'a'), utf8(len, 'a');
        in.replace(at, 1, p.in);
        escaped.replace(at, 1, p.escaped);
        utf8.replace(at, 1, p.utf8);
        EXPECT_EQ(json_of(in.c_str()), "\"" + escaped + "\"") << len << " " << at;
        wh_text b;
        wh_buf_json_utf8(&b, in.c_str());
        EXPECT_EQ(wh_buf_cstr(&b), "\"" + utf8 + "\"") << len << " " << at;
        wh_text a;
        wh_buf_str(&a, "<");
        bool ascii = p.in == " " || p.in == "\x7f";
        EXPECT_EQ(wh_buf_json_ascii(&a, in.data(), in.size()), ascii) << len << " " << at;
        EXPECT_EQ(wh_buf_cstr(&a), ascii ? "<\"" + escaped + "\"" : std::string("<"));
        EXPECT_EQ(wh_utf8_prefix(in.data(), in.size()),
                  p.utf8 == r ? at : in.size())
            << len << " " << at;
      }
    }
  }
  // A literal that exactly fills a buffer's block, and one a byte longer.
  for (size_t n : {251u, 252u}) {
    wh_text b;
    wh_buf_add(&b, std::string(n, 'y').data(), n);
    wh_buf_lit(&b, "four");
    EXPECT_EQ(b.len, n + 4);
    EXPECT_EQ(b.cap, n + 5 <= 256 ? 256u : 512u);
    EXPECT_EQ(std::string(b.data), std::string(n, 'y') + "four");
  }
  // A string that exactly fills a buffer's block, and one a byte longer.
  for (size_t n : {253u, 254u}) {
    wh_text b;
    wh_buf_json_str(&b, std::string(n, 'x').c_str());
    EXPECT_EQ(b.len, n + 2);
    EXPECT_EQ(b.cap, n + 3 <= 256 ? 256u : 512u);
    EXPECT_EQ(std::string(b.data), "\"" + std::string(n, 'x') + "\"");
  }
}

// The counted length must be exactly what the writer writes, for every kind
// of value and every byte a string can hold, at any depth.
TEST(WhBuf, JsonWrittenLenIsTheWritersLength) {
  std::string every_byte = "\"";
  for (int c = 1; c < 0x80; ++c) {
    char esc[8];
    snprintf(esc, sizeof esc, "\\u%04x", c);
    every_byte += esc;
  }
  every_byte += "\\u0000\\/\\u2028\\u00e9\\ud83d\\ude00\xc3\xa9\xe2\x82\xac\"";
  std::string deep = std::string(500, '[') + "1" + std::string(500, ']');
  const char *texts[] = {
      "null", "true", "false", "0", "-1", "18446744073709551615", "-9223372036854775808",
      "123456789012345678901234567890", "1.5", "-0.0", "1e2", "1E-7", "3.141592653589793",
      "1e308", "2.2250738585072014e-308", "\"\"", "[]", "{}", "[1,[2,[3,{}]],{\"a\":[]}]",
      "{ \"k\" : \"v\" , \"k\" : [ true , null ] , \"\" : {\"x\\\"y\":0.25} }",
      "{\"name\":\"bench\",\"payload\":\"{\\\"d\\\":\\\"x\\\"}\",\"query\":\"a=1&b=2\"}",
  };
  std::vector<std::string> all(std::begin(texts), std::end(texts));
  all.push_back(every_byte);
  all.push_back("{\"s\":" + every_byte + ",\"t\":[" + every_byte + "]}");
  all.push_back(deep);
  for (const std::string &t : all) {
    yy_doc doc(yyjson_read(t.data(), t.size(), 0));
    ASSERT_TRUE(doc) << t;
    // Every value inside, not only the root.
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    for (yyjson_val *v = root; v < unsafe_yyjson_get_next(root); ++v) {
      size_t len = 0;
      unique_cstr written(yyjson_val_write_opts(v, 0, nullptr, &len, nullptr));
      ASSERT_TRUE(written) << t;
      EXPECT_EQ(wh_json_written_len(v), len) << written.get();
    }
  }
  EXPECT_EQ(wh_json_written_len(nullptr), SIZE_MAX);
}

TEST(WhBuf, KeyCommaHandling) {
  wh_text b;
  int outer = 1;
  wh_buf_str(&b, "{");
  wh_buf_key(&b, "a", &outer);
  wh_buf_str(&b, "1");
  wh_buf_key(&b, "nested", &outer);
  {
    int inner = 1;
    wh_buf_str(&b, "{");
    wh_buf_key(&b, "x", &inner);
    wh_buf_str(&b, "true");
    wh_buf_key(&b, "y", &inner);
    wh_buf_json_str(&b, "z");
    wh_buf_str(&b, "}");
  }
  wh_buf_key(&b, "c", &outer);
  wh_buf_printf(&b, "%d", 3);
  wh_buf_str(&b, "}");
  EXPECT_STREQ(wh_buf_cstr(&b), "{\"a\":1,\"nested\":{\"x\":true,\"y\":\"z\"},\"c\":3}");

  wh_text n;
  wh_buf_key(&n, "k", nullptr);
  wh_buf_key(&n, "k2", nullptr);
  EXPECT_STREQ(wh_buf_cstr(&n), "\"k\":\"k2\":") << "no comma logic without a flag";
}

// An allocator that refuses every request once armed.
bool g_refuse = false;
void *refusing_realloc(void *p, size_t n) {
  return g_refuse ? nullptr : realloc(p, n);
}

struct RefusingAllocator : ::testing::Test {
  void SetUp() override {
    wh_buf_realloc = refusing_realloc;
    g_refuse = false;
  }
  void TearDown() override { wh_buf_realloc = realloc; }
};

TEST_F(RefusingAllocator, FailedGrowthIsStickyAndKeepsContent) {
  wh_text b;
  wh_buf_str(&b, "kept");
  ASSERT_EQ(b.cap, 256u);
  g_refuse = true;
  wh_buf_add(&b, std::string(300, 'x').data(), 300);
  EXPECT_EQ(b.failed, 1);
  EXPECT_STREQ(wh_buf_cstr(&b), "kept");
  g_refuse = false;
  // Later appends are no-ops even though they would fit or could now grow.
  wh_buf_str(&b, "!");
  wh_buf_printf(&b, "%d", 5);
  wh_buf_json_str(&b, "s");
  wh_buf_json_utf8(&b, "u");
  wh_buf_lit(&b, "lit");
  wh_buf_long(&b, 7);
  int first = 1;
  wh_buf_key(&b, "k", &first);
  EXPECT_STREQ(wh_buf_cstr(&b), "kept");
  EXPECT_EQ(b.len, 4u);
}

TEST_F(RefusingAllocator, FirstAllocationRefused) {
  wh_text b;
  g_refuse = true;
  EXPECT_STREQ(wh_buf_cstr(&b), "") << "a static empty string when nothing can be allocated";
  wh_buf_str(&b, "x");
  EXPECT_EQ(b.failed, 1);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_STREQ(wh_buf_cstr(&b), "");
}

TEST_F(RefusingAllocator, LongPrintfRefusedAppendsNothing) {
  wh_text b;
  wh_buf_str(&b, "head");
  g_refuse = true;
  wh_buf_printf(&b, "%s", std::string(600, 'p').c_str());
  EXPECT_EQ(b.failed, 1);
  EXPECT_STREQ(wh_buf_cstr(&b), "head");
}

// Growth past 2 GiB gives up without asking the allocator for it.
TEST_F(RefusingAllocator, CapacityCeiling) {
  static size_t largest = 0;
  wh_buf_realloc = [](void *p, size_t n) -> void * {
    largest = std::max(largest, n);
    return n > 4096 ? nullptr : realloc(p, n);
  };
  wh_text b;
  wh_buf_str(&b, "a");
  b.len = 2147483646;  // pretend the content is nearly 2 GiB (only the counters are read)
  b.cap = 2147483648u;
  wh_buf_add(&b, "xy", 2);  // needs 2147483649: would double past the ceiling
  EXPECT_EQ(b.failed, 1);
  EXPECT_EQ(largest, 256u) << "no request beyond the ceiling reached the allocator";
  b.len = 1;
  b.cap = 256;
}

TEST(Jstr, FirstMemberAndTypes) {
  const char *text = R"({"a":"x","n":1,"n":"later","A":"upper","e":""})";
  yy_doc doc(yyjson_read(text, strlen(text), 0));
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  EXPECT_STREQ(jstr(root, "a"), "x");
  EXPECT_STREQ(jstr(root, "A"), "upper");
  EXPECT_STREQ(jstr(root, "e"), "");
  EXPECT_EQ(jstr(root, "n"), nullptr) << "the first member decides even if a later one is a string";
  EXPECT_EQ(jstr(root, "missing"), nullptr);
  EXPECT_EQ(jstr(root, "a "), nullptr);
  EXPECT_EQ(jstr(nullptr, "a"), nullptr);

  yy_doc arr(yyjson_read("[\"a\"]", 5, 0));
  EXPECT_EQ(jstr(yyjson_doc_get_root(arr.get()), "a"), nullptr);
  yy_doc empty(yyjson_read("{}", 2, 0));
  EXPECT_EQ(jstr(yyjson_doc_get_root(empty.get()), "a"), nullptr);
}

TEST(HtmlEscape, Table) {
  auto esc = [](const char *s) {
    unique_cstr out(wh_html_escape(s));
    return std::string(out.get());
  };
  EXPECT_EQ(esc("<a href=\"x\">Tom & Jerry's</a>"),
            "&lt;a href=&quot;x&quot;&gt;Tom &amp; Jerry&#39;s&lt;/a&gt;");
  EXPECT_EQ(esc("plain caf\xc3\xa9"), "plain caf\xc3\xa9");
  EXPECT_EQ(esc(""), "");
  EXPECT_EQ(esc(nullptr), "");
}

}  // namespace
