// The floor of a list: the same I/O and nothing else. Reads the store file,
// parses it with yyjson (strict, flags 0) and writes the document out
// compactly, then a LF.
//
//   bench_floor_parse FILE           one pass, to standard output
//   bench_floor_parse --serve FILE   one pass for every line of standard
//                                    input: the floor of one MCP call made to
//                                    a running process
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yyjson.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool write_all(const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(1, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool pass(const char *path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return false;
  size_t len = static_cast<size_t>(st.st_size), got = 0;
  char *text = static_cast<char *>(malloc(len + 1));
  while (text && got < len) {
    ssize_t n = read(fd, text + got, len - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  yyjson_doc *doc = text ? yyjson_read_opts(text, got, 0, nullptr, nullptr) : nullptr;
  free(text);
  size_t out_len = 0;
  char *out = doc ? yyjson_write_opts(doc, 0, nullptr, &out_len, nullptr) : nullptr;
  yyjson_doc_free(doc);
  if (!out) return false;
  out[out_len] = '\n';  // over the terminator, which is not written
  bool ok = write_all(out, out_len + 1);
  free(out);
  return ok;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2) return pass(argv[1]) ? 0 : 1;
  if (argc != 3 || strcmp(argv[1], "--serve") != 0) {
    fprintf(stderr, "usage: %s [--serve] FILE\n", argv[0]);
    return 2;
  }
  char line[4096];
  while (fgets(line, sizeof line, stdin))
    if (!pass(argv[2])) return 1;
  return 0;
}
