# SPDX-License-Identifier: MIT
# Checks shared by the shell tests: each records a failure and goes on, so a
# run reports every fault; the caller prints the tally and exits non-zero
# when any check failed. $case_name, when set, names the case in a failure.
failures=0
checks=0

fail() {
  printf 'FAIL%s %s\n' "${case_name:+ [$case_name]}" "$1"
  failures=$((failures + 1))
}
expect() {  # expect DESCRIPTION COMMAND...
  local what=$1
  shift
  checks=$((checks + 1))
  "$@" || fail "$what"
}
expect_eq() {  # expect_eq DESCRIPTION EXPECTED ACTUAL
  checks=$((checks + 1))
  if [ "$2" != "$3" ]; then
    fail "$1"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed 's/^/    /'
  fi
}

# require PROGRAM:PACKAGE...: stops the test at once, with one line naming
# them, when some of these programs are not on the PATH; PACKAGE is the
# Debian package that brings PROGRAM (scripts/run-tests installs them all).
require() {
  local pair missing=
  for pair in "$@"; do
    command -v "${pair%%:*}" >/dev/null ||
      missing+="${missing:+, }${pair%%:*} (Debian package ${pair#*:})"
  done
  [ -z "$missing" ] && return 0
  printf '%s: needs programs that are not on the PATH: %s\n' "${0##*/}" "$missing"
  exit 1
}
