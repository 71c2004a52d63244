// Owners for plain C handles (FILE*, malloc'ed blocks), so that no function
// needs a hand-written cleanup ladder. The owners of a module's own handles
// (a parsed JSON document, a store file's descriptor) sit beside that module.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>

struct file_close {
  void operator()(FILE *f) const { fclose(f); }
};
using unique_file = std::unique_ptr<FILE, file_close>;

struct heap_free {
  void operator()(void *p) const { free(p); }
};
// Heap text from malloc (yyjson_val_write_opts, for one).
using unique_cstr = std::unique_ptr<char, heap_free>;
