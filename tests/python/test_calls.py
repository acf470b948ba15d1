"""Every public call with bad and hostile arguments (objects whose protocols raise, lie or reenter) ends in
its exact exception, message and note, leaving the store and reducer as they were; no call leaks."""

import contextlib
import copy
import ctypes
import gc
import pickle
import struct
import sys
import weakref

import pytest

from veltrix.core import veltrix_core as vc
from conftest import DESC, PANIC, SANITIZED, SIGNATURES, Index, PlainDict, growing_params, mutating, stage_blob


Boom = type("Boom", (Exception,), {})


def throw(exc):
    raise exc


def broken(items):
    yield items[0]
    raise Boom("iteration failed midway")


def fresh():
    s = vc.GraphStore()
    s.add_op("neg", [s.add_source("x")], {"p": 1})
    return s


boom = lambda *_: throw(Boom("raised by the caller's object"))  # noqa: E731
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
                                     "on_eq": lambda self: False})
twin_dict = lambda twin, **extra: {**{k: v for k, v in DESC.items() if k != "kind"}, twin: 1, **extra}  # noqa: E731
# A descriptor dict that its own key empties during the lookup of "kind".
emptied_descriptor = lambda: (d := twin_dict(t := KindTwin("x"), kind="k"), setattr(t, "on_eq", d.clear))[0]  # noqa
state = lambda s, r: (s.node_count(), s.serialize(), s.to_dot(), r.watermark(), r.total_work(),  # noqa: E731
                      r.canonical_count())
conv = lambda kind, to: f"'{kind}' object cannot be converted to '{to}'"  # noqa: E731
FakeNumpyBool = type("bool_", (), {"__module__": "numpy", "__bool__": boom})
ModuleRaises = type("M", (type,), {"__module__": property(boom)})("bool_", (), {})


def parsing_errors():
    """Calls that break a method's signature, with the messages the host's conventions give them."""
    for qual, sig in SIGNATURES.items():
        cls, method = qual.split(".")
        fn, call = qual + "()", f"vc.{cls}" if method == "__new__" else ("s." if cls == "GraphStore" else "r.") + method
        head, tail = ([p.strip() for p in part.split(",") if p.strip()] for part in sig[1:-1].partition("*")[::2])
        names, needed = [p.split("=")[0] for p in head], [p for p in head if "=" not in p]
        needed_kw = [p for p in tail if "=" not in p]
        if sig == "()" and method != "__new__":
            yield f"{call}(0)", f"{fn} takes no arguments (1 given)"
            yield f"{call}(x=0)", f"{fn} takes no keyword arguments"
            continue
        n, span = len(names) + 1, f"from {len(needed)} to {len(names)}" if needed != head else str(len(names))
        yield f"{call}({'0, ' * n})", f"{fn} takes {span}{POS}{n} {'was' if n == 1 else 'were'} given"
        yield f"{call}({'0, ' * len(needed)}{''.join(k + '=0, ' for k in needed_kw)}x=0)", f"{fn}{KW}'x'"
        if names:
            yield f"{call}(0, {names[0]}=0)", f"{fn} got multiple values for argument '{names[0]}'"
        missing, what = needed or needed_kw, "positional" if needed else "keyword"
        for args, left in ("", missing), (f"{missing[-1]}=0" if missing else "", missing[:-1]), ("0", needed[1:]):
            q = [f"'{k}'" for k in left]  # none given, the last one given by keyword, the first one given
            listed = " and ".join(q) if len(q) < 3 else ", ".join(q[:-1]) + ", and " + q[-1]
            if q:
                yield f"{call}({args})", f"{fn} missing {len(q)} required {what} argument{'s' * (len(q) > 1)}: {listed}"


PD = vc.PayloadDescriptor(**DESC)
EMPTY = b"VIR1" + bytes(8)
NOT_VEC, VALUES, NO_DICT = "Can't extract `str` to `Vec`", "param values must be int, float, bool, or str", \
    "params must be a dict or None"
NO_ID, MISSING, IN = "no node with id ", "descriptor missing required field ", "inputs"
POS, KW = " positional arguments but ", " got an unexpected keyword argument "
KEYS_CHANGED, SIZE_CHANGED = "dictionary keys changed during iteration", "dictionary changed size during iteration"
# (call on a store of two nodes s and a fresh reducer r, exception, exact message or None, note's argument or None)
ERRORS = [
    ('s.add_op("f", [Index(boom)])', Boom, "raised by the caller's object", IN),
    ('s.add_op("f", [-1])', OverflowError, None, IN),
    ('s.add_op("f", [2**64])', OverflowError, None, IN),
    ('s.add_op("f", [1.0])', TypeError, None, IN),
    ('s.add_op("f", [2**64 - 1])', ValueError, NO_ID + "18446744073709551615", None),
    ('s.add_op("f", [2])', ValueError, NO_ID + "2", None),
    ('s.add_op("f", [True, 99, 7])', ValueError, NO_ID + "99", None),  # the first missing one; a bool is an id
    ('s.add_op("f", Seq([0, 1], 2, broken))', Boom, "iteration failed midway", IN),
    ('s.add_op("f", (i for i in [0]))', TypeError, conv("generator", "Sequence"), IN),
    ("s.add_join({0, 1})", TypeError, conv("set", "Sequence"), IN),
    ('s.add_join(TextLike("01"))', TypeError, NOT_VEC, IN),
    ('s.add_op("f", "x", 5)', TypeError, NOT_VEC, IN),  # inputs are converted before params,
    ('s.add_op("f", [3], 5)', TypeError, NO_DICT, None),  # and params before ids are checked
    ('s.add_join(b"\\x05")', ValueError, NO_ID + "5", None),
    ("s.add_op(1, [0])", TypeError, conv("int", "str"), "name"),
    ('s.add_source("\\ud800")', UnicodeEncodeError, None, "name"),
    ('s.add_source("x", {"\\udfff": 1})', UnicodeEncodeError, None, None),
    ('s.add_source("x", {1: 1})', TypeError, conv("int", "str"), None),
    ('s.add_source("x", {"v": Float(boom)})', TypeError, VALUES, None),
    ('s.add_source("x", {"v": Float(lambda: "1")})', TypeError, VALUES, None),
    ('s.add_op("f", [0], {"v": 10**400})', TypeError, VALUES, None),
    ('s.add_exchange([0], PlainDict(a=1, v=None))', TypeError, VALUES, None),
    ('s.add_join([0], {"v": [1], "w": 1})', TypeError, VALUES, None),
    ('s.add_source("x", {"v": "\\ud800"})', UnicodeEncodeError, None, None),
    ('s.add_source("x", 5)', TypeError, NO_DICT, None),
    ('s.add_source("x", vars(type))', TypeError, NO_DICT, None),  # a mapping, but no dict
    ('s.add_source("x", growing_params())', PANIC, SIZE_CHANGED, None),
    ('s.add_source("x", mutating(lambda p: p.pop("b"), PlainDict))', PANIC, SIZE_CHANGED, None),
    # Same size, but the iteration now yields one item more, not even a valid value: it must not be converted.
    ('s.add_op("x", [0], mutating(lambda p: (p.pop("a"), p.update(c=0))))', PANIC, KEYS_CHANGED, None),
    ('s.add_source("x", mutating(lambda p: (p.pop("a"), p.update(c=0)), PlainDict))', PANIC, KEYS_CHANGED, None),
    ("s.add_join([Index(lambda: throw(KeyboardInterrupt()))])", KeyboardInterrupt, None, IN),
    ("s.reduce(outputs=Seq([Index(lambda: throw(SystemExit()))], 1))", SystemExit, None, "outputs"),
    ('s.add_external(twin_dict(type("Raises", (KindTwin,), {"on_eq": boom})("o")), [0])', Boom, None, None),
    ("s.add_external(emptied_descriptor(), [0])", ValueError, MISSING + "'kind'", None),
    ('s.add_external(Missing(kind="k"), [0])', ValueError, MISSING + "'content_hash'", None),
    ('s.add_external({"content_hash": "h", "version": "1"}, [])', ValueError, MISSING + "'kind'", None),
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
    *[(code.format(c), TypeError, None, None) for c in ("GraphStore", "PayloadDescriptor", "IncrementalReducer")
      for code in ('type("Sub", (vc.{},), {{}})', 'setattr(vc.{}, "extra", 1)')],  # closed classes and objects
    *[(c, TypeError, None, None) for c in ("weakref.ref(s)", "copy.copy(r)", "copy.deepcopy(r)", "pickle.dumps(r)")],
    *[(c, AttributeError, None, None) for c in ('setattr(s, "x", 1)', "s.__dict__", 'setattr(PD, "kind", "")')],
    ("s.serialize(outputs=[Index(boom)])", Boom, None, "outputs"),
    ("s.serialize(outputs=[0, 2])", ValueError, NO_ID + "2", None),
    ('s.serialize(outputs="0")', TypeError, NOT_VEC, "outputs"),
    *[(f"s.{call}", exc, message, note) for call, exc, message, note in [
        ("fingerprint([1, 2, 9])", ValueError, NO_ID + "2", None), ('fingerprint("0")', TypeError, NOT_VEC, "outputs"),
        ("node_fingerprints(ids=[5])", ValueError, NO_ID + "5", None), ("_nodes([0, -1])", OverflowError, None, "ids"),
        ('node_fingerprints("01")', TypeError, NOT_VEC, "ids"),
        ("_nodes({0})", TypeError, conv("set", "Sequence"), "ids")]],
    ('vc.GraphStore._restore(EMPTY, b"\\x01")', ValueError, "truncated veltrix IR blob", None),
    ("vc.GraphStore._restore(EMPTY, bytearray())", TypeError, conv("bytearray", "PyBytes"), "node_map"),
    ('vc.GraphStore._restore(EMPTY, struct.pack("<QBQ", 1, 1, 99))', ValueError, "node reference 99 out of range", None),
    *[(f"vc.GraphStore.deserialize({d})", TypeError, conv(t, "PyBytes"), "data") for d, t in [
        ("bytearray(EMPTY)", "bytearray"), ('"VIR1"', "str")]],
    ('vc.GraphStore.deserialize(b"VIR2")', ValueError, "not a veltrix IR blob (bad magic/version)", None),
    ('vc.GraphStore.deserialize(b"VIR1\\x01\\0\\0\\0\\x09")', ValueError, "invalid node tag 9", None),
    ("vc.GraphStore.deserialize(stage_blob('bad\"\\\\x')).nodes()", ValueError,
     'unparseable stage member token "bad\\"\\\\x"', None),
    ("s.reduce(maximal_fusion=1)", TypeError, conv("int", "PyBool"), "maximal_fusion"),
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
    ("r.step(s.nodes())", TypeError, conv("list", "GraphStore"), "store"),
    ('r.finalize(s, maximal_fusion="yes")', TypeError, conv("str", "PyBool"), "maximal_fusion"),
    ("r.finalize(s, outputs=[2])", ValueError, NO_ID + "2", None),
    ("r.finalize(s, outputs=Seq([0, 1], 2, broken))", Boom, "iteration failed midway", "outputs"),
    *[(call, TypeError, message, None) for call, message in parsing_errors()],
]


@pytest.mark.parametrize("call, exc, message, note", ERRORS)
def test_errors_leave_store_and_reducer_unchanged(call, exc, message, note):
    s, r = fresh(), vc.IncrementalReducer()
    before = state(s, r)
    with pytest.raises(exc) as info:
        eval(call, globals(), {"s": s, "r": r})
    assert (type(info.value), message and str(info.value)) == (exc, message)
    assert getattr(info.value, "__notes__", None) == (None if note is None else [f"while processing '{note}'"])
    assert state(s, r) == before
    assert s.add_source("usable") == 2  # the store is not poisoned


def clearing_list():  # a list whose first element empties it while being converted
    items = [0, 0]
    return items.insert(0, Index(lambda: (items.clear(), 1)[1])) or items


@pytest.mark.parametrize("inputs, expected", [
    (Seq([0, 0], 1 << 60), [0, 0]), (Seq([0, 1], 0), [0, 1]), (Seq([1], Boom("len")), [1]),
    ([Index(lambda: 1), 0], [1, 0]), (range(2), [0, 1]), (b"\x00\x01", [0, 1]), (clearing_list(), [1])],
    ids=["len lies high", "len lies low", "len raises", "index", "range", "bytes", "list emptied midway"])
def test_inputs_are_read_by_iteration_not_by_len(inputs, expected):
    s = fresh()
    node = s.add_join(inputs)
    assert s.nodes()[node]["inputs"] == expected


def test_param_values_by_their_protocols_and_nan_bits():
    s, bits = fresh(), struct.pack("<Q", 0xFFF0_0000_0000_0ABC)
    values = {"f": Float(lambda: 2.5), "huge": 2**64, "min": -(2**63), "nan": struct.unpack("<d", bits)[0],
              "str": TextLike("t"), "idx": Index(lambda: -1), "big": Index(lambda: 2**70)}
    node = s.add_source("x", values)
    p = s.nodes()[node]["params"]
    assert p == {"big": 2.0**70, "f": 2.5, "huge": 2.0**64, "idx": -1, "min": -(2**63), "nan": p["nan"], "str": "t"}
    assert [type(p[k]) for k in ("big", "idx", "min", "str")] == [float, int, int, str]
    # The first NaN recorded keeps its bits; every later NaN is the same value.
    assert s.add_source("x", {**values, "nan": -float("nan")}) == node
    back = vc.GraphStore.deserialize(s.serialize())
    assert (back.serialize(), struct.pack("<d", back.nodes()[node]["params"]["nan"])) == (s.serialize(), bits)


def test_dict_changed_during_conversion_gives_one_consistent_node():
    s = fresh()  # keeping its size and later keys
    node = s.add_source("y", mutating(lambda p: (p.pop("b"), p.update(c=3))))
    assert (s.nodes()[node]["params"], PANIC.__name__, PANIC.__bases__) == ({"a": 1, "c": 3}, "PanicException",
                                                                            (BaseException,))


def test_dict_and_str_subclasses_are_read_by_their_stored_contents():
    s = fresh()
    plain, d, sub = s.add_source("x", {"a": 1}), s.add_external(DESC, []), type("Sub", (str,), {})
    assert s.add_source("x", ItemsLie(a=1)) == s.add_source("x", {TextLike("a"): 1}) == plain
    assert s.add_op(TextLike("neg"), [0]) == s.add_op("neg", [0])
    assert s.add_external(Missing(DESC), []) == s.add_external({sub(k): TextLike(v) for k, v in DESC.items()}, []) == d


def test_nul_and_long_texts_survive_views_dot_and_blobs():
    s, name = fresh(), "\u00e9\0" * 500_000 + "\U0001f600"
    node = s.add_source(name, {"k\0": "v\0" * 1000})
    assert (s.nodes()[node]["name"], name in s.to_dot()) == (name, True)
    assert vc.GraphStore.deserialize(s.serialize()).nodes()[node] == s.nodes()[node]


def test_conversions_may_reenter_the_same_objects():
    """Python code run by a conversion can use the store and reducer: no lock is held while it runs."""
    s, r = fresh(), vc.IncrementalReducer()
    node = s.add_op("abs", [Index(lambda: (r.step(s), s.add_op("neg", [1]))[1])])
    assert (s.nodes()[node]["inputs"], r.watermark()) == ([2], 2)
    store, report = r.finalize(s, outputs=[Index(lambda: (r.step(s), s.add_source("late"), 0)[2])])
    assert (report["input_nodes"], r.watermark(), s.node_count(), r.total_work()) == (r.canonical_count(), 5, 5, 5)
    assert s.reduce(outputs=[Index(lambda: s.add_source("later"))])[0].node_count() == 1


# Leaks: each call runs ROUNDS times, three times over; a real leak grows in
# every round, while interpreter caches may add a few blocks once. The
# arguments are built at run time, so that none of them is immortal.
ROUNDS = 300 if SANITIZED else 1000
LIBC, HEAP = ctypes.CDLL(None), lambda: 0
if not SANITIZED and hasattr(LIBC, "mallinfo2"):  # bytes in use on the C heap (glibc): hblkhd + uordblks
    LIBC.mallinfo2.restype = type("Mallinfo2", (ctypes.Structure,), {"_fields_": [("f", ctypes.c_size_t * 10)]})
    HEAP = lambda: (lambda f: f[4] + f[7])(LIBC.mallinfo2().f)  # noqa: E731
LEAK_DESC = {k: "".join([v, "_"]) for k, v in DESC.items()}
PARAMS = {"".join([k, "_"]): v for k, v in dict(i=int("1234567"), f=float("2.5"), b=True, s="".join("tt")).items()}
GENERAL, INPUTS, INDEXED, PDL = PlainDict(PARAMS), [0, 1], [Index(lambda: 0)], vc.PayloadDescriptor(**LEAK_DESC)
STORE = fresh()
STORE.add_external(LEAK_DESC, [STORE.add_join(INPUTS, PARAMS)])
BLOB = STORE.serialize(outputs=[3])
MARKED, REDUCER = vc.GraphStore.deserialize(BLOB), vc.IncrementalReducer()
REDUCED = MARKED.reduce()[0]
# (calls, objects whose reference counts must not move)
CALLS = [
    (lambda: (vc.version(), vc.GraphStore(), vc.IncrementalReducer(), vc.PayloadDescriptor(**LEAK_DESC), PDL.kind,
              PDL.content_hash, PDL.framework, PDL.version, PDL.io_schema, PDL.preprocessing_ref),
     (PDL, *LEAK_DESC.values())),
    (lambda: (STORE.add_source("x", PARAMS), STORE.add_source("x", GENERAL), STORE.add_source(name="y", params=None),
              STORE.add_op("add", INPUTS), STORE.add_reduction("sum", (0, 1)), STORE.add_op("add", INDEXED),
              STORE.add_external(LEAK_DESC, [2]), STORE.add_external(PDL, [2]), STORE.add_join([1, 0]),
              STORE.add_exchange([3], {"scheme": "hash"})),
     (PARAMS, GENERAL, *PARAMS, *PARAMS.values(), INPUTS, INDEXED, *INDEXED, LEAK_DESC, PDL, *LEAK_DESC.values())),
    (lambda: (STORE.node_count(), MARKED.outputs(), STORE.nodes(), REDUCED.nodes(), REDUCED.node_map(), STORE.to_dot(),
              STORE.serialize(), STORE.serialize(outputs=INPUTS), vc.GraphStore.deserialize(BLOB)), (INPUTS, BLOB)),
    (lambda: (STORE.fingerprint(INPUTS), REDUCED.fingerprint(), STORE.node_fingerprints(), STORE._nodes(ids=INPUTS),
              MARKED.node_fingerprints(INPUTS), pickle.loads(pickle.dumps(REDUCED)), copy.deepcopy(MARKED),
              pickle.loads(pickle.dumps(PDL)), copy.copy(PDL)), (INPUTS, REDUCED, MARKED, PDL)),
    (lambda: (MARKED.reduce(), MARKED.reduce(maximal_fusion=True, outputs=[3]), MARKED.reduction_report(),
              MARKED.reduce_incremental(outputs=[3]), REDUCER.step(MARKED), REDUCER.step(vc.GraphStore()),
              REDUCER.watermark(), REDUCER.total_work(), REDUCER.canonical_count(),
              REDUCER.finalize(MARKED, outputs=[3]), REDUCER.finalize(MARKED, maximal_fusion=True, outputs=[3, 3])),
     (MARKED, REDUCER)),
]


def quietly(call, exc):
    """An ERRORS row's call on a store and reducer of its own, its exception caught."""
    code, names = compile(call, call, "eval"), {"s": fresh(), "r": vc.IncrementalReducer()}

    def run():
        with contextlib.suppress(exc):
            eval(code, globals(), names)
    return run


def rounds(call, watched=()):
    """Per round of ROUNDS calls: how far the watched reference counts, the interpreter's blocks and the C heap grew.
    A free-threaded interpreter frees the storage of some lists and dicts only at a later collection, which the
    second gc.collect() is."""
    for _ in range(50):
        call()
    out = []
    for _ in range(3):
        gc.collect(), gc.collect()
        refs, blocks, heap = [sys.getrefcount(o) for o in watched], sys.getallocatedblocks(), HEAP()
        for _ in range(ROUNDS):
            call()
        gc.collect(), gc.collect()
        after = [sys.getrefcount(o) for o in watched]
        out.append(([a - b for a, b in zip(after, refs)], sys.getallocatedblocks() - blocks, HEAP() - heap))
    return out


def noted():
    """Pure Python shaped like a call whose argument conversion runs Python code that raises and gets our note."""
    try:
        boom()
    except Boom as e:
        e.add_note("while processing 'inputs'")


@pytest.fixture(scope="module")
def control_blocks():
    """Blocks that the interpreter itself leaves behind per round: what noted() grows by on a free-threaded
    interpreter (its deferred freeing can outlast the collections), nothing on an interpreter with a GIL."""
    return min(r[1] for r in rounds(noted)) if not getattr(sys, "_is_gil_enabled", lambda: True)() else 0


@pytest.mark.parametrize("call, watched", CALLS + [(quietly(c, e), ()) for c, e, *_ in ERRORS])
def test_no_leaks(call, watched, control_blocks):
    measured = rounds(call, watched)
    assert any(not any(r[0]) for r in measured), f"reference counts grew: {measured}"
    # A leak of one object per call would show as ROUNDS blocks, one of eight bytes as ROUNDS * 8 bytes; the
    # interpreter's own caches warm up by a few dozen blocks over the first rounds of calls that raise.
    assert min(r[1] for r in measured) < control_blocks + ROUNDS // 4, (measured, control_blocks)
    assert min(r[2] for r in measured) < ROUNDS * 8, measured
