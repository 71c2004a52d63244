// The store suites' fixture: a private store (StoreEnv) plus loading and
// saving as one step.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "store_env.h"
#include "test_platform.h"
#include "wh_store.h"

class WhStore : public StoreEnv {
 protected:
  // Writes `text` as the store file and loads it.
  std::unique_ptr<wh_store> load_text(const std::string &text, int want_rc = 0) {
    std::string d = path.substr(0, path.rfind('/'));
    vdtest::make_dir(d);
    write_text(path, text);
    auto s = new_store();
    char err[WH_ERR_CAP];
    EXPECT_EQ(wh_store_load(s.get(), err, sizeof err), want_rc) << err;
    if (want_rc == 0) {
      EXPECT_STREQ(err, "");
    }
    return s;
  }

  std::string save(const wh_store *s) {
    char err[WH_ERR_CAP];
    EXPECT_EQ(wh_store_save(s, err, sizeof err), 0) << err;
    return read_text(path);
  }

  std::string load_err(const std::string &text) {
    std::string d = path.substr(0, path.rfind('/'));
    vdtest::make_dir(d);
    write_text(path, text);
    auto s = new_store();
    memset(s.get(), 0x41, sizeof(wh_store));
    char err[WH_ERR_CAP];
    EXPECT_EQ(wh_store_load(s.get(), err, sizeof err), -1);
    EXPECT_EQ(s->hook_count, 0) << "a failed load leaves an empty store";
    EXPECT_EQ(s->log_count, 0);
    return err;
  }

  static std::string hooks_json(int n) {
    std::string t = "{\"hooks\":[";
    for (int i = 0; i < n; ++i)
      t += (i ? ",{\"name\":\"h" : "{\"name\":\"h") + std::to_string(i) + "\"}";
    return t + "]}";
  }
};
