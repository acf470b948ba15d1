// Fuzzes the blob reader, the token grammar, the DOT renderer and all that runs on a decoded store: reduction in
// both fusion modes with the real saturation engine, the incremental reducer, the member view. Any broken
// property, and any internal failure on a decoded store, aborts with a message.
#include <cstdio>
#include <cstdlib>

#include "graph/blob.hpp"
#include "graph/dot.hpp"
#include "graph/fingerprint.hpp"
#include "optimizer/incremental.hpp"
#include "optimizer/pipeline.hpp"
#include "optimizer/saturation_engine.hpp"

namespace {

using namespace veltrix;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz_blob: %s\n", what.c_str());
    std::abort();
}
void require(bool ok, const char* what) { if (!ok) fail(what); }

// A reduced store is a valid store: its report adds up, its node map points into it and member indices into
// stages, and it re-encodes and renders.
void check_reduced(const ReductionResult& result, std::size_t input_nodes, std::size_t map_size) {
    const ReductionReport& r = result.report;
    require(r.input_nodes == input_nodes && r.reduced_nodes == r.stages + r.boundary_nodes &&
                r.reachable_nodes <= r.input_nodes && r.canonical_nodes <= r.reachable_nodes &&
                r.reduced_nodes <= r.canonical_nodes, "report counters wrong or out of order");
    const Snapshot snap = result.store->snapshot();
    const std::vector<NodeMapEntry> map = result.store->node_map();
    require(map.size() == map_size, "node map length is not the reduced-from node count");
    for (const NodeMapEntry& e : map) {
        require(!e || (e->node < snap.nodes.size() && (!e->member || (snap.nodes[e->node].kind() == NodeKind::Stage &&
                                                                      *e->member < snap.nodes[e->node].members().size()))),
                "node map entry past the reduced store or its stage's members");
    }
    const std::vector<std::uint8_t> blob = serialize_with(*result.store, snap.outputs);
    auto kept = deserialize_with_node_map(blob, encode_node_map(map));  // as pickling keeps it
    require(kept.ok() && kept.value()->node_map() == map, "reduced store does not re-encode with its node map");
    (void)to_dot(*result.store);
}

// Everything the module does with a decoded store: the member view, both fusion modes over the marks and over
// the last node, a second reduction of a reduced store, and the incremental reducer.
void check_decoded(const GraphStore& store, const Snapshot& snap) {
    for (const NodeKey& key : snap.nodes) {
        if (key.kind() != NodeKind::Stage) continue;
        for (const StageOp& m : key.members()) (void)parse_op_token(m.label);
        (void)key.label();
    }
    static const SaturationEngine engine;
    const std::size_t n = snap.nodes.size();
    try {
        for (FusionRule rule : {FusionRule::SingleUse, FusionRule::Maximal}) {
            ReductionResult by_marks = reduce_with(store, engine, rule);
            check_reduced(by_marks, n, n);
            const std::size_t m = by_marks.store->node_count();  // reduced again
            check_reduced(reduce_with(*by_marks.store, engine, rule), m, m);
            if (n == 0) continue;
            auto explicit_outputs = reduce_with_outputs(store, std::vector<NodeId>{n - 1, 0, n - 1}, engine, rule);
            require(explicit_outputs.ok(), "valid explicit outputs rejected");
            check_reduced(explicit_outputs.value(), n, n);
        }
        require(!reduce_with_outputs(store, std::vector<NodeId>{n}, engine, FusionRule::SingleUse), "output id n accepted");
        IncrementalReducer reducer;
        auto stepped = reducer.step(store);
        require(stepped && stepped.value() == n, "incremental step did not consume the store");
        auto finalized = reducer.finalize(store, snap.outputs, engine, FusionRule::SingleUse);
        require(finalized.ok(), "incremental finalize rejected the store's own marks");
        require(reducer.watermark() == n && reducer.total_work() == n && reducer.canonical_count() <= n,
                "incremental counters off");
        // Its report counts the canonical form; its node map, the store.
        check_reduced(finalized.value(), reducer.canonical_count(), n);
    } catch (const InternalFailure& e) {
        fail(std::string("internal failure on a decoded store: ") + e.what());
    }
}

// Decoded stores re-encode canonically: the canonical bytes decode to the same nodes and marks and encode to
// themselves; normalisation only ever drops bytes (merged records, repeated outputs, trailing data).
void check_blob(std::span<const std::uint8_t> input) {
    auto decoded = deserialize(input);
    if (!decoded) return require(!decoded.error().message().empty(), "empty decode error message");
    const GraphStore& store = **decoded;
    const Snapshot snap = store.snapshot();
    const std::vector<std::uint8_t> first = serialize_nodes(snap.nodes, snap.outputs);
    require(first.size() <= input.size(), "canonical form is longer than the input");
    auto again = deserialize(first);
    if (!again) fail("canonical blob rejected: " + again.error().message());
    const Snapshot snap2 = (*again)->snapshot();
    require(snap2.outputs == snap.outputs && snap2.nodes == snap.nodes, "nodes or marks changed through a round trip");
    require(serialize_with(**again, snap2.outputs) == first, "second encoding differs from the first");
    require((*again)->node_map().empty(), "decoded store has a node map");
    try {  // fingerprints see the same graph in both
        require(graph_digest(snap.nodes, snap.outputs).value() == graph_digest(snap2.nodes, snap2.outputs).value() &&
                    node_digests(snap.nodes, std::nullopt).value() == node_digests(snap2.nodes, std::nullopt).value(),
                "fingerprints changed through a round trip");
    } catch (const InternalFailure& e) {
        fail(std::string("internal failure fingerprinting a decoded store: ") + e.what());
    }
    const std::string dot = to_dot(store);
    require(dot.rfind("digraph veltrix {\n", 0) == 0 && dot.size() >= 20 && dot.ends_with("}\n"), "malformed DOT text");
    for (const NodeKey& key : snap.nodes) {  // tokens of operations parse back to their kind, name and parameters
        if (key.kind() != NodeKind::Op && key.kind() != NodeKind::Reduction) continue;
        auto parsed = parse_op_token(key.token());
        require(parsed && parsed->name == key.name() && parsed->params == key.params() &&
                    parsed->kind == (key.is_op() ? "op" : "red"), "token of a decoded operation does not parse back");
    }
    check_decoded(store, snap);
}

// The input as text: escaping is invertible, and whatever parses as an operation token re-tokenises to the
// same meaning.
void check_text(std::string_view text) {
    require(unescape_token(escape_token(text)) == text, "unescape(escape(x)) != x");
    auto p = parse_op_token(text);
    if (!p) return;
    if (p->kind != "op" && p->kind != "red") fail("parse_op_token returned kind " + p->kind);
    const NodeKey key = p->kind == "op" ? NodeKey::op(p->name, p->params, {}) : NodeKey::reduction(p->name, p->params, {});
    auto q = parse_op_token(key.token());
    require(q && q->kind == p->kind && q->name == p->name && q->params == p->params,
            "re-tokenised operation does not parse to the same");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_blob(std::span<const std::uint8_t>(data, size));
    check_text(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
