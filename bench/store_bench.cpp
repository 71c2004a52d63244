// Load and save times of a full hook store (64 hooks with 16 headers each and
// 50 log entries), with every text field filled to capacity and with sizes a
// real node would have. Works in a temporary folder, never the user's store.
#include <ftw.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "wh_store.h"

namespace {

using clock_type = std::chrono::steady_clock;

template <size_t N>
void fill_to_capacity(char (&field)[N], char c) {
  memset(field, c, N - 1);
  field[N - 1] = '\0';
}

void full_store(wh_store *s) {
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

void realistic_store(wh_store *s) {
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

struct figures {
  double median_ms, min_ms, max_ms;
};

template <class Fn>
figures time_runs(int runs, Fn fn) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    auto t0 = clock_type::now();
    if (!fn()) {
      fprintf(stderr, "operation failed\n");
      exit(1);
    }
    ms.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms.front(), ms.back()};
}

long file_size(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

void run_case(const char *label, void (*make)(wh_store *), const std::string &path, int runs) {
  auto store = std::make_unique<wh_store>();
  auto loaded = std::make_unique<wh_store>();
  make(store.get());
  char err[320];

  figures save =
      time_runs(runs, [&]() { return wh_store_save(store.get(), err, sizeof err) == 0; });
  long size = file_size(path);  // before the cycles below add their log entries
  figures load =
      time_runs(runs, [&]() { return wh_store_load(loaded.get(), err, sizeof err) == 0; });
  figures cycle = time_runs(runs, [&]() {
    return wh_store_update(
               [](wh_store *s, char *, size_t) {
                 wh_log_entry e{};
                 snprintf(e.name, sizeof e.name, "%s", s->hooks[0].name);
                 wh_store_log_add(s, &e);
                 return WH_CHANGE_SAVE;
               },
               err, sizeof err) == 0;
  });

  printf("%s store: %d hooks x %d headers, %d log entries; file %ld bytes (%.2f MiB)\n", label,
         loaded->hook_count, loaded->hooks[0].header_count, loaded->log_count, size,
         size / 1048576.0);
  printf("  load                           median %8.3f ms  (min %.3f, max %.3f) over %d runs\n",
         load.median_ms, load.min_ms, load.max_ms, runs);
  printf("  save (write, fsync, rename)    median %8.3f ms  (min %.3f, max %.3f)\n", save.median_ms,
         save.min_ms, save.max_ms);
  printf("  locked cycle (log a delivery)  median %8.3f ms  (min %.3f, max %.3f)\n",
         cycle.median_ms, cycle.min_ms, cycle.max_ms);
  printf("  in-memory record: %zu bytes\n", sizeof(wh_store));
}

}  // namespace

int main(int argc, char **argv) {
  int runs = argc > 1 ? atoi(argv[1]) : 50;
  if (runs < 1) runs = 1;
  const char *base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vd_store_bench_XXXXXX";
  if (!mkdtemp(tmpl.data())) {
    perror("mkdtemp");
    return 1;
  }
  std::string path = tmpl + "/hooks.json";
  setenv("WEBHOOK_STORE_PATH", path.c_str(), 1);

  run_case("full-capacity", full_store, path, runs);
  run_case("realistic", realistic_store, path, runs);

  nftw(
      tmpl.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); },
      8, FTW_DEPTH | FTW_PHYS);
  return 0;
}
