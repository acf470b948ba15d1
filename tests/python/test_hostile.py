"""Hostile Python input: objects whose protocols raise, lie or reenter.

Every case must end in the documented exception (never a crash) and leave the
store exactly as it was.
"""

import math
import struct
import threading
import time

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

    def __str__(self):
        raise Boom("__str__")

    def __eq__(self, other):
        raise Boom("__eq__")

    __hash__ = str.__hash__

    def encode(self, *a, **k):
        raise Boom("encode")


class CollidesWithKind(str):
    """A dict key that lands in the bucket of "kind" and refuses comparison."""

    def __hash__(self):
        return hash("kind")

    def __eq__(self, other):
        raise Boom("compared")


class ItemsLie(dict):
    def items(self):
        return [("zzz", 1)]

    def keys(self):
        return ["zzz"]

    def __iter__(self):
        return iter(["zzz"])

    def __getitem__(self, k):
        return 99

    def __len__(self):
        return 1000


class Missing(dict):
    def __missing__(self, key):
        return "filled"


def descriptor(**over):
    d = dict(kind="k", content_hash="h", framework="f", version="1", io_schema="s")
    d.update(over)
    return d


def without_kind(extra_key):
    d = descriptor()
    del d["kind"]
    d[extra_key] = 1  # shares the hash of "kind"; only a lookup of "kind" compares
    return d


def fresh():
    s = vc.GraphStore()
    x = s.add_source("x")
    s.add_op("neg", [x], {"p": 1})
    return s


def state(s):
    return s.node_count(), s.serialize(), s.to_dot()


# (id, call, exception type, message fragment or None, note or None)
FAILING = [
    ("index-raises", lambda s: s.add_op("f", [Index(boom)]), Boom, "raised by", "while processing 'inputs'"),
    ("index-not-int", lambda s: s.add_op("f", [Index(lambda: 1.5)]), TypeError, None, "while processing 'inputs'"),
    ("index-negative", lambda s: s.add_op("f", [Index(lambda: -1)]), OverflowError, None, "while processing 'inputs'"),
    ("index-huge", lambda s: s.add_op("f", [Index(lambda: 1 << 200)]), OverflowError, None,
     "while processing 'inputs'"),
    ("int-2**64", lambda s: s.add_op("f", [2**64]), OverflowError, None, "while processing 'inputs'"),
    ("max-u64-is-no-node", lambda s: s.add_op("f", [2**64 - 1]), ValueError,
     "no node with id 18446744073709551615", None),
    ("bool-is-an-index", lambda s: s.add_op("f", [True, 7]), ValueError, "no node with id 7", None),
    ("iteration-raises", lambda s: s.add_op("f", BrokenIter([0, 1], 2)), Boom, "midway",
     "while processing 'inputs'"),
    ("iter-not-iterator", lambda s: s.add_op("f", IterNotIterator([0], 1)), TypeError, None,
     "while processing 'inputs'"),
    ("generator", lambda s: s.add_op("f", (i for i in [0])), TypeError, None, "while processing 'inputs'"),
    ("set", lambda s: s.add_join({0, 1}), TypeError, None, "while processing 'inputs'"),
    ("dict-as-inputs", lambda s: s.add_join({0: 0}), TypeError, None, "while processing 'inputs'"),
    ("str-subclass-inputs", lambda s: s.add_join(TextLike("01")), TypeError, "Can't extract `str` to `Vec`",
     "while processing 'inputs'"),
    ("bytes-inputs-bad-id", lambda s: s.add_join(b"\x05"), ValueError, "no node with id 5", None),
    ("name-lone-surrogate", lambda s: s.add_source("\ud800"), UnicodeEncodeError, None, "while processing 'name'"),
    ("name-bytes", lambda s: s.add_source(b"x"), TypeError, None, "while processing 'name'"),
    ("param-key-surrogate", lambda s: s.add_source("x", {"\udfff": 1}), UnicodeEncodeError, None, None),
    ("param-key-int", lambda s: s.add_source("x", {1: 1}), TypeError, None, None),
    ("param-value-all-protocols-raise", lambda s: s.add_source("x", {"v": Float(boom)}), TypeError,
     "param values must be int, float, bool, or str", None),
    ("param-value-huge-int", lambda s: s.add_source("x", {"v": 10**400}), TypeError,
     "param values must be int, float, bool, or str", None),
    ("param-value-float-returns-str", lambda s: s.add_source("x", {"v": Float(lambda: "1")}), TypeError,
     "param values must be int, float, bool, or str", None),
    ("param-value-surrogate-str", lambda s: s.add_source("x", {"v": "\ud800"}), UnicodeEncodeError, None, None),
    ("params-list-of-pairs", lambda s: s.add_source("x", [("a", 1)]), TypeError,
     "params must be a dict or None", None),
    ("params-mapping-not-dict", lambda s: s.add_source("x", __import__("types").MappingProxyType({"a": 1})),
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
def test_hostile_arguments_raise_and_leave_store_unchanged(call, exc, message, note):
    s = fresh()
    before = state(s)
    with pytest.raises(exc) as info:
        call(s)
    if message is not None:
        assert message in str(info.value)
    notes = getattr(info.value, "__notes__", [])
    if note is None:
        assert notes == []
    else:
        assert notes == [note]
    assert state(s) == before


# (id, value converted by a params dict, the ParamValue it must store)
NAN_WITH_PAYLOAD = struct.unpack("<d", struct.pack("<Q", 0xFFF0_0000_0000_0ABC))[0]
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

    def clear():
        items.clear()
        return 1

    items.extend([Index(clear), 0, 0])
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
    lying = ItemsLie(a=1)
    assert s.add_source("x", lying) == plain
    key = TextLike("a")
    assert s.add_source("x", {key: 1}) == plain
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


def test_params_mutated_during_conversion():
    s = fresh()
    before = state(s)

    def grow():
        params["new"] = 1
        return 1

    params = {"a": Index(grow), "b": 2}
    with pytest.raises(PANIC, match="dictionary changed size during iteration"):
        s.add_source("y", params)

    def shrink():
        del params2["b"]
        return 1

    params2 = {"a": Index(shrink), "b": 2}
    with pytest.raises(PANIC, match="dictionary changed size during iteration"):
        s.add_op("y", [0], params2)
    assert state(s) == before
    # The store itself is not poisoned: the dict was converted outside its lock.
    assert s.add_source("ok") == before[0]


def test_params_yielding_more_items_than_at_start():
    s = fresh()
    before = state(s)

    def replace_first():
        del params["a"]
        params["c"] = None  # not even a valid value: the extra item must not be converted
        return 1

    params = {"a": Index(replace_first), "b": 2}
    with pytest.raises(PANIC, match="dictionary keys changed during iteration"):
        s.add_source("y", params)
    assert state(s) == before


def test_params_swapped_key_same_size_is_not_a_crash():
    s = fresh()

    def swap():
        del params["b"]
        params["c"] = 3
        return 1

    params = {"a": Index(swap), "b": 2}
    node = s.add_source("y", params)
    # Whatever the conversion saw, it is one consistent new node.
    assert s.node_count() == 3 and s.nodes()[node]["params"]["a"] == 1


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
