import struct

import pytest

from veltrix.core import veltrix_core as vc


@pytest.fixture
def store():
    return vc.GraphStore()


def growing_params():
    """A params dict that gains a key while it is being converted: an
    internal failure of the call that converts it."""
    params = {"a": None, "b": 2}

    class Grow:
        def __index__(self):
            params["z"] = 1
            return 1

    params["a"] = Grow()
    return params


def panic_type():
    """The module's internal-failure exception class (not exported by name)."""
    try:
        vc.GraphStore().add_source("s", growing_params())
    except BaseException as exc:  # noqa: BLE001 - we want the exact class
        return type(exc)
    raise AssertionError("no internal failure")


def stage_blob(first_member="op|neg"):
    """A hand-made blob with a source, a stage of two members and an output."""
    def text(t):
        return struct.pack("<I", len(t)) + t.encode()

    return b"".join([
        b"VIR1", struct.pack("<I", 2),
        b"\x00", text("x"), struct.pack("<I", 0),  # source x, no params
        b"\x04", struct.pack("<IQI", 1, 0, 2),  # stage, inputs [0], 2 members
        text(first_member), struct.pack("<I", 1), b"\x00", struct.pack("<I", 0),
        text("op|add|scalar=f3ff0000000000000;side=sr"), struct.pack("<I", 1), b"\x01", struct.pack("<I", 0),
        struct.pack("<IQ", 1, 1),  # outputs [1]
    ])


REPORT_KEYS = ["input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes", "boundary_nodes"]


def check_report(rep):
    """The six counters, in their fixed order, and the bounds between them."""
    assert list(rep) == REPORT_KEYS
    assert rep["reduced_nodes"] == rep["stages"] + rep["boundary_nodes"]
    assert rep["reduced_nodes"] <= rep["canonical_nodes"] <= rep["reachable_nodes"] <= rep["input_nodes"]


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: long-running scale and stress tests (deselect with -m 'not slow')")
