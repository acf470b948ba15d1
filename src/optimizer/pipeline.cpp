#include "optimizer/pipeline.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <cstdint>

#include "optimizer/passes.hpp"

namespace veltrix {

namespace {

// Asks for huge pages under a big vector's buffer before it is filled, as
// the core's large blocks do: its fresh pages then fault in 2 MiB at a
// time. Only advice; a vector from malloc cannot be a large block itself.
template <class T>
void advise_huge_pages([[maybe_unused]] const std::vector<T>& v) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const auto start = reinterpret_cast<std::uintptr_t>(v.data());
    const std::uintptr_t first = (start + kLargeBlock - 1) & ~(std::uintptr_t{kLargeBlock} - 1);
    const std::uintptr_t last = (start + v.capacity() * sizeof(T)) & ~(std::uintptr_t{kLargeBlock} - 1);
    if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

void tell(PhaseObserver* observer, const char* phase) {
    if (observer != nullptr) observer->phase_done(phase);
}

// What the pipeline keeps of its input once the first passes have read it.
struct Front {
    std::size_t input_nodes = 0;
    DceResult dce;
    KeptGraph kept;
};

Front read_graph(InputGraph nodes, std::span<const NodeId> outputs, PhaseObserver* observer) {
    Front front{nodes.size(), dead_code_elimination(nodes, outputs), {}};
    tell(observer, "dead_code");
    front.kept = to_engine_graph(std::move(nodes), front.dce);
    tell(observer, "engine_graph");
    return front;
}

// The rest of the pipeline. With `index`, the node map has one entry per
// entry of `index`: the entry of input node index[s].
Reduced reduce_front(Front front, const RewriteEngine& engine, FusionRule fusion, PhaseObserver* observer,
                     const std::vector<NodeId>* index = nullptr) {
    Reduced out;
    out.input_nodes = front.input_nodes;
    out.reachable_nodes = front.dce.kept;
    // Each pass's input is given back as soon as the pass is done with it.
    // Where every kept node landed is followed in the old-to-new list of
    // dead-code elimination itself, which becomes, step by step, the index
    // into the engine's answer, into the deduplicated graph and into the
    // placements of fusion.
    LargeVector<std::uint32_t>& where = front.dce.old_to_new;
    FusionResult fused;
    {
        CseResult dedup;
        {
            const std::size_t handed = front.kept.graph.size();
            Canonical canonical = engine.canonicalize(std::move(front.kept.graph));
            front.kept.graph.release();
            if (canonical.map.size() != handed) {
                panic("index out of range: engine map has " + std::to_string(canonical.map.size()) + " entries for " +
                      std::to_string(handed) + " nodes");
            }
            tell(observer, "saturation");
            if (canonical.duplicate_free) {
                for (std::uint32_t& w : where) {
                    if (w == kDropped) continue;
                    w = at_checked(canonical.map, w);
                    if (w >= canonical.graph.size()) index_out_of_bounds(canonical.graph.size(), w);
                }
                dedup.graph = std::move(canonical.graph);
            } else {
                dedup = cse(canonical.graph);
                canonical.graph.release();
                for (std::uint32_t& w : where) {
                    if (w != kDropped) w = at_checked(dedup.old_to_new, at_checked(canonical.map, w));
                }
            }
        }
        release_early(dedup.old_to_new);
        tell(observer, "cse");
        out.canonical_nodes = dedup.graph.size();

        fused = stage_fusion(dedup.graph, front.kept.tokens, fusion);
        out.stages = fused.stages;
        out.boundary_nodes = fused.boundary_nodes;
    }
    tell(observer, "fusion");

    const std::size_t entries = index != nullptr ? index->size() : where.size();
    out.node_map.reserve(entries);
    for (std::size_t s = 0; s < entries; ++s) {
        const std::uint32_t w = index != nullptr ? at_checked(where, (*index)[s]) : where[s];
        out.node_map.push_place(w == kDropped ? PlacementList::kAbsent : at_checked(fused.placement, w));
    }
    release_early(where);
    release_early(fused.placement);
    out.nodes = std::move(fused.nodes);
    out.outputs = std::move(fused.outputs);
    out.reduced_nodes = out.nodes.size();
    tell(observer, "node_map");
    return out;
}

}  // namespace

Reduced reduce_with_mode(std::span<const NodeKey> nodes, std::span<const NodeId> outputs, const RewriteEngine& engine,
                         FusionRule fusion, PhaseObserver* observer) {
    return reduce_front(read_graph(InputGraph::of(nodes), outputs, observer), engine, fusion, observer);
}

Reduced reduce_through(std::span<const NodeKey> nodes, std::span<const NodeId> outputs,
                       const std::vector<NodeId>& index, const RewriteEngine& engine, FusionRule fusion,
                       PhaseObserver* observer) {
    return reduce_front(read_graph(InputGraph::of(nodes), outputs, observer), engine, fusion, observer, &index);
}

PlacementList::PlacementList(std::initializer_list<NodeMapEntry> entries) {
    places_.reserve(entries.size());
    for (const NodeMapEntry& e : entries) push_back(e);
}

void PlacementList::push_back(const NodeMapEntry& entry) {
    if (!entry) {
        places_.push_back(kAbsent);
        return;
    }
    if (entry->node >= kAbsent.node || (entry->member && *entry->member >= Place::kNoMember)) {
        panic("a placement holds 32-bit node and member indices");
    }
    places_.push_back(Place{static_cast<std::uint32_t>(entry->node),
                            entry->member ? static_cast<std::uint32_t>(*entry->member) : Place::kNoMember});
}

NodeMapEntry PlacementList::operator[](std::size_t i) const {
    const Place p = places_[i];
    if (p.node == kAbsent.node) return std::nullopt;
    return Placement{p.node, p.member == Place::kNoMember ? std::nullopt : std::optional<std::size_t>(p.member)};
}

std::vector<NodeMapEntry> PlacementList::entries() const {
    std::vector<NodeMapEntry> out;
    out.reserve(size());
    for (std::size_t i = 0; i < size(); ++i) out.push_back((*this)[i]);
    return out;
}

ReductionResult from_reduced(Reduced reduced) {
    auto store = std::make_unique<GraphStore>();
    store->reserve(reduced.nodes.size());
    // The reduced nodes name their inputs by position, each after its inputs.
    const std::vector<NodeId> remap = store->intern_list(reduced.nodes);
    release_early(reduced.nodes);

    for (NodeId o : reduced.outputs) {
        if (store->mark_output(at_checked(remap, o))) panic("reduced output is valid");
    }

    // The store's node map names store ids.
    std::vector<NodeMapEntry> map;
    map.reserve(reduced.node_map.size());
    advise_huge_pages(map);
    for (std::size_t i = 0; i < reduced.node_map.size(); ++i) {
        NodeMapEntry entry = reduced.node_map[i];
        if (entry) entry->node = at_checked(remap, entry->node);
        map.push_back(entry);
    }
    reduced.node_map.release();
    store->set_node_map(std::move(map));

    return ReductionResult{std::move(store), reduced.report()};
}

namespace {

// Reduces `store` against `outputs`, or its marks when there are none. Only
// the flat input graph is read under the store's lock: its heads are
// borrowed from the store's keys, which outlive the call, and nodes recorded
// meanwhile by other threads are simply not seen.
Result<ReductionResult, BadNodeId> reduce_store(const GraphStore& store, const std::span<const NodeId>* outputs,
                                                const RewriteEngine& engine, FusionRule fusion,
                                                PhaseObserver* observer) {
    InputGraph nodes;
    std::vector<NodeId> marks;
    std::optional<BadNodeId> bad;
    bool too_large = false;
    store.read_locked([&](const NodeView& all, std::span<const NodeId> stored) {
        // Nothing here may fail but an allocation: a failure would poison the store.
        const std::span<const NodeId> wanted = outputs != nullptr ? *outputs : stored;
        for (NodeId o : wanted) {
            if (o >= all.size()) {
                bad = BadNodeId{o};
                return;
            }
        }
        too_large = all.size() >= InputGraph::kMaxNodes;
        if (too_large) return;
        if (outputs == nullptr) marks.assign(stored.begin(), stored.end());
        nodes = InputGraph::of(all);
    });
    if (bad) {
        if (outputs == nullptr) panic("a marked output is a node of the store");
        return *bad;
    }
    if (too_large) panic("a reduction handles fewer than 2^32 - 2 nodes");
    tell(observer, "snapshot");
    Front front = read_graph(std::move(nodes), outputs != nullptr ? *outputs : marks, observer);
    Reduced reduced = reduce_front(std::move(front), engine, fusion, observer);
    ReductionResult result = from_reduced(std::move(reduced));
    tell(observer, "reduced_store");
    return result;
}

}  // namespace

Result<ReductionResult, BadNodeId> reduce_with_outputs(const GraphStore& store, std::span<const NodeId> outputs,
                                                       const RewriteEngine& engine, FusionRule fusion,
                                                       PhaseObserver* observer) {
    return reduce_store(store, &outputs, engine, fusion, observer);
}

ReductionResult reduce_with(const GraphStore& store, const RewriteEngine& engine, FusionRule fusion,
                            PhaseObserver* observer) {
    return std::move(reduce_store(store, nullptr, engine, fusion, observer)).value();
}

}  // namespace veltrix
