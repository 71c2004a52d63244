# Turns the page's assets into constant texts compiled into the program:
#   cmake -DSRC=<assets folder> -DOUT=<generated .cpp> -P embed_assets.cmake
# Each asset becomes a std::string_view built from raw string literals. The
# template's two marker comments become the one-byte placeholders 0x01 (theme
# head: bootstrap, forced light, style sheet) and 0x02 (theme tail: bridge,
# toggle) that page_write replaces. The build stops when an asset holds
# something that would break the document or the generated source.

set(delim "vd_asset")
string(ASCII 1 byte1)
string(ASCII 2 byte2)

# Stops the build when `text` of asset `file` holds `needle`.
function(vd_refuse file text needle what)
  string(FIND "${text}" "${needle}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "embed_assets: ${file}: ${what}")
  endif()
endfunction()

# Reads one asset, trimmed of surrounding white space, and checks what every
# asset must hold to.
function(vd_read file out)
  file(READ "${SRC}/${file}" text)
  string(STRIP "${text}" text)
  vd_refuse("${file}" "${text}" "${byte1}" "holds a placeholder byte 0x01")
  vd_refuse("${file}" "${text}" "${byte2}" "holds a placeholder byte 0x02")
  vd_refuse("${file}" "${text}" ")${delim}\"" "holds the raw-string delimiter")
  vd_refuse("${file}" "${text}" "\r" "has CR line ends")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# A script or style sheet is written inside its element: its text must not
# close that element early.
function(vd_inline file closing out)
  vd_read("${file}" text)
  string(TOLOWER "${text}" lower)
  vd_refuse("${file}" "${lower}" "${closing}" "contains ${closing}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(vd_raw text out)
  set(${out} "R\"${delim}(${text})${delim}\"" PARENT_SCOPE)
endfunction()

# The template: each marker exactly once, head before tail.
vd_read(page.html page)
foreach(marker "<!--@theme-head@-->" "<!--@theme-tail@-->")
  string(FIND "${page}" "${marker}" first)
  string(FIND "${page}" "${marker}" last REVERSE)
  if(first EQUAL -1 OR NOT first EQUAL last)
    message(FATAL_ERROR "embed_assets: page.html needs ${marker} exactly once")
  endif()
endforeach()
string(FIND "${page}" "<!--@theme-head@-->" head_at)
string(FIND "${page}" "<!--@theme-tail@-->" tail_at)
if(NOT head_at LESS tail_at)
  message(FATAL_ERROR "embed_assets: page.html: the head marker must come before the tail marker")
endif()
string(REPLACE "<!--@theme-head@-->" ")${delim}\" \"\\x01\" R\"${delim}(" page "${page}")
string(REPLACE "<!--@theme-tail@-->" ")${delim}\" \"\\x02\" R\"${delim}(" page "${page}")
vd_raw("${page}" page_lit)

vd_inline(theme.css "</style" css)
vd_raw("${css}" css_lit)
set(script_defs "")
foreach(pair "THEME_BOOTSTRAP_JS=theme-bootstrap.js" "THEME_FORCE_LIGHT_JS=theme-force-light.js"
             "THEME_BRIDGE_JS=theme-bridge.js" "THEME_TOGGLE_JS=theme-toggle.js")
  string(REPLACE "=" ";" parts "${pair}")
  list(GET parts 0 name)
  list(GET parts 1 file)
  vd_inline("${file}" "</script" js)
  vd_raw("${js}" js_lit)
  string(APPEND script_defs "const std::string_view ${name} = ${js_lit}sv;\n\n")
endforeach()

file(WRITE "${OUT}.tmp" "// Generated from assets/ by cmake/embed_assets.cmake; edit the assets instead.
#include \"page_assets.h\"

using namespace std::string_view_literals;

const std::string_view PAGE_TEMPLATE = ${page_lit}sv;

const std::string_view THEME_CSS = ${css_lit}sv;

${script_defs}")
# Only a real change touches the output, so unchanged assets rebuild nothing.
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
