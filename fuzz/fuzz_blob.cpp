// Coverage-guided fuzzer for the blob reader, the token grammar, the DOT
// renderer and everything that runs on a decoded store: reduction in both
// fusion modes with the real saturation engine, the incremental reducer, the
// member view. Any broken property, and any internal failure on a decoded
// store, aborts with a message.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "graph/blob.hpp"
#include "graph/dot.hpp"
#include "graph/node.hpp"
#include "graph/param.hpp"
#include "graph/store.hpp"
#include "optimizer/incremental.hpp"
#include "optimizer/pipeline.hpp"
#include "optimizer/saturation_engine.hpp"

namespace {

using namespace veltrix;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz_blob: %s\n", what.c_str());
    std::abort();
}

void check_report(const ReductionReport& r, std::size_t input_nodes) {
    if (r.input_nodes != input_nodes) fail("input_nodes is not the node count");
    if (r.reduced_nodes != r.stages + r.boundary_nodes) fail("reduced_nodes != stages + boundary_nodes");
    if (r.reachable_nodes > r.input_nodes || r.canonical_nodes > r.reachable_nodes ||
        r.reduced_nodes > r.canonical_nodes) {
        fail("report counters out of order");
    }
}

// A reduced store is a valid store: its node map points into it, member
// indices into stages, and it re-encodes and reduces again.
void check_reduced(const ReductionResult& result, std::size_t input_nodes, std::size_t map_size) {
    check_report(result.report, input_nodes);
    const Snapshot snap = result.store->snapshot();
    const std::vector<NodeMapEntry> map = result.store->node_map();
    if (map.size() != map_size) fail("node map length is not the reduced-from node count");
    for (const NodeMapEntry& e : map) {
        if (!e) continue;
        if (e->node >= snap.nodes.size()) fail("node map points past the reduced store");
        const NodeKey& target = snap.nodes[e->node];
        if (e->member && (target.kind() != NodeKind::Stage || *e->member >= target.members().size())) {
            fail("node map member index is not a member of a stage");
        }
    }
    auto again = deserialize(serialize_with(*result.store, snap.outputs));
    if (!again) fail("reduced store does not re-encode: " + again.error().message());
    (void)to_dot(*result.store);
}

// Everything the module does with a decoded store: the member view, the
// DOT text, both fusion modes over the marks and over the last node, a
// second reduction of a reduced store, and the incremental reducer.
void check_decoded(const GraphStore& store, const Snapshot& snap) {
    for (const NodeKey& key : snap.nodes) {
        if (key.kind() != NodeKind::Stage) continue;
        for (const StageOp& m : key.members()) (void)parse_op_token(m.label);
        (void)key.label();
    }

    static const SaturationEngine engine;
    const std::size_t n = snap.nodes.size();
    try {
        for (bool maximal : {false, true}) {
            ReductionResult by_marks = reduce_with(store, engine, maximal);
            check_reduced(by_marks, n, n);
            const std::size_t m = by_marks.store->node_count();
            check_reduced(reduce_with(*by_marks.store, engine, maximal), m, m);
            if (n == 0) continue;
            const std::vector<NodeId> outputs = {n - 1, 0, n - 1};
            auto explicit_outputs = reduce_with_outputs(store, outputs, engine, maximal);
            if (!explicit_outputs) fail("valid explicit outputs rejected");
            check_reduced(explicit_outputs.value(), n, n);
        }
        if (reduce_with_outputs(store, std::vector<NodeId>{n}, engine, false)) fail("output id n accepted");

        IncrementalReducer reducer;
        auto stepped = reducer.step(store);
        if (!stepped || stepped.value() != n) fail("incremental step did not consume the store");
        auto finalized = reducer.finalize(store, snap.outputs, engine, false);
        if (!finalized) fail("incremental finalize rejected the store's own marks");
        if (reducer.watermark() != n || reducer.total_work() != n) fail("incremental counters off");
        if (reducer.canonical_count() > n) fail("canonical form larger than the store");
        // Its report counts the canonical form; its node map, the store.
        check_reduced(finalized.value(), reducer.canonical_count(), n);
    } catch (const InternalFailure& e) {
        fail(std::string("internal failure on a decoded store: ") + e.what());
    }
}

// Decoded stores re-encode canonically: the canonical bytes decode to the
// same nodes and marks and encode to themselves.
void check_blob(std::span<const std::uint8_t> input) {
    auto decoded = deserialize(input);
    if (!decoded) {
        if (decoded.error().message().empty()) fail("empty decode error message");
        return;
    }
    const GraphStore& store = **decoded;
    const Snapshot snap = store.snapshot();
    const std::vector<std::uint8_t> first = serialize_nodes(snap.nodes, snap.outputs);
    // Normalisation only ever drops bytes (merged records, repeated outputs,
    // trailing data); every field keeps its width.
    if (first.size() > input.size()) fail("canonical form is longer than the input");

    auto again = deserialize(first);
    if (!again) fail("canonical blob rejected: " + again.error().message());
    const Snapshot snap2 = (*again)->snapshot();
    if (snap2.outputs != snap.outputs) fail("marks changed through a round trip");
    if (snap2.nodes.size() != snap.nodes.size()) fail("node count changed through a round trip");
    for (std::size_t i = 0; i < snap.nodes.size(); ++i) {
        if (!(snap.nodes[i] == snap2.nodes[i])) fail("node " + std::to_string(i) + " changed through a round trip");
    }
    const std::vector<std::uint8_t> second = serialize_with(**again, snap2.outputs);
    if (second != first) fail("second encoding differs from the first");
    if (!(*again)->node_map().empty()) fail("decoded store has a node map");

    const std::string dot = to_dot(store);
    if (dot.rfind("digraph veltrix {\n", 0) != 0 || dot.size() < 20 || dot.compare(dot.size() - 2, 2, "}\n") != 0) {
        fail("malformed DOT text");
    }

    // Tokens of operations parse back to their name and parameters.
    for (const NodeKey& key : snap.nodes) {
        if (key.kind() != NodeKind::Op && key.kind() != NodeKind::Reduction) continue;
        auto parsed = parse_op_token(key.token());
        if (!parsed) fail("token of a decoded operation does not parse: " + key.token());
        if (parsed->name != key.name() || !(parsed->params == key.params())) fail("token parse lost data");
        if (parsed->kind != (key.kind() == NodeKind::Op ? "op" : "red")) fail("token parse changed the kind");
    }

    check_decoded(store, snap);
}

// The input as text: escaping is invertible, and whatever parses as an
// operation token re-tokenises to the same meaning.
void check_text(std::string_view text) {
    if (unescape_token(escape_token(text)) != text) fail("unescape(escape(x)) != x");
    auto parsed = parse_op_token(text);
    if (!parsed) return;
    if (parsed->kind != "op" && parsed->kind != "red") fail("parse_op_token returned kind " + parsed->kind);
    const NodeKey key = parsed->kind == "op" ? NodeKey::op(parsed->name, parsed->params, {})
                                             : NodeKey::reduction(parsed->name, parsed->params, {});
    auto reparsed = parse_op_token(key.token());
    if (!reparsed) fail("re-tokenised operation does not parse: " + key.token());
    if (reparsed->kind != parsed->kind || reparsed->name != parsed->name || !(reparsed->params == parsed->params)) {
        fail("re-tokenised operation parses differently");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    check_blob(input);
    check_text(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
