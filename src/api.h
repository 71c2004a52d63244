// The JSON API of the CGI mode: list, save, delete and fire, each answered
// with one JSON object in the envelope of the CGI front.
#pragma once

// Serves one API request after the node password was accepted. `query` is the
// query text without any leading path, `action` the decoded "action"
// parameter. Reads the body (POST_BODY_FILE, else CONTENT_LENGTH bytes of
// standard input, at most 8 MiB either way), carries out the action and
// writes exactly one answer. Always returns 0.
int mode_api(const char *query, const char *action);

// Whether an action changes the store or sends a delivery (save, delete, fire
// and their aliases; also any unknown action): without a node password such
// a request must come by POST, which no image, link or frame of another site
// can send unnoticed.
bool api_action_changes(const char *action);
