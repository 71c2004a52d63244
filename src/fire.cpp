#include "fire.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "plat.h"
#include "raii.h"
#include "wh_escape.h"
#include "wh_http.h"
#include "wh_scrub.h"
#include "wh_sign.h"
#include "wh_store.h"
#include "wh_url.h"

namespace {

constexpr size_t kUrlText = 2560;
constexpr int kListCapacity = WH_MAX_HEADERS + 1 + WH_SIGN_HEADERS_MAX;  // stored, type, signature
static_assert(kListCapacity <= 20);
constexpr size_t kUrlErr = 256;

// Everything one firing works with; about 30 KB, so it lives on the heap.
struct fire_work {
  char url_text[kUrlText];
  wh_url url;
  wh_header headers[kListCapacity];
  wh_header sig[WH_SIGN_HEADERS_MAX];
  wh_response response;
  char header_text[WH_HTTP_HEADER_TEXT];
};

// The hook's URL with the caller's query, parsed into work->url: the query
// goes on unchanged, after "&" when the URL already has a "?". -1 with the
// reason in result.
int target_url(const wh_hook *hook, const char *query, fire_work *work, wh_fire_result *result) {
  char *url_text = work->url_text;
  snprintf(url_text, kUrlText, "%s", hook->url);
  size_t url_len = strlen(url_text);
  if (query && query[0] && url_len < kUrlText - 1) {
    snprintf(url_text + url_len, kUrlText - url_len, "%s%s", strchr(url_text, '?') ? "&" : "?",
             query);
  }
  char url_err[kUrlErr];
  if (wh_url_parse(url_text, &work->url, url_err, sizeof url_err) != 0) {
    snprintf(result->error, sizeof result->error, "%s", url_err);
    return -1;
  }
  return 0;
}

// The stored headers, then the default content type unless one is stored (or
// a GET has nothing to type); returns how many are in work->headers.
int stored_headers(const wh_hook *hook, size_t payload_len, bool is_get, fire_work *work) {
  int count = 0;
  int stored = hook->header_count < 0 ? 0 : hook->header_count;
  if (stored > WH_MAX_HEADERS) stored = WH_MAX_HEADERS;
  bool has_type = false;
  for (int i = 0; i < stored; ++i) {
    work->headers[count++] = hook->headers[i];
    if (ieq(hook->headers[i].name, "Content-Type")) has_type = true;
  }
  if (!has_type && !(payload_len == 0 && is_get))
    wh_header_set(&work->headers[count++], "Content-Type", "application/json; charset=utf-8");
  return count;
}

}  // namespace

int fire_hook(const wh_hook *hook, const void *payload, size_t payload_len, const char *query,
              wh_fire_result *result) {
  memset(result, 0, sizeof *result);
  std::unique_ptr<fire_work, heap_free> work(
      static_cast<fire_work *>(calloc(1, sizeof(fire_work))));
  if (!work) {
    snprintf(result->error, sizeof result->error, "out of memory");
    return -1;
  }

  if (target_url(hook, query, work.get(), result) != 0) return -1;
  bool is_get = strcmp(hook->method, "GET") == 0;
  bool is_head = strcmp(hook->method, "HEAD") == 0;
  int count = stored_headers(hook, payload_len, is_get, work.get());

  bool body_sent = !is_get && !is_head;
  char sign_err[WH_SIGN_ERR_CAP];
  wh_sign_stamp stamp;
  int signed_count =
      wh_sign_stamp_now(hook, &stamp, sign_err) == 0
          ? sign_request(hook, &stamp, payload, payload_len, body_sent, work->sig, sign_err)
          : -1;
  if (signed_count < 0) {
    snprintf(result->error, sizeof result->error, "%s", sign_err);
    return -1;
  }
  for (int i = 0; i < signed_count; ++i) work->headers[count++] = work->sig[i];
  wh_field_copy(result->message_id, stamp.id);

  const void *body = body_sent ? payload : nullptr;
  uint64_t body_len = body_sent ? payload_len : 0;
  // The signature headers come last; where the stored headers fill the
  // header text's budget they would be left out, and the request would go
  // out unsigned. It does not go out at all.
  int taken = 0;
  wh_http_header_text(&work->url, hook->method, work->headers, count, body_len, work->header_text,
                      &taken);
  if (signed_count > 0 && taken < count) {
    snprintf(result->error, sizeof result->error, "%s",
             "the stored headers fill the request's header text and would leave out the "
             "signature; shorten them. Nothing was sent");
    return -1;
  }

  int64_t start = plat_now_ms();
  wh_response *r = &work->response;
  int rc = wh_http_request(hook->method, &work->url, work->headers, count, body, body_len, r);
  result->elapsed_ms = static_cast<int>(plat_now_ms() - start);
  if (rc != 0) {
    snprintf(result->error, sizeof result->error, "%s", r->error);
    return -1;
  }
  result->ok = 1;
  result->status = r->status;
  // The preview's length and flag describe the endpoint's own answer; its
  // text is what remains once the hook's credentials are hidden.
  result->body_len = r->body_len > WH_HTTP_PREVIEW ? WH_HTTP_PREVIEW : r->body_len;
  result->truncated = r->truncated;
  wh_scrub(hook, r->body, r->body_len, r->body_len < WH_HTTP_CAPTURE, result->body,
           sizeof result->body);
  return 0;
}

void iso_time(int64_t t, char buf[24]) {
  tm utc{};
  if (!plat_utc(t, &utc) || strftime(buf, 24, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0) buf[0] = '\0';
}

void iso_now(char buf[24]) {
  iso_time(plat_time(), buf);
}

void fire_log(const char *name, const wh_fire_result *result) {
  wh_log_entry entry{};
  iso_now(entry.at);
  wh_field_copy(entry.name, name);
  entry.status = result->status;
  entry.ok = wh_status_ok(result->status);
  entry.bytes = static_cast<int>(result->body_len);
  entry.ms = result->elapsed_ms;
  wh_field_copy(entry.error, result->error);
  wh_field_copy(entry.message_id, result->message_id);
  char err[WH_ERR_CAP];
  wh_store_update(
      [&entry](wh_store *s, char *, size_t) {
        wh_store_log_add(s, &entry);
        return WH_CHANGE_SAVE;
      },
      err, sizeof err);
}
