// The store record in memory: its pages, and the lookups and edits callers
// make between a load and a save.
#include "wh_store.h"

#include <cstdint>
#include <cstring>

#include "plat.h"
#include "store_fs.h"

namespace {

// A store file from which a load touches more of the record's pages than one
// huge page costs (about 16 hooks with their headers).
constexpr int64_t kHugeStoreFile = 16384;

}  // namespace

wh_store_ptr wh_store_new() {
  // A load fills only the slots in use: a store of a few hooks touches a few
  // of the record's pages, cheaper to fault in one by one than zeroing a
  // whole huge page for them. The file's size tells which (a hint only).
  char path[WH_STORE_PATH_MAX];
  int n = wh_store_path(path, sizeof path);
  bool big =
      n >= 0 && static_cast<size_t>(n) < sizeof path && store_fs_size(path) >= kHugeStoreFile;
  return wh_store_ptr(static_cast<wh_store *>(plat_pages_map(sizeof(wh_store), big)));
}

void wh_store_release::operator()(wh_store *store) const {
  plat_pages_unmap(store, sizeof(wh_store));
}

wh_hook *wh_hook_find(wh_store *store, const char *name) {
  if (!store || !name) return nullptr;
  for (int i = 0; i < store->hook_count && i < WH_MAX_HOOKS; ++i) {
    if (strcmp(store->hooks[i].name, name) == 0) return &store->hooks[i];
  }
  return nullptr;
}

const wh_hook *wh_hook_find(const wh_store *store, const char *name) {
  return wh_hook_find(const_cast<wh_store *>(store), name);
}

void wh_hook_remove(wh_store *store, int index) {
  if (!store || index < 0 || index >= store->hook_count || index >= WH_MAX_HOOKS) return;
  int last = store->hook_count - 1;
  memmove(&store->hooks[index], &store->hooks[index + 1],
          sizeof(wh_hook) * static_cast<size_t>(last - index));
  memset(&store->hooks[last], 0, sizeof(wh_hook));
  store->hook_count = last;
}

void wh_store_log_add(wh_store *store, const wh_log_entry *entry) {
  if (!store || !entry) return;
  // A copy first: entry may point into the log that is about to move.
  wh_log_entry copy = *entry;
  int keep = store->log_count < WH_MAX_LOG - 1 ? store->log_count : WH_MAX_LOG - 1;
  if (keep < 0) keep = 0;
  memmove(&store->log[1], &store->log[0], sizeof(wh_log_entry) * static_cast<size_t>(keep));
  store->log[0] = copy;
  if (store->log_count < WH_MAX_LOG) ++store->log_count;
}
