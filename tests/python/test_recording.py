import inspect
import math
import weakref

import pytest

from veltrix.core import veltrix_core as vc


def test_module_surface():
    assert vc.__all__[:2] == ["GraphStore", "PayloadDescriptor"]
    assert vc.__all__[-1] == "version"
    assert vc.version() == "0.0.6"
    assert vc.__doc__ == ""
    assert vc.version.__doc__ is None or vc.version.__doc__ == ""
    assert str(inspect.signature(vc.version)) == "()"


def test_hash_consing_gives_dense_ids_by_structure(store):
    a, b = store.add_source("a"), store.add_source("b")
    assert (a, b) == (0, 1) and store.add_source(name="a", params=None) == a
    ab = store.add_op("add", [a, b])
    assert store.add_op("add", (a, b)) == ab == store.add_op(params=None, inputs=range(0, 2), name="add")
    assert store.add_op("add", [b, a]) != ab
    assert store.add_reduction("add", [a, b]) != ab
    assert store.node_count() == 5
    assert store.outputs() == []


@pytest.mark.parametrize("params", [None, {}, {"b": 1, "a": 2}, {"a": 2, "b": 1}])
def test_params_normalise(store, params):
    base = store.add_source("s", {"a": 2, "b": 1} if params else None)
    assert store.add_source("s", params) == base
    assert store.add_source(name="s", params=params) == base


def test_param_types_are_distinct(store):
    ids = {store.add_source("s", {"v": v}) for v in (True, 1, 1.0, "1")}
    assert len(ids) == 4
    big = store.add_source("s", {"v": 2**70})
    assert store.add_source("s", {"v": float(2**70)}) == big
    assert store.add_source("s", {"v": 0.0}) != store.add_source("s", {"v": -0.0})
    assert store.add_source("s", {"v": math.nan}) == store.add_source("s", {"v": -math.nan})


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
    add = {"source": lambda s, p: s.add_source("s", p), "op": lambda s, p: s.add_op("f", [0], p),
           "exchange": lambda s, p: s.add_exchange([0], p)}[kind]
    fast, slow = vc.GraphStore(), vc.GraphStore()
    for store in (fast, slow):
        store.add_source("root")
    assert add(fast, dict(params)) == add(slow, PlainDict(params))
    assert add(fast, PlainDict(reversed(list(params.items())))) == add(fast, dict(params))
    assert fast.serialize() == slow.serialize()
    assert fast.node_count() == 2


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
        (lambda s: s.node_count(1), "GraphStore.node_count() takes no arguments (1 given)"),
        (lambda s: s.outputs(x=1), "GraphStore.outputs() takes no keyword arguments"),
        (lambda s: vc.GraphStore(1), "GraphStore.__new__() takes 0 positional arguments but 1 was given"),
        (lambda s: vc.GraphStore(x=1), "GraphStore.__new__() got an unexpected keyword argument 'x'"),
    ],
)
def test_argument_parsing_messages(store, call, message):
    with pytest.raises(TypeError) as ei:
        call(store)
    assert str(ei.value) == message


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


OUTPUTS_DOC = "The marked output node ids, in mark order (what an IR evaluator returns, in order)."


@pytest.mark.parametrize(
    "method, signature, doc",
    [
        ("add_source", "(name, params=None)", ""),
        ("add_op", "(name, inputs, params=None)", ""),
        ("add_reduction", "(name, inputs, params=None)", ""),
        ("add_external", "(descriptor, inputs, params=None)", None),
        ("add_exchange", "(inputs, params=None)", None),
        ("add_join", "(inputs, params=None)", None),
        ("node_count", "()", ""),
        ("outputs", "()", OUTPUTS_DOC),
        ("to_dot", "()", None),
        ("serialize", "(outputs=None)", None),
        ("deserialize", "(data)", None),
        ("nodes", "()", None),
        ("node_map", "()", None),
        ("reduce", "(*, maximal_fusion=False, outputs=None)", None),
        ("reduction_report", "(*, outputs=None)", None),
        ("reduce_incremental", "(*, outputs=None)", None),
    ],
)
def test_signatures_and_docstrings(store, method, signature, doc):
    bound = getattr(store, method)
    assert str(inspect.signature(bound)) == signature
    if doc is not None:
        assert (bound.__doc__ or "") == doc


def test_class_docstring_and_signatures():
    assert vc.GraphStore.__doc__ == (
        "Thread-safe interned graph store (frozen pyclass: interior mutability via a Mutex, safe to\n"
        "share across threads under the GIL and free-threaded 3.14t)."
    )
    assert str(inspect.signature(vc.GraphStore)) == "()"
    assert str(inspect.signature(vc.PayloadDescriptor)) == (
        "(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)"
    )


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
