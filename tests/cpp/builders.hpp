// Small helpers shared by the optimizer tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/node.hpp"
#include "optimizer/engine.hpp"

namespace veltrix::test_support {

inline NodeKey src(std::string name) { return NodeKey::source(std::move(name)); }
inline NodeKey op(std::string name, std::vector<NodeId> in) { return NodeKey::op(std::move(name), {}, std::move(in)); }
inline NodeKey red(std::string name, std::vector<NodeId> in) {
    return NodeKey::reduction(std::move(name), {}, std::move(in));
}
inline StageRef I(std::size_t i) { return StageRef::input(i); }
inline StageRef M(std::size_t i) { return StageRef::member(i); }

// The keys of a pass result as a plain vector, to compare with expected lists.
inline std::vector<NodeKey> keys(const LargeVector<NodeKey>& v) { return {v.begin(), v.end()}; }

inline void expect_same_graph(const EngineGraph& a, const EngineGraph& b) {
    ASSERT_EQ(a.nodes.size(), b.nodes.size());
    for (std::size_t i = 0; i < a.nodes.size(); ++i) {
        EXPECT_EQ(a.nodes[i].label, b.nodes[i].label) << i;
        EXPECT_EQ(a.nodes[i].inputs, b.nodes[i].inputs) << i;
        EXPECT_EQ(a.nodes[i].boundary, b.nodes[i].boundary) << i;
    }
    EXPECT_EQ(a.outputs, b.outputs);
}

// Answers with the graph it was given.
class IdentityEngine final : public RewriteEngine {
public:
    Canonical canonicalize(const EngineGraph& graph) const override {
        Canonical c{graph, {}};
        c.map.resize(graph.nodes.size());
        for (std::size_t i = 0; i < c.map.size(); ++i) c.map[i] = i;
        return c;
    }
};

}  // namespace veltrix::test_support
