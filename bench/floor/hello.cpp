// The floor for whole-process figures: a trivial C++ program, linked the
// default way, that prints one line.
#include <cstdio>

#include "vd_version.h"

int main() {
  std::puts("vavode_deveruz " VD_PROJECT_VERSION " (webhook)");
  return 0;
}
