import pytest

from veltrix.core import veltrix_core as vc


@pytest.fixture
def store():
    return vc.GraphStore()


def panic_type():
    """The module's internal-failure exception class (not exported by name)."""
    try:
        vc.GraphStore().add_op("x", [0])
    except ValueError:
        pass
    # Provoke an internal failure through a params dict that changes size
    # while it is being converted.
    class Grow:
        def __index__(self):
            params["z"] = 1
            return 1

    params = {"a": Grow(), "b": 2}
    try:
        vc.GraphStore().add_source("s", params)
    except BaseException as exc:  # noqa: BLE001 - we want the exact class
        return type(exc)
    raise AssertionError("no internal failure")


REPORT_KEYS = ["input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes", "boundary_nodes"]


def check_report(rep):
    """The six counters, in their fixed order, and the bounds between them."""
    assert list(rep) == REPORT_KEYS
    assert rep["reduced_nodes"] == rep["stages"] + rep["boundary_nodes"]
    assert rep["reduced_nodes"] <= rep["canonical_nodes"] <= rep["reachable_nodes"] <= rep["input_nodes"]


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: long-running scale and stress tests (deselect with -m 'not slow')")
