// The program as a CGI script: a private store, a CGI environment, and the
// exact answer bytes the web interface writes.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "store_env.h"

namespace cgitest {

inline std::string head(long status = 0, const char *type = "application/json; charset=utf-8") {
  return (status ? "Status: " + std::to_string(status) + "\r\n" : std::string()) +
         "Content-Type: " + type +
         "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
         "Referrer-Policy: no-referrer\r\nContent-Security-Policy: default-src 'self' "
         "'unsafe-inline'; img-src 'self' data:; connect-src 'self'; frame-ancestors "
         "'self'\r\n\r\n";
}

inline std::string ok(const std::string &json) {
  return head() + json + "\n";
}

inline std::string err(long status, const std::string &message) {
  return head(status) + "{\"ok\":false,\"error\":\"" + message + "\"}\n";
}

// "h<i>", built by appending (GCC 12's -Wrestrict misreads "h" + text).
inline std::string numbered(int i) {
  std::string name = "h";
  return name += std::to_string(i);
}

inline const std::string kEmptyList =
    "{\"ok\":true,\"count\":0,\"hooks\":[],\"log\":[],\"allow_private\":false}";

class Cgi : public StoreEnv {
 protected:
  // The CGI environment: the private store, QUERY_STRING, and "NAME=value"
  // extras. A body goes on standard input with its CONTENT_LENGTH.
  std::vector<std::string> env(const std::string &query, const std::string &body,
                               const std::vector<std::string> &extra) const {
    auto e = vdtest::base_env(dir);
    e.push_back("WEBHOOK_STORE_PATH=" + path);
    e.push_back("QUERY_STRING=" + query);
    if (!body.empty()) e.push_back("CONTENT_LENGTH=" + std::to_string(body.size()));
    e.insert(e.end(), extra.begin(), extra.end());
    return e;
  }

  vdtest::run_result cgi(const std::string &query, const std::string &body = {},
                         const std::vector<std::string> &extra = {}) const {
    auto r = vdtest::run({vdtest::program_path()}, env(query, body, extra), body);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(r.timed_out);
    return r;
  }

  static std::string names(const wh_store &s) {
    std::string out;
    for (int i = 0; i < s.hook_count; ++i) {
      if (i) out += ',';
      out += s.hooks[i].name;
    }
    return out;
  }

  void save(const wh_store &s) const {
    char e[WH_ERR_CAP];
    ASSERT_EQ(wh_store_save(&s, e, sizeof e), 0) << e;
  }
};

// The fault tests: one hook saved, and runs with a change to the child.
class Faults : public Cgi {
 protected:
  // One hook, saved by the test: the store as it must stay.
  std::string seed(const std::string &url = "https://relay.example/h") {
    auto s = new_store();
    add_hook(s.get(), "kept", url);
    save(*s);
    return store_text();
  }

  vdtest::run_result cgi_with(const vdtest::child_setup &setup, const std::string &query,
                              const std::string &body = {}) const {
    return vdtest::run({vdtest::program_path()}, env(query, body, {}), body, 20000, setup);
  }
};

}  // namespace cgitest
