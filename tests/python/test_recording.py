import inspect
import math
import weakref

import pytest

from veltrix.core import veltrix_core as vc
from conftest import panic_type


def test_module_surface():
    assert vc.__all__[:2] == ["GraphStore", "PayloadDescriptor"]
    assert vc.__all__[-1] == "version"
    assert vc.version() == "0.0.6"
    assert vc.__doc__ == ""
    assert vc.version.__doc__ is None or vc.version.__doc__ == ""
    assert str(inspect.signature(vc.version)) == "()"


def test_hash_consing_gives_one_id(store):
    x = store.add_source("x")
    assert store.add_source("x") == x
    assert store.node_count() == 1
    a = store.add_op("add", [x, x])
    assert store.add_op("add", (x, x)) == a
    assert store.add_op("add", range(0, 1)) != a
    assert store.node_count() == 3
    assert store.outputs() == []


def test_ids_are_dense_and_order_matters(store):
    a, b = store.add_source("a"), store.add_source("b")
    assert (a, b) == (0, 1)
    assert store.add_op("add", [a, b]) != store.add_op("add", [b, a])
    assert store.add_reduction("add", [a, b]) != store.add_op("add", [a, b])


@pytest.mark.parametrize(
    "params",
    [None, {}, {"b": 1, "a": 2}, {"a": 2, "b": 1}],
)
def test_params_normalise(store, params):
    base = store.add_source("s", {"a": 2, "b": 1} if params and len(params) else None)
    assert store.add_source("s", params) == base
    assert store.add_source(name="s", params=params) == base


def test_param_types_are_distinct(store):
    ids = {store.add_source("s", {"v": v}) for v in (True, 1, 1.0, "1")}
    assert len(ids) == 4
    big = store.add_source("s", {"v": 2**70})
    assert store.add_source("s", {"v": float(2**70)}) == big
    assert store.add_source("s", {"v": 0.0}) != store.add_source("s", {"v": -0.0})
    nan1 = store.add_source("s", {"v": math.nan})
    nan2 = store.add_source("s", {"v": -math.nan})
    assert nan1 == nan2


class PlainDict(dict):
    """Same items, but never read in place: takes the general conversion."""


@pytest.mark.parametrize(
    "params",
    [
        {"side": "r"},
        {"b": 1, "a": 2.5, "c": True, "d": "x"},
        {"v": 2**63 - 1, "w": -(2**63)},
        {"v": 2**63},  # does not fit: a float, like the general conversion
        {"v": math.nan, "z": -0.0},
        {"\u00e9": "\u00fc\U0001f600", "": ""},
        {chr(97 + i): i for i in range(8)},
        {chr(97 + i): i for i in range(9)},  # more than the in-place reader takes
    ],
)
@pytest.mark.parametrize("kind", ["source", "op", "exchange"])
def test_small_dicts_read_in_place_match_the_general_conversion(params, kind):
    def add(store, p):
        if kind == "source":
            return store.add_source("s", p)
        if kind == "op":
            return store.add_op("f", [0], p)
        return store.add_exchange([0], p)

    fast, slow = vc.GraphStore(), vc.GraphStore()
    for store in (fast, slow):
        store.add_source("root")
    assert add(fast, dict(params)) == add(slow, PlainDict(params))
    assert add(fast, PlainDict(reversed(list(params.items())))) == add(fast, dict(params))
    assert fast.serialize() == slow.serialize()
    assert fast.node_count() == 2


def test_in_place_reader_falls_back_for_every_other_value(store):
    # A key of a str subclass, and values that need the general conversion.
    class Key(str):
        pass

    assert store.add_source("s", {Key("v"): 1}) == store.add_source("s", {"v": 1})
    assert store.add_source("s", {"v": Index(3), "w": 1}) == store.add_source("s", {"w": 1, "v": 3})
    with pytest.raises(UnicodeEncodeError):
        store.add_source("s", {"\ud800": 1})
    with pytest.raises(UnicodeEncodeError):
        store.add_source("s", {"v": "\ud800"})
    assert store.node_count() == 2


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Floaty:
    def __float__(self):
        return 2.5


def test_param_protocols(store):
    assert store.add_source("s", {"v": Index(3)}) == store.add_source("s", {"v": 3})
    assert store.add_source("s", {"v": Floaty()}) == store.add_source("s", {"v": 2.5})


@pytest.mark.parametrize("value", [10**400, None, b"x", [1], object()])
def test_bad_param_values(store, value):
    with pytest.raises(TypeError, match="^param values must be int, float, bool, or str$") as ei:
        store.add_source("s", {"v": value})
    assert not getattr(ei.value, "__notes__", None)
    assert store.node_count() == 0


@pytest.mark.parametrize(
    "call, exc, message, note",
    [
        (lambda s: s.add_op("f", "01"), TypeError, "Can't extract `str` to `Vec`", "inputs"),
        (lambda s: s.add_op("f", "0"), TypeError, "Can't extract `str` to `Vec`", "inputs"),
        (lambda s: s.add_op("f", {0}), TypeError, None, "inputs"),
        (lambda s: s.add_op("f", {0: 1}), TypeError, None, "inputs"),
        (lambda s: s.add_op("f", iter([0])), TypeError, None, "inputs"),
        (lambda s: s.add_op("f", [-1]), OverflowError, None, "inputs"),
        (lambda s: s.add_op("f", [2**64]), OverflowError, None, "inputs"),
        (lambda s: s.add_op("f", [1.0]), TypeError, None, "inputs"),
        (lambda s: s.add_op(1, [0]), TypeError, None, "name"),
        (lambda s: s.add_source(b"x"), TypeError, None, "name"),
        (lambda s: s.add_op("f", [0], 5), TypeError, "params must be a dict or None", None),
        (lambda s: s.add_op("f", [3], 5), TypeError, "params must be a dict or None", None),
        (lambda s: s.add_op("f", [3]), ValueError, "no node with id 3", None),
        (lambda s: s.add_op("f", [0, 99]), ValueError, "no node with id 99", None),
        (lambda s: s.add_op("f", [7, 99]), ValueError, "no node with id 7", None),
        (lambda s: s.add_source("s", {1: 2}), TypeError, None, None),
        (lambda s: s.add_op("f", "x", 5), TypeError, "Can't extract `str` to `Vec`", "inputs"),
    ],
)
def test_conversion_errors(call, exc, message, note):
    s = vc.GraphStore()
    s.add_source("a")
    s.add_source("b")
    s.add_source("c")
    with pytest.raises(exc) as ei:
        call(s)
    if message is not None:
        assert str(ei.value) == message
    notes = getattr(ei.value, "__notes__", None)
    assert notes == ([f"while processing '{note}'"] if note else None)
    assert s.node_count() == 3


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: s.add_op("f"), "GraphStore.add_op() missing 1 required positional argument: 'inputs'"),
        (lambda s: s.add_op(), "GraphStore.add_op() missing 2 required positional arguments: 'name' and 'inputs'"),
        (lambda s: s.add_op("f", [], None, 1),
         "GraphStore.add_op() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda s: s.add_source("a", None, 1),
         "GraphStore.add_source() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda s: s.add_op("f", [], bogus=1), "GraphStore.add_op() got an unexpected keyword argument 'bogus'"),
        (lambda s: s.add_op("f", [], name="g"), "GraphStore.add_op() got multiple values for argument 'name'"),
        (lambda s: s.add_reduction(inputs=[]),
         "GraphStore.add_reduction() missing 1 required positional argument: 'name'"),
        (lambda s: vc.GraphStore(1), "GraphStore.__new__() takes 0 positional arguments but 1 was given"),
        (lambda s: vc.GraphStore(x=1), "GraphStore.__new__() got an unexpected keyword argument 'x'"),
    ],
)
def test_argument_parsing_messages(store, call, message):
    with pytest.raises(TypeError) as ei:
        call(store)
    assert str(ei.value) == message


def test_keywords_are_accepted(store):
    x = store.add_source(name="x", params={"k": 1})
    assert store.add_op(params=None, inputs=[x], name="neg") == store.add_op("neg", [x])


def test_dict_changing_during_conversion_is_an_internal_failure(store):
    panic = panic_type()
    assert panic.__name__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)

    class Mutate:
        def __init__(self, d):
            self.d = d

        def __index__(self):
            # Same size, but the iteration now yields one item more.
            del self.d["a"]
            self.d["c"] = 3
            return 1

    params = {"a": 0, "b": 2}
    params["a"] = Mutate(params)
    with pytest.raises(panic, match="^dictionary keys changed during iteration$"):
        store.add_source("s", params)
    assert store.node_count() == 0
    # The store is not affected: the failure happened before it was touched.
    assert store.add_source("s") == 0


@pytest.mark.parametrize("cls", [vc.GraphStore, vc.PayloadDescriptor])
def test_class_properties(cls):
    assert cls.__name__ == cls.__qualname__
    assert cls.__module__ == "veltrix.core.veltrix_core"
    assert cls.__base__ is object
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = 1


def test_instances_are_closed(store):
    with pytest.raises(AttributeError):
        store.anything = 1
    with pytest.raises(AttributeError):
        store.__dict__
    with pytest.raises(TypeError):
        weakref.ref(store)


@pytest.mark.parametrize(
    "method, signature, body",
    [
        ("add_source", "(name, params=None)", ""),
        ("add_op", "(name, inputs, params=None)", ""),
        ("add_reduction", "(name, inputs, params=None)", ""),
        ("node_count", "()", ""),
        ("outputs", "()", "The marked output node ids, in mark order (what an IR evaluator returns, in order)."),
    ],
)
def test_docstrings_and_signatures(store, method, signature, body):
    bound = getattr(store, method)
    assert str(inspect.signature(bound)) == signature
    assert (bound.__doc__ or "") == body


def test_class_docstring():
    assert vc.GraphStore.__doc__ == (
        "Thread-safe interned graph store (frozen pyclass: interior mutability via a Mutex, safe to\n"
        "share across threads under the GIL and free-threaded 3.14t)."
    )
    assert str(inspect.signature(vc.GraphStore)) == "()"


def test_no_arg_methods_refuse_arguments(store):
    with pytest.raises(TypeError):
        store.node_count(1)
    with pytest.raises(TypeError):
        store.outputs(x=1)


def test_entry_points_exported():
    import ctypes
    import sys

    lib = ctypes.CDLL(vc.__file__)
    assert hasattr(lib, "PyInit_veltrix_core")
    assert hasattr(lib, "PyModExport_veltrix_core") == (sys.version_info >= (3, 15))


def test_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_interpreters")
    interp = interpreters.create()
    try:
        failure = interpreters.run_string(interp, "import veltrix.core.veltrix_core")
    finally:
        interpreters.destroy(interp)
    assert failure is not None
    assert failure.type.__name__ == "ImportError"
