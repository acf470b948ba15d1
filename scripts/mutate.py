#!/usr/bin/env python3
"""Mutation testing of veltrix-core: how many small faults do the tests catch?

Draws a deterministic, seeded sample of mutants over src/, each a one-token
change that a careless edit could make, stratified by file (each file gets
a share of the sample in proportion to its mutation sites, at least one).
For each mutant it rebuilds what changed, runs the C++ tests and, when
those pass, the Python tests (without the slow ones), and records the
mutant as killed (a test failed, crashed or hung past the time limit),
survived, or not compiling. The source tree is restored whatever happens;
a run that was killed outright leaves a journal that the next run (or
--restore) uses to put the file back.

    scripts/mutate.py [--seed 1] [--sample 160] [--only src/graph/param.cpp,...]
                      [--list] [--json build/mutate/result.json]

Needs cmake, a C++ compiler (ccache, when installed, makes it faster), GoogleTest, libcrypto
and a Python 3.13 environment with
pytest (scripts/run-tests.sh sets all of them up; --python picks the
interpreter, default: the project's 3.13 environment).
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import asdict, dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "mutate"
JOURNAL = BUILD / "journal.json"


@dataclass(frozen=True)
class Mutant:
    path: str  # relative to ROOT
    line: int  # 1-based
    column: int  # 0-based start of the replaced text
    old: str
    new: str
    kind: str

    def describe(self) -> str:
        return f"{self.path}:{self.line}: {self.kind}: '{self.old}' -> '{self.new}'"


# ---------------------------------------------------------------------------
# Finding mutation sites

RELATIONAL = {"<": ["<=", ">"], "<=": ["<", ">"], ">": [">=", "<"], ">=": [">", "<"], "==": ["!="], "!=": ["=="]}
RETURN_FLIPS = {"true": "false", "false": "true"}
STATEMENT = re.compile(r"^(\s*)((?:[A-Za-z_][\w]*(?:::|\.|->))*[A-Za-z_]\w*\s*(?:\(.*\)|(?:[-+*/|&^]|<<|>>)?=[^=].*|\+\+|--));\s*$")
NOT_A_STATEMENT = re.compile(r"^\s*(return|if|for|while|switch|case|else|do|using|typedef|throw|break|continue|goto|"
                             r"static_assert|template|namespace|class|struct|enum|const|auto|unsigned|int|bool|char|"
                             r"std::|PyObject|Py_ssize_t|size_t)\b")


def code_only(line: str) -> str:
    """The line with string and character literals and comments blanked out
    (same length), so that positions stay valid."""
    out = []
    i, n = 0, len(line)
    while i < n:
        c = line[i]
        if line.startswith("//", i):
            out.append(" " * (n - i))
            break
        if c in "\"'":
            j = i + 1
            while j < n and line[j] != c:
                j += 2 if line[j] == "\\" else 1
            out.append(c + " " * (min(j, n) - i - 1) + (c if j < n else ""))
            i = j + 1
            continue
        out.append(c)
        i += 1
    return "".join(out)[:n]


def matching_paren(code: str, start: int) -> int:
    depth = 0
    for i in range(start, len(code)):
        if code[i] == "(":
            depth += 1
        elif code[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


# Preprocessor conditions that are false in the build the tests run (CPython
# 3.13 with the GIL): code under them is not compiled, so mutating it would
# only add survivors.
INACTIVE = re.compile(r"PY_VERSION_HEX >= 0x030F|Py_GIL_DISABLED|VELTRIX_HAVE_MODEXPORT")


def sites(path: str, text: str) -> list[Mutant]:
    found: list[Mutant] = []
    in_block_comment = False
    active = [True]  # per open #if: is the current branch compiled?
    for number, raw in enumerate(text.split("\n"), 1):
        line = raw
        directive = re.match(r"\s*#\s*(if|ifdef|ifndef|elif|else|endif)\b", line)
        if directive:
            word = directive.group(1)
            if word.startswith("if"):
                inactive = bool(INACTIVE.search(line)) and word != "ifndef"
                active.append(active[-1] and not inactive)
            elif word == "endif" and len(active) > 1:
                active.pop()
            elif word in ("else", "elif") and len(active) > 1:
                active[-1] = active[-2] and not active[-1]
            continue
        if not active[-1]:
            continue
        if in_block_comment:
            if "*/" not in line:
                continue
            in_block_comment = False
            continue
        if line.lstrip().startswith("/*"):
            in_block_comment = "*/" not in line
            continue
        stripped = line.strip()
        if not stripped or stripped.startswith("#") or stripped.startswith("//"):
            continue
        code = code_only(line)

        def add(col: int, old: str, new: str, kind: str) -> None:
            found.append(Mutant(path, number, col, old, new, kind))

        for m in re.finditer(r"(?<=[\w)\]]) (<=|>=|==|!=|<|>) (?=[\w(!*&\-])", code):
            for new in RELATIONAL[m.group(1)]:
                add(m.start(1), m.group(1), new, "relational")
        for m in re.finditer(r" (&&|\|\|) ", code):
            add(m.start(1), m.group(1), "||" if m.group(1) == "&&" else "&&", "logical")
        for m in re.finditer(r"\b(if|while) \(", code):
            open_at = m.end() - 1
            close = matching_paren(code, open_at)
            if close > 0:
                cond = line[open_at + 1 : close]
                if cond.startswith("constexpr") or cond.startswith("auto") or ";" in cond:
                    continue
                add(open_at + 1, cond, f"!({cond})", "negated condition")
        for m in re.finditer(r"(?<![\w.])(\d+)([uUlL]*)(?![\w.'])", code):
            if code[max(0, m.start() - 2) : m.start()] == "0x":
                continue
            value = int(m.group(1))
            if "[" in code[: m.start()] and "]" in code[m.end() :] and code.lstrip().startswith(("static", "const")):
                continue  # an array bound in a declaration
            new = "1" if value == 0 else "0" if value == 1 else str(value + 1)
            add(m.start(1), m.group(1), new, "constant")
        m = re.match(r"^(\s*)return (.+);\s*$", code)
        if m and "{" not in m.group(2):
            value = line[m.start(2) : m.end(2)]
            if value in RETURN_FLIPS:
                add(m.start(2), value, RETURN_FLIPS[value], "returned value")
            elif value not in ("nullptr", "{}", "0"):
                add(m.start(2), value, "{}", "returned value")
        if STATEMENT.match(code) and not NOT_A_STATEMENT.match(code) and code.count("(") == code.count(")"):
            body = line.strip()
            add(len(line) - len(line.lstrip()), body, ";", "deleted statement")
    return found


def apply(text: str, m: Mutant) -> str:
    lines = text.split("\n")
    line = lines[m.line - 1]
    assert line[m.column : m.column + len(m.old)] == m.old, m
    lines[m.line - 1] = line[: m.column] + m.new + line[m.column + len(m.old) :]
    return "\n".join(lines)


def draw(seed: int, size: int, only: list[str] | None) -> dict[str, list[Mutant]]:
    """Per file, its mutation sites in a seeded order and its share of the
    sample: the first `share` mutants of the list that compile are used."""
    files = sorted(str(p.relative_to(ROOT)) for p in (ROOT / "src").rglob("*") if p.suffix in (".cpp", ".hpp"))
    per_file = {f: sites(f, (ROOT / f).read_text()) for f in files}
    per_file = {f: s for f, s in per_file.items() if s}
    total = sum(len(s) for s in per_file.values())
    plan = {}
    for f, found in per_file.items():
        rng = random.Random(f"{seed}:{f}")
        order = list(found)
        rng.shuffle(order)
        share = max(1, round(size * len(found) / total))
        plan[f] = (share, order)
    # Restricting to some files keeps their shares and orders as they are
    # in the whole sample.
    return {f: p for f, p in plan.items() if not only or f in only}


# ---------------------------------------------------------------------------
# Building and testing


class Journal:
    """Keeps the original text of the file being mutated on disk, so that an
    interrupted run can be undone."""

    @staticmethod
    def restore() -> None:
        if JOURNAL.exists():
            entry = json.loads(JOURNAL.read_text())
            (ROOT / entry["path"]).write_text(entry["text"])
            JOURNAL.unlink()
            print(f"restored {entry['path']} from an interrupted run", file=sys.stderr)

    def __init__(self, path: str):
        self.path = path
        self.text = (ROOT / path).read_text()

    def write(self, mutated: str) -> None:
        JOURNAL.write_text(json.dumps({"path": self.path, "text": self.text}))
        (ROOT / self.path).write_text(mutated)

    def undo(self) -> None:
        (ROOT / self.path).write_text(self.text)
        if JOURNAL.exists():
            JOURNAL.unlink()


def run(cmd: list[str], timeout: float, env: dict | None = None, log: Path | None = None) -> tuple[str, float]:
    """'ok', 'fail' or 'timeout', and the seconds taken. The whole process
    group goes on a timeout. Output goes to `log` when given."""
    started = time.monotonic()
    out = open(log, "w") if log else subprocess.DEVNULL
    proc = subprocess.Popen(cmd, cwd=ROOT, env=env, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
    if log:
        out.close()
    try:
        code = proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        return "timeout", time.monotonic() - started
    return ("ok" if code == 0 else "fail"), time.monotonic() - started


class Runner:
    def __init__(self, python: str, jobs: int):
        self.python = python
        self.jobs = jobs
        self.site = BUILD / "site"
        self.env = dict(os.environ, PYTHONPATH=str(self.site), PYTHONDONTWRITEBYTECODE="1")
        # A build that takes longer than this counts as not compiling; a
        # header included everywhere rebuilds everything, slowly when the
        # machine is busy.
        self.limits = {"build": 1800.0, "cpp": 600.0, "python": 900.0}

    def configure(self) -> None:
        cmake = shutil.which("cmake", path=str(Path(self.python).parent) + os.pathsep + os.environ["PATH"])
        if cmake is None:
            sys.exit("mutate.py: cmake not found")
        self.cmake = cmake
        # -O1 without debug information: the same code paths, compiled
        # about twice as fast as a release build.
        # A compiler cache makes putting a file back after its mutants cost
        # almost nothing (a header's dependents otherwise compile twice).
        launcher = shutil.which("ccache")
        subprocess.run([cmake, "-S", str(ROOT), "-B", str(BUILD), "-DVELTRIX_TESTS=ON", "-DVELTRIX_PYTHON=ON",
                        "-DCMAKE_BUILD_TYPE=Mutate", "-DCMAKE_CXX_FLAGS_MUTATE=-O1",
                        f"-DCMAKE_CXX_COMPILER_LAUNCHER={launcher or ''}",
                        f"-DPython_EXECUTABLE={self.python}"], check=True, stdout=subprocess.DEVNULL)

    def build(self) -> str:
        # The last build's output stays in build.log: a mutant that does not
        # compile can be told from a broken build there.
        status, _ = run([self.cmake, "--build", str(BUILD), "-j", str(self.jobs), "--target", "veltrix_tests",
                         "veltrix_core"], self.limits["build"], log=BUILD / "build.log")
        if status == "ok":
            self.stage_site()
        return status

    def stage_site(self) -> None:
        """The Python package as it is in the tree, with the fresh extension."""
        shutil.rmtree(self.site, ignore_errors=True)
        shutil.copytree(ROOT / "python" / "veltrix", self.site / "veltrix")
        core = self.site / "veltrix" / "core"
        for so in BUILD.glob("veltrix_core*.so"):
            shutil.copy2(so, core / so.name)

    def cpp(self) -> tuple[str, float]:
        return run([str(BUILD / "veltrix_tests"), "--gtest_brief=1", "--gtest_fail_fast"], self.limits["cpp"])

    def python_tests(self) -> tuple[str, float]:
        return run([self.python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "-m", "not slow",
                    str(ROOT / "tests" / "python")], self.limits["python"], env=self.env)

    def calibrate(self) -> None:
        """Times the unmutated suites; a mutant gets three times as long
        (and at least 30 s more) before it counts as hung."""
        if self.build() != "ok":
            sys.exit("mutate.py: the unmutated tree does not build")
        for name, suite in (("cpp", self.cpp), ("python", self.python_tests)):
            status, seconds = suite()
            if status != "ok":
                sys.exit(f"mutate.py: the unmutated {name} tests fail")
            self.limits[name] = max(3 * seconds, seconds + 30)
        print(f"time limits: C++ tests {self.limits['cpp']:.0f} s, Python tests {self.limits['python']:.0f} s",
              flush=True)

    def judge(self) -> tuple[str, str]:
        """(outcome, detail) for the tree as it is."""
        status = self.build()
        if status == "fail" and "error" not in (BUILD / "build.log").read_text():
            raise RuntimeError(f"the build failed without a compiler error; see {BUILD / 'build.log'}")
        if status != "ok":
            return "no-compile", status
        status, _ = self.cpp()
        if status != "ok":
            return "killed", f"C++ tests ({status})"
        status, _ = self.python_tests()
        if status != "ok":
            return "killed", f"Python tests ({status})"
        return "survived", ""


# ---------------------------------------------------------------------------


def default_python() -> str:
    cache = os.environ.get("VELTRIX_CACHE") or os.path.join(os.environ.get("XDG_CACHE_HOME")
                                                            or os.path.expanduser("~/.cache"), "veltrix")
    return os.path.join(cache, "venv-3.13", "bin", "python")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--sample", type=int, default=160, help="compiling mutants to test, spread over the files")
    ap.add_argument("--only", default="", help="comma-separated source files (relative to the project root)")
    ap.add_argument("--list", action="store_true", help="print the sample's candidates and stop")
    ap.add_argument("--restore", action="store_true", help="undo an interrupted run and stop")
    ap.add_argument("--python", default=default_python())
    ap.add_argument("--jobs", type=int, default=int(os.environ.get("VELTRIX_JOBS", "2")))
    ap.add_argument("--json", default=str(BUILD / "result.json"))
    args = ap.parse_args()

    BUILD.mkdir(parents=True, exist_ok=True)
    Journal.restore()
    if args.restore:
        return 0
    plan = draw(args.seed, args.sample, [s for s in args.only.split(",") if s] or None)
    if args.list:
        for f, (share, order) in plan.items():
            print(f"{f}: {share} of {len(order)} sites")
            for m in order[:share]:
                print("   ", m.describe())
        return 0

    runner = Runner(args.python, args.jobs)
    runner.configure()
    runner.calibrate()

    def interrupted(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, interrupted)
    results: list[dict] = []
    failed = False
    started = time.monotonic()
    try:
        for f, (share, order) in plan.items():
            journal = Journal(f)
            compiled = 0
            for m in order:
                if compiled == share:
                    break
                journal.write(apply(journal.text, m))
                try:
                    outcome, detail = runner.judge()
                finally:
                    journal.undo()
                compiled += outcome != "no-compile"
                results.append({**asdict(m), "outcome": outcome, "detail": detail})
                print(f"[{time.monotonic() - started:6.0f} s] {outcome:10} {m.describe()} {detail}", flush=True)
    except KeyboardInterrupt:
        print("interrupted; the tree is restored", file=sys.stderr)
    except RuntimeError as e:  # the build itself is broken: stop, keep what was judged
        print(f"stopped: {e}; the tree is restored", file=sys.stderr)
        failed = True
    finally:
        Journal.restore()
        runner.build()  # leave the build matching the tree

    report(results, time.monotonic() - started)
    Path(args.json).write_text(json.dumps({"seed": args.seed, "sample": args.sample, "mutants": results}, indent=1))
    print(f"\nwritten to {args.json}")
    return 1 if failed else 0


def report(results: list[dict], seconds: float) -> None:
    by_file: dict[str, dict[str, int]] = {}
    for r in results:
        counts = by_file.setdefault(r["path"], {"killed": 0, "survived": 0, "no-compile": 0})
        counts[r["outcome"]] += 1
    print(f"\n{'file':40} {'killed':>7} {'survived':>9} {'no-compile':>11} {'score':>7}")
    totals = {"killed": 0, "survived": 0, "no-compile": 0}
    for f, c in by_file.items():
        for k in totals:
            totals[k] += c[k]
        tested = c["killed"] + c["survived"]
        score = f"{100 * c['killed'] / tested:.0f}%" if tested else "-"
        print(f"{f:40} {c['killed']:7} {c['survived']:9} {c['no-compile']:11} {score:>7}")
    tested = totals["killed"] + totals["survived"]
    score = 100 * totals["killed"] / tested if tested else 0.0
    print(f"{'all':40} {totals['killed']:7} {totals['survived']:9} {totals['no-compile']:11} {score:6.1f}%")
    print(f"{tested} compiling mutants in {seconds / 60:.0f} min")
    survivors = [r for r in results if r["outcome"] == "survived"]
    if survivors:
        print("\nsurvivors:")
        for r in survivors:
            print(f"  {r['path']}:{r['line']}: {r['kind']}: '{r['old']}' -> '{r['new']}'")


if __name__ == "__main__":
    sys.exit(main())
