// The baseline for whole-process timings: a C++ program that prints one line.
#include <cstdio>

int main() {
  std::puts("one line");
  return 0;
}
