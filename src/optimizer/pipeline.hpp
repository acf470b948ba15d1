// The reduction pipeline and the store side of reduction.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "graph/node.hpp"
#include "graph/store.hpp"
#include "graph/support.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/passes.hpp"

namespace veltrix {

// The six counters of a reduction, in report order.
struct ReductionReport {
    std::uint64_t input_nodes = 0;
    std::uint64_t reachable_nodes = 0;
    std::uint64_t canonical_nodes = 0;
    std::uint64_t stages = 0;
    std::uint64_t reduced_nodes = 0;
    std::uint64_t boundary_nodes = 0;

    bool operator==(const ReductionReport&) const = default;

    // (report key, value) pairs, in report order.
    std::array<std::pair<const char*, std::uint64_t>, 6> entries() const {
        return {{{"input_nodes", input_nodes},
                 {"reachable_nodes", reachable_nodes},
                 {"canonical_nodes", canonical_nodes},
                 {"stages", stages},
                 {"reduced_nodes", reduced_nodes},
                 {"boundary_nodes", boundary_nodes}}};
    }
};

// Where every node of a reduced-from graph landed (see NodeMapEntry), at 8
// bytes a node instead of 32. The reduced store's node map is made from it
// only once the reduced nodes are in that store and their list is gone.
class PlacementList {
public:
    PlacementList() = default;
    PlacementList(std::initializer_list<NodeMapEntry> entries);

    std::size_t size() const noexcept { return places_.size(); }
    NodeMapEntry operator[](std::size_t i) const;
    NodeMapEntry back() const { return (*this)[size() - 1]; }
    std::vector<NodeMapEntry> entries() const;

    void reserve(std::size_t n) { places_.reserve(n); }
    void push_back(const NodeMapEntry& entry);
    // A node that landed at `place`, or was dropped (kAbsent).
    void push_place(Place place) { places_.push_back(place); }
    static constexpr Place kAbsent{0xffffffffu, Place::kNoMember};
    // Gives the memory back now.
    void release() { release_early(places_); }

private:
    LargeVector<Place> places_;  // node 0xffffffff: absent
};

// The pipeline's result: the reduced graph (inputs always precede users;
// operations appear only inside stages), one output per requested output,
// where every input node landed, and the six counters.
struct Reduced : ReductionReport {
    LargeVector<NodeKey> nodes;
    std::vector<NodeId> outputs;
    PlacementList node_map;  // indexed by input node id

    const ReductionReport& report() const noexcept { return *this; }
    // Comparing only the inherited counters would be a trap.
    bool operator==(const Reduced&) const = delete;
};

// Told as each phase of a reduction ends, for measuring them one by one:
// "snapshot", "dead_code", "engine_graph" (with the token table),
// "saturation", "cse", "fusion", "node_map" and "reduced_store", in that
// order (the first and the last only when a store is reduced).
class PhaseObserver {
public:
    virtual ~PhaseObserver() = default;
    virtual void phase_done(const char* phase) = 0;
};

// Dead-code elimination, canonicalisation by `engine`, CSE and stage fusion
// over a snapshot. Ids in `nodes` inputs and in `outputs` must be below
// `nodes.size()`; anything else is an internal failure.
Reduced reduce_with_mode(std::span<const NodeKey> nodes, std::span<const NodeId> outputs, const RewriteEngine& engine,
                         FusionRule fusion, PhaseObserver* observer = nullptr);

// reduce_with_mode with a node map over other ids: its entry s is the entry
// reduce_with_mode gives node index[s] (the incremental reducer's store ids,
// through its canonical map), built without the map over `nodes`.
Reduced reduce_through(std::span<const NodeKey> nodes, std::span<const NodeId> outputs,
                       const std::vector<NodeId>& index, const RewriteEngine& engine, FusionRule fusion,
                       PhaseObserver* observer = nullptr);

// A freshly built store together with the counters of its reduction.
struct ReductionResult {
    std::unique_ptr<GraphStore> store;
    ReductionReport report;
};

// Reduces against the store's marked outputs.
ReductionResult reduce_with(const GraphStore& store, const RewriteEngine& engine, FusionRule fusion,
                            PhaseObserver* observer = nullptr);

// Reduces against exactly `outputs` (order and repeats kept). The first id
// that names no node of the store is returned as an error.
Result<ReductionResult, BadNodeId> reduce_with_outputs(const GraphStore& store, std::span<const NodeId> outputs,
                                                       const RewriteEngine& engine, FusionRule fusion,
                                                       PhaseObserver* observer = nullptr);

// Interns a reduced graph into a new store, marks its outputs and installs
// its node map. The counters are passed through unchanged.
ReductionResult from_reduced(Reduced reduced);

}  // namespace veltrix
