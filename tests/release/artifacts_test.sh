#!/usr/bin/env bash
# Tests the release artifacts that scripts/release left in dist/ (or the
# folder given) as users meet them: the checksums; the Debian package's
# control fields, contents and hardening; the program unpacked from it
# (dpkg-deb -x) answering --version and --help and serving the official MCP
# client (tests/interop, which lists the hooks and fires one at a local
# receiver); the Linux archive; and the Windows archive unpacked into a folder
# with non-ASCII letters and serving the same client under Wine.
set -euo pipefail
cd "$(dirname "$0")/../.."
src=$(pwd -P)
dist=$(cd "${1:-dist}" && pwd -P)

version=$(sed -n 's/^project(vavode_deveruz VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb="vavode-deveruz_${version}-1_amd64.deb"
tgz="vavode_deveruz-${version}-linux-x86_64.tar.gz"
zip="vavode_deveruz-${version}-windows-x86_64.zip"
version_line="vavode_deveruz $version (webhook)"

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
expect_eq() {
  [ "$2" = "$3" ] || fail "$1:"$'\n'"  got:  $2"$'\n'"  want: $3"
}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vd-release-test.XXXXXX")
wine_started=""
cleanup() {
  [ -z "$wine_started" ] || /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

[ -d tests/interop/node_modules ] ||
  (cd tests/interop && npm ci --no-audit --no-fund --loglevel=error)
mcp_session() {  # <label> [VAR=value...]: the official client against VD_PROGRAM
  local label=$1; shift
  env "$@" node --test tests/interop/mcp_client.test.mjs >"$tmp/mcp.log" 2>&1 ||
    { cat "$tmp/mcp.log" >&2; fail "$label: MCP client session"; }
}

echo "== checksums"
(cd "$dist" && sha256sum --strict --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the files"
expect_eq "files in SHA256SUMS" "$(awk '{ print $2 }' "$dist/SHA256SUMS" | tr '\n' ' ')" "$deb $tgz $zip "

echo "== $deb"
root="$tmp/root"
dpkg-deb -x "$dist/$deb" "$root"
bin="$root/usr/bin/vavode_deveruz"
floor=$(objdump -T "$bin" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -uV | tail -n 1)
fields=$(dpkg-deb -f "$dist/$deb" Package Version Architecture Depends Section Priority Maintainer)
expect_eq "control fields" "$fields" "Package: vavode-deveruz
Version: ${version}-1
Architecture: amd64
Depends: libc6 (>= $floor), libcurl4
Section: net
Priority: optional
Maintainer: the vavode_deveruz authors <authors@vavode-deveruz.invalid>"
expect_eq "package contents" "$(dpkg-deb -c "$dist/$deb" | awk '{ print $1, $2, $6 }')" \
"drwxr-xr-x root/root ./
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
-rwxr-xr-x root/root ./usr/bin/vavode_deveruz
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/vavode-deveruz/
-rw-r--r-- root/root ./usr/share/doc/vavode-deveruz/README.md.gz
-rw-r--r-- root/root ./usr/share/doc/vavode-deveruz/changelog.Debian.gz
-rw-r--r-- root/root ./usr/share/doc/vavode-deveruz/copyright
drwxr-xr-x root/root ./usr/share/lintian/
drwxr-xr-x root/root ./usr/share/lintian/overrides/
-rw-r--r-- root/root ./usr/share/lintian/overrides/vavode-deveruz
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man1/
-rw-r--r-- root/root ./usr/share/man/man1/vavode_deveruz.1.gz"
grep -q "^Files: yyjson/\*" "$root/usr/share/doc/vavode-deveruz/copyright" ||
  fail "the copyright file has no paragraph for yyjson"

# Hardened (PIE, full RELRO, stack protector, fortified calls), stripped, and
# linked to the C library alone: yyjson and the C++ runtime are inside, and
# libcurl is loaded at run time.
expect_eq "ELF type" "$(readelf -h "$bin" | awk '/Type:/ { print $2 }')" "DYN"
expect_eq "needed libraries" "$(readelf -d "$bin" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | sort | tr '\n' ' ')" \
  "ld-linux-x86-64.so.2 libc.so.6 "
# Each tool's output is read whole before it is searched: under pipefail, a
# "tool | grep -q" fails when grep stops early and the tool dies of SIGPIPE.
dynamic=$(readelf -d "$bin")
dynsyms=$(objdump -T "$bin")
grep -q 'FLAGS_1.*NOW.*PIE' <<<"$dynamic" || fail "not linked with -z now as a PIE"
grep -q GNU_RELRO <<<"$(readelf -lW "$bin")" || fail "no RELRO segment"
grep -q ' __stack_chk_fail$' <<<"$dynsyms" || fail "no stack protector"
grep -qE ' __[a-z]+_chk$' <<<"$dynsyms" || fail "no fortified function"
grep -q ' \.symtab ' <<<"$(readelf -SW "$bin")" && fail "the executable is not stripped"

expect_eq "--version" "$("$bin" --version)" "$version_line"
"$bin" --help >"$tmp/help" || fail "--help exit status"
cmp -s "$tmp/help" doc/usage.txt || fail "--help does not print doc/usage.txt"
grep -q '^\.SH RUN MODES$' <<<"$(zcat "$root/usr/share/man/man1/vavode_deveruz.1.gz")" ||
  fail "the manual page has no RUN MODES section"
mcp_session "$deb" VD_PROGRAM="$bin" VD_EMULATOR=

echo "== $tgz"
expect_eq "archive contents" "$(tar -tvzf "$dist/$tgz" | awk '{ print $1, $2, $6 }')" \
"drwxr-xr-x 0/0 vavode_deveruz-${version}-linux-x86_64/
-rw-r--r-- 0/0 vavode_deveruz-${version}-linux-x86_64/LICENSE
-rw-r--r-- 0/0 vavode_deveruz-${version}-linux-x86_64/README.md
-rw-r--r-- 0/0 vavode_deveruz-${version}-linux-x86_64/THIRD-PARTY-NOTICES
-rwxr-xr-x 0/0 vavode_deveruz-${version}-linux-x86_64/vavode_deveruz
-rw-r--r-- 0/0 vavode_deveruz-${version}-linux-x86_64/vavode_deveruz.1"
tar -C "$tmp" -xzf "$dist/$tgz"
loose="$tmp/vavode_deveruz-${version}-linux-x86_64"
cmp -s "$loose/vavode_deveruz" "$bin" || fail "the archive's executable differs from the package's"
grep -q "glibc $floor or later" "$loose/README.md" || fail "README does not state 'glibc $floor or later'"
grep -q "Copyright (c) 2020 YaoYuan" "$loose/THIRD-PARTY-NOTICES" || fail "no yyjson notice"

echo "== $zip"
expect_eq "zip entries" "$(unzip -Z1 "$dist/$zip" | tr '\n' ' ')" \
  "vavode_deveruz/LICENSE.txt vavode_deveruz/README.txt vavode_deveruz/THIRD-PARTY-NOTICES.txt vavode_deveruz/mcpServers.example.json vavode_deveruz/vavode_deveruz.exe "

# Wine as scripts/test sets it up: a private prefix and one wineserver. Wine
# reads Unix paths and the environment in the locale's character set, so it
# runs in UTF-8 here, as on a desktop.
export LC_ALL=C.UTF-8
export WINEPREFIX=${WINEPREFIX:-$src/build-windows/wine} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1 || true
wine_started=1
/usr/lib/wine/wine64 wineboot --init </dev/null >/dev/null 2>&1

# A user's folder with letters outside ASCII, the store under another one.
home="$WINEPREFIX/drive_c/users/Zoë Ærøskøbing/Программы"
rm -rf "$home"
mkdir -p "$home" "$tmp/Jürgen"
unzip -q "$dist/$zip" -d "$home"
exe="$home/vavode_deveruz/vavode_deveruz.exe"
for f in README.txt LICENSE.txt THIRD-PARTY-NOTICES.txt mcpServers.example.json; do
  awk '!/\r$/ { bad = 1 } END { exit bad }' "$home/vavode_deveruz/$f" || fail "$f has a line without CR LF"
done
grep -q "Copyright (c) 2026 the vavode_deveruz authors" "$home/vavode_deveruz/LICENSE.txt" || fail "LICENSE.txt"
for who in "Copyright (c) 2020 YaoYuan" "Copyright (c) 2011-2016 mingw-w64 project"; do
  grep -q "$who" "$home/vavode_deveruz/THIRD-PARTY-NOTICES.txt" || fail "no notice with '$who'"
done
expect_eq "mcpServers example" "$(node -e '
  const s = JSON.parse(require("fs").readFileSync(process.argv[1], "utf8")).mcpServers.vavode_deveruz;
  console.log(s.command, JSON.stringify(s.args));' "$home/vavode_deveruz/mcpServers.example.json")" \
  'C:\Tools\vavode_deveruz\vavode_deveruz.exe ["--mcp"]'

expect_eq "--version under Wine" "$(/usr/lib/wine/wine64 "$exe" --version </dev/null)" "$version_line"
/usr/lib/wine/wine64 "$exe" --help </dev/null >"$tmp/help.exe" || fail "--help under Wine: exit status"
cmp -s "$tmp/help.exe" doc/usage.txt || fail "--help under Wine does not print doc/usage.txt"
mcp_session "$zip" VD_PROGRAM="$exe" VD_EMULATOR=/usr/lib/wine/wine64 TMPDIR="$tmp/Jürgen" LC_ALL=C.UTF-8

if [ "$failures" -ne 0 ]; then
  echo "release artifacts: $failures failure(s)" >&2
  exit 1
fi
echo "release artifacts: all checks passed"
