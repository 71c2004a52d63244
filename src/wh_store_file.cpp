// The store file on disk: where it is, reading and parsing it whole, the
// durable atomic replace, and the lock that makes load-change-save one step.
// Every file call goes through store_fs.h; the text is wh_store_json's.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "plat.h"
#include "raii.h"
#include "store_fs.h"
#include "wh_err.h"
#include "wh_store.h"
#include "wh_store_json.h"

namespace {

constexpr size_t kSidePathCap = 1100;  // the store path plus ".tmp" or ".lock"
constexpr uint64_t kMaxFileBytes = 4194304;

// Owns one region.
struct region {
  explicit region(size_t n) : size(n), data(static_cast<char *>(plat_pages_map(n))) {}
  ~region() { plat_pages_unmap(data, size); }
  region(const region &) = delete;
  region &operator=(const region &) = delete;
  size_t size;
  char *data;
};

// Resolves the path. A path that does not fit would name a different file,
// so it is refused rather than cut.
int resolve_path(char (&path)[WH_STORE_PATH_MAX], char *err, size_t err_size) {
  int n = wh_store_path(path, sizeof path);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path)
    return wh_err_set(err, err_size, "store path is too long (%d bytes)", n);
  return 0;
}

// How deep this thread is inside the store lock; the lock is taken only at
// depth 0, so a save inside wh_store_update does not lock against itself.
thread_local int g_lock_depth = 0;

// Holds the exclusive lock on "<store path>.lock" for its lifetime.
class store_lock {
 public:
  store_lock() = default;
  store_lock(const store_lock &) = delete;
  store_lock &operator=(const store_lock &) = delete;
  ~store_lock() {
    if (!held_) return;
    --g_lock_depth;
  }

  int acquire(const char *store_path, char *err, size_t err_size) {
    if (g_lock_depth > 0) {
      ++g_lock_depth;
      held_ = true;
      return 0;
    }
    char lock_path[kSidePathCap];
    snprintf(lock_path, sizeof lock_path, "%s.lock", store_path);
    store_fs_make_dirs(store_path);
    if (lock_.take(lock_path) != 0)
      return wh_err_set(err, err_size, "cannot lock %s: %s", lock_path, strerror(errno));
    ++g_lock_depth;
    held_ = true;
    return 0;
  }

 private:
  store_fs_lock lock_;
  bool held_ = false;
};

// Reads and parses the store file and hands its root to fill; a missing file
// is an empty store, and fill is not called. 0, or -1 with the reason in err.
template <class Fill>
int load_parsed(char *err, size_t err_size, Fill fill) {
  char path[WH_STORE_PATH_MAX];
  if (resolve_path(path, err, err_size) != 0) return -1;

  unique_fd fd(store_fs_open_read(path));
  if (!fd) {
    if (errno == ENOENT) return 0;  // no file yet: an empty store
    // Anything else is a store we cannot see; loading it as empty would let
    // the next save wipe hooks that were never read.
    return wh_err_set(err, err_size, "store file is unreadable or too large");
  }
  int64_t size = store_fs_regular_size(fd.get());
  if (size < 0 || static_cast<uint64_t>(size) > kMaxFileBytes)
    return wh_err_set(err, err_size, "store file is unreadable or too large");

  // Parsed in place (the document's strings point into the text, which must
  // outlive it), so the text is not copied a second time; the reader wants
  // zeroed padding after it, which the fresh region has.
  size_t len = static_cast<size_t>(size);
  region text(len + YYJSON_PADDING_SIZE);
  if (!text.data) return wh_err_set(err, err_size, "out of memory");
  size_t got = 0;
  while (got < len) {
    long n = store_fs_read(fd.get(), text.data + got, len - got);
    if (n < 0) return wh_err_set(err, err_size, "store file is unreadable or too large");
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  fd.reset();

  yyjson_read_err rerr;
  yy_doc doc(yyjson_read_opts(text.data, got, YYJSON_READ_INSITU, nullptr, &rerr));
  if (!doc)
    return wh_err_set(err, err_size,
                      "the hook store exists but is not valid JSON (%s); it was left untouched",
                      path);

  fill(yyjson_doc_get_root(doc.get()));
  return 0;
}

}  // namespace

int wh_store_path(char *buf, size_t size) {
  const char *v = plat_env("WEBHOOK_STORE_PATH");
  if (v && *v) return snprintf(buf, size, "%s", v);
  return store_fs_default_path(buf, size);
}

int wh_store_load(wh_store *store, char *err, size_t err_size) {
  wh_err_clear(err, err_size);
  if (!store) return wh_err_set(err, err_size, "out of memory");
  // Emptied by its counts alone: zeroing the whole 1.6 MB record would cost a
  // list more than parsing a realistic store. What an earlier load left stays
  // out of sight: every slot counted below has each field written (text and
  // terminator) and its header count set, and nothing reads past a count or
  // a field's terminator.
  store->hook_count = 0;
  store->log_count = 0;
  return load_parsed(err, err_size, [store](yyjson_val *root) { wh_store_json_read(root, store); });
}

int wh_store_load_hook(const char *name, wh_hook *hook, char *err, size_t err_size) {
  wh_err_clear(err, err_size);
  if (!hook) return wh_err_set(err, err_size, "out of memory");
  bool found = false;
  std::string_view want(name ? name : "");
  if (load_parsed(err, err_size,
                  [&](yyjson_val *root) { found = wh_store_json_read_hook(root, want, hook); }))
    return -1;
  return found ? 1 : 0;
}

int wh_store_save(const wh_store *store, char *err, size_t err_size) {
  wh_err_clear(err, err_size);
  if (!store) return wh_err_set(err, err_size, "out of memory");
  char path[WH_STORE_PATH_MAX];
  if (resolve_path(path, err, err_size) != 0) return -1;

  wh_text text;
  wh_store_json_write(&text, store);
  if (text.failed) return wh_err_set(err, err_size, "out of memory");

  // Taking the lock also creates the store's directories.
  store_lock lock;
  if (lock.acquire(path, err, err_size) != 0) return -1;

  char tmp[kSidePathCap];
  snprintf(tmp, sizeof tmp, "%s.tmp", path);
  unique_fd fd(store_fs_create(tmp));
  if (!fd) return wh_err_set(err, err_size, "cannot create %s: %s", tmp, strerror(errno));

  // Errors that only the flush to disk or the close report count as a short
  // write too: the temporary file cannot be trusted then.
  bool written =
      store_fs_write_all(fd.get(), text.data ? text.data : "", static_cast<size_t>(text.len));
  if (written && wh_store_fsync(fd.get()) != 0) written = false;
  if (store_fs_close(fd.release()) != 0) written = false;
  if (!written) {
    store_fs_remove(tmp);
    return wh_err_set(err, err_size, "short write to %s", tmp);
  }

  // rename replaces the old file in one step, so there is never a moment
  // without a store, and a failed rename leaves the old file as it was.
  if (wh_store_rename(tmp, path) != 0) {
    int e = errno;
    store_fs_remove(tmp);
    return wh_err_set(err, err_size, "cannot replace %s: %s", path, strerror(e));
  }
  // Makes the rename itself durable. The new content is already in place, so
  // a failure here is not reported.
  store_fs_sync_dir(path);
  return 0;
}

int wh_store_update(const wh_store_change_fn &change, char *err, size_t err_size) {
  wh_err_clear(err, err_size);
  char path[WH_STORE_PATH_MAX];
  if (resolve_path(path, err, err_size) != 0) return -1;

  // A cycle inside a cycle would load a copy that the outer save then
  // overwrites, losing the inner change without a word.
  if (g_lock_depth > 0)
    return wh_err_set(err, err_size, "the store is already being changed by this caller");

  store_lock lock;
  if (lock.acquire(path, err, err_size) != 0) return -1;

  wh_store_ptr store = wh_store_new();
  if (!store) return wh_err_set(err, err_size, "out of memory");
  if (wh_store_load(store.get(), err, err_size) != 0) return -1;

  if (!change) return 0;
  wh_change decision = change(store.get(), err, err_size);
  if (decision == WH_CHANGE_FAILED) return -1;
  if (decision != WH_CHANGE_SAVE) return 0;
  return wh_store_save(store.get(), err, err_size);
}
