"""Every public call with bad and hostile arguments (objects whose protocols
raise, lie or reenter): the exact exception, message and note, never a crash,
and the store and reducer left as they were; and no call, failing or not,
leaks references, Python objects or C heap over many rounds."""

import contextlib
import copy
import ctypes
import gc
import math
import pickle
import struct
import sys
import threading
import types
import weakref

import pytest

from veltrix.core import veltrix_core as vc
from conftest import DESC, PANIC, SANITIZED, Index, PlainDict, growing_params, stage_blob


Boom = type("Boom", (Exception,), {})


def throw(exc):
    raise exc


def boom(*_):
    raise Boom("raised by the caller's object")


def broken(items):
    yield items[0]
    raise Boom("iteration failed midway")


def mutating(change, cls=dict):
    """Params whose first value's __index__ changes the dict being converted."""
    p = cls(a=None, b=2)
    p["a"] = Index(lambda: (change(p), 1)[1])
    return p


def fresh():
    s = vc.GraphStore()
    s.add_op("neg", [s.add_source("x")], {"p": 1})
    return s


# A sequence whose __len__ lies (or raises) and whose iteration is given.
Seq = type("Seq", (), {"__init__": lambda self, items, n, it=iter: self.__dict__.update(items=items, n=n, it=it),
                       "__len__": lambda self: throw(self.n) if isinstance(self.n, BaseException) else self.n,
                       "__getitem__": lambda self, i: self.items[i], "__iter__": lambda self: self.it(self.items)})
Float = type("Float", (), {"__init__": lambda self, fn: setattr(self, "fn", fn), "__float__": lambda self: self.fn()})
# A str subclass whose own protocols must not be consulted.
TextLike = type("TextLike", (str,), {"__hash__": str.__hash__, "__str__": boom, "__eq__": boom, "encode": boom})
# A dict whose methods lie about its contents, and one that fills in missing keys.
ItemsLie = type("ItemsLie", (dict,), {"items": lambda self: [("zzz", 1)], "keys": lambda self: ["zzz"], "__len__":
                                      lambda self: 1000, "__iter__": lambda self: iter(["zzz"]), "__getitem__": boom})
Missing = type("Missing", (dict,), {"__missing__": lambda self, key: "filled"})
# A dict key in the bucket of "kind" whose comparison calls on_eq; twin_dict puts it ahead of "kind".
KindTwin = type("KindTwin", (str,), {"__hash__": lambda self: hash("kind"), "__eq__": lambda self, o: self.on_eq(),
                                     "on_eq": lambda self: boom()})
twin_dict = lambda twin, **extra: {**{k: v for k, v in DESC.items() if k != "kind"}, twin: 1, **extra}  # noqa: E731
state = lambda s, r: (s.node_count(), s.serialize(), s.to_dot(), r.watermark(), r.total_work(),  # noqa: E731
                      r.canonical_count())
conv = lambda kind, to: f"'{kind}' object cannot be converted to '{to}'"  # noqa: E731
FakeNumpyBool = type("bool_", (), {"__module__": "numpy", "__bool__": boom})
ModuleRaises = type("M", (type,), {"__module__": property(boom)})("bool_", (), {})
PD = vc.PayloadDescriptor(**DESC)
EMPTY = b"VIR1" + bytes(8)
NOT_VEC, VALUES, NO_DICT = "Can't extract `str` to `Vec`", "param values must be int, float, bool, or str", \
    "params must be a dict or None"
NO_ID, MISSING, G, R, IN = "no node with id ", "descriptor missing required field ", "GraphStore.", \
    "IncrementalReducer.", "inputs"
POS, CHANGED = " positional arguments but ", "dictionary changed "
# (call on a store of two nodes s and a fresh reducer r, exception, exact message or None, note's argument or None)
ERRORS = [
    ('s.add_op("f", [Index(boom)])', Boom, "raised by the caller's object", IN),
    ('s.add_op("f", [Index(lambda: 1.5)])', TypeError, None, IN),
    ('s.add_op("f", [-1])', OverflowError, None, IN),
    ('s.add_op("f", [2**64])', OverflowError, None, IN),
    ('s.add_op("f", [1.0])', TypeError, None, IN),
    ('s.add_op("f", [2**64 - 1])', ValueError, NO_ID + "18446744073709551615", None),
    ('s.add_op("f", [2])', ValueError, NO_ID + "2", None),
    ('s.add_op("f", [True, 99, 7])', ValueError, NO_ID + "99", None),  # the first missing one; a bool is an id
    ('s.add_op("f", Seq([0, 1], 2, broken))', Boom, "iteration failed midway", IN),
    ('s.add_op("f", Seq([0], 1, lambda items: 42))', TypeError, None, IN),
    ('s.add_op("f", (i for i in [0]))', TypeError, conv("generator", "Sequence"), IN),
    ("s.add_join({0, 1})", TypeError, conv("set", "Sequence"), IN),
    ("s.add_join({0: 0})", TypeError, conv("dict", "Sequence"), IN),
    ('s.add_op("f", "0")', TypeError, NOT_VEC, IN),
    ('s.add_join(TextLike("01"))', TypeError, NOT_VEC, IN),
    ('s.add_op("f", "x", 5)', TypeError, NOT_VEC, IN),  # inputs are converted before params,
    ('s.add_op("f", [3], 5)', TypeError, NO_DICT, None),  # and params before ids are checked
    ('s.add_join(b"\\x05")', ValueError, NO_ID + "5", None),
    ("s.add_op(1, [0])", TypeError, conv("int", "str"), "name"),
    ('s.add_source("\\ud800")', UnicodeEncodeError, None, "name"),
    ('s.add_source(b"x")', TypeError, conv("bytes", "str"), "name"),
    ('s.add_source("x", {"\\udfff": 1})', UnicodeEncodeError, None, None),
    ('s.add_source("x", {1: 1})', TypeError, conv("int", "str"), None),
    ('s.add_source("x", {"v": Float(boom)})', TypeError, VALUES, None),
    ('s.add_source("x", {"v": Float(lambda: "1")})', TypeError, VALUES, None),
    ('s.add_op("f", [0], {"v": 10**400})', TypeError, VALUES, None),
    ('s.add_op("f", [0], {"a": 1, "v": None})', TypeError, VALUES, None),
    ('s.add_exchange([0], {"v": b""})', TypeError, VALUES, None),
    ('s.add_join([0], {"v": [1], "w": 1})', TypeError, VALUES, None),
    ('s.add_source("x", {"v": "\\ud800"})', UnicodeEncodeError, None, None),
    ('s.add_source("x", 5)', TypeError, NO_DICT, None),
    ('s.add_source("x", [("a", 1)])', TypeError, NO_DICT, None),
    ('s.add_source("x", types.MappingProxyType({"a": 1}))', TypeError, NO_DICT, None),
    ('s.add_source("x", growing_params())', PANIC, "dictionary changed size during iteration", None),
    ('s.add_op("x", [0], mutating(lambda p: p.update(new=1), PlainDict))', PANIC, CHANGED + "size during iteration",
     None),
    ('s.add_exchange([0], mutating(lambda p: p.pop("b")))', PANIC, CHANGED + "size during iteration", None),
    ('s.add_source("x", mutating(lambda p: p.pop("b"), PlainDict))', PANIC, CHANGED + "size during iteration", None),
    # Same size, but the iteration now yields one item more, not even a valid value: it must not be converted.
    ('s.add_op("x", [0], mutating(lambda p: (p.pop("a"), p.update(c=None))))', PANIC,
     "dictionary keys changed during iteration", None),
    ('s.add_source("x", mutating(lambda p: (p.pop("a"), p.update(c=None)), PlainDict))', PANIC,
     "dictionary keys changed during iteration", None),
    ("s.add_join([Index(lambda: throw(KeyboardInterrupt()))])", KeyboardInterrupt, None, IN),
    ("s.reduce(outputs=Seq([Index(lambda: throw(SystemExit()))], 1))", SystemExit, None, "outputs"),
    ('s.add_external(twin_dict(KindTwin("other")), [0])', Boom, "raised by the caller's object", None),
    ('s.add_external(Missing(kind="k"), [0])', ValueError, MISSING + "'content_hash'", None),
    ('s.add_external({"content_hash": "h", "framework": "f", "version": "1"}, [])', ValueError, MISSING + "'kind'",
     None),
    ('s.add_external({k: DESC[k] for k in list(DESC)[:4]}, [])', ValueError, MISSING + "'io_schema'", None),
    ('s.add_external(dict(DESC, version="\\ud800"), [0])', UnicodeEncodeError, None, None),
    ("s.add_external([1], [])", TypeError, "descriptor must be a PayloadDescriptor or dict", None),
    ('s.add_external([1], "x")', TypeError, NOT_VEC, IN),
    ('s.add_external({"preprocessing_ref": 5}, [])', TypeError, conv("int", "str"), None),
    ("s.add_external(dict(DESC, kind=None), [])", TypeError, conv("NoneType", "str"), None),
    ("s.add_external(DESC, [5])", ValueError, NO_ID + "5", None),
    ('vc.PayloadDescriptor(**dict(DESC, framework="\\udc00"))', UnicodeEncodeError, None, "framework"),
    ("vc.PayloadDescriptor(**dict(DESC, version=None))", TypeError, conv("NoneType", "str"), "version"),
    ("vc.PayloadDescriptor(**DESC, preprocessing_ref=5)", TypeError, conv("int", "str"), "preprocessing_ref"),
    ("vc.PayloadDescriptor(**DESC, extra=1)", TypeError,
     "PayloadDescriptor.__new__() got an unexpected keyword argument 'extra'", None),
    ('vc.PayloadDescriptor(kind="k")', TypeError, "PayloadDescriptor.__new__() missing 4 required keyword arguments:"
     " 'content_hash', 'framework', 'version', and 'io_schema'", None),
    ('vc.PayloadDescriptor("k")', TypeError, "PayloadDescriptor.__new__() takes 0" + POS + "1 was given", None),
    *[(code.format(c), TypeError, None, None) for c in ("vc.GraphStore", "vc.PayloadDescriptor", "vc.IncrementalReducer")
      for code in ('type("Sub", ({},), {{}})', 'setattr({}, "extra", 1)')],  # closed classes,
    *[(code, TypeError, None, None) for code in ("weakref.ref(s)", "copy.copy(s)", "copy.deepcopy(r)", "pickle.dumps(PD)")],
    *[(code, AttributeError, None, None) for code in ('setattr(s, "anything", 1)', "s.__dict__", 'setattr(PD, "kind", "x")')],
    ("s.serialize(outputs=[Index(boom)])", Boom, None, "outputs"),
    ("s.serialize(outputs=[0, 2])", ValueError, NO_ID + "2", None),
    ("vc.GraphStore.deserialize()", TypeError, G + "deserialize() missing 1 required positional argument: 'data'", None),
    ('s.serialize(outputs="0")', TypeError, NOT_VEC, "outputs"),
    *[(f"vc.GraphStore.deserialize({d})", TypeError, conv(t, "PyBytes"), "data") for d, t in [
        ("bytearray(EMPTY)", "bytearray"), ('"VIR1"', "str")]],
    *[(f"vc.GraphStore.deserialize({d!r})", ValueError, m, None) for d, m in [
        (b"VIR", "truncated veltrix IR blob"), (b"VIR2", "not a veltrix IR blob (bad magic/version)"),
        (b"VIR1\xff\xff\xff\xff" + bytes(4), "truncated veltrix IR blob"),
        (b"VIR1\x01\x00\x00\x00\x09", "invalid node tag 9"),
        (b"VIR1\x01\x00\x00\x00\x01\x01\x00\x00\x00f\x00\x00\x00\x00\x01\x00\x00\x00\x05" + bytes(7),
         "node reference 5 out of range")]],
    ("vc.GraphStore.deserialize(stage_blob('bad\"\\\\x')).nodes()", ValueError,
     'unparseable stage member token "bad\\"\\\\x"', None),
    ('s.add_op("f")', TypeError, G + "add_op() missing 1 required positional argument: 'inputs'", None),
    ("s.add_op()", TypeError, G + "add_op() missing 2 required positional arguments: 'name' and 'inputs'", None),
    ('s.add_op("f", [], None, 1)', TypeError, G + "add_op() takes from 2 to 3" + POS + "4 were given", None),
    ('s.add_source("a", None, 1)', TypeError, G + "add_source() takes from 1 to 2" + POS + "3 were given", None),
    ('s.add_op("f", [], bogus=1)', TypeError, G + "add_op() got an unexpected keyword argument 'bogus'", None),
    ('s.add_op("f", [], name="g")', TypeError, G + "add_op() got multiple values for argument 'name'", None),
    ("s.add_reduction(inputs=[])", TypeError, G + "add_reduction() missing 1 required positional argument: 'name'",
     None),
    ("s.node_count(1)", TypeError, G + "node_count() takes no arguments (1 given)", None),
    ("s.outputs(x=1)", TypeError, G + "outputs() takes no keyword arguments", None),
    ("vc.GraphStore(1)", TypeError, G + "__new__() takes 0" + POS + "1 was given", None),
    ("vc.GraphStore(x=1)", TypeError, G + "__new__() got an unexpected keyword argument 'x'", None),
    ("s.reduce(True)", TypeError, G + "reduce() takes 0" + POS + "1 was given", None),
    ("s.reduce(maximal_fusion=1)", TypeError, conv("int", "PyBool"), "maximal_fusion"),
    ("s.reduce(maximal_fusion=None)", TypeError, conv("NoneType", "PyBool"), "maximal_fusion"),
    ("s.reduce(maximal_fusion=FakeNumpyBool())", Boom, None, "maximal_fusion"),
    ("s.reduce(maximal_fusion=ModuleRaises())", TypeError, conv("bool_", "PyBool"), "maximal_fusion"),
    ('s.reduce(maximal_fusion=type("bool_", (), {})())', TypeError, conv("bool_", "PyBool"), "maximal_fusion"),
    ('s.reduce(maximal_fusion=type("int_", (), {"__module__": "numpy"})())', TypeError, conv("int_", "PyBool"),
     "maximal_fusion"),
    ('s.reduce(outputs="0")', TypeError, NOT_VEC, "outputs"),
    ("s.reduce(outputs={0})", TypeError, conv("set", "Sequence"), "outputs"),
    ("s.reduce(outputs=[-1])", OverflowError, None, "outputs"),
    ('s.reduce(outputs=Seq([0, 1], Boom("len"), broken))', Boom, "iteration failed midway", "outputs"),
    ("s.reduce(outputs=[2])", ValueError, NO_ID + "2", None),
    ("s.reduce(outputs=[0, 99, 100])", ValueError, NO_ID + "99", None),
    ("s.reduction_report(outputs=[7])", ValueError, NO_ID + "7", None),
    ("s.reduce_incremental(outputs=[2])", ValueError, NO_ID + "2", None),
    ("s.reduce_incremental(maximal_fusion=True)", TypeError,
     G + "reduce_incremental() got an unexpected keyword argument 'maximal_fusion'", None),
    ("s.reduction_report(outputs=[0], outputs2=1)", TypeError,
     G + "reduction_report() got an unexpected keyword argument 'outputs2'", None),
    ("r.step()", TypeError, R + "step() missing 1 required positional argument: 'store'", None),
    ("r.step(s, s)", TypeError, R + "step() takes 1" + POS + "2 were given", None),
    ("r.step(store=s, x=1)", TypeError, R + "step() got an unexpected keyword argument 'x'", None),
    ("r.step(s, store=s)", TypeError, R + "step() got multiple values for argument 'store'", None),
    ("r.step(s.nodes())", TypeError, conv("list", "GraphStore"), "store"),
    ("r.finalize()", TypeError, R + "finalize() missing 1 required positional argument: 'store'", None),
    ("r.finalize(s, True)", TypeError, R + "finalize() takes 1" + POS + "2 were given", None),
    ('r.finalize(s, maximal_fusion="yes")', TypeError, conv("str", "PyBool"), "maximal_fusion"),
    ("r.finalize(s, outputs=[2])", ValueError, NO_ID + "2", None),
    ("r.finalize(s, outputs=Seq([0, 1], 2, broken))", Boom, "iteration failed midway", "outputs"),
    ("r.watermark(1)", TypeError, R + "watermark() takes no arguments (1 given)", None),
    ("r.canonical_count(s)", TypeError, R + "canonical_count() takes no arguments (1 given)", None),
    ("vc.IncrementalReducer(s)", TypeError, R + "__new__() takes 0" + POS + "1 was given", None),
]


@pytest.mark.parametrize("call, exc, message, note", ERRORS)
def test_errors_leave_store_and_reducer_unchanged(call, exc, message, note):
    s, r = fresh(), vc.IncrementalReducer()
    before = state(s, r)
    with pytest.raises(exc) as info:
        eval(call, globals(), {"s": s, "r": r})
    assert type(info.value) is exc and (message is None or str(info.value) == message)
    assert getattr(info.value, "__notes__", None) == (None if note is None else [f"while processing '{note}'"])
    assert state(s, r) == before
    assert s.add_source("usable") == 2  # the store is not poisoned


def clearing_list():
    """A list whose first element empties it while being converted."""
    items = []
    items.extend([Index(lambda: (items.clear(), 1)[1]), 0, 0])
    return items


@pytest.mark.parametrize("inputs, expected", [
    ("Seq([0, 0], 1 << 60)", [0, 0]), ("Seq([0, 1], 0)", [0, 1]), ('Seq([1], Boom("len"))', [1]),
    ("[Index(lambda: 1), 0]", [1, 0]), ("range(2)", [0, 1]), ('b"\\x00\\x01"', [0, 1]), ("clearing_list()", [1])])
def test_misbehaving_but_usable_sequences(inputs, expected):
    s = fresh()
    node, op = s.add_join(eval(inputs)), s.add_op(TextLike("neg"), [0])
    assert s.nodes()[node]["inputs"] == expected and s.nodes()[op]["name"] == "neg"


def test_param_values_and_dict_subclasses():
    nan = struct.unpack("<d", struct.pack("<Q", 0xFFF0_0000_0000_0ABC))[0]
    s = vc.GraphStore()
    values = {"f": Float(lambda: 2.5), "huge": 2**64, "min": -(2**63), "nan": nan, "str": TextLike("t"),
              "idx": Index(lambda: -1), "big": Index(lambda: 2**70)}
    node = s.add_source("x", values)
    p = s.nodes()[node]["params"]
    assert p == {"big": 2.0**70, "f": 2.5, "huge": 2.0**64, "idx": -1, "min": -(2**63), "nan": p["nan"], "str": "t"}
    assert [type(p[k]) for k in ("big", "idx", "min", "str")] == [float, int, int, str]
    # The first NaN recorded keeps its bits; every later NaN is the same value.
    assert s.add_source("x", {**values, "nan": -math.nan}) == node
    back = vc.GraphStore.deserialize(s.serialize())
    assert back.serialize() == s.serialize()
    assert struct.pack("<d", back.nodes()[node]["params"]["nan"]) == struct.pack("<d", nan)
    # A dict changed behind the value being converted, keeping its size and later keys: one consistent node.
    node = s.add_source("y", mutating(lambda p: (p.pop("b"), p.update(c=3))))
    assert s.nodes()[node]["params"] == {"a": 1, "c": 3}
    assert PANIC.__name__ == "PanicException" and PANIC.__bases__ == (BaseException,)
    # Subclasses of dict and str are read by their stored contents.
    plain = s.add_source("x", {"a": 1})
    assert s.add_source("x", ItemsLie(a=1)) == s.add_source("x", {TextLike("a"): 1}) == plain
    d = s.add_external(DESC, [])
    sub = type("Sub", (str,), {})
    assert s.add_external(Missing(DESC), []) == s.add_external({sub(k): TextLike(v) for k, v in DESC.items()}, []) == d
    # A dict emptied by its own key during the lookup of "kind".
    before = s.serialize()
    twin = KindTwin("x")
    twin.on_eq = lambda: False
    d = twin_dict(twin, kind="k")
    twin.on_eq = d.clear
    with pytest.raises(ValueError, match=f"^{MISSING}"):
        s.add_external(d, [0])
    assert s.serialize() == before


def test_nul_and_long_text_round_trip():
    s, name = vc.GraphStore(), "\u00e9\0" * 500_000 + "\U0001f600"
    s.add_source(name, {"k\0": "v\0" * 1000})
    assert s.nodes()[0]["name"] == name and name in s.to_dot() and vc.GraphStore.deserialize(s.serialize()).nodes() == s.nodes()


def test_conversions_may_reenter_the_same_objects():
    """Python code run by a conversion can use the store and reducer: no lock
    is held while it runs."""
    s, r = vc.GraphStore(), vc.IncrementalReducer()
    x = s.add_source("x")
    record = Index(lambda: (r.step(s), s.add_op("neg", [x]))[1])
    node = s.add_op("abs", [record])
    assert s.nodes()[node]["inputs"] == [1] and s.serialize(outputs=[record]) == s.serialize(outputs=[1])
    store, report = r.finalize(s, outputs=[Index(lambda: (r.step(s), s.add_source(f"s{s.node_count()}"), 0)[2])])
    assert report["input_nodes"] == r.canonical_count() and r.watermark() == s.node_count() == r.total_work()
    assert s.reduce(outputs=[Index(lambda: s.add_source("late"))])[0].node_count() == 1


# Leaks: each call runs ROUNDS times, three times over; a real leak grows in
# every round, while interpreter caches may add a few blocks once. The
# arguments are built at run time, so that none of them is immortal.
ROUNDS = 300 if SANITIZED else 3000
LIBC = ctypes.CDLL(None)
if not SANITIZED and hasattr(LIBC, "mallinfo2"):  # bytes in use on the C heap (glibc)
    LIBC.mallinfo2.restype = type("Mallinfo2", (ctypes.Structure,), {"_fields_": [(n, ctypes.c_size_t) for n in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]})
    HEAP = lambda: LIBC.mallinfo2().uordblks + LIBC.mallinfo2().hblkhd  # noqa: E731
else:
    HEAP = lambda: 0  # noqa: E731
LEAK_DESC = {k: "".join([v, "_"]) for k, v in DESC.items()}
PARAMS = {"".join([k, "_"]): v for k, v in {"i": int("1234567"), "f": float("2.5"), "b": True, "s": "t" * 2}.items()}
GENERAL = PlainDict(PARAMS)
INPUTS, INDEXED, PDL = [0, 1], [Index(lambda: 0), Index(lambda: 1)], vc.PayloadDescriptor(**LEAK_DESC)
STORE = fresh()
STORE.add_external(LEAK_DESC, [STORE.add_join(INPUTS, PARAMS)])
BLOB = STORE.serialize(outputs=[3])
MARKED = vc.GraphStore.deserialize(BLOB)
REDUCED, REDUCER = MARKED.reduce()[0], vc.IncrementalReducer()
# (call, objects whose reference counts must not move)
CALLS = [
    (lambda: (vc.version(), vc.GraphStore(), vc.IncrementalReducer(), vc.PayloadDescriptor(**LEAK_DESC)),
     tuple(LEAK_DESC.values())),
    (lambda: (STORE.add_source("x", PARAMS), STORE.add_source("x", GENERAL), STORE.add_source(name="y", params=None)),
     (PARAMS, GENERAL, *PARAMS, *PARAMS.values())),
    (lambda: (STORE.add_op("add", INPUTS), STORE.add_reduction("sum", (0, 1))), (INPUTS,)),
    (lambda: STORE.add_op("add", INDEXED), (INDEXED, *INDEXED)),
    (lambda: (STORE.add_external(LEAK_DESC, [2]), STORE.add_external(PDL, [2])), (LEAK_DESC, PDL,
                                                                                  *LEAK_DESC.values())),
    (lambda: (STORE.add_exchange([3], {"scheme": "hash"}), STORE.add_join([1, 0])), ()),
    (lambda: (STORE.node_count(), MARKED.outputs(), STORE.nodes(), REDUCED.nodes(), REDUCED.node_map()), ()),
    (lambda: (STORE.to_dot(), STORE.serialize(), STORE.serialize(outputs=INPUTS)), (INPUTS,)),
    (lambda: vc.GraphStore.deserialize(BLOB), (BLOB,)),
    (lambda: (MARKED.reduce(), MARKED.reduce(maximal_fusion=True, outputs=[3]), MARKED.reduction_report(),
              MARKED.reduce_incremental(outputs=[3])), (MARKED,)),
    (lambda: (PDL.kind, PDL.content_hash, PDL.framework, PDL.version, PDL.io_schema, PDL.preprocessing_ref), (PDL,)),
    (lambda: (REDUCER.step(MARKED), REDUCER.step(vc.GraphStore()), REDUCER.watermark(), REDUCER.total_work(),
              REDUCER.canonical_count()), (MARKED, REDUCER)),
    (lambda: (REDUCER.finalize(MARKED, outputs=[3]), REDUCER.finalize(MARKED, maximal_fusion=True, outputs=[3, 3])),
     (MARKED,)),
]


def quietly(call, exc):
    """An ERRORS row's call on a store and reducer of its own, its exception caught."""
    code, names = compile(call, call, "eval"), {"s": fresh(), "r": vc.IncrementalReducer()}

    def run():
        with contextlib.suppress(exc):
            eval(code, globals(), names)
    return run


@pytest.mark.parametrize("call, watched", CALLS + [(quietly(c, e), ()) for c, e, *_ in ERRORS])
def test_no_leaks(call, watched):
    for _ in range(50):
        call()
    rounds = []
    for _ in range(3):
        gc.collect()
        refs, blocks, heap = [sys.getrefcount(o) for o in watched], sys.getallocatedblocks(), HEAP()
        for _ in range(ROUNDS):
            call()
        gc.collect()
        after = [sys.getrefcount(o) for o in watched]
        rounds.append(([a - b for a, b in zip(after, refs)], sys.getallocatedblocks() - blocks, HEAP() - heap))
    assert any(not any(r[0]) for r in rounds), f"reference counts grew: {rounds}"
    # A leak of one object per call would show as ROUNDS blocks, one of a few bytes as ROUNDS * 4 bytes.
    assert min(r[1] for r in rounds) < ROUNDS // 10 and min(r[2] for r in rounds) < 64 * 1024 + ROUNDS * 4, rounds
