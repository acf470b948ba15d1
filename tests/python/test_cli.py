"""The command-line tool `python -m veltrix.core`, run as a user runs it: in a subprocess, on blobs written here."""

import hashlib
import json
import math
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from veltrix.core import veltrix_core as vc
from veltrix.core.__main__ import main
from conftest import DESC, SANITIZED, stage_blob

# The tool must import the same copy of the package as this process.
SITE = str(pathlib.Path(vc.__file__).resolve().parents[2])
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [SITE, os.environ.get("PYTHONPATH")]))}


def tool(*args, stdin=b"", cwd=None):
    done = subprocess.run([sys.executable, "-m", "veltrix.core", *map(str, args)], input=stdin, capture_output=True,
                          cwd=cwd, env=ENV)
    return done.returncode, done.stdout.decode(errors="surrogateescape"), done.stderr.decode()


strict_json = lambda text: json.loads(text, parse_constant=lambda c: pytest.fail(f"not strict JSON: {c}"))  # noqa


def pipeline(*, swap=False, scale=2.0, sub=("x", "y"), outputs=("r",), commute=False, identity=False):
    """A small graph; `swap` records its two sources in the other order: other ids, another blob, the same graph."""
    s = vc.GraphStore()
    ids = {name: s.add_source(name, {"path": name}) for name in (("y", "x") if swap else ("x", "y"))}
    ids["d"] = s.add_op("sub", [ids[sub[0]], ids[sub[1]]])  # not commutative
    m = s.add_op("mul", [ids["d"]], {"scalar": scale, "side": "r"})
    m = s.add_op("add", [m], {"scalar": 0.0, "side": "r"}) if identity else m
    ids["p"] = s.add_op("add", [ids["x"], m] if commute else [m, ids["x"]])
    ids["r"] = s.add_reduction("sum", [ids["p"]], {"axis": 0})
    return s.serialize(outputs=[ids[o] for o in outputs])


def write(path, data):
    path.write_bytes(data)
    return path


def test_info_nodes_dot_and_reduce(tmp_path):
    s = vc.GraphStore()
    x = s.add_source("x", {"nan": math.nan, "inf": -math.inf, "t": True, "one": 1.0})
    y = s.add_op("neg", [s.add_op("exp", [x])])
    j = s.add_join([s.add_external(DESC, [s.add_exchange([y])]), x, y])
    store = s.reduce(outputs=[s.add_reduction("sum", [j]), y])[0]  # x, stage, exchange, external, join, sum
    blob = write(tmp_path / "g.vir", store.serialize())
    assert tool("info", blob, "--json")[:2] == (0, json.dumps({
        "file": str(blob), "bytes": blob.stat().st_size, "nodes": 6, "kinds": {
            "source": 1, "op": 0, "reduction": 1, "external": 1, "stage": 1, "exchange": 1, "join": 1},
        "outputs": [5, 1], "stages": 1, "stage_members": 2, "widest_node": {"id": 4, "kind": "join", "name": "-",
                                                                           "inputs": 3},
        "longest_path": {"edges": 5, "from": 0, "to": 5}}) + "\n")
    code, out, _ = tool("info", "-", stdin=blob.read_bytes())
    assert (code, out.splitlines()[-1]) == (0, "longest path  5 edges, from 0 to 5")
    assert "\noutputs       5, 1\n" in out
    first, *rest = map(strict_json, tool("nodes", blob, "--json")[1].splitlines())
    assert first["params"] == {"inf": "-inf", "nan": "NaN", "one": 1.0, "t": True}
    assert rest == json.loads(json.dumps(store.nodes()[1:]))  # tuples become lists
    code, out, _ = tool("nodes", blob)
    header, *rows = out.splitlines()
    assert (code, header.split()) == (0, ["id", "kind", "name", "params", "inputs", "output"])
    assert [p for p in ("nan=NaN", "one=1.0", "t=true") if p not in rows[0]] == []
    assert (rows[1].split()[:3], rows[1][-1]) == (["1", "stage", "exp"], "*")
    col = header.index("inputs")  # cells align under their header
    assert [r[col:].split()[0] for r in rows] == ["-", "0", "1", "2", "3,0,1", "4"]
    reduced, report = store.reduce(maximal_fusion=True)
    assert tool("dot", blob) == (0, store.to_dot(), "")
    assert tool("dot", blob, "--reduce", "--maximal-fusion", "-o", tmp_path / "r.dot")[0] == 0
    assert (tmp_path / "r.dot").read_text() == reduced.to_dot()
    code, out, _ = tool("reduce", blob, "-o", tmp_path / "r.vir", "--maximal-fusion", "--json")
    assert (code, strict_json(out), (tmp_path / "r.vir").read_bytes()) == (0, report, reduced.serialize())
    code, out, err = tool("reduce", blob, "-o", "-", "--outputs", "2,4")  # blob to stdout, report to stderr
    assert (code, out.encode(errors="surrogateescape")) == (0, store.reduce(outputs=[2, 4])[0].serialize())
    assert err.splitlines()[0].split() == ["input_nodes", "6"]
    if shutil.which("dot"):
        assert tool("dot", blob, "-o", tmp_path / "g.svg") == (0, "", "")
        assert "<svg" in (tmp_path / "g.svg").read_text()
    for args in [["-h"]] + [[c, "-h"] for c in ("info", "nodes", "dot", "reduce", "fingerprint", "diff")]:
        code, out, err = tool(*args)
        assert (code, err, out[:19]) == (0, "", "usage: veltrix-core")


SUM_CHAIN = [("op", "mul"), ("op", "add"), ("reduction", "sum")]
TWIN = pipeline(swap=True, commute=True, identity=True)
# A, B, --reduce, exit status, text when equal, (kind, name) only in A, only in B; the first
# node of each side differs in itself, the others only through it.
DIFF_CASES = {
    "identical": (pipeline(), pipeline(), False, 0, "identical", [], []),
    "recorded in another order": (pipeline(), pipeline(swap=True), False, 0, "equal up to node ids", [], []),
    "one parameter": (pipeline(), pipeline(swap=True, scale=3.0), False, 1, None, SUM_CHAIN, SUM_CHAIN),
    "input order": (pipeline(), pipeline(sub=("y", "x")), False, 1, None, [("op", "sub")] + SUM_CHAIN,
                    [("op", "sub")] + SUM_CHAIN),
    "output mark": (pipeline(), pipeline(outputs=("r", "d")), False, 1, None, [], []),
    "equal once reduced": (pipeline(), TWIN, False, 1, None, SUM_CHAIN[1:], [("op", "add")] + SUM_CHAIN[1:]),
    "reduced": (pipeline(), TWIN, True, 0, "equal up to node ids after reduction", [], []),
}


@pytest.mark.parametrize("case", DIFF_CASES)
def test_diff(tmp_path, case):
    a, b, reduce, status, text, only_a, only_b = DIFF_CASES[case]
    args = ["diff", write(tmp_path / "a.vir", a), write(tmp_path / "b.vir", b)] + ["--reduce"] * reduce
    code, out, err = tool(*args)
    assert (code, err) == (status, "")
    assert text is None or out == text + "\n"
    if case == "output mark":
        assert "b.vir: 5 (reduction sum), 2 (op sub)\n" in out
    code, out, _ = tool(*args, "--json")
    report = strict_json(out)
    assert (code, report["equal"], report["identical"]) == (status, status == 0, case == "identical")
    for side, expected in ((report["only_in_a"], only_a), (report["only_in_b"], only_b)):
        assert [(n["kind"], n["name"]) for n in side] == expected
        assert [bool(n["via"]) for n in side] == [False, True, True, True][:len(side)]
    assert report["outputs"]["equal"] == (case != "output mark")
    assert case != "one parameter" or report["only_in_b"][0]["params"]["scalar"] == 3.0
    assert case != "output mark" or (report["outputs"]["a"], report["outputs"]["b"]) == ([5], [5, 2])


def test_fingerprint(tmp_path):
    a, b, s = write(tmp_path / "a.vir", pipeline()), pipeline(swap=True), vc.GraphStore()
    store = vc.GraphStore.deserialize(a.read_bytes())
    assert tool("fingerprint", a) == tool("fingerprint", "-", stdin=b) == (0, store.fingerprint().hex() + "\n", "")
    code, out, _ = tool("fingerprint", a, "--nodes")
    assert (code, out.splitlines()) == (0, [f"{i} {d.hex()}" for i, d in enumerate(store.node_fingerprints())])
    s.add_source("x")
    unmarked = write(tmp_path / "u.vir", s.serialize())
    note = f"veltrix-core: note: {unmarked} marks no outputs, so this is the fingerprint of the empty graph\n"
    assert tool("fingerprint", unmarked) == (0, hashlib.sha256(b"VFP1G").hexdigest() + "\n", note)


@pytest.mark.parametrize("args, message", [
    (["info", "missing.vir"], "missing.vir: No such file or directory"),
    (["nodes", "."], ".: Is a directory"),
    (["dot", "-"], "<stdin>: truncated veltrix IR blob"),
    (["nodes", "stage.vir"], 'stage.vir: unparseable stage member token "bad"'),
    (["reduce", "a.vir", "-o", "r.vir", "--outputs", "1,99"], "a.vir: no node with id 99"),
    (["reduce", "a.vir", "-o", "r.vir", "--outputs", "1,x"], "argument --outputs: not a list of node ids: '1,x'"),
    (["reduce", "a.vir"], "the following arguments are required: -o/--output"),
    (["reduce", "a.vir", "-o", "no/such/dir/r.vir"], "no/such/dir/r.vir: No such file or directory"),
    (["diff", "-", "-"], "standard input can be read only once: give at most one FILE as '-'"),
    (["diff", "a.vir", "bad.vir"], "bad.vir: not a veltrix IR blob (bad magic/version)"),
    (["info", "a.vir", "--bogus"], "unrecognized arguments: --bogus"),
    (["info"], "the following arguments are required: FILE"),
    (["dot", "a.vir", "--maximal-fusion"], "argument --maximal-fusion: needs --reduce")])
def test_errors(tmp_path, args, message):
    for name, data in (("a.vir", pipeline()), ("bad.vir", b"VIR2" + bytes(8)), ("stage.vir", stage_blob("bad"))):
        write(tmp_path / name, data)
    assert tool(*args, stdin=b"VIR1", cwd=tmp_path) == (2, "", f"veltrix-core: error: {message}\n")


def test_dot_not_installed(tmp_path, monkeypatch, capsys):
    # In process: an empty PATH would hide more than Graphviz from an interpreter's launcher.
    monkeypatch.setattr(shutil, "which", lambda name: None)
    assert main(["dot", str(write(tmp_path / "g.vir", pipeline())), "-o", str(tmp_path / "g.png")]) == 2
    assert capsys.readouterr() == ("", f"veltrix-core: error: {tmp_path / 'g.png'}: cannot render: "
                                   "Graphviz 'dot' is not installed (write a .dot file instead)\n")


@pytest.mark.slow
def test_scale(tmp_path):
    """A 10^5-node blob through info, nodes --json and diff; a 10^6-node chain through diff, which must not recurse."""
    n, s = 20_000 if SANITIZED else 100_000, vc.GraphStore()
    for i in range(n):  # each node on the one before and one far back
        s.add_op("abcd"[i % 4], [i - 1, i // 3][:min(i, 2)], {"k": i % 1000})
    a, b = (write(tmp_path / f"{f}.vir", s.serialize(outputs=o)) for f, o in (("a", [n - 1, n - 2]), ("b", [n - 2, 0])))
    code, out, _ = tool("info", a, "--json")
    assert (code, strict_json(out)["nodes"]) == (0, n)
    assert tool("nodes", a, "--json")[1].count("\n") == n
    code, out, _ = tool("diff", a, b)
    assert (code, out.splitlines()[-1]) == (1, f"{a} and {b} differ: outputs differ")
    chains = []
    for extra in ([], ["z"]):  # z shifts every id of the chain by one
        s = vc.GraphStore()
        prev = [s.add_source(name) for name in extra + ["x"]][-1]
        for _ in range(200_000 if SANITIZED else 1_000_000):
            prev = s.add_op("neg", [prev])
        chains.append(write(tmp_path / f"chain{len(extra)}.vir", s.serialize(outputs=[prev])))
    code, out, _ = tool("diff", *chains, "--json")
    report = strict_json(out)
    assert (code, report["only_in_a"], report["outputs"]["equal"]) == (1, [], True)
    assert [(n["id"], n["name"]) for n in report["only_in_b"]] == [(0, "z")]
