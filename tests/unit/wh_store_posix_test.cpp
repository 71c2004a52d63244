// The store's POSIX behaviour: the environment's path order, file modes
// whatever the umask, FIFOs, a file only another user could read, the sync
// order, and the system's error numbers in the messages.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "store_fs.h"
#include "wh_store.h"
#include "wh_store_fixture.h"

namespace {

mode_t mode_of(const std::string &p) {
  struct stat st;
  EXPECT_EQ(stat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

// Runs fn in a child process and returns what it returned, or "(hung)" when
// it has not finished within 5 s. With `unprivileged`, a test running as root
// runs fn as the user nobody (root reads any file, whatever its mode).
std::string in_child(const std::function<std::string()> &fn, bool unprivileged = false) {
  int p[2];
  if (pipe(p) != 0) return "(no pipe)";
  pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    std::string r;
    if (unprivileged && !become_nobody()) {
      r = "(cannot become nobody)";
    } else {
      prctl(PR_SET_DUMPABLE, 1);  // keeps /proc/self readable for the sanitizers
      r = fn();
    }
    (void)!write(p[1], r.data(), r.size());
    _exit(0);
  }
  close(p[1]);
  std::string out = "(hung)";
  pollfd pf = {p[0], POLLIN, 0};
  if (pid > 0 && poll(&pf, 1, 5000) == 1) {
    char buf[512];
    ssize_t n = read(p[0], buf, sizeof buf);
    out.assign(buf, n > 0 ? static_cast<size_t>(n) : 0);
  }
  close(p[0]);
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  return out;
}

// Load, then a locked update that would save, as one line for in_child.
std::string load_and_update() {
  auto s = std::make_unique<wh_store>();
  char err[320], uerr[320];
  int rc = wh_store_load(s.get(), err, sizeof err);
  bool called = false;
  int urc = wh_store_update(
      [&](wh_store *, char *, size_t) {
        called = true;
        return WH_CHANGE_SAVE;
      },
      uerr, sizeof uerr);
  return std::to_string(rc) + " " + err + " (" + std::to_string(s->hook_count) + " hooks); " +
         std::to_string(urc) + " " + uerr + (called ? " (changed)" : "");
}

// ---- location ----

TEST_F(WhStore, PathOrderOfTheEnvironment) {
  char buf[1024];
  const std::string tail = "kestrune/connectors/vavode_deveruz/hooks.json";
  setenv("LOCALAPPDATA", "/la", 1);
  setenv("XDG_DATA_HOME", "/xdg", 1);
  setenv("HOME", "/home/u", 1);
  setenv("USERPROFILE", "/up", 1);
  EXPECT_EQ(wh_store_path(buf, sizeof buf), static_cast<int>(path.size()));
  EXPECT_EQ(std::string(buf), path);

  setenv("WEBHOOK_STORE_PATH", "", 1);
  wh_store_path(buf, sizeof buf);
  EXPECT_EQ(std::string(buf), "/la/" + tail) << "an empty override is ignored";
  unsetenv("WEBHOOK_STORE_PATH");
  setenv("LOCALAPPDATA", "", 1);
  wh_store_path(buf, sizeof buf);
  EXPECT_EQ(std::string(buf), "/xdg/" + tail);
  unsetenv("XDG_DATA_HOME");
  wh_store_path(buf, sizeof buf);
  EXPECT_EQ(std::string(buf), "/home/u/.local/share/" + tail);
  unsetenv("HOME");
  wh_store_path(buf, sizeof buf);
  EXPECT_EQ(std::string(buf), "/up/." + tail);
  unsetenv("USERPROFILE");
  unsetenv("LOCALAPPDATA");
  EXPECT_EQ(wh_store_path(buf, sizeof buf), 10);
  EXPECT_STREQ(buf, "hooks.json");

  // Cut to the buffer; the full length is returned.
  setenv("WEBHOOK_STORE_PATH", "/abcdefghij", 1);
  char small[5];
  EXPECT_EQ(wh_store_path(small, sizeof small), 11);
  EXPECT_STREQ(small, "/abc");
}

TEST_F(WhStore, UnreadableFileIsReportedNotEmptied) {
  // A directory where the file should be.
  mkdir((dir + "/nest").c_str(), 0700);
  mkdir(path.c_str(), 0700);
  auto s = new_store();
  char err[320];
  EXPECT_EQ(wh_store_load(s.get(), err, sizeof err), -1);
  EXPECT_STREQ(err, "store file is unreadable or too large");
  rmdir(path.c_str());

  // A file without read permission, read as nobody when the test runs as
  // root. The folders let nobody through to the file and to its lock.
  write_text(path, hooks_json(3));
  chmod(path.c_str(), 0);
  write_text(path + ".lock", "");
  chmod((path + ".lock").c_str(), 0666);
  chmod(dir.c_str(), 0711);
  chmod((dir + "/nest").c_str(), 0711);
  const std::string refused = "store file is unreadable or too large";
  EXPECT_EQ(in_child(load_and_update, true), "-1 " + refused + " (0 hooks); -1 " + refused);
  chmod(path.c_str(), 0600);
  EXPECT_EQ(read_text(path), hooks_json(3)) << "an update must not replace what it could not read";
}

TEST_F(WhStore, FifoIsRefusedAtOnce) {
  // Opened for reading, a FIFO would wait for a writer, inside the lock.
  mkdir((dir + "/nest").c_str(), 0700);
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  const std::string refused = "store file is unreadable or too large";
  EXPECT_EQ(in_child(load_and_update), "-1 " + refused + " (0 hooks); -1 " + refused);
  // One at the temporary path would wait for a reader.
  use_path(dir + "/other/hooks.json");
  mkdir((dir + "/other").c_str(), 0700);
  ASSERT_EQ(mkfifo((path + ".tmp").c_str(), 0600), 0);
  EXPECT_EQ(in_child([] {
              auto s = std::make_unique<wh_store>();
              char err[320];
              return std::to_string(wh_store_save(s.get(), err, sizeof err)) + " " + err;
            }),
            "-1 cannot create " + path + ".tmp: " + strerror(ENXIO));
}

// ---- saving: permissions and failures ----

TEST_F(WhStore, ModesWhateverTheUmask) {
  for (mode_t mask : {0777, 0000, 0022}) {
    SCOPED_TRACE(mask);
    use_path(dir + "/m" + std::to_string(mask) + "/a/b/hooks.json");
    mode_t old = umask(mask);
    auto s = new_store();
    add_hook(s.get(), "a");
    char err[320];
    int rc = wh_store_save(s.get(), err, sizeof err);
    umask(old);
    ASSERT_EQ(rc, 0) << err;
    EXPECT_EQ(mode_of(path), 0600u);
    EXPECT_EQ(mode_of(path + ".lock"), 0600u);
    EXPECT_EQ(mode_of(dir + "/m" + std::to_string(mask)), 0700u);
    EXPECT_EQ(mode_of(dir + "/m" + std::to_string(mask) + "/a/b"), 0700u);
  }
  // A store that was readable by others, and a leftover temporary file, both
  // end as 0600.
  chmod(path.c_str(), 0644);
  write_text(path + ".tmp", "junk");
  chmod((path + ".tmp").c_str(), 0666);
  auto s = new_store();
  add_hook(s.get(), "again");
  save(s.get());
  EXPECT_EQ(mode_of(path), 0600u);
  EXPECT_FALSE(file_exists(path + ".tmp"));
  // Directories that already exist keep their mode.
  EXPECT_EQ(mode_of(dir), 0700u);
  chmod(dir.c_str(), 0755);
  save(s.get());
  EXPECT_EQ(mode_of(dir), 0755u);
}

// What the sync and rename seams saw, in order.
std::vector<std::string> g_steps;
ino_t g_store_dir = 0;

TEST_F(WhStore, SaveSyncsTheWrittenFileThenRenamesThenSyncsTheDirectory) {
  auto s = new_store();
  add_hook(s.get(), "old");
  std::string old_text = save(s.get());
  struct stat d;
  ASSERT_EQ(stat((dir + "/nest").c_str(), &d), 0);
  g_store_dir = d.st_ino;
  g_steps.clear();
  auto real_sync = wh_store_fsync;
  auto real_rename = wh_store_rename;
  wh_store_fsync = [](int fd) {
    struct stat st {};
    fstat(fd, &st);
    if (!S_ISDIR(st.st_mode))
      g_steps.push_back("sync a file of " + std::to_string(st.st_size) + " bytes");
    else
      g_steps.push_back(st.st_ino == g_store_dir ? "sync the store's folder" : "sync a folder");
    return fsync(fd);
  };
  wh_store_rename = [](const char *from, const char *to) {
    g_steps.push_back("rename");
    return rename(from, to);
  };
  add_hook(s.get(), "new");
  char err[320];
  int rc = wh_store_save(s.get(), err, sizeof err);
  // A failed sync leaves the old file: the new one might not be on disk.
  wh_store_fsync = [](int) {
    errno = EIO;
    return -1;
  };
  add_hook(s.get(), "lost");
  char err2[320];
  int rc2 = wh_store_save(s.get(), err2, sizeof err2);
  wh_store_fsync = real_sync;
  wh_store_rename = real_rename;

  EXPECT_EQ(rc, 0) << err;
  std::string text = read_text(path);
  EXPECT_EQ(g_steps,
            (std::vector<std::string>{"sync a file of " + std::to_string(text.size()) + " bytes",
                                      "rename", "sync the store's folder"}));
  EXPECT_EQ(rc2, -1);
  EXPECT_EQ(std::string(err2), "short write to " + path + ".tmp");
  EXPECT_NE(text, old_text);
  EXPECT_EQ(read_text(path), text);
}

TEST_F(WhStore, FolderInTheStoresPlaceIsNotReplaced) {
  auto s = new_store();
  add_hook(s.get(), "new");
  char err[320];
  // The store path is a directory with content: rename refuses and nothing
  // in it is touched.
  use_path(dir + "/asdir");
  mkdir(path.c_str(), 0700);
  write_text(path + "/inside", "keep me");
  int rc = wh_store_save(s.get(), err, sizeof err);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(std::string(err), "cannot replace " + path + ": " + strerror(EISDIR));
  EXPECT_EQ(read_text(path + "/inside"), "keep me");
  EXPECT_FALSE(file_exists(path + ".tmp"));
}

TEST_F(WhStore, TemporaryFileThatCannotBeCreated) {
  auto s = new_store();
  add_hook(s.get(), "old");
  std::string old_text = save(s.get());
  mkdir((path + ".tmp").c_str(), 0700);  // a directory in its place
  add_hook(s.get(), "new");
  char err[320];
  EXPECT_EQ(wh_store_save(s.get(), err, sizeof err), -1);
  EXPECT_EQ(std::string(err), "cannot create " + path + ".tmp: " + strerror(EISDIR));
  EXPECT_EQ(read_text(path), old_text);
}

TEST_F(WhStore, UpdateReportsLockFailures) {
  char err[320];
  // A store below a regular file: no lock file can be made.
  write_text(dir + "/plain", "x");
  use_path(dir + "/plain/hooks.json");
  int rc =
      wh_store_update([&](wh_store *, char *, size_t) { return WH_CHANGE_SAVE; }, err, sizeof err);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(std::string(err), "cannot lock " + path + ".lock: " + strerror(ENOTDIR));
}

// The lock file an update makes is its owner's only.
TEST_F(WhStore, UpdateMakesAnOwnerOnlyLock) {
  char err[320];
  EXPECT_EQ(
      wh_store_update([](wh_store *, char *, size_t) { return WH_CHANGE_NONE; }, err, sizeof err),
      0)
      << err;
  EXPECT_FALSE(file_exists(path));
  EXPECT_EQ(mode_of(path + ".lock"), 0600u);
}

}  // namespace
