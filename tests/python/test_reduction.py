import random
import threading
import time

import pytest

from veltrix.core import veltrix_core as vc

from conftest import REPORT_KEYS as KEYS, check_report

ADD0 = {"scalar": 0.0, "side": "r"}
MUL1 = {"scalar": 1.0, "side": "l"}


def chain():
    s = vc.GraphStore()
    x = s.add_source("x")
    a = s.add_op("neg", [x])
    b = s.add_op("abs", [a])
    c = s.add_op("exp", [b])
    return s, x, a, b, c


def fan_out():
    s = vc.GraphStore()
    x = s.add_source("x")
    a = s.add_op("neg", [x])
    d = s.add_op("sub", [s.add_op("abs", [a]), s.add_op("exp", [a])])
    return s, d


def test_unmarked_store_reduces_to_nothing():
    s, *_ = chain()
    for red, rep in (s.reduce(), s.reduce(outputs=[]), s.reduce_incremental()):
        assert rep == dict.fromkeys(KEYS, 0) | {"input_nodes": 4}
        assert red.node_count() == 0 and red.node_map() == [None] * 4
    empty, rep = vc.GraphStore().reduce()
    assert rep == dict.fromkeys(KEYS, 0) and empty.node_map() == []


def test_chain_fuses_into_one_stage():
    s, x, a, b, c = chain()
    red, rep = s.reduce(outputs=[c])
    assert rep == {"input_nodes": 4, "reachable_nodes": 4, "canonical_nodes": 4, "stages": 1,
                   "reduced_nodes": 2, "boundary_nodes": 1}
    stage = red.nodes()[1]
    assert stage["kind"] == "stage" and stage["inputs"] == [0] and stage["output"] is True
    assert [m["name"] for m in stage["members"]] == ["neg", "abs", "exp"]
    assert [m["inputs"] for m in stage["members"]] == [[("input", 0)], [("member", 0)], [("member", 1)]]
    assert red.node_map() == [(0, None), (1, 0), (1, 1), (1, 2)]
    assert red.outputs() == [1]
    # An output inside the chain ends its stage; marks keep their first occurrence.
    red, _ = s.reduce(outputs=[c, a, c])
    assert red.outputs() == [2, 1]
    assert red.node_map()[1] == (1, 0) and red.node_map()[3] == (2, 1)


NumpyBool = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: True})


@pytest.mark.parametrize("maximal, stages", [(False, 2), (True, 1), (NumpyBool(), 1)])
def test_fan_out_by_mode(maximal, stages):
    s, d = fan_out()
    red, rep = s.reduce(maximal_fusion=maximal, outputs=[d])
    check_report(rep)
    assert rep["stages"] == stages
    if stages == 2:
        second = red.nodes()[2]
        assert second["inputs"] == [1]
        assert [m["inputs"] for m in second["members"][:2]] == [[("input", 0)]] * 2


@pytest.mark.parametrize(
    "call, exc, text, note",
    [
        (lambda s: s.reduce(True), TypeError, "GraphStore.reduce() takes 0 positional arguments but 1 was given", None),
        (lambda s: s.reduce(maximal_fusion=1), TypeError, "'int' object cannot be converted to 'PyBool'",
         "maximal_fusion"),
        (lambda s: s.reduce(maximal_fusion=None), TypeError, "'NoneType' object cannot be converted to 'PyBool'",
         "maximal_fusion"),
        (lambda s: s.reduce(outputs="0"), TypeError, "Can't extract `str` to `Vec`", "outputs"),
        (lambda s: s.reduce(outputs={0}), TypeError, None, "outputs"),
        (lambda s: s.reduce(outputs=[-1]), OverflowError, None, "outputs"),
        (lambda s: s.reduce(outputs=[4]), ValueError, "no node with id 4", None),
        (lambda s: s.reduce(outputs=[0, 99, 100]), ValueError, "no node with id 99", None),
        (lambda s: s.reduction_report(outputs=[7]), ValueError, "no node with id 7", None),
        (lambda s: s.reduce_incremental(maximal_fusion=True), TypeError,
         "GraphStore.reduce_incremental() got an unexpected keyword argument 'maximal_fusion'", None),
        (lambda s: s.reduction_report(outputs=[0], outputs2=1), TypeError,
         "GraphStore.reduction_report() got an unexpected keyword argument 'outputs2'", None),
    ],
)
def test_reduce_argument_errors(call, exc, text, note):
    s, *_ = chain()
    before = s.serialize()
    with pytest.raises(exc) as ei:
        call(s)
    if text:
        assert str(ei.value) == text
    assert getattr(ei.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)
    assert s.serialize() == before


def test_report_and_incremental_agree_with_reduce():
    s, d = fan_out()
    red, rep = s.reduce(outputs=[d])
    assert s.reduction_report(outputs=[d]) == rep
    inc, rep2 = s.reduce_incremental(outputs=[d])
    assert rep2 == rep and inc.serialize() == red.serialize() and inc.node_map() == red.node_map()
    assert inc is not red


def test_identity_and_commutativity_with_congruence():
    s = vc.GraphStore()
    x, y = s.add_source("x"), s.add_source("y")
    a = s.add_op("add", [x, y])
    b = s.add_op("add", [y, x])
    na, nb = s.add_op("neg", [a]), s.add_op("neg", [b])
    i = s.add_op("mul", [s.add_op("add", [x], ADD0)], MUL1)
    j = s.add_op("sub", [na, nb])
    k = s.add_op("sub", [i, j])
    red, rep = s.reduce(outputs=[k])
    check_report(rep)
    m = red.node_map()
    assert m[a] == m[b] and m[na] == m[nb]
    assert m[i] == m[x] == (0, None)


@pytest.mark.parametrize(
    "params",
    [{"scalar": -0.0, "side": "r"}, {"scalar": 0, "side": "r"}, {"scalar": 0.0, "side": "r", "extra": 1},
     {"scalar": 0.0, "side": "x"}],
)
def test_near_identities_are_kept(params):
    s = vc.GraphStore()
    x = s.add_source("x")
    n = s.add_op("add", [x], params)
    red, rep = s.reduce(outputs=[n])
    assert rep["stages"] == 1 and red.node_map()[n] == (1, 0)
    ir = vc.IncrementalReducer()
    ir.step(s)
    assert ir.canonical_count() == 2


def test_reduced_store_is_independent_and_reducible_again():
    s, d = fan_out()
    red, _ = s.reduce(outputs=[d])
    count = s.node_count()
    red.add_source("new")
    assert s.node_count() == count and len(red.node_map()) == count
    again, rep = red.reduce(outputs=red.outputs())
    check_report(rep)
    assert [n["members"] for n in again.nodes() if n["kind"] == "stage"] == [
        n["members"] for n in red.nodes() if n["kind"] == "stage"
    ]


def test_marks_from_blob_drive_default_reduce():
    s, x, a, b, c = chain()
    back = vc.GraphStore.deserialize(s.serialize(outputs=[c]))
    red, rep = back.reduce()
    assert rep["stages"] == 1 and red.outputs() == [1]
    assert back.reduce()[0].serialize() == s.reduce(outputs=[c])[0].serialize()


# ---------------------------------------------------------------------------
# IncrementalReducer


def test_incremental_counters():
    s = vc.GraphStore()
    x = s.add_source("x")
    ids = [x] + [s.add_op("neg", [x]), s.add_op("add", [x], ADD0), s.add_source("y"), s.add_source("z")]
    ir = vc.IncrementalReducer()
    assert (ir.watermark(), ir.total_work(), ir.canonical_count()) == (0, 0, 0)
    assert ir.step(s) == 5 and ir.step(s) == 0
    s.add_op("add", [3, 4])
    s.add_op("add", [4, 3])
    assert ir.step(store=s) == 2
    assert (ir.watermark(), ir.total_work(), ir.canonical_count()) == (7, 7, 5)
    assert ir.step(vc.GraphStore()) == 0


def identity_over_source(s):
    return [s.add_op("add", [s.add_source("x")], ADD0)]


def commuted_pairs(s):
    x, z = s.add_source("x"), s.add_source("z")
    return [s.add_op(name, ins) for name in ("add", "sub") for ins in ([x, z], [z, x])]


@pytest.mark.parametrize(
    "record, canonical, node_map, report",
    [
        # Identity elimination keeps the first input, but only when there is one.
        (identity_over_source, 1, [(0, None), (0, None)], {"input_nodes": 1, "stages": 0}),
        (lambda s: [s.add_op("add", [], ADD0)], 1, [(0, 0)], {"input_nodes": 1, "stages": 1}),
        # Commuted adds fold, commuted subs do not.
        (commuted_pairs, 5, None, {"input_nodes": 5, "stages": 3}),
    ],
)
def test_incremental_rules(record, canonical, node_map, report):
    s = vc.GraphStore()
    outputs = record(s)
    ir = vc.IncrementalReducer()
    assert ir.step(s) == s.node_count() and ir.canonical_count() == canonical
    red, rep = ir.finalize(s, outputs=outputs)
    check_report(rep)
    assert {k: rep[k] for k in report} == report
    if node_map is not None:
        assert red.node_map() == node_map


def test_incremental_errors():
    s, *_ = chain()
    ir = vc.IncrementalReducer()
    with pytest.raises(ValueError, match="^no node with id 4$"):
        ir.finalize(s, outputs=[4])
    assert ir.watermark() == 0
    with pytest.raises(TypeError) as ei:
        ir.step(5)
    assert ei.value.__notes__ == ["while processing 'store'"]
    red, rep = ir.finalize(s, outputs=[])
    assert red.node_count() == 0 and red.node_map() == [None] * 4 and ir.watermark() == 4
    # A different, larger store: its new nodes are read against the map.
    other = vc.GraphStore()
    for i in range(5):
        other.add_source(f"s{i}")
    other.add_op("f", [4])
    assert ir.step(other) == 2
    assert ir.step(s) == 0  # a smaller store has nothing beyond the watermark
    assert ir.watermark() == ir.total_work() == 6


@pytest.mark.parametrize(
    "call, text, note",
    [
        (lambda ir, s: ir.step(), "IncrementalReducer.step() missing 1 required positional argument: 'store'", None),
        (lambda ir, s: ir.step(s, s), "IncrementalReducer.step() takes 1 positional arguments but 2 were given", None),
        (lambda ir, s: ir.step(store=s, x=1), "IncrementalReducer.step() got an unexpected keyword argument 'x'", None),
        (lambda ir, s: ir.step(s, store=s), "IncrementalReducer.step() got multiple values for argument 'store'",
         None),
        (lambda ir, s: ir.finalize(), "IncrementalReducer.finalize() missing 1 required positional argument: 'store'",
         None),
        (lambda ir, s: ir.finalize(s, True),
         "IncrementalReducer.finalize() takes 1 positional arguments but 2 were given", None),
        (lambda ir, s: ir.finalize(s, maximal_fusion="yes"), "'str' object cannot be converted to 'PyBool'",
         "maximal_fusion"),
        (lambda ir, s: ir.watermark(1), "IncrementalReducer.watermark() takes no arguments (1 given)", None),
        (lambda ir, s: ir.canonical_count(s), "IncrementalReducer.canonical_count() takes no arguments (1 given)",
         None),
        (lambda ir, s: vc.IncrementalReducer(s),
         "IncrementalReducer.__new__() takes 0 positional arguments but 1 was given", None),
    ],
)
def test_incremental_argument_errors(call, text, note):
    s, *_ = chain()
    ir = vc.IncrementalReducer()
    with pytest.raises(TypeError) as ei:
        call(ir, s)
    assert str(ei.value) == text
    assert getattr(ei.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)
    assert ir.watermark() == 0 and ir.canonical_count() == 0


def test_finalize_equals_stepped_and_repeats():
    s, d = fan_out()
    fresh = vc.IncrementalReducer().finalize(s, outputs=[d])
    ir = vc.IncrementalReducer()
    ir.step(s)
    first = ir.finalize(s, outputs=[d])
    second = ir.finalize(s, outputs=[d])
    for a, b in ((fresh, first), (first, second)):
        assert a[0].serialize() == b[0].serialize() and a[1] == b[1] and a[0].node_map() == b[0].node_map()


# ---------------------------------------------------------------------------
# Differential: IncrementalReducer against GraphStore.reduce


def random_graph(seed, n=60):
    """A seeded list of recording steps; inputs name earlier steps."""
    rng = random.Random(seed)
    steps = []  # (method, name or None, input step indices, params)
    for i in range(n):
        kind = rng.random()
        pick = lambda k=1: [rng.randrange(i) for _ in range(k)]  # noqa: E731
        if i < 3 or kind < 0.1:
            steps.append(("add_source", f"s{rng.randrange(4)}", None, None))
        elif kind < 0.35:
            steps.append(("add_op", rng.choice(["add", "mul", "maximum", "and"]), pick(2), None))
        elif kind < 0.5:
            steps.append(("add_op", rng.choice(["add", "mul"]), pick(),
                          rng.choice([ADD0, MUL1, {"scalar": 0.0, "side": "l"}])))
        elif kind < 0.75:
            steps.append(("add_op", rng.choice(["neg", "exp", "sub"]), pick(rng.randint(1, 2)),
                          rng.choice([None, {"k": 1}])))
        elif kind < 0.85:
            steps.append(("add_reduction", "sum", pick(), None))
        elif kind < 0.92:
            steps.append(("add_exchange", None, pick(), {"scheme": "hash"}))
        else:
            steps.append(("add_join", None, pick(2), None))
    return steps


def record(store, steps, after_each=lambda: None):
    ids = []
    for method, name, refs, params in steps:
        args = [] if name is None else [name]
        if refs is not None:
            args.append([ids[r] for r in refs])
        ids.append(getattr(store, method)(*args, params))
        after_each()
    return ids


@pytest.mark.parametrize("seed", range(200))
def test_incremental_matches_reduce(seed):
    steps = random_graph(seed)
    s = vc.GraphStore()
    rng = random.Random(seed + 1000)
    ir = vc.IncrementalReducer()
    record(s, steps, lambda: ir.step(s) if rng.random() < 0.1 else None)
    used = {i for n in s.nodes() for i in n["inputs"]}
    outputs = [i for i in range(s.node_count()) if i not in used]
    rng.shuffle(outputs)
    for maximal in (False, True):
        red, rep = s.reduce(outputs=outputs, maximal_fusion=maximal)
        inc, irep = ir.finalize(s, outputs=outputs, maximal_fusion=maximal)
        check_report(rep)
        check_report(irep)
        assert inc.serialize() == red.serialize()
        assert inc.node_map() == red.node_map()
        for key in KEYS[2:]:
            assert irep[key] == rep[key]
    other = vc.GraphStore()
    record(other, steps)
    assert other.reduce(outputs=outputs)[0].serialize() == s.reduce(outputs=outputs)[0].serialize()


# ---------------------------------------------------------------------------
# Threads


def test_concurrent_recording_and_reduction():
    s = vc.GraphStore()
    s.add_source("root")
    ir = vc.IncrementalReducer()
    stop = threading.Event()
    errors = []

    def writer(seed):
        rng = random.Random(seed)
        while not stop.is_set():
            n = s.node_count()
            s.add_op(rng.choice(["add", "neg", "mul"]), [rng.randrange(n), rng.randrange(n)])

    def reader():
        while not stop.is_set():
            before = s.node_count()
            red, rep = s.reduce(outputs=[0])
            after = s.node_count()
            if not before <= len(red.node_map()) <= after:
                errors.append(("node_map", before, len(red.node_map()), after))
            view = s.nodes()
            if [n["id"] for n in view] != list(range(len(view))):
                errors.append("nodes")
            back = vc.GraphStore.deserialize(s.serialize())
            if back.node_count() < before:
                errors.append("serialize")
            ir.step(s)

    threads = [threading.Thread(target=writer, args=(i,)) for i in range(2)]
    threads += [threading.Thread(target=reader) for _ in range(2)]
    for t in threads:
        t.start()
    time.sleep(1.5)
    stop.set()
    for t in threads:
        t.join(timeout=60)
        assert not t.is_alive(), "deadlock"
    assert errors == []
    ir.step(s)
    assert ir.total_work() == ir.watermark() == s.node_count()
