import os
import struct

from veltrix.core import veltrix_core as vc

SANITIZED = bool(os.environ.get("VELTRIX_SANITIZED"))
DESC = dict(kind="k", content_hash="h", framework="f", version="1", io_schema="s")
REPORT_KEYS = ["input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes", "boundary_nodes"]


PlainDict = type("PlainDict", (dict,), {})  # never read in place: takes the general conversion


class Index:
    """An id given through __index__, computed by a call when it is read."""

    def __init__(self, fn):
        self.fn = fn

    def __index__(self):
        return self.fn()


def growing_params():
    """A params dict that gains a key while it is being converted: an
    internal failure of the call that converts it."""
    params = {"a": None, "b": 2}
    params["a"] = Index(lambda: (params.__setitem__("z", 1), 1)[1])
    return params


try:  # the module's internal-failure exception class, not exported by name
    vc.GraphStore().add_source("s", growing_params())
except BaseException as exc:  # noqa: BLE001
    PANIC = type(exc)


def stage_blob(first_member="op|neg"):
    """A hand-made blob with a source, a stage of two members and an output."""
    def text(t):
        return struct.pack("<I", len(t)) + t.encode()

    return b"".join([
        b"VIR1", struct.pack("<I", 2), b"\x00", text("x"), struct.pack("<I", 0),  # source x, no params
        b"\x04", struct.pack("<IQI", 1, 0, 2),  # stage, inputs [0], 2 members
        text(first_member), struct.pack("<I", 1), b"\x00", struct.pack("<I", 0),
        text("op|add|scalar=f3ff0000000000000;side=sr"), struct.pack("<I", 1), b"\x01", struct.pack("<I", 0),
        struct.pack("<IQ", 1, 1)])  # outputs [1]


def check_report(rep):
    """The six counters, in their fixed order, and the bounds between them."""
    assert list(rep) == REPORT_KEYS and rep["reduced_nodes"] == rep["stages"] + rep["boundary_nodes"]
    assert rep["reduced_nodes"] <= rep["canonical_nodes"] <= rep["reachable_nodes"] <= rep["input_nodes"]


def same_result(a, b):
    """Two reduction results (store, report) are the same."""
    assert a[0].serialize() == b[0].serialize() and a[0].node_map() == b[0].node_map() and a[1] == b[1]


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: long-running scale and stress tests (deselect with -m 'not slow')")
