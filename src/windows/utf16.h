// UTF-8 to UTF-16 at the Windows API boundary: file paths and the texts
// handed to WinHTTP.
#pragma once

#include <cstddef>

// Converts the NUL-terminated UTF-8 text s into out (cap units, NUL
// included). Returns the units written before the NUL, or -1 when the text
// does not fit, or (strict) is not well-formed UTF-8; out is then "". Not
// strict: a malformed byte becomes U+FFFD.
int wh_utf16(const char *s, wchar_t *out, size_t cap, bool strict);

// Sets errno from a Windows error code, for callers that report strerror.
void wh_errno_from_win(unsigned long code);
