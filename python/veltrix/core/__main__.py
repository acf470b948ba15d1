"""veltrix-core: look inside, render, reduce, fingerprint and compare saved IR blobs.

Run as ``python -m veltrix.core`` or as the console script ``veltrix-core``.
Every FILE may be ``-`` for standard input; output goes to standard output
unless ``-o`` names a file. A user error (a missing or unreadable file, a file
that is not a blob, an output id that is not in the graph, a bad option) is
one line on standard error and exit status 2; ``diff`` exits 1 when the graphs
differ, as diff(1) does.

JSON output is strict JSON: the float parameters that JSON cannot express are
written as the strings "NaN", "inf" and "-inf".
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import json
import math
import os
import shutil
import struct
import subprocess
import sys
from collections import Counter
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import IO, Any, NoReturn

from veltrix.core import veltrix_core as vc

PROG = "veltrix-core"
KINDS = ("source", "op", "reduction", "external", "stage", "exchange", "join")
RENDERED = {".svg": "svg", ".png": "png", ".pdf": "pdf"}
REPORT_KEYS = ("input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes", "boundary_nodes")

Node = dict[str, Any]


class UserError(Exception):
    """An error the user can fix: reported as one line, exit status 2."""

    def __init__(self, where: str | None, reason: str) -> None:
        super().__init__(f"{where}: {reason}" if where else reason)


class Parser(argparse.ArgumentParser):
    """argparse reporting its errors as one line, like every other error."""

    def error(self, message: str) -> NoReturn:
        raise UserError(None, message)


# ---------------------------------------------------------------- input, output


class Blob:
    """One blob read from a file or standard input, and its store. `size` and
    `sha256` stand for its bytes, which are not kept once decoded. The store is
    decoded at once, or with `decode=False` when first used; unload() lets it
    go, and the file is then read again when it is used again (standard input,
    which cannot be read twice, keeps its store)."""

    def __init__(self, path: str, *, decode: bool = True) -> None:
        self.path, self.name = path, "<stdin>" if path == "-" else path
        data = self.read()
        self.size, self.sha256 = len(data), hashlib.sha256(data).digest()
        self._data = data if path == "-" else None
        self._store: vc.GraphStore | None = None
        if decode:
            self._store = self.decode()

    def read(self) -> bytes:
        try:
            if self.path == "-":
                return sys.stdin.buffer.read()
            with open(self.path, "rb") as f:
                return f.read()
        except OSError as exc:
            raise UserError(self.name, exc.strerror or str(exc)) from None

    def decode(self) -> vc.GraphStore:
        data, self._data = self._data if self._data is not None else self.read(), None
        if hashlib.sha256(data).digest() != self.sha256:
            raise UserError(self.name, "the file changed while it was being read")
        try:
            return vc.GraphStore.deserialize(data)
        except ValueError as exc:
            raise UserError(self.name, str(exc)) from None

    @property
    def store(self) -> vc.GraphStore:
        if self._store is None:
            self._store = self.decode()
        return self._store

    def unload(self) -> None:
        if self.path != "-":
            self._store = None

    def nodes(self, store: vc.GraphStore | None = None, ids: Sequence[int] | None = None) -> list[Node]:
        try:
            store = self.store if store is None else store
            return store.nodes() if ids is None else store._nodes(ids)
        except ValueError as exc:  # a stage member the module cannot parse
            raise UserError(self.name, str(exc)) from None

    def reduce(self, *, maximal_fusion: bool = False,
               outputs: list[int] | None = None) -> tuple[vc.GraphStore, dict[str, int]]:
        if outputs is not None:
            count = self.store.node_count()
            for o in outputs:
                if o >= count:
                    raise UserError(self.name, f"no node with id {o}")
        elif not self.store.outputs() and self.store.node_count():
            note(f"{self.name} marks no outputs, so its reduced form is empty")
        return self.store.reduce(maximal_fusion=maximal_fusion, outputs=outputs)


def note(text: str) -> None:
    print(f"{PROG}: note: {text}", file=sys.stderr)


@contextmanager
def output(path: str | None, binary: bool = False) -> Iterator[IO[Any]]:
    """Standard output, or the file `path` (created or replaced)."""
    if path is None or path == "-":
        yield sys.stdout.buffer if binary else sys.stdout
        return
    try:
        f = open(path, "wb") if binary else open(path, "w", encoding="utf-8")
    except OSError as exc:
        raise UserError(path, exc.strerror or str(exc)) from None
    with f:
        yield f


# ---------------------------------------------------------------- formatting


def show_value(v: object) -> str:
    """A parameter value: strings quoted, floats always with a point or as NaN/inf."""
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, float):
        return json_float(v) if not math.isfinite(v) else repr(v)
    if isinstance(v, str):
        return json.dumps(v, ensure_ascii=False)
    return str(v)


def show_params(params: dict[str, object]) -> str:
    return "{" + ", ".join(f"{k}={show_value(v)}" for k, v in params.items()) + "}" if params else "-"


def show_name(node: Node) -> str:
    """The name column: the name, a stage's member names, an external's payload."""
    if node["kind"] == "stage":
        return " > ".join(m["name"] for m in node["members"])
    if node["kind"] == "external":
        d = node["descriptor"]
        pre = "" if d["preprocessing_ref"] is None else f" pre={d['preprocessing_ref']}"
        return f"{d['kind']}:{d['content_hash']} [{d['framework']} {d['version']}] io={d['io_schema']}{pre}"
    return str(node["name"]) or "-"


def show_ids(ids: Sequence[int]) -> str:
    return ",".join(map(str, ids)) or "-"


def describe(node: Node) -> str:
    """A node in a few words, for lists of ids."""
    return f"{node['id']} ({node['kind']} {show_name(node)})"


def table(header: Sequence[str], rows: Sequence[Sequence[str]], right: int = 1) -> Iterator[str]:
    """Lines of an aligned table; the first `right` columns are right-aligned.
    The last column is not padded."""
    widths = [max([len(h)] + [len(r[i]) for r in rows]) for i, h in enumerate(header)]
    for row in [header, *rows]:
        cells = [c.rjust(w) if i < right else c.ljust(w) for i, (c, w) in enumerate(zip(row, widths))]
        cells[-1] = row[-1]
        yield "  ".join(cells).rstrip()


def pairs(rows: Sequence[Sequence[str]]) -> list[str]:
    """Lines of a two-column table without a header: names, then values."""
    return [line + "\n" for line in list(table(["", ""], rows, right=0))[1:]]


def json_float(v: float) -> str:
    return "NaN" if math.isnan(v) else ("inf" if v > 0 else "-inf")


def json_params(params: dict[str, object]) -> dict[str, object]:
    if all(not isinstance(v, float) or math.isfinite(v) for v in params.values()):
        return params
    return {k: json_float(v) if isinstance(v, float) and not math.isfinite(v) else v for k, v in params.items()}


def json_node(node: Node) -> Node:
    node = {**node, "params": json_params(node["params"])}
    if "members" in node:
        node["members"] = [{**m, "params": json_params(m["params"])} for m in node["members"]]
    return node


def dump(value: object) -> str:
    return json.dumps(value, ensure_ascii=False, allow_nan=False)


def node_row(node: Node) -> list[str]:
    return [str(node["id"]), node["kind"], show_name(node), show_params(node["params"]), show_ids(node["inputs"])]


# ---------------------------------------------------------------- info, nodes


def summary(blob: Blob) -> dict[str, Any]:
    nodes = blob.nodes()
    kinds = Counter(n["kind"] for n in nodes)
    widest = max(nodes, key=lambda n: len(n["inputs"]), default=None)
    # Longest path, in edges, from a node without inputs to each node; ids are
    # topological (every input id is smaller), so one pass in id order does it.
    depth = [0] * len(nodes)
    start = list(range(len(nodes)))
    for n in nodes:
        i = n["id"]
        for j in n["inputs"]:
            if depth[j] + 1 > depth[i]:
                depth[i], start[i] = depth[j] + 1, start[j]
    outputs = blob.store.outputs()
    end = max(outputs, key=lambda o: depth[o], default=None)
    return {
        "file": blob.name,
        "bytes": blob.size,
        "nodes": len(nodes),
        "kinds": {k: kinds[k] for k in KINDS},
        "outputs": outputs,
        "stages": kinds["stage"],
        "stage_members": sum(n["n_members"] for n in nodes if n["kind"] == "stage"),
        "widest_node": None if widest is None else {
            "id": widest["id"], "kind": widest["kind"], "name": show_name(widest), "inputs": len(widest["inputs"])},
        "longest_path": None if end is None else {"edges": depth[end], "from": start[end], "to": end},
    }


def cmd_info(args: argparse.Namespace) -> int:
    s = summary(Blob(args.file))
    with output(args.output) as out:
        if args.json:
            print(dump(s), file=out)
            return 0
        widest, path = s["widest_node"], s["longest_path"]
        rows = [
            ["file", str(s["file"])],
            ["bytes", str(s["bytes"])],
            ["nodes", str(s["nodes"])],
            ["kinds", ", ".join(f"{k} {c}" for k, c in s["kinds"].items() if c) or "-"],
            ["outputs", ", ".join(map(str, s["outputs"])) or "-"],
            ["stages", f"{s['stages']} ({s['stage_members']} members)"],
            ["widest node", "-" if widest is None else
             f"{widest['id']} ({widest['kind']} {widest['name']}, {widest['inputs']} inputs)"],
            ["longest path", "- (no outputs)" if path is None else
             f"{path['edges']} edges, from {path['from']} to {path['to']}"],
        ]
        out.writelines(pairs(rows))
    return 0


def cmd_nodes(args: argparse.Namespace) -> int:
    blob = Blob(args.file)
    nodes = blob.nodes()
    with output(args.output) as out:
        if args.json:
            out.writelines(dump(json_node(n)) + "\n" for n in nodes)
            return 0
        rows = [node_row(n) + ["*" if n["output"] else ""] for n in nodes]
        out.writelines(line + "\n" for line in table(["id", "kind", "name", "params", "inputs", "output"], rows))
    return 0


# ---------------------------------------------------------------- dot, reduce


def cmd_dot(args: argparse.Namespace) -> int:
    if args.maximal_fusion and not args.reduce:
        raise UserError(None, "argument --maximal-fusion: needs --reduce")
    blob = Blob(args.file)
    store = blob.reduce(maximal_fusion=args.maximal_fusion)[0] if args.reduce else blob.store
    text = store.to_dot()
    fmt = RENDERED.get(os.path.splitext(args.output or "")[1].lower())
    if fmt is None:
        with output(args.output) as out:
            out.write(text)
        return 0
    dot = shutil.which("dot")
    if dot is None:
        raise UserError(args.output, "cannot render: Graphviz 'dot' is not installed (write a .dot file instead)")
    done = subprocess.run([dot, f"-T{fmt}", "-o", args.output], input=text.encode(), capture_output=True)
    if done.returncode != 0:
        reason = (done.stderr.decode(errors="replace").strip().splitlines() or [f"exit status {done.returncode}"])
        raise UserError(args.output, f"dot failed: {reason[0]}")
    return 0


def id_list(text: str) -> list[int]:
    """The value of --outputs: node ids separated by commas."""
    try:
        ids = [int(t) for t in text.split(",") if t.strip()] if text.strip() else []
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a list of node ids: {text!r}") from None
    if any(i < 0 for i in ids):
        raise argparse.ArgumentTypeError(f"not a list of node ids: {text!r}")
    return ids


def cmd_reduce(args: argparse.Namespace) -> int:
    blob = Blob(args.file)
    store, report = blob.reduce(maximal_fusion=args.maximal_fusion, outputs=args.outputs)
    data = store.serialize()
    with output(args.output, binary=True) as out:
        out.write(data)
    # With the blob on standard output, the report goes to standard error.
    report_out = sys.stderr if args.output == "-" else sys.stdout
    if args.json:
        print(dump({k: report[k] for k in REPORT_KEYS}), file=report_out)
    else:
        report_out.writelines(pairs([[k, str(report[k])] for k in REPORT_KEYS]))
    return 0


# ---------------------------------------------------------------- diff


NAN_BITS = 0x7FF8000000000000


def value_key(v: object) -> tuple[str, object]:
    """A parameter value with its type: True, 1 and 1.0 are different values,
    floats compare by bit pattern (every NaN the same, 0.0 and -0.0 not)."""
    if isinstance(v, bool):
        return ("b", v)
    if isinstance(v, int):
        return ("i", v)
    if isinstance(v, float):
        return ("f", NAN_BITS if math.isnan(v) else struct.unpack("<Q", struct.pack("<d", v))[0])
    return ("s", v)


def params_key(params: dict[str, object]) -> tuple[object, ...]:
    return tuple((k, value_key(v)) for k, v in params.items())


class Identities:
    """Structural identities of nodes modulo the optimizer's rules, shared by
    the reduced graphs compared.

    A node's identity is everything that shows of it apart from its id and its
    output mark, together with the identities of its inputs in order, except
    that the operands of an operation the optimizer treats as commutative are
    unordered. Ids are topological, so one pass in id order computes it with
    no recursion; each identity is interned as a small integer.

    A stage's input list is numbered in the order fusion met its producers,
    which follows the node ids: its members' references are resolved to the
    identities they name, members identified bottom-up like nodes, so the same
    stage reached from another recording order has the same identity."""

    def __init__(self) -> None:
        self.table: dict[tuple[object, ...], int] = {}
        self.commutative: dict[str, bool] = {}

    def commutes(self, op: dict[str, Any], operands: Sequence[object]) -> bool:
        if op["kind"] != "op" or op["params"] or len(operands) != 2:
            return False
        name: str = op["name"]
        if name not in self.commutative:
            # Ask the optimizer: does it merge name(a, b) with name(b, a)?
            probe = vc.GraphStore()
            a, b = probe.add_source("a"), probe.add_source("b")
            outputs = [probe.add_op(name, [a, b]), probe.add_op(name, [b, a])]
            self.commutative[name] = len(probe.reduce(outputs=outputs)[0].outputs()) == 1
        return self.commutative[name]

    def intern(self, key: tuple[object, ...]) -> int:
        return self.table.setdefault(key, len(self.table))

    def of(self, nodes: list[Node]) -> list[int]:
        intern = self.table.setdefault
        table = self.table
        ids: list[int] = []
        for n in nodes:
            kind = n["kind"]
            inputs = [ids[j] for j in n["inputs"]]
            if kind == "stage":
                ids.append(self.stage(n, inputs))
                continue
            params = n["params"]
            own: tuple[object, ...] = (kind, n["name"], params_key(params) if params else ())
            if kind == "external":
                own += tuple(n["descriptor"].values())
            elif self.commutes(n, inputs):
                inputs.sort()
            ids.append(intern((intern(own, len(table)), *inputs), len(table)))
        return ids

    def stage(self, node: Node, inputs: list[int]) -> int:
        members: list[int] = []
        for m in node["members"]:
            refs = [("input", inputs[k]) if kind == "input" else ("member", members[k]) for kind, k in m["inputs"]]
            if self.commutes(m, refs):
                refs.sort()
            members.append(self.intern(("member", m["kind"], m["name"], params_key(m["params"]), tuple(refs))))
        return self.intern(("stage", members[-1] if members else None, tuple(sorted(members)), tuple(sorted(inputs))))


def unmatched(mine: list[int], theirs: list[int]) -> list[int]:
    """Positions of `mine` whose identity `theirs` lacks, as multisets."""
    left = Counter(theirs)
    only = []
    for i, ident in enumerate(mine):
        if left[ident]:
            left[ident] -= 1
        else:
            only.append(i)
    return only


def fingerprint_keys(store: vc.GraphStore) -> Iterator[tuple[int, int]]:
    """The id and key of every node: the integer of the first 128 bits of its fingerprint, which tells a
    million nodes apart with a chance of a mistake below 10^-26. A million fingerprints as bytes objects take
    about 90 MB, so they are asked for half a million at a time."""
    n, step = store.node_count(), 1 << 19
    for start in range(0, n, step):
        for i, d in enumerate(store.node_fingerprints(range(start, min(n, start + step))), start):
            yield i, int.from_bytes(d[:16], "little")


def fingerprint_diff(a: Blob, b: Blob) -> tuple[list[int], list[int], list[int], list[int], bool]:
    """The nodes of each graph that the other lacks, matched by their fingerprints, which cover a node's
    content and inputs but not its id; both graphs' outputs; and whether the outputs are equal in order, an
    output that is a changed node matching a changed node in the same place. One side's keys and one store
    are held at a time, a file being read again when its store is needed again."""
    outputs = {}

    def keys(blob: Blob) -> set[int]:
        store = blob.store
        found = {k for _, k in fingerprint_keys(store)}
        outs = store.outputs()
        outputs[blob] = list(zip(outs, store.node_fingerprints(outs)))
        blob.unload()
        return found

    def lacking(blob: Blob, theirs: set[int]) -> list[int]:
        return [i for i, k in fingerprint_keys(blob.store) if k not in theirs]

    only_b = lacking(b, keys(a))  # b is still held when its keys are taken
    only_a = lacking(a, keys(b))
    changed = {a: set(only_a), b: set(only_b)}
    outs_a, outs_b = ([None if o in changed[x] else d for o, d in outputs[x]] for x in (a, b))
    return only_a, only_b, [o for o, _ in outputs[a]], [o for o, _ in outputs[b]], outs_a == outs_b


def identity_diff(nodes_a: list[Node], nodes_b: list[Node], outs_a: list[int],
                  outs_b: list[int]) -> tuple[list[int], list[int], bool]:
    """The same modulo the optimizer's rules (Identities), for reduced graphs."""
    table_ids = Identities()
    ids_a, ids_b = table_ids.of(nodes_a), table_ids.of(nodes_b)
    only_a, only_b = unmatched(ids_a, ids_b), unmatched(ids_b, ids_a)
    changed_a, changed_b = set(only_a), set(only_b)
    outputs_equal = ([None if o in changed_a else ids_a[o] for o in outs_a]
                     == [None if o in changed_b else ids_b[o] for o in outs_b])
    return only_a, only_b, outputs_equal


def cmd_diff(args: argparse.Namespace) -> int:
    if args.a == args.b == "-":
        raise UserError(None, "standard input can be read only once: give at most one FILE as '-'")
    a, b = Blob(args.a), Blob(args.b, decode=args.reduce)
    reduced = {x: x.reduce()[0] for x in (a, b)} if args.reduce else {}

    def store(blob: Blob) -> vc.GraphStore:
        return reduced[blob] if reduced else blob.store

    outs_a, outs_b = store(a).outputs(), []
    only_a: list[int] = []
    only_b: list[int] = []
    outputs_equal = True
    if reduced:
        identical = reduced[a].serialize() == reduced[b].serialize()
        outs_b = reduced[b].outputs()
        if not identical:  # byte-identical blobs hold the same graph
            only_a, only_b, outputs_equal = identity_diff(a.nodes(reduced[a]), b.nodes(reduced[b]), outs_a, outs_b)
    elif (a.size, a.sha256) == (b.size, b.sha256):
        identical, outs_b = True, outs_a
    else:
        identical = False
        only_a, only_b, outs_a, outs_b, outputs_equal = fingerprint_diff(a, b)
    equal = not only_a and not only_b and outputs_equal
    after = " after reduction" if args.reduce else ""

    def side(blob: Blob, only: list[int]) -> list[Node]:
        differs = set(only)  # a node differs itself, or only through these inputs
        return [{**n, "via": [j for j in n["inputs"] if j in differs]} for n in blob.nodes(store(blob), only)] \
            if only else []

    rows_a, rows_b = side(a, only_a), side(b, only_b)
    with output(args.output) as out:
        if args.json:
            print(dump({
                "a": a.name, "b": b.name, "reduced": args.reduce, "equal": equal, "identical": identical,
                "only_in_a": [json_node(n) for n in rows_a], "only_in_b": [json_node(n) for n in rows_b],
                "outputs": {"equal": outputs_equal, "a": outs_a, "b": outs_b},
            }), file=out)
            return 0 if equal else 1
        if equal:
            print(("identical" if identical else "equal up to node ids") + after, file=out)
            return 0
        header = ["id", "kind", "name", "params", "inputs", "via"]
        for name, rows in ((a.name, rows_a), (b.name, rows_b)):
            if rows:
                print(f"only in {name} ({len(rows)} node{'s' if len(rows) != 1 else ''}{after}):", file=out)
                lines = table(header, [node_row(n) + [show_ids(n["via"]) if n["via"] else ""] for n in rows])
                out.writelines(f"  {line}\n" for line in lines)
        if not outputs_equal:
            print(f"outputs differ{after}:", file=out)
            for blob, outs in ((a, outs_a), (b, outs_b)):
                print(f"  {blob.name}: " + (", ".join(describe(n) for n in blob.nodes(store(blob), outs)) or "-"),
                      file=out)
        why = [f"{len(only_a)} nodes only in {a.name}, {len(only_b)} only in {b.name}"] if only_a or only_b else []
        why += [] if outputs_equal else ["outputs differ"]
        print(f"{a.name} and {b.name} differ{after}: " + "; ".join(why), file=out)
    return 1


# ---------------------------------------------------------------- fingerprint


def cmd_fingerprint(args: argparse.Namespace) -> int:
    blob = Blob(args.file)
    store = blob.store
    with output(args.output) as out:
        if args.nodes:
            out.writelines(f"{i} {d.hex()}\n" for i, d in enumerate(store.node_fingerprints()))
            return 0
        if not store.outputs() and store.node_count():
            note(f"{blob.name} marks no outputs, so this is the fingerprint of the empty graph")
        print(store.fingerprint().hex(), file=out)
    return 0


# ---------------------------------------------------------------- command line


def parser() -> Parser:
    top = Parser(prog=PROG, description="Look inside, render, reduce, fingerprint and compare saved veltrix IR blobs. "
                 "Every FILE may be '-' for standard input.",
                 epilog="Errors are one line on standard error and exit status 2. JSON output is strict: "
                 "float parameters JSON cannot express are the strings \"NaN\", \"inf\" and \"-inf\".")
    top.add_argument("--version", action="version", version=f"{PROG} {vc.version()}")
    sub = top.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, help: str, run: Any, out_help: str = "write to OUT instead of standard output",
                out_required: bool = False) -> Parser:
        p: Parser = sub.add_parser(name, help=help, description=help)
        p.set_defaults(run=run)
        p.add_argument("-o", "--output", metavar="OUT", help=out_help, required=out_required)
        return p

    p = command("info", "sizes and shape of a blob: bytes, nodes per kind, outputs, stages, "
                "the widest node and the longest path from a source to an output", cmd_info)
    p.add_argument("file", metavar="FILE")
    p.add_argument("--json", action="store_true", help="one JSON object")

    p = command("nodes", "one line per node: id, kind, name, params, inputs, output mark", cmd_nodes)
    p.add_argument("file", metavar="FILE")
    p.add_argument("--json", action="store_true", help="JSON Lines, one object per node with the fields of nodes()")

    p = command("dot", "the Graphviz DOT text of the graph", cmd_dot,
                "write to OUT; an OUT ending in .svg, .png or .pdf is rendered with Graphviz dot")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--reduce", action="store_true", help="draw the reduced graph")
    p.add_argument("--maximal-fusion", action="store_true", help="with --reduce: fuse fan-out operations too")

    p = command("reduce", "write the reduced blob to OUT and print the reduction report", cmd_reduce,
                "the reduced blob ('-': standard output, the report then goes to standard error)", out_required=True)
    p.add_argument("file", metavar="FILE")
    p.add_argument("--maximal-fusion", action="store_true", help="fuse fan-out operations too")
    p.add_argument("--outputs", metavar="ID,ID...", type=id_list,
                   help="reduce against these output ids instead of the blob's marked outputs")
    p.add_argument("--json", action="store_true", help="the report as one JSON object")

    p = command("fingerprint", "the SHA-256 content fingerprint of the graph its marked outputs reach, in hex",
                cmd_fingerprint)
    p.description = ("The SHA-256 content fingerprint of the graph the blob's marked outputs reach, and of the "
                     "outputs in their order, in hex: a cache key that depends on the graph alone, not on node ids, "
                     "recording order, unreachable nodes or the machine. The README gives its exact encoding.")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--nodes", action="store_true", help="one line per node instead: its id and its fingerprint")

    p = command("diff", "compare two graphs structurally: exit 0 when equal, 1 when they differ", cmd_diff)
    p.description = ("Compare two graphs structurally: a node is its kind, name, params, descriptor and stage "
                     "members with its inputs in order, whatever its id (its fingerprint, as 'fingerprint --nodes' "
                     "prints it), so the same graph recorded in another order compares equal. Outputs compare in order; an output that is a changed node matches "
                     "a changed node in the same place. With --reduce, the reduced forms compare as the optimizer "
                     "sees them: the operands of a commutative operation in either order. Exit 0 when equal, 1 "
                     "when the graphs differ, 2 on an error. The 'via' column names the inputs through which a "
                     "node differs; a node without one differs in itself.")
    p.add_argument("a", metavar="A")
    p.add_argument("b", metavar="B")
    p.add_argument("--reduce", action="store_true", help="compare the reduced forms")
    p.add_argument("--json", action="store_true", help="one JSON object")
    return top


def main(argv: Sequence[str] | None = None) -> int:
    # A short-lived process that builds millions of small objects and frees
    # them at exit: the cyclic collector would only rescan them again and again.
    gc.disable()
    try:
        args = parser().parse_args(argv)
        status: int = args.run(args)
        sys.stdout.flush()
        return status
    except UserError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader went away (`veltrix-core nodes big.vir | head`).
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
    finally:
        gc.enable()


if __name__ == "__main__":
    sys.exit(main())
