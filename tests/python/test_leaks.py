"""Reference and memory leaks: every public method and every error path, run
many times, must leave the interpreter's allocated blocks, the C heap and the
reference counts of the argument objects flat."""

import ctypes
import gc
import os
import sys

import pytest

from veltrix.core import veltrix_core as vc
from conftest import growing_params, panic_type, stage_blob

PANIC = panic_type()
SANITIZED = bool(os.environ.get("VELTRIX_SANITIZED"))
ROUNDS = 300 if SANITIZED else 3000
WARMUP = 50


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _heap_reader():
    """Bytes in use on the C heap (glibc), or None where that cannot be read
    (other C libraries, or a sanitizer's allocator)."""
    if SANITIZED:
        return None
    try:
        fn = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    fn.restype = _Mallinfo2
    return lambda: fn().uordblks + fn().hblkhd


HEAP = _heap_reader()


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


def build():
    s = vc.GraphStore()
    x = s.add_source("x", {"i": 1, "f": 2.5, "b": True, "s": "t"})
    y = s.add_source("y")
    a = s.add_op("add", [x, y])
    m = s.add_op("mul", [a, a], {"scalar": 1.0, "side": "r"})
    r = s.add_reduction("sum", [m])
    e = s.add_external(DESC, [r])
    j = s.add_join([e, x])
    s.add_exchange([j], {"scheme": "hash"})
    return s


DESC = dict(kind="k", content_hash="h", framework="f", version="1", io_schema="s", preprocessing_ref=None)
STORE = build()
BLOB = STORE.serialize(outputs=[7])
MARKED = vc.GraphStore.deserialize(BLOB)
REDUCED, _ = MARKED.reduce()
PD = vc.PayloadDescriptor(**{k: v for k, v in DESC.items() if v is not None})
PARAMS = {"i": 1, "f": 2.5, "b": True, "s": "t"}
INPUTS = [0, 1]
INDEX_INPUTS = [Index(0), Index(1)]
BAD_BLOB = b"VIR1" + b"\x01\x00\x00\x00" + b"\x09"
UNPARSEABLE = vc.GraphStore.deserialize(stage_blob("bad"))  # a member that is no operation token
REDUCER = vc.IncrementalReducer()
REDUCER.step(STORE)


# (id, call, exception expected or None, objects whose reference counts must not move)
CASES = [
    ("version", lambda: vc.version(), None, ()),
    ("new-store", lambda: vc.GraphStore(), None, ()),
    ("new-store-arg", lambda: vc.GraphStore(1), TypeError, ()),
    ("add_source", lambda: STORE.add_source("x", PARAMS), None, (PARAMS,)),
    ("add_source-kw", lambda: STORE.add_source(name="y", params=None), None, ()),
    ("add_op", lambda: STORE.add_op("add", INPUTS), None, (INPUTS,)),
    ("add_op-index", lambda: STORE.add_op("add", INDEX_INPUTS), None, (INDEX_INPUTS, *INDEX_INPUTS)),
    ("add_op-tuple", lambda: STORE.add_op("add", (0, 1)), None, ()),
    ("add_reduction", lambda: STORE.add_reduction("sum", [3]), None, ()),
    ("add_external-dict", lambda: STORE.add_external(DESC, [4]), None, (DESC,)),
    ("add_external-pd", lambda: STORE.add_external(PD, [4]), None, (PD,)),
    ("add_exchange", lambda: STORE.add_exchange([6], {"scheme": "hash"}), None, ()),
    ("add_join", lambda: STORE.add_join([5, 0]), None, ()),
    ("bad-id", lambda: STORE.add_op("add", [0, 99]), ValueError, ()),
    ("inputs-str", lambda: STORE.add_op("add", "01"), TypeError, ()),
    ("inputs-set", lambda: STORE.add_op("add", {0}), TypeError, ()),
    ("inputs-negative", lambda: STORE.add_op("add", [-1]), OverflowError, ()),
    ("inputs-index-bad", lambda: STORE.add_op("add", [Index(-1)]), OverflowError, ()),
    ("name-not-str", lambda: STORE.add_source(1), TypeError, ()),
    ("params-not-dict", lambda: STORE.add_source("x", [1]), TypeError, ()),
    ("param-value", lambda: STORE.add_source("x", {"v": None}), TypeError, ()),
    ("param-value-huge", lambda: STORE.add_source("x", {"v": 10**400}), TypeError, ()),
    ("param-key", lambda: STORE.add_source("x", {1: 1}), TypeError, ()),
    ("params-changed", lambda: STORE.add_source("x", growing_params()), PANIC, ()),
    ("descriptor-missing", lambda: STORE.add_external({"kind": "k"}, [0]), ValueError, ()),
    ("descriptor-type", lambda: STORE.add_external([], [0]), TypeError, ()),
    ("descriptor-value", lambda: STORE.add_external({**DESC, "version": None}, [0]), TypeError, ()),
    ("parse-missing", lambda: STORE.add_op("add"), TypeError, ()),
    ("parse-unexpected", lambda: STORE.add_op("add", [0], nope=1), TypeError, ()),
    ("parse-multiple", lambda: STORE.add_op("add", [0], name="x"), TypeError, ()),
    ("parse-too-many", lambda: STORE.add_op("add", [0], None, 1), TypeError, ()),
    ("node_count", lambda: STORE.node_count(), None, ()),
    ("outputs", lambda: MARKED.outputs(), None, ()),
    ("nodes", lambda: STORE.nodes(), None, ()),
    ("nodes-stage", lambda: REDUCED.nodes(), None, ()),
    ("nodes-unparseable", lambda: UNPARSEABLE.nodes(), ValueError, ()),
    ("node_map", lambda: REDUCED.node_map(), None, ()),
    ("to_dot", lambda: STORE.to_dot(), None, ()),
    ("serialize", lambda: STORE.serialize(), None, ()),
    ("serialize-outputs", lambda: STORE.serialize(outputs=INPUTS), None, (INPUTS,)),
    ("serialize-bad-id", lambda: STORE.serialize(outputs=[99]), ValueError, ()),
    ("serialize-str", lambda: STORE.serialize(outputs="0"), TypeError, ()),
    ("deserialize", lambda: vc.GraphStore.deserialize(BLOB), None, (BLOB,)),
    ("deserialize-bad", lambda: vc.GraphStore.deserialize(BAD_BLOB), ValueError, (BAD_BLOB,)),
    ("deserialize-type", lambda: vc.GraphStore.deserialize(bytearray(BLOB)), TypeError, ()),
    ("reduce", lambda: MARKED.reduce(), None, (MARKED,)),
    ("reduce-maximal", lambda: STORE.reduce(maximal_fusion=True, outputs=[7]), None, ()),
    ("reduce-bad-id", lambda: STORE.reduce(outputs=[99]), ValueError, ()),
    ("reduce-bad-flag", lambda: STORE.reduce(maximal_fusion=1), TypeError, ()),
    ("reduce-positional", lambda: STORE.reduce(True), TypeError, ()),
    ("reduction_report", lambda: STORE.reduction_report(outputs=[7]), None, ()),
    ("reduce_incremental", lambda: STORE.reduce_incremental(outputs=[7]), None, ()),
    ("pd-new", lambda: vc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="1",
                                            io_schema="s", preprocessing_ref="p"), None, ()),
    ("pd-getters", lambda: (PD.kind, PD.content_hash, PD.framework, PD.version, PD.io_schema,
                            PD.preprocessing_ref), None, (PD,)),
    ("pd-missing", lambda: vc.PayloadDescriptor(kind="k"), TypeError, ()),
    ("pd-bad-value", lambda: vc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version=None,
                                                  io_schema="s"), TypeError, ()),
    ("pd-setattr", lambda: setattr(PD, "kind", "x"), AttributeError, ()),
    ("reducer-new", lambda: vc.IncrementalReducer(), None, ()),
    ("reducer-step", lambda: REDUCER.step(STORE), None, (STORE, REDUCER)),
    ("reducer-step-type", lambda: REDUCER.step(None), TypeError, ()),
    ("reducer-step-smaller-store", lambda: REDUCER.step(EMPTY), None, ()),
    ("reducer-getters", lambda: (REDUCER.watermark(), REDUCER.total_work(), REDUCER.canonical_count()), None, ()),
    ("reducer-finalize", lambda: REDUCER.finalize(STORE, outputs=[7]), None, (STORE,)),
    ("reducer-finalize-maximal", lambda: REDUCER.finalize(STORE, maximal_fusion=True, outputs=[7, 7]), None, ()),
    ("reducer-finalize-bad-id", lambda: REDUCER.finalize(STORE, outputs=[999]), ValueError, ()),
    ("reducer-finalize-type", lambda: REDUCER.finalize(STORE, maximal_fusion="yes"), TypeError, ()),
]
EMPTY = vc.GraphStore()  # fewer nodes than the watermark: an empty delta


def run(call, exc):
    if exc is None:
        call()
        return
    try:
        call()
    except exc:
        pass
    else:
        raise AssertionError("no exception")


def measure(call, exc, watched):
    """Growth of reference counts, Python blocks and C heap over ROUNDS calls."""
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    blocks = sys.getallocatedblocks()
    heap = HEAP() if HEAP else 0
    for _ in range(ROUNDS):
        run(call, exc)
    gc.collect()
    after = [sys.getrefcount(o) for o in watched]
    ref_growth = [a - r for a, r in zip(after, refs)]
    return ref_growth, sys.getallocatedblocks() - blocks, (HEAP() - heap) if HEAP else 0


@pytest.mark.parametrize("call, exc, watched", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_no_leaks(call, exc, watched):
    for _ in range(WARMUP):
        run(call, exc)
    # Interpreter caches and other tests' leftovers can add a few hundred
    # blocks once; a real leak grows in every round, so the best of three
    # rounds must stay flat.
    rounds = [measure(call, exc, watched) for _ in range(3)]
    assert any(all(g == 0 for g in r[0]) for r in rounds), f"reference counts grew: {rounds}"
    block_growth = min(r[1] for r in rounds)
    heap_growth = min(r[2] for r in rounds)
    # A leak of one object per call would show as ROUNDS blocks.
    assert block_growth < ROUNDS // 10, f"{block_growth} blocks more after {ROUNDS} calls"
    # A leak of a few bytes per call on the C heap would show as well.
    assert heap_growth < 64 * 1024 + ROUNDS * 4, f"C heap grew by {heap_growth} bytes after {ROUNDS} calls"
