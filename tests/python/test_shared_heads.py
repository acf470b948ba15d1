"""Nodes that differ only by their inputs share their name and parameters
inside the store; the views must still hand out independent objects."""

import pytest

from veltrix.core import veltrix_core as vc


@pytest.fixture
def shared():
    s = vc.GraphStore()
    a = s.add_source("a")
    b = s.add_source("b")
    for x, y in [(a, b), (b, a), (a, a)]:
        s.add_op("add", [x, y], {"side": "r", "scalar": 0.5})
    s.add_exchange([2], {"scheme": "hash"})
    s.add_exchange([3], {"scheme": "hash"})
    return s


def test_node_dicts_are_independent(shared):
    first = shared.nodes()
    ops = [n for n in first if n["kind"] == "op"]
    assert [n["params"] for n in ops] == [{"scalar": 0.5, "side": "r"}] * 3
    assert len({id(n["params"]) for n in ops}) == 3
    # Changing one view's dicts changes neither its neighbours nor the next view.
    ops[0]["params"]["side"] = "l"
    ops[0]["inputs"].append(99)
    ops[1]["name"] = "mul"
    assert ops[2]["params"] == {"scalar": 0.5, "side": "r"}
    second = shared.nodes()
    assert second[2] == {"id": 2, "output": False, "inputs": [0, 1], "kind": "op", "name": "add",
                         "params": {"scalar": 0.5, "side": "r"}}
    assert list(second[5]) == ["id", "output", "inputs", "kind", "name", "params"]
    assert [n["inputs"] for n in second[2:]] == [[0, 1], [1, 0], [0, 0], [2], [3]]


@pytest.mark.parametrize("params", [None, {}, {"side": "r"}, {"k": 1, "a": True, "z": "s", "f": -0.0}])
def test_recording_by_parts_agrees_with_a_fresh_store(params):
    s = vc.GraphStore()
    s.add_source("x")
    ids = [s.add_op("f", [0], params), s.add_op("f", [0, 0], params), s.add_op("f", [0], params)]
    assert ids == [1, 2, 1]
    again = vc.GraphStore.deserialize(s.serialize())
    assert again.nodes() == s.nodes()
    assert again.add_op("f", [0, 0], params) == 2
    assert again.add_op("f", (0, 0, 0), params) == 3
