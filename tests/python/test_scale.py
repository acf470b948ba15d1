"""Scale: a chain of a million nodes and a node with a hundred thousand
inputs go through every operation without exhausting the stack, and in time
linear in their size. Sanitized runs use smaller sizes
(VELTRIX_SANITIZED=1), still far beyond any recursion depth the stack could
hold under a sanitizer; VELTRIX_SCALE_CHAIN overrides the chain length."""

import os

import pytest

from veltrix.core import veltrix_core as vc

SANITIZED = bool(os.environ.get("VELTRIX_SANITIZED"))
CHAIN = int(os.environ.get("VELTRIX_SCALE_CHAIN", 200_000 if SANITIZED else 1_000_000))
WIDE = 100_000

pytestmark = pytest.mark.slow

IDENTITY = {"scalar": 0.0, "side": "r"}


def chain(name, params=None, length=CHAIN, extra_input=False):
    s = vc.GraphStore()
    x = s.add_source("x")
    prev = x
    add = s.add_op
    for _ in range(length):
        prev = add(name, [prev, x] if extra_input else [prev], params)
    return s, prev


def round_trip(s, outputs):
    blob = s.serialize(outputs=outputs)
    back = vc.GraphStore.deserialize(blob)
    assert back.serialize() == blob
    assert back.outputs() == list(dict.fromkeys(outputs))
    return back


def incremental(s, outputs, steps):
    r = vc.IncrementalReducer()
    for _ in range(steps):
        r.step(s)
    result = r.finalize(s, outputs=outputs)
    assert r.watermark() == r.total_work() == s.node_count()
    return r, result


@pytest.fixture(scope="module")
def long_chain():
    return chain("neg")


def test_long_chain_every_operation(long_chain):
    s, last = long_chain
    n = CHAIN + 1
    for maximal in (False, True):
        reduced, report = s.reduce(maximal_fusion=maximal, outputs=[last])
        assert report == {"input_nodes": n, "reachable_nodes": n, "canonical_nodes": n, "stages": 1,
                          "reduced_nodes": 2, "boundary_nodes": 1}
    node_map = reduced.node_map()
    assert len(node_map) == n and node_map[0] == (0, None) and node_map[-1] == (1, CHAIN - 1)
    stage = reduced.nodes()[1]
    assert stage["n_members"] == CHAIN
    assert stage["members"][-1]["inputs"] == [("member", CHAIN - 2)]
    assert len(reduced.to_dot()) > 0 and reduced.serialize()

    nodes = s.nodes()
    assert len(nodes) == n and nodes[-1]["inputs"] == [CHAIN - 1]
    dot = s.to_dot()
    assert dot.count(" -> ") == CHAIN

    back = round_trip(s, [last])
    assert back.reduce()[1] == report
    r, (inc_store, inc_report) = incremental(s, [last], steps=1)
    assert r.canonical_count() == n
    assert inc_store.serialize() == reduced.serialize()


def test_long_chain_built_while_stepping():
    """The incremental reducer fed in many small steps does linear work."""
    length = CHAIN // 4
    s = vc.GraphStore()
    r = vc.IncrementalReducer()
    x = prev = s.add_source("x")
    for i in range(length):
        prev = s.add_op("add", [x, prev] if i % 2 else [prev, x])
        if i % 1000 == 0:
            r.step(s)
    store, report = r.finalize(s, outputs=[prev])
    assert r.total_work() == s.node_count() == length + 1
    assert report["reduced_nodes"] == 2


@pytest.mark.parametrize("shape", ["identity", "commutative"])
def test_long_rewrite_chains(shape):
    """Chains that the rewrite rules act on at every link: a million identity
    eliminations folding into the source, or commuted adds."""
    if shape == "identity":
        s, last = chain("add", IDENTITY)
    else:
        s, last = chain("add", extra_input=True)
    for maximal in (False, True):
        reduced, report = s.reduce(maximal_fusion=maximal, outputs=[last])
        if shape == "identity":
            assert report["canonical_nodes"] == 1 and reduced.node_count() == 1
            assert set(reduced.node_map()) == {(0, None)}
        else:
            assert report["stages"] == 1 and report["reduced_nodes"] == 2
    r, (inc_store, inc_report) = incremental(s, [last], steps=2)
    if shape == "identity":
        assert r.canonical_count() == 1 and inc_store.node_count() == 1
    else:
        assert r.canonical_count() == CHAIN + 1
    assert round_trip(s, [last]).node_count() == s.node_count()


def test_wide_node_every_operation():
    s = vc.GraphStore()
    sources = [s.add_source(f"s{i}") for i in range(WIDE)]
    total = s.add_op("sum", sources)
    both = s.add_op("sum", sources + sources[::-1])
    join = s.add_join(sources + [total, both])
    out = s.add_reduction("r", [join, total])
    n = s.node_count()
    for maximal in (False, True):
        reduced, report = s.reduce(maximal_fusion=maximal, outputs=[out, total])
        assert report["reachable_nodes"] == n
        assert report["boundary_nodes"] == WIDE + 2
    view = reduced.nodes()
    stages = [v for v in view if v["kind"] == "stage"]
    assert sorted(len(st["inputs"]) for st in stages) == [WIDE, WIDE]
    assert s.nodes()[join]["inputs"][-2:] == [total, both]
    assert s.to_dot().count(f" -> n{join};") == WIDE + 2
    back = round_trip(s, [out])
    assert back.reduce()[1]["reachable_nodes"] == n
    r, (inc_store, inc_report) = incremental(s, [out, total], steps=1)
    assert inc_store.serialize() == reduced.serialize() and inc_report == report
