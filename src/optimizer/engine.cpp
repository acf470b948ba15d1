#include "optimizer/engine.hpp"

#include <algorithm>

#include "optimizer/passes.hpp"

namespace veltrix {

EngineGraph to_engine_graph(std::span<const NodeKey> nodes, std::span<const std::uint64_t> outputs) {
    EngineGraph g;
    g.nodes.reserve(nodes.size());
    // Keys that share a head share their label: each label is built once and
    // copied after that (keyed by the head object, which the keys outlive).
    IndexTable first_with_head;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const NodeKey& key = nodes[i];
        const void* head = key.head_identity();
        const std::uint64_t hash = mix64(reinterpret_cast<std::uintptr_t>(head));
        auto same = [&](std::uint64_t j) { return nodes[j].head_identity() == head; };
        const std::optional<std::uint64_t> first = first_with_head.find(hash, same);
        if (!first) first_with_head.insert(hash, i);
        // Boundary nodes are labelled by their whole identity so that two of
        // them merge only when their keys agree apart from the inputs; for an
        // operation this is its plain token.
        std::span<const NodeId> in = key.inputs();
        g.nodes.push_back(EngineNode{first ? g.nodes[*first].label : key.identity_token(),
                                     InputList(in.begin(), in.end()), !key.is_op()});
    }
    g.outputs.assign(outputs.begin(), outputs.end());
    return g;
}

}  // namespace veltrix
