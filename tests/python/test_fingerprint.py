"""Fingerprints against an independent model of the README's encoding (hashlib over the nodes() view), golden
digests, what they must and must not depend on; pickling and copying."""

import copy
import hashlib
import math
import os
import pickle
import random
import struct
import subprocess
import sys

import pytest

from veltrix.core import veltrix_core as vc
from conftest import DESC, SANITIZED

KINDS = {"source": 0, "op": 1, "reduction": 2, "external": 3, "stage": 4, "exchange": 5, "join": 6}
u32 = struct.Struct("<I").pack


def text(s):
    b = s.encode()
    return u32(len(b)) + b


def value(v):
    if isinstance(v, bool):
        return b"\x02" + bytes([v])
    if isinstance(v, int):
        return b"\x00" + struct.pack("<q", v)
    if isinstance(v, float):
        return b"\x01" + (struct.pack("<Q", 0x7FF8000000000000) if math.isnan(v) else struct.pack("<d", v))
    return b"\x03" + text(v)


def escape(s):
    return s.replace("%", "%25").replace(";", "%3B").replace("=", "%3D").replace("|", "%7C")


def token(m):  # a stage member's label: the token of the fused operation
    def tok(v):
        if isinstance(v, bool):
            return "b" + str(v).lower()
        if isinstance(v, float):
            return "f%016x" % struct.unpack("<Q", value(v)[1:])
        return f"i{v}" if isinstance(v, int) else "s" + escape(v)
    suffix = ";".join(f"{escape(k)}={tok(v)}" for k, v in m["params"].items())
    return f"{m['kind']}|{escape(m['name'])}" + ("|" + suffix if suffix else "")


def head(n):
    kind, p = n["kind"], n["params"]
    params = u32(len(p)) + b"".join(text(k) + value(v) for k, v in p.items())
    out = bytes([KINDS[kind]])
    if kind in ("source", "op", "reduction"):
        return out + text(n["name"]) + params
    if kind == "external":
        d = n["descriptor"]
        pre = b"\x00" if d["preprocessing_ref"] is None else b"\x01" + text(d["preprocessing_ref"])
        return out + b"".join(text(d[f]) for f in ("kind", "content_hash", "framework", "version", "io_schema")) + \
            pre + params
    if kind == "stage":
        return out + u32(len(n["members"])) + b"".join(text(token(m)) + u32(len(m["inputs"])) + b"".join(
            bytes([r == "member"]) + u32(i) for r, i in m["inputs"]) for m in n["members"])
    return out + params


def model_node_digests(nodes):
    digests = []
    for n in nodes:
        message = b"VFP1N" + head(n) + u32(len(n["inputs"])) + b"".join(digests[i] for i in n["inputs"])
        digests.append(hashlib.sha256(message).digest())
    return digests


def model_graph_digest(nodes, outputs):
    position, numbers, message = {}, {}, [b"VFP1G"]

    def place(v):  # small graphs: recursion is fine here
        if v in position:
            return
        inputs = nodes[v]["inputs"]
        for i in inputs:
            place(i)
        h, new = head(nodes[v]), head(nodes[v]) not in numbers
        number = numbers.setdefault(h, len(numbers))  # a head is written the first time only
        message.append(u32(number) + h * new + u32(len(inputs)) + b"".join(u32(position[i]) for i in inputs))
        position[v] = len(position)

    for o in outputs:
        place(o)
        message.append(u32(0xFFFFFFFF) + u32(position[o]))
    return hashlib.sha256(b"".join(message)).digest()


VALUES = [True, False, 0, 1, -1, 2**63 - 1, -(2**63), 0.0, -0.0, 1.0, 2.5, math.nan, -math.inf, "", "1", "x;y=z|%",
          "\u00e9\0"]
DESCRIPTORS = [DESC, dict(DESC, preprocessing_ref=""), dict(DESC, preprocessing_ref="p"), dict(DESC, version="2")]


def random_store(rng, n):
    s = vc.GraphStore()
    for _ in range(n):
        kind, count = rng.choice(list(KINDS)), s.node_count()
        inputs = [rng.randrange(count) for _ in range(rng.choice([1, 1, 2, 3, 5]))] if count else []
        params = {k: rng.choice(VALUES) for k in rng.sample(["a", "b", "ab", "", "\u00e9"], rng.randint(0, 3))}
        name = rng.choice(["f", "g", "add", ""])
        if kind in ("source", "stage") or not inputs:
            s.add_source(name, params)
        elif kind == "external":
            s.add_external(rng.choice(DESCRIPTORS), inputs, params)
        elif kind in ("exchange", "join"):
            getattr(s, f"add_{kind}")(inputs, params)
        else:
            getattr(s, f"add_{kind}")(name, inputs, params)
    return s


@pytest.mark.parametrize("seed", range(12))
def test_digests_follow_the_documented_encoding(seed):
    rng = random.Random(seed)
    s = random_store(rng, rng.randint(1, 60))
    reduced = s.reduce(outputs=[s.node_count() - 1, rng.randrange(s.node_count())])[0]  # stages
    for store in (s, reduced):
        nodes = store.nodes()
        assert store.node_fingerprints() == model_node_digests(nodes)
        outputs = [rng.randrange(len(nodes)) for _ in range(rng.randint(0, 4))]
        assert store.fingerprint(outputs) == model_graph_digest(nodes, outputs)
        assert store.fingerprint() == model_graph_digest(nodes, store.outputs())
        ids = outputs + outputs[:1]
        assert store.node_fingerprints(ids) == [model_node_digests(nodes)[i] for i in ids]
        assert repr(store._nodes(ids)) == repr([nodes[i] for i in ids])  # NaN != NaN


def pipeline(order):
    """One graph with every kind of node and parameter value, recorded in the given order of its two branches,
    with an unused node in between; returns the store and the ids of its outputs."""
    s = vc.GraphStore()
    branches = {}
    for name in order:
        x = s.add_source(name, {"i": -3, "f": -0.0, "b": True, "s": "a;b"})
        branches[name] = s.add_op("exp", [s.add_op("neg", [x])], {"nan": math.nan})
        s.add_op("unused", [x])
    e = s.add_external(dict(DESC, preprocessing_ref=""), [branches["x"]], {"batch": 32})
    j = s.add_join([s.add_exchange([e], {"scheme": "hash"}), branches["y"], e], {"how": "left"})
    r = s.add_reduction("sum", [j], {"axis": 0})
    return s, [r, branches["y"]]


GOLDEN = {  # pins the encoding: a change to it must come with a new version tag
    "source x": "ed4da218a53f01a587d980a1c5bef44a8ed9632a0989565719a895013dacd74b",
    "pipeline": "f1c1403237e1f32c02a22638ceaa3324c13f150540c2064595b69af76bb7f5ae",
    "reduced": "a060d518e160a116d0c05bdb4a288460e4b5a7c765ae39b3da96b714a39ec7c8",
}


def test_golden_digests_and_what_they_ignore():
    s = vc.GraphStore()
    s.add_source("x")
    a, outs_a = pipeline("xy")
    b, outs_b = pipeline("yx")
    assert a.serialize(outs_a) != b.serialize(outs_b)  # other ids, one graph
    reduced = a.reduce(outputs=outs_a)[0]
    got = {"source x": s.node_fingerprints()[0], "pipeline": a.fingerprint(outs_a), "reduced": reduced.fingerprint()}
    assert {k: v.hex() for k, v in got.items()} == GOLDEN
    assert b.fingerprint(outs_b) == a.fingerprint(outs_a) != a.fingerprint(outs_a[::-1])


def test_the_same_in_another_process_and_hash_seed():
    script = ("import sys; sys.path[:0] = sys.argv[1:]; from test_fingerprint import pipeline; s, o = pipeline('yx');"
              "print(s.fingerprint(o).hex(), *(d.hex() for d in s.node_fingerprints()))")
    here = os.path.dirname(__file__)
    a, outs = pipeline("yx")
    expected = " ".join([a.fingerprint(outs).hex(), *(d.hex() for d in a.node_fingerprints())])
    for seed in ("0", "12345"):
        env = dict(os.environ, PYTHONHASHSEED=seed)
        done = subprocess.run([sys.executable, "-c", script, here, *sys.path], env=env, capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        assert done.stdout.split() == expected.split()


def test_nan_payloads_are_one_value():
    stores = []
    for bits in (0x7FF8000000000000, 0xFFF0000000000ABC, 0x7FF4000000000001):
        s = vc.GraphStore()
        s.add_op("f", [s.add_source("x", {"v": struct.unpack("<d", struct.pack("<Q", bits))[0]})])
        stores.append(s)
    assert (len({s.fingerprint([1]) for s in stores}), len({s.serialize() for s in stores})) == (1, 3)


def stage_of(*labels):
    """A blob of a source and one marked stage whose members, in this order, each read the stage's one input."""
    members = b"".join(text(m) + u32(1) + b"\x00" + u32(0) for m in labels)
    return (b"VIR1" + u32(2) + b"\x00" + text("x") + u32(0) + b"\x04" + u32(1) + struct.pack("<Q", 0) +
            u32(len(labels)) + members + u32(1) + struct.pack("<Q", 1))


def test_stage_member_order_counts():
    a, b = (vc.GraphStore.deserialize(stage_of(*m)) for m in (("op|neg", "op|exp"), ("op|exp", "op|neg")))
    assert a.node_fingerprints()[0] == b.node_fingerprints()[0]
    assert a.node_fingerprints()[1] != b.node_fingerprints()[1]
    assert a.fingerprint() != b.fingerprint()


COPIES = {f"pickle {p}": lambda x, p=p: pickle.loads(pickle.dumps(x, p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)}


@pytest.mark.parametrize("make", [copy.copy, copy.deepcopy, *COPIES.values()], ids=["copy", "deepcopy", *COPIES])
def test_copies_keep_nodes_ids_outputs_and_node_map_and_are_independent(make):
    s, outs = pipeline("xy")
    reduced = s.reduce(outputs=outs)[0]
    assert reduced.node_map()
    for store in (s, reduced, vc.GraphStore.deserialize(s.serialize(outs)), vc.GraphStore()):
        back, before = make(store), store.serialize()
        assert (type(back), back is store) == (vc.GraphStore, False)
        assert (back.serialize(), back.outputs(), back.node_map(), repr(back.nodes())) == (
            before, store.outputs(), store.node_map(), repr(store.nodes()))  # NaN != NaN
        assert back.fingerprint() == store.fingerprint()
        back.add_source("only in the copy")
        assert (store.serialize(), back.node_count()) == (before, store.node_count() + 1)
    fields = ("kind", "content_hash", "framework", "version", "io_schema", "preprocessing_ref")
    for desc in (vc.PayloadDescriptor(**DESC, preprocessing_ref=""), vc.PayloadDescriptor(**DESC)):
        back = make(desc)
        assert (type(back), [getattr(back, f) for f in fields]) == (vc.PayloadDescriptor, [getattr(desc, f) for f in fields])


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_a_reducer_is_not_pickled(protocol):
    with pytest.raises(TypeError, match="^cannot pickle 'IncrementalReducer' object: pickle the GraphStore"):
        pickle.dumps(vc.IncrementalReducer(), protocol)


@pytest.mark.slow
def test_a_chain_of_a_million_nodes():
    s, n = vc.GraphStore(), 200_000 if SANITIZED else 1_000_000
    prev = s.add_source("x")
    for _ in range(n):
        prev = s.add_op("neg", [prev])
    other = vc.GraphStore()
    prev2 = other.add_source("x")
    other.add_source("unused")
    for _ in range(n):
        prev2 = other.add_op("neg", [prev2])
    assert s.fingerprint([prev]) == other.fingerprint([prev2])
    assert s.node_fingerprints([prev]) == other.node_fingerprints([prev2])
    assert pickle.loads(pickle.dumps(s)).fingerprint([prev]) == s.fingerprint([prev])
