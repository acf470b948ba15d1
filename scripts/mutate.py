#!/usr/bin/env python3
"""Mutation testing of veltrix-core: how many small faults do the tests catch?

Draws a deterministic, seeded sample of one-token mutants over src/,
stratified by file (each file gets a share of the sample in proportion to
its mutation sites, at least one). For each mutant it rebuilds what changed
(the mutate flavour of CMakePresets.json, through ccache when installed),
runs the C++ tests and, when those pass, the Python tests (without the slow
ones), and records the mutant as killed (a test failed, crashed or hung past
the time limit), survived, or not compiling; the result goes to
build/mutate/result.json. The source tree is restored whatever happens; a
run that was killed outright leaves a journal that the next run (or
--restore) uses to put the file back. Needs the project's 3.13 environment
(scripts/run-tests.sh sets it up).
"""

import argparse, json, os, random, re, shutil, signal, subprocess, sys, time
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
        depth += {"(": 1, ")": -1}.get(code[i], 0)
        if depth == 0 and code[i] == ")":
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
    for number, line in enumerate(text.split("\n"), 1):
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
            in_block_comment = "*/" not in line
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
        order = list(found)
        random.Random(f"{seed}:{f}").shuffle(order)
        plan[f] = (max(1, round(size * len(found) / total)), order)
    # Restricting to some files keeps their shares and orders as they are
    # in the whole sample.
    return {f: p for f, p in plan.items() if not only or f in only}



def journal_restore() -> None:  # puts back the file that an interrupted run left mutated
    if JOURNAL.exists():
        entry = json.loads(JOURNAL.read_text())
        (ROOT / entry["path"]).write_text(entry["text"])
        JOURNAL.unlink()
        print(f"restored {entry['path']} from an interrupted run", file=sys.stderr)


def run(cmd: list[str], timeout: float, env: dict | None = None, log: Path | None = None) -> str:
    """'ok', 'fail' or 'timeout'. The whole process group goes on a timeout.
    Output goes to `log` when given."""
    out = open(log, "w") if log else subprocess.DEVNULL
    proc = subprocess.Popen(cmd, cwd=ROOT, env=env, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
    if log:
        out.close()
    try:
        return "ok" if proc.wait(timeout=timeout) == 0 else "fail"
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        return "timeout"


class Runner:
    def __init__(self) -> None:
        cache = os.environ.get("VELTRIX_CACHE") or os.path.join(
            os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "veltrix")
        self.python = os.path.join(cache, "venv-3.13", "bin", "python")
        self.cmake = os.path.join(cache, "venv-3.13", "bin", "cmake")
        self.site = BUILD / "site"
        self.env = dict(os.environ, PYTHONPATH=str(self.site), PYTHONDONTWRITEBYTECODE="1")
        # A longer build counts as not compiling (a header included
        # everywhere rebuilds everything, slowly on a busy machine).
        self.limits = {"build": 1800.0, "cpp": 600.0, "python": 900.0}
        # A compiler cache makes putting a file back after its mutants cost
        # almost nothing (a header's dependents otherwise compile twice).
        env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL=os.environ.get("VELTRIX_JOBS", "2"))
        if shutil.which("ccache"):
            env["CMAKE_CXX_COMPILER_LAUNCHER"] = "ccache"
        self.build_env = env
        subprocess.run([self.cmake, "--preset", "mutate", f"-DPython_EXECUTABLE={self.python}"], cwd=ROOT,
                       env=env, check=True, stdout=subprocess.DEVNULL)

    def build(self) -> str:
        # The last build's output stays in build.log: a mutant that does not
        # compile can be told from a broken build there.
        status = run([self.cmake, "--build", "--preset", "mutate"], self.limits["build"], self.build_env,
                     BUILD / "build.log")
        if status == "ok":  # the Python package as it is in the tree, with the fresh extension
            shutil.rmtree(self.site, ignore_errors=True)
            shutil.copytree(ROOT / "python" / "veltrix", self.site / "veltrix")
            for so in BUILD.glob("veltrix_core*.so"):
                shutil.copy2(so, self.site / "veltrix" / "core" / so.name)
        return status

    def suite(self, name: str) -> str:
        if name == "cpp":
            cmd = [str(BUILD / "veltrix_tests"), "--gtest_brief=1", "--gtest_fail_fast"]
        else:
            cmd = [self.python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "-m", "not slow",
                   str(ROOT / "tests" / "python")]
        return run(cmd, self.limits[name], self.env)

    def calibrate(self) -> None:
        """Times the unmutated suites; a mutant gets three times as long
        (and at least 30 s more) before it counts as hung."""
        if self.build() != "ok":
            sys.exit("mutate.py: the unmutated tree does not build")
        for name in ("cpp", "python"):
            started = time.monotonic()
            if self.suite(name) != "ok":
                sys.exit(f"mutate.py: the unmutated {name} tests fail")
            seconds = time.monotonic() - started
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
        for name, label in (("cpp", "C++ tests"), ("python", "Python tests")):
            status = self.suite(name)
            if status != "ok":
                return "killed", f"{label} ({status})"
        return "survived", ""


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--sample", type=int, default=160, help="compiling mutants to test, spread over the files")
    ap.add_argument("--only", default="", help="comma-separated source files (relative to the project root)")
    ap.add_argument("--list", action="store_true", help="print the sample's candidates and stop")
    ap.add_argument("--restore", action="store_true", help="undo an interrupted run and stop")
    args = ap.parse_args()

    BUILD.mkdir(parents=True, exist_ok=True)
    journal_restore()
    if args.restore:
        return 0
    plan = draw(args.seed, args.sample, [s for s in args.only.split(",") if s] or None)
    if args.list:
        for f, (share, order) in plan.items():
            print(f"{f}: {share} of {len(order)} sites")
            for m in order[:share]:
                print("   ", m.describe())
        return 0

    runner = Runner()
    runner.calibrate()

    def interrupted(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, interrupted)
    results: list[dict] = []
    failed = False
    started = time.monotonic()
    try:
        for f, (share, order) in plan.items():
            original = (ROOT / f).read_text()
            compiled = 0
            for m in order:
                if compiled == share:
                    break
                JOURNAL.write_text(json.dumps({"path": f, "text": original}))
                (ROOT / f).write_text(apply(original, m))
                try:
                    outcome, detail = runner.judge()
                finally:
                    journal_restore()
                compiled += outcome != "no-compile"
                results.append({**asdict(m), "outcome": outcome, "detail": detail})
                print(f"[{time.monotonic() - started:6.0f} s] {outcome:10} {m.describe()} {detail}", flush=True)
    except KeyboardInterrupt:
        print("interrupted; the tree is restored", file=sys.stderr)
    except RuntimeError as e:  # the build itself is broken: stop, keep what was judged
        print(f"stopped: {e}; the tree is restored", file=sys.stderr)
        failed = True
    finally:
        journal_restore()
        runner.build()  # leave the build matching the tree

    report(results, time.monotonic() - started)
    out = BUILD / "result.json"
    out.write_text(json.dumps({"seed": args.seed, "sample": args.sample, "mutants": results}, indent=1))
    print(f"\nwritten to {out}")
    return 1 if failed else 0


def report(results: list[dict], seconds: float) -> None:
    outcomes = ("killed", "survived", "no-compile")
    by_file: dict[str, dict[str, int]] = {"all": dict.fromkeys(outcomes, 0)}
    for r in results:
        for key in (r["path"], "all"):
            by_file.setdefault(key, dict.fromkeys(outcomes, 0))[r["outcome"]] += 1
    by_file["all"] = by_file.pop("all")  # last
    print(f"\n{'file':40} {'killed':>7} {'survived':>9} {'no-compile':>11} {'score':>7}")
    for f, c in by_file.items():
        tested = c["killed"] + c["survived"]
        score = f"{100 * c['killed'] / tested:.{1 if f == 'all' else 0}f}%" if tested else "-"
        print(f"{f:40} {c['killed']:7} {c['survived']:9} {c['no-compile']:11} {score:>7}")
    print(f"{by_file['all']['killed'] + by_file['all']['survived']} compiling mutants in {seconds / 60:.0f} min")
    survivors = [r for r in results if r["outcome"] == "survived"]
    if survivors:
        print("\nsurvivors:")
        for r in survivors:
            print(f"  {r['path']}:{r['line']}: {r['kind']}: '{r['old']}' -> '{r['new']}'")


if __name__ == "__main__":
    sys.exit(main())
