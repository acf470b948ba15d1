// The flat graph handed to a rewrite engine, and the engine interface.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "graph/node.hpp"

namespace veltrix {

struct EngineNode {
    std::string label;                 // the node's engine label (operator symbol)
    std::vector<std::uint64_t> inputs; // indices of earlier nodes of the same graph
    bool boundary = false;             // true for every node that is not an Op
};

struct EngineGraph {
    std::vector<EngineNode> nodes;
    std::vector<std::uint64_t> outputs;
};

struct Canonical {
    EngineGraph graph;
    std::vector<std::uint64_t> map;  // one entry per node handed in
};

// Merges nodes that are equal under the engine's rules and under structural
// identity. Must keep no state between calls.
class RewriteEngine {
public:
    virtual ~RewriteEngine() = default;
    virtual Canonical canonicalize(const EngineGraph& graph) const = 0;
};

// One engine node per key, in order; labels are the keys' engine labels.
EngineGraph to_engine_graph(std::span<const NodeKey> nodes, std::span<const std::uint64_t> outputs);

}  // namespace veltrix
