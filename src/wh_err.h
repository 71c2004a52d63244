// The reason buffers of operations that can fail: a caller-owned character
// array with its size, possibly null. It is emptied when an operation starts
// and receives one message, cut to its size, when the operation fails.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>

// The size of the reason buffer of the store's operations and of a hook's
// validation: room for a message that names the store file's path.
inline constexpr size_t WH_ERR_CAP = 320;

inline void wh_err_clear(char *err, size_t err_size) {
  if (err && err_size) err[0] = '\0';
}

// Writes the formatted reason and returns -1, so a failure reads
// `return wh_err_set(err, err_size, "...");`.
__attribute__((format(printf, 3, 4))) inline int wh_err_set(char *err, size_t err_size,
                                                            const char *fmt, ...) {
  if (err && err_size) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(err, err_size, fmt, ap);
    va_end(ap);
  }
  return -1;
}
