// Reading one parameter of a URL query, as the web interface's requests
// carry them.
#pragma once

#include <cstddef>

// Looks up parameter `name` (exact, case-sensitive) in a URL query text and
// writes its value, cut to out_size - 1 bytes and then decoded ("+" and %XX),
// into out. 1 when the parameter is present (even empty), else 0 with out
// empty. The first occurrence wins; a null query finds nothing.
int get_query_val(const char *query, const char *name, char *out, size_t out_size);
