// The stores the benchmarks measure: 64 hooks with 16 headers each and 50 log
// entries, once with every text field filled to capacity and once with the
// sizes a real node would have.
#pragma once

#include <cstdio>
#include <cstring>

#include "wh_store.h"

namespace bench {

template <size_t N>
inline void fill_to_capacity(char (&field)[N], char c) {
  memset(field, c, N - 1);
  field[N - 1] = '\0';
}

inline void full_store(wh_store *s) {
  memset(s, 0, sizeof *s);
  s->hook_count = WH_MAX_HOOKS;
  for (int i = 0; i < WH_MAX_HOOKS; ++i) {
    wh_hook &h = s->hooks[i];
    fill_to_capacity(h.name, 'n');
    char id[8];
    snprintf(id, sizeof id, "hook-%02d", i);
    memcpy(h.name, id, 7);  // unique, and still 63 bytes long
    fill_to_capacity(h.url, 'u');
    memcpy(h.url, "https://relay.example/", 22);
    snprintf(h.method, sizeof h.method, "PATCH");
    fill_to_capacity(h.desc, 'd');
    snprintf(h.sig, sizeof h.sig, "v2");
    fill_to_capacity(h.secret, 's');
    h.header_count = WH_MAX_HEADERS;
    for (int j = 0; j < WH_MAX_HEADERS; ++j) {
      fill_to_capacity(h.headers[j].name, 'H');
      fill_to_capacity(h.headers[j].value, 'v');
    }
    // The owner's bounds: a limit of its own, ask first, and an example
    // that is one JSON string filling its field.
    h.limit_count = 100000;
    h.limit_per = 86400;
    h.confirm = true;
    fill_to_capacity(h.example, 'x');
    h.example[0] = h.example[sizeof h.example - 2] = '"';
    h.window_start = 1772323200;
    h.window_count = 99999;
  }
  s->log_count = WH_MAX_LOG;
  for (int i = 0; i < WH_MAX_LOG; ++i) {
    wh_log_entry &e = s->log[i];
    fill_to_capacity(e.at, '2');
    fill_to_capacity(e.name, 'n');
    e.status = 503;
    e.bytes = 4096;
    e.ms = 15000;
    fill_to_capacity(e.error, 'e');
  }
}

inline void realistic_store(wh_store *s) {
  memset(s, 0, sizeof *s);
  s->hook_count = WH_MAX_HOOKS;
  for (int i = 0; i < WH_MAX_HOOKS; ++i) {
    wh_hook &h = s->hooks[i];
    snprintf(h.name, sizeof h.name, "deploy-service-%02d", i);
    snprintf(h.url, sizeof h.url,
             "https://hooks.example.com/services/T0%05d/B0%05d/XXXXXXXXXXXXXXXXXXXXXXXX", i, i);
    snprintf(h.method, sizeof h.method, "POST");
    snprintf(h.desc, sizeof h.desc,
             "Tell the team channel when build %d finishes \xe2\x80\x94 \"prod\" only", i);
    snprintf(h.sig, sizeof h.sig, "github");
    snprintf(h.secret, sizeof h.secret, "whsec_%040d", i);
    h.header_count = WH_MAX_HEADERS;
    for (int j = 0; j < WH_MAX_HEADERS; ++j) {
      snprintf(h.headers[j].name, sizeof h.headers[j].name, "X-Custom-Header-%d", j);
      snprintf(h.headers[j].value, sizeof h.headers[j].value,
               "Bearer eyJhbGciOiJIUzI1NiJ9.%032d.sig", i * 100 + j);
    }
    // The default limit, counted this hour; an example on every hook, and
    // every fourth asks first.
    h.window_start = 1772323200;
    h.window_count = i % 30;
    h.confirm = i % 4 == 0;
    snprintf(h.example, sizeof h.example,
             "{\"text\": \"Build %d finished\", \"channel\": \"#releases\", \"status\": \"ok\"}",
             i);
  }
  s->log_count = WH_MAX_LOG;
  for (int i = 0; i < WH_MAX_LOG; ++i) {
    wh_log_entry &e = s->log[i];
    snprintf(e.at, sizeof e.at, "2025-03-01T12:%02d:%02dZ", i % 60, i % 60);
    snprintf(e.name, sizeof e.name, "deploy-service-%02d", i % WH_MAX_HOOKS);
    e.status = i % 7 ? 200 : 0;
    e.ok = i % 7 ? 1 : 0;
    e.bytes = i % 7 ? 2 : 0;
    e.ms = 120 + i;
    if (!e.ok) snprintf(e.error, sizeof e.error, "request failed: timed out");
  }
}

}  // namespace bench
