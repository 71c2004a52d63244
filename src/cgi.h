// The CGI front: run by the node's web server without arguments.
#pragma once

// Reads the request from the CGI environment and answers it on standard output.
void cgi_main();
