// The floor for whole-process figures: a trivial C++ program, linked the
// default way, that prints one line.
#include <cstdio>

int main() {
  std::puts("vavode_deveruz 1.0.1 (webhook)");
  return 0;
}
