// How every answer of the web interface begins, and the JSON answers of the
// API: the Status line, the header block, one JSON object and LF.
#pragma once

inline constexpr char CGI_JSON[] = "application/json; charset=utf-8";
inline constexpr char CGI_HTML[] = "text/html; charset=utf-8";

// Writes "Status: <status>\r\n" when status is not 0, then `extra` (whole
// header lines, each ending in CR LF; may be null), then the header block
// that every answer carries, with its closing blank line.
void cgi_write_head(long status, const char *content_type, const char *extra = nullptr);

// An API answer: the Status line when status is not 0, the header block,
// `text` (one JSON object), LF; flushed.
void api_send(long status, const char *text, const char *extra = nullptr);

// A successful API answer: api_send with no Status line.
void api_ok(const char *text);

// An error answer {"ok":false,"error":<message>} with a Status line; a null
// message is written as "".
void api_err(long status, const char *message, const char *extra = nullptr);
