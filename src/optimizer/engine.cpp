#include "optimizer/engine.hpp"

#include <algorithm>
#include <unordered_map>

namespace veltrix {

EngineGraph to_engine_graph(std::span<const NodeKey> nodes, std::span<const std::uint64_t> outputs) {
    EngineGraph g;
    g.nodes.reserve(nodes.size());
    // Keys that share a head share their label: each label is built once and
    // copied after that (keyed by the head object, which the keys outlive).
    std::unordered_map<const void*, std::size_t> first_with_head;
    first_with_head.reserve(std::min<std::size_t>(nodes.size(), 1024));
    for (const NodeKey& key : nodes) {
        std::span<const NodeId> in = key.inputs();
        auto [it, fresh] = first_with_head.try_emplace(key.head_identity(), g.nodes.size());
        // Boundary nodes are labelled by their whole identity so that two of
        // them merge only when their keys agree apart from the inputs; for an
        // operation this is its plain token.
        g.nodes.push_back(EngineNode{fresh ? key.identity_token() : g.nodes[it->second].label,
                                     InputList(in.begin(), in.end()), !key.is_op()});
    }
    g.outputs.assign(outputs.begin(), outputs.end());
    return g;
}

}  // namespace veltrix
