#include "wh_store.h"

#include <yyjson.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string_view>

#include "plat.h"
#include "raii.h"
#include "store_fs.h"
#include "wh_buf.h"
#include "wh_err.h"

namespace {

constexpr size_t kPathCap = 1024;
constexpr size_t kSidePathCap = 1100;  // the store path plus ".tmp" or ".lock"
constexpr uint64_t kMaxFileBytes = 4194304;
// A store file from which a load touches more of the record's pages than one
// huge page costs (about 16 hooks with their headers).
constexpr int64_t kHugeStoreFile = 16384;

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
int resolve_path(char (&path)[kPathCap], char *err, size_t err_size) {
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

// The values of the first members named keys[0..N-1] (null where there is
// none), found in one pass over the object's members: a store holds thousands
// of small objects, and a lookup per key would walk each object once a key.
template <size_t N>
void first_members(yyjson_val *obj, const std::string_view (&keys)[N], yyjson_val *(&out)[N]) {
  for (yyjson_val *&v : out) v = nullptr;
  size_t idx, max, found = 0;
  yyjson_val *key, *val;
  yyjson_obj_foreach(obj, idx, max, key, val) {
    std::string_view name(yyjson_get_str(key), yyjson_get_len(key));
    for (size_t i = 0; i < N; ++i) {
      if (name != keys[i]) continue;
      if (!out[i]) {  // only the first occurrence counts, whatever its type
        out[i] = val;
        if (++found == N) return;
      }
      break;
    }
  }
}

// A string member's text, or null for any other value (or none).
const char *text_of(yyjson_val *v) {
  return yyjson_is_str(v) ? yyjson_get_str(v) : nullptr;
}

// An integer member: the low 32 bits of a JSON integer, as signed. Numbers
// with a fraction or exponent, and integers beyond 64 bits (which the parser
// keeps as reals), give 0.
int int_of(yyjson_val *v) {
  uint64_t bits;
  if (yyjson_is_uint(v))
    bits = yyjson_get_uint(v);
  else if (yyjson_is_sint(v))
    bits = static_cast<uint64_t>(yyjson_get_sint(v));
  else
    return 0;
  return static_cast<int32_t>(static_cast<uint32_t>(bits));
}

constexpr std::string_view kHookKeys[] = {"name", "url",    "method", "desc",
                                          "sig",  "secret", "headers"};
constexpr std::string_view kHeaderKeys[] = {"name", "value"};
constexpr std::string_view kLogKeys[] = {"at", "name", "status", "ok", "bytes", "ms", "error"};

// Fills a slot whatever it held before: every field gets its text and its
// terminator, and the header count starts from 0.
void read_hook(yyjson_val *obj, wh_hook *h) {
  yyjson_val *m[std::size(kHookKeys)];
  first_members(obj, kHookKeys, m);
  h->header_count = 0;
  wh_field_copy(h->name, text_of(m[0]));
  wh_field_copy(h->url, text_of(m[1]));
  wh_field_copy(h->method, text_of(m[2]));
  if (h->method[0] == '\0') wh_field_copy(h->method, "POST");
  wh_field_copy(h->desc, text_of(m[3]));
  wh_field_copy(h->sig, text_of(m[4]));
  wh_field_copy(h->secret, text_of(m[5]));

  yyjson_val *headers = m[6];
  if (!yyjson_is_arr(headers)) return;
  size_t i, n;
  yyjson_val *el;
  yyjson_arr_foreach(headers, i, n, el) {
    if (h->header_count >= WH_MAX_HEADERS) break;
    if (!yyjson_is_obj(el)) continue;
    yyjson_val *hm[std::size(kHeaderKeys)];
    first_members(el, kHeaderKeys, hm);
    wh_header &slot = h->headers[h->header_count];
    wh_field_copy(slot.name, text_of(hm[0]));
    if (slot.name[0] == '\0') continue;  // unnamed headers take no slot
    wh_field_copy(slot.value, text_of(hm[1]));
    ++h->header_count;
  }
}

// Fills a slot whatever it held before: every field is set.
void read_log_entry(yyjson_val *obj, wh_log_entry *e) {
  yyjson_val *m[std::size(kLogKeys)];
  first_members(obj, kLogKeys, m);
  wh_field_copy(e->at, text_of(m[0]));
  wh_field_copy(e->name, text_of(m[1]));
  e->status = int_of(m[2]);
  e->ok = yyjson_is_true(m[3]) ? 1 : 0;
  e->bytes = int_of(m[4]);
  e->ms = int_of(m[5]);
  wh_field_copy(e->error, text_of(m[6]));
}

void fill_store(yyjson_val *root, wh_store *store) {
  if (!yyjson_is_obj(root)) return;
  size_t i, n;
  yyjson_val *el;

  yyjson_val *hooks = yyjson_obj_get(root, "hooks");
  if (yyjson_is_arr(hooks)) {
    yyjson_arr_foreach(hooks, i, n, el) {
      if (store->hook_count >= WH_MAX_HOOKS) break;
      if (!yyjson_is_obj(el)) continue;
      // An unnamed element's slot is filled again by the next one.
      wh_hook *slot = &store->hooks[store->hook_count];
      read_hook(el, slot);
      if (slot->name[0]) ++store->hook_count;
    }
  }

  yyjson_val *log = yyjson_obj_get(root, "log");
  if (yyjson_is_arr(log)) {
    yyjson_arr_foreach(log, i, n, el) {
      if (store->log_count >= WH_MAX_LOG) break;
      if (!yyjson_is_obj(el)) continue;
      wh_log_entry *slot = &store->log[store->log_count];
      read_log_entry(el, slot);
      if (slot->name[0]) ++store->log_count;
    }
  }
}

// What fill_store and then wh_hook_find would give for `name`, without
// filling any other slot: the first hook in use (named, among the first
// WH_MAX_HOOKS named ones) whose name, cut to its field, equals `name`.
bool find_hook(yyjson_val *root, std::string_view name, wh_hook *hook) {
  yyjson_val *hooks = yyjson_is_obj(root) ? yyjson_obj_get(root, "hooks") : nullptr;
  if (!yyjson_is_arr(hooks)) return false;
  int counted = 0;
  size_t i, n;
  yyjson_val *el;
  yyjson_arr_foreach(hooks, i, n, el) {
    if (counted >= WH_MAX_HOOKS) break;
    if (!yyjson_is_obj(el)) continue;
    const char *text = text_of(yyjson_obj_get(el, "name"));
    size_t len = text ? strnlen(text, sizeof hook->name - 1) : 0;
    if (len == 0) continue;  // unnamed: takes no slot
    ++counted;
    if (std::string_view(text, len) != name) continue;
    read_hook(el, hook);
    return true;
  }
  return false;
}

// Reads and parses the store file and hands its root to fill; a missing file
// is an empty store, and fill is not called. 0, or -1 with the reason in err.
template <class Fill>
int load_parsed(char *err, size_t err_size, Fill fill) {
  char path[kPathCap];
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

// Writes a field as a JSON string. Fields are cut by bytes, so one may end in
// part of a character; the file is read back as strict JSON, which refuses
// such bytes, and one of them would make the whole store unloadable. Bytes
// that are not well-formed UTF-8 are therefore left out; all others are
// written unchanged.
template <size_t N>
void write_text(wh_buf *b, const char (&field)[N]) {
  const auto *s = reinterpret_cast<const unsigned char *>(field);
  size_t len = strnlen(field, N - 1);
  if (field[len] == '\0' && wh_buf_json_ascii(b, field, len)) return;  // most fields
  if (wh_utf8_prefix(field, len) == len && field[len] == '\0') {
    wh_buf_json_str(b, field);
    return;
  }
  char clean[N];
  size_t out = 0;
  for (size_t i = 0; i < len;) {
    size_t n = wh_utf8_char_len(s + i, len - i);
    if (n == 0) {
      ++i;
      continue;
    }
    memcpy(clean + out, s + i, n);
    out += n;
    i += n;
  }
  clean[out] = '\0';
  wh_buf_json_str(b, clean);
}

void write_store(wh_buf *b, const wh_store *s) {
  wh_buf_lit(b, "{\"version\":1,\"hooks\":[");
  for (int i = 0; i < s->hook_count && i < WH_MAX_HOOKS; ++i) {
    const wh_hook &h = s->hooks[i];
    if (i) wh_buf_lit(b, ",");
    wh_buf_lit(b, "{\"name\":");
    write_text(b, h.name);
    wh_buf_lit(b, ",\"url\":");
    write_text(b, h.url);
    wh_buf_lit(b, ",\"method\":");
    write_text(b, h.method);
    wh_buf_lit(b, ",\"desc\":");
    write_text(b, h.desc);
    wh_buf_lit(b, ",\"sig\":");
    write_text(b, h.sig);
    wh_buf_lit(b, ",\"secret\":");
    write_text(b, h.secret);
    wh_buf_lit(b, ",\"headers\":[");
    for (int j = 0; j < h.header_count && j < WH_MAX_HEADERS; ++j) {
      if (j) wh_buf_lit(b, ",");
      wh_buf_lit(b, "{\"name\":");
      write_text(b, h.headers[j].name);
      wh_buf_lit(b, ",\"value\":");
      write_text(b, h.headers[j].value);
      wh_buf_lit(b, "}");
    }
    wh_buf_lit(b, "]}");
  }
  wh_buf_lit(b, "],\"log\":[");
  for (int i = 0; i < s->log_count && i < WH_MAX_LOG; ++i) {
    const wh_log_entry &e = s->log[i];
    if (i) wh_buf_lit(b, ",");
    wh_buf_lit(b, "{\"at\":");
    write_text(b, e.at);
    wh_buf_lit(b, ",\"name\":");
    write_text(b, e.name);
    wh_log_numbers_write(b, &e);
    write_text(b, e.error);
    wh_buf_lit(b, "}");
  }
  wh_buf_lit(b, "]}");
}

}  // namespace

int wh_store_path(char *buf, size_t size) {
  const char *v = plat_env("WEBHOOK_STORE_PATH");
  if (v && *v) return snprintf(buf, size, "%s", v);
  return store_fs_default_path(buf, size);
}

wh_store_ptr wh_store_new() {
  // A load fills only the slots in use: a store of a few hooks touches a few
  // of the record's pages, cheaper to fault in one by one than zeroing a
  // whole huge page for them. The file's size tells which (a hint only).
  char path[kPathCap];
  bool big = resolve_path(path, nullptr, 0) == 0 && store_fs_size(path) >= kHugeStoreFile;
  return wh_store_ptr(static_cast<wh_store *>(plat_pages_map(sizeof(wh_store), big)));
}

void wh_store_release::operator()(wh_store *store) const {
  plat_pages_unmap(store, sizeof(wh_store));
}

int wh_store_load(wh_store *store, char *err, size_t err_size) {
  wh_err_clear(err, err_size);
  if (!store) return wh_err_set(err, err_size, "out of memory");
  // Emptied by its counts alone: zeroing the whole 1.3 MB record would cost a
  // list more than parsing a realistic store. What an earlier load left stays
  // out of sight: every slot counted below has each field written (text and
  // terminator) and its header count set, and nothing reads past a count or
  // a field's terminator.
  store->hook_count = 0;
  store->log_count = 0;
  return load_parsed(err, err_size, [store](yyjson_val *root) { fill_store(root, store); });
}

int wh_store_load_hook(const char *name, wh_hook *hook, char *err, size_t err_size) {
  wh_err_clear(err, err_size);
  if (!hook) return wh_err_set(err, err_size, "out of memory");
  bool found = false;
  std::string_view want(name ? name : "");
  if (load_parsed(err, err_size, [&](yyjson_val *root) { found = find_hook(root, want, hook); }))
    return -1;
  return found ? 1 : 0;
}

int wh_store_save(const wh_store *store, char *err, size_t err_size) {
  wh_err_clear(err, err_size);
  if (!store) return wh_err_set(err, err_size, "out of memory");
  char path[kPathCap];
  if (resolve_path(path, err, err_size) != 0) return -1;

  wh_text text;
  write_store(&text, store);
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

void wh_log_numbers_write(wh_buf *b, const wh_log_entry *e) {
  wh_buf_lit(b, ",\"status\":");
  wh_buf_long(b, e->status);
  if (e->ok)
    wh_buf_lit(b, ",\"ok\":true,\"bytes\":");
  else
    wh_buf_lit(b, ",\"ok\":false,\"bytes\":");
  wh_buf_long(b, e->bytes);
  wh_buf_lit(b, ",\"ms\":");
  wh_buf_long(b, e->ms);
  wh_buf_lit(b, ",\"error\":");
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

int wh_store_update(const wh_store_change_fn &change, char *err, size_t err_size) {
  wh_err_clear(err, err_size);
  char path[kPathCap];
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
