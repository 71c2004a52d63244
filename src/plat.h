// The process-level calls that differ between POSIX and Windows. The build
// compiles one implementation: posix/plat.cpp or windows/plat.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "wh_buf.h"

// First thing main does: standard input and output in binary mode (Windows;
// POSIX streams are binary already), and a write to a reader that went away
// fails quietly instead of ending the process (POSIX's SIGPIPE).
void plat_start();

// Up to n bytes of standard input, unchanged: the count, 0 at its end, -1 on a
// read error. Interrupted reads are retried.
long plat_read_stdin(void *buf, size_t n);

// Waits until standard input has bytes to read, has ended or has failed
// (true: the next read will not block), or until ms milliseconds have passed
// (false).
bool plat_wait_stdin(int64_t ms);

// Appends the regular file at path whole to b when it holds at most max
// bytes; true when it did. Anything else (no such file, a folder, a FIFO, a
// device, a larger file, one that grew past max while being read, a read
// error) appends nothing and gives false. Never blocks on a special file.
bool plat_read_file(const char *path, uint64_t max, wh_buf *b);

// Milliseconds on a monotonic clock (wall time, not processor time).
int64_t plat_now_ms();

// Seconds since 1970-01-01 UTC.
int64_t plat_time();

// The UTC calendar time of t; false when it cannot be had.
bool plat_utc(int64_t t, tm *out);

// Freed heap blocks of up to 32 MiB stay in the process for reuse (a
// long-running MCP server loads the whole store for every call). Nothing
// where the allocator has no such setting.
void plat_keep_freed_heap();

// Fresh zeroed memory for n bytes, on huge pages where the system offers
// them; null when none. For the large records that a fresh process faults in.
// With huge false a large block stays on small pages: for one of which little
// will be touched.
void *plat_pages_map(size_t n, bool huge = true);
void plat_pages_unmap(void *p, size_t n);

// The value of an environment variable as UTF-8, or null when it is unset.
// Every variable the program reads comes through here: on Windows the
// narrow runtime call gives the ANSI code page's bytes, in which a user
// folder such as "C:\Users\山田" is not UTF-8 (or has become "?"), so the
// wide value is read and converted. The text stays valid until the variable
// is read again after it changed.
const char *plat_env(const char *name);

// Fills buf with n bytes from the system's cryptographic random source
// (getrandom on POSIX, BCryptGenRandom on Windows): message ids must not be
// guessable. False when the source failed; buf's bytes are then undefined.
bool plat_random(void *buf, size_t n);

// Starts the socket layer before the first name resolution (Winsock); nothing
// on POSIX.
void plat_net_start();
