// The JSON writers, and jstr and the counted length on parsed documents.
#include "wh_json.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "raii.h"
#include "wh_utf8.h"

namespace {

std::string json_of(const char *s) {
  wh_text b;
  wh_buf_json_str(&b, s);
  return wh_buf_cstr(&b);
}

std::string text_of(const std::string &s, wh_utf8_rule rule) {
  wh_text b;
  wh_buf_json_text(&b, s.data(), s.size(), rule);
  return wh_buf_cstr(&b);
}

// v and every value inside it.
void for_each_value(yyjson_val *v, const std::function<void(yyjson_val *)> &fn) {
  fn(v);
  size_t i, n;
  yyjson_val *key, *el;
  if (yyjson_is_arr(v)) {
    yyjson_arr_foreach(v, i, n, el) for_each_value(el, fn);
  } else if (yyjson_is_obj(v)) {
    yyjson_obj_foreach(v, i, n, key, el) {
      fn(key);
      for_each_value(el, fn);
    }
  }
}

TEST(WhJson, StringEscapes) {
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
TEST(WhJson, StringRoundTripsThroughParser) {
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

// The UTF-8 rules: well-formed text passes unchanged, each byte that begins
// no well-formed character becomes U+FFFD (for readers that decode the text)
// or is left out (the store file), and the result always parses as strict
// JSON.
TEST(WhJson, Utf8RulesReplaceOrDropIllFormedBytes) {
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
    EXPECT_EQ(text_of(c.in, WH_UTF8_REPLACE), wh_buf_cstr(&b)) << c.in;
    std::string dropped = c.want;
    for (size_t at; (at = dropped.find(r)) != std::string::npos;) dropped.erase(at, r.size());
    std::string stored = text_of(c.in, WH_UTF8_DROP);
    EXPECT_EQ(stored, "\"" + dropped + "\"") << c.in;
    for (const std::string &text : {std::string(wh_buf_cstr(&b)), stored})
      EXPECT_TRUE(yy_doc(yyjson_read(text.data(), text.size(), 0))) << "strict JSON: " << c.in;
  }
  // A field filled to its capacity is read to cap - 1 bytes, whatever
  // follows: here inside a character.
  const char full[4] = {'a', 'b', '\xc3', '\xa9'};
  for (auto [rule, want] : {std::pair{WH_UTF8_REPLACE, "\"ab" + r + "\""},
                            std::pair{WH_UTF8_DROP, std::string("\"ab\"")}}) {
    wh_text b;
    wh_buf_json_field(&b, full, rule);
    EXPECT_EQ(wh_buf_cstr(&b), want);
  }
}

// Escapes and ill-formed bytes at every position around the eight-byte words
// the writers scan at once: each must be found wherever it falls, and a text
// without any passes whole.
TEST(WhJson, WritersFindEveryByteWhereverItFalls) {
  const std::string r = "\xef\xbf\xbd";  // U+FFFD
  struct {
    std::string in, escaped, utf8;  // one special piece; how json_str and the UTF-8 rules write it
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
        std::string in(len, 'a'), escaped(len, 'a'), utf8(len, 'a'), dropped(len, 'a');
        in.replace(at, 1, p.in);
        escaped.replace(at, 1, p.escaped);
        utf8.replace(at, 1, p.utf8);
        dropped.replace(at, 1, p.utf8 == r ? "" : p.utf8);
        EXPECT_EQ(json_of(in.c_str()), "\"" + escaped + "\"") << len << " " << at;
        wh_text b;
        wh_buf_json_utf8(&b, in.c_str());
        EXPECT_EQ(wh_buf_cstr(&b), "\"" + utf8 + "\"") << len << " " << at;
        EXPECT_EQ(text_of(in, WH_UTF8_DROP), "\"" + dropped + "\"") << len << " " << at;
        EXPECT_EQ(wh_utf8_prefix(in.data(), in.size()), p.utf8 == r ? at : in.size())
            << len << " " << at;
      }
    }
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
TEST(WhJson, WrittenLenIsTheWritersLength) {
  std::string every_byte = "\"";
  for (int c = 1; c < 0x80; ++c) {
    char esc[8];
    snprintf(esc, sizeof esc, "\\u%04x", c);
    every_byte += esc;
  }
  every_byte += "\\u0000\\/\\u2028\\u00e9\\ud83d\\ude00\xc3\xa9\xe2\x82\xac\"";
  std::string deep = std::string(500, '[') + "1" + std::string(500, ']');
  const char *texts[] = {
      "null",
      "true",
      "false",
      "0",
      "-1",
      "18446744073709551615",
      "-9223372036854775808",
      "123456789012345678901234567890",
      "1.5",
      "-0.0",
      "1e2",
      "1E-7",
      "3.141592653589793",
      "1e308",
      "2.2250738585072014e-308",
      "\"\"",
      "[]",
      "{}",
      "[1,[2,[3,{}]],{\"a\":[]}]",
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
    for_each_value(yyjson_doc_get_root(doc.get()), [&](yyjson_val *v) {
      size_t len = 0;
      unique_cstr written(yyjson_val_write_opts(v, 0, nullptr, &len, nullptr));
      ASSERT_TRUE(written) << t;
      EXPECT_EQ(wh_json_written_len(v), len) << written.get();
    });
  }
  EXPECT_EQ(wh_json_written_len(nullptr), SIZE_MAX);
  // Deeper than the count goes: the caller writes it instead.
  std::string deeper = std::string(1025, '[') + std::string(1025, ']');
  yy_doc doc(yyjson_read(deeper.data(), deeper.size(), 0));
  EXPECT_EQ(wh_json_written_len(yyjson_doc_get_root(doc.get())), SIZE_MAX);
}

TEST(WhJson, KeyCommaHandling) {
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

}  // namespace
