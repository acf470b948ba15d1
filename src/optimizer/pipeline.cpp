#include "optimizer/pipeline.hpp"

#include <algorithm>

#include "optimizer/passes.hpp"

namespace veltrix {

Reduced reduce_with_mode(std::span<const NodeKey> nodes, std::span<const NodeId> outputs, const RewriteEngine& engine,
                         bool maximal_fusion, PhaseObserver* observer) {
    auto done = [observer](const char* phase) {
        if (observer != nullptr) observer->phase_done(phase);
    };
    Reduced out;
    out.input_nodes = nodes.size();

    DceResult kept = dead_code_elimination(nodes, outputs);
    out.reachable_nodes = kept.nodes.size();
    done("dead_code");

    // The engine graph carries each kept node's label, computed once; the
    // token table indexes the same label texts, so it needs the graph alive
    // until fusion is done.
    const EngineGraph engine_graph = to_engine_graph(kept.nodes, kept.outputs);
    done("engine_graph");
    const TokenTable tokens(kept.nodes, engine_graph);
    done("token_table");

    LargeVector<std::uint64_t> engine_map;
    CseResult dedup;
    {
        Canonical canonical = engine.canonicalize(engine_graph);
        if (canonical.map.size() != engine_graph.nodes.size()) {
            panic("index out of range: engine map has " + std::to_string(canonical.map.size()) + " entries for " +
                  std::to_string(engine_graph.nodes.size()) + " nodes");
        }
        done("saturation");
        dedup = cse(std::move(canonical.graph));
        engine_map = std::move(canonical.map);
    }
    done("cse");
    out.canonical_nodes = dedup.graph.nodes.size();

    FusionResult fused = stage_fusion(std::move(dedup.graph), tokens, maximal_fusion);
    out.stages = fused.stages;
    out.boundary_nodes = fused.boundary_nodes;
    done("fusion");

    // Where every input node landed: through DCE, the engine, CSE and fusion.
    out.node_map.reserve(nodes.size());
    for (std::uint64_t r : kept.old_to_new) {
        if (r == kDropped) {
            out.node_map.push_back(std::nullopt);
            continue;
        }
        const std::uint64_t canonical = at_checked(engine_map, r);
        const std::uint64_t deduplicated = at_checked(dedup.old_to_new, canonical);
        out.node_map.push_back(at_checked(fused.placement, deduplicated));
    }

    out.nodes = std::move(fused.nodes);
    out.outputs = std::move(fused.outputs);
    out.reduced_nodes = out.nodes.size();
    done("node_map");
    return out;
}

ReductionResult from_reduced(Reduced reduced) {
    auto store = std::make_unique<GraphStore>();
    store->reserve(reduced.nodes.size());
    // The reduced nodes name their inputs by position, each after its inputs.
    const std::vector<NodeId> remap = store->intern_list(reduced.nodes);

    for (NodeId o : reduced.outputs) {
        if (store->mark_output(at_checked(remap, o))) panic("reduced output is valid");
    }

    // The map is ours: its positions become store ids in place.
    for (NodeMapEntry& entry : reduced.node_map) {
        if (entry) entry->node = at_checked(remap, entry->node);
    }
    store->set_node_map(std::move(reduced.node_map));

    return ReductionResult{std::move(store), reduced.report()};
}

namespace {

ReductionResult reduce_snapshot(std::span<const NodeKey> nodes, std::span<const NodeId> outputs,
                                const RewriteEngine& engine, bool maximal_fusion, PhaseObserver* observer) {
    if (observer != nullptr) observer->phase_done("snapshot");
    ReductionResult result = from_reduced(reduce_with_mode(nodes, outputs, engine, maximal_fusion, observer));
    if (observer != nullptr) observer->phase_done("reduced_store");
    return result;
}

}  // namespace

// Both read borrowed views of the store's nodes: the store outlives the call,
// and nodes recorded meanwhile by other threads are simply not seen.
ReductionResult reduce_with(const GraphStore& store, const RewriteEngine& engine, bool maximal_fusion,
                            PhaseObserver* observer) {
    const std::vector<NodeId> outputs = store.outputs();
    const auto nodes = store.nodes_borrowed();
    for (NodeId o : outputs) {
        if (o >= nodes.size()) panic("a marked output is a node of the store");
    }
    return reduce_snapshot(nodes, outputs, engine, maximal_fusion, observer);
}

Result<ReductionResult, BadNodeId> reduce_with_outputs(const GraphStore& store, std::span<const NodeId> outputs,
                                                       const RewriteEngine& engine, bool maximal_fusion,
                                                       PhaseObserver* observer) {
    const auto nodes = store.nodes_borrowed();
    for (NodeId o : outputs) {
        if (o >= nodes.size()) return BadNodeId{o};
    }
    return reduce_snapshot(nodes, outputs, engine, maximal_fusion, observer);
}

}  // namespace veltrix
