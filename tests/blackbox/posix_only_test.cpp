// The black-box cases that need POSIX: a FIFO, a file size limit, another
// user.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cgi_test_util.h"

namespace {

using vdtest::program_path;
using vdtest::run;

using CgiApiPosix = cgitest::Cgi;
using cgitest::err;
using cgitest::Faults;
using cgitest::ok;
using vdtest::become_nobody;

// Only a regular file is read as the body: a FIFO with no writer must not
// hold the process, and a pipe named as a file is no body either.
TEST_F(CgiApiPosix, OnlyARegularBodyFileIsRead) {
  auto s = new_store();
  add_hook(s.get(), "two");
  save(*s);
  std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string &file : {fifo, std::string("/dev/stdin")}) {
    auto r = run({program_path()}, env("action=delete", {}, {"POST_BODY_FILE=" + file}),
                 R"({"name":"two"})", 5000);
    EXPECT_FALSE(r.timed_out) << file;
    EXPECT_EQ(r.out, cgitest::err(400, "delete needs a name")) << file;
  }
}

TEST_F(Faults, FullDiskFailsTheSaveAndKeepsTheStore) {
  const std::string before = seed();
  ASSERT_LT(before.size(), 4096u);
  // A file size limit stands in for a full disk: every write past 4 KiB fails
  // (EFBIG, with SIGXFSZ ignored: a full disk sends no signal either).
  auto full_after_4k = [] {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit = {4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
  };
  std::string headers;
  for (const char *h : {"X-A", "X-B", "X-C"})
    headers += std::string(headers.empty() ? "" : ",") + "{\"name\":\"" + h + "\",\"value\":\"" +
               std::string(1000, 'v') + "\"}";
  const std::string body = "{\"name\":\"big\",\"url\":\"https://relay.example/" +
                           std::string(1500, 'u') + "\",\"headers\":[" + headers + "]}";
  auto r = cgi_with(full_after_4k, "action=save", body);
  EXPECT_EQ(r.status, 0) << "153 is SIGXFSZ";
  EXPECT_EQ(r.out, err(400, "short write to " + path + ".tmp"));
  EXPECT_EQ(store_text(), before);
  EXPECT_FALSE(file_exists(path + ".tmp"));
  // A change that still fits goes through under the same limit.
  r = cgi_with(full_after_4k, "action=save", R"({"name":"small","url":"https://relay.example/"})");
  EXPECT_EQ(r.out, ok(R"({"ok":true,"saved":"small"})"));
  EXPECT_EQ(names(*stored()), "kept,small");
}

TEST_F(Faults, ReadOnlyStoreRefusesChangesAndLosesNothing) {
  const std::string before = seed();
  // The store's folder takes no new files. Root writes whatever the mode
  // bits say, so as root the program runs as the user nobody; the folders
  // above let it through to the file and to its lock.
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  ASSERT_EQ(chmod((path + ".lock").c_str(), 0666), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0711), 0);
  ASSERT_EQ(chmod((dir + "/nest").c_str(), 0555), 0);
  auto unprivileged = [] {
    if (!become_nobody()) _exit(121);
  };
  const std::string cannot = "cannot create " + path + ".tmp: " + strerror(EACCES);
  struct {
    std::string query, body, want;
  } rows[] = {
      {"action=save", R"({"name":"new","url":"https://relay.example/n"})", err(400, cannot)},
      {"action=save&name=kept", R"({"desc":"edited"})", err(400, cannot)},
      {"action=delete&name=kept", "", err(500, cannot)},
  };
  for (const auto &row : rows) {
    auto r = cgi_with(unprivileged, row.query, row.body);
    EXPECT_EQ(r.status, 0) << row.query;
    EXPECT_EQ(r.out, row.want) << row.query;
  }
  // Reading still works, and the file is as it was.
  auto list = cgi_with(unprivileged, "action=list");
  EXPECT_NE(list.out.find("\"name\":\"kept\""), std::string::npos) << list.out;
  EXPECT_EQ(store_text(), before);
  EXPECT_FALSE(file_exists(path + ".tmp"));
}

}  // namespace
