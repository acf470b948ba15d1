// Content fingerprints: SHA-256 digests of nodes and graphs that depend on
// their content alone, never on node ids, recording order, process, hash
// seed or platform.
//
// The bytes fed to the hash are fixed here and written out in the README
// ("Fingerprints"); every message starts with the tag "VFP1", whose digit is
// the version of this encoding.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "graph/node.hpp"
#include "graph/store.hpp"
#include "graph/support.hpp"

namespace veltrix {

using Digest = std::array<std::uint8_t, 32>;
using IdSpan = std::span<const NodeId>;

// What fingerprints need of a node list, read in one pass in id order (a
// store's nodes can be packed under its lock and hashed without it): each
// node's head (its kind and fields, encoded once per distinct head) and its
// inputs, packed tight.
class PackedGraph {
public:
    // The nodes `ids` depend on, or every node when `ids` is nothing; the
    // first id that is not a node is the error. Every input must come before
    // its node, as in a store (an internal failure otherwise).
    static Result<PackedGraph, BadNodeId> pack(std::span<const NodeKey> nodes, std::optional<IdSpan> ids);
    static Result<PackedGraph, BadNodeId> pack(const NodeView& nodes, std::optional<IdSpan> ids);

    PackedGraph(PackedGraph&&) noexcept;
    PackedGraph& operator=(PackedGraph&&) noexcept;
    ~PackedGraph();

    // How many nodes, from id 0 on, it holds.
    std::size_t size() const noexcept;

    struct Impl;
    const Impl& impl() const noexcept { return *impl_; }

private:
    template <class Nodes>
    static Result<PackedGraph, BadNodeId> read(const Nodes& nodes, std::optional<IdSpan> ids);
    explicit PackedGraph(std::unique_ptr<Impl> impl) noexcept;
    std::unique_ptr<Impl> impl_;
};

// The digests of the nodes `ids` names, in that order (repeats kept), or of
// every node in id order when `ids` is nothing. A node's digest covers its
// kind and fields and its inputs' digests in order, never its id. Only the
// nodes asked for and what they depend on are hashed. Every id must be one
// the graph holds (an internal failure otherwise).
LargeVector<Digest> node_digests(const PackedGraph& graph, std::optional<IdSpan> ids);

// The digest of the graph reachable from `outputs` and of the outputs in
// their order (repeats kept); nodes that no output reaches do not count.
// Every output must be a node the graph holds (an internal failure otherwise).
Digest graph_digest(const PackedGraph& graph, IdSpan outputs);

// The same over a node list, packing what they need.
Result<LargeVector<Digest>, BadNodeId> node_digests(std::span<const NodeKey> nodes, std::optional<IdSpan> ids);
Result<Digest, BadNodeId> graph_digest(std::span<const NodeKey> nodes, IdSpan outputs);

}  // namespace veltrix
