// One stored webhook as a fixed-size record. Text longer than a field is cut,
// never refused; the rules an edit must pass are in wh_hook_view.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wh_err.h"

inline constexpr int WH_MAX_HEADERS = 16;
// A payload example's text, terminator included: 4 KiB of JSON.
inline constexpr size_t WH_EXAMPLE_CAP = 4097;

struct wh_header {
  char name[128];
  char value[1024];  // a credential: never shown to callers
};

struct wh_hook {
  char name[64];
  char url[2048];
  char method[8];
  char desc[200];
  wh_header headers[WH_MAX_HEADERS];
  int header_count;
  char sig[16];           // "", or a scheme of wh_sign.h
  char secret[256];       // a credential: never shown to callers
  char prev_secret[256];  // the secret before a rotation (wh_sign.h); a credential too
  int64_t prev_until;     // unix seconds: when prev_secret stops signing

  // The owner's bounds on the model (wh_limit.h holds the limit's rule); 4.1 KB
  // of the record. A zeroed block is a hook without any of its own: the
  // default limit, no question asked, no example, nothing counted. Ordered so
  // that no padding falls between the fields.
  int limit_count;               // 0: the default; -1: none; else its own count
  int64_t window_start;          // UTC second at which the counted window began
  int limit_per;                 // with a count of its own: the window, in seconds
  int window_count;              // the model's triggers counted in that window
  bool confirm;                  // the model's trigger waits for the owner's approval
  char example[WH_EXAMPLE_CAP];  // a JSON text the model is told to follow; "" for none
};

// A header name is one HTTP token: visible ASCII without separators, so no
// space, tab, colon or line break can reshape the request it goes into.
bool wh_header_name_ok(const char *name);

// Sets a header's name and value, each cut to its field as wh_field_copy
// cuts.
void wh_header_set(wh_header *h, const char *name, const char *value);

// Copies outside text into a fixed field: byte for byte up to cap - 1 bytes,
// then terminated; longer text is cut (even inside a UTF-8 character). A
// null src gives the empty string. cap 0 writes nothing.
void wh_field_copy(char *dst, size_t cap, const char *src);
template <size_t N>
inline void wh_field_copy(char (&dst)[N], const char *src) {
  wh_field_copy(dst, N, src);
}
