import decimal
import math
import random
import shutil
import struct
import subprocess

import pytest

from veltrix.core import veltrix_core as vc
from conftest import stage_blob

DESC = dict(kind="model", content_hash="abc", framework="torch", version="2.1", io_schema="f32[n]->f32[n]")


def desc(**over):
    return vc.PayloadDescriptor(**{**DESC, **over})


def full_store():
    s = vc.GraphStore.deserialize(stage_blob())
    x = 0
    a = s.add_op("mul", [x, x], {"k": 2, "f": -0.0, "b": True, "s": "a;b=c|d%"})
    r = s.add_reduction("sum", [a], {"axis": 0})
    e = s.add_external(desc(preprocessing_ref="pre"), [r])
    j = s.add_join([e, 1, x], {"how": "inner"})
    s.add_exchange([j], {"scheme": "hash"})
    return s


# ---------------------------------------------------------------------------
# PayloadDescriptor


def test_descriptor_fields_and_identity():
    d1, d2 = desc(), desc()
    assert (d1.kind, d1.content_hash, d1.framework, d1.version, d1.io_schema) == tuple(DESC.values())
    assert d1.preprocessing_ref is None and desc(preprocessing_ref=None).preprocessing_ref is None
    assert desc(preprocessing_ref="").preprocessing_ref == ""
    assert d1 != d2 and d1 == d1
    s = vc.GraphStore()
    assert s.add_external(d1, []) == s.add_external(d2, []) == s.add_external(dict(DESC), [])
    assert s.add_external(dict(DESC, preprocessing_ref=None), []) == 0
    assert s.add_external(desc(preprocessing_ref=""), []) == 1
    assert s.add_external(dict(DESC, preprocessing_ref=""), []) == 1
    with pytest.raises(AttributeError):
        d1.kind = "x"


@pytest.mark.parametrize(
    "args, kwargs, exc, text, note",
    [
        ((), dict(DESC, version=None), TypeError, None, "version"),
        ((), dict(DESC, preprocessing_ref=5), TypeError, None, "preprocessing_ref"),
        ((), dict(DESC, extra=1), TypeError,
         "PayloadDescriptor.__new__() got an unexpected keyword argument 'extra'", None),
        ((), {"kind": "k"}, TypeError, "PayloadDescriptor.__new__() missing 4 required keyword arguments: "
         "'content_hash', 'framework', 'version', and 'io_schema'", None),
        (("k",), {}, TypeError, "PayloadDescriptor.__new__() takes 0 positional arguments but 1 was given", None),
    ],
)
def test_descriptor_construction_errors(args, kwargs, exc, text, note):
    with pytest.raises(exc) as ei:
        vc.PayloadDescriptor(*args, **kwargs)
    if text:
        assert str(ei.value) == text
    assert getattr(ei.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)


@pytest.mark.parametrize(
    "descriptor, inputs, exc, text",
    [
        ([1], [], TypeError, "descriptor must be a PayloadDescriptor or dict"),
        ([1], "x", TypeError, "Can't extract `str` to `Vec`"),
        ({"content_hash": "h"}, [], ValueError, "descriptor missing required field 'kind'"),
        ({k: v for k, v in DESC.items() if k not in ("kind", "io_schema")}, [], ValueError,
         "descriptor missing required field 'kind'"),
        ({"preprocessing_ref": 5}, [], TypeError, None),
        (dict(DESC, kind=None), [], TypeError, None),
        (dict(DESC), [5], ValueError, "no node with id 5"),
    ],
)
def test_add_external_errors(descriptor, inputs, exc, text):
    s = vc.GraphStore()
    with pytest.raises(exc) as ei:
        s.add_external(descriptor, inputs)
    if text:
        assert str(ei.value) == text
    assert s.node_count() == 0


def test_boundary_nodes():
    s = vc.GraphStore()
    a, b, c = (s.add_source(n) for n in "abc")
    ex = s.add_exchange([a], {"scheme": "hash"})
    assert s.add_exchange([a], {"scheme": "hash"}) == ex != s.add_exchange([a], {"scheme": "range"})
    assert s.add_join([a, b, c]) != s.add_join([b, a])
    assert s.add_join([]) > 0 and s.add_exchange([a, b]) > 0


# ---------------------------------------------------------------------------
# nodes() and node_map()


def test_nodes_view():
    s = full_store()
    view = s.nodes()
    assert [n["id"] for n in view] == list(range(s.node_count()))
    assert list(view[0]) == ["id", "output", "inputs", "kind", "name", "params"]
    stage = view[1]
    assert list(stage) == ["id", "output", "inputs", "kind", "name", "params", "n_members", "members"]
    assert stage["output"] is True and stage["n_members"] == 2 and stage["params"] == {} and stage["name"] == ""
    assert stage["members"] == [
        {"kind": "op", "name": "neg", "params": {}, "inputs": [("input", 0)]},
        {"kind": "op", "name": "add", "params": {"scalar": 1.0, "side": "r"}, "inputs": [("member", 0)]},
    ]
    mul = view[2]
    assert mul["kind"] == "op" and mul["inputs"] == [0, 0]
    assert list(mul["params"]) == ["b", "f", "k", "s"]
    assert mul["params"]["b"] is True and str(mul["params"]["f"]) == "-0.0"
    ext = view[4]
    assert list(ext)[-1] == "descriptor"
    assert ext["descriptor"] == dict(DESC, preprocessing_ref="pre")
    assert [n["kind"] for n in view] == ["source", "stage", "op", "reduction", "external", "join", "exchange"]
    assert vc.GraphStore().nodes() == []
    assert s.node_map() == []


def test_nodes_rejects_unparseable_member():
    s = vc.GraphStore.deserialize(stage_blob('bad"\\x'))
    with pytest.raises(ValueError) as ei:
        s.nodes()
    assert str(ei.value) == 'unparseable stage member token "bad\\"\\\\x"'


# ---------------------------------------------------------------------------
# serialize / deserialize


def test_round_trip_is_byte_identical():
    assert vc.GraphStore().serialize() == b"VIR1" + bytes(8)
    s = full_store()
    blob = s.serialize()
    assert blob == s.serialize(outputs=None)
    for back in (vc.GraphStore.deserialize(blob), vc.GraphStore.deserialize(data=blob),
                 vc.GraphStore().deserialize(blob)):
        assert back.serialize() == blob
        assert back.nodes() == s.nodes()
        assert back.outputs() == s.outputs() == [1]


def test_explicit_outputs():
    s = full_store()
    empty = s.serialize(outputs=[])
    assert empty.endswith(b"\x00\x00\x00\x00") and vc.GraphStore.deserialize(empty).outputs() == []
    rep = s.serialize(outputs=[2, 0, 2])
    assert rep.endswith(struct.pack("<IQQQ", 3, 2, 0, 2))
    assert vc.GraphStore.deserialize(rep).outputs() == [2, 0]
    with pytest.raises(ValueError, match="^no node with id 99$"):
        s.serialize(outputs=[0, 99])
    with pytest.raises(TypeError) as ei:
        s.serialize(outputs="0")
    assert str(ei.value) == "Can't extract `str` to `Vec`" and ei.value.__notes__ == ["while processing 'outputs'"]


@pytest.mark.parametrize(
    "data, message",
    [
        (b"VIR", "truncated veltrix IR blob"),
        (b"VIR2", "not a veltrix IR blob (bad magic/version)"),
        (b"VIR1\xff\xff\xff\xff" + bytes(4), "truncated veltrix IR blob"),
        (b"VIR1\x01\x00\x00\x00\x09", "invalid node tag 9"),
        (b"VIR1\x01\x00\x00\x00\x01\x01\x00\x00\x00f\x00\x00\x00\x00\x01\x00\x00\x00" + bytes([5]) + bytes(7),
         "node reference 5 out of range"),
        (b"VIR1" + bytes(8) + b"trailing", None),
    ],
)
def test_deserialize_errors(data, message):
    if message is None:
        assert vc.GraphStore.deserialize(data).serialize() == b"VIR1" + bytes(8)
        return
    with pytest.raises(ValueError) as ei:
        vc.GraphStore.deserialize(data)
    assert str(ei.value) == message


@pytest.mark.parametrize("data", [bytearray(b"VIR1" + bytes(8)), memoryview(b"VIR1" + bytes(8)), "VIR1", None])
def test_deserialize_requires_bytes(data):
    with pytest.raises(TypeError) as ei:
        vc.GraphStore.deserialize(data)
    assert ei.value.__notes__ == ["while processing 'data'"]


# ---------------------------------------------------------------------------
# to_dot


def test_dot_text():
    assert vc.GraphStore().to_dot() == "digraph veltrix {\n}\n"
    s = vc.GraphStore()
    x = s.add_source('q"')
    s.add_op("f", [x, x])
    assert s.to_dot() == (
        'digraph veltrix {\n  n0 [label="Source q\\""];\n  n1 [label="Op f"];\n  n0 -> n1;\n  n0 -> n1;\n}\n'
    )
    out = vc.GraphStore.deserialize(stage_blob()).to_dot()
    assert '  n1 [label="Stage[2 members]", shape=doublecircle];\n' in out


def float_label(x):
    """Python's shortest round-trip digits, placed by their exponent."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return format(decimal.Decimal(repr(x)).normalize(), "f")


_rng = random.Random(70)
FLOATS = [5e-324, -5e-324, 2.2250738585072014e-308, 2.225073858507201e-308, 1e-300, 1e-7, 0.1, 0.3, 1.5, -2.5,
          0.0, -0.0, 1.0, 1e15, 2.0**53, 2.0**53 + 2, 2.0**70, -(2.0**70), 6.02214076e23, 1e21, 1e22, 1e23, 1e100,
          1.7976931348623157e308, -1.7976931348623157e308, math.inf, -math.inf, math.nan]
FLOATS += [_rng.choice((-1, 1)) * _rng.random() * 10.0 ** _rng.randint(-320, 307) for _ in range(40)]


def test_float_labels_are_shortest_positional_digits():
    s = vc.GraphStore()
    for i, x in enumerate(FLOATS):
        s.add_source(f"x{i}", {"v": x})
    labels = [line for line in s.to_dot().splitlines() if "label=" in line]
    assert labels == [f'  n{i} [label="Source x{i} {{v={float_label(x)}}}"];' for i, x in enumerate(FLOATS)]
    assert float_label(2.0**70) == "1180591620717411300000" and float_label(0.5) == "0.5"


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz is not installed")
def test_graphviz_accepts_every_kind():
    text = full_store().to_dot()
    proc = subprocess.run(["dot", "-Tsvg"], input=text, capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    assert "<svg" in proc.stdout
