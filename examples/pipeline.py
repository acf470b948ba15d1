"""Record a small feature pipeline into a veltrix graph store.

Shows hash-consing (recording the same node twice yields one id), the
boundary nodes (an external model payload, an exchange and a join), the
durable IR blob with its byte-identical round trip, the optimizer (identity
elimination, commutativity, fusion of operation chains into stages), the
incremental reducer, and the DOT pictures before and after reduction.
Files are written to the folder given as the first argument (default: out/).
The saved blobs are for the command-line tool, for example
`python -m veltrix.core info out/pipeline.vir` or
`python -m veltrix.core diff out/pipeline.vir out/pipeline-v2.vir`.
"""

import pathlib
import shutil
import subprocess
import sys

from veltrix.core import veltrix_core as vc


def record(store: vc.GraphStore, model_version: str = "1.19") -> dict[str, int]:
    clicks = store.add_source("clicks", {"format": "parquet", "path": "s3://logs/clicks"})
    users = store.add_source("users", {"format": "parquet", "path": "s3://dim/users"})

    # Feature engineering on the click stream.
    scaled = store.add_op("mul", [clicks], {"scalar": 0.001, "side": "r"})
    shifted = store.add_op("add", [scaled], {"scalar": 0.0, "side": "r"})  # identity: optimizer folds it
    logged = store.add_op("log1p", [shifted])
    both = store.add_op("add", [logged, users])

    # The same expression recorded again by another part of the program.
    again = store.add_op("add", [store.add_op("log1p", [shifted]), users])
    assert again == both, "equal nodes must share one id"
    # The operands the other way round: a different node, which the
    # optimizer merges because "add" without parameters commutes.
    twin = store.add_op("add", [users, logged])
    mean = store.add_reduction("mean", [twin])

    # Partition by user, score with a versioned model, join back.
    by_user = store.add_exchange([both], {"scheme": "hash", "key": "user_id"})
    model = vc.PayloadDescriptor(
        kind="model",
        content_hash="sha256:9f2c1e",
        framework="onnxruntime",
        version=model_version,
        io_schema="f32[n,16]->f32[n]",
        preprocessing_ref="feature-spec@v3",
    )
    scores = store.add_external(model, [by_user], {"batch": 4096})
    joined = store.add_join([scores, users], {"how": "left"})
    total = store.add_reduction("sum", [joined], {"axis": 0})
    return {"clicks": clicks, "both": both, "scores": scores, "total": total, "mean": mean}


def render(dot_file: pathlib.Path) -> None:
    if shutil.which("dot"):
        svg = dot_file.with_suffix(".svg")
        subprocess.run(["dot", "-Tsvg", str(dot_file), "-o", str(svg)], check=True)
        print(f"SVG: {svg}")


def main() -> None:
    out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "out")
    out.mkdir(parents=True, exist_ok=True)
    print(f"veltrix_core {vc.version()}")

    store = vc.GraphStore()
    ids = record(store)
    count = store.node_count()
    record(store)  # recording the whole pipeline again adds nothing
    assert store.node_count() == count
    print(f"recorded {count} nodes (recording the pipeline twice still gives {store.node_count()})")
    for node in store.nodes():
        print(f"  {node['id']:>2} {node['kind']:<9} {node['name'] or '-':<8} inputs={node['inputs']}")

    outputs = [ids["total"], ids["mean"]]
    blob = store.serialize(outputs=outputs)
    (out / "pipeline.vir").write_bytes(blob)
    back = vc.GraphStore.deserialize(blob)
    assert back.serialize() == blob and back.nodes()[ids["scores"]] == store.nodes()[ids["scores"]]
    print(f"IR blob: {len(blob)} bytes, round trip byte-identical, outputs {back.outputs()}")

    dot = back.to_dot()
    (out / "pipeline.dot").write_text(dot)
    print(f"DOT: {dot.count(chr(10))} lines -> {out / 'pipeline.dot'}")
    render(out / "pipeline.dot")

    # Reduce against the requested outputs.
    reduced, report = store.reduce(outputs=outputs)
    print("reduction report:", ", ".join(f"{k}={report[k]}" for k in sorted(report)))
    for node in reduced.nodes():
        if node["kind"] == "stage":
            members = " -> ".join(m["name"] for m in node["members"])
            print(f"  stage {node['id']}: {members} (reads {node['inputs']})")
        else:
            print(f"  {node['kind']} {node['id']}: {node['name'] or '-'} (reads {node['inputs']})")
    print("node map (recorded id -> reduced id, member):", reduced.node_map())
    (out / "reduced.dot").write_text(reduced.to_dot())
    render(out / "reduced.dot")

    # A later run scores with the next model version: a different blob, and
    # `python -m veltrix.core diff` names the nodes that changed.
    v2 = vc.GraphStore()
    ids2 = record(v2, model_version="1.20")
    (out / "pipeline-v2.vir").write_bytes(v2.serialize(outputs=[ids2["total"], ids2["mean"]]))

    # The same reduction step by step while recording.
    reducer = vc.IncrementalReducer()
    growing = vc.GraphStore()
    ids = record(growing)
    reducer.step(growing)
    result, _ = reducer.finalize(growing, outputs=[ids["total"], ids["mean"]])
    assert result.serialize() == reduced.serialize()
    print(f"incremental: canonical form of {reducer.canonical_count()} nodes after "
          f"{reducer.total_work()} consumed; same reduced graph as reduce()")
    print(f"blobs {out / 'pipeline.vir'} and {out / 'pipeline-v2.vir'} (model version 1.20): look inside with")
    print(f"  python -m veltrix.core info {out / 'pipeline.vir'}")


if __name__ == "__main__":
    main()
