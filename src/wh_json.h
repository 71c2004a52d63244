// The JSON writers: every JSON text the program writes (the store file, MCP
// replies, API answers, tool schemas) is assembled in a wh_buf through these,
// compact and with members in a fixed order. yyjson only reads JSON and
// re-serialises single values; jstr and wh_json_written_len read a parsed
// document the way the writers see it.
#pragma once

#include <yyjson.h>

#include <cstddef>
#include <cstring>
#include <memory>

#include "wh_buf.h"

// Owns a parsed document.
struct yy_doc_free {
  void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};
using yy_doc = std::unique_ptr<yyjson_doc, yy_doc_free>;

// Appends s as a JSON string literal, quotes included; a null s gives "".
// Escaped: the double quote, the backslash, \b \t \n \f \r and every other
// byte below 0x20 as \u00XX. Bytes from 0x7F on pass unchanged.
void wh_buf_json_str(wh_buf *b, const char *s);

// Appends "," unless *first is set (then clears it; first may be null for no
// comma logic), then key as a string literal and ":".
void wh_buf_key(wh_buf *b, const char *key, int *first);

// What a writer does with bytes that do not begin a well-formed UTF-8
// character (wh_utf8.h): fields are cut by bytes, so one may end inside a
// character, and a hand-edited store may hold anything.
enum wh_utf8_rule {
  WH_UTF8_REPLACE,  // each written as U+FFFD: for readers that decode the text
  WH_UTF8_DROP,     // each left out: for the store file, read back as strict JSON
};

// wh_buf_json_str for text that must reach its reader as well-formed UTF-8
// (MCP replies, which strict clients decode as such, and response bodies cut
// at their preview size), with WH_UTF8_REPLACE.
void wh_buf_json_utf8(wh_buf *b, const char *s);

// The len bytes at s (no NUL among them) as a JSON string literal, with
// ill-formed bytes handled by rule.
void wh_buf_json_text(wh_buf *b, const char *s, size_t len, wh_utf8_rule rule);

// A fixed-size field (its text up to the NUL, at most N - 1 bytes) as a JSON
// string literal, with ill-formed bytes handled by rule.
template <size_t N>
inline void wh_buf_json_field(wh_buf *b, const char (&field)[N], wh_utf8_rule rule) {
  wh_buf_json_text(b, field, strnlen(field, N - 1), rule);
}

// The string value of the first member named `key` of a parsed object, or
// null (no object, no such member, or the first such member not a string).
// Points into the document.
const char *jstr(yyjson_val *obj, const char *key);

// The length of the text yyjson_val_write_opts (flags 0, compact) writes for
// v, counted without writing it; SIZE_MAX when v is null, holds a number that
// cannot be written or nests deeper than 1024 levels (the caller then writes
// it to find out).
size_t wh_json_written_len(yyjson_val *v);
