#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# End-to-end tests of scripts/tamrisk-batch, the GNU parallel front end.
# usage: batch_test.sh PROGRAM BATCH_SCRIPT [CASE...]
# With CASE names, only those run (e.g. "interruption").
set -uo pipefail

program=$(readlink -f -- "$1")
batch=$(readlink -f -- "$2")
shift 2
tmp=$(mktemp -d)
trap '[ -n "${KEEP_TMP-}" ] || rm -rf "$tmp"' EXIT
# shellcheck source=support/checks.sh
. "$(dirname "$0")/support/checks.sh"
require parallel:parallel python3:python3
contains_line() { grep -qxF -- "$2" <<<"$1"; }  # contains_line TEXT LINE
not_contains() { ! grep -qF -- "$2" <<<"$1"; }   # not_contains TEXT PART
file_or_empty() { cat -- "$1" 2>/dev/null; }

# run_batch DIR ARGS...: runs the batch in DIR; sets rc, out, err.
run_batch() {
  local dir=$1
  shift
  (cd "$dir" && "$batch" "$@" >"$tmp/out" 2>"$tmp/err" </dev/null)
  rc=$?
  out=$(cat "$tmp/out")
  err=$(cat "$tmp/err")
}

new_case() {
  case_name=$1
  work=$tmp/$1
  mkdir -p "$work"
}

# The summary row of the job on work-file line N, spaces squeezed; its outcome.
row_of_line() {
  awk -v n="$1" '/^line +job +outcome$/ { table = 1; next } table && $1 == n && $2 ~ /^M/' <<<"$out" |
    tr -s ' '
}
outcome_of_line() {
  row_of_line "$1" | sed -E 's/^[0-9]+ M[^ ]+ [^ ]+ [^ ]+( \([^)]*\))? //'
}

# Known factors (from the published factorizations of these M(p): the
# complete lists below the given depths).
factor_lines() {  # factor_lines P D...
  local p=$1
  shift
  for d in "$@"; do printf 'M%s has a factor: %s\n' "$p" "$d"; done
}

# ---- cases ----

case_mixed_batch() {
  new_case mixed_batch
  printf '%s\n' \
    '# a mixed batch' \
    '11 2 10' \
    '37 2 30' \
    '15 2 10' \
    'Factor=ABC123,43,2,25' \
    '' \
    'Factor=23,2,20' \
    $'71 2 28   # a comment after the job\r' \
    '43 2' \
    '1277 2 30' \
    '31 2 20' >"$work/work.txt"
  run_batch "$work" -j 2 --program "$program" work.txt

  expect_eq "exit status: refused jobs win over the malformed line" 2 "$rc"
  expect_eq "one stderr line, for the malformed line" \
    "tamrisk-batch: line 9: expected P START END, found 2 fields; job skipped" "$err"
  local expected
  expected=$(
    factor_lines 11 23 89
    factor_lines 37 223 616318177
    factor_lines 43 431 9719 2099863
    factor_lines 23 47 178481
    factor_lines 71 228479 48544121 212885833
    echo "M1277 no factor from 2.000 bits to 30.000 bits."
  )
  expect_eq "merged results, in work-file order" "$expected" "$(file_or_empty "$work/results.txt")"
  local -a rows=(
    "2|factors found: 23, 89"
    "3|factors found: 223, 616318177"
    "4|refused: You didn't enter a prime number. Try Again!"
    "5|factors found: 431, 9719, 2099863"
    "7|factors found: 47, 178481"
    "8|factors found: 228479, 48544121, 212885833"
    "10|no factor"
    "11|refused: You entered a known Mersenne Prime number. Try Again!"
  )
  local row
  for row in "${rows[@]}"; do
    expect_eq "outcome of line ${row%%|*}" "${row#*|}" "$(outcome_of_line "${row%%|*}")"
  done
  expect_eq "the ID is shown" "5 M43 2 25 (ABC123) factors found: 431, 9719, 2099863" "$(row_of_line 5)"
  expect "no row for the malformed line" test -z "$(outcome_of_line 9)"
  expect_eq "progress lines, one per job" 8 "$(grep -c '^\[[1-8]/8\] line ' <<<"$out")"
  expect "the last progress line counts every factor" \
    grep -q '^\[8/8\] .*; factors so far: 12$' <<<"$out"
  expect_eq "job directories" \
    "$(printf '%s\n' M11_2_10 M1277_2_30 M15_2_10 M23_2_20 M31_2_20 M37_2_30 M43_2_25 M71_2_28)" \
    "$(cd "$work/runs" && printf '%s\n' * | LC_ALL=C sort)"
  expect_eq "exit-status marker of a finished job" 0 "$(file_or_empty "$work/runs/M71_2_28/exit-status")"
  expect_eq "exit-status marker of a refused job" 1 "$(file_or_empty "$work/runs/M15_2_10/exit-status")"

  # The same command again: finished jobs are not run again, refused ones
  # are, and the results file gains nothing.
  local before
  before=$(cat "$work/results.txt")
  run_batch "$work" -j 2 --program "$program" work.txt
  expect_eq "second run: exit status" 2 "$rc"
  expect "second run: counts the finished jobs" \
    contains_line "$out" "tamrisk-batch: 8 jobs, 6 done before, 2 to run"
  expect "second run: a finished job was not run again" test ! -e "$work/runs/M11_2_10/attempt-2.out"
  expect "second run: a refused job was tried again" test -e "$work/runs/M15_2_10/attempt-2.out"
  expect_eq "second run: results unchanged" "$before" "$(cat "$work/results.txt")"
  expect_eq "second run: outcome of a job done before" "factors found: 23, 89" "$(outcome_of_line 2)"
}

# Every kind of malformed line in one work file beside a good job: each is
# named on stderr with its line number, the good job runs, the exit status is 1.
case_malformed_lines() {
  new_case malformed_lines
  local -a cases=(
    "43 2|expected P START END, found 2 fields"
    "43 2 10 11|expected P START END, found 4 fields"
    "abc 2 10|the exponent 'abc' is not a whole number"
    "-43 2 10|the exponent '-43' is not a whole number"
    "43.0 2 10|the exponent '43.0' is not a whole number"
    "43 x 10|the start bit depth 'x' is not a number"
    "43 2 1e3|the end bit depth '1e3' is not a number"
    "43 2 .|the end bit depth '.' is not a number"
    "Factor=43,2|Factor= takes P,START,END or ID,P,START,END, not 2 fields"
    "Factor=a,43,2,10,11|Factor= takes P,START,END or ID,P,START,END, not 5 fields"
    "Factor=ID,x43,2,10|the exponent 'x43' is not a whole number"
    "Factor=ID,43,,10|the start bit depth '' is not a number"
    "Factor=|Factor= takes P,START,END or ID,P,START,END, not 1 fields"
    "11 2 10|the same job as line 1"
    "011 2 10|the same job as line 1"
    "Factor=X,11,2,10|the same job as line 1"
  )
  local c n=1 dir=$work/bad expected=
  mkdir -p "$dir"
  echo "11 2 10" >"$dir/work.txt"
  for c in "${cases[@]}"; do
    n=$((n + 1))
    printf '%s\n' "${c%%|*}" >>"$dir/work.txt"
    expected+="tamrisk-batch: line $n: ${c#*|}; job skipped"$'\n'
  done
  run_batch "$dir" --program "$program" work.txt
  expect_eq "exit status" 1 "$rc"
  expect_eq "one stderr line per bad line" "${expected%$'\n'}" "$err"
  expect_eq "the good job ran" "$(factor_lines 11 23 89)" "$(file_or_empty "$dir/results.txt")"
  expect_eq "only the good job has a directory" M11_2_10 "$(ls "$dir/runs")"
  expect "the count of skipped lines" contains_line "$out" \
    "Skipped: ${#cases[@]} malformed work-file line(s), named above."

  # Accepted forms, each in its own job directory.
  dir=$work/accepted
  mkdir -p "$dir"
  printf '%s\n' '  # only a comment' '' '  11   2   10  ' 'factor=23,2,20' \
    'Factor= ID 7 , 43 , +2 , 25.0 ' '0029 2.5 12.' >"$dir/work.txt"
  run_batch "$dir" --program "$program" work.txt
  expect_eq "accepted forms: exit status" 0 "$rc"
  expect_eq "accepted forms: stderr" "" "$err"
  expect_eq "accepted forms: directories" "$(printf '%s\n' M11_2_10 M23_2_20 M29_2.5_12. M43_+2_25.0)" \
    "$(cd "$dir/runs" && printf '%s\n' * | LC_ALL=C sort)"
  expect_eq "accepted forms: the ID is trimmed" \
    "5 M43 +2 25.0 (ID 7) factors found: 431, 9719, 2099863" "$(row_of_line 5)"
}

case_exit_statuses() {
  new_case exit_statuses
  local -a cases=(
    # work file | exit status
    "11 2 10|0"
    "# nothing but a comment|0"
    "11 2 10\nbad|1"
    "9 2 10|2"
    "9 2 10\nbad|2"
  )
  local c i=0 dir text status
  for c in "${cases[@]}"; do
    i=$((i + 1))
    IFS='|' read -r text status <<<"$c"
    dir=$work/$i
    mkdir -p "$dir"
    printf '%b\n' "$text" >"$dir/work.txt"
    run_batch "$dir" --program "$program" work.txt
    expect_eq "'$text': exit status" "$status" "$rc"
  done

  # The outcomes a job can have, in one batch.
  dir=$work/outcomes
  mkdir -p "$dir/runs/M11_2_10"
  # This job cannot write its results: it completes with 2 and has failed.
  ln -s /dev/full "$dir/runs/M11_2_10/results.txt"
  printf '%s\n' '1277 2 20' '9 2 10' '0 2 10' '11 2 4097' '11 2 10' >"$dir/work.txt"
  run_batch "$dir" --program "$program" work.txt
  expect_eq "outcomes: exit status" 2 "$rc"
  local -a rows=(
    "1|no factor"
    "2|refused: You didn't enter a prime number. Try Again!"
    "3|refused"
    "4|refused: Bit depths must lie between 0 and 4096. Try Again!"
    "5|failed (exit status 2)"
  )
  for c in "${rows[@]}"; do
    expect_eq "outcome of line ${c%%|*}" "${c#*|}" "$(outcome_of_line "${c%%|*}")"
  done
  expect_eq "outcomes: merged results" "M1277 no factor from 2.000 bits to 20.000 bits." \
    "$(file_or_empty "$dir/results.txt")"

  # A program that dies of a signal.
  dir=$work/killed
  mkdir -p "$dir"
  printf '#!/bin/sh\nkill -KILL $$\n' >"$dir/dies"
  chmod +x "$dir/dies"
  echo "11 2 10" >"$dir/work.txt"
  run_batch "$dir" --program "$dir/dies" work.txt
  expect_eq "program killed: exit status" 2 "$rc"
  expect_eq "program killed: outcome" "failed (exit status 137, signal 9)" "$(outcome_of_line 1)"
  expect_eq "program killed: marker" 137 "$(file_or_empty "$dir/runs/M11_2_10/exit-status")"

  # The batch cannot create its results file: it stops before any job.
  dir=$work/no_results
  mkdir -p "$dir"
  echo "11 2 10" >"$dir/work.txt"
  run_batch "$dir" --program "$program" --results work.txt/res.txt work.txt
  expect_eq "results file cannot be created: exit status" 2 "$rc"
  expect_eq "results file cannot be created: stderr" \
    "tamrisk-batch: cannot write the results file 'work.txt/res.txt'" "$err"
  expect "results file cannot be created: no job ran" test ! -e "$dir/runs"
  run_batch "$dir" --program "$program" --json work.txt/res.json work.txt
  expect_eq "JSON file cannot be created: exit status" 2 "$rc"
  expect_eq "JSON file cannot be created: stderr" \
    "tamrisk-batch: cannot write the JSON results file 'work.txt/res.json'" "$err"
  expect "JSON file cannot be created: no job ran" test ! -e "$dir/runs"

  # The batch cannot write its own results file.
  dir=$work/batch_results
  mkdir -p "$dir"
  echo "11 2 10" >"$dir/work.txt"
  run_batch "$dir" --program "$program" --results /dev/full --json results.json.txt work.txt
  expect_eq "unwritable batch results: exit status" 2 "$rc"
  expect_eq "unwritable batch results: stderr" \
    "tamrisk-batch: cannot write the results file '/dev/full'" "$err"
  expect "unwritable batch results: no claim of new lines" not_contains "$out" "Results:"

  # Each job runs on one thread unless the user chose otherwise.
  local threads
  for threads in unset 3; do
    dir=$work/threads_$threads
    mkdir -p "$dir"
    printf '#!/bin/sh\necho "${TAMRISK_THREADS-unset}" >threads\nexec "%s" "$@"\n' "$program" \
      >"$dir/records-threads"
    chmod +x "$dir/records-threads"
    echo "11 2 10" >"$dir/work.txt"
    if [ "$threads" = unset ]; then
      (unset TAMRISK_THREADS && run_batch "$dir" --program "$dir/records-threads" work.txt)
    else
      (export TAMRISK_THREADS=$threads && run_batch "$dir" --program "$dir/records-threads" work.txt)
    fi
    expect_eq "threads per job, TAMRISK_THREADS $threads" "${threads/unset/1}" \
      "$(file_or_empty "$dir/runs/M11_2_10/threads")"
  done
}

case_options() {
  new_case options
  local dir=$work/o
  mkdir -p "$dir"
  printf '11 2 10\n23 2 20\n' >"$dir/work.txt"

  run_batch "$dir" --help
  expect_eq "--help: exit status" 0 "$rc"
  expect "--help: shows the usage" grep -q '^usage: tamrisk-batch \[options\] WORKFILE$' <<<"$out"
  expect "--help: tells that 2 wins over 1" grep -q '(2 wins' <<<"$out"

  local -a bad=(
    "|no work file given"
    "work.txt work.txt|one work file only, got 2"
    "--bogus work.txt|unknown option: --bogus"
    "-j|option -j needs a value"
    "-j two work.txt|-j takes a number of jobs (or N%), not 'two'"
    "missing.txt|cannot read the work file 'missing.txt'"
    "--program $dir/none work.txt|cannot find the program '$dir/none' (use --program or TAMRISK)"
    "--sshloginfile $dir/none work.txt|cannot read the login file '$dir/none'"
    "--user $(printf 'x%.0s' {1..51}) work.txt|--user takes 1 to 50 printable ASCII characters, without quotes or backslashes"
    "--user a\"b work.txt|--user takes 1 to 50 printable ASCII characters, without quotes or backslashes"
    "--computer=a\\b work.txt|--computer takes 1 to 50 printable ASCII characters, without quotes or backslashes"
    "--computer=café work.txt|--computer takes 1 to 50 printable ASCII characters, without quotes or backslashes"
    "--user= work.txt|--user takes 1 to 50 printable ASCII characters, without quotes or backslashes"
    "--user a"$'\x01'"b work.txt|--user takes 1 to 50 printable ASCII characters, without quotes or backslashes"
    "--json= work.txt|--json needs a file"
    "--remove-done -|--remove-done needs a work file, not standard input"
  )
  local c
  local -a args
  for c in "${bad[@]}"; do
    read -r -a args <<<"${c%%|*}"
    run_batch "$dir" "${args[@]}"
    expect_eq "'${c%%|*}': exit status" 1 "$rc"
    expect_eq "'${c%%|*}': stderr" "tamrisk-batch: ${c#*|}" "$(head -n 1 <<<"$err")"
  done
  expect "nothing ran" test ! -e "$dir/runs/M11_2_10/exit-status"

  # --runs, --results, the work file on stdin, the program from TAMRISK.
  dir=$work/o2
  mkdir -p "$dir"
  printf '11 2 10\n23 2 20\n' >"$dir/work.txt"
  (cd "$dir" && TAMRISK=$program "$batch" --runs=elsewhere/r --results out/res.txt - \
    <work.txt >"$tmp/out" 2>"$tmp/err")
  expect_eq "--runs/--results/stdin: exit status" 0 "$?"
  expect "--runs: the jobs ran there" test -f "$dir/elsewhere/r/M23_2_20/exit-status"
  expect "--runs: not in runs/" test ! -e "$dir/runs"
  expect_eq "--results: the merged lines" "$(factor_lines 11 23 89; factor_lines 23 47 178481)" \
    "$(file_or_empty "$dir/out/res.txt")"
  expect "--results: no results.txt" test ! -e "$dir/results.txt"

  # The program from PATH by default.
  mkdir -p "$work/bin"
  ln -sf "$program" "$work/bin/tamrisk"
  (cd "$dir" && PATH=$work/bin:$PATH "$batch" -j1 work.txt >"$tmp/out" 2>"$tmp/err")
  expect_eq "tamrisk from PATH: exit status" 0 "$?"
  expect_eq "tamrisk from PATH: merged lines" "$(factor_lines 11 23 89; factor_lines 23 47 178481)" \
    "$(file_or_empty "$dir/results.txt")"
}

# Jobs sent to "other machines" through an ssh stand-in that runs the command
# here, from the home directory, as sshd would: the job function travels with
# the command, and the runs folder is reached by its absolute path.
case_sshloginfile() {
  new_case sshloginfile
  cat >"$work/fake-ssh" <<EOF
#!/usr/bin/env bash
echo "\$@" | cut -c1-40 >>"$work/ssh.log"
while [ \$# -gt 0 ]; do case \$1 in -l | -o | -p) shift 2 ;; -*) shift ;; *) break ;; esac; done
shift
[ "\${1-}" = -- ] && shift
cd "$work/home" && SHELL=/bin/bash exec bash -c "\$*"
EOF
  chmod +x "$work/fake-ssh"
  mkdir -p "$work/home" "$work/w"
  printf '1/%s hostA\n1/%s hostB\n' "$work/fake-ssh" "$work/fake-ssh" >"$work/w/hosts"
  printf '11 2 10\n37 2 30\n23 2 20\n' >"$work/w/work.txt"
  run_batch "$work/w" --sshloginfile hosts --program "$program" work.txt
  expect_eq "exit status" 0 "$rc"
  expect_eq "merged results" \
    "$(factor_lines 11 23 89; factor_lines 37 223 616318177; factor_lines 23 47 178481)" \
    "$(file_or_empty "$work/w/results.txt")"
  expect "both machines were used" grep -q '^hostA' "$work/ssh.log"
  expect "both machines were used" grep -q '^hostB' "$work/ssh.log"
  expect "nothing was written in the remote home" test -z "$(ls -A "$work/home")"
}

# ---- JSON results, credit, --remove-done ----
# check.py json FILE SINCE: one line per JSON line of FILE, "P BITLO BITHI
# STATUS FACTORS aid= user= computer= SUBVERSION | VERSION", each parsed with
# Python's json and its checksum recomputed with zlib.crc32; a line with a
# fault (fields, their order or types, the time, the checksum) ends in "BAD".
# check.py credit: reads "P START END GHZDAYS" lines, prints those that
# differ from the credit of their bit levels, and the count of lines read.
cat >"$tmp/check.py" <<'PYTHON'
import datetime, json, math, platform, re, sys, zlib
def credit(p, s, e):
    t = 0
    for b in range(math.floor(s) + 1, math.ceil(e) + 1):
        c = 0.011160 if b <= 62 else 0.017832 if b <= 64 else 0.016968
        t += c * 2 ** (b - 48) * 1680 / p * (2 ** min(e, b) - 2 ** max(s, b - 1)) / 2 ** (b - 1)
    return t
if sys.argv[1] == "credit":
    lines = sys.stdin.readlines()
    for l in lines:
        p, s, e, got = l.split()
        want = credit(int(p), float(s), float(e))
        if abs(float(got) - want) > 1e-5 * want:
            print(l.strip(), "want", want)
    sys.exit(print("checked", len(lines)))
since = datetime.datetime.strptime(sys.argv[3], "%Y-%m-%d %H:%M:%S") - datetime.timedelta(seconds=1)
now = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
arch = {"x86_64": "x86_64", "aarch64": "ARM64"}.get(platform.machine(), platform.machine())
for text in open(sys.argv[2], encoding="utf-8").read().splitlines():
    o = json.loads(text)
    f, pr, bad = o.get("factors", []), o["program"], []
    keys = ["exponent", "worktype", "status", "bitlo", "bithi", "rangecomplete"]
    keys += ["factors"] * (o["status"] == "F") + ["program", "timestamp"]
    keys += [k for k in ("user", "computer", "aid") if k in o] + ["os", "checksum"]
    if list(o) != keys or list(pr) != ["name", "version", "subversion"] or pr["name"] != "Tamrisk":
        bad.append("fields")
    if o["worktype"] != "TF" or o["rangecomplete"] is not True or o["status"] != ("F" if f else "NF"):
        bad.append("values")
    if not all(type(o[k]) is int for k in ("exponent", "bitlo", "bithi")):
        bad.append("types")
    if not all(re.fullmatch("[1-9][0-9]*", d) for d in f) or [int(d) for d in f] != sorted({int(d) for d in f}):
        bad.append("factors")
    if not since <= datetime.datetime.strptime(o["timestamp"], "%Y-%m-%d %H:%M:%S") <= now:
        bad.append("time")
    if json.dumps(o["os"]) != json.dumps({"os": "Linux", "architecture": arch}):
        bad.append("os")
    plain = [o["exponent"], "TF", ",".join(f), "", o["bitlo"], o["bithi"], 1, "", "", "Tamrisk",
             pr["version"], pr["subversion"], "", o["os"]["os"], o["os"]["architecture"], o["timestamp"]]
    crc = "%08X" % zlib.crc32(";".join(map(str, plain)).encode())
    if json.dumps(o["checksum"]) != json.dumps({"version": 1, "checksum": crc}):
        bad.append("checksum")
    print(o["exponent"], o["bitlo"], o["bithi"], o["status"], ",".join(f) or "-",
          *("%s=%s" % (k, o.get(k, "-")) for k in ("aid", "user", "computer")),
          pr["subversion"], "|", pr["version"], *(["BAD"] + bad if bad else []))
PYTHON
check_json() { python3 "$tmp/check.py" json "$@"; }  # check_json FILE SINCE
# The per-job credit lines of $out that Python computes otherwise.
credit_check() {
  sed -nE 's/^Credit: line [0-9]+, M([0-9]+) ([^ ]+) ([^ ]+)( \([^)]*\))?: ([^ ]+) GHz-days.*$/\1 \2 \3 \5/p' <<<"$out" |
    python3 "$tmp/check.py" credit
}
utc_now() { date -u '+%Y-%m-%d %H:%M:%S'; }

case_json_results() {
  new_case json_results
  local dir=$work/w since version name50
  mkdir -p "$dir"
  version=$(cd "$dir" && "$program" -r </dev/null 2>/dev/null | sed -n '1s/^Tamrisk v\. //p')
  name50=$(printf 'u%.0s' {1..49})Z
  printf '%s\n' 'Factor=0123456789ABCDEF0123456789abcdef,37,2,30' \
    'Factor=0123456789ABCDEF0123456789ABCDE,11,2,10' 'Factor=0123456789ABCDEF0123456789ABCDEF0,23,2,20' \
    'Factor=0123456789ABCDEF0123456789ABCDEG,43,02,25.0' '11 2 5' '1277 2 20' '29 2.5 12' '15 2 10' \
    >"$dir/work.txt"
  since=$(utc_now)
  # In a zone far from UTC, so that a local time would show.
  TZ=Asia/Kathmandu run_batch "$dir" --program "$program" --user "$name50" --computer 'box-1 (lab)' work.txt
  expect_eq "exit status: the refused job" 2 "$rc"
  local who="user=$name50 computer=box-1 (lab) cpu | $version"
  expect_eq "one JSON line per finished job with whole depths, in work-file order" "$(
    echo "37 2 30 F 223,616318177 aid=0123456789ABCDEF0123456789abcdef $who"
    echo "11 2 10 F 23,89 aid=- $who"
    echo "23 2 20 F 47,178481 aid=- $who"
    echo "43 2 25 F 431,9719,2099863 aid=- $who"
    echo "11 2 5 F 23 aid=- $who"
    echo "1277 2 20 NF - aid=- $who"
  )" "$(check_json "$dir/results.json.txt" "$since")"
  expect "the job with depths between levels is named" contains_line "$out" \
    "No JSON line for line 7, M29 2.5 12: its bit depths are not whole numbers"
  expect_eq "the credit of each finished job" "checked 7" "$(credit_check)"
  expect "the rate" grep -qE '^Rate: [0-9.e+-]+ GHz-days per day of wall time' <<<"$out"

  # Again, with another user name: the lines were made once, nothing is added.
  local before
  before=$(cat "$dir/results.json.txt")
  run_batch "$dir" --program "$program" --user other work.txt
  expect "second run: nothing added" contains_line "$out" "JSON results: 0 new line(s) in results.json.txt"
  expect_eq "second run: the JSON file unchanged" "$before" "$(cat "$dir/results.json.txt")"
  expect "second run: a job done before shows its credit" \
    grep -qE '^Credit: line 6, M1277 2 20: [0-9.e+-]+ GHz-days \(done before\)$' <<<"$out"
  # Reported and moved aside: not added again; another file gets them all.
  mv "$dir/results.json.txt" "$dir/sent.json.txt"
  run_batch "$dir" --program "$program" work.txt
  expect_eq "the file moved aside: nothing added" "" "$(cat "$dir/results.json.txt")"
  run_batch "$dir" --program "$program" --json other.json work.txt
  expect_eq "another JSON file: the same lines" "$before" "$(file_or_empty "$dir/other.json")"
}

# A stand-in program, version 9.99: for the exponent P it reads $work/P, whose
# lines are "factor D" (a line for results.txt), "err TEXT" (a stderr line of
# a new run) and "die" (a new run leaves a checkpoint and is killed there).
case_json_devices() {
  new_case json_devices
  local dir=$work/w since
  mkdir -p "$dir"
  cat >"$work/fake" <<EOF
#!/usr/bin/env bash
if [ "\${1-}" = -r ]; then p=\$(cat p); else read -r p; echo "\$p" >p; fi
echo "Tamrisk v. 9.99 test build"
while read -r what text; do
  case \$what in
    factor) echo "M\$p has a factor: \$text" >>results.txt ;;
    err) [ "\${1-}" = -r ] || echo "\$text" >&2 ;;
    die) [ -e status.txt ] || { : >status.txt; kill -KILL \$\$; } ;;
  esac
done <"$work/\$p"
EOF
  chmod +x "$work/fake"
  local dev='err tamrisk: OpenCL device 0:1:' h100='NVIDIA H100 (NVIDIA CUDA, driver 550.54)'
  local fallback="err tamrisk: OpenCL device 0:1: $h100: slower than the CPU path here; testing on the CPU"
  local -a rows=(
    # job|the program's lines, split at ~|P BITLO BITHI STATUS FACTORS|subversion
    "101 60 67|factor 212885833~factor 228479~factor 212885833~factor 48544121|101 60 67 F 228479,48544121,212885833|cpu"
    "103 64 65|$dev NVIDIA H100 80GB HBM3  (NVIDIA CUDA, driver 550.54)|103 64 65 NF -|opencl:NVIDIA H100 80GB HBM3"
    "107 2 10|$dev $h100~$fallback|107 2 10 NF -|cpu"
    "109 2 10|$dev Radeon \"Pro\" (gfx1100) (AMD APP (PAL), driver 3.0 (1))~${fallback/0:1/1:0}|109 2 10 NF -|opencl:Radeon \"Pro\" (gfx1100)"
    "131 2 10|$fallback|131 2 10 NF -|cpu"
    "137 2 10|err tamrisk: no OpenCL platform; testing on the CPU|137 2 10 NF -|cpu"
    "113 40 70|factor 7~$dev GPU (P, driver 1)~die~factor 5~factor 7|113 40 70 F 5,7|cpu"
    "127 64.5 65|||"
  )
  local row job text summary sub expected=''
  for row in "${rows[@]}"; do
    IFS='|' read -r job text summary sub <<<"$row"
    echo "$job" >>"$dir/work.txt"
    tr '~' '\n' <<<"$text" >"$work/${job%% *}"
    [ -z "$summary" ] || expected+="$summary aid=- user=- computer=- $sub | 9.99 test build"$'\n'
  done
  since=$(utc_now)
  run_batch "$dir" --program "$work/fake" work.txt
  expect_eq "first run: the killed job failed" "failed (exit status 137, signal 9)" "$(outcome_of_line 7)"
  expect_eq "first run: the credit of each finished job" "checked 7" "$(credit_check)"
  expect "depths between levels: no JSON line" contains_line "$out" \
    "No JSON line for line 8, M127 64.5 65: its bit depths are not whole numbers"
  run_batch "$dir" --program "$work/fake" work.txt
  expect_eq "second run: exit status" 0 "$rc"
  expect "second run: the killed job resumed" test -e "$dir/runs/M113_40_70/attempt-2.out"
  expect_eq "the lines, that of the killed and resumed job once" "${expected%$'\n'}" \
    "$(check_json "$dir/results.json.txt" "$since")"
  expect_eq "second run: the credit of each job" "checked 8" "$(credit_check)"
  local resumed
  resumed=$(sed -n 's/^Credit: line 7, M113 40 70: \([^ ]*\) GHz-days$/\1/p' <<<"$out")
  expect "second run: only the job finished in it counts for the rate" \
    grep -qF " GHz-days in total, $resumed of them by the jobs finished in this run" <<<"$out"
}

# --remove-done: the lines of finished jobs leave the work file; the others
# stay, and so does one that another program appends (under flock) meanwhile.
case_remove_done() {
  new_case remove_done
  require flock:util-linux
  local dir=$work/w
  mkdir -p "$dir"
  cat >"$work/appender" <<EOF
#!/bin/sh
case \$PWD in */M11_2_10) flock ../../work.txt sh -c 'echo Factor=NEW,1279,2,3 >>../../work.txt' ;; esac
exec "$program" "\$@"
EOF
  chmod +x "$work/appender"
  printf '%s\n' '# assignments' '11 2 10' 'Factor=ABC,15,2,10' '43 2' \
    $'Factor=0123456789ABCDEF0123456789ABCDEF,23,2,20\r' '37 2 30' >"$dir/work.txt"
  chmod 640 "$dir/work.txt"
  printf '{"exponent":7, "wor' >"$dir/results.json.txt"  # cut short by a crash
  run_batch "$dir" -j 2 --program "$work/appender" --remove-done work.txt
  expect_eq "exit status" 2 "$rc"
  expect_eq "the work file keeps the other lines and the appended one" \
    "$(printf '%s\n' '# assignments' 'Factor=ABC,15,2,10' '43 2' 'Factor=NEW,1279,2,3')" "$(cat "$dir/work.txt")"
  expect "the count" contains_line "$out" "Work file: 3 finished job line(s) removed from work.txt"
  expect_eq "its mode is kept" 640 "$(stat -c %a "$dir/work.txt")"
  expect_eq "no temporary left" "results.json.txt results.txt runs work.txt" "$(cd "$dir" && echo *)"
  expect_eq "the new JSON lines begin after the line cut short" '{"exponent":7, "wor|{"exponent":11, "wo' \
    "$(head -n 2 "$dir/results.json.txt" | cut -c1-19 | paste -sd"|")"

  # When a record cannot be written, nothing is removed.
  printf '11 2 10\n' >"$dir/work.txt"
  run_batch "$dir" --program "$program" --json /dev/full --remove-done work.txt
  expect_eq "JSON not written: exit status" 2 "$rc"
  expect_eq "JSON not written: stderr" "$(printf '%s\n' \
    "tamrisk-batch: cannot write the JSON results file '/dev/full'" \
    "tamrisk-batch: the lines of finished jobs stay in the work file, as their results could not be written")" "$err"
  expect "JSON not written: no claim of new lines" not_contains "$out" "JSON results:"
  expect_eq "JSON not written: the work file unchanged" "11 2 10" "$(cat "$dir/work.txt")"
}

# ---- interruption ----
# The pids of a process and all its descendants.
process_tree() {
  ps -e -o pid=,ppid= | awk -v root="$1" '
    { parent[$1] = $2 }
    END {
      for (p in parent) {
        for (q = p; q != "" && q != 0 && q != 1; q = parent[q]) if (q == root) { print p; break }
      }
    }'
}
# wait_for SECONDS PID COMMAND...: until COMMAND succeeds; gives up after
# SECONDS, or at once when the process PID (what is waited on) has ended.
wait_for() {
  local limit=$1 pid=$2 i
  shift 2
  for ((i = 0; i < limit * 10; i++)); do
    "$@" && return 0
    if ! kill -0 "$pid" 2>/dev/null; then
      "$@"
      return
    fi
    sleep 0.1
  done
  return 1
}
has_factor_line() { grep -q 'has a factor' "$1" 2>/dev/null; }

case_interruption() {
  require ps:procps
  new_case interruption
  local dir=$work/w long
  mkdir -p "$dir"
  # The first job runs five segments of the search and a little more (its
  # factors are found early in the first); the others are quick.
  printf '%s\n' '71 2 39.33' '11 2 10' '37 2 30' '23 2 20' '43 2 25' >"$dir/work.txt"
  long=$dir/runs/M71_2_39.33

  # 1. A crash after the quick jobs finished and the long one wrote factor
  #    lines, before its first checkpoint. To hit that moment, the long job
  #    runs under a stand-in that freezes the program once results.txt holds
  #    a factor line; then every process of the batch is killed at once.
  cat >"$work/freezer" <<EOF
#!/bin/sh
case \$PWD in */M71_2_39.33) ;; *) exec "$program" "\$@" ;; esac
exec 3<&0
"$program" "\$@" <&3 3<&- &
pid=\$!
while kill -0 \$pid 2>/dev/null; do
  if grep -q 'has a factor' results.txt 2>/dev/null; then
    kill -STOP \$pid
    : >"$work/frozen"
    wait \$pid
    exit \$?
  fi
  sleep 0.01
done
wait \$pid
EOF
  chmod +x "$work/freezer"
  set -m
  (cd "$dir" && exec "$batch" -j 2 --program "$work/freezer" work.txt >"$tmp/out1" 2>&1) &
  local pid=$!
  set +m
  expect "crash: the long job writes factor lines" wait_for 300 "$pid" test -e "$work/frozen"
  expect "crash: the quick jobs have finished" \
    wait_for 120 "$pid" test -f "$dir/runs/M43_2_25/exit-status" -a -f "$dir/runs/M23_2_20/exit-status"
  local pids
  pids=$(process_tree "$pid")
  # shellcheck disable=SC2086  # one pid a word
  kill -KILL $pids 2>/dev/null
  wait "$pid" 2>/dev/null
  expect "crash: the long job had no checkpoint yet" test ! -e "$long/status.txt"
  expect "crash: no marker for the long job" test ! -e "$long/exit-status"
  expect "crash: the long job has factor lines" grep -q 'has a factor' "$long/results.txt"

  # 2. Run again: only the long job runs, anew. Ctrl-C once it has a checkpoint.
  set -m
  (cd "$dir" && exec "$batch" -j 2 --program "$program" work.txt >"$tmp/out2" 2>"$tmp/err2") &
  pid=$!
  set +m
  expect "second run: the long job checkpoints" wait_for 600 "$pid" test -s "$long/status.txt"
  kill -INT -- "-$pid"
  wait "$pid"
  expect_eq "Ctrl-C: exit status" 130 "$?"
  out=$(cat "$tmp/out2")
  expect "second run: only the long job ran" \
    contains_line "$out" "tamrisk-batch: 5 jobs, 4 done before, 1 to run"
  expect "second run: the long job started anew" grep -q 'Please enter the exponent' "$long/attempt-2.out"
  expect_eq "Ctrl-C: outcome" "not finished (interrupted)" "$(outcome_of_line 1)"
  expect "Ctrl-C: told to run again" grep -q 'run the same command again' "$tmp/err2"
  expect "Ctrl-C: no marker for the long job" test ! -e "$long/exit-status"
  local checkpoint_k
  checkpoint_k=$(sed -n 2p "$long/status.txt")
  expect "the checkpoint is past the first segment" test "${checkpoint_k:-0}" -gt 1000000000

  # 3. Run again: the long job resumes from its checkpoint and completes.
  run_batch "$dir" -j 2 --program "$program" work.txt
  expect_eq "third run: exit status" 0 "$rc"
  expect "third run: the long job resumed" grep -q '^Resuming factoring of 71 ' "$long/attempt-3.out"
  expect "third run: the progress line tells it resumed" \
    grep -q '^\[5/5\] line 1, M71 2 39.33 (resumed): factors found: ' <<<"$out"
  local first_k
  first_k=$(grep -o -m 1 '^k=[0-9]*' "$long/attempt-3.out" | cut -d= -f2)
  expect "third run: it went on from the checkpoint ($first_k >= $checkpoint_k)" \
    test "${first_k:-0}" -ge "$checkpoint_k"
  local j
  for j in M11_2_10 M37_2_30 M23_2_20 M43_2_25; do
    expect "$j ran once" test ! -e "$dir/runs/$j/attempt-2.out"
  done
  expect "the long job's results.txt holds repeated lines" \
    test "$(grep -c 'M71 has a factor: 228479' "$long/results.txt")" -ge 2
  expect_eq "each job's lines once, in work-file order" \
    "$(
      factor_lines 71 228479 48544121 212885833
      factor_lines 11 23 89
      factor_lines 37 223 616318177
      factor_lines 23 47 178481
      factor_lines 43 431 9719 2099863
    )" \
    "$(file_or_empty "$dir/results.txt")"
  expect_eq "outcome of the long job" "factors found: 228479, 48544121, 212885833" "$(outcome_of_line 1)"
  expect "the long job: no JSON line" contains_line "$out" \
    "No JSON line for line 1, M71 2 39.33: its bit depths are not whole numbers"
  expect_eq "one JSON line for each quick job, killed before they were written" "11 37 23 43" \
    "$(check_json "$dir/results.json.txt" "2000-01-01 00:00:00" | grep -v BAD | cut -d' ' -f1 | paste -sd' ')"
}

all_cases=(mixed_batch malformed_lines exit_statuses options sshloginfile json_results json_devices
  remove_done interruption)
[ $# -gt 0 ] || set -- "${all_cases[@]}"
for c in "$@"; do
  "case_$c"
done
printf '%d checks, %d failed\n' "$checks" "$failures"
[ "$failures" -eq 0 ]
