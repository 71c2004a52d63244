#include "windows/utf16.h"

#include <windows.h>

#include <cerrno>
#include <climits>

int wh_utf16(const char *s, wchar_t *out, size_t cap, bool strict) {
  if (cap == 0) return -1;
  out[0] = L'\0';
  int room = cap > INT_MAX ? INT_MAX : static_cast<int>(cap);
  int n = MultiByteToWideChar(CP_UTF8, strict ? MB_ERR_INVALID_CHARS : 0, s, -1, out, room);
  if (n <= 0) {
    out[0] = L'\0';
    return -1;
  }
  return n - 1;
}

void wh_errno_from_win(unsigned long code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE: errno = ENOENT; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: errno = EACCES; break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: errno = ENOSPC; break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: errno = ENOMEM; break;
    case ERROR_FILENAME_EXCED_RANGE: errno = ENAMETOOLONG; break;
    case ERROR_INVALID_NAME: errno = EINVAL; break;
    case ERROR_NOT_SAME_DEVICE: errno = EXDEV; break;
    default: errno = EIO; break;
  }
}
