// A private store for each test: WEBHOOK_STORE_PATH points into a fresh
// temporary folder, so no test ever touches the user's real store.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "hook_builder.h"
#include "test_platform.h"
#include "wh_store.h"

inline std::string read_text(const std::string &p) {
  std::ostringstream ss;
  ss << std::ifstream(p, std::ios::binary).rdbuf();
  return ss.str();
}

inline void write_text(const std::string &p, const std::string &text) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f << text;
  ASSERT_TRUE(f.good()) << p;
}

using vdtest::add_hook;
using vdtest::become_nobody;

// "name method sig secret | header=value ..." of a hook record.
inline std::string hook_line(const wh_hook &h) {
  std::string s = std::string(h.name) + " " + h.method + " " + h.sig + " " + h.secret + " |";
  for (int i = 0; i < h.header_count; ++i)
    s += std::string(" ") + h.headers[i].name + "=" + h.headers[i].value;
  return s;
}

// The model's limit counts in fixed UTC windows of up to a day (wh_limit.h).
// A test whose triggers must fall into one day's window starts clear of the
// day's end: with less than a minute of the UTC day left, it waits for the
// next day.
inline void start_clear_of_utc_day_end() {
  long left = 86400 - static_cast<long>(time(nullptr) % 86400);
  if (left < 60) std::this_thread::sleep_for(std::chrono::seconds(left + 1));
}

// The next midnight UTC, as a refusal by a day's limit names it.
inline std::string next_utc_midnight() {
  time_t midnight = (time(nullptr) / 86400 + 1) * 86400;
  char at[24];
  strftime(at, sizeof at, "%Y-%m-%dT%H:%M:%SZ", gmtime(&midnight));
  return at;
}

class StoreEnv : public ::testing::Test {
 protected:
  std::string dir;   // the temporary folder
  std::string path;  // the store file, one level below it

  void SetUp() override {
    for (const char *v :
         {"WEBHOOK_STORE_PATH", "LOCALAPPDATA", "XDG_DATA_HOME", "HOME", "USERPROFILE"}) {
      const char *old = getenv(v);
      saved_[v] = old ? std::make_unique<std::string>(old) : nullptr;
    }
    dir = vdtest::make_temp_dir();
    ASSERT_FALSE(dir.empty());
    use_path(dir + "/nest/hooks.json");
  }

  void TearDown() override {
    for (auto &[name, value] : saved_) vdtest::set_env(name, value ? value->c_str() : nullptr);
    if (!dir.empty()) vdtest::remove_tree(dir);
  }

  void use_path(const std::string &p) {
    path = p;
    vdtest::set_env("WEBHOOK_STORE_PATH", p.c_str());
  }

  static std::unique_ptr<wh_store> new_store() { return std::make_unique<wh_store>(); }

  // The store file as it is now, and a store file written as given (its
  // folder made first).
  std::string store_text() const { return read_text(path); }
  void write_store(const std::string &text) const {
    vdtest::make_dir(path.substr(0, path.rfind('/')));
    write_text(path, text);
  }

  // The store as the file holds it now; it must load.
  std::unique_ptr<wh_store> stored() const {
    auto s = new_store();
    char e[WH_ERR_CAP];
    EXPECT_EQ(wh_store_load(s.get(), e, sizeof e), 0) << e;
    return s;
  }

 private:
  std::map<std::string, std::unique_ptr<std::string>> saved_;
};

inline bool file_exists(const std::string &p) {
  return vdtest::path_exists(p);
}
