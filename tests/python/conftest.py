import inspect
import os
import struct

from veltrix.core import veltrix_core as vc

SANITIZED = bool(os.environ.get("VELTRIX_SANITIZED"))
DESC = dict(kind="k", content_hash="h", framework="f", version="1", io_schema="s")
REPORT_KEYS = ["input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes", "boundary_nodes"]
PlainDict = type("PlainDict", (dict,), {})  # never read in place: takes the general conversion
CLASSES = (vc.GraphStore, vc.IncrementalReducer, vc.PayloadDescriptor)


def parameters(obj):  # a callable's parameters as the module reports them, without self
    sig = inspect.signature(obj)
    return sig.replace(parameters=[p for p in sig.parameters.values() if p.name != "self"])


# Every method's text signature: positional parameters (with a default when optional), then keyword-only ones.
SIGNATURES = {f"{cls.__name__}.{name}": str(parameters(cls if name == "__new__" else getattr(cls, name)))
              for cls in CLASSES for name in ["__new__", *vars(cls)]
              if name == "__new__" or not name.startswith("__") and callable(getattr(cls, name))}


# An id given through __index__, computed by a call when it is read.
Index = type("Index", (), {"__init__": lambda self, fn: setattr(self, "fn", fn), "__index__": lambda self: self.fn()})
# Params whose first value's __index__ changes the dict being converted; growing_params gain a key: an internal failure.
mutating = lambda change, cls=dict: (p := cls(a=None, b=2)).update(a=Index(lambda: (change(p), 1)[1])) or p  # noqa
growing_params = lambda: mutating(lambda p: p.update(z=1))  # noqa: E731


try:  # the module's internal-failure exception class, not exported by name
    vc.GraphStore().add_source("s", growing_params())
except BaseException as exc:  # noqa: BLE001
    PANIC = type(exc)


def stage_blob(first_member="op|neg"):
    """The blob of a source and a stage of two members, marked; the first member's token replaced."""
    s, token = vc.GraphStore(), lambda text: struct.pack("<I", len(text)) + text.encode()
    s.add_op("add", [s.add_op("neg", [s.add_source("x")])], {"scalar": 1.0, "side": "r"})
    return s.reduce(outputs=[2])[0].serialize().replace(token("op|neg"), token(first_member))


def check_report(rep):  # the six counters, in their fixed order, and the bounds between them
    assert (list(rep), rep["reduced_nodes"]) == (REPORT_KEYS, rep["stages"] + rep["boundary_nodes"])
    assert rep["reduced_nodes"] <= rep["canonical_nodes"] <= rep["reachable_nodes"] <= rep["input_nodes"]


def same_result(a, b):  # two reduction results (store, report) are the same
    assert (a[0].serialize(), a[0].node_map(), a[1]) == (b[0].serialize(), b[0].node_map(), b[1])


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: long-running scale and stress tests (deselect with -m 'not slow')")
