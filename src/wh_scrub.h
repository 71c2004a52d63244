// Scrubbing a delivery's answer: an endpoint that reflects its request (echo
// and inspection services, error pages, "who am I" answers) would hand the
// hook's credentials back to whoever fired it. Every occurrence of one is
// replaced by "<redacted>" before any caller sees the answer.
//
// The needles of a hook:
//  - from the HMAC secret, the previous one a rotation keeps, and every
//    header value: the value as stored (a secret also as its key text after
//    "whsec_"); trimmed of white space; the part after a scheme word ("Bearer
//    x", "Token x", any "<word> <rest>"); for "Basic", the decoded
//    "user:password" and the password alone; each piece between ";" or ","
//    and a piece's value after "=" (without surrounding quotes);
//  - from the URL: the path beyond "/" and the query as wholes, each query
//    value, each path segment that looks like a token (16 bytes or longer, or
//    8 or longer mixing letters and digits), the percent-decoded form of each,
//    and for the query and its values the forms with "+" read as a space and
//    a space written as "+";
//  - of each of those: its Latin-1 reading when it holds bytes beyond ASCII
//    (each byte taken as its own code point, written in UTF-8), and its
//    base64 and base64url forms at the three byte alignments inside a longer
//    encoded text (the characters its bytes alone decide; no padding).
// A needle shorter than 8 bytes is dropped, so previews stay readable. A
// needle made only of hex digits, or shaped as a UUID, matches in either
// letter case; every other needle byte for byte.
//
// The readings searched: the answer as it came; each kind of escape decoded
// alone: JSON ("\/", "\uXXXX" with surrogate pairs, the short escapes),
// percent (either letter case) and HTML ("&amp; &lt; &gt; &quot; &apos;",
// "&#N;" and "&#xH;" with 1 to 8 digits); and all three decoded together, in
// up to 3 rounds, which stop at the first round that decodes nothing. A find
// in any reading hides the answer bytes it came from; finds that overlap or
// touch become one "<redacted>".
//
// Cost: linear in the answer and the needles. The needles form two
// Aho-Corasick automata (byte for byte, and letter case folded), built once a
// call, and each reading is one pass through each: at most 7 readings, 9
// bytes per answer byte each, three held at a time. The automata have one
// state per needle byte at most, 13 bytes a state: a hook with every field
// full and shaped for the worst has under 1.44 million needle bytes (about
// 18 MiB of states); an ordinary hook's needles take a few KiB. Answers are
// under 4 GiB (offsets are 32 bits).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "wh_hook.h"

// Writes the scrubbed text of in[0, in_len) into out, cut to out_cap - 1
// bytes and NUL-terminated; returns the bytes written. `complete` says that
// in holds the whole answer; when it does not, output stops where a
// credential could run past the end of in, so no piece of one is shown: at
// least 6 times the longest credential (before its Latin-1 and base64 forms)
// before the end, as much as it spans JSON-escaped, and earlier where the
// end of a reading begins a needle.
size_t wh_scrub(const wh_hook *hook, const char *in, size_t in_len, bool complete, char *out,
                size_t out_cap);

// One needle of a hook, as wh_scrub searches it: letter case folded to lower
// case when `fold` says it matches in either case.
struct wh_scrub_needle {
  std::string text;
  bool fold;
};

// Every needle wh_scrub searches for this hook (the same needle may come more
// than once): for the fuzz target's property and the benchmark's count.
std::vector<wh_scrub_needle> wh_scrub_needles(const wh_hook *hook);
