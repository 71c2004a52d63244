// The CGI front: run by the node's web server without arguments. It reads the
// request context, refuses what no page of this server could have sent, checks
// the node password and hands the request to the JSON API or the page.
#pragma once

// Reads the request from the CGI environment and answers it on standard output.
void cgi_main();

// Returns when BOT_PASSWORD is unset or empty, or when the request carries it
// (X-Bot-Password, "Authorization" with or without "Bearer ", or the "pwd"
// parameter). Otherwise answers 401 and ends the process with status 0.
void require_node_auth();

// Whether the host part of a Host header value may be served without a node
// password: an IP address, "localhost" or a name under ".localhost", or a name
// in `allowed` (comma-separated, letter case ignored). Anything else could be
// a name an attacker rebound to this machine.
bool cgi_host_allowed(const char *http_host, const char *allowed);

// Why a request must be refused before anything is read, or null to go on:
// `status` is set to 405 or 403, `extra` to the header lines the refusal
// carries (or null). `api` marks a request for the JSON API, `action` is its
// decoded "action" parameter.
const char *cgi_refusal(bool api, const char *action, long *status, const char **extra);
