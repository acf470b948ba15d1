"""Hostile Python input: objects whose protocols raise, lie or reenter.

Every case must end in the documented exception (never a crash) and leave the
store exactly as it was.
"""

import math
import struct
import threading
import time
import types

import pytest

from veltrix.core import veltrix_core as vc
from conftest import panic_type

PANIC = panic_type()


class Boom(Exception):
    pass


class Index:
    def __init__(self, fn):
        self.fn = fn

    def __index__(self):
        return self.fn()


class Float:
    def __init__(self, fn):
        self.fn = fn

    def __float__(self):
        return self.fn()


def boom():
    raise Boom("raised by the caller's object")


class LyingLen:
    """A sequence whose __len__ lies (or raises) but whose iteration is honest."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


class BrokenIter(LyingLen):
    """Yields its first item, then raises."""

    def __iter__(self):
        yield self.items[0]
        raise Boom("iteration failed midway")


class IterNotIterator(LyingLen):
    def __iter__(self):
        return 42


class TextLike(str):
    """A str subclass whose own protocols must not be consulted."""

    __hash__ = str.__hash__

    def __str__(self):
        raise Boom("__str__")

    def __eq__(self, other):
        raise Boom("__eq__")

    def encode(self, *a, **k):
        raise Boom("encode")


class CollidesWithKind(str):
    """A dict key that lands in the bucket of "kind" and refuses comparison."""

    def __hash__(self):
        return hash("kind")

    def __eq__(self, other):
        raise Boom("compared")


class ItemsLie(dict):
    items = lambda self: [("zzz", 1)]  # noqa: E731
    keys = lambda self: ["zzz"]  # noqa: E731
    __iter__ = lambda self: iter(["zzz"])  # noqa: E731
    __getitem__ = lambda self, k: 99  # noqa: E731
    __len__ = lambda self: 1000  # noqa: E731


class Missing(dict):
    def __missing__(self, key):
        return "filled"


def descriptor(**over):
    return dict(kind="k", content_hash="h", framework="f", version="1", io_schema="s") | over


def without_kind(extra_key):
    d = descriptor()
    del d["kind"]
    d[extra_key] = 1  # shares the hash of "kind"; only a lookup of "kind" compares
    return d


def fresh():
    s = vc.GraphStore()
    s.add_op("neg", [s.add_source("x")], {"p": 1})
    return s


def state(s):
    return s.node_count(), s.serialize(), s.to_dot()


IN, NAME = "while processing 'inputs'", "while processing 'name'"
VALUE_TYPES = "param values must be int, float, bool, or str"
NOT_VEC = "Can't extract `str` to `Vec`"
# (id, call, exception type, exact message or None, note or None)
FAILING = [
    ("index-raises", lambda s: s.add_op("f", [Index(boom)]), Boom, "raised by the caller's object", IN),
    ("index-not-int", lambda s: s.add_op("f", [Index(lambda: 1.5)]), TypeError, None, IN),
    ("index-negative", lambda s: s.add_op("f", [Index(lambda: -1)]), OverflowError, None, IN),
    ("index-huge", lambda s: s.add_op("f", [Index(lambda: 1 << 200)]), OverflowError, None, IN),
    ("int-negative", lambda s: s.add_op("f", [-1]), OverflowError, None, IN),
    ("int-2**64", lambda s: s.add_op("f", [2**64]), OverflowError, None, IN),
    ("float-id", lambda s: s.add_op("f", [1.0]), TypeError, None, IN),
    ("max-u64-is-no-node", lambda s: s.add_op("f", [2**64 - 1]), ValueError,
     "no node with id 18446744073709551615", None),
    ("missing-id", lambda s: s.add_op("f", [3]), ValueError, "no node with id 3", None),
    ("first-missing-id-in-order", lambda s: s.add_op("f", [0, 99, 7]), ValueError, "no node with id 99", None),
    ("first-missing-id-not-largest", lambda s: s.add_op("f", [7, 99]), ValueError, "no node with id 7", None),
    ("bool-is-an-index", lambda s: s.add_op("f", [True, 7]), ValueError, "no node with id 7", None),
    ("iteration-raises", lambda s: s.add_op("f", BrokenIter([0, 1], 2)), Boom, "iteration failed midway", IN),
    ("iter-not-iterator", lambda s: s.add_op("f", IterNotIterator([0], 1)), TypeError, None, IN),
    ("generator", lambda s: s.add_op("f", (i for i in [0])), TypeError, None, IN),
    ("set", lambda s: s.add_join({0, 1}), TypeError, None, IN),
    ("dict-as-inputs", lambda s: s.add_join({0: 0}), TypeError, None, IN),
    ("str-inputs", lambda s: s.add_op("f", "0"), TypeError, NOT_VEC, IN),
    ("str-subclass-inputs", lambda s: s.add_join(TextLike("01")), TypeError, NOT_VEC, IN),
    ("inputs-converted-before-params", lambda s: s.add_op("f", "x", 5), TypeError, NOT_VEC, IN),
    ("params-converted-before-ids", lambda s: s.add_op("f", [3], 5), TypeError, "params must be a dict or None",
     None),
    ("bytes-inputs-bad-id", lambda s: s.add_join(b"\x05"), ValueError, "no node with id 5", None),
    ("name-int", lambda s: s.add_op(1, [0]), TypeError, None, NAME),
    ("name-lone-surrogate", lambda s: s.add_source("\ud800"), UnicodeEncodeError, None, NAME),
    ("name-bytes", lambda s: s.add_source(b"x"), TypeError, None, NAME),
    ("param-key-surrogate", lambda s: s.add_source("x", {"\udfff": 1}), UnicodeEncodeError, None, None),
    ("param-key-int", lambda s: s.add_source("x", {1: 1}), TypeError, None, None),
    ("param-value-all-protocols-raise", lambda s: s.add_source("x", {"v": Float(boom)}), TypeError, VALUE_TYPES,
     None),
    ("param-value-float-returns-str", lambda s: s.add_source("x", {"v": Float(lambda: "1")}), TypeError,
     VALUE_TYPES, None),
    *[(f"param-value-{type(v).__name__}", lambda s, v=v: s.add_op("f", [0], {"v": v}), TypeError, VALUE_TYPES, None)
      for v in (10**400, None, b"x", [1], object())],
    ("param-value-surrogate-str", lambda s: s.add_source("x", {"v": "\ud800"}), UnicodeEncodeError, None, None),
    ("params-int", lambda s: s.add_op("f", [0], 5), TypeError, "params must be a dict or None", None),
    ("params-list-of-pairs", lambda s: s.add_source("x", [("a", 1)]), TypeError,
     "params must be a dict or None", None),
    ("params-mapping-not-dict", lambda s: s.add_source("x", types.MappingProxyType({"a": 1})),
     TypeError, "params must be a dict or None", None),
    ("descriptor-key-compare-raises",
     lambda s: s.add_external(without_kind(CollidesWithKind("other")), [0]), Boom, "compared", None),
    ("descriptor-missing-ignores-__missing__", lambda s: s.add_external(Missing(kind="k"), [0]), ValueError,
     "descriptor missing required field 'content_hash'", None),
    ("descriptor-value-surrogate", lambda s: s.add_external(descriptor(version="\ud800"), [0]),
     UnicodeEncodeError, None, None),
    ("payload-descriptor-surrogate",
     lambda s: vc.PayloadDescriptor(**descriptor(framework="\udc00")), UnicodeEncodeError, None,
     "while processing 'framework'"),
    ("deserialize-bytearray", lambda s: vc.GraphStore.deserialize(bytearray(s.serialize())), TypeError, None,
     "while processing 'data'"),
    ("serialize-outputs-index-raises", lambda s: s.serialize(outputs=[Index(boom)]), Boom, None,
     "while processing 'outputs'"),
    ("reduce-outputs-huge", lambda s: s.reduce(outputs=[1 << 70]), OverflowError, None,
     "while processing 'outputs'"),
    ("reduce-fake-numpy-bool-raises",
     lambda s: s.reduce(maximal_fusion=type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: boom()})()),
     Boom, None, "while processing 'maximal_fusion'"),
    ("reduce-flag-module-raises",
     lambda s: s.reduce(maximal_fusion=type("M", (type,), {"__module__": property(lambda c: boom())})("bool_", (), {})()),
     TypeError, None, "while processing 'maximal_fusion'"),
    ("step-not-a-store", lambda s: vc.IncrementalReducer().step(s.nodes()), TypeError, None,
     "while processing 'store'"),
    ("finalize-outputs-raise", lambda s: vc.IncrementalReducer().finalize(s, outputs=BrokenIter([0, 1], 2)), Boom,
     None, "while processing 'outputs'"),
]


@pytest.mark.parametrize("call, exc, message, note", [c[1:] for c in FAILING], ids=[c[0] for c in FAILING])
def test_bad_arguments_raise_and_leave_store_unchanged(call, exc, message, note):
    s = fresh()
    before = state(s)
    with pytest.raises(exc) as info:
        call(s)
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([note] if note else None)
    assert state(s) == before


NAN_WITH_PAYLOAD = struct.unpack("<d", struct.pack("<Q", 0xFFF0_0000_0000_0ABC))[0]
# (id, call, the inputs the new node must have)
ACCEPTED = [
    ("lying-len-huge", lambda s: s.add_join(LyingLen([0, 0], 1 << 60)), [0, 0]),
    ("lying-len-zero", lambda s: s.add_join(LyingLen([0, 1], 0)), [0, 1]),
    ("lying-len-raises", lambda s: s.add_join(LyingLen([1], Boom("len"))), [1]),
    ("index-object-inputs", lambda s: s.add_join([Index(lambda: 1), 0]), [1, 0]),
    ("str-subclass-name", lambda s: s.add_op(TextLike("neg"), [0]), [0]),
    ("range-inputs", lambda s: s.add_join(range(2)), [0, 1]),
    ("bytes-inputs", lambda s: s.add_join(b"\x00\x01"), [0, 1]),
    ("element-clears-its-list", lambda s: s.add_join(clearing_list()), [1]),
]


def clearing_list():
    """A list whose first element empties it while being converted."""
    items = []
    items.extend([Index(lambda: (items.clear(), 1)[1]), 0, 0])
    return items


@pytest.mark.parametrize("call, inputs", [c[1:] for c in ACCEPTED], ids=[c[0] for c in ACCEPTED])
def test_misbehaving_but_usable_sequences(call, inputs):
    s = fresh()
    node = call(s)
    assert s.nodes()[node]["inputs"] == inputs


def test_param_values_fall_through_protocols():
    s = vc.GraphStore()
    values = {
        "float-protocol": Float(lambda: 2.5),
        "huge-int": 2**64,
        "min-int": -(2**63),
        "nan-payload": NAN_WITH_PAYLOAD,
        "str-sub": TextLike("t"),
        "index-protocol": Index(lambda: 3),
    }
    node = s.add_source("x", values)
    params = s.nodes()[node]["params"]
    assert params["float-protocol"] == 2.5
    assert params["huge-int"] == float(2**64)
    assert params["min-int"] == -(2**63) and type(params["min-int"]) is int
    # The first NaN recorded keeps its bits; every later NaN is the same value.
    assert struct.pack("<d", params["nan-payload"]) == struct.pack("<d", NAN_WITH_PAYLOAD)
    assert params["str-sub"] == "t" and type(params["str-sub"]) is str
    assert params["index-protocol"] == 3 and type(params["index-protocol"]) is int
    # Every NaN is one value; the blob keeps the canonical bits.
    assert s.add_source("x", {**values, "nan-payload": -math.nan}) == node
    back = vc.GraphStore.deserialize(s.serialize())
    assert back.serialize() == s.serialize()
    assert struct.pack("<d", back.nodes()[node]["params"]["nan-payload"]) == struct.pack("<d", NAN_WITH_PAYLOAD)


def test_dict_and_str_subclasses_use_their_stored_contents():
    s = vc.GraphStore()
    plain = s.add_source("x", {"a": 1})
    assert s.add_source("x", ItemsLie(a=1)) == plain
    assert s.add_source("x", {TextLike("a"): 1}) == plain
    d = s.add_external(descriptor(), [])
    assert s.add_external(Missing(descriptor()), []) == d
    sub = type("Sub", (str,), {})
    assert s.add_external({sub(k): TextLike(v) for k, v in descriptor().items()}, []) == d


class ClearsOnCompare(str):
    """Shares the hash of "kind"; comparing it empties the dict it lives in."""

    def __hash__(self):
        return hash("kind")

    owner = None

    def __eq__(self, other):
        if self.owner is not None:
            self.owner.clear()
        return False


def test_descriptor_dict_mutated_by_a_key_during_lookup():
    s = fresh()
    before = state(s)
    d = descriptor()
    del d["kind"]
    key = ClearsOnCompare("x")
    d[key] = 1
    d["kind"] = "k"  # inserted after the hostile key: found only past a comparison
    key.owner = d  # armed: the lookup of "kind" now empties the dict
    with pytest.raises(ValueError, match="descriptor missing required field"):
        s.add_external(d, [0])
    assert state(s) == before


@pytest.mark.parametrize("copier", ["copy", "deepcopy", "pickle"])
@pytest.mark.parametrize("make", [vc.GraphStore, vc.IncrementalReducer,
                                  lambda: vc.PayloadDescriptor(**descriptor())])
def test_objects_cannot_be_copied_into_empty_shells(make, copier):
    import copy
    import pickle

    obj = make()
    fn = {"copy": copy.copy, "deepcopy": copy.deepcopy, "pickle": pickle.dumps}[copier]
    with pytest.raises(TypeError):
        fn(obj)


def test_nul_and_long_text_round_trip():
    s = vc.GraphStore()
    long_name = "\u00e9\0" * 500_000 + "\U0001f600"
    x = s.add_source(long_name, {"k\0": "v\0" * 1000})
    assert s.nodes()[x]["name"] == long_name
    back = vc.GraphStore.deserialize(s.serialize())
    assert back.nodes() == s.nodes()
    assert long_name in s.to_dot()


# Mutations a params value makes to its own dict while the dict is being
# converted, and the internal failure each must end in (None: no failure).
MUTATIONS = [
    ("grow", lambda p: p.__setitem__("new", 1), "dictionary changed size during iteration"),
    ("shrink", lambda p: p.pop("b"), "dictionary changed size during iteration"),
    # Same size, but the iteration now yields one item more; the extra item is
    # not even a valid value and must not be converted.
    ("replace-first", lambda p: (p.pop("a"), p.__setitem__("c", None)), "dictionary keys changed during iteration"),
    ("swap-later", lambda p: (p.pop("b"), p.__setitem__("c", 3)), None),
]


@pytest.mark.parametrize("mutate, message", [m[1:] for m in MUTATIONS], ids=[m[0] for m in MUTATIONS])
@pytest.mark.parametrize("add", [lambda s, p: s.add_source("y", p), lambda s, p: s.add_op("y", [0], p)],
                         ids=["source", "op"])
def test_params_mutated_during_conversion(add, mutate, message):
    assert PANIC.__name__ == "PanicException" and PANIC.__bases__ == (BaseException,)
    s = fresh()
    before = state(s)
    params = {"a": None, "b": 2}
    params["a"] = Index(lambda: (mutate(params), 1)[1])
    if message is None:
        # Whatever the conversion saw, it is one consistent new node.
        node = add(s, params)
        assert s.node_count() == 3 and s.nodes()[node]["params"]["a"] == 1
        return
    with pytest.raises(PANIC, match=f"^{message}$"):
        add(s, params)
    assert state(s) == before
    # The store itself is not poisoned: the dict was converted outside its lock.
    assert s.add_source("ok") == before[0]


def test_params_mutated_by_another_thread():
    """A writer thread keeps resizing the dict while conversions run."""
    s = vc.GraphStore()
    params = {f"k{i}": i for i in range(64)}
    stop = threading.Event()

    def writer():
        i = 0
        while not stop.is_set():
            params[f"extra{i % 8}"] = i
            params.pop(f"extra{(i + 4) % 8}", None)
            i += 1

    t = threading.Thread(target=writer)
    t.start()
    outcomes = set()
    deadline = time.monotonic() + 0.5
    try:
        while time.monotonic() < deadline:
            try:
                s.add_source("x", params)
                outcomes.add("ok")
            except PANIC as e:
                assert "during iteration" in str(e)
                outcomes.add("panic")
    finally:
        stop.set()
        t.join()
    assert outcomes  # no crash; the store stays usable
    for node in s.nodes():
        assert set(node["params"]) >= {f"k{i}" for i in range(64)}


def test_conversions_may_reenter_the_same_objects():
    """Python code run by a conversion can use the store and reducer freely:
    no lock is held while it runs."""
    s = vc.GraphStore()
    x = s.add_source("x")
    r = vc.IncrementalReducer()

    def record():
        r.step(s)
        return s.add_op("neg", [x])

    node = s.add_op("abs", [Index(record)])
    assert s.nodes()[node]["inputs"] == [1]
    assert s.serialize(outputs=[Index(record)]) == s.serialize(outputs=[1])

    def step_and_count():
        r.step(s)
        s.add_source(f"s{s.node_count()}")
        return 0

    store2, report = r.finalize(s, outputs=[Index(step_and_count)])
    assert report["input_nodes"] == r.canonical_count()
    assert r.watermark() == s.node_count() == r.total_work()
    store3, _ = s.reduce(maximal_fusion=False, outputs=[Index(lambda: s.add_source("late"))])
    assert store3.node_count() == 1


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
def test_base_exceptions_from_inputs_propagate(exc):
    s = fresh()
    before = state(s)

    def stop():
        raise exc()

    with pytest.raises(exc):
        s.add_join([Index(stop)])
    with pytest.raises(exc):
        s.reduce(outputs=LyingLen([Index(stop)], 1))
    assert state(s) == before
