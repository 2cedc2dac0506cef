#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End-to-end tests of tamrisk-batch, the batch front end, run with the built
program.

usage: batch_test.py PROGRAM BATCH RELEASE [unittest arguments]

PROGRAM is the built tamrisk, BATCH the configured tamrisk-batch and RELEASE
the project's version, which its JSON lines must carry. The unittest arguments
choose classes or cases (e.g. "BatchTest.test_options", "InterruptionTest").
KEEP_TMP=1 keeps the folders the cases work in.
"""

from __future__ import annotations

import dataclasses
import datetime
import http.server
import json
import math
import os
import platform
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
import zlib
from typing import Callable, Dict, List, Optional, Sequence

PROGRAM = BATCH = RELEASE = ""
SOURCE_BATCH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts", "tamrisk-batch")
GUID = "0123456789abcdef0123456789abcdef"
AID_A = "0123456789ABCDEF0123456789ABCDEF"
AID_B = "FEDCBA9876543210FEDCBA9876543210"


# ---- helpers ----

@dataclasses.dataclass
class Run:
    rc: int
    out: str
    err: str


def batch_env(extra: Optional[Dict[str, str]] = None, drop: Sequence[str] = ()) -> Dict[str, str]:
    env = dict(os.environ)
    # The jobs search on the CPU: these cases are the batch's, the device's
    # are elsewhere. (In the sanitizer build, a run that loads the OpenCL
    # loader only to find no GPU there can trip LeakSanitizer's scan of
    # dynamic thread-local storage as the program exits.)
    env["TAMRISK_DEVICE"] = "cpu"
    # The stub server is on the loopback: no proxy may stand in between.
    for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
        env.pop(name, None)
    for name in drop:
        env.pop(name, None)
    env.update(extra or {})
    return env


def run_batch(cwd: str, *args: str, env: Optional[Dict[str, str]] = None, stdin: Optional[bytes] = None,
              batch: str = "") -> Run:
    """Runs the batch in CWD; its stdout and stderr without trailing line ends."""
    p = subprocess.run([batch or BATCH, *args], cwd=cwd, input=stdin if stdin is not None else b"",
                       capture_output=True, env=env or batch_env(), timeout=600)
    return Run(p.returncode, p.stdout.decode("utf-8", "replace").rstrip("\n"),
               p.stderr.decode("utf-8", "replace").rstrip("\n"))


def text(path: str) -> str:
    """The file's text without trailing line ends; "" when it is missing."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read().rstrip("\n")
    except OSError:
        return ""


def write(path: str, content: str, mode: int = 0) -> None:
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(content)
    if mode:
        os.chmod(path, mode)


def lines(*items: str) -> str:
    return "".join(item + "\n" for item in items)


def factor_lines(p: int, *divisors: int) -> str:
    """Known factors, from the published factorizations of these M(p): the
    complete lists below the given depths."""
    return "\n".join(f"M{p} has a factor: {d}" for d in divisors)


# A summary row, spaces squeezed: line, job (with its ID), witnesses, outcome.
SUMMARY_ROW = re.compile(r"([0-9]+ M[^ ]+ [^ ]+ [^ ]+(?: \([^)]*\))?) ([0-9]+|-) (.*)")


def summary_rows(out: str, n: int) -> List[re.Match]:
    """The summary rows of the job on work-file line N."""
    rows, table = [], False
    for line in out.split("\n"):
        if re.fullmatch(r"line +job +witnesses +outcome", line):
            table = True
            continue
        fields = line.split()
        if table and len(fields) >= 2 and fields[0] == str(n) and fields[1].startswith("M"):
            row = SUMMARY_ROW.fullmatch(re.sub(" +", " ", line))
            if row is not None:
                rows.append(row)
    return rows


# What a stand-in program writes for the batch's check of its witnesses: a
# list over k = 1 alone, where none is expected (the exponent in $p).
STAND_IN_WITNESSES = 'printf "%s 16 1 2\\nthrough 1\\n" "$p" >witnesses.txt'


def row_of_line(out: str, n: int) -> str:
    """The summary row of the job on work-file line N, spaces squeezed, without
    its witnesses column."""
    return "\n".join(f"{m.group(1)} {m.group(3)}" for m in summary_rows(out, n))


def witnesses_of_line(out: str, n: int) -> str:
    """The witnesses column of the job on work-file line N."""
    return "\n".join(m.group(2) for m in summary_rows(out, n))


def outcome_of_line(out: str, n: int) -> str:
    return re.sub(r"^[0-9]+ M[^ ]+ [^ ]+ [^ ]+( \([^)]*\))? ", "", row_of_line(out, n))


def utc_now() -> str:
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S")


def credit(p: int, s: float, e: float) -> float:
    t = 0.0
    for b in range(math.floor(s) + 1, math.ceil(e) + 1):
        c = 0.011160 if b <= 62 else 0.017832 if b <= 64 else 0.016968
        t += c * 2 ** (b - 48) * 1680 / p * (2 ** min(e, b) - 2 ** max(s, b - 1)) / 2 ** (b - 1)
    return t


def credit_check(out: str) -> str:
    """The per-job credit lines of OUT that differ from the credit of their
    bit levels computed here, and the count of lines read."""
    found = re.findall(r"^Credit: line [0-9]+, M([0-9]+) ([^ ]+) ([^ ]+)(?: \([^)]*\))?: ([^ ]+) GHz-days.*$",
                       out, re.M)
    bad = []
    for p, s, e, got in found:
        want = credit(int(p), float(s), float(e))
        if abs(float(got) - want) > 1e-5 * want:
            bad.append(f"{p} {s} {e} {got} want {want}")
    return "\n".join(bad + [f"checked {len(found)}"])


def check_json(path: str, since: str) -> str:
    """One line per JSON line of PATH, "P BITLO BITHI STATUS FACTORS aid=
    user= computer= SUBVERSION | VERSION", each parsed with json and its
    checksum recomputed with zlib.crc32; a line with a fault (fields, their
    order or types, the time, the checksum, a byte outside printable ASCII)
    ends in "BAD"."""
    start = datetime.datetime.strptime(since, "%Y-%m-%d %H:%M:%S") - datetime.timedelta(seconds=1)
    now = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
    arch = {"x86_64": "x86_64", "aarch64": "ARM64"}.get(platform.machine(), platform.machine())
    result = []
    with open(path, "rb") as f:
        raw_lines = f.read().splitlines()
    for raw in raw_lines:
        o = json.loads(raw.decode("utf-8"))
        f_, pr, bad = o.get("factors", []), o["program"], []
        keys = ["exponent", "worktype", "status", "bitlo", "bithi", "rangecomplete"]
        keys += ["factors"] * (o["status"] == "F") + ["program", "timestamp"]
        keys += [k for k in ("user", "computer", "aid") if k in o] + ["os", "checksum"]
        if list(o) != keys or list(pr) != ["name", "version", "subversion"] or pr["name"] != "Tamrisk":
            bad.append("fields")
        if o["worktype"] != "TF" or o["rangecomplete"] is not True or o["status"] != ("F" if f_ else "NF"):
            bad.append("values")
        if not all(type(o[k]) is int for k in ("exponent", "bitlo", "bithi")):
            bad.append("types")
        if not all(re.fullmatch("[1-9][0-9]*", d) for d in f_) or [int(d) for d in f_] != sorted({int(d) for d in f_}):
            bad.append("factors")
        if not start <= datetime.datetime.strptime(o["timestamp"], "%Y-%m-%d %H:%M:%S") <= now:
            bad.append("time")
        if json.dumps(o["os"]) != json.dumps({"os": "Linux", "architecture": arch}):
            bad.append("os")
        if any(not 0x20 <= b <= 0x7E for b in raw):
            bad.append("ascii")
        plain = [o["exponent"], "TF", ",".join(f_), "", o["bitlo"], o["bithi"], 1, "", "", "Tamrisk",
                 pr["version"], pr["subversion"], "", o["os"]["os"], o["os"]["architecture"], o["timestamp"]]
        crc = "%08X" % zlib.crc32(";".join(map(str, plain)).encode())
        if json.dumps(o["checksum"]) != json.dumps({"version": 1, "checksum": crc}):
            bad.append("checksum")
        result.append(" ".join([str(o["exponent"]), str(o["bitlo"]), str(o["bithi"]), o["status"],
                                ",".join(f_) or "-"]
                               + ["%s=%s" % (k, o.get(k, "-")) for k in ("aid", "user", "computer")]
                               + [pr["subversion"], "|", pr["version"]] + (["BAD"] + bad if bad else [])))
    return "\n".join(result)


def take_lock(path: str) -> None:
    """Takes WORKFILE.lck as the assignment tools do: O_CREAT | O_EXCL, with
    back-off while another holds it."""
    delay = 0.0005
    while True:
        try:
            os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644))
            return
        except FileExistsError:
            time.sleep(delay)
            delay = min(delay * 2, 0.02)


def append_locked(workfile: str, line: str) -> None:
    """Appends a line as the assignment tools do, holding WORKFILE.lck."""
    take_lock(workfile + ".lck")
    try:
        with open(workfile, "a") as f:
            f.write(line + "\n")
    finally:
        os.unlink(workfile + ".lck")


# The shell helpers of the stand-in programs: take and give back the work
# file's lock as the assignment tools do (set -C creates with O_EXCL).
SH_LOCK = r'''
lock() { until (set -C; : >"$1.lck") 2>/dev/null; do sleep 0.01; done; }
unlock() { rm -f "$1.lck"; }
'''


class Case(unittest.TestCase):
    """A case with its own folder."""

    def setUp(self) -> None:
        self.tmp = tempfile.mkdtemp(prefix="batch_test.")
        if not os.environ.get("KEEP_TMP"):
            self.addCleanup(shutil.rmtree, self.tmp, True)

    def folder(self, *names: str) -> str:
        path = os.path.join(self.tmp, *names)
        os.makedirs(path, exist_ok=True)
        return path

    def script(self, name: str, body: str) -> str:
        path = os.path.join(self.tmp, name)
        write(path, body, 0o755)
        return path


# ---- the batch: jobs, outcomes, results, JSON lines, the work file ----

class BatchTest(Case):

    def test_witnesses_checked_before_the_json_line(self) -> None:
        """Each finished job's witnesses.txt goes through tamrisk-verify
        before its JSON line is made: its count shows in the table; a list
        that fails the check (a line planted after the run) costs the job its
        JSON line and the batch exit status 2; a list that holds gets it."""
        d = self.folder("w")
        write(f"{d}/work.txt", lines("11 2 10", "23 2 20"))
        r = run_batch(d, "--json-all", "--program", PROGRAM, "work.txt")
        self.assertEqual(0, r.rc, r.err)
        for n, job in ((1, "M11_2_10"), (2, "M23_2_20")):
            listed = text(f"{d}/runs/{job}/witnesses.txt").split("\n")
            self.assertRegex(listed[-1], r"^through [0-9]+$", job)
            self.assertEqual(str(len(listed) - 2), witnesses_of_line(r.out, n), f"witnesses of line {n}")
            self.assertTrue(text(f"{d}/runs/{job}/verify.out").startswith("witnesses ok: "), job)
        self.assertEqual(2, len(text(f"{d}/results.json.txt").split("\n")), "a JSON line each")

        # The lines made again for the second job, over a list with a
        # candidate that is no witness (k = 3: d = 139 ends in no zero bits).
        job = f"{d}/runs/M23_2_20"
        for name in ("result.json", "result.json.added"):
            os.unlink(f"{job}/{name}")
        head, *rest = text(f"{job}/witnesses.txt").split("\n")
        write(f"{job}/witnesses.txt", "\n".join([head, "3", *rest]) + "\n")
        r = run_batch(d, "--json-all", "--json", "again.json", "--program", PROGRAM, "work.txt")
        self.assertEqual(2, r.rc, "a job whose witnesses fail counts as failed")
        self.assertRegex(outcome_of_line(r.out, 2), r"^failed: witnesses FAILED: 1 fault in 1 witnesses")
        self.assertIn("k = 3: 2^p mod d", text(f"{job}/verify.out"))
        made = text(f"{d}/again.json")
        self.assertEqual(1, len(made.split("\n")), "no JSON line for the failed job")
        self.assertIn('"exponent":11,', made)

    def test_mixed_batch(self) -> None:
        d = self.folder("w")
        write(f"{d}/work.txt", lines(
            "# a mixed batch", "11 2 10", "37 2 30", "15 2 10", "Factor=ABC123,43,2,25", "",
            "Factor=23,2,20", "71 2 28   # a comment after the job\r", "43 2", "1277 2 30", "31 2 20"))
        r = run_batch(d, "-j", "2", "--program", PROGRAM, "work.txt")
        self.assertEqual(2, r.rc, "exit status: refused jobs win over the malformed line")
        self.assertEqual("tamrisk-batch: line 9: expected P START END, found 2 fields; job skipped", r.err,
                         "one stderr line, for the malformed line")
        expected = "\n".join([
            factor_lines(11, 23, 89), factor_lines(37, 223, 616318177), factor_lines(43, 431, 9719, 2099863),
            factor_lines(23, 47, 178481), factor_lines(71, 228479, 48544121, 212885833),
            "M1277 no factor from 2.000 bits to 30.000 bits."])
        self.assertEqual(expected, text(f"{d}/results.txt"), "merged results, in work-file order")
        rows = [
            (2, "factors found: 23, 89"),
            (3, "factors found: 223, 616318177"),
            (4, "refused: You didn't enter a prime number. Try Again!"),
            (5, "factors found: 431, 9719, 2099863"),
            (7, "factors found: 47, 178481"),
            (8, "factors found: 228479, 48544121, 212885833"),
            (10, "no factor"),
            (11, "refused: You entered a known Mersenne Prime number. Try Again!"),
        ]
        for n, want in rows:
            self.assertEqual(want, outcome_of_line(r.out, n), f"outcome of line {n}")
        self.assertEqual("5 M43 2 25 (ABC123) factors found: 431, 9719, 2099863", row_of_line(r.out, 5),
                         "the ID is shown")
        self.assertEqual("", outcome_of_line(r.out, 9), "no row for the malformed line")
        self.assertEqual(8, len(re.findall(r"^\[[1-8]/8\] line ", r.out, re.M)), "progress lines, one per job")
        self.assertRegex(r.out, r"(?m)^\[8/8\] .*; factors so far: 12$",
                         "the last progress line counts every factor")
        self.assertEqual(["M11_2_10", "M1277_2_30", "M15_2_10", "M23_2_20", "M31_2_20", "M37_2_30",
                          "M43_2_25", "M71_2_28"], sorted(os.listdir(f"{d}/runs")), "job directories")
        self.assertEqual("0", text(f"{d}/runs/M71_2_28/exit-status"), "exit-status marker of a finished job")
        self.assertEqual("1", text(f"{d}/runs/M15_2_10/exit-status"), "exit-status marker of a refused job")

        # The same command again: finished jobs are not run again, refused
        # ones are, and the results file gains nothing.
        before = text(f"{d}/results.txt")
        r = run_batch(d, "-j", "2", "--program", PROGRAM, "work.txt")
        self.assertEqual(2, r.rc, "second run: exit status")
        self.assertIn("tamrisk-batch: 8 jobs, 6 done before, 2 to run", r.out.split("\n"),
                      "second run: counts the finished jobs")
        self.assertFalse(os.path.exists(f"{d}/runs/M11_2_10/attempt-2.out"),
                         "second run: a finished job was not run again")
        self.assertTrue(os.path.exists(f"{d}/runs/M15_2_10/attempt-2.out"),
                        "second run: a refused job was tried again")
        self.assertEqual(before, text(f"{d}/results.txt"), "second run: results unchanged")
        self.assertEqual("factors found: 23, 89", outcome_of_line(r.out, 2),
                         "second run: outcome of a job done before")

    def test_malformed_lines(self) -> None:
        """Every kind of malformed line in one work file beside a good job:
        each is named on stderr with its line number, the good job runs, the
        exit status is 1."""
        cases = [
            ("43 2", "expected P START END, found 2 fields"),
            ("43 2 10 11", "expected P START END, found 4 fields"),
            ("abc 2 10", "the exponent 'abc' is not a whole number"),
            ("-43 2 10", "the exponent '-43' is not a whole number"),
            ("43.0 2 10", "the exponent '43.0' is not a whole number"),
            ("43 x 10", "the start bit depth 'x' is not a number"),
            ("43 2 1e3", "the end bit depth '1e3' is not a number"),
            ("43 2 .", "the end bit depth '.' is not a number"),
            ("Factor=43,2", "Factor= takes P,START,END or ID,P,START,END, not 2 fields"),
            ("Factor=a,43,2,10,11", "Factor= takes P,START,END or ID,P,START,END, not 5 fields"),
            ("Factor=ID,x43,2,10", "the exponent 'x43' is not a whole number"),
            ("Factor=ID,43,,10", "the start bit depth '' is not a number"),
            ("Factor=", "Factor= takes P,START,END or ID,P,START,END, not 1 fields"),
            ("Factor=N/A,43,2", "the exponent 'N/A' is not a whole number"),
            ("11 2 10", "the same job as line 1"),
            ("011 2 10", "the same job as line 1"),
            ("Factor=X,11,2,10", "the same job as line 1"),
            ("11 +2.0 10.", "the same job as line 1"),
            ("Factor=N/A,11,2,10 // a trailing comment", "the same job as line 1"),
        ]
        d = self.folder("bad")
        content = ["11 2 10"] + [line for line, _ in cases]
        messages = [f"tamrisk-batch: line {n}: {reason}; job skipped" for n, (_, reason) in enumerate(cases, 2)]
        write(f"{d}/work.txt", lines(*content))
        r = run_batch(d, "--program", PROGRAM, "work.txt")
        self.assertEqual(1, r.rc, "exit status")
        self.assertEqual("\n".join(messages), r.err, "one stderr line per bad line")
        self.assertEqual(factor_lines(11, 23, 89), text(f"{d}/results.txt"), "the good job ran")
        self.assertEqual(["M11_2_10"], os.listdir(f"{d}/runs"), "only the good job has a directory")
        self.assertIn(f"Skipped: {len(cases)} malformed work-file line(s), named above.", r.out.split("\n"),
                      "the count of skipped lines")

        # Accepted forms, each in its own job directory.
        d = self.folder("accepted")
        write(f"{d}/work.txt", lines("  # only a comment", "", "  11   2   10  ", "factor=23,2,20",
                                     "Factor= ID 7 , 43 , +2 , 25.0 ", "0029 2.5 12."))
        r = run_batch(d, "--program", PROGRAM, "work.txt")
        self.assertEqual(0, r.rc, "accepted forms: exit status")
        self.assertEqual("", r.err, "accepted forms: stderr")
        self.assertEqual(["M11_2_10", "M23_2_20", "M29_2.5_12.", "M43_+2_25.0"], sorted(os.listdir(f"{d}/runs")),
                         "accepted forms: directories")
        self.assertEqual("5 M43 +2 25.0 (ID 7) factors found: 431, 9719, 2099863", row_of_line(r.out, 5),
                         "accepted forms: the ID is trimmed")

    def test_field_work_file(self) -> None:
        """A work file as the assignment tool keeps it: comments in both
        styles, other work types, a worker's section, IDs in either case and
        N/A. The jobs run, nothing is called malformed, and the file stays
        byte for byte as it was; with --remove-done only the finished jobs'
        lines leave it."""
        d = self.folder("w")
        kept = [
            "[Worker #1]",
            "// fetched by the assignment tool",
            "\\\\ a comment of the other style",
            f"PRP={AID_B},1,2,1000003,-1,75,0",
            "Pfactor=N/A,1,2,1000033,-1,70,2",
            "Pminus1=1,2,1000037,-1,100000,2000000",
            "Test=1000039,72,1",
            "// Factor=N/A,29,2,20 (a job commented out)",
            "  \\\\ indented",
            "",
        ]
        jobs = [
            "Factor=0123456789abcdef0123456789abcdef,37,2,30 // lower-case ID, a trailing comment",
            f"Factor={AID_A},11,2,10//no space",
            "Factor=N/A,23,2,20\r",
        ]
        # The jobs between the other lines and at the end, the last without a line end.
        original = "\n".join(kept[:4] + jobs[:1] + kept[4:] + jobs[1:])
        write(f"{d}/worktodo.txt", original)
        r = run_batch(d, "--program", PROGRAM, "--json-all", "worktodo.txt")
        self.assertEqual(0, r.rc, r.err)
        self.assertEqual("", r.err, "nothing is reported")
        with open(f"{d}/worktodo.txt", newline="") as f:
            self.assertEqual(original, f.read(), "the work file is left as it was")
        self.assertEqual(["M11_2_10", "M23_2_20", "M37_2_30"], sorted(os.listdir(f"{d}/runs")), "the jobs")
        self.assertEqual(
            "37 2 30 F 223,616318177 aid=0123456789abcdef0123456789abcdef\n"
            f"11 2 10 F 23,89 aid={AID_A}\n23 2 20 F 47,178481 aid=-",
            "\n".join(" ".join(l.split()[:6])
                      for l in check_json(f"{d}/results.json.txt", "2000-01-01 00:00:00").split("\n")),
            "the IDs as written, N/A none")

        r = run_batch(d, "--program", PROGRAM, "--remove-done", "worktodo.txt")
        self.assertEqual(0, r.rc, r.err)
        self.assertEqual("", r.err)
        self.assertIn("Work file: 3 finished job line(s) removed from worktodo.txt", r.out.split("\n"))
        with open(f"{d}/worktodo.txt", newline="") as f:
            self.assertEqual("\n".join(kept), f.read(), "the other lines stay byte for byte")

    def test_exit_statuses(self) -> None:
        cases = [
            ("11 2 10", 0),
            ("# nothing but a comment", 0),
            (f"// a comment\n\\\\ another\nPRP={AID_A},1,2,1000003,-1,75,0\n[Worker #2]", 0),
            ("11 2 10\nbad", 1),
            ("9 2 10", 2),
            ("9 2 10\nbad", 2),
        ]
        for i, (work, status) in enumerate(cases):
            with self.subTest(work=work):
                d = self.folder(str(i))
                write(f"{d}/work.txt", work + "\n")
                r = run_batch(d, "--program", PROGRAM, "work.txt")
                self.assertEqual(status, r.rc, r.err)

        # The outcomes a job can have, in one batch.
        d = self.folder("outcomes")
        os.makedirs(f"{d}/runs/M11_2_10")
        # This job cannot write its results: it completes with 2 and has failed.
        os.symlink("/dev/full", f"{d}/runs/M11_2_10/results.txt")
        write(f"{d}/work.txt", lines("1277 2 20", "9 2 10", "0 2 10", "11 2 4097", "11 2 10"))
        r = run_batch(d, "--program", PROGRAM, "work.txt")
        self.assertEqual(2, r.rc, "outcomes: exit status")
        rows = [
            (1, "no factor"),
            (2, "refused: You didn't enter a prime number. Try Again!"),
            (3, "refused"),
            (4, "refused: Bit depths must lie between 0 and 4096. Try Again!"),
            (5, "failed (exit status 2)"),
        ]
        for n, want in rows:
            self.assertEqual(want, outcome_of_line(r.out, n), f"outcome of line {n}")
        self.assertEqual("M1277 no factor from 2.000 bits to 20.000 bits.", text(f"{d}/results.txt"),
                         "outcomes: merged results")

        # A program that dies of a signal.
        d = self.folder("killed")
        dies = self.script("dies", "#!/bin/sh\nkill -KILL $$\n")
        write(f"{d}/work.txt", "11 2 10\n")
        r = run_batch(d, "--program", dies, "work.txt")
        self.assertEqual(2, r.rc, "program killed: exit status")
        self.assertEqual("failed (exit status 137, signal 9)", outcome_of_line(r.out, 1), "program killed: outcome")
        self.assertEqual("137", text(f"{d}/runs/M11_2_10/exit-status"), "program killed: marker")

        # The batch cannot create its results file: it stops before any job.
        d = self.folder("no_results")
        write(f"{d}/work.txt", "11 2 10\n")
        r = run_batch(d, "--program", PROGRAM, "--results", "work.txt/res.txt", "work.txt")
        self.assertEqual(2, r.rc, "results file cannot be created: exit status")
        self.assertEqual("tamrisk-batch: cannot write the results file 'work.txt/res.txt'", r.err)
        self.assertFalse(os.path.exists(f"{d}/runs"), "results file cannot be created: no job ran")
        r = run_batch(d, "--program", PROGRAM, "--json", "work.txt/res.json", "work.txt")
        self.assertEqual(2, r.rc, "JSON file cannot be created: exit status")
        self.assertEqual("tamrisk-batch: cannot write the JSON results file 'work.txt/res.json'", r.err)
        self.assertFalse(os.path.exists(f"{d}/runs"), "JSON file cannot be created: no job ran")

        # The batch cannot write its own results file.
        d = self.folder("batch_results")
        write(f"{d}/work.txt", "11 2 10\n")
        r = run_batch(d, "--program", PROGRAM, "--results", "/dev/full", "--json", "results.json.txt", "work.txt")
        self.assertEqual(2, r.rc, "unwritable batch results: exit status")
        self.assertEqual("tamrisk-batch: cannot write the results file '/dev/full'", r.err)
        self.assertNotIn("Results:", r.out, "unwritable batch results: no claim of new lines")

        # Each job runs on one thread unless the user chose otherwise.
        for threads in ("unset", "3"):
            with self.subTest(threads=threads):
                d = self.folder(f"threads_{threads}")
                recorder = self.script(f"records-threads-{threads}",
                                       f'#!/bin/sh\necho "${{TAMRISK_THREADS-unset}}" >threads\nexec "{PROGRAM}" "$@"\n')
                write(f"{d}/work.txt", "11 2 10\n")
                env = batch_env(drop=["TAMRISK_THREADS"]) if threads == "unset" else \
                    batch_env({"TAMRISK_THREADS": threads})
                run_batch(d, "--program", recorder, "work.txt", env=env)
                self.assertEqual("1" if threads == "unset" else threads, text(f"{d}/runs/M11_2_10/threads"))

    def test_jobs_at_once(self) -> None:
        """-j as GNU parallel reads it, now that the batch runs the jobs
        itself: N, 0 for all, N% of the cores, +N and -N more or fewer. Each
        stand-in job waits (at most 5 s) until as many jobs run as -j allows,
        and notes how many it saw: never more, and that many once."""
        cores = len(os.sched_getaffinity(0))
        running = self.folder("running")
        job = self.script("counts", lines(
            "#!/bin/sh", "read p; read s; read e", f': >"{running}/$p"', "i=0",
            f'while [ "$(ls "{running}" | wc -l)" -lt "$WANT" ] && [ $i -lt 500 ]; do sleep 0.01; i=$((i + 1)); done',
            f'ls "{running}" | wc -l >seen', "sleep 0.1", f'rm "{running}/$p"',
            'echo "M$p no factor from $s.000 bits to $e.000 bits." >>results.txt', STAND_IN_WITNESSES))
        # -j, and the jobs it lets run at once (0: all of them).
        cases = [("1", 1), ("2", 2), ("0", 0), ("100%", cores), ("50%", max(1, cores // 2)), ("+1", cores + 1),
                 ("-99", 1)]
        for wanted, slots in cases:
            with self.subTest(j=wanted):
                # Twice as many jobs as run at once (up to 8), so that none waits alone.
                count = 4 if slots == 0 else 2 * min(slots, 4)
                at_once = count if slots == 0 else min(slots, count)
                d = self.folder(f"j{wanted}")
                exponents = [11, 23, 29, 37, 41, 43, 47, 53][:count]
                write(f"{d}/work.txt", lines(*(f"{p} 2 10" for p in exponents)))
                r = run_batch(d, "-j", wanted, "--program", job, "work.txt", env=batch_env({"WANT": str(at_once)}))
                self.assertEqual(0, r.rc, r.err)
                seen = [int(text(f"{d}/runs/M{p}_2_10/seen")) for p in exponents]
                self.assertEqual(at_once, max(seen), f"jobs seen at once: {seen}")

    def test_options(self) -> None:
        d = self.folder("o")
        write(f"{d}/work.txt", "11 2 10\n23 2 20\n")
        r = run_batch(d, "--help")
        self.assertEqual(0, r.rc, "--help: exit status")
        self.assertRegex(r.out, r"(?m)^usage: tamrisk-batch \[options\] WORKFILE$", "--help: shows the usage")
        self.assertIn("(2 wins", r.out, "--help: tells that 2 wins over 1")

        hint = "--report needs the computer's GUID: --guid, or ComputerGUID in the [PrimeNet] section of"
        name_rule = "takes 1 to 50 printable ASCII characters, without quotes or backslashes"
        bad = [
            ([], "no work file given"),
            (["work.txt", "work.txt"], "one work file only, got 2"),
            (["--bogus", "work.txt"], "unknown option: --bogus"),
            (["-j"], "option -j needs a value"),
            (["-j", "two", "work.txt"], "-j takes a number of jobs (or N%), not 'two'"),
            (["missing.txt"], "cannot read the work file 'missing.txt'"),
            (["--program", f"{d}/none", "work.txt"], f"cannot find the program '{d}/none' (use --program or TAMRISK)"),
            (["--sshloginfile", f"{d}/none", "work.txt"], f"cannot read the login file '{d}/none'"),
            (["--user", "x" * 51, "work.txt"], "--user " + name_rule),
            (["--user", 'a"b', "work.txt"], "--user " + name_rule),
            (["--computer=a\\b", "work.txt"], "--computer " + name_rule),
            (["--computer=café", "work.txt"], "--computer " + name_rule),
            (["--user=", "work.txt"], "--user " + name_rule),
            (["--user", "a\x01b", "work.txt"], "--user " + name_rule),
            (["--json=", "work.txt"], "--json needs a file"),
            (["--remove-done", "-"], "--remove-done needs a work file, not standard input"),
            (["--server", "ftp://x/", "work.txt"], "--server takes an http:// or https:// URL, not 'ftp://x/'"),
            (["--guid", GUID[1:], "work.txt"], "--guid takes the computer's GUID, 32 hexadecimal digits"),
            (["--guid=", "--report", "work.txt"], "--guid takes the computer's GUID, 32 hexadecimal digits"),
            (["--report", "work.txt"], f"{hint} 'prime.ini'"),
            (["--report", "sub/work.txt"], f"{hint} 'sub/prime.ini'"),
            (["--report", "sub2/work.txt"],
             "the ComputerGUID of 'sub2/prime.ini' is not 32 hexadecimal digits: 'not-a-guid'"),
        ]
        write(f"{d}/sub/work.txt", "11 2 10\n")
        write(f"{d}/sub2/work.txt", "11 2 10\n")
        write(f"{d}/sub2/prime.ini", "[PrimeNet]\nComputerGUID=not-a-guid\n")
        for args, message in bad:
            with self.subTest(args=args):
                r = run_batch(d, *args)
                self.assertEqual(1, r.rc, "exit status")
                self.assertEqual(f"tamrisk-batch: {message}", r.err.split("\n")[0], "stderr")
        self.assertFalse(os.path.exists(f"{d}/runs/M11_2_10/exit-status"), "nothing ran")

        # --runs, --results, the work file on stdin, the program from TAMRISK.
        d = self.folder("o2")
        write(f"{d}/work.txt", "11 2 10\n23 2 20\n")
        r = run_batch(d, "--runs=elsewhere/r", "--results", "out/res.txt", "-", stdin=b"11 2 10\n23 2 20\n",
                      env=batch_env({"TAMRISK": PROGRAM}))
        self.assertEqual(0, r.rc, "--runs/--results/stdin: exit status")
        self.assertTrue(os.path.isfile(f"{d}/elsewhere/r/M23_2_20/exit-status"), "--runs: the jobs ran there")
        self.assertFalse(os.path.exists(f"{d}/runs"), "--runs: not in runs/")
        both = factor_lines(11, 23, 89) + "\n" + factor_lines(23, 47, 178481)
        self.assertEqual(both, text(f"{d}/out/res.txt"), "--results: the merged lines")
        self.assertFalse(os.path.exists(f"{d}/results.txt"), "--results: no results.txt")

        # The program from PATH by default.
        b = self.folder("bin")
        os.symlink(PROGRAM, f"{b}/tamrisk")
        r = run_batch(d, "-j1", "work.txt", env=batch_env({"PATH": b + ":" + os.environ["PATH"]}, drop=["TAMRISK"]))
        self.assertEqual(0, r.rc, "tamrisk from PATH: exit status")
        self.assertEqual(both, text(f"{d}/results.txt"), "tamrisk from PATH: merged lines")

    def test_sshloginfile(self) -> None:
        """Jobs sent to "other machines" through an ssh stand-in that runs the
        command here, from the home directory, as sshd would: the job travels
        with the command, and the runs folder is reached by its absolute path."""
        self.assertIsNotNone(shutil.which("parallel"), "needs GNU parallel (Debian package parallel)")
        w, home = self.folder("w"), self.folder("home")
        ssh = self.script("fake-ssh", f'''#!/usr/bin/env bash
echo "$@" | cut -c1-40 >>"{self.tmp}/ssh.log"
while [ $# -gt 0 ]; do case $1 in -l | -o | -p) shift 2 ;; -*) shift ;; *) break ;; esac; done
shift
[ "${{1-}}" = -- ] && shift
cd "{home}" && SHELL=/bin/bash exec bash -c "$*"
''')
        write(f"{w}/hosts", f"1/{ssh} hostA\n1/{ssh} hostB\n")
        write(f"{w}/work.txt", "11 2 10\n37 2 30\n23 2 20\n")
        since = utc_now()
        r = run_batch(w, "--sshloginfile", "hosts", "--program", PROGRAM, "--json-all", "work.txt")
        self.assertEqual(0, r.rc, r.err)
        self.assertEqual("\n".join([factor_lines(11, 23, 89), factor_lines(37, 223, 616318177),
                                    factor_lines(23, 47, 178481)]), text(f"{w}/results.txt"), "merged results")
        log = text(f"{self.tmp}/ssh.log")
        self.assertRegex(log, r"(?m)^hostA", "both machines were used")
        self.assertRegex(log, r"(?m)^hostB", "both machines were used")
        self.assertEqual([], os.listdir(home), "nothing was written in the remote home")
        # The job that travels leaves what the jobs run here leave.
        self.assertEqual(
            f"11 2 10 F 23,89 aid=- user=- computer=- cpu | {RELEASE}\n"
            f"37 2 30 F 223,616318177 aid=- user=- computer=- cpu | {RELEASE}\n"
            f"23 2 20 F 47,178481 aid=- user=- computer=- cpu | {RELEASE}",
            check_json(f"{w}/results.json.txt", since), "JSON lines from the jobs run there")

    # ---- JSON results, credit ----

    def test_json_results(self) -> None:
        d = self.folder("w")
        name50 = "u" * 49 + "Z"
        write(f"{d}/work.txt", lines(
            "Factor=0123456789ABCDEF0123456789abcdef,37,2,30", "Factor=0123456789ABCDEF0123456789ABCDE,11,2,10",
            "Factor=0123456789ABCDEF0123456789ABCDEF0,23,2,20", "Factor=0123456789ABCDEF0123456789ABCDEG,43,02,25.0",
            "11 2 5", "1277 2 20", "29 2.5 12", "15 2 10"))
        since = utc_now()
        # In a zone far from UTC, so that a local time would show.
        r = run_batch(d, "--program", PROGRAM, "--json-all", "--user", name50, "--computer", "box-1 (lab)",
                      "work.txt", env=batch_env({"TZ": "Asia/Kathmandu"}))
        self.assertEqual(2, r.rc, "exit status: the refused job")
        who = f"user={name50} computer=box-1 (lab) cpu | {RELEASE}"
        self.assertEqual("\n".join([
            f"37 2 30 F 223,616318177 aid=0123456789ABCDEF0123456789abcdef {who}",
            f"11 2 10 F 23,89 aid=- {who}",
            f"23 2 20 F 47,178481 aid=- {who}",
            f"43 2 25 F 431,9719,2099863 aid=- {who}",
            f"11 2 5 F 23 aid=- {who}",
            f"1277 2 20 NF - aid=- {who}",
        ]), check_json(f"{d}/results.json.txt", since),
            "one JSON line per finished job with whole depths, in work-file order, with the release")
        self.assertIn("No JSON line for line 7, M29 2.5 12: its bit depths are not whole numbers", r.out.split("\n"),
                      "the job with depths between levels is named")
        self.assertEqual("checked 7", credit_check(r.out), "the credit of each finished job")
        self.assertRegex(r.out, r"(?m)^Rate: [0-9.e+-]+ GHz-days per day of wall time", "the rate")

        # Again, with another user name: the lines were made once, nothing is added.
        before = text(f"{d}/results.json.txt")
        r = run_batch(d, "--program", PROGRAM, "--user", "other", "work.txt")
        self.assertIn("JSON results: 0 new line(s) in results.json.txt", r.out.split("\n"), "second run: nothing added")
        self.assertEqual(before, text(f"{d}/results.json.txt"), "second run: the JSON file unchanged")
        self.assertRegex(r.out, r"(?m)^Credit: line 6, M1277 2 20: [0-9.e+-]+ GHz-days \(done before\)$",
                         "second run: a job done before shows its credit")
        # Reported and moved aside: not added again; another file gets them all.
        os.rename(f"{d}/results.json.txt", f"{d}/sent.json.txt")
        run_batch(d, "--program", PROGRAM, "work.txt")
        self.assertEqual("", text(f"{d}/results.json.txt"), "the file moved aside: nothing added")
        run_batch(d, "--program", PROGRAM, "--json", "other.json", "work.txt")
        self.assertEqual(before, text(f"{d}/other.json"), "another JSON file: the same lines")

    def test_json_exponent_threshold(self) -> None:
        """The server's trial-factoring work starts above 100000: below it a
        job gets a JSON line only with --json-all, and then still once."""
        d = self.folder("w")
        write(f"{d}/work.txt", lines("99991 2 20", "100003 2 20"))
        since = utc_now()
        r = run_batch(d, "--program", PROGRAM, "work.txt")
        self.assertEqual(0, r.rc, r.err)
        self.assertIn("No JSON line for line 1, M99991 2 20: its exponent is below 100000 (--json-all makes one)",
                      r.out.split("\n"))
        self.assertEqual(f"100003 2 20 NF - aid=- user=- computer=- cpu | {RELEASE}",
                         check_json(f"{d}/results.json.txt", since), "the line of the exponent above")
        r = run_batch(d, "--program", PROGRAM, "--json-all", "work.txt")
        self.assertIn("JSON results: 1 new line(s) in results.json.txt", r.out.split("\n"))
        self.assertEqual(f"100003 2 20 NF - aid=- user=- computer=- cpu | {RELEASE}\n"
                         f"99991 2 20 NF - aid=- user=- computer=- cpu | {RELEASE}",
                         check_json(f"{d}/results.json.txt", since), "--json-all: the line below too")

    def test_release_unknown(self) -> None:
        """The script as it stands in the source tree, not configured by
        CMake, makes no JSON line rather than one with a wrong release."""
        d = self.folder("w")
        write(f"{d}/work.txt", "11 2 10\n")
        # (tamrisk-verify from the PATH, as none stands beside this copy)
        r = run_batch(d, "--program", PROGRAM, "--json-all", "work.txt", batch=SOURCE_BATCH,
                      env=batch_env({"PATH": os.path.dirname(PROGRAM) + ":" + os.environ["PATH"]}))
        self.assertEqual(0, r.rc, r.err)
        self.assertIn("No JSON line for line 1, M11 2 10: this copy of tamrisk-batch does not know its release "
                      "(it is set when CMake configures it)", r.out.split("\n"))
        self.assertEqual("", text(f"{d}/results.json.txt"))
        self.assertRegex(RELEASE, r"^[0-9]+\.[0-9]+\.[0-9]+$", "the release given to the test")

    def test_json_devices(self) -> None:
        """A stand-in program with another banner: for the exponent P it reads
        $tmp/P, whose lines are "factor D" (a line for results.txt), "err
        TEXT" (a stderr line of a new run) and "die" (a new run leaves a
        checkpoint and is killed there)."""
        d = self.folder("w")
        fake = self.script("fake", f'''#!/usr/bin/env bash
if [ "${{1-}}" = -r ]; then p=$(cat p); else read -r p; echo "$p" >p; fi
echo "Tamrisk v. 9.99 test build"
{STAND_IN_WITNESSES}
while read -r what text; do
  case $what in
    factor) echo "M$p has a factor: $text" >>results.txt ;;
    err) [ "${{1-}}" = -r ] || echo "$text" >&2 ;;
    die) [ -e status.txt ] || {{ : >status.txt; kill -KILL $$; }} ;;
  esac
done <"{self.tmp}/$p"
''')
        dev = "err tamrisk: OpenCL device 0:1:"
        h100 = "NVIDIA H100 (NVIDIA CUDA, driver 550.54)"
        fallback = f"err tamrisk: OpenCL device 0:1: {h100}: slower than the CPU path here; testing on the CPU"
        rows = [
            # job, the program's lines, P BITLO BITHI STATUS FACTORS, subversion
            ("101 60 67", ["factor 212885833", "factor 228479", "factor 212885833", "factor 48544121"],
             "101 60 67 F 228479,48544121,212885833", "cpu"),
            ("103 64 65", [f"{dev} NVIDIA H100 80GB HBM3  (NVIDIA CUDA, driver 550.54)"],
             "103 64 65 NF -", "opencl:NVIDIA H100 80GB HBM3"),
            ("107 2 10", [f"{dev} {h100}", fallback], "107 2 10 NF -", "cpu"),
            ("109 2 10", [f'{dev} Radeon "Pro" (gfx1100) (AMD APP (PAL), driver 3.0 (1))',
                          fallback.replace("0:1", "1:0")], "109 2 10 NF -", 'opencl:Radeon "Pro" (gfx1100)'),
            ("131 2 10", [fallback], "131 2 10 NF -", "cpu"),
            ("137 2 10", ["err tamrisk: no OpenCL platform; testing on the CPU"], "137 2 10 NF -", "cpu"),
            # A name with bytes outside printable ASCII: each byte is replaced.
            ("139 2 10", [f"{dev} Radeon\u2122 Pro\tW\udcff (AMD, driver 1)"], "139 2 10 NF -",
             "opencl:Radeon??? Pro?W?"),
            ("113 40 70", ["factor 7", f"{dev} GPU (P, driver 1)", "die", "factor 5", "factor 7"],
             "113 40 70 F 5,7", "cpu"),
            ("127 64.5 65", [], "", ""),
        ]
        expected = []
        for job, program_lines, summary, sub in rows:
            with open(f"{d}/work.txt", "a") as f:
                f.write(job + "\n")
            with open(f"{self.tmp}/{job.split()[0]}", "wb") as f:
                f.write("".join(l + "\n" for l in program_lines).encode("utf-8", "surrogateescape"))
            if summary:
                expected.append(f"{summary} aid=- user=- computer=- {sub} | {RELEASE}")
        since = utc_now()
        r = run_batch(d, "--program", fake, "--json-all", "work.txt")
        self.assertEqual("failed (exit status 137, signal 9)", outcome_of_line(r.out, 8),
                         "first run: the killed job failed")
        self.assertEqual("checked 8", credit_check(r.out), "first run: the credit of each finished job")
        self.assertIn("No JSON line for line 9, M127 64.5 65: its bit depths are not whole numbers",
                      r.out.split("\n"), "depths between levels: no JSON line")
        r = run_batch(d, "--program", fake, "--json-all", "work.txt")
        self.assertEqual(0, r.rc, "second run: exit status")
        self.assertTrue(os.path.exists(f"{d}/runs/M113_40_70/attempt-2.out"), "second run: the killed job resumed")
        self.assertEqual("\n".join(expected), check_json(f"{d}/results.json.txt", since),
                         "the lines, that of the killed and resumed job once")
        self.assertEqual("checked 9", credit_check(r.out), "second run: the credit of each job")
        resumed = re.search(r"^Credit: line 8, M113 40 70: ([^ ]*) GHz-days$", r.out, re.M)
        self.assertIsNotNone(resumed)
        self.assertIn(f" GHz-days in total, {resumed.group(1) if resumed else ''} of them by the jobs finished "
                      "in this run", r.out, "second run: only the job finished in it counts for the rate")


# ---- the work file shared with the assignment tool ----

class WorkFileTest(Case):

    def test_remove_done(self) -> None:
        """--remove-done: the lines of finished jobs leave the work file; the
        others stay, and so does one that another program appends (holding
        the lock, as the assignment tools do) meanwhile."""
        d = self.folder("w")
        appender = self.script("appender", f'''#!/bin/sh
{SH_LOCK}
case $PWD in */M11_2_10) lock ../../work.txt; echo Factor=NEW,1279,2,3 >>../../work.txt; unlock ../../work.txt ;; esac
exec "{PROGRAM}" "$@"
''')
        write(f"{d}/work.txt", lines("# assignments", "11 2 10", "Factor=ABC,15,2,10", "43 2",
                                     f"Factor={AID_A},23,2,20\r", "37 2 30"), 0o640)
        write(f"{d}/results.json.txt", '{"exponent":7, "wor')  # cut short by a crash
        r = run_batch(d, "-j", "2", "--program", appender, "--json-all", "--remove-done", "work.txt")
        self.assertEqual(2, r.rc, "exit status")
        self.assertEqual("\n".join(["# assignments", "Factor=ABC,15,2,10", "43 2", "Factor=NEW,1279,2,3"]),
                         text(f"{d}/work.txt"), "the work file keeps the other lines and the appended one")
        self.assertIn("Work file: 3 finished job line(s) removed from work.txt", r.out.split("\n"), "the count")
        self.assertEqual(0o640, os.stat(f"{d}/work.txt").st_mode & 0o777, "its mode is kept")
        self.assertEqual(["results.json.txt", "results.txt", "runs", "work.txt"], sorted(os.listdir(d)),
                         "no temporary or lock left")
        with open(f"{d}/results.json.txt") as f:
            head = [l[:19] for l in f.read().split("\n")[:2]]
        self.assertEqual(['{"exponent":7, "wor', '{"exponent":11, "wo'], head,
                         "the new JSON lines begin after the line cut short")

        # When a record cannot be written, nothing is removed.
        write(f"{d}/work.txt", "11 2 10\n")
        r = run_batch(d, "--program", PROGRAM, "--json", "/dev/full", "--remove-done", "work.txt")
        self.assertEqual(2, r.rc, "JSON not written: exit status")
        self.assertEqual("tamrisk-batch: cannot write the JSON results file '/dev/full'\n"
                         "tamrisk-batch: the lines of finished jobs stay in the work file, as their results "
                         "could not be written", r.err, "JSON not written: stderr")
        self.assertNotIn("JSON results:", r.out, "JSON not written: no claim of new lines")
        self.assertEqual("11 2 10", text(f"{d}/work.txt"), "JSON not written: the work file unchanged")

    def test_id_registered_during_the_run(self) -> None:
        """The assignment tool registers assignments while the jobs run: it
        rewrites a job's line with its new ID (through a temporary renamed
        over the work file, holding the lock). The JSON line takes the ID the
        work file holds when it is made, and --remove-done finds the
        rewritten line."""
        d = self.folder("w")
        registrar = self.script("registrar", f'''#!/bin/sh
{SH_LOCK}
w=../../worktodo.txt
case $PWD in
  */M37_2_30) from='Factor=N/A,37,2,30' to='Factor={AID_A},37,2,30' ;;
  */M23_2_20) from='Factor=23,2,20' to='Factor={AID_B},23,2,20' ;;
  */M11_2_10) from='Factor={AID_A},11,2,10' to='Factor={AID_B},11,2,10' ;;
  *) from= ;;
esac
if [ -n "$from" ]; then
  lock $w
  sed "s|^$from\\$|$to|" $w >$w.new && mv $w.new $w
  unlock $w
fi
exec "{PROGRAM}" "$@"
''')
        write(f"{d}/worktodo.txt", lines("Factor=N/A,37,2,30", "Factor=23,2,20", f"Factor={AID_A},11,2,10",
                                         "Factor=N/A,43,2,25", "PRP=N/A,1,2,1000003,-1"))
        r = run_batch(d, "-j", "2", "--program", registrar, "--json-all", "--remove-done", "worktodo.txt")
        self.assertEqual(0, r.rc, r.err)
        self.assertEqual([f"37 aid={AID_A}", f"23 aid={AID_B}", f"11 aid={AID_B}", "43 aid=-"],
                         [" ".join(l.split()[0:6:5]) for l in
                          check_json(f"{d}/results.json.txt", "2000-01-01 00:00:00").split("\n")],
                         "each line has the ID the work file held at its end")
        self.assertIn("Work file: 4 finished job line(s) removed from worktodo.txt", r.out.split("\n"))
        self.assertEqual("PRP=N/A,1,2,1000003,-1", text(f"{d}/worktodo.txt"), "the rewritten lines were found")
        self.assertEqual("4 M43 2 25 (N/A) factors found: 431, 9719, 2099863", row_of_line(r.out, 4),
                         "the table shows the ID as the job started")

    def test_lock_held_by_another(self) -> None:
        """The batch waits while another holds the lock and changes nothing;
        a lock older than an hour is waited for too while its holder lives,
        and reported and left in place when no live process holds it."""
        d = self.folder("w")
        write(f"{d}/work.txt", "11 2 10\n")
        run_batch(d, "--program", PROGRAM, "work.txt")
        two_hours_ago = time.time() - 7200
        dead = subprocess.Popen(["true"])
        dead.wait()
        cases = [
            # lock's content, its age, stale (reported, left)
            ("", 0.0, False),
            (f"{os.getpid()} {socket.gethostname()}\n", 7200.0, False),
            ("", 7200.0, True),
            (f"{dead.pid} {socket.gethostname()}\n", 7200.0, True),
        ]
        for content, age, stale in cases:
            with self.subTest(content=content, age=age):
                write(f"{d}/work.txt", "11 2 10\n# kept\n")
                write(f"{d}/work.txt.lck", content)
                if age:
                    os.utime(f"{d}/work.txt.lck", (two_hours_ago, two_hours_ago))
                inode = os.stat(f"{d}/work.txt").st_ino
                batch = subprocess.Popen([BATCH, "--program", PROGRAM, "--remove-done", "work.txt"], cwd=d,
                                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE, env=batch_env())
                if not stale:
                    # Held for a while: the batch must wait without touching the file.
                    time.sleep(1.5)
                    self.assertIsNone(batch.poll(), "the batch waits for the lock")
                    self.assertEqual(inode, os.stat(f"{d}/work.txt").st_ino, "the work file untouched meanwhile")
                    self.assertEqual(content, text(f"{d}/work.txt.lck") + ("\n" if content else ""))
                    os.unlink(f"{d}/work.txt.lck")
                out, err = batch.communicate(timeout=120)
                if stale:
                    self.assertEqual(2, batch.returncode)
                    self.assertEqual(
                        "tamrisk-batch: the lock 'LOCK' is 2.0 hours old and no process here holds it; it is left "
                        "in place: remove it once no program uses 'WORK'\n"
                        "tamrisk-batch: cannot rewrite the work file 'work.txt'",
                        err.decode().rstrip("\n").replace(os.path.realpath(f"{d}/work.txt.lck"), "LOCK")
                        .replace(os.path.realpath(f"{d}/work.txt"), "WORK"), "reported once, then the failure")
                    self.assertTrue(os.path.exists(f"{d}/work.txt.lck"), "the stale lock is left in place")
                    self.assertEqual("11 2 10\n# kept", text(f"{d}/work.txt"), "the work file unchanged")
                    os.unlink(f"{d}/work.txt.lck")
                else:
                    self.assertEqual(0, batch.returncode, err.decode())
                    self.assertEqual("# kept", text(f"{d}/work.txt"), "done once the lock was given back")
                    self.assertFalse(os.path.exists(f"{d}/work.txt.lck"), "the batch's own lock is gone")


class LockStressTest(Case):
    """An appender that takes worktodo.txt.lck as the assignment tools do
    appends 200 lines while --remove-done runs 20 jobs: 5 as each job ends
    (paced by the batch's progress lines), the last 100 from the moment the
    last job ended, while the batch reads the IDs for its JSON lines and
    rewrites the file. Every appended line must survive, in 20 runs. The jobs
    are a stand-in that writes a "no factor" line at once: what is tested is
    the sharing of the work file, and quick jobs keep the appender busy
    across the batch's end."""

    PRIMES = [11, 23, 29, 37, 41, 43, 47, 53, 59, 67, 71, 73, 79, 83, 97, 101, 103, 109, 113, 131]

    def setUp(self) -> None:
        super().setUp()
        self.quick = self.script("quick", lines(
            "#!/bin/sh", "read p; read s; read e",
            'echo "M$p no factor from $s.000 bits to $e.000 bits." >>results.txt', STAND_IN_WITNESSES))

    def one_run(self, run: int) -> None:
        d = self.folder(f"run{run}")
        work = f"{d}/worktodo.txt"
        head = ["// assignments", f"PRP={AID_B},1,2,1000003,-1,75,0"]
        write(work, lines(*head, *(f"Factor=N/A,{p},2,16" for p in self.PRIMES)))
        appended = [f"Factor=N/A,{200000 + run * 1000 + i},70,71" if i % 2 else f"PRP=N/A,1,2,{300000 + i},-1"
                    for i in range(200)]
        with open(f"{d}/err", "wb") as err_file:
            batch = subprocess.Popen([BATCH, "-j", "2", "--program", self.quick, "--json-all", "--remove-done",
                                      "worktodo.txt"], cwd=d, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=err_file, env=batch_env())
            assert batch.stdout is not None
            n = 0
            out = []
            with batch.stdout:
                for raw in batch.stdout:
                    line = raw.decode()
                    out.append(line)
                    m = re.match(r"\[([0-9]+)/20\] ", line)
                    if m:
                        for _ in range(5):
                            append_locked(work, appended[n])
                            n += 1
                        if m.group(1) == "20":
                            while n < 200:
                                append_locked(work, appended[n])
                                n += 1
                                time.sleep(0.0005)
            batch.wait()
        err = text(f"{d}/err")
        self.assertEqual(0, batch.returncode, "".join(out) + err)
        self.assertEqual(200, n)
        with open(work) as f:
            now = f.read().split("\n")
        lost = [l for l in appended if l not in now]
        self.assertEqual([], lost, f"run {run}: appended lines lost")
        self.assertEqual(head + appended + [""], now, f"run {run}: the work file holds the rest, in order")

    def test_appender_keeps_every_line(self) -> None:
        for run in range(20):
            self.one_run(run)


# ---- results to the server ----

class StubServer:
    """A v5 server on the loopback: records each request's path and query
    fields, and answers with reply(fields) (which may hold the answer back,
    for the test to stop the batch meanwhile) under HTTP status .status."""

    def __init__(self) -> None:
        self.requests: List[List[tuple]] = []
        self.paths: List[str] = []
        self.reply: Callable[[List[tuple]], str] = lambda q: ok_reply(0.001)
        self.status = 200
        stub = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self) -> None:
                path, _, query = self.path.partition("?")
                fields = urllib.parse.parse_qsl(query, keep_blank_values=True, strict_parsing=True)
                stub.paths.append(path)
                stub.requests.append(fields)
                body = stub.reply(fields).encode()
                try:
                    self.send_response(stub.status)
                    self.send_header("Content-Type", "text/plain")
                    self.send_header("Content-Length", str(len(body)))
                    self.end_headers()
                    self.wfile.write(body)
                except OSError:
                    pass  # the batch was killed

            def log_message(self, *args: object) -> None:
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/v5server/"

    def close(self) -> None:
        self.server.shutdown()
        self.server.server_close()

    def exponents(self) -> List[str]:
        return [dict(q)["n"] for q in self.requests]


def ok_reply(credit: float) -> str:
    return f"pnErrorResult=0\npnErrorDetail=CPU credit is {credit} GHz-days.\n==END==\n"


def error_reply(code: int) -> str:
    return f"pnErrorResult={code}\npnErrorDetail=detail of {code}\n==END==\n"


class ReportTest(Case):
    """--report against a stub server on the loopback."""

    WORK = lines(f"Factor={AID_A},37,2,30", "11 2 10", "1277 2 20")

    def setUp(self) -> None:
        super().setUp()
        self.stub = StubServer()
        self.addCleanup(self.stub.close)
        self.d = self.folder("w")
        write(f"{self.d}/work.txt", self.WORK)
        r = run_batch(self.d, "--program", PROGRAM, "--json-all", "work.txt")
        self.assertEqual(0, r.rc, r.err)
        with open(f"{self.d}/results.json.txt") as f:
            self.json_lines = f.read().split("\n")[:3]

    def report(self, *extra: str, server: str = "") -> Run:
        return run_batch(self.d, "--program", PROGRAM, "--json-all", "--report", "--server",
                         server or self.stub.url, *extra, "work.txt")

    def summary(self, r: Run) -> str:
        return "\n".join(l for l in r.out.split("\n") if l.startswith("Report:"))

    def expect_summary(self, r: Run, sent: int, accepted: int, refused: int, credited: str, left: int,
                       doubt: int, server: str = "") -> None:
        self.assertEqual(f"Report: {sent} line(s) sent to {server or self.stub.url}: {accepted} accepted, "
                         f"{refused} refused, {credited} GHz-days credited; {left} left for the next --report, "
                         f"{doubt} in doubt", self.summary(r))

    def record(self) -> List[str]:
        return text(f"{self.d}/results.json.txt.sent").split("\n")

    def test_query_field_by_field(self) -> None:
        # Lines that are not sent: one cut short, one of another program.
        with open(f"{self.d}/results.json.txt", "a") as f:
            f.write('{"exponent":7, "wor\n')
            f.write('{"exponent":1000003, "worktype":"TF", "status":"NF", "bitlo":70, "bithi":71, '
                    '"program":{"name":"other", "version":"1"}}\n')
        r = self.report("--guid", GUID.upper())
        self.assertEqual(0, r.rc, r.err)
        self.assertEqual("tamrisk-batch: results.json.txt: line 4 is not a whole JSON result; not sent", r.err)
        self.assertEqual(["/v5server/"] * 3, self.stub.paths)
        want = []
        for line, (aid, p, lo, hi, factors) in zip(self.json_lines, [
                (AID_A, "37", "2", "30", "223,616318177"), ("0", "11", "2", "10", "23,89"),
                ("0", "1277", "2", "20", None)]):
            fields = [("px", "GIMPS"), ("v", "0.95"), ("t", "ar"), ("g", GUID), ("k", aid), ("m", line),
                      ("r", "1" if factors else "4"), ("n", p), ("d", "1"), ("sf", lo), ("ef", hi)]
            fields += [("f", factors)] if factors else []
            fields += [("ss", "19191919"), ("sh", "ABCDABCDABCDABCDABCDABCDABCDABCD")]
            want.append(fields)
        for i, (w, got) in enumerate(zip(want, self.stub.requests)):
            with self.subTest(line=i + 1):
                self.assertEqual([name for name, _ in w], [name for name, _ in got], "the fields, in order")
                for (name, value), (_, sent) in zip(w, got):
                    self.assertEqual(value, sent, f"field {name}")
        self.assertEqual(3, len(self.stub.requests))
        self.expect_summary(r, 3, 3, 0, "0.003", 0, 0)
        self.assertEqual([f"{state}\t{line}" for line in self.json_lines for state in ("sending", "accepted")],
                         self.record(), "the record: each line's intent, then its fate")

        # Sent once: the next report sends nothing.
        r = self.report("--guid", GUID)
        self.assertEqual(0, r.rc, r.err)
        self.assertEqual(3, len(self.stub.requests), "nothing sent twice")
        self.expect_summary(r, 0, 0, 0, "0", 0, 0)

    def test_guid_from_prime_ini(self) -> None:
        guid = "00112233445566778899AABBCCDDEEFF"
        write(f"{self.d}/prime.ini", lines("V30OptionsConverted=1", "[Worker #1]", "ComputerGUID=ffffffffffffffff"
                                           "ffffffffffffffff", "[PrimeNet]", "Debug=0", f"ComputerGUID = {guid}"))
        r = self.report()
        self.assertEqual(0, r.rc, r.err)
        self.assertEqual([guid.lower()] * 3, [dict(q)["g"] for q in self.stub.requests])
        # --guid wins over the file.
        os.unlink(f"{self.d}/results.json.txt.sent")
        r = self.report("--guid", GUID)
        self.assertEqual([GUID] * 3, [dict(q)["g"] for q in self.stub.requests][3:])

    def test_final_errors(self) -> None:
        """30/32 (unregistered or stale computer), 40, 43, 45 and 47 refuse a
        line for good: one stderr line each, the line kept in the file of
        refused lines, never sent again."""
        for code in (30, 32, 40, 43, 45, 47):
            with self.subTest(code=code):
                for name in ("results.json.txt.sent", "results.json.txt.refused"):
                    if os.path.exists(f"{self.d}/{name}"):
                        os.unlink(f"{self.d}/{name}")
                self.stub.requests.clear()
                self.stub.reply = lambda q, code=code: error_reply(code) if dict(q)["n"] == "11" else ok_reply(1.5)
                r = self.report("--guid", GUID)
                self.assertEqual(2, r.rc, "a refused line: exit status")
                self.assertEqual(f"tamrisk-batch: the server refused M11 2 10 (error {code}: detail of {code}); "
                                 f"the line is kept in 'results.json.txt.refused'", r.err)
                self.assertEqual(self.json_lines[1], text(f"{self.d}/results.json.txt.refused"))
                self.expect_summary(r, 3, 2, 1, "3", 0, 0)
                r = self.report("--guid", GUID)
                self.assertEqual(["37", "11", "1277"], self.stub.exponents(), "not sent again")
                self.assertEqual(0, r.rc, "nothing left to send")

    def test_errors_sent_again(self) -> None:
        """Server busy (3), no server, an HTTP error: the line and those after
        it are sent at the next --report. An error the server gives for one
        line alone (44) keeps that line for the next --report, and the others
        go on."""
        cases = [
            # what goes wrong, the server to use, the stderr line
            ("busy", "", "tamrisk-batch: the server is busy (error 3); the lines left are sent at the next --report"),
            ("no server", "closed", "tamrisk-batch: cannot reach the server CLOSED: Connection refused; the lines "
             "left are sent at the next --report"),
            ("HTTP 503", "", "tamrisk-batch: cannot reach the server URL: HTTP status 503; the lines left are "
             "sent at the next --report"),
        ]
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))
        closed_url = f"http://127.0.0.1:{closed.getsockname()[1]}/v5server/"
        closed.close()
        for what, server, message in cases:
            with self.subTest(what=what):
                if os.path.exists(f"{self.d}/results.json.txt.sent"):
                    os.unlink(f"{self.d}/results.json.txt.sent")
                self.stub.requests.clear()
                self.stub.status = 503 if what == "HTTP 503" else 200
                self.stub.reply = lambda q, what=what: (error_reply(3) if what == "busy" and dict(q)["n"] == "11"
                                                        else ok_reply(0.25))
                url = closed_url if server == "closed" else self.stub.url
                r = self.report("--guid", GUID, server=url)
                self.assertEqual(2, r.rc)
                self.assertEqual(message.replace("CLOSED", closed_url).replace("URL", self.stub.url), r.err)
                self.stub.status = 200
                self.stub.reply = lambda q: ok_reply(0.25)
                sent_before = self.stub.exponents()
                r = self.report("--guid", GUID)
                self.assertEqual(0, r.rc, r.err)
                if what == "busy":
                    self.assertEqual(["37", "11", "11", "1277"], sent_before + self.stub.exponents()[2:],
                                     "the busy line and the next sent at the next --report")
                    self.expect_summary(r, 2, 2, 0, "0.5", 0, 0)
                elif what == "no server":
                    self.assertEqual(["37", "11", "1277"], self.stub.exponents(), "every line at the next --report")
                    self.expect_summary(r, 3, 3, 0, "0.75", 0, 0)
                else:
                    self.assertEqual(["37", "37", "11", "1277"], self.stub.exponents(),
                                     "the first line again, then the others")
        # An error of one line: the others go on.
        os.unlink(f"{self.d}/results.json.txt.sent")
        self.stub.requests.clear()
        self.stub.reply = lambda q: error_reply(44) if dict(q)["n"] == "11" else ok_reply(1)
        r = self.report("--guid", GUID)
        self.assertEqual(2, r.rc)
        self.assertEqual("tamrisk-batch: the server did not take M11 2 10 (error 44: detail of 44); it is sent "
                         "again at the next --report", r.err)
        self.expect_summary(r, 3, 2, 0, "2", 1, 0)
        self.stub.reply = lambda q: ok_reply(1)
        r = self.report("--guid", GUID)
        self.assertEqual(["37", "11", "1277", "11"], self.stub.exponents())
        self.assertEqual(0, r.rc, r.err)

    def test_two_batches_report_each_line_once(self) -> None:
        """Two batches on one JSON file (the tasks of an array job) report at
        the same moment: the record is locked, so each line goes once."""
        def slow(q: List[tuple]) -> str:
            time.sleep(0.2)
            return ok_reply(1)

        self.stub.reply = slow
        args = [BATCH, "--program", PROGRAM, "--json-all", "--report", "--server", self.stub.url, "--guid", GUID,
                "work.txt"]
        batches = [subprocess.Popen(args, cwd=self.d, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, env=batch_env()) for _ in range(2)]
        results = [b.communicate(timeout=120) for b in batches]
        self.assertEqual([0, 0], [b.returncode for b in batches], [e.decode() for _, e in results])
        self.assertEqual(["11", "1277", "37"], sorted(self.stub.exponents()), "each line sent once")
        self.assertEqual(["Report: 0 line(s)", "Report: 3 line(s)"],
                         sorted(re.search(r"Report: [0-9]+ line\(s\)", o.decode()).group(0)  # type: ignore
                                for o, _ in results))

    def test_no_reply_is_in_doubt(self) -> None:
        """A reply that is not the server's (no pnErrorResult): the line may
        have arrived, so it is never sent again; the report stops there."""
        self.stub.reply = lambda q: "<html>gateway</html>\n" if dict(q)["n"] == "11" else ok_reply(1)
        r = self.report("--guid", GUID)
        self.assertEqual(2, r.rc)
        self.assertEqual("tamrisk-batch: M11 2 10: sent, but no reply came back (the reply holds no "
                         "pnErrorResult); the server may hold it, so it is not sent again "
                         "(see 'results.json.txt.sent')", r.err)
        self.expect_summary(r, 2, 1, 0, "1", 1, 1)
        self.stub.reply = lambda q: ok_reply(1)
        r = self.report("--guid", GUID)
        self.assertEqual(["37", "11", "1277"], self.stub.exponents(), "the line in doubt is not sent again")
        self.expect_summary(r, 1, 1, 0, "1", 0, 1)

    def test_kill_between_send_and_record(self) -> None:
        """The batch is killed (SIGKILL) while the server holds its second
        line: that line is never sent again, the next report names it as in
        doubt and sends the third."""
        held, go = threading.Event(), threading.Event()

        def reply(q: List[tuple]) -> str:
            if dict(q)["n"] == "11":
                held.set()
                go.wait(60)
            return ok_reply(1)

        self.stub.reply = reply
        batch = subprocess.Popen([BATCH, "--program", PROGRAM, "--json-all", "--report", "--server", self.stub.url,
                                  "--guid", GUID, "work.txt"], cwd=self.d, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=batch_env())
        self.assertTrue(held.wait(60), "the second line reaches the server")
        batch.kill()
        batch.wait()
        go.set()
        self.assertEqual(["37", "11"], self.stub.exponents())
        self.assertEqual(f"sending\t{self.json_lines[1]}", self.record()[-1], "the record shows it going out")

        r = self.report("--guid", GUID)
        self.assertEqual(["37", "11", "1277"], self.stub.exponents(), "never sent twice")
        self.assertEqual("tamrisk-batch: M11 2 10: a report was stopped while sending it, so the server may hold "
                         "it; it is not sent again (see 'results.json.txt.sent')", r.err)
        self.expect_summary(r, 1, 1, 0, "1", 0, 1)
        self.assertEqual(2, r.rc, "a line in doubt: exit status")

    def test_interrupt_waits_for_the_reply(self) -> None:
        """Ctrl-C while a line is with the server: the batch records the
        reply before it stops, so the line is not left in doubt."""
        held, go = threading.Event(), threading.Event()

        def reply(q: List[tuple]) -> str:
            if dict(q)["n"] == "37":
                held.set()
                go.wait(60)
            return ok_reply(1)

        self.stub.reply = reply
        batch = subprocess.Popen([BATCH, "--program", PROGRAM, "--json-all", "--report", "--server", self.stub.url,
                                  "--guid", GUID, "work.txt"], cwd=self.d, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=batch_env())
        self.assertTrue(held.wait(60))
        batch.send_signal(signal.SIGINT)
        time.sleep(0.3)
        go.set()
        out, err = batch.communicate(timeout=60)
        self.assertEqual(130, batch.returncode, err.decode())
        self.assertEqual("tamrisk-batch: interrupted; the lines left are sent at the next --report",
                         err.decode().rstrip("\n"))
        self.assertEqual(["sending\t" + self.json_lines[0], "accepted\t" + self.json_lines[0]], self.record())
        self.assertIn("Report: 1 line(s) sent to", out.decode())
        r = self.report("--guid", GUID)
        self.assertEqual(0, r.rc, r.err)
        self.assertEqual(["37", "11", "1277"], self.stub.exponents())


# ---- interruption ----

def wait_for(limit: float, proc: subprocess.Popen, check: Callable[[], bool]) -> bool:
    """Until CHECK holds; gives up after LIMIT seconds, or at once when PROC
    (what is waited on) has ended."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if check():
            return True
        if proc.poll() is not None:
            return check()
        time.sleep(0.1)
    return False


def has_factor_line(path: str) -> bool:
    return "has a factor" in text(path)


class InterruptionTest(Case):

    def test_interruption(self) -> None:
        d = self.folder("w")
        # The first job runs five segments of the search and a little more
        # (its factors are found early in the first); the others are quick.
        write(f"{d}/work.txt", lines("71 2 39.33", "11 2 10", "37 2 30", "23 2 20", "43 2 25"))
        long = f"{d}/runs/M71_2_39.33"

        # 1. A crash after the quick jobs finished and the long one wrote
        #    factor lines, before its first checkpoint. To hit that moment, the
        #    long job runs under a stand-in that freezes the program once
        #    results.txt holds a factor line; then every process of the batch
        #    is killed at once.
        freezer = self.script("freezer", f'''#!/bin/sh
case $PWD in */M71_2_39.33) ;; *) exec "{PROGRAM}" "$@" ;; esac
exec 3<&0
"{PROGRAM}" "$@" <&3 3<&- &
pid=$!
while kill -0 $pid 2>/dev/null; do
  if grep -q 'has a factor' results.txt 2>/dev/null; then
    kill -STOP $pid
    : >"{self.tmp}/frozen"
    wait $pid
    exit $?
  fi
  sleep 0.01
done
wait $pid
''')
        with open(f"{self.tmp}/out1", "wb") as out1:
            batch = subprocess.Popen([BATCH, "-j", "2", "--program", freezer, "work.txt"], cwd=d,
                                     stdin=subprocess.DEVNULL, stdout=out1, stderr=subprocess.STDOUT,
                                     env=batch_env(), start_new_session=True)
        self.assertTrue(wait_for(300, batch, lambda: os.path.exists(f"{self.tmp}/frozen")),
                        "crash: the long job writes factor lines")
        self.assertTrue(wait_for(120, batch, lambda: os.path.isfile(f"{d}/runs/M43_2_25/exit-status")
                                 and os.path.isfile(f"{d}/runs/M23_2_20/exit-status")),
                        "crash: the quick jobs have finished")
        os.killpg(batch.pid, signal.SIGKILL)
        batch.wait()
        self.assertFalse(os.path.exists(f"{long}/status.txt"), "crash: the long job had no checkpoint yet")
        self.assertFalse(os.path.exists(f"{long}/exit-status"), "crash: no marker for the long job")
        self.assertTrue(has_factor_line(f"{long}/results.txt"), "crash: the long job has factor lines")

        # 2. Run again: only the long job runs, anew. Ctrl-C once it has a checkpoint.
        batch = subprocess.Popen([BATCH, "-j", "2", "--program", PROGRAM, "work.txt"], cwd=d,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 env=batch_env(), start_new_session=True)
        self.assertTrue(wait_for(600, batch, lambda: os.path.getsize(f"{long}/status.txt") > 0
                                 if os.path.exists(f"{long}/status.txt") else False),
                        "second run: the long job checkpoints")
        os.killpg(batch.pid, signal.SIGINT)
        out_b, err_b = batch.communicate(timeout=120)
        out, err = out_b.decode().rstrip("\n"), err_b.decode()
        self.assertEqual(130, batch.returncode, "Ctrl-C: exit status")
        self.assertIn("tamrisk-batch: 5 jobs, 4 done before, 1 to run", out.split("\n"),
                      "second run: only the long job ran")
        self.assertIn("Please enter the exponent", text(f"{long}/attempt-2.out"),
                      "second run: the long job started anew")
        self.assertEqual("not finished (interrupted)", outcome_of_line(out, 1), "Ctrl-C: outcome")
        self.assertIn("run the same command again", err, "Ctrl-C: told to run again")
        self.assertFalse(os.path.exists(f"{long}/exit-status"), "Ctrl-C: no marker for the long job")
        checkpoint_k = int(text(f"{long}/status.txt").split("\n")[1])
        self.assertGreater(checkpoint_k, 1000000000, "the checkpoint is past the first segment")

        # 3. Run again: the long job resumes from its checkpoint and completes.
        r = run_batch(d, "-j", "2", "--program", PROGRAM, "work.txt")
        self.assertEqual(0, r.rc, "third run: exit status")
        self.assertRegex(text(f"{long}/attempt-3.out"), r"(?m)^Resuming factoring of 71 ",
                         "third run: the long job resumed")
        self.assertRegex(r.out, r"(?m)^\[5/5\] line 1, M71 2 39.33 \(resumed\): factors found: ",
                         "third run: the progress line tells it resumed")
        first_k = int(re.search(r"(?m)^k=([0-9]*)", text(f"{long}/attempt-3.out")).group(1))  # type: ignore
        self.assertGreaterEqual(first_k, checkpoint_k, "third run: it went on from the checkpoint")
        for j in ("M11_2_10", "M37_2_30", "M23_2_20", "M43_2_25"):
            self.assertFalse(os.path.exists(f"{d}/runs/{j}/attempt-2.out"), f"{j} ran once")
        self.assertGreaterEqual(text(f"{long}/results.txt").count("M71 has a factor: 228479"), 2,
                                "the long job's results.txt holds repeated lines")
        self.assertEqual("\n".join([factor_lines(71, 228479, 48544121, 212885833), factor_lines(11, 23, 89),
                                    factor_lines(37, 223, 616318177), factor_lines(23, 47, 178481),
                                    factor_lines(43, 431, 9719, 2099863)]),
                         text(f"{d}/results.txt"), "each job's lines once, in work-file order")
        self.assertEqual("factors found: 228479, 48544121, 212885833", outcome_of_line(r.out, 1),
                         "outcome of the long job")
        self.assertIn("No JSON line for line 1, M71 2 39.33: its bit depths are not whole numbers", r.out.split("\n"),
                      "the long job: no JSON line")
        self.assertIn("No JSON line for line 2, M11 2 10: its exponent is below 100000 (--json-all makes one)",
                      r.out.split("\n"), "a small exponent: no JSON line without --json-all")
        r = run_batch(d, "-j", "2", "--program", PROGRAM, "--json-all", "work.txt")
        self.assertEqual("11 37 23 43",
                         " ".join(l.split()[0] for l in check_json(f"{d}/results.json.txt",
                                                                   "2000-01-01 00:00:00").split("\n")
                                  if "BAD" not in l),
                         "one JSON line for each quick job, killed before they were written")


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit("usage: batch_test.py PROGRAM BATCH RELEASE [unittest arguments]")
    PROGRAM, BATCH, RELEASE = (os.path.realpath(sys.argv[1]), os.path.realpath(sys.argv[2]), sys.argv[3])
    unittest.main(argv=[sys.argv[0], *sys.argv[4:]], verbosity=2)
