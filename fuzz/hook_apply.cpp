// wh_hook_apply on arbitrary request bodies, once for a new hook and once as
// an edit of a stored one. Whatever it accepts must be storable: saved and
// loaded again, the hook comes back field by field as it was applied. And
// its view for the page is strict JSON that holds no secret and no header
// value: only the members the view has, whatever the hook holds.
#include <cstring>
#include <memory>

#include "fuzz_util.h"
#include "hook_builder.h"

namespace {

// The hook being edited: signed, with headers whose values a body may keep
// by sending only their names.
wh_hook stored_hook() {
  auto h =
      vdtest::make_hook("https://relay.example/hooks/a?token=t0k", "PUT", "v2", "s3cret", "deploy");
  wh_field_copy(h->desc, "stored");
  vdtest::add_header(h.get(), "X-Key", "k1");
  vdtest::add_header(h.get(), "X-Empty", "");
  return *h;
}

void apply_and_round_trip(const char *body, const wh_hook *stored, wh_store *store) {
  auto hook = std::make_unique<wh_hook>();
  if (stored)
    *hook = *stored;
  else
    wh_field_copy(hook->method, "POST");
  char err[WH_ERR_CAP];
  memset(err, 'X', sizeof err);
  int rc = wh_hook_apply(hook.get(), body, stored, err, sizeof err);
  FUZZ_CHECK(memchr(err, '\0', sizeof err), "message terminated");
  FUZZ_CHECK(rc == 0 || rc == -1, "apply returns 0 or -1");
  FUZZ_CHECK((rc == 0) == (err[0] == '\0'), "a message exactly on failure");
  if (rc != 0) return;
  FUZZ_CHECK(wh_hook_validate(hook.get(), err, sizeof err) == 0, "an applied hook is valid");
  fuzz_check_view(*hook);

  memset(store, 0, sizeof *store);
  store->hooks[0] = *hook;
  store->hook_count = 1;
  FUZZ_CHECK(wh_store_save(store, err, sizeof err) == 0, "an applied hook saves");
  FUZZ_CHECK(wh_store_load(store, err, sizeof err) == 0, "the saved store loads");
  FUZZ_CHECK(store->hook_count == 1, "the hook is in the loaded store");
  const char *diff = fuzz_hook_diff(*hook, store->hooks[0]);
  if (diff) fprintf(stderr, "field that changed: %s\n", diff);
  FUZZ_CHECK(diff == nullptr, "the hook survives save and load unchanged");
  FUZZ_CHECK(wh_hook_validate(&store->hooks[0], err, sizeof err) == 0, "the loaded hook is valid");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz_private_store();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const wh_hook stored = stored_hook();
  static auto store = std::make_unique<wh_store>();
  std::string body = fuzz_text(data, size);
  apply_and_round_trip(body.c_str(), nullptr, store.get());
  apply_and_round_trip(body.c_str(), &stored, store.get());
  return 0;
}
