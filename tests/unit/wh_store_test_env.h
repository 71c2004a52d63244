// A private store for each test: WEBHOOK_STORE_PATH points into a fresh
// temporary folder, so no test ever touches the user's real store.
#pragma once

#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "wh_store.h"

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
