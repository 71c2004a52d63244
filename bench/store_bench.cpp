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

#include "bench_stores.h"
#include "wh_store.h"

namespace {

using clock_type = std::chrono::steady_clock;

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
  char err[WH_ERR_CAP];

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
         static_cast<double>(size) / 1048576.0);
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

  run_case("full-capacity", bench::full_store, path, runs);
  run_case("realistic", bench::realistic_store, path, runs);

  nftw(
      tmpl.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); },
      8, FTW_DEPTH | FTW_PHYS);
  return 0;
}
