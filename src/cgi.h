// The CGI front: run by the node's web server without arguments. It reads the
// request context, checks the node password and hands the request to the JSON
// API or the page; and it holds the small routines and the answer envelope that
// both share.
#pragma once

#include <cstddef>

inline constexpr char CGI_JSON[] = "application/json; charset=utf-8";
inline constexpr char CGI_HTML[] = "text/html; charset=utf-8";

// Reads the request from the CGI environment and answers it on standard output.
void cgi_main();

// Writes "Status: <status>\r\n" when status is not 0, then the header block
// that every answer of the web interface carries, with its closing blank line.
void cgi_write_head(long status, const char *content_type);

// Looks up parameter `name` (exact, case-sensitive) in a URL query text and
// writes its value, cut to out_size - 1 bytes and then decoded ("+" and %XX),
// into out. 1 when the parameter is present (even empty), else 0 with out
// empty. The first occurrence wins; a null query finds nothing.
int get_query_val(const char *query, const char *name, char *out, size_t out_size);

// 1 when a and b are equal with ASCII letter case ignored, else 0.
int ieq(const char *a, const char *b);

// Copies src into dst, at most dst_size - 1 bytes, always terminated.
void copy_trunc(char *dst, size_t dst_size, const char *src);

// Returns when BOT_PASSWORD is unset or empty, or when the request carries it
// (X-Bot-Password, "Authorization: Bearer", or the "pwd" parameter). Otherwise
// answers 401 and ends the process with status 0.
void require_node_auth();

// An API answer: the Status line when status is not 0, the header block,
// `text` (one JSON object), LF; flushed.
void api_send(long status, const char *text);

// A successful API answer: api_send with no Status line.
void api_ok(const char *text);

// An error answer {"ok":false,"error":<message>} with a Status line; a null
// message is written as "".
void api_err(long status, const char *message);
