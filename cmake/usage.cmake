# Turns doc/usage.txt, the one text of `--help`, into the constant the program
# prints and into the manual page vavode_deveruz(1), so the two cannot differ:
#   cmake -DSRC=<usage.txt> -DCPP_OUT=<generated .cpp> -DMAN_OUT=<page .1>
#         -DVERSION=<version> -P usage.cmake
#
# The text is plain, at most 79 columns, with a few layout rules that the page
# follows:
#   - line 1 is "<program> - <summary>" (the page's NAME);
#   - "Usage: <program> <arguments>" is the SYNOPSIS;
#   - a line at column 0 ending in ":" starts a section;
#   - "  <term>  <text>" (a term of words with single spaces, then two spaces
#     or more) is a tagged paragraph; lines indented further continue it;
#   - any other line indented by two is running text, and a blank line ends a
#     paragraph.
# The page's date is the build's date, or SOURCE_DATE_EPOCH's when it is set
# (a release build), so a rebuild gives the same page.
cmake_policy(VERSION 3.25)

file(READ "${SRC}" text)
foreach(bad "\r" "\t" ")vd_usage\"")
  string(FIND "${text}" "${bad}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "usage.cmake: ${SRC} holds a CR, a tab or the raw-string delimiter")
  endif()
endforeach()
if(NOT text MATCHES "\n$" OR text MATCHES "\n\n$")
  message(FATAL_ERROR "usage.cmake: ${SRC} must end with one newline")
endif()

# --help prints the file as it is.
file(WRITE "${CPP_OUT}.tmp" "// Generated from doc/usage.txt by cmake/usage.cmake; edit the text instead.
#include \"usage_text.h\"

using namespace std::string_view_literals;

const std::string_view USAGE_TEXT = R\"vd_usage(${text})vd_usage\"sv;
")
file(COPY_FILE "${CPP_OUT}.tmp" "${CPP_OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${CPP_OUT}.tmp")

# roff: a backslash is \e, an option's hyphens are minus signs (\-) so that a
# copied option works, and a line must not begin with a control character.
function(vd_roff in out)
  string(REPLACE "\\" "\\e" s "${in}")
  string(REPLACE "--" "\\-\\-" s "${s}")
  string(REGEX REPLACE "(^|[ ,(|])-([A-Za-z])" "\\1\\\\-\\2" s "${s}")
  if(s MATCHES "^[.']")
    set(s "\\&${s}")
  endif()
  set(${out} "${s}" PARENT_SCOPE)
endfunction()

# CMake lists split at ";" and brackets guard them: both are kept out of the
# way while the text is split into lines.
string(ASCII 3 semi)
string(ASCII 4 open)
string(ASCII 5 close)
string(REPLACE ";" "${semi}" t "${text}")
string(REPLACE "[" "${open}" t "${t}")
string(REPLACE "]" "${close}" t "${t}")
string(REGEX REPLACE "\n$" "" t "${t}")
string(REPLACE "\n" ";" lines "${t}")

string(TIMESTAMP date "%Y-%m-%d" UTC)
set(man ".TH VAVODE_DEVERUZ 1 \"${date}\" \"vavode_deveruz ${VERSION}\" \"User Commands\"\n")
set(first TRUE)
set(mode head)  # head: after a section title; text: running text; item: a tagged paragraph
set(blank FALSE)
foreach(line IN LISTS lines)
  string(REPLACE "${semi}" ";" line "${line}")
  string(REPLACE "${open}" "[" line "${line}")
  string(REPLACE "${close}" "]" line "${line}")
  string(LENGTH "${line}" width)
  if(width GREATER 79)
    message(FATAL_ERROR "usage.cmake: a line wider than 79 columns: '${line}'")
  endif()
  if(first)
    if(NOT line MATCHES "^([a-z_]+) - (.+)$")
      message(FATAL_ERROR "usage.cmake: line 1 must be '<program> - <summary>'")
    endif()
    vd_roff("${CMAKE_MATCH_2}" summary)
    string(APPEND man ".SH NAME\n${CMAKE_MATCH_1} \\- ${summary}\n")
    set(first FALSE)
  elseif(line STREQUAL "")
    set(blank TRUE)
  elseif(line MATCHES "^Usage: ([^ ]+) (.+)$")
    set(program "${CMAKE_MATCH_1}")
    vd_roff("${CMAKE_MATCH_2}" args)
    string(APPEND man ".SH SYNOPSIS\n.B ${program}\n${args}\n")
    set(mode head)
    set(blank FALSE)
  elseif(line MATCHES "^([A-Z][^:]*):$")
    string(TOUPPER "${CMAKE_MATCH_1}" title)
    string(APPEND man ".SH ${title}\n")
    set(mode head)
    set(blank FALSE)
  elseif(line MATCHES "^  ([^ ]+( [^ ]+)*)  +([^ ].*)$")
    vd_roff("${CMAKE_MATCH_1}" term)
    vd_roff("${CMAKE_MATCH_3}" body)
    string(APPEND man ".TP\n\\fB${term}\\fR\n${body}\n")
    set(mode item)
    set(blank FALSE)
  elseif(line MATCHES "^   +([^ ].*)$" AND NOT blank AND NOT mode STREQUAL "head")
    vd_roff("${CMAKE_MATCH_1}" body)
    string(APPEND man "${body}\n")
  elseif(line MATCHES "^  ([^ ].*)$")
    vd_roff("${CMAKE_MATCH_1}" body)
    if(mode STREQUAL "item" OR (mode STREQUAL "text" AND blank))
      string(APPEND man ".PP\n")
    endif()
    string(APPEND man "${body}\n")
    set(mode text)
    set(blank FALSE)
  else()
    message(FATAL_ERROR "usage.cmake: a line the page cannot place: '${line}'")
  endif()
endforeach()

file(WRITE "${MAN_OUT}.tmp" "${man}")
file(COPY_FILE "${MAN_OUT}.tmp" "${MAN_OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${MAN_OUT}.tmp")
