// A private store for each test: WEBHOOK_STORE_PATH points into a fresh
// temporary folder, so no test ever touches the user's real store.
#pragma once

#include <ftw.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

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

// For a child process of a test run as root, which reads and writes any file
// whatever its mode: becomes the user nobody. False when that failed.
inline bool become_nobody() {
  return geteuid() != 0 || (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0);
}

// "name method sig secret | header=value ..." of a hook record.
inline std::string hook_line(const wh_hook &h) {
  std::string s = std::string(h.name) + " " + h.method + " " + h.sig + " " + h.secret + " |";
  for (int i = 0; i < h.header_count; ++i)
    s += std::string(" ") + h.headers[i].name + "=" + h.headers[i].value;
  return s;
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
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vd_store_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir = tmpl;
    use_path(dir + "/nest/hooks.json");
  }

  void TearDown() override {
    for (auto &[name, value] : saved_) {
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
    if (!dir.empty()) {
      nftw(
          dir.c_str(),
          [](const char *p, const struct stat *, int, struct FTW *) {
            chmod(p, 0700);  // so a test that took permissions away can be cleaned up
            return remove(p);
          },
          16, FTW_DEPTH | FTW_PHYS);
    }
  }

  void use_path(const std::string &p) {
    path = p;
    setenv("WEBHOOK_STORE_PATH", p.c_str(), 1);
  }

  static std::unique_ptr<wh_store> new_store() { return std::make_unique<wh_store>(); }

  // The store file as it is now, and a store file written as given (its
  // folder made first).
  std::string store_text() const { return read_text(path); }
  void write_store(const std::string &text) const {
    mkdir(path.substr(0, path.rfind('/')).c_str(), 0700);
    write_text(path, text);
  }

  // The store as the file holds it now; it must load.
  std::unique_ptr<wh_store> stored() const {
    auto s = new_store();
    char e[320];
    EXPECT_EQ(wh_store_load(s.get(), e, sizeof e), 0) << e;
    return s;
  }

  static void add_hook(wh_store *s, const std::string &name,
                       const std::string &url = "https://relay.example/h") {
    ASSERT_LT(s->hook_count, WH_MAX_HOOKS);
    wh_hook &h = s->hooks[s->hook_count++];
    memset(&h, 0, sizeof h);
    wh_field_copy(h.name, name.c_str());
    wh_field_copy(h.url, url.c_str());
    wh_field_copy(h.method, "POST");
  }

 private:
  std::map<std::string, std::unique_ptr<std::string>> saved_;
};

inline bool file_exists(const std::string &p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}
