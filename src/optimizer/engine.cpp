#include "optimizer/engine.hpp"

namespace veltrix {

EngineGraph to_engine_graph(std::span<const NodeKey> nodes, std::span<const std::uint64_t> outputs) {
    EngineGraph g;
    g.nodes.reserve(nodes.size());
    for (const NodeKey& key : nodes) {
        std::span<const NodeId> in = key.inputs();
        // Boundary nodes are labelled by their whole identity so that two of
        // them merge only when their keys agree apart from the inputs; for an
        // operation this is its plain token.
        g.nodes.push_back(EngineNode{key.identity_token(), std::vector<std::uint64_t>(in.begin(), in.end()),
                                     !key.is_op()});
    }
    g.outputs.assign(outputs.begin(), outputs.end());
    return g;
}

}  // namespace veltrix
