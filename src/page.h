// The management page: the HTML document with its theme assets, written for a
// CGI page request after the node password was accepted.
#pragma once

// Writes the header block and the whole document to standard output; `light`
// adds the forced-light script.
void page_write(bool light);

// A new heap string with & < > " ' replaced by entities (a null s gives an
// empty one); the caller frees it. Null when memory is short.
char *wh_html_escape(const char *s);
