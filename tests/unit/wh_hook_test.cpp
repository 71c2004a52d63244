#include "wh_hook.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "hook_builder.h"
#include "wh_hook_view.h"

namespace {

// A hook that passes every rule; each test breaks one thing.
std::unique_ptr<wh_hook> good_hook() {
  auto h =
      vdtest::make_hook("https://relay.example/hooks/a?x=1", "POST", "", "", "deploy-prod_1.v2");
  wh_field_copy(h->desc, "tell the relay");
  return h;
}

std::string validate(const wh_hook &h) {
  char err[WH_ERR_CAP];
  memset(err, 'x', sizeof err);
  int rc = wh_hook_validate(&h, err, sizeof err);
  if (rc == 0) {
    EXPECT_STREQ(err, "");
    return "";
  }
  EXPECT_EQ(rc, -1);
  EXPECT_STRNE(err, "");
  return err;
}

const char *kNameChars = "hook names may contain letters, digits, dash, underscore and dot only";
const char *kMethod = "method must be one of GET, POST, PUT, PATCH, DELETE, HEAD";

TEST(WhFieldCopy, CutsNeverRefuses) {
  char f[8];
  wh_field_copy(f, "abc");
  EXPECT_STREQ(f, "abc");
  wh_field_copy(f, "1234567");
  EXPECT_STREQ(f, "1234567");
  wh_field_copy(f, "123456789");
  EXPECT_STREQ(f, "1234567");
  wh_field_copy(f, nullptr);
  EXPECT_STREQ(f, "");
  // Cut inside a two-byte UTF-8 character: the first byte stays.
  wh_field_copy(f, "123456\xc3\xa9");
  EXPECT_EQ(std::string(f), std::string("123456\xc3"));
  char z = 'z';
  wh_field_copy(&z, 0, "abc");
  EXPECT_EQ(z, 'z');
  // Long source text is only read up to the capacity.
  auto h = std::make_unique<wh_hook>();
  std::string hundred(100, 'n');
  wh_field_copy(h->name, hundred.c_str());
  EXPECT_EQ(std::string(h->name), std::string(63, 'n'));
}

TEST(WhHookValidate, NameRules) {
  auto h = good_hook();
  EXPECT_EQ(validate(*h), "");
  wh_field_copy(h->name, std::string(63, 'N').c_str());
  EXPECT_EQ(validate(*h), "") << "63 letters";
  wh_field_copy(h->name, "a");
  EXPECT_EQ(validate(*h), "");
  wh_field_copy(h->name, "A-z_0.9");
  EXPECT_EQ(validate(*h), "");

  for (const char *bad : {"a b", "a/b", "b\xc3\xa4r", "a:b", "a@b", "tab\tname", "a+b", "\x7f"}) {
    wh_field_copy(h->name, bad);
    EXPECT_EQ(validate(*h), kNameChars) << bad;
  }

  // An empty name is reported before anything else, even a bad URL.
  h->name[0] = '\0';
  wh_field_copy(h->url, "ftp://nowhere");
  wh_field_copy(h->method, "nope");
  EXPECT_EQ(validate(*h), "a hook needs a name");
  char err[WH_ERR_CAP];
  EXPECT_EQ(wh_hook_validate(nullptr, err, sizeof err), -1);
  EXPECT_STREQ(err, "a hook needs a name");
}

TEST(WhHookValidate, UrlThenMethod) {
  auto h = good_hook();
  wh_field_copy(h->url, "ftp://nowhere");
  wh_field_copy(h->method, "nope");
  EXPECT_EQ(validate(*h), "url: url must start with http:// or https://")
      << "a bad URL is reported before a bad method";
  wh_field_copy(h->url, "");
  EXPECT_EQ(validate(*h), "url: empty url");
  wh_field_copy(h->url, "https://u:p@relay/");
  EXPECT_EQ(validate(*h), "url: credentials in the url are refused; use a header instead");
  wh_field_copy(h->url, "http://relay:0/");
  EXPECT_EQ(validate(*h), "url: port out of range");

  wh_field_copy(h->url, "http://relay/");
  EXPECT_EQ(validate(*h), kMethod);
  for (const char *bad : {"post", "Post", "", "OPTIONS", "POST "}) {
    wh_field_copy(h->method, bad);
    EXPECT_EQ(validate(*h), kMethod) << "'" << bad << "'";
  }
  for (const char *ok : {"GET", "POST", "PUT", "PATCH", "DELETE", "HEAD"}) {
    wh_field_copy(h->method, ok);
    EXPECT_EQ(validate(*h), "") << ok;
  }
  // A bad method is reported before a bad scheme.
  wh_field_copy(h->method, "get");
  wh_field_copy(h->sig, "bogus");
  EXPECT_EQ(validate(*h), kMethod);
}

TEST(WhHookValidate, SignatureScheme) {
  auto h = good_hook();
  for (const char *s : {"github", "gitlab", "v2"}) {
    wh_field_copy(h->sig, s);
    wh_field_copy(h->secret, "k");
    EXPECT_EQ(validate(*h), "") << s;
    h->secret[0] = '\0';
    EXPECT_EQ(validate(*h), "a signature scheme needs a secret") << s;
  }
  for (const char *s : {"GitHub", "V2", "v2 ", "github2", "hmac"}) {
    wh_field_copy(h->sig, s);
    wh_field_copy(h->secret, "k");
    EXPECT_EQ(validate(*h), "unknown signature scheme") << s;
  }
  // The scheme name is judged before the secret.
  wh_field_copy(h->sig, "GitHub");
  h->secret[0] = '\0';
  EXPECT_EQ(validate(*h), "unknown signature scheme");
  // No scheme: a secret alone is fine.
  h->sig[0] = '\0';
  wh_field_copy(h->secret, "kept-but-unused");
  EXPECT_EQ(validate(*h), "");
}

TEST(WhHookValidate, HeaderCountBounds) {
  auto h = good_hook();
  for (int i = 0; i < WH_MAX_HEADERS; ++i)
    vdtest::add_header(h.get(), "X-H" + std::to_string(i), "v");
  EXPECT_EQ(validate(*h), "") << "16 headers";
  h->header_count = 17;
  EXPECT_EQ(validate(*h), "too many headers (max 16)");
  h->header_count = -1;
  EXPECT_EQ(validate(*h), "too many headers (max 16)");
  h->header_count = 0;
  EXPECT_EQ(validate(*h), "");
  // The scheme rules come before the count.
  h->header_count = 17;
  wh_field_copy(h->sig, "v2");
  EXPECT_EQ(validate(*h), "a signature scheme needs a secret");
}

TEST(WhHookValidate, HeaderNameIsAToken) {
  auto h = good_hook();
  vdtest::add_header(h.get(), "X-Token", "abc");
  EXPECT_EQ(validate(*h), "");
  h->headers[0].name[0] = '\0';
  EXPECT_EQ(validate(*h), "header 1 has an invalid name");
  for (const char *bad :
       {"X Token", "X-Token:", "X\tT", "X\x7f", "X\xc3\xa9", "a(b", "a)b", "<", ">", "@", ",",
        ";",       ":",        "\\",   "\"",    "/",         "[",   "]",   "?", "=", "{", "}"}) {
    wh_field_copy(h->headers[0].name, bad);
    EXPECT_EQ(validate(*h), "header 1 has an invalid name") << bad;
  }
  wh_field_copy(h->headers[0].name, "!#$%&'*+-.^_`|~09AZaz");
  EXPECT_EQ(validate(*h), "") << "every other visible byte is a token byte";

  // Numbered from 1; headers past the count are not looked at.
  vdtest::add_header(h.get(), "Good", "v");
  vdtest::add_header(h.get(), "Bad Name", "v");
  EXPECT_EQ(validate(*h), "header 3 has an invalid name");
  h->header_count = 2;
  EXPECT_EQ(validate(*h), "");
}

TEST(WhHookValidate, HeaderValueNewlines) {
  auto h = good_hook();
  vdtest::add_header(h.get(), "X-Empty", "");
  vdtest::add_header(h.get(), "X-Tab", "a\tb \xc3\xa9 \x01");
  EXPECT_EQ(validate(*h), "") << "empty value, tab and other bytes pass";
  vdtest::add_header(h.get(), "X-Split", "a\r\nInjected: 1");
  EXPECT_EQ(validate(*h), "header X-Split has a newline in its value");
  wh_field_copy(h->headers[2].value, "only\rcr");
  EXPECT_EQ(validate(*h), "header X-Split has a newline in its value");
  wh_field_copy(h->headers[2].value, "only\nlf");
  EXPECT_EQ(validate(*h), "header X-Split has a newline in its value");

  // Both tests of one header come before the next header.
  wh_field_copy(h->headers[1].value, "x\ny");
  wh_field_copy(h->headers[2].name, "bad name");
  EXPECT_EQ(validate(*h), "header X-Tab has a newline in its value");
}

TEST(WhHookValidate, MessageBufferHandling) {
  auto h = good_hook();
  wh_field_copy(h->url, "https://my_host/");
  char small[9];
  EXPECT_EQ(wh_hook_validate(h.get(), small, sizeof small), -1);
  EXPECT_STREQ(small, "url: hos");
  EXPECT_EQ(wh_hook_validate(h.get(), nullptr, 0), -1);
  wh_field_copy(h->url, "https://relay/");
  EXPECT_EQ(wh_hook_validate(h.get(), nullptr, 0), 0);

  // Validation changes nothing in the hook.
  auto before = good_hook();
  vdtest::add_header(before.get(), "X", "a\nb");
  auto copy = std::make_unique<wh_hook>(*before);
  EXPECT_EQ(validate(*before), "header X has a newline in its value");
  EXPECT_EQ(memcmp(before.get(), copy.get(), sizeof(wh_hook)), 0);
}

}  // namespace
