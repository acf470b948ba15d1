import os
import struct

from veltrix.core import veltrix_core as vc

SANITIZED = bool(os.environ.get("VELTRIX_SANITIZED"))
DESC = dict(kind="k", content_hash="h", framework="f", version="1", io_schema="s")
REPORT_KEYS = ["input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes", "boundary_nodes"]
PlainDict = type("PlainDict", (dict,), {})  # never read in place: takes the general conversion
# Every method's text signature: positional parameters (with a default when optional), then keyword-only ones.
SIGNATURES = {f"{cls}.{method}": sig for cls, methods in {
    "GraphStore": {"__new__": "()", "add_source": "(name, params=None)", "add_op": "(name, inputs, params=None)",
                   "add_reduction": "(name, inputs, params=None)", "add_external": "(descriptor, inputs, params=None)",
                   "add_exchange": "(inputs, params=None)", "add_join": "(inputs, params=None)", "node_count": "()",
                   "outputs": "()", "to_dot": "()", "nodes": "()", "_nodes": "(ids)", "node_map": "()",
                   "serialize": "(outputs=None)", "fingerprint": "(outputs=None)", "node_fingerprints": "(ids=None)",
                   "deserialize": "(data)", "reduce": "(*, maximal_fusion=False, outputs=None)",
                   "reduction_report": "(*, outputs=None)", "reduce_incremental": "(*, outputs=None)"},
    "IncrementalReducer": {"__new__": "()", "step": "(store)", "watermark": "()", "total_work": "()",
                           "canonical_count": "()", "finalize": "(store, *, maximal_fusion=False, outputs=None)"},
    "PayloadDescriptor": {"__new__": "(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)"},
}.items() for method, sig in methods.items()}


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
    assert list(rep) == REPORT_KEYS and rep["reduced_nodes"] == rep["stages"] + rep["boundary_nodes"]
    assert rep["reduced_nodes"] <= rep["canonical_nodes"] <= rep["reachable_nodes"] <= rep["input_nodes"]


def same_result(a, b):  # two reduction results (store, report) are the same
    assert a[0].serialize() == b[0].serialize() and a[0].node_map() == b[0].node_map() and a[1] == b[1]


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: long-running scale and stress tests (deselect with -m 'not slow')")
