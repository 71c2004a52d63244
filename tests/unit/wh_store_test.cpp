#include "wh_store.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "store_fs.h"
#include "wh_buf.h"
#include "wh_store_fixture.h"

// What needs POSIX (file modes, FIFOs, a second process, the system's error
// numbers) is in wh_store_posix_test.cpp.

namespace {

// ---- location ----

TEST_F(WhStore, OverlongPathIsRefusedNotCut) {
  // Cutting it would load and save a different file.
  use_path(dir + "/" + std::string(1100, 'p'));
  auto s = new_store();
  char err[WH_ERR_CAP];
  EXPECT_EQ(wh_store_load(s.get(), err, sizeof err), -1);
  EXPECT_NE(std::string(err).find("store path is too long"), std::string::npos) << err;
  EXPECT_EQ(wh_store_save(s.get(), err, sizeof err), -1);
  EXPECT_NE(std::string(err).find("store path is too long"), std::string::npos) << err;
}

// ---- written form ----

TEST_F(WhStore, WrittenFormByteForByte) {
  auto s = new_store();
  EXPECT_EQ(save(s.get()), "{\"version\":1,\"hooks\":[],\"log\":[]}");

  add_hook(s.get(), "a", "u");
  EXPECT_EQ(save(s.get()),
            "{\"version\":1,\"hooks\":[{\"name\":\"a\",\"url\":\"u\",\"method\":\"POST\",\"desc\":"
            "\"\",\"sig\":\"\","
            "\"secret\":\"\",\"headers\":[]}],\"log\":[]}");

  wh_hook &h = s->hooks[0];
  wh_field_copy(h.desc, "d");
  wh_field_copy(h.sig, "v2");
  wh_field_copy(h.secret, "s");
  wh_field_copy(h.headers[0].name, "X-A");
  wh_field_copy(h.headers[0].value, "1");
  wh_field_copy(h.headers[1].name, "X-B");
  h.header_count = 2;
  wh_field_copy(h.headers[2].name, "beyond-the-count");
  add_hook(s.get(), "b", "https://x/");
  wh_log_entry e{};
  wh_field_copy(e.at, "2024-01-02T03:04:05Z");
  wh_field_copy(e.name, "a");
  e.status = 200;
  e.ok = 1;
  e.bytes = 4096;
  e.ms = -5;
  wh_store_log_add(s.get(), &e);
  e.status = 0;
  e.ok = 0;
  e.bytes = 0;
  e.ms = 2147483647;
  wh_field_copy(e.error, "refused");
  wh_store_log_add(s.get(), &e);
  EXPECT_EQ(
      save(s.get()),
      "{\"version\":1,\"hooks\":["
      "{\"name\":\"a\",\"url\":\"u\",\"method\":\"POST\",\"desc\":\"d\",\"sig\":\"v2\",\"secret\":"
      "\"s\","
      "\"headers\":[{\"name\":\"X-A\",\"value\":\"1\"},{\"name\":\"X-B\",\"value\":\"\"}]},"
      "{\"name\":\"b\",\"url\":\"https://x/"
      "\",\"method\":\"POST\",\"desc\":\"\",\"sig\":\"\",\"secret\":\"\","
      "\"headers\":[]}],"
      "\"log\":["
      "{\"at\":\"2024-01-02T03:04:05Z\",\"name\":\"a\",\"status\":0,\"ok\":false,\"bytes\":0,"
      "\"ms\":2147483647,\"error\":\"refused\"},"
      "{\"at\":\"2024-01-02T03:04:05Z\",\"name\":\"a\",\"status\":200,\"ok\":true,\"bytes\":4096,"
      "\"ms\":-5,\"error\":\"\"}]}");
  EXPECT_FALSE(file_exists(path + ".tmp")) << "no temporary file is left behind";

  // A previous secret and a message id are written where they are kept.
  wh_field_copy(h.prev_secret, "p");
  h.prev_until = 4102444800;
  wh_field_copy(s->log[0].message_id, "msg_x");
  std::string text = save(s.get());
  EXPECT_NE(text.find("\"secret\":\"s\",\"previous_secret\":\"p\",\"previous_until\":4102444800,"
                      "\"headers\":"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\"error\":\"refused\",\"message_id\":\"msg_x\"},"), std::string::npos)
      << text;
}

// Every byte a field can hold survives a save and a load.
TEST_F(WhStore, RoundTripKeepsEveryByte) {
  std::string all_ascii;
  for (int c = 1; c < 0x80; ++c) all_ascii += static_cast<char>(c);
  const std::string utf8 =
      "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xef\xbb\xbf \xf4\x8f\xbf\xbf";
  const std::string tricky = "\"quoted\" back\\slash \\u0000 \\\" </script> \x7f\t\r\n\x01\x1f";

  auto s = new_store();
  add_hook(s.get(), tricky.substr(0, 63));
  wh_hook &h = s->hooks[0];
  wh_field_copy(h.url, (all_ascii + utf8 + tricky).c_str());
  wh_field_copy(h.method, "\x01\"\\\xc3\xa9");
  wh_field_copy(h.desc, (utf8 + tricky).c_str());
  wh_field_copy(h.sig, "\\\\\\");
  wh_field_copy(h.secret, all_ascii.c_str());
  wh_field_copy(h.prev_secret, (tricky + utf8).c_str());
  h.prev_until = 9007199254740993;  // past a double's exact integers
  for (int i = 0; i < WH_MAX_HEADERS; ++i) {
    wh_field_copy(h.headers[i].name, (std::to_string(i) + tricky).c_str());
    wh_field_copy(h.headers[i].value, (all_ascii + utf8 + std::to_string(i)).c_str());
  }
  h.header_count = WH_MAX_HEADERS;
  h.limit_count = -1;
  h.confirm = true;
  wh_field_copy(h.example, (utf8 + tricky).c_str());
  h.window_start = -1;
  h.window_count = 2147483647;
  add_hook(s.get(), utf8);
  wh_log_entry e{};
  wh_field_copy(e.at, tricky.c_str());
  wh_field_copy(e.name, utf8.c_str());
  wh_field_copy(e.error, (tricky + utf8).c_str());
  wh_field_copy(e.message_id, tricky.c_str());
  e.status = -2147483647 - 1;
  e.ok = 1;
  e.bytes = -1;
  e.ms = 2147483647;
  wh_store_log_add(s.get(), &e);

  std::string first = save(s.get());
  auto back = new_store();
  char err[WH_ERR_CAP];
  ASSERT_EQ(wh_store_load(back.get(), err, sizeof err), 0) << err;
  EXPECT_EQ(memcmp(s.get(), back.get(), sizeof(wh_store)), 0) << "every field, byte for byte";
  EXPECT_EQ(save(back.get()), first) << "a second save writes the same text";
}

TEST_F(WhStore, PartialCharactersDoNotMakeTheFileUnreadable) {
  auto s = new_store();
  add_hook(s.get(), "a");
  // A description cut inside a three-byte character, as the byte cut leaves it.
  std::string desc = std::string(197, 'd') + "\xe2\x82\xac";
  wh_field_copy(s->hooks[0].desc, desc.c_str());
  ASSERT_EQ(strlen(s->hooks[0].desc), 199u);
  wh_field_copy(s->hooks[0].secret, "ok\xff\xc0\xafok\xed\xa0\x80!");
  save(s.get());
  auto back = new_store();
  char err[WH_ERR_CAP];
  ASSERT_EQ(wh_store_load(back.get(), err, sizeof err), 0) << err;
  EXPECT_EQ(std::string(back->hooks[0].desc), std::string(197, 'd'))
      << "the stray bytes are left out";
  EXPECT_STREQ(back->hooks[0].secret, "okok!");

  // Random bytes in every text field always give a file that loads.
  std::mt19937 rng(7);
  for (int round = 0; round < 40; ++round) {
    auto r = new_store();
    auto fill = [&rng](char *f, size_t cap) {
      size_t n = rng() % cap;
      for (size_t i = 0; i < n; ++i) f[i] = static_cast<char>(1 + rng() % 255);
      f[n] = '\0';
    };
    r->hook_count = 1;
    wh_hook &h = r->hooks[0];
    fill(h.name, sizeof h.name);
    h.name[0] = 'n';
    fill(h.url, sizeof h.url);
    fill(h.desc, sizeof h.desc);
    fill(h.secret, sizeof h.secret);
    fill(h.headers[0].name, sizeof h.headers[0].name);
    h.headers[0].name[0] = 'x';
    fill(h.headers[0].value, sizeof h.headers[0].value);
    h.header_count = 1;
    save(r.get());
    auto again = new_store();
    ASSERT_EQ(wh_store_load(again.get(), err, sizeof err), 0) << "round " << round << ": " << err;
    EXPECT_EQ(again->hook_count, 1);
  }
}

// ---- loading rules ----

TEST_F(WhStore, MissingFileIsAnEmptyStoreAndLoadWritesNothing) {
  auto s = new_store();
  memset(s.get(), 0x41, sizeof(wh_store));
  char err[WH_ERR_CAP];
  memset(err, 'x', sizeof err);
  EXPECT_EQ(wh_store_load(s.get(), err, sizeof err), 0);
  EXPECT_STREQ(err, "");
  EXPECT_EQ(s->hook_count, 0) << "the store is empty";
  EXPECT_EQ(s->log_count, 0);
  EXPECT_FALSE(file_exists(dir + "/nest")) << "a load creates nothing";

  // The first save creates the directories and the file.
  add_hook(s.get(), "first");
  save(s.get());
  EXPECT_TRUE(file_exists(path));
}

// A record is loaded into again and again (the MCP server reuses its heap),
// and the load does not zero it first: whatever an earlier load, or garbage,
// left in it must not show through a smaller store. The record loaded over a
// used one must read exactly as the same file loaded into a fresh record.
TEST_F(WhStore, LoadingOverAUsedRecordShowsNothingOfTheEarlierOne) {
  // The earlier store: every slot in use, every field at its capacity.
  auto big = new_store();
  auto fill = [](char *f, size_t cap, char c) {
    memset(f, c, cap - 1);
    f[cap - 1] = '\0';
  };
  big->hook_count = WH_MAX_HOOKS;
  for (int i = 0; i < WH_MAX_HOOKS; ++i) {
    wh_hook &h = big->hooks[i];
    fill(h.name, sizeof h.name, 'n');
    h.name[0] = static_cast<char>('0' + i % 10);
    fill(h.url, sizeof h.url, 'u');
    fill(h.method, sizeof h.method, 'M');
    fill(h.desc, sizeof h.desc, 'd');
    fill(h.sig, sizeof h.sig, 'g');
    fill(h.secret, sizeof h.secret, 's');
    h.header_count = WH_MAX_HEADERS;
    for (wh_header &x : h.headers) {
      fill(x.name, sizeof x.name, 'H');
      fill(x.value, sizeof x.value, 'v');
    }
    h.limit_count = 100000;
    h.limit_per = 86400;
    h.confirm = true;
    fill(h.example, sizeof h.example, 'x');
    h.window_start = 1772323200;
    h.window_count = 9;
  }
  big->log_count = WH_MAX_LOG;
  for (wh_log_entry &e : big->log) {
    fill(e.at, sizeof e.at, 'a');
    fill(e.name, sizeof e.name, 'l');
    fill(e.error, sizeof e.error, 'e');
    e.status = e.ok = e.bytes = e.ms = 7;
  }
  const std::string big_text = save(big.get());

  struct {
    const char *what;
    std::string text;  // empty: no file
    int rc;
  } smaller[] = {
      {"hooks with members missing, of other types, or unnamed, and short log entries",
       R"({"hooks":[{"name":"a"},{"url":"https://x/"},{"name":"b","url":5,"desc":null,)"
       R"("method":"","headers":[{"name":"","value":"x"},{"name":"X-A"},7]},)"
       R"({"name":"c","url":"https://c/","sig":"v2","secret":"k","headers":[{"name":"X-B",)"
       R"("value":"1"}]}],"log":[{"name":"a"},{"at":"t","status":1.5},{"name":"b","ok":1,)"
       R"("status":200,"bytes":2,"ms":3,"error":"e"}]})",
       0},
      {"no hooks, no log", R"({"version":1})", 0},
      {"not an object", "[1,2]", 0},
      {"not JSON", "{", -1},
      {"no file", "", 0},
  };
  for (const auto &c : smaller) {
    SCOPED_TRACE(c.what);
    auto fresh = new_store();
    auto used = new_store();
    for (int round = 0; round < 2; ++round) {
      // First a record full of garbage, then one that held the big store.
      char err[WH_ERR_CAP];
      if (round == 0) {
        memset(used.get(), 'G', sizeof(wh_store));
      } else {
        write_store(big_text);
        ASSERT_EQ(wh_store_load(used.get(), err, sizeof err), 0) << err;
        ASSERT_EQ(used->hook_count, WH_MAX_HOOKS);
      }
      if (c.text.empty())
        unlink(path.c_str());
      else
        write_store(c.text);
      memset(fresh.get(), 0, sizeof(wh_store));
      ASSERT_EQ(wh_store_load(fresh.get(), err, sizeof err), c.rc) << err;
      ASSERT_EQ(wh_store_load(used.get(), err, sizeof err), c.rc) << err;

      ASSERT_EQ(used->hook_count, fresh->hook_count) << "round " << round;
      ASSERT_EQ(used->log_count, fresh->log_count) << "round " << round;
      for (int i = 0; i < fresh->hook_count; ++i) {
        const wh_hook &u = used->hooks[i], &f = fresh->hooks[i];
        ASSERT_EQ(u.header_count, f.header_count) << "hook " << i << ", round " << round;
        EXPECT_EQ(hook_line(u), hook_line(f)) << "hook " << i << ", round " << round;
        EXPECT_STREQ(u.url, f.url) << "hook " << i << ", round " << round;
        EXPECT_STREQ(u.desc, f.desc) << "hook " << i << ", round " << round;
      }
      for (int i = 0; i < fresh->log_count; ++i) {
        const wh_log_entry &u = used->log[i], &f = fresh->log[i];
        EXPECT_STREQ(u.at, f.at) << "entry " << i << ", round " << round;
        EXPECT_STREQ(u.name, f.name) << "entry " << i << ", round " << round;
        EXPECT_STREQ(u.error, f.error) << "entry " << i << ", round " << round;
        EXPECT_EQ(std::vector<int>({u.status, u.ok, u.bytes, u.ms}),
                  std::vector<int>({f.status, f.ok, f.bytes, f.ms}))
            << "entry " << i << ", round " << round;
      }
      if (c.rc == 0) {
        EXPECT_EQ(save(used.get()), save(fresh.get())) << "round " << round;
      }
    }
    if (c.rc == 0 && c.text.size() > 100) {
      EXPECT_EQ(fresh->hook_count, 3);
      EXPECT_EQ(hook_line(fresh->hooks[1]), "b POST   | X-A=");
      EXPECT_EQ(fresh->log_count, 2);
    }
  }
}

// A delivery loads only its hook: whatever the file, that must be the hook a
// whole load and wh_hook_find give, or none where they find none.
TEST_F(WhStore, LoadingOneHookFindsWhatAWholeLoadFinds) {
  std::string many = "{\"hooks\":[";
  for (int i = 0; i < 70; ++i)
    many += (i ? ",{\"name\":\"h" : "{\"name\":\"h") + std::to_string(i) + "\"}";
  many += "]}";
  const std::string n70(70, 'n');
  const std::string files[] = {
      R"({"hooks":[{"name":"a","url":"https://a/1","headers":[{"name":"X","value":"1"}]},)"
      R"({"name":"a","url":"https://a/2"},{"url":"https://unnamed/"},7,{"name":""},)"
      R"({"name":"b","name":"shadowed","sig":"v2","secret":"s","desc":"d"},)"
      R"({"name":5,"url":"https://number/"},{"name":"c\u0000d"},{"name":")" +
          n70 + R"("}]})",
      many,
      R"({"hooks":{"name":"a"}})",
      "[]",
      "",  // no file
  };
  const std::string names[] = {"a", "b",  "shadowed", "c",   "c\0d", "",  n70.substr(0, 63),
                               n70, "h0", "h63",      "h64", "h69",  "zz"};
  for (const std::string &f : files) {
    if (f.empty())
      unlink(path.c_str());
    else
      write_store(f);
    auto whole = new_store();
    char err[WH_ERR_CAP];
    ASSERT_EQ(wh_store_load(whole.get(), err, sizeof err), 0) << err;
    for (const std::string &n : names) {
      const wh_hook *want = wh_hook_find(whole.get(), n.c_str());
      auto got = std::make_unique<wh_hook>();
      memset(got.get(), 'G', sizeof(wh_hook));
      int rc = wh_store_load_hook(n.c_str(), got.get(), err, sizeof err);
      ASSERT_EQ(rc, want ? 1 : 0) << f << " / " << n;
      EXPECT_STREQ(err, "");
      if (!want) continue;
      ASSERT_EQ(got->header_count, want->header_count);
      EXPECT_EQ(hook_line(*got), hook_line(*want)) << n;
      EXPECT_STREQ(got->url, want->url) << n;
      EXPECT_STREQ(got->desc, want->desc) << n;
    }
  }
  // A file that cannot be loaded fails alike, with the same reason.
  write_store("{");
  auto hook = std::make_unique<wh_hook>();
  char err[WH_ERR_CAP], whole_err[WH_ERR_CAP];
  EXPECT_EQ(wh_store_load_hook("a", hook.get(), err, sizeof err), -1);
  auto whole = new_store();
  EXPECT_EQ(wh_store_load(whole.get(), whole_err, sizeof whole_err), -1);
  EXPECT_STREQ(err, whole_err);
}

TEST_F(WhStore, UnparsableFilesFailAndNameThePath) {
  const std::string msg =
      "the hook store exists but is not valid JSON (" + path + "); it was left untouched";
  EXPECT_EQ(load_err(""), msg) << "an empty file";
  EXPECT_EQ(load_err("{"), msg);
  EXPECT_EQ(load_err("{\"hooks\":[],}"), msg) << "strict JSON: no trailing comma";
  EXPECT_EQ(load_err("// c\n{}"), msg) << "no comments";
  EXPECT_EQ(load_err("{\"hooks\":[{\"name\":\"a\xff\"}]}"), msg) << "invalid UTF-8";
  EXPECT_EQ(read_text(path), "{\"hooks\":[{\"name\":\"a\xff\"}]}") << "left untouched";

  // The message is cut to the caller's buffer.
  auto s = new_store();
  char small[20];
  EXPECT_EQ(wh_store_load(s.get(), small, sizeof small), -1);
  EXPECT_STREQ(small, "the hook store exis");
  EXPECT_EQ(wh_store_load(s.get(), nullptr, 0), -1);
}

TEST_F(WhStore, SizeLimit) {
  // Exactly 4 MiB is read; one byte more is refused.
  std::string body = "{\"hooks\":[{\"name\":\"big\"}]}";
  std::string exact = body + std::string(4194304 - body.size(), ' ');
  auto s = load_text(exact);
  EXPECT_EQ(s->hook_count, 1);
  EXPECT_EQ(load_err(exact + " "), "store file is unreadable or too large");
}

TEST_F(WhStore, RootThatIsNotAnObjectLoadsEmpty) {
  for (const char *text : {"[]", "1", "\"hooks\"", "null", "[{\"hooks\":[{\"name\":\"a\"}]}]"}) {
    auto s = load_text(text);
    EXPECT_EQ(s->hook_count, 0) << text;
    EXPECT_EQ(s->log_count, 0) << text;
  }
  // A later save writes the store in its place.
  auto s = load_text("[1,2]");
  add_hook(s.get(), "a");
  EXPECT_EQ(save(s.get()).substr(0, 22), "{\"version\":1,\"hooks\":[");

  for (const char *text :
       {"{}", "{\"hooks\":{},\"log\":\"x\"}", "{\"hooks\":null}", "{\"version\":2}"}) {
    auto e = load_text(text);
    EXPECT_EQ(e->hook_count, 0) << text;
  }
  // "version" is never read.
  auto v = load_text("{\"version\":2,\"hooks\":[{\"name\":\"a\"}]}");
  EXPECT_EQ(v->hook_count, 1);
  EXPECT_EQ(save(v.get()).substr(0, 13), "{\"version\":1,");
  auto nv = load_text("{\"hooks\":[{\"name\":\"a\"}],\"log\":[{\"name\":\"a\"}]}");
  EXPECT_EQ(nv->hook_count, 1);
  EXPECT_EQ(nv->log_count, 1);
}

TEST_F(WhStore, HookCountsAndCuts) {
  auto s = load_text(hooks_json(70));
  ASSERT_EQ(s->hook_count, 64);
  EXPECT_STREQ(s->hooks[63].name, "h63");
  save(s.get());
  auto back = new_store();
  ASSERT_EQ(wh_store_load(back.get(), nullptr, 0), 0);
  EXPECT_EQ(back->hook_count, 64) << "a save writes 64";

  // Unnamed elements and non-objects take no slot, even past the 64th element.
  std::string t =
      "{\"hooks\":[1,\"x\",null,[],{\"url\":\"https://lost/\",\"secret\":\"s\"},{\"name\":\"\"},"
      "{\"name\":5},";
  for (int i = 0; i < 64; ++i) t += "{\"name\":\"k" + std::to_string(i) + "\"},";
  t += "{\"name\":\"late\"}]}";
  auto k = load_text(t);
  ASSERT_EQ(k->hook_count, 64);
  EXPECT_STREQ(k->hooks[0].name, "k0");
  EXPECT_STREQ(k->hooks[0].url, "") << "nothing of a skipped element leaks into the next";
  EXPECT_STREQ(k->hooks[0].secret, "");
  EXPECT_EQ(wh_hook_find(k.get(), "late"), nullptr);

  // Cuts by bytes, and an escaped NUL ends the text.
  std::string long_name(100, 'n');
  auto c = load_text("{\"hooks\":[{\"name\":\"" + long_name +
                     "\",\"url\":\"a\\u0000b\",\"method\":\"CONNECTX\","
                     "\"desc\":\"" +
                     std::string(300, 'd') + "\",\"sig\":\"" + std::string(20, 's') +
                     "\","
                     "\"secret\":\"" +
                     std::string(300, 'k') + "\"},{\"name\":\"\\u0000hidden\"}]}");
  ASSERT_EQ(c->hook_count, 1) << "a name that is empty after its NUL counts as empty";
  EXPECT_EQ(std::string(c->hooks[0].name), long_name.substr(0, 63));
  EXPECT_STREQ(c->hooks[0].url, "a");
  EXPECT_STREQ(c->hooks[0].method, "CONNECT");
  EXPECT_EQ(strlen(c->hooks[0].desc), 199u);
  EXPECT_EQ(strlen(c->hooks[0].sig), 15u);
  EXPECT_EQ(strlen(c->hooks[0].secret), 255u);
}

TEST_F(WhStore, MethodDefaultAndNoValidation) {
  auto s = load_text(
      "{\"hooks\":[{\"name\":\"none\"},{\"name\":\"empty\",\"method\":\"\"},{\"name\":\"num\","
      "\"method\":7},"
      "{\"name\":\"lower\",\"method\":\"get\"},{\"name\":\"bad\",\"url\":\"ftp://"
      "x\",\"sig\":\"GitHub\","
      "\"method\":\"nul\\u0000x\"},{\"name\":\"n\",\"method\":\"\\u0000x\"}]}");
  ASSERT_EQ(s->hook_count, 6);
  EXPECT_STREQ(s->hooks[0].method, "POST");
  EXPECT_STREQ(s->hooks[1].method, "POST");
  EXPECT_STREQ(s->hooks[2].method, "POST");
  EXPECT_STREQ(s->hooks[3].method, "get") << "loading does not validate";
  EXPECT_STREQ(s->hooks[4].url, "ftp://x");
  EXPECT_STREQ(s->hooks[4].sig, "GitHub");
  EXPECT_STREQ(s->hooks[4].method, "nul");
  EXPECT_STREQ(s->hooks[5].method, "POST");
}

TEST_F(WhStore, HeaderSkippingAndLimit) {
  std::string t =
      "{\"hooks\":[{\"name\":\"a\",\"headers\":[{\"value\":\"no "
      "name\"},{\"name\":\"\",\"value\":\"v\"},"
      "{\"name\":3,\"value\":\"v\"},\"X-Str\",null,{\"name\":\"X-NoValue\"},"
      "{\"name\":\"X-NumValue\",\"value\":9}";
  for (int i = 0; i < 16; ++i)
    t += ",{\"name\":\"H" + std::to_string(i) + "\",\"value\":\"v" + std::to_string(i) + "\"}";
  t += "]},{\"name\":\"b\",\"headers\":{\"name\":\"X\"}},{\"name\":\"c\",\"headers\":[{\"name\":"
       "\"Only\",\"value\":\"1\"},"
       "{\"value\":\"stray\"}]}]}";
  auto s = load_text(t);
  ASSERT_EQ(s->hook_count, 3);
  const wh_hook &a = s->hooks[0];
  ASSERT_EQ(a.header_count, 16);
  EXPECT_STREQ(a.headers[0].name, "X-NoValue");
  EXPECT_STREQ(a.headers[0].value, "");
  EXPECT_STREQ(a.headers[1].name, "X-NumValue");
  EXPECT_STREQ(a.headers[1].value, "");
  EXPECT_STREQ(a.headers[2].name, "H0");
  EXPECT_STREQ(a.headers[15].name, "H13") << "the 17th usable header is ignored";
  EXPECT_EQ(s->hooks[1].header_count, 0) << "headers that are not an array";
  EXPECT_EQ(s->hooks[2].header_count, 1);
  EXPECT_STREQ(s->hooks[2].headers[1].name, "") << "a skipped element leaves no name behind";

  // Cut to 127 and 1023 bytes.
  auto c =
      load_text("{\"hooks\":[{\"name\":\"a\",\"headers\":[{\"name\":\"" + std::string(200, 'N') +
                "\",\"value\":\"" + std::string(2000, 'V') + "\"}]}]}");
  EXPECT_EQ(strlen(c->hooks[0].headers[0].name), 127u);
  EXPECT_EQ(strlen(c->hooks[0].headers[0].value), 1023u);
}

TEST_F(WhStore, LogReadingRules) {
  auto s = load_text(
      "{\"log\":["
      "{\"name\":\"a\",\"status\":200.0,\"ok\":\"true\",\"bytes\":1e2,\"ms\":-7},"
      "{\"name\":\"\",\"status\":500},1,null,"
      "{\"name\":\"b\",\"status\":4294967297,\"ok\":true,\"bytes\":2147483648,\"ms\":-4294967295},"
      "{\"name\":\"c\",\"status\":18446744073709551615,\"ok\":1,\"bytes\":18446744073709551616,"
      "\"ms\":-9223372036854775808},"
      "{\"name\":\"d\",\"status\":\"200\",\"ok\":false,\"bytes\":-0,\"ms\":null,\"at\":\"" +
      std::string(40, 't') + "\",\"error\":\"" + std::string(300, 'e') + "\"}]}");
  ASSERT_EQ(s->log_count, 4);
  EXPECT_STREQ(s->log[0].name, "a");
  EXPECT_EQ(s->log[0].status, 0) << "200.0 is not an integer";
  EXPECT_EQ(s->log[0].ok, 0) << "\"true\" is a string, not a boolean";
  EXPECT_EQ(s->log[0].bytes, 0) << "an exponent makes a real";
  EXPECT_EQ(s->log[0].ms, -7);
  EXPECT_STREQ(s->log[1].name, "b");
  EXPECT_EQ(s->log[1].status, 1) << "low 32 bits";
  EXPECT_EQ(s->log[1].ok, 1);
  EXPECT_EQ(s->log[1].bytes, -2147483647 - 1);
  EXPECT_EQ(s->log[1].ms, 1);
  EXPECT_EQ(s->log[2].status, -1);
  EXPECT_EQ(s->log[2].ok, 0) << "1 is not true";
  EXPECT_EQ(s->log[2].bytes, 0) << "beyond 64 bits";
  EXPECT_EQ(s->log[2].ms, 0);
  EXPECT_EQ(s->log[3].status, 0);
  EXPECT_EQ(s->log[3].bytes, 0);
  EXPECT_EQ(strlen(s->log[3].at), 23u);
  EXPECT_EQ(strlen(s->log[3].error), 191u);

  // At most 50 entries are read.
  std::string t = "{\"log\":[";
  for (int i = 0; i < 60; ++i)
    t += (i ? ",{\"name\":\"e" : "{\"name\":\"e") + std::to_string(i) + "\"}";
  auto m = load_text(t + "]}");
  EXPECT_EQ(m->log_count, 50);
  EXPECT_STREQ(m->log[49].name, "e49");
}

TEST_F(WhStore, FirstOccurrenceOfAKeyWinsAndUnknownKeysAreDropped) {
  auto s = load_text(
      "{\"hooks\":[{\"name\":\"a\",\"name\":\"b\",\"url\":5,\"url\":\"https://second/"
      "\",\"extra\":{\"x\":1},"
      "\"headers\":[{\"name\":\"H\",\"value\":1,\"value\":\"late\"}],\"headers\":[{\"name\":\"I\"}]"
      "}],"
      "\"hooks\":[{\"name\":\"other\"}],"
      "\"log\":[{\"name\":\"l\",\"ok\":\"yes\",\"ok\":true,\"status\":1,\"status\":2}],\"comment\":"
      "\"x\"}");
  ASSERT_EQ(s->hook_count, 1);
  EXPECT_STREQ(s->hooks[0].name, "a");
  EXPECT_STREQ(s->hooks[0].url, "") << "the first \"url\" has the wrong type and decides";
  ASSERT_EQ(s->hooks[0].header_count, 1);
  EXPECT_STREQ(s->hooks[0].headers[0].name, "H");
  EXPECT_STREQ(s->hooks[0].headers[0].value, "");
  EXPECT_EQ(s->log[0].ok, 0);
  EXPECT_EQ(s->log[0].status, 1);
  std::string text = save(s.get());
  EXPECT_EQ(text.find("extra"), std::string::npos);
  EXPECT_EQ(text.find("comment"), std::string::npos);
}

// The owner's bounds on the model: each member read leniently, written back
// only when it differs from its default, in a fixed order.
TEST_F(WhStore, ModelBoundsMembersAreWrittenOnlyWhenNotDefault) {
  const std::string limit = R"(,"limit":{"count":100000,"per":"minute"})";
  const std::string example = R"(,"example":"{\"event\":\"ship\",\n \"n\": 1}")";
  const std::string triggers = R"(,"triggers":{"window":4102444800000,"count":2147483647})";
  struct {
    std::string in, out;
  } rows[] = {
      {"", ""},
      {R"(,"limit":null,"limit":{"count":5,"per":"minute"})", R"(,"limit":null)"},
      {limit, limit},
      {R"(,"limit":{"per":"hour","count":30,"x":[]})", ""},  // the default's own values
      {R"(,"limit":{"count":100001,"per":"hour"})", ""},     // a mistyped limit stays the default
      {R"(,"limit":{"count":5,"per":"Hour"})", ""},
      {R"(,"confirm":1)", ""},
      {R"(,"example":{"a":1})", ""},
      {R"(,"triggers":{"window":1772323200,"count":0})", ""},
      {triggers + example + R"(,"confirm":true)" + limit,
       limit + R"(,"confirm":true)" + example + triggers},
  };
  const std::string head = R"({"version":1,"hooks":[{"name":"a","url":"u","method":"POST",)"
                           R"("desc":"","sig":"","secret":"","headers":[])";
  for (const auto &r : rows) {
    write_store(head + r.in + "}],\"log\":[]}");
    auto s = stored();
    EXPECT_EQ(save(s.get()), head + r.out + "}],\"log\":[]}") << r.in;
    // A delivery's single hook reads the same.
    char err[WH_ERR_CAP];
    ASSERT_EQ(wh_store_load_hook("a", &s->hooks[0], err, sizeof err), 1) << err;
    EXPECT_EQ(save(s.get()), head + r.out + "}],\"log\":[]}") << r.in;
  }
}

// ---- in-memory operations ----

TEST_F(WhStore, LogKeepsTheNewestFifty) {
  auto s = new_store();
  wh_log_entry e{};
  for (int i = 1; i <= 51; ++i) {
    snprintf(e.name, sizeof e.name, "d%d", i);
    e.status = i;
    wh_store_log_add(s.get(), &e);
    EXPECT_EQ(s->log_count, i < 50 ? i : 50);
  }
  EXPECT_STREQ(s->log[0].name, "d51");
  EXPECT_STREQ(s->log[1].name, "d50");
  EXPECT_STREQ(s->log[49].name, "d2") << "d1, the oldest, is gone";
  for (int i = 0; i < 50; ++i) EXPECT_EQ(s->log[i].status, 51 - i);

  // An entry taken from the log itself is copied before the log moves.
  wh_store_log_add(s.get(), &s->log[49]);
  EXPECT_STREQ(s->log[0].name, "d2");
  EXPECT_STREQ(s->log[1].name, "d51");
  wh_store_log_add(nullptr, &e);
  wh_store_log_add(s.get(), nullptr);
  EXPECT_EQ(s->log_count, 50);
}

TEST_F(WhStore, FindIsExactAndTakesTheFirst) {
  auto s = new_store();
  add_hook(s.get(), "Deploy", "https://one/");
  add_hook(s.get(), "deploy", "https://two/");
  add_hook(s.get(), "deploy", "https://three/");
  wh_hook *h = wh_hook_find(s.get(), "deploy");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h, &s->hooks[1]);
  EXPECT_EQ(wh_hook_find(s.get(), "DEPLOY"), nullptr);
  EXPECT_EQ(wh_hook_find(s.get(), "deplo"), nullptr);
  EXPECT_EQ(wh_hook_find(s.get(), "deploy "), nullptr);
  EXPECT_EQ(wh_hook_find(s.get(), nullptr), nullptr);
  EXPECT_EQ(wh_hook_find(static_cast<wh_store *>(nullptr), "deploy"), nullptr);
  const wh_store *cs = s.get();
  EXPECT_EQ(wh_hook_find(cs, "Deploy"), &s->hooks[0]);
  // Slots past the count are not searched.
  s->hook_count = 1;
  EXPECT_EQ(wh_hook_find(s.get(), "deploy"), nullptr);
  // An empty name never matches a hook in use... unless one is stored empty.
  EXPECT_EQ(wh_hook_find(s.get(), ""), nullptr);
}

TEST_F(WhStore, RemoveKeepsOrderAndZeroesTheFreedSlot) {
  auto s = new_store();
  add_hook(s.get(), "a");
  add_hook(s.get(), "b");
  add_hook(s.get(), "c");
  wh_hook_remove(s.get(), 0);
  ASSERT_EQ(s->hook_count, 2);
  EXPECT_STREQ(s->hooks[0].name, "b");
  EXPECT_STREQ(s->hooks[1].name, "c");
  wh_hook zero{};
  EXPECT_EQ(memcmp(&s->hooks[2], &zero, sizeof zero), 0);
  for (int bad : {-1, 2, 64, 1000}) {
    wh_hook_remove(s.get(), bad);
    EXPECT_EQ(s->hook_count, 2) << bad;
  }
  wh_hook_remove(s.get(), 1);
  EXPECT_EQ(s->hook_count, 1);
  EXPECT_STREQ(s->hooks[0].name, "b");
  wh_hook_remove(nullptr, 0);

  // Full store, remove from the middle.
  auto f = new_store();
  // Appended, not "h" + std::to_string(i): GCC 12 at -O3 warns falsely there.
  auto hname = [](int i) { return std::string("h").append(std::to_string(i)); };
  for (int i = 0; i < WH_MAX_HOOKS; ++i) add_hook(f.get(), hname(i));
  wh_hook_remove(f.get(), 10);
  ASSERT_EQ(f->hook_count, 63);
  for (int i = 0; i < 63; ++i) EXPECT_EQ(std::string(f->hooks[i].name), hname(i < 10 ? i : i + 1));
  EXPECT_EQ(memcmp(&f->hooks[63], &zero, sizeof zero), 0);
}

// ---- saving ----

TEST_F(WhStore, FailedRenameKeepsTheOldFile) {
  auto s = new_store();
  add_hook(s.get(), "old");
  std::string old_text = save(s.get());
  add_hook(s.get(), "new");

  auto real = wh_store_rename;
  wh_store_rename = [](const char *, const char *) {
    errno = EXDEV;
    return -1;
  };
  char err[WH_ERR_CAP];
  int rc = wh_store_save(s.get(), err, sizeof err);
  wh_store_rename = real;
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(std::string(err), "cannot replace " + path + ": " + strerror(EXDEV));
  EXPECT_EQ(read_text(path), old_text) << "the old store is still there, whole";
  EXPECT_FALSE(file_exists(path + ".tmp"));
}

TEST_F(WhStore, OutOfMemoryWritesNothing) {
  auto s = new_store();
  add_hook(s.get(), "old");
  std::string old_text = save(s.get());
  add_hook(s.get(), "new");
  auto real = wh_buf_realloc;
  wh_buf_realloc = [](void *, size_t) -> void * { return nullptr; };
  char err[WH_ERR_CAP];
  int rc = wh_store_save(s.get(), err, sizeof err);
  wh_buf_realloc = real;
  EXPECT_EQ(rc, -1);
  EXPECT_STREQ(err, "out of memory");
  EXPECT_EQ(read_text(path), old_text);
  EXPECT_FALSE(file_exists(path + ".tmp"));
}

// ---- the locked cycle ----

TEST_F(WhStore, UpdateSavesOnlyWhenAsked) {
  char err[WH_ERR_CAP];
  int calls = 0;
  // Nothing to save: no store file appears.
  EXPECT_EQ(wh_store_update(
                [&](wh_store *s, char *, size_t) {
                  ++calls;
                  EXPECT_EQ(s->hook_count, 0);
                  return WH_CHANGE_NONE;
                },
                err, sizeof err),
            0);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(file_exists(path));
  EXPECT_TRUE(file_exists(path + ".lock"));

  EXPECT_EQ(wh_store_update(
                [&](wh_store *s, char *, size_t) {
                  add_hook(s, "a");
                  return WH_CHANGE_SAVE;
                },
                err, sizeof err),
            0)
      << err;
  EXPECT_NE(read_text(path).find("\"a\""), std::string::npos);

  // A refusal keeps the callback's message and saves nothing.
  std::string before = read_text(path);
  EXPECT_EQ(wh_store_update(
                [&](wh_store *s, char *e, size_t n) {
                  add_hook(s, "b");
                  snprintf(e, n, "the store already holds %d hooks (the maximum)", 64);
                  return WH_CHANGE_FAILED;
                },
                err, sizeof err),
            -1);
  EXPECT_STREQ(err, "the store already holds 64 hooks (the maximum)");
  EXPECT_EQ(read_text(path), before);

  // A store that does not load is neither changed nor saved.
  write_text(path, "{broken");
  calls = 0;
  EXPECT_EQ(wh_store_update(
                [&](wh_store *, char *, size_t) {
                  ++calls;
                  return WH_CHANGE_SAVE;
                },
                err, sizeof err),
            -1);
  EXPECT_EQ(calls, 0);
  EXPECT_NE(std::string(err).find("not valid JSON"), std::string::npos);
  EXPECT_EQ(read_text(path), "{broken");
}

TEST_F(WhStore, UpdateReportsSaveFailures) {
  char err[WH_ERR_CAP];
  auto real = wh_store_rename;
  wh_store_rename = [](const char *, const char *) {
    errno = EACCES;
    return -1;
  };
  int rc = wh_store_update(
      [&](wh_store *s, char *, size_t) {
        add_hook(s, "a");
        return WH_CHANGE_SAVE;
      },
      err, sizeof err);
  wh_store_rename = real;
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(std::string(err), "cannot replace " + path + ": " + strerror(EACCES));
}

TEST_F(WhStore, NestedUpdateIsRefused) {
  // A self-deadlock would hang here until CTest's timeout ends the test.
  char err[WH_ERR_CAP];
  int rc = wh_store_update(
      [&](wh_store *outer, char *, size_t) {
        add_hook(outer, "outer");
        char inner_err[WH_ERR_CAP];
        int inner = wh_store_update(
            [&](wh_store *s, char *, size_t) {
              add_hook(s, "inner");
              return WH_CHANGE_SAVE;
            },
            inner_err, sizeof inner_err);
        EXPECT_EQ(inner, -1);
        EXPECT_STREQ(inner_err, "the store is already being changed by this caller");
        return WH_CHANGE_SAVE;
      },
      err, sizeof err);
  EXPECT_EQ(rc, 0) << err;
  // The lock is released afterwards: a second cycle proceeds.
  rc = wh_store_update(
      [&](wh_store *s, char *, size_t) {
        EXPECT_EQ(s->hook_count, 1);
        EXPECT_STREQ(s->hooks[0].name, "outer");
        return WH_CHANGE_NONE;
      },
      err, sizeof err);
  EXPECT_EQ(rc, 0) << err;
}

}  // namespace
