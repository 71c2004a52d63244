// Writes the benchmark stores into a folder, for profiling a single run by
// hand (callgrind, perf):
//
//   bench_make_stores DIR      -> DIR/full/hooks.json, DIR/realistic/hooks.json
//
//   WEBHOOK_STORE_PATH=DIR/realistic/hooks.json QUERY_STRING=action=list
//     valgrind --tool=callgrind build/vavode_deveruz
#include <cstdio>
#include <memory>
#include <string>

#include "bench_stores.h"
#include "wh_store.h"

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  auto store = std::make_unique<wh_store>();
  char err[WH_ERR_CAP];
  struct kind {
    const char *name;
    void (*make)(wh_store *);
  };
  for (kind k : {kind{"full", bench::full_store}, kind{"realistic", bench::realistic_store}}) {
    const char *name = k.name;
    auto make = k.make;
    make(store.get());
    std::string path = std::string(argv[1]) + "/" + name + "/hooks.json";
    setenv("WEBHOOK_STORE_PATH", path.c_str(), 1);
    if (wh_store_save(store.get(), err, sizeof err) != 0) {
      fprintf(stderr, "%s\n", err);
      return 1;
    }
    printf("%s\n", path.c_str());
  }
  return 0;
}
