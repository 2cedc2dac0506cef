#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Install and package: cmake --install into staging folders (with --prefix
# and with DESTDIR), the installed programs and man pages at work, and the
# Debian package built by cpack holding exactly the installed files.
# usage: install_test.sh BUILD_DIR
set -uo pipefail

build=$(readlink -f -- "$1")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# shellcheck source=support/checks.sh
. "$(dirname "$0")/support/checks.sh"
# The installed batch runs on Python 3; man reads the pages through groff;
# cpack builds the package with dpkg-deb and dpkg-shlibdeps; lintian checks it.
require python3:python3 man:man-db groff:groff-base cpack:cmake dpkg-deb:dpkg \
  dpkg-shlibdeps:dpkg-dev lintian:lintian
contains() { grep -qF -- "$2" <<<"$1"; }  # contains TEXT PART
# The files and links under a folder, relative to it, sorted.
files_under() { (cd "$1" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort); }

installed=(
  bin/tamrisk
  bin/tamrisk-batch
  bin/tamrisk-selftest
  bin/tamrisk-verify
  share/doc/tamrisk/LICENSE
  share/doc/tamrisk/README.md
  share/doc/tamrisk/changelog.gz
  share/doc/tamrisk/copyright
  share/man/man1/tamrisk-batch.1.gz
  share/man/man1/tamrisk-selftest.1.gz
  share/man/man1/tamrisk-verify.1.gz
  share/man/man1/tamrisk.1.gz
)

# ---- cmake --install ----
prefix=$tmp/prefix
expect "install with --prefix" cmake --install "$build" --prefix "$prefix" >/dev/null
expect_eq "the files under --prefix (no tests, no benchmarks)" \
  "$(printf '%s\n' "${installed[@]}")" "$(files_under "$prefix")"
expect "tamrisk is executable" test -x "$prefix/bin/tamrisk"
expect "tamrisk-batch is executable" test -x "$prefix/bin/tamrisk-batch"
expect "tamrisk-selftest is executable" test -x "$prefix/bin/tamrisk-selftest"
expect "tamrisk-verify is executable" test -x "$prefix/bin/tamrisk-verify"
expect "the man pages are gzip files" gzip -t "$prefix/share/man/man1/tamrisk.1.gz" \
  "$prefix/share/man/man1/tamrisk-batch.1.gz" "$prefix/share/man/man1/tamrisk-selftest.1.gz" \
  "$prefix/share/man/man1/tamrisk-verify.1.gz"

DESTDIR=$tmp/stage cmake --install "$build" --prefix /usr >/dev/null
expect_eq "the files under DESTDIR" "$(printf 'usr/%s\n' "${installed[@]}")" \
  "$(files_under "$tmp/stage")"

# ---- the licence ----
# The copyright file in Debian's machine-readable format: every file under
# MIT, and the licence's paragraph holds the LICENSE's text (indented, blank
# lines as " .").
doc=$prefix/share/doc/tamrisk
# paragraph FIRST_LINE: the paragraph of the copyright file that opens so.
paragraph() { awk -v first="$1" 'BEGIN { RS = "" } index($0, first "\n") == 1' "$doc/copyright"; }
expect_eq "copyright: the format line" \
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" "$(head -n 1 "$doc/copyright")"
expect_eq "copyright: every file under MIT, by the LICENSE's holder" \
  "$(printf 'Files: *\n%s\nLicense: MIT' "$(sed -n 's/^Copyright (c) /Copyright: /p' "$doc/LICENSE")")" \
  "$(paragraph 'Files: *')"
expect_eq "copyright: the MIT text is the LICENSE's" "$(sed -n '/^Permission/,$p' "$doc/LICENSE")" \
  "$(paragraph 'License: MIT' | sed -e 1d -e 's/^ \.$//' -e 's/^ //')"

# ---- the installed programs ----
mkdir -p "$tmp/run"
(cd "$tmp/run" && printf '11\n2\n10\n' | "$prefix/bin/tamrisk" >out 2>err)
expect_eq "a new run: exit status" 0 "$?"
expect_eq "a new run: its factors" $'M11 has a factor: 23\nM11 has a factor: 89' \
  "$(cat "$tmp/run/results.txt" 2>/dev/null)"

out=$(cd "$tmp/run" && printf '71\n5\n' | "$prefix/bin/tamrisk" -f 2>&1)
expect_eq "the inspector: exit status" 1 "$?"
expect "the inspector: shows d = 2kp + 1" contains "$out" \
  "For k = 5 and exponent = 71 --> d = 2kp+1 = 711"

# The installed front end finds the installed program on the path, and its
# JSON lines carry the release the build was configured with.
mkdir -p "$tmp/batch"
printf '37 2 30\n' >"$tmp/batch/work.txt"
(cd "$tmp/batch" && env -u TAMRISK PATH="$prefix/bin:$PATH" tamrisk-batch --json-all work.txt >out 2>err)
expect_eq "the installed batch: exit status" 0 "$?"
expect_eq "the installed batch: its results" \
  $'M37 has a factor: 223\nM37 has a factor: 616318177' "$(cat "$tmp/batch/results.txt" 2>/dev/null)"
release=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
expect "the installed batch: the release ($release) in its JSON line" \
  grep -qF "\"program\":{\"name\":\"Tamrisk\", \"version\":\"$release\", " "$tmp/batch/results.json.txt"
expect_eq "the installed batch: a Python script" '#!/usr/bin/env python3' "$(head -n 1 "$prefix/bin/tamrisk-batch")"

# The installed self-test runs the installed tamrisk beside it, with no data
# file: the table is in the binary.
out=$(cd "$tmp/run" && "$prefix/bin/tamrisk-selftest" --quick 2>&1)
expect_eq "the installed self-test: exit status" 0 "$?"
expect_eq "the installed self-test: its verdict" "selftest passed" "$(tail -n 1 <<<"$out")"

# ---- the man pages ----
for page in tamrisk tamrisk-batch tamrisk-selftest tamrisk-verify; do
  file=$prefix/share/man/man1/$page.1.gz
  text=$(MANWIDTH=80 man --warnings -l "$file" 2>"$tmp/man.err")
  expect_eq "$page(1): man exit status" 0 "$?"
  expect_eq "$page(1): no warnings" "" "$(cat "$tmp/man.err")"
  for section in NAME SYNOPSIS DESCRIPTION FILES "EXIT STATUS" EXAMPLES COPYRIGHT "SEE ALSO"; do
    expect "$page(1): has $section" grep -qx "$section" <<<"$text"
  done
  expect_eq "$page(1): found by name under the prefix" "$file" \
    "$(man -M "$prefix/share/man" -w "$page" 2>/dev/null)"
done
text=$(MANWIDTH=80 man -l "$prefix/share/man/man1/tamrisk.1.gz" 2>/dev/null)
for word in status.txt results.txt "tamrisk -r" "tamrisk -f" tamrisk-batch; do
  expect "tamrisk(1) names $word" contains "$text" "$word"
done

# ---- the Debian package ----
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/deb" >"$tmp/cpack.log" 2>&1
expect_eq "cpack -G DEB: exit status" 0 "$?"
deb=$(find "$tmp/deb" -maxdepth 1 -name 'tamrisk_*.deb')
expect "cpack -G DEB: one package" test -n "$deb" -a -f "$deb"
if [ -f "$deb" ]; then
  expect_eq "the package holds exactly the installed files" \
    "$(printf 'usr/%s\n' "${installed[@]}")" \
    "$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | LC_ALL=C sort)"
  info=$(dpkg-deb --info "$deb")
  field() { sed -n "s/^ $1: //p" <<<"$info"; }
  expect_eq "Package" tamrisk "$(field Package)"
  expect "Maintainer: a name and an address" grep -qE '^[^<]+ <[^@> ]+@[^> ]+>$' <<<"$(field Maintainer)"
  expect "Description: a summary" test -n "$(field Description)"
  expect "Description: an extended text" grep -q '^  [A-Za-z]' <<<"$info"
  depends=$(field Depends)
  expect "Depends: the GMP runtime library ($depends)" grep -qE '(^|, )libgmp[0-9]+( |,|$)' <<<"$depends"
  expect "Depends: python3 ($depends)" grep -qE '(^|, )python3( |,|$)' <<<"$depends"
  expect "Recommends: the OpenCL loader ($(field Recommends))" \
    grep -qE '(^|, )ocl-icd-libopencl1( |$)' <<<"$(field Recommends)"
  expect "Recommends: parallel, for --sshloginfile ($(field Recommends))" \
    grep -qE '(^|, )parallel( |,|$)' <<<"$(field Recommends)"
  mkdir -p "$tmp/unpacked"
  dpkg-deb -x "$deb" "$tmp/unpacked"
  out=$("$tmp/unpacked/usr/bin/tamrisk-selftest" --quick 2>&1)
  expect_eq "the packaged (stripped) self-test: exit status" 0 "$?"
  expect_eq "the packaged self-test: its verdict" "selftest passed" "$(tail -n 1 <<<"$out")"
  expect_eq "Version: the changelog's" \
    "$(zcat "$tmp/unpacked/usr/share/doc/tamrisk/changelog.gz" | sed -n '1s/^tamrisk (\([^)]*\)).*/\1/p')" \
    "$(field Version)"
  lintian --fail-on error "$deb" >"$tmp/lintian.log" 2>&1
  expect_eq "lintian: no error" 0 "$?"
  grep '^E: ' "$tmp/lintian.log"
fi

printf '%d checks, %d failed\n' "$checks" "$failures"
[ "$failures" -eq 0 ]
