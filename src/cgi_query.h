// The small text routines of the web interface: reading one parameter of a
// URL query, comparing without letter case, and bounded copies.
#pragma once

#include <cstddef>
#include <string_view>

// Looks up parameter `name` (exact, case-sensitive) in a URL query text and
// writes its value, cut to out_size - 1 bytes and then decoded ("+" and %XX),
// into out. 1 when the parameter is present (even empty), else 0 with out
// empty. The first occurrence wins; a null query finds nothing.
int get_query_val(const char *query, const char *name, char *out, size_t out_size);

// 1 when a and b are equal with ASCII letter case ignored, else 0.
int ieq(const char *a, const char *b);
bool ieq_view(std::string_view a, std::string_view b);

// Copies src into dst, at most dst_size - 1 bytes, always terminated.
void copy_trunc(char *dst, size_t dst_size, const char *src);
