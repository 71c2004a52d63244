#include "wh_buf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "wh_json.h"

namespace {

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

// The numbers of the list and the store file are written without printf; they
// must read exactly as "%ld" writes them.
// A literal that exactly fills a buffer's block, and one a byte longer.
TEST(WhBuf, LiteralAtTheBlockBoundary) {
  for (size_t n : {251u, 252u}) {
    wh_text b;
    wh_buf_add(&b, std::string(n, 'y').data(), n);
    wh_buf_lit(&b, "four");
    EXPECT_EQ(b.len, n + 4);
    EXPECT_EQ(b.cap, n + 5 <= 256 ? 256u : 512u);
    EXPECT_EQ(std::string(b.data), std::string(n, 'y') + "four");
  }
}

TEST(WhBuf, LongAsPrintfWritesIt) {
  for (long n :
       {0L, 7L, -1L, 10L, -10L, 4096L, 2147483647L, -2147483647L - 1, LONG_MAX, LONG_MIN}) {
    wh_text b;
    wh_buf_str(&b, "<");
    wh_buf_long(&b, n);
    char want[32];
    snprintf(want, sizeof want, "<%ld", n);
    EXPECT_STREQ(wh_buf_cstr(&b), want);
    EXPECT_EQ(b.len, strlen(want));
  }
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

}  // namespace
