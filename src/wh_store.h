// The hook store: every hook of the node and its recent delivery log, kept in
// one JSON file (hooks.json) that is loaded whole into a fixed-size wh_store,
// changed in memory and saved whole.
//
// Changing the store: use wh_store_update and nothing else. It takes the
// store's lock, loads a fresh copy, lets the caller change it and saves it
// before the lock is released, so two processes changing the store at the
// same time never lose each other's edits. Plain wh_store_load is for reads
// that change nothing.
//
// The record and its edits are in wh_store.cpp, the file, its lock and the
// locked cycle in wh_store_file.cpp, the file's JSON in wh_store_json.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "wh_hook.h"
#include "wh_limits.h"

inline constexpr int WH_MAX_HOOKS = 64;
inline constexpr int WH_MAX_LOG = 50;
// The store file's path, terminator included: a longer one is refused, not
// cut (it would name another file).
inline constexpr size_t WH_STORE_PATH_MAX = 1024;

// One delivery, as the callers record it.
struct wh_log_entry {
  char at[24];                         // UTC, "%Y-%m-%dT%H:%M:%SZ"
  char name[64];                       // the hook that was fired
  int status;                          // HTTP status; 0 when no response came
  int ok;                              // 1 for a 2xx status
  int bytes;                           // body bytes kept, 0..4096
  int ms;                              // elapsed milliseconds
  char error[192];                     // why the delivery failed; empty on success
  char message_id[WH_MESSAGE_ID_CAP];  // the id the request was signed with; empty for none
};

// The loaded store (about 1.6 MB): allocate it on the heap, never on the stack.
struct wh_store {
  wh_hook hooks[WH_MAX_HOOKS];  // file order; the first hook_count are in use
  int hook_count;
  wh_log_entry log[WH_MAX_LOG];  // newest first; the first log_count are in use
  int log_count;
};

// A zeroed store record on the heap; null when memory is short. A fresh
// process (every CGI request) loading a large store would spend more time
// faulting the 1.6 MB record in page by page than on the rest of its work, so
// when the store file is large and the system offers transparent huge pages
// the record sits on one; a small store's few slots stay on ordinary pages.
struct wh_store_release {
  void operator()(wh_store *store) const;
};
using wh_store_ptr = std::unique_ptr<wh_store, wh_store_release>;
wh_store_ptr wh_store_new();

// The store file's path, cut to size; returns the full formatted length.
// WEBHOOK_STORE_PATH, else the platform's per-user location (POSIX: under
// LOCALAPPDATA, XDG_DATA_HOME, HOME or USERPROFILE; Windows: under
// LOCALAPPDATA or USERPROFILE, with backslashes), else "hooks.json" in the
// working directory.
int wh_store_path(char *buf, size_t size);

// Empties the store (both counts 0), then fills it from the file. 0: loaded
// (a missing file is an empty store). -1: the store stays empty and err holds
// the reason; the caller must not save over a file it could not read.
// The record need not be zeroed, nor is it zeroed: each hook and log entry in
// use gets every field from this load (text and terminator, counts, numbers),
// so nothing of an earlier load shows. Bytes past a field's terminator and
// slots past the counts keep whatever they held.
int wh_store_load(wh_store *store, char *err, size_t err_size);

// For a delivery, which needs one hook before its exchange: loads the file
// as wh_store_load does but fills only the hook that wh_hook_find(store,
// name) would then give, into *hook. 1: found; 0: the file (or its absence)
// holds no such hook; -1: the load failed, err holds wh_store_load's reason.
int wh_store_load_hook(const char *name, wh_hook *hook, char *err, size_t err_size);

// Writes the whole store to the file, replacing it in one atomic step (on
// POSIX file mode 0600, new directories 0700). 0: the file holds exactly the store.
// -1: err holds the reason and the file is as before. Takes the store's lock
// for the write unless this thread holds it already (inside wh_store_update).
// On its own it is no load-change-save cycle: use wh_store_update for that.
int wh_store_save(const wh_store *store, char *err, size_t err_size);

// The first hook in use whose name equals `name` exactly; null if none.
// Points into the store.
wh_hook *wh_hook_find(wh_store *store, const char *name);
const wh_hook *wh_hook_find(const wh_store *store, const char *name);

// Removes the hook at index, keeping the order of the rest; a bad index does
// nothing.
void wh_hook_remove(wh_store *store, int index);

// Puts a copy of entry first in the log; the 51st oldest entry falls off.
void wh_store_log_add(wh_store *store, const wh_log_entry *entry);

// What a change callback decided.
enum wh_change : int {
  WH_CHANGE_FAILED = -1,  // refused; the callback wrote its reason into err
  WH_CHANGE_NONE = 0,     // nothing to write
  WH_CHANGE_SAVE = 1,     // write the changed store back
};

// Receives the freshly loaded store (on the heap) and the caller's err buffer.
using wh_store_change_fn = std::function<wh_change(wh_store *store, char *err, size_t err_size)>;

// The locked cycle: lock, load, change, save (when asked), unlock.
//  - Creates the store's directories and takes an exclusive lock (flock,
//    LockFileEx on Windows) on "<store path>.lock"; fails with "cannot lock %s: %s" when it cannot.
//  - Loads the store; a load failure ends here, nothing is saved.
//  - Calls change once, with the lock held. The callback changes only the
//    store it is given; it does not save it itself. A wh_store_update inside
//    the callback fails with "the store is already being changed by this
//    caller" (its save would be overwritten by the outer one).
//  - Saves only on WH_CHANGE_SAVE.
// Returns 0 on success (saved or nothing to save), -1 with the reason in err
// when the lock, the load, the change or the save failed.
// A delivery calls this only after its network exchange, never around it.
int wh_store_update(const wh_store_change_fn &change, char *err, size_t err_size);
