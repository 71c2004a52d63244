// The CGI front: run by the node's web server without arguments.
#pragma once

inline constexpr char CGI_JSON[] = "application/json; charset=utf-8";
inline constexpr char CGI_HTML[] = "text/html; charset=utf-8";

// Reads the request from the CGI environment and answers it on standard output.
void cgi_main();

// Writes "Status: <status>\r\n" when status is not 0, then the header block
// that every answer of the web interface carries, with its closing blank line.
void cgi_write_head(long status, const char *content_type);
