"""Seeded generator of realistic recorded pipelines.

A workload is a list of calls, one per node, each creating a new node, so the
node id of call k is k and a store that replays n calls holds n nodes. The
generator keeps a frontier of live values, the way a traced program does:

* sources start new values;
* chains of unary operations with parameters replace a value in place;
* identity operations (add of scalar 0.0, mul of scalar 1.0) do the same;
* commutative binary operations without parameters merge two values, and
  about a third of all binary operations are the swapped twin of an earlier
  one (the same operation with its two inputs exchanged);
* reductions, externals (from a small pool of payload descriptors) and
  exchanges replace a value; joins merge two;
* a few side branches are recorded and never used (dead code).

The values left on the frontier at the end are the outputs.

Calls are plain tuples so that they marshal quickly:

    ("source", name, params)
    ("op", name, inputs, params)
    ("reduction", name, inputs, params)
    ("external", descriptor_dict, inputs, params)
    ("exchange", inputs, params)
    ("join", inputs, params)
"""

from __future__ import annotations

import marshal
import os
import random

COMMUTATIVE = ("add", "mul", "maximum", "minimum", "and", "or", "eq", "ne")

# Unary operations and the parameter dicts each may carry.
UNARY = (
    ("scale", [{"factor": f} for f in (0.5, 2.0, 3.0, 10.0)]),
    ("clip", [{"lo": -1.0, "hi": 1.0}, {"lo": 0.0, "hi": 6.0}]),
    ("cast", [{"dtype": d} for d in ("float32", "float16", "int64")]),
    ("pow", [{"exponent": e} for e in (2, 3)]),
    ("add", [{"scalar": 2.0, "side": "r"}, {"scalar": -1.0, "side": "l"}]),
    ("mul", [{"scalar": 0.5, "side": "r"}]),
    ("relu", [{}]),
    ("exp", [{}]),
    ("log", [{"eps": 1e-6}]),
    ("dropout", [{"p": 0.1, "train": False}]),
)

IDENTITY = (
    ("add", {"scalar": 0.0, "side": "r"}),
    ("add", {"scalar": 0.0, "side": "l"}),
    ("mul", {"scalar": 1.0, "side": "r"}),
    ("mul", {"scalar": 1.0, "side": "l"}),
)

REDUCTIONS = (("sum", {"axis": 0}), ("mean", {"axis": 1}), ("max", {"axis": -1, "keepdims": True}))

DESCRIPTORS = [
    {
        "kind": "model",
        "content_hash": "sha256:%064x" % (k * 7919 + 17),
        "framework": ("torch", "jax", "onnx")[k % 3],
        "version": "2.%d.0" % (k % 5),
        "io_schema": "f32[*,%d]->f32[*,%d]" % (64 * (k % 4 + 1), 16 * (k % 3 + 1)),
        "preprocessing_ref": None if k % 2 else "prep-%d" % k,
    }
    for k in range(16)
]

EXCHANGE_PARAMS = ({"scheme": "hash"}, {"scheme": "range", "parts": 8}, {"scheme": "broadcast"})
JOIN_PARAMS = ({"scheme": "inner"}, {"scheme": "left", "on": "key"})

FRONTIER = 48


def generate(n: int, seed: int = 20240601) -> tuple[list[tuple], list[int]]:
    """Returns (calls, outputs) for a pipeline of exactly n nodes."""
    rng = random.Random(seed)
    calls: list[tuple] = []
    frontier: list[int] = []
    binaries: list[tuple[str, int, int]] = []  # candidates for a swapped twin
    sources = 0
    dead = 0

    def new(call: tuple) -> int:
        calls.append(call)
        return len(calls) - 1

    while len(calls) < n:
        if len(frontier) < 2:
            frontier.append(new(("source", "input_%d" % sources, {"shard": sources % 4} if sources % 3 else {})))
            sources += 1
            continue
        roll = rng.random()
        low = len(frontier) < FRONTIER // 2
        high = len(frontier) > FRONTIER
        if roll < (0.06 if low else 0.01 if high else 0.03):
            frontier.append(new(("source", "input_%d" % sources, {"shard": sources % 4} if sources % 3 else {})))
            sources += 1
        elif roll < 0.38:
            i = rng.randrange(len(frontier))
            name, choices = UNARY[rng.randrange(len(UNARY))]
            frontier[i] = new(("op", name, [frontier[i]], rng.choice(choices)))
        elif roll < 0.47:
            i = rng.randrange(len(frontier))
            name, params = IDENTITY[rng.randrange(len(IDENTITY))]
            frontier[i] = new(("op", name, [frontier[i]], params))
        elif roll < 0.80:
            if binaries and rng.random() < 0.5:
                # The swapped twin of a recent binary operation, used from
                # here on like any other value.
                name, a, b = binaries.pop(rng.randrange(max(0, len(binaries) - 64), len(binaries)))
                frontier.append(new(("op", name, [b, a], None)))
            else:
                i, j = rng.sample(range(len(frontier)), 2)
                a, b = frontier[i], frontier[j]
                name = COMMUTATIVE[rng.randrange(len(COMMUTATIVE))]
                c = new(("op", name, [a, b], None))
                binaries.append((name, a, b))
                if high or (not low and rng.random() < 0.5):
                    frontier[i] = c
                    frontier.pop(j)
                else:
                    frontier[i] = c  # b stays live: fan-out
        elif roll < 0.86:
            i = rng.randrange(len(frontier))
            name, params = REDUCTIONS[rng.randrange(len(REDUCTIONS))]
            frontier[i] = new(("reduction", name, [frontier[i]], params))
        elif roll < 0.88:
            i = rng.randrange(len(frontier))
            d = DESCRIPTORS[rng.randrange(len(DESCRIPTORS))]
            frontier[i] = new(("external", d, [frontier[i]], {"batch": 32}))
        elif roll < 0.92:
            i = rng.randrange(len(frontier))
            frontier[i] = new(("exchange", [frontier[i]], EXCHANGE_PARAMS[rng.randrange(len(EXCHANGE_PARAMS))]))
        elif roll < 0.95:
            i, j = rng.sample(range(len(frontier)), 2)
            c = new(("join", [frontier[i], frontier[j]], JOIN_PARAMS[rng.randrange(len(JOIN_PARAMS))]))
            frontier[i] = c
            frontier.pop(j)
        else:
            # A side branch nobody uses; the tag keeps every one distinct.
            x = frontier[rng.randrange(len(frontier))]
            new(("op", "debug_print", [x], {"tag": dead}))
            dead += 1
    outputs = sorted(set(frontier))
    return calls, outputs


def replay(store, calls) -> None:
    """Records every call into a GraphStore."""
    add_source, add_op, add_reduction = store.add_source, store.add_op, store.add_reduction
    add_external, add_exchange, add_join = store.add_external, store.add_exchange, store.add_join
    for c in calls:
        kind = c[0]
        if kind == "op":
            add_op(c[1], c[2], c[3])
        elif kind == "source":
            add_source(c[1], c[2])
        elif kind == "reduction":
            add_reduction(c[1], c[2], c[3])
        elif kind == "external":
            add_external(c[1], c[2], c[3])
        elif kind == "exchange":
            add_exchange(c[1], c[2])
        else:
            add_join(c[1], c[2])


def cached(n: int, cache_dir: str, seed: int = 20240601) -> tuple[list[tuple], list[int]]:
    """generate(n, seed), kept in cache_dir between processes."""
    path = os.path.join(cache_dir, "workload-%d-%d.marshal" % (n, seed))
    try:
        with open(path, "rb") as f:
            calls, outputs = marshal.load(f)
        return calls, outputs
    except (OSError, EOFError, ValueError):
        pass
    calls, outputs = generate(n, seed)
    os.makedirs(cache_dir, exist_ok=True)
    tmp = path + ".%d.tmp" % os.getpid()
    with open(tmp, "wb") as f:
        marshal.dump((calls, outputs), f)
    os.replace(tmp, path)
    return calls, outputs


GROUP_SOURCES = 64


def record_groups(store, n: int) -> list[int]:
    """Records the five-step groups into `store` until it holds about n nodes
    (64 sources, then five nodes a group) and returns the outputs. Each group
    takes the value so far and one of the shared sources s in turn: add with
    s, mul with a parameter, neg, a sum over an axis, then add with s first.
    Recorded straight into the store: a list of calls for 10^7 nodes would
    take gigabytes."""
    add_source, add_op, add_reduction = store.add_source, store.add_op, store.add_reduction
    sources = [add_source("src%d" % i) for i in range(GROUP_SOURCES)]
    x = sources[0]
    mul, axis = {"scalar": 2.0, "side": "r"}, {"axis": 0}
    for g in range(max(0, n - GROUP_SOURCES) // 5):
        s = sources[g % GROUP_SOURCES]
        d = add_reduction("sum", [add_op("neg", [add_op("mul", [add_op("add", [x, s])], mul)])], axis)
        x = add_op("add", [s, d])
    return [x]
