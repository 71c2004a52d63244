// Scrubbing a delivery's answer: an endpoint that reflects its request (echo
// and inspection services, error pages) would hand the hook's credentials
// back to whoever fired it. Every occurrence of one is replaced by
// "<redacted>" before any caller sees the answer.
//
// The credentials of a hook: the HMAC secret and the previous one a rotation
// keeps (each also as the key text after "whsec_"), every header value, the
// URL's path beyond "/" and its query as wholes, each query value, and each
// path segment that looks like a token (16 bytes or longer, or 8 or longer
// mixing letters and digits), plus the percent-decoded forms of the URL's
// pieces.
// Values shorter than 8 bytes are left alone, so previews stay readable.
//
// Each is found as sent, JSON-escaped ("\/", "\uXXXX" with surrogate pairs,
// the short escapes) and percent-encoded (either letter case), and in text
// that mixes those forms. Overlapping finds merge into one "<redacted>".
//
// Cost: linear in the answer and the needles. The needles form one
// Aho-Corasick automaton, built once a call, and each reading of the answer
// (as it came, JSON-decoded, percent-decoded, both) is one pass through it,
// whatever the needles are. The automaton has one state per needle byte at
// most, 13 bytes a state: under 26,000 states (about 330 KiB) for a hook with
// every field full. Answers are under 4 GiB (offsets are 32 bits).
#pragma once

#include <cstddef>

#include "wh_hook.h"

// Writes the scrubbed text of in[0, in_len) into out, cut to out_cap - 1
// bytes and NUL-terminated; returns the bytes written. `complete` says that
// in holds the whole answer; when it does not, output stops where a
// credential could run past the end of in, so no piece of one is shown.
size_t wh_scrub(const wh_hook *hook, const char *in, size_t in_len, bool complete, char *out,
                size_t out_cap);
