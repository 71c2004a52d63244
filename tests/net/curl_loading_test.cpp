// libcurl is loaded by the first delivery of a process and by nothing else.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "child_process.h"
#include "curl_api.h"
#include "net_util.h"
#include "receiver.h"

namespace {

using namespace nettest;

std::string maps() {
  std::ifstream f("/proc/self/maps");
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

bool curl_mapped() {
  return maps().find("libcurl") != std::string::npos;
}

std::string self_path() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Runs one of the disabled tests below in a fresh process of this binary, so
// that nothing earlier in this process has loaded libcurl.
void run_in_fresh_process(const std::string &test) {
  auto env = vdtest::base_env();
  auto r = vdtest::run({self_path(), "--gtest_also_run_disabled_tests", "--gtest_filter=" + test},
                       env, {}, 60000);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("[  PASSED  ] 1 test"), std::string::npos) << r.out;
}

TEST(CurlLoading, OnlyTheFirstDeliveryLoadsIt) {
  run_in_fresh_process("CurlLoadingFresh.DISABLED_LoadedByTheFirstDelivery");
}

TEST(CurlLoading, LoadFailureIsReported) {
  run_in_fresh_process("CurlLoadingFresh.DISABLED_LoadFailure");
}

TEST(CurlLoadingFresh, DISABLED_LoadedByTheFirstDelivery) {
  ASSERT_FALSE(curl_mapped()) << "mapped before anything ran";
  ASSERT_FALSE(curl_api_loaded());
  vdtest::receiver rx;

  // Failures before the exchange proper do not load it.
  {
    allow_private_env guard_on(nullptr);
    EXPECT_EQ(fire(*make_hook(rx.url("/")), "{}").rc, -1);
  }
  allow_private_env on("1");
  EXPECT_EQ(fire(*make_hook(rx.url("/"), "POST", "nope", "k"), "{}").rc, -1);
  EXPECT_EQ(fire(*make_hook(rx.url("/")), std::string(1048577, ' ')).rc, -1);
  EXPECT_EQ(fire(*make_hook("http://nowhere.invalid/"), "{}").rc, -1);
  EXPECT_FALSE(curl_mapped());
  EXPECT_FALSE(curl_api_loaded());
  EXPECT_EQ(rx.connections(), 0);

  auto f = fire(*make_hook(rx.url("/")), "{}");
  EXPECT_EQ(f.rc, 0) << f.r->error;
  EXPECT_TRUE(curl_api_loaded());
  EXPECT_TRUE(curl_mapped());
  EXPECT_NE(maps().find("libcurl.so.4"), std::string::npos);
}

TEST(CurlLoadingFresh, DISABLED_LoadFailure) {
  allow_private_env on("1");
  vdtest::receiver rx;
  const char *real = curl_api_library;
  curl_api_library = "libvd-no-such-curl.so.4";
  auto f = fire(*make_hook(rx.url("/")), "{}");
  curl_api_library = real;
  EXPECT_EQ(f.rc, -1);
  std::string e = f.r->error;
  EXPECT_EQ(e.rfind("could not start the HTTP client: ", 0), 0u) << e;
  EXPECT_NE(e.find("libvd-no-such-curl.so.4"), std::string::npos) << e;
  EXPECT_EQ(rx.connections(), 0);
  // A failed load is tried again by the next delivery.
  auto again = fire(*make_hook(rx.url("/")), "{}");
  EXPECT_EQ(again.rc, 0) << again.r->error;
}

TEST(CurlLoading, OlderLibcurlLimitsProtocolsWithTheBitMasks) {
  run_in_fresh_process("CurlLoadingFresh.DISABLED_OlderLibcurl");
}

// A libcurl before 7.85 refuses the protocol lists given as text; the
// delivery goes out limited to http and https all the same.
TEST(CurlLoadingFresh, DISABLED_OlderLibcurl) {
  allow_private_env on("1");
  vdtest::receiver rx;
  curl_api_library = VD_OLD_LIBCURL_PATH;
  auto f = fire(*make_hook(rx.url("/old")), "{}");
  EXPECT_EQ(f.rc, 0) << f.r->error;
  EXPECT_EQ(rx.connections(), 1);

  void *shim = dlopen(VD_OLD_LIBCURL_PATH, RTLD_LAZY | RTLD_NOLOAD);
  ASSERT_NE(shim, nullptr) << "the stand-in was not the library loaded";
  using mask_fn = long (*)();
  auto protocols = reinterpret_cast<mask_fn>(dlsym(shim, "vd_old_libcurl_protocols"));
  auto redirects = reinterpret_cast<mask_fn>(dlsym(shim, "vd_old_libcurl_redir_protocols"));
  ASSERT_TRUE(protocols && redirects);
  EXPECT_EQ(protocols(), CURLPROTO_HTTP | CURLPROTO_HTTPS);
  EXPECT_EQ(redirects(), CURLPROTO_HTTP | CURLPROTO_HTTPS);
  dlclose(shim);
}

// The executable, run in the modes that send nothing, under the dynamic
// loader's trace: libcurl never appears.
TEST(CurlLoading, ProgramModesWithoutDeliveryNeverLoadIt) {
  char home[] = "/tmp/vd-noload-XXXXXX";
  ASSERT_TRUE(mkdtemp(home));
  auto env = vdtest::base_env(home);
  env.push_back("LD_DEBUG=libs");
  env.push_back(std::string("WEBHOOK_STORE_PATH=") + home + "/hooks.json");
  const std::string prog = vdtest::program_path();
  struct {
    std::vector<std::string> args;
    std::vector<std::string> extra_env;
    std::string input;
  } runs[] = {
      {{prog, "--version"}, {}, ""},
      {{prog, "--meta"}, {}, ""},
      {{prog, "--schema"}, {}, ""},
      {{prog},
       {"REQUEST_METHOD=GET", "QUERY_STRING=action=list", "BOT_PASSWORD=pw",
        "HTTP_X_BOT_PASSWORD=pw"},
       ""},
      {{prog, "--mcp"},
       {},
       "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"initialize\",\"params\":{}}\n"
       "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"tools/list\"}\n"
       "{\"jsonrpc\":\"2.0\",\"id\":3,\"method\":\"tools/call\",\"params\":{\"name\":"
       "\"webhook_list\",\"arguments\":{}}}\n"},
  };
  for (const auto &r : runs) {
    auto e = env;
    e.insert(e.end(), r.extra_env.begin(), r.extra_env.end());
    auto res = vdtest::run(r.args, e, r.input);
    std::string what = r.args.size() > 1 ? r.args[1] : "cgi";
    EXPECT_EQ(res.status, 0) << what;
    // The trace is there (so its silence about libcurl means something).
    EXPECT_NE(res.err.find("libc.so.6"), std::string::npos) << what << ": no loader trace";
    EXPECT_EQ(res.err.find("libcurl"), std::string::npos) << what;
    EXPECT_FALSE(res.out.empty()) << what;
  }
  vdtest::run({"/bin/rm", "-rf", home}, vdtest::base_env());
}

}  // namespace
