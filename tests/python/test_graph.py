"""The module's surface; recording against a model of node identity; the nodes() view, the blob and the DOT
text exactly; reduction exactly on small graphs."""

import decimal
import inspect
import math
import random
import shutil
import struct
import subprocess

import pytest

from veltrix.core import veltrix_core as vc
from conftest import DESC, REPORT_KEYS, PlainDict, same_result, stage_blob


def test_module_surface():
    assert vc.__all__ == ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]
    assert (vc.version(), vc.__doc__, vc.version.__doc__ or "", str(inspect.signature(vc.version))) == ("0.0.6", "", "",
                                                                                                     "()")
    assert vc.GraphStore.__doc__ == (
        "Thread-safe interned graph store (frozen pyclass: interior mutability via a Mutex, safe to\n"
        "share across threads under the GIL and free-threaded 3.14t).")
    for cls in (vc.GraphStore, vc.PayloadDescriptor, vc.IncrementalReducer):
        assert (cls.__qualname__, cls.__module__, cls.__base__) == (cls.__name__, "veltrix.core.veltrix_core", object)
    s = vc.GraphStore()
    assert [getattr(s, m).__doc__ or "" for m in ("add_source", "add_op", "add_reduction", "node_count", "outputs")] \
        == ["", "", "", "", "The marked output node ids, in mark order (what an IR evaluator returns, in order)."]


def test_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_interpreters")
    interp = interpreters.create()
    failure = interpreters.run_string(interp, "import veltrix.core.veltrix_core")
    interpreters.destroy(interp)
    assert failure is not None
    assert failure.type.__name__ == "ImportError"


VALUES = [True, False, 0, 1, -1, 2**63 - 1, -(2**63), 2**63, 2**70, 0.0, -0.0, 1.0, 2.5, float(2**70), math.nan,
          -math.nan, math.inf, "", "1", "x;y=z|%", "\u00e9\0"]
KEYS = ["a", "b", "side", "scalar", "", "\u00e9", "z", "k\0", "B", "aa"]
DESCRIPTORS = [lambda: dict(DESC), lambda: vc.PayloadDescriptor(**DESC), lambda: dict(DESC, preprocessing_ref=None),
               lambda: dict(DESC, preprocessing_ref=""), lambda: vc.PayloadDescriptor(**DESC, preprocessing_ref=""),
               lambda: dict(DESC, version="2")]


def identity(v):
    """A value as the store tells values apart: by type, big ints as floats, floats by bits, every NaN one value."""
    if isinstance(v, (bool, str)) or (isinstance(v, int) and -(2**63) <= v < 2**63):
        return type(v), v
    return float, struct.pack("<d", math.nan if math.isnan(v) else v)


@pytest.mark.parametrize("seed", range(30))
def test_random_recording_against_a_model(seed):
    rng, s, model, steps = random.Random(seed), vc.GraphStore(), {}, []
    for _ in range(rng.randint(1, 80)):
        kind = rng.choice(["source", "op", "op", "reduction", "external", "exchange", "join"])
        n = s.node_count()
        inputs = [] if kind == "source" or not n else [rng.randrange(n) for _ in range(rng.randint(0, 3))]
        items = [(k, rng.choice(VALUES)) for k in rng.sample(KEYS, rng.randint(0, 10))]
        params = rng.choice([dict, PlainDict])(items) if items or rng.random() < 0.5 else None
        name = rng.choice(["f", "g", "add", ""]) if kind in ("source", "op", "reduction") else ""
        d = rng.randrange(len(DESCRIPTORS)) if kind == "external" else None
        key = (kind, name, tuple(inputs), tuple(sorted(((k.encode(), identity(v)) for k, v in items))),
               None if d is None else [0, 0, 0, 1, 1, 2][d])
        if kind in ("source", "external"):
            node = s.add_source(name, params) if kind == "source" else s.add_external(DESCRIPTORS[d](), inputs, params)
        else:
            node = getattr(s, f"add_{kind}")(*[name] * (kind not in ("exchange", "join")), tuple(inputs), params=params)
        assert node == model.setdefault(key, len(model))
        steps.append((node, kind, name, inputs, items))
    assert (s.node_count(), s.outputs(), s.node_map()) == (len(model), [], [])
    first = s.nodes()
    assert len({id(n[k]) for n in first for k in ("params", "inputs")}) == 2 * len(first)
    for node in first:  # the view's objects belong to the caller alone
        node["params"]["zz"], node["inputs"][:] = 1, [99]
    view = s.nodes()
    for node, kind, name, inputs, items in steps:
        got = view[node]
        assert (got["id"], got["kind"], got["name"], got["inputs"], got["output"]) == (node, kind, name, inputs, False)
        assert list(got["params"]) == sorted((k for k, _ in items), key=str.encode)
        assert [identity(got["params"][k]) for k, v in items] == [identity(v) for k, v in items]
        assert list(got)[-1] == ("descriptor" if kind == "external" else "params")
    back = vc.GraphStore.deserialize(s.serialize())
    assert (repr(back.nodes()), back.serialize()) == (repr(view), s.serialize())  # NaN != NaN
    assert back.add_source("new") == len(model)


def full_store():
    s = vc.GraphStore.deserialize(stage_blob())
    a = s.add_op("mul", [0, 0], {"k": 2, "f": -0.0, "b": True, "s": "a;b=c|d%"})
    e = s.add_external(dict(DESC, preprocessing_ref="pre"), [s.add_reduction("sum", [a], {"axis": 0})])
    s.add_exchange([s.add_join([e, 1, 0], {"how": "inner"})], {"scheme": "hash"})
    return s


def test_nodes_view_and_descriptors():
    view = full_store().nodes()
    assert [n["kind"] for n in view] == ["source", "stage", "op", "reduction", "external", "join", "exchange"]
    assert view[0] == {"id": 0, "output": False, "inputs": [], "kind": "source", "name": "x", "params": {}}
    assert view[1] == {"id": 1, "output": True, "inputs": [0], "kind": "stage", "name": "", "params": {},
                       "n_members": 2, "members": [{"kind": "op", "name": "neg", "params": {}, "inputs": [("input", 0)]}, {
                           "kind": "op", "name": "add", "params": {"scalar": 1.0, "side": "r"}, "inputs": [("member", 0)]}]}
    assert list(view[2]["params"].items()) == [("b", True), ("f", -0.0), ("k", 2), ("s", "a;b=c|d%")]
    assert (math.copysign(1, view[2]["params"]["f"]), view[2]["inputs"]) == (-1, [0, 0])
    assert list(view[4].items())[-2:] == [("params", {}), ("descriptor", dict(DESC, preprocessing_ref="pre"))]
    assert ([n["inputs"] for n in view[3:]], vc.GraphStore().nodes()) == ([[2], [3], [4, 1, 0], [5]], [])
    d, e = vc.PayloadDescriptor(**DESC), vc.PayloadDescriptor(**DESC, preprocessing_ref="")
    assert (d.kind, d.content_hash, d.framework, d.version, d.io_schema, d.preprocessing_ref) == (*DESC.values(), None)
    assert (e.preprocessing_ref, d == vc.PayloadDescriptor(**DESC), d == d) == ("", False, True)


def test_blob_and_dot_text():
    assert vc.GraphStore().serialize() == b"VIR1" + bytes(8)
    s = full_store()
    blob = s.serialize()
    assert (s.serialize(outputs=None), blob[-12:]) == (blob, struct.pack("<IQ", 1, 1))
    for back in (vc.GraphStore.deserialize(blob), vc.GraphStore.deserialize(data=blob), s.deserialize(blob)):
        assert (back.serialize(), back.nodes(), back.outputs(), s.outputs()) == (blob, s.nodes(), [1], [1])
    assert back.add_op("mul", [0, 0], {"s": "a;b=c|d%", "b": True, "f": -0.0, "k": 2}) == 2  # read back interned
    # Marks are written in order with repeats; reading keeps the first of each.
    for outputs, tail, marks in (([], bytes(4), []), ([2, 0, 2], struct.pack("<IQQQ", 3, 2, 0, 2), [2, 0])):
        assert s.serialize(outputs=outputs) == blob[:-12] + tail
        assert vc.GraphStore.deserialize(blob[:-12] + tail).outputs() == marks
    assert '  n1 [label="Stage[2 members]", shape=doublecircle];\n' in vc.GraphStore.deserialize(stage_blob()).to_dot()
    if shutil.which("dot"):  # Graphviz accepts every kind
        proc = subprocess.run(["dot", "-Tsvg"], input=full_store().to_dot(), capture_output=True, text=True)
        assert (proc.returncode, proc.stderr, "<svg" in proc.stdout) == (0, "", True)


def float_label(x):
    """Python's shortest round-trip digits, placed by their exponent."""
    if math.isnan(x) or math.isinf(x):
        return {"nan": "NaN", "inf": "inf", "-inf": "-inf"}[repr(x)]
    return format(decimal.Decimal(repr(x)).normalize(), "f")


def test_float_labels_are_shortest_positional_digits():
    rng, s = random.Random(70), vc.GraphStore()
    floats = [5e-324, -5e-324, 2.2250738585072014e-308, 2.225073858507201e-308, 1e-300, 1e-7, 0.1, 0.3, 1.5, -2.5,
              0.0, -0.0, 1.0, 1e15, 2.0**53, 2.0**53 + 2, 2.0**70, -(2.0**70), 6.02214076e23, 1e21, 1e22, 1e23, 1e100,
              1.7976931348623157e308, -1.7976931348623157e308, math.inf, -math.inf, math.nan]
    floats += [rng.choice((-1, 1)) * rng.random() * 10.0 ** rng.randint(-320, 307) for _ in range(40)]
    for i, x in enumerate(floats):
        s.add_source(f"x{i}", {"v": x})
    labels = [line for line in s.to_dot().splitlines() if "label=" in line]
    assert labels == [f'  n{i} [label="Source x{i} {{v={float_label(x)}}}"];' for i, x in enumerate(floats)]
    assert (float_label(2.0**70), float_label(0.5)) == ("1180591620717411300000", "0.5")


ADD0 = {"scalar": 0.0, "side": "r"}
NumpyBool = lambda name, truth: type(name, (), {"__module__": "numpy", "__bool__": lambda self: truth})()  # noqa: E731


report = lambda *counts: dict(zip(REPORT_KEYS, counts))  # noqa: E731


def test_chain_fuses_into_one_stage_and_marks_decide_what_is_kept():
    s = vc.GraphStore()
    s.add_op("exp", [s.add_op("abs", [s.add_op("neg", [s.add_source("x")])])])
    for red, rep in (s.reduce(), s.reduce(outputs=[]), s.reduce_incremental()):
        assert (rep, red.node_count(), red.node_map()) == (report(4, 0, 0, 0, 0, 0), 0, [None] * 4)
    assert vc.GraphStore().reduce()[1] == report(0, 0, 0, 0, 0, 0)
    red, rep = s.reduce(outputs=[3])
    assert (rep, red.outputs(), red.node_map()) == (report(4, 4, 4, 1, 2, 1), [1], [(0, None), (1, 0), (1, 1), (1, 2)])
    # An identity fed by nothing is kept; one with an input folds into it.
    ir = vc.IncrementalReducer()
    assert (ir.watermark(), ir.total_work(), ir.canonical_count(), ir.step(s), ir.step(s)) == (0, 0, 0, 4, 0)
    out = [s.add_op("add", [], ADD0), s.add_op("add", [3], ADD0)]
    assert (ir.step(store=s), ir.watermark(), ir.total_work(), ir.canonical_count()) == (2, 6, 6, 5)
    red, rep = ir.finalize(s, outputs=out)
    assert (rep, red.node_map()[4:]) == (report(5, 5, 5, 2, 3, 1), [(2, 0), (1, 2)])
    same_result(ir.finalize(s, outputs=out), (red, rep))  # finalize repeats
    same_result(s.reduce(outputs=out), (red, report(6, 6, 5, 2, 3, 1)))
    assert ir.step(vc.GraphStore()) == 0  # a smaller store has nothing beyond the watermark
    other = vc.GraphStore()  # a larger one: its nodes beyond the watermark are read against the map
    other.add_op("f", [[other.add_source(f"s{i}") for i in range(11)][-1]])
    assert (ir.step(other), ir.watermark(), ir.total_work()) == (6, 12, 12)


@pytest.mark.parametrize("maximal, stages", [(False, 2), (True, 1), (NumpyBool("bool_", True), 1),
                                             (NumpyBool("bool", True), 1), (NumpyBool("bool_", False), 2)])
def test_fan_out_by_mode(maximal, stages):
    s = vc.GraphStore()
    a = s.add_op("neg", [s.add_source("x")])
    d = s.add_op("sub", [s.add_op("abs", [a]), s.add_op("exp", [a])])
    red, rep = s.reduce(maximal_fusion=maximal, outputs=[d])
    assert rep == report(5, 5, 5, stages, stages + 1, 1)
    # The reduced store is independent of its source.
    assert (red.add_source("new"), s.node_count(), len(red.node_map())) == (red.node_count() - 1, 5, 5)
