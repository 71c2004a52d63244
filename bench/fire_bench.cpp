// Delivery cost inside one warm process: fire_hook against a local endpoint,
// libcurl already loaded, with a small and a 1 MiB github-signed payload. (The
// whole-process figures against curl, and the peak memory, are in bench/run's
// table.)
//
// Usage: bench_fire_bench [rounds]        (default 100)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_sink.h"
#include "fire.h"
#include "hook_builder.h"

namespace {

using clock_type = std::chrono::steady_clock;

std::string payload_of(size_t n) {
  if (n <= 2) return "{}";
  std::string p = "{\"d\":\"" + std::string(n - 8, 'x') + "\"}";
  return p;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  setenv("WEBHOOK_ALLOW_PRIVATE", "1", 1);
  int rounds = argc > 1 ? atoi(argv[1]) : 100;
  if (rounds < 1) rounds = 1;

  bench::sink_server server;
  std::string url = server.url("/bench");
  printf("fire_hook in one process, %d rounds, endpoint %s\n", rounds, url.c_str());
  auto hook = vdtest::make_hook(url, "POST", "github", "bench-secret", "bench");
  const wh_hook *h = hook.get();
  auto *r = static_cast<wh_fire_result *>(calloc(1, sizeof(wh_fire_result)));
  std::string small = "{}";
  fire_hook(h, small.data(), small.size(), "", r);  // loads libcurl
  for (size_t size : {size_t{2}, size_t{1048576}}) {
    std::string p = payload_of(size);
    std::vector<double> t;
    for (int i = 0; i < rounds; ++i) {
      auto t0 = clock_type::now();
      int rc = fire_hook(h, p.data(), p.size(), "", r);
      t.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - t0).count());
      if (rc != 0) {
        fprintf(stderr, "fire_hook failed: %s\n", r->error);
        return 1;
      }
    }
    printf("  %7zu-byte payload, github-signed: median %.3f ms\n", p.size(), median(t));
  }
  free(r);
  return 0;
}
