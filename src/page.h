// The management page: the HTML document with its theme assets, written for a
// CGI page request after the node password was accepted.
#pragma once

// Writes the header block and the whole document to standard output; `light`
// adds the forced-light script.
void page_write(bool light);
