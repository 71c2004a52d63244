// wh_store_load on arbitrary file contents. A file the loader refuses is left
// as it was; a file it loads gives a store within its capacities, whose list
// and hook views for the page are strict JSON without secrets, and saving
// that store is a fixed point: save, load, save writes the same bytes twice,
// and the second load gives back the first store.
#include <yyjson.h>

#include <cstring>
#include <memory>

#include "fuzz_util.h"
#include "raii.h"
#include "wh_limit.h"

namespace {

void check_bounds(const wh_store &s) {
  FUZZ_CHECK(s.hook_count >= 0 && s.hook_count <= WH_MAX_HOOKS, "hook count in 0..64");
  FUZZ_CHECK(s.log_count >= 0 && s.log_count <= WH_MAX_LOG, "log count in 0..50");
  for (int i = 0; i < s.hook_count; ++i) {
    const wh_hook &h = s.hooks[i];
    FUZZ_CHECK(h.name[0] != '\0', "every loaded hook has a name");
    FUZZ_CHECK(h.method[0] != '\0', "every loaded hook has a method");
    FUZZ_CHECK(h.header_count >= 0 && h.header_count <= WH_MAX_HEADERS, "header count in 0..16");
    for (int j = 0; j < h.header_count; ++j)
      FUZZ_CHECK(h.headers[j].name[0] != '\0', "every loaded header has a name");
    FUZZ_CHECK(h.limit_count >= -1 && h.limit_count <= WH_LIMIT_COUNT_MAX, "a limit in range");
    FUZZ_CHECK(h.limit_count <= 0 || wh_limit_per_name(h.limit_per), "a limit's window is known");
    FUZZ_CHECK(h.window_count >= 0, "a count is not negative");
  }
  for (int i = 0; i < s.log_count; ++i)
    FUZZ_CHECK(s.log[i].name[0] != '\0', "every loaded log entry names a hook");
}

bool same_log(const wh_log_entry &a, const wh_log_entry &b) {
  return fuzz_same_text(a.at, b.at) && fuzz_same_text(a.name, b.name) &&
         fuzz_same_text(a.error, b.error) && fuzz_same_text(a.message_id, b.message_id) &&
         a.status == b.status && a.ok == b.ok && a.bytes == b.bytes && a.ms == b.ms;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz_private_store();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static auto first = std::make_unique<wh_store>();
  static auto second = std::make_unique<wh_store>();
  const std::string &path = fuzz_private_store();
  std::string text = fuzz_text(data, size);
  fuzz_write_file(path, text);

  char err[WH_ERR_CAP];
  memset(err, 'X', sizeof err);
  int rc = wh_store_load(first.get(), err, sizeof err);
  FUZZ_CHECK(memchr(err, '\0', sizeof err), "message terminated");
  yy_doc doc(yyjson_read(text.data(), text.size(), 0));
  FUZZ_CHECK((rc == 0) == (doc != nullptr), "loads exactly the files that are JSON");
  if (rc != 0) {
    FUZZ_CHECK(strstr(err, "is not valid JSON") != nullptr, "a refused file is named as not JSON");
    FUZZ_CHECK(first->hook_count == 0 && first->log_count == 0, "a refused file loads nothing");
    FUZZ_CHECK(fuzz_read_file(path) == text, "a refused file is left untouched");
    return 0;
  }
  FUZZ_CHECK(err[0] == '\0', "no message on success");
  check_bounds(*first);
  for (int i = 0; i < first->hook_count; ++i) fuzz_check_view(first->hooks[i]);
  wh_text hooks, log;
  wh_hook_view_list(&hooks, first.get());
  wh_hook_view_log(&log, first.get());
  FUZZ_CHECK(yy_doc(yyjson_read(hooks.data, hooks.len, 0)) != nullptr, "the list is strict JSON");
  FUZZ_CHECK(yy_doc(yyjson_read(log.data, log.len, 0)) != nullptr, "the log is strict JSON");

  FUZZ_CHECK(wh_store_save(first.get(), err, sizeof err) == 0, "a loaded store saves");
  std::string once = fuzz_read_file(path);
  FUZZ_CHECK(wh_store_load(second.get(), err, sizeof err) == 0, "a saved store loads");
  FUZZ_CHECK(wh_store_save(second.get(), err, sizeof err) == 0, "a reloaded store saves");
  FUZZ_CHECK(fuzz_read_file(path) == once, "save, load, save writes the same bytes");

  FUZZ_CHECK(second->hook_count == first->hook_count, "hook count survives");
  for (int i = 0; i < first->hook_count; ++i)
    FUZZ_CHECK(fuzz_hook_diff(first->hooks[i], second->hooks[i]) == nullptr, "every hook survives");
  FUZZ_CHECK(second->log_count == first->log_count, "log count survives");
  for (int i = 0; i < first->log_count; ++i)
    FUZZ_CHECK(same_log(first->log[i], second->log[i]), "every log entry survives");
  return 0;
}
