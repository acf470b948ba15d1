"""What the free-threaded build promises, where the GIL is disabled: threads recording into one store agree on every
id; a long operation on a store other threads record into returns what it returns on a serial replay of the graph it
saw (a prefix of the store, whose length its result tells); threads on separate stores run at the same time."""

import random
import re
import sys
import sysconfig
import threading
import time

import pytest

from veltrix.core import veltrix_core as vc
from conftest import DESC, SANITIZED

pytestmark = pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                                reason="needs the free-threaded interpreter (a build with the GIL has no such promise)")
PARAMS = [{}, {"scalar": 0.0, "side": "r"}, {"scalar": 1.0, "side": "l"}, {"k": 1}, {"k": True}, {"k": 1.0},
          {"k": -0.0}, {"k": "1"}]
DESCS = [dict(DESC, preprocessing_ref=None), dict(DESC, version="2", preprocessing_ref="p")]


@pytest.fixture(autouse=True)
def gil_disabled():
    assert sys._is_gil_enabled() is False  # not enabled again by the import of the module, nor by PYTHON_GIL


def node(rng, refs, tag=None):
    """A node as nodes() shows it (without id and output flag), its inputs still references; a tag makes it unique."""
    kind = rng.choice(["op", "op", "op", "reduction", "external", "join", "exchange"])
    n = dict(inputs=refs[:1] if kind in ("reduction", "external", "exchange") else refs, kind=kind,
             name=rng.choice(["add", "mul", "neg", "maximum"]) if kind in ("op", "reduction") else "",
             params=dict(rng.choice(PARAMS), **({"tag": tag} if tag else {})))
    return dict(n, descriptor=rng.choice(DESCS)) if kind == "external" else n


def record(s, n):
    inputs = (n["inputs"],) * (n["kind"] != "source")
    args = (n["descriptor"], *inputs) if n["kind"] == "external" else (
        (n["name"],) if n["kind"] in ("source", "op", "reduction") else ()) + inputs
    return getattr(s, "add_" + n["kind"])(*args, n["params"])


def in_threads(target, n):
    workers = [threading.Thread(target=target, args=(t,)) for t in range(n)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()


def same(a, b):  # equal nodes, lists or texts, an int apart from a bool and 0.0 apart from -0.0
    assert repr(a) == repr(b)


@pytest.mark.parametrize("threads", [2, 8])
def test_threads_recording_into_one_store_agree_on_every_id(threads):
    """Every thread records a shared graph in the same order, in step with the others (at every 16th node it waits
    for them), so that they ask for the same new key at the same time; then that graph again, each node just before
    or after one of a graph of its own, which uses shared nodes and its own."""
    size, s, rng, arrived = 200 if SANITIZED else 2000, vc.GraphStore(), random.Random(0), [0] * threads
    refs = lambda rng, *pools: [(lambda tag, n: (tag, rng.randrange(n)))(*rng.choice([p for p in pools if p[1]]))
                                for _ in range(rng.randint(1, 3))]  # noqa: E731 - inputs from pools (tag, size)
    asked = {("g", i): dict(inputs=[], kind="source", name=f"s{i}", params=rng.choice(PARAMS)) for i in range(20)}
    asked.update({("g", i): node(rng, refs(rng, ("g", i)), f"g{i}") for i in range(20, size)})
    got = [None] * threads

    def run(t):
        rng, ids = random.Random(t + 1), {}
        mine = {("p", i): node(rng, refs(rng, ("g", size), ("p", i)), f"p{t}.{i}") for i in range(size)}
        for i in range(size):
            while i % 16 == 0 and min(arrived) < i:
                time.sleep(0)
            arrived[t] = i + 1
            ids["g", i] = record(s, dict(asked["g", i], inputs=[ids[r] for r in asked["g", i]["inputs"]]))
        for key in [k for i in range(size) for k in rng.sample([("g", i), ("p", i)], 2)]:
            n = asked.get(key) or mine[key]
            node_id = record(s, dict(n, inputs=[ids[r] for r in n["inputs"]]))
            assert ids.setdefault(key, node_id) == node_id
        got[t] = ids, {k: dict(n, inputs=[ids[r] for r in n["inputs"]]) for k, n in {**asked, **mine}.items()}

    in_threads(run, threads)
    nodes = s.nodes()
    assert s.node_count() == len(nodes) == size * (threads + 1)  # every new key once, nothing else
    assert {i for ids, _ in got for i in ids.values()} == set(range(len(nodes)))
    for ids, want in got:
        assert all(ids[k] == got[0][0][k] for k in asked)
        own = [ids["p", i] for i in range(size)]
        assert own == sorted(own)
        same([{k: v for k, v in nodes[ids[key]].items() if k not in ("id", "output")} for key in want],
             list(want.values()))


reducer = lambda r, out: (out, r.watermark(), r.canonical_count(), r.total_work())  # noqa: E731
# Each long operation on the store s (or on the reducer r fed with s), and how many nodes of s its result tells it saw.
LONG = {"reduce": (lambda s, r, o, m: s.reduce(maximal_fusion=m, outputs=o), lambda x: x[1]["input_nodes"]),
        "reduction_report": (lambda s, r, o, m: s.reduction_report(outputs=o), lambda x: x["input_nodes"]),
        "reduce_incremental": (lambda s, r, o, m: s.reduce_incremental(outputs=o), lambda x: x[1]["input_nodes"]),
        "serialize": (lambda s, r, o, m: s.serialize(outputs=o), lambda x: vc.GraphStore.deserialize(x).node_count()),
        "deserialize": (lambda s, r, o, m: vc.GraphStore.deserialize(s.serialize()), lambda x: x.node_count()),
        "nodes": (lambda s, r, o, m: s.nodes(), len),
        "to_dot": (lambda s, r, o, m: s.to_dot(), lambda x: len(re.findall(r"^  n\d+ \[label=", x, re.M))),
        "step": (lambda s, r, o, m: reducer(r, r.step(s)), lambda x: x[1]),  # the watermark after the call
        "finalize": (lambda s, r, o, m: reducer(r, r.finalize(s, maximal_fusion=m, outputs=o)), lambda x: x[1])}


def plain(x):  # a result with its stores as their blobs and node maps, its report in key order
    if isinstance(x, vc.GraphStore):
        return x.serialize(), x.node_map()
    return tuple(map(plain, x)) if isinstance(x, tuple) else sorted(x.items()) if isinstance(x, dict) else x


def test_long_operations_on_a_store_being_recorded_match_a_serial_replay():
    """Two writers record nodes while each operation runs (a burst at most). Afterwards the store's nodes are
    recorded again, in order, into a new store, and each operation runs there on the prefix it saw; a new reducer
    there follows the steps of the one fed with the store being recorded."""
    preload, burst, rounds = (2000, 200, 2) if SANITIZED else (10000, 1000, 4)
    ops = list(LONG)
    s, r, rng, cond = vc.GraphStore(), vc.IncrementalReducer(), random.Random(1), threading.Condition()
    started, ended, stop = [0], [0], [False]
    record(s, dict(inputs=[], kind="source", name="x", params={}))
    while s.node_count() < preload:
        record(s, node(rng, [rng.randrange(s.node_count()) for _ in range(2)]))

    def write(seed):
        rng, done = random.Random(seed), 0
        while True:
            with cond:
                cond.wait_for(lambda: started[0] > done or stop[0])  # noqa: B023
                if started[0] <= done:
                    return
            done += 1
            for _ in range(burst):  # until the call has returned
                if ended[0] >= done:
                    break
                record(s, node(rng, [rng.randrange(s.node_count()) for _ in range(rng.randint(1, 2))]))

    writers = [threading.Thread(target=write, args=(seed,)) for seed in (2, 3)]
    for w in writers:
        w.start()
    calls = []
    try:
        for i in range(rounds * len(ops)):
            op, n = ops[i % len(ops)], s.node_count()
            outputs, maximal = [n - 1, rng.randrange(n)], i // len(ops) % 2 == 1
            with cond:
                started[0] += 1
                cond.notify_all()
            calls.append((op, outputs, maximal, LONG[op][0](s, r, outputs, maximal)))
            ended[0] += 1
    finally:
        with cond:
            stop[0] = True
            cond.notify_all()
        for w in writers:
            w.join()
    nodes, replay, follower = s.nodes(), vc.GraphStore(), vc.IncrementalReducer()
    seen = [LONG[op][1](result) for op, _, _, result in calls]
    assert seen == sorted(seen)
    assert len(set(seen)) > 1, seen  # the store grew while the operations ran
    for (op, outputs, maximal, result), k in zip(calls, seen):
        while replay.node_count() < k:
            assert record(replay, nodes[replay.node_count()]) == replay.node_count() - 1
        same(plain(result), plain(LONG[op][0](replay, follower, outputs, maximal)))


def test_threads_on_separate_stores_run_at_the_same_time():
    """Two threads record into their own stores in lockstep: each waits, busy in Python, for the other to record its
    node before it records the next. Only threads that run at the same time get through: with a GIL the waiting
    thread would keep it from the other, whose next switch is an hour away."""
    steps, done, old = 100 if SANITIZED else 500, [0, 0], sys.getswitchinterval()
    stores, errors = [vc.GraphStore(), vc.GraphStore()], []

    def lockstep(me):
        s, deadline = stores[me], time.monotonic() + 120  # a hang fails the test, not a slow machine
        prev = s.add_source("x", {"thread": me})
        for i in range(steps):
            prev = s.add_op("neg" if i % 2 else "add", [prev], {"i": i})
            done[me] = i + 1
            while done[1 - me] <= i:
                if time.monotonic() > deadline:
                    return errors.append(f"thread {1 - me} made no progress past node {i}")

    sys.setswitchinterval(3600)
    try:
        in_threads(lockstep, 2)
    finally:
        sys.setswitchinterval(old)
    assert errors == []
    assert (done, [s.node_count() for s in stores]) == ([steps, steps], [steps + 1] * 2)
