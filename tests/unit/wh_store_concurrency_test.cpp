// Several processes on one store file: no change is lost, and no reader ever
// sees a missing, empty or half-written file, even when a writer is killed.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <string>

#include "forked.h"
#include "store_env.h"
#include "wh_store.h"

namespace {

// "w<writer>-<index>", formatted rather than joined with "+": GCC 12 at -O3
// warns falsely on a short literal plus a std::string.
std::string writer_hook(int w, int i) {
  char name[32];
  snprintf(name, sizeof name, "w%d-%d", w, i);
  return name;
}

// State shared between the test and its child processes.
struct shared_state {
  std::atomic<int> go;
  std::atomic<int> stop;
  std::atomic<long> reads;
  std::atomic<long> saves;
  std::atomic<int> problems;
  char first_problem[256];
};

class shared_block {
 public:
  shared_block() {
    void *p = mmap(nullptr, sizeof(shared_state), PROT_READ | PROT_WRITE,
                   MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED) state_ = new (p) shared_state{};
  }
  ~shared_block() {
    if (state_) munmap(state_, sizeof(shared_state));
  }
  shared_state *operator->() const { return state_; }
  explicit operator bool() const { return state_ != nullptr; }

 private:
  shared_state *state_ = nullptr;
};

void note_problem(shared_state *s, const std::string &what) {
  if (s->problems.fetch_add(1) == 0)
    snprintf(s->first_problem, sizeof s->first_problem, "%s", what.c_str());
}

using vdtest::fork_run;
using vdtest::wait_forked;

class WhStoreProcesses : public StoreEnv {};

TEST_F(WhStoreProcesses, EightWritersLoseNothingAndReadersAlwaysSeeAWholeFile) {
  shared_block shared;
  ASSERT_TRUE(shared);
  {
    auto empty = new_store();
    char err[WH_ERR_CAP];
    ASSERT_EQ(wh_store_save(empty.get(), err, sizeof err), 0) << err;
  }
  const std::string file = path;

  // The reader: every load succeeds on an existing file, and since writers
  // only add, the number of hooks never goes down.
  pid_t reader = fork_run([&]() {
    auto s = std::make_unique<wh_store>();
    int last = 0;
    char err[WH_ERR_CAP];
    while (!shared->stop.load()) {
      struct stat st;
      if (stat(file.c_str(), &st) != 0) note_problem(shared.operator->(), "store file missing");
      if (wh_store_load(s.get(), err, sizeof err) != 0)
        note_problem(shared.operator->(), err);
      else if (s->hook_count < last)
        note_problem(shared.operator->(), "hook count went down");
      else
        last = s->hook_count;
      shared->reads.fetch_add(1);
    }
    return 0;
  });

  std::vector<pid_t> writers;
  for (int w = 0; w < 8; ++w) {
    writers.push_back(fork_run([&, w]() {
      while (!shared->go.load()) sched_yield();
      int failures = 0;
      for (int i = 0; i < 8; ++i) {
        char err[WH_ERR_CAP];
        std::string name = writer_hook(w, i);
        int rc = wh_store_update(
            [&](wh_store *s, char *e, size_t n) {
              if (s->hook_count >= WH_MAX_HOOKS) {
                snprintf(e, n, "full");
                return WH_CHANGE_FAILED;
              }
              add_hook(s, name, "https://relay.example/x");
              return WH_CHANGE_SAVE;
            },
            err, sizeof err);
        if (rc != 0) {
          note_problem(shared.operator->(), name + ": " + err);
          ++failures;
        }
      }
      return failures;
    }));
  }
  shared->go.store(1);
  for (pid_t p : writers) {
    int st = wait_forked(p);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "writer status " << st;
  }
  shared->stop.store(1);
  int rst = wait_forked(reader);
  EXPECT_TRUE(WIFEXITED(rst) && WEXITSTATUS(rst) == 0);

  EXPECT_EQ(shared->problems.load(), 0) << shared->first_problem;
  EXPECT_GT(shared->reads.load(), 0);

  auto s = new_store();
  char err[WH_ERR_CAP];
  ASSERT_EQ(wh_store_load(s.get(), err, sizeof err), 0) << err;
  ASSERT_EQ(s->hook_count, 64) << "no writer's hook is lost";
  std::set<std::string> names;
  for (int i = 0; i < s->hook_count; ++i) names.insert(s->hooks[i].name);
  for (int w = 0; w < 8; ++w)
    for (int i = 0; i < 8; ++i) EXPECT_TRUE(names.count(writer_hook(w, i)));
  // A writer's own hooks keep the order it added them in.
  int seen = -1;
  for (int i = 0; i < s->hook_count; ++i) {
    if (strncmp(s->hooks[i].name, "w3-", 3) != 0) continue;
    int k = atoi(s->hooks[i].name + 3);
    EXPECT_GT(k, seen);
    seen = k;
  }
}

// Generation g of the store: 1 + g % 64 hooks, each stamped with g and padded
// so that a save takes long enough to be interrupted part way.
void fill_generation(wh_store *s, long g) {
  memset(s, 0, sizeof *s);
  s->hook_count = 1 + static_cast<int>(g % WH_MAX_HOOKS);
  for (int i = 0; i < s->hook_count; ++i) {
    wh_hook &h = s->hooks[i];
    snprintf(h.name, sizeof h.name, "hook-%d", i);
    snprintf(h.desc, sizeof h.desc, "gen %ld", g);
    snprintf(h.url, sizeof h.url, "https://relay.example/%s", std::string(1800, 'u').c_str());
    wh_field_copy(h.method, "POST");
    h.header_count = 4;
    for (int j = 0; j < 4; ++j) {
      snprintf(h.headers[j].name, sizeof h.headers[j].name, "X-%d", j);
      memset(h.headers[j].value, 'v', 1000);
    }
  }
}

TEST_F(WhStoreProcesses, KilledWriterLeavesTheOldOrTheNewFile) {
  shared_block shared;
  ASSERT_TRUE(shared);
  auto s = new_store();
  char err[WH_ERR_CAP];
  fill_generation(s.get(), 0);
  ASSERT_EQ(wh_store_save(s.get(), err, sizeof err), 0) << err;

  std::mt19937 rng(12345);
  long next_gen = 1;
  long prev_gen = 0;
  std::set<long> generations_seen;
  const int kKills = 40;
  for (int round = 0; round < kKills; ++round) {
    shared->saves.store(0);
    long start = next_gen;
    pid_t child = fork_run([&]() {
      auto c = std::make_unique<wh_store>();
      char e[WH_ERR_CAP];
      for (long g = start; g < start + 100000; ++g) {
        fill_generation(c.get(), g);
        if (wh_store_save(c.get(), e, sizeof e) != 0) return 1;
        shared->saves.fetch_add(1);
      }
      return 0;
    });
    // Most rounds let a save or two finish first, then kill at a random
    // moment; a few kill at once.
    if (round % 4 != 0) {
      while (shared->saves.load() < 1) usleep(100);
    }
    usleep(static_cast<useconds_t>(rng() % 6000));
    kill(child, SIGKILL);
    int st = wait_forked(child);
    ASSERT_TRUE(WIFSIGNALED(st)) << "the writer stopped by itself (status " << st << ")";

    ASSERT_TRUE(file_exists(path)) << "round " << round;
    ASSERT_EQ(wh_store_load(s.get(), err, sizeof err), 0) << "round " << round << ": " << err;
    long g = -1;
    ASSERT_EQ(sscanf(s->hooks[0].desc, "gen %ld", &g), 1) << "round " << round;
    EXPECT_EQ(s->hook_count, 1 + static_cast<int>(g % WH_MAX_HOOKS)) << "round " << round;
    for (int i = 0; i < s->hook_count; ++i) {
      EXPECT_STREQ(s->hooks[i].desc, s->hooks[0].desc) << "one generation only";
      EXPECT_EQ(strlen(s->hooks[i].headers[3].value), 1000u);
    }
    // The file is the one from before this writer, or one this writer
    // finished (the last possibly renamed just before its count went up).
    long done = shared->saves.load();
    EXPECT_TRUE(g == prev_gen || (g >= start && g <= start + done))
        << "round " << round << ": generation " << g << ", before " << prev_gen << ", saved "
        << start << ".." << start + done;
    generations_seen.insert(g);
    prev_gen = g;
    next_gen = start + done + 1;
  }
  EXPECT_GT(generations_seen.size(), 1u) << "the writers made progress between kills";
}

}  // namespace
