#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "builders.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/passes.hpp"

using namespace veltrix;
using namespace veltrix::test_support;

namespace {

EngineNode enode(std::string label, std::vector<std::uint64_t> in, bool boundary = false) {
    return EngineNode{std::move(label), std::move(in), boundary};
}

// Runs fusion straight over a node list, as the pipeline would with an
// engine that changes nothing.
FusionResult fuse(const std::vector<NodeKey>& nodes, std::vector<std::uint64_t> outputs, bool maximal) {
    EngineGraph g = to_engine_graph(nodes, outputs);
    TokenTable tokens(nodes, g);
    return stage_fusion(g, tokens, maximal);
}

std::vector<std::uint64_t> iota(std::size_t n) {
    std::vector<std::uint64_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = i;
    return v;
}

}  // namespace

// ---------------------------------------------------------------------------
// Engine graph

TEST(OptEngineGraph, LabelsInputsAndBoundaryFlags) {
    PayloadDescriptor d{"k", "h", "fw", "2", "io", std::nullopt};
    std::vector<NodeKey> nodes = {
        src("x"),
        NodeKey::op("add", ParamMap::make({{"side", ParamValue::Str("r")}}), {0, 0}),
        red("sum", {1}),
        NodeKey::external(d, {}, {0}),
        NodeKey::exchange(ParamMap::make({{"scheme", ParamValue::Str("hash")}}), {2}),
        NodeKey::join({}, {2, 3}),
        NodeKey::stage({0}, {StageOp{"op|neg", {I(0)}}}),
        op("add", {0, 1}),
    };
    EngineGraph g = to_engine_graph(nodes, std::vector<std::uint64_t>{7, 7, 2});
    ASSERT_EQ(g.nodes.size(), nodes.size());
    EXPECT_EQ(g.nodes[1].label, "op|add|side=sr");
    EXPECT_EQ(g.nodes[7].label, "op|add");
    EXPECT_EQ(g.nodes[1].inputs, (std::vector<std::uint64_t>{0, 0}));
    EXPECT_TRUE(g.nodes[0].inputs.empty());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        EXPECT_EQ(g.nodes[i].boundary, !nodes[i].is_op()) << i;
        EXPECT_EQ(g.nodes[i].label, nodes[i].identity_token()) << i;
    }
    EXPECT_EQ(g.outputs, (std::vector<std::uint64_t>{7, 7, 2}));
    EXPECT_TRUE(to_engine_graph({}, {}).nodes.empty());
}

// ---------------------------------------------------------------------------
// Dead-code elimination

TEST(OptDce, RenumbersKeptNodesAndKeepsRepeats) {
    std::vector<NodeKey> nodes = {
        src("a"),           // 0 kept, reached along two paths
        src("b"),           // 1 dropped
        op("f", {0}),       // 2 kept
        op("g", {1, 2}),    // 3 dropped (lies between kept nodes)
        op("h", {2, 2}),    // 4 kept, repeated input
        red("r", {4, 0}),   // 5 kept
    };
    DceResult r = dead_code_elimination(nodes, std::vector<std::uint64_t>{5, 4, 5});
    ASSERT_EQ(r.nodes.size(), 4u);
    EXPECT_EQ(r.old_to_new, (std::vector<std::uint64_t>{0, kDropped, 1, kDropped, 2, 3}));
    EXPECT_EQ(r.nodes[0], src("a"));
    EXPECT_EQ(r.nodes[1], op("f", {0}));
    EXPECT_EQ(r.nodes[2], op("h", {1, 1}));
    EXPECT_EQ(r.nodes[3], red("r", {2, 0}));
    EXPECT_EQ(r.outputs, (std::vector<std::uint64_t>{3, 2, 3}));
}

TEST(OptDce, OutOfRangeIdsAreInternalFailures) {
    std::vector<NodeKey> nodes = {src("a"), op("f", {0})};
    EXPECT_THROW(dead_code_elimination(nodes, std::vector<std::uint64_t>{2}), InternalFailure);
    std::vector<NodeKey> dangling = {op("f", {5})};
    EXPECT_THROW(dead_code_elimination(dangling, std::vector<std::uint64_t>{0}), InternalFailure);
}

// ---------------------------------------------------------------------------
// Common-subexpression elimination

TEST(OptCse, MergesCascade) {
    // x1, x2 over the same input; y1 over x1 and y2 over x2.
    EngineGraph g;
    g.nodes = {enode("src|a", {}, true), enode("op|x", {0}), enode("op|x", {0}), enode("op|y", {1}),
               enode("op|y", {2}), enode("op|z", {3, 4})};
    g.outputs = {5, 4, 3};
    CseResult r = cse(g);
    EXPECT_EQ(r.old_to_new, (std::vector<std::uint64_t>{0, 1, 1, 2, 2, 3}));
    ASSERT_EQ(r.graph.nodes.size(), 4u);
    EXPECT_EQ(r.graph.nodes[3].inputs, (std::vector<std::uint64_t>{2, 2}));
    EXPECT_TRUE(r.graph.nodes[0].boundary);
    EXPECT_EQ(r.graph.outputs, (std::vector<std::uint64_t>{3, 2, 2}));
}

TEST(OptCse, KeepsDistinctNodes) {
    EngineGraph g;
    g.nodes = {enode("src|a", {}, true), enode("src|b", {}, true), enode("op|sub", {0, 1}),
               enode("op|sub", {1, 0}), enode("op|sub", {0, 1, 1}), enode("op|neg", {0})};
    g.outputs = {2, 3, 4, 5};
    CseResult r = cse(g);
    EXPECT_EQ(r.old_to_new, iota(6));
    expect_same_graph(r.graph, g);
}

TEST(OptCse, BrokenOrderIsInternalFailure) {
    EngineGraph forward;
    forward.nodes = {enode("op|f", {1}), enode("src|a", {}, true)};
    EXPECT_THROW(cse(forward), InternalFailure);
    EngineGraph bad_output;
    bad_output.nodes = {enode("src|a", {}, true)};
    bad_output.outputs = {1};
    EXPECT_THROW(cse(bad_output), InternalFailure);
}

// ---------------------------------------------------------------------------
// Stage fusion

namespace {

struct FusionCase {
    const char* what;
    std::vector<NodeKey> nodes;
    std::vector<std::uint64_t> outputs;
    std::vector<NodeKey> single;  // reduced graph under the single-use rule
    std::vector<std::uint64_t> single_outputs;
    std::vector<NodeKey> maximal;  // under the maximal rule; empty when equal to `single`
    std::vector<std::uint64_t> maximal_outputs;
};

NodeKey stage(std::vector<NodeId> in, std::vector<StageOp> members) {
    return NodeKey::stage(std::move(in), std::move(members));
}

std::vector<FusionCase> fusion_cases() {
    const NodeKey neg_stage = stage({0}, {{"op|neg", {I(0)}}});
    const NodeKey abs_stage = stage({0}, {{"op|abs", {I(0)}}});
    return {
        {"lone operation between boundaries",
         {src("s"), op("a", {0}), red("r", {1})}, {2},
         {src("s"), stage({0}, {{"op|a", {I(0)}}}), red("r", {1})}, {2}, {}, {}},
        {"chain",
         {src("s"), op("a", {0}), op("b", {1}), op("c", {2})}, {3},
         {src("s"), stage({0}, {{"op|a", {I(0)}}, {"op|b", {M(0)}}, {"op|c", {M(1)}}})}, {1}, {}, {}},
        {"fan-out",
         {src("s"), op("a", {0}), op("b", {1}), op("c", {1}), op("d", {2, 3})}, {4},
         {src("s"), stage({0}, {{"op|a", {I(0)}}}),
          stage({1}, {{"op|b", {I(0)}}, {"op|c", {I(0)}}, {"op|d", {M(0), M(1)}}})}, {2},
         {src("s"), stage({0}, {{"op|a", {I(0)}}, {"op|b", {M(0)}}, {"op|c", {M(0)}}, {"op|d", {M(1), M(2)}}})},
         {1}},
        {"one consumer reading a value twice",
         {src("s"), op("x", {0}), op("y", {1, 1})}, {2},
         {src("s"), stage({0}, {{"op|x", {I(0)}}}), stage({1}, {{"op|y", {I(0), I(0)}}})}, {2},
         {src("s"), stage({0}, {{"op|x", {I(0)}}, {"op|y", {M(0), M(0)}}})}, {1}},
        {"consumers in different stages",
         {src("s"), op("a", {0}), op("b", {1}), op("c", {1}), red("r", {2})}, {4, 3},
         {src("s"), stage({0}, {{"op|a", {I(0)}}}), stage({1}, {{"op|b", {I(0)}}}),
          stage({1}, {{"op|c", {I(0)}}}), red("r", {2})}, {4, 3}, {}, {}},
        {"output inside a chain",
         {src("s"), op("a", {0}), op("b", {1}), op("c", {2})}, {3, 1},
         {src("s"), stage({0}, {{"op|a", {I(0)}}}), stage({1}, {{"op|b", {I(0)}}, {"op|c", {M(0)}}})}, {2, 1},
         {}, {}},
        {"boundary consumers end stages and keep repeated inputs",
         {src("s"), op("a", {0}), red("r", {1}), op("b", {2}), NodeKey::join({}, {3, 3, 0})}, {4},
         {src("s"), stage({0}, {{"op|a", {I(0)}}}), red("r", {1}), stage({2}, {{"op|b", {I(0)}}}),
          NodeKey::join({}, {3, 3, 0})}, {4}, {}, {}},
        {"one stage input per outside producer",
         {src("s"), src("t"), op("a", {1, 0}), op("b", {0, 2, 0})}, {3},
         {src("s"), src("t"), stage({1, 0}, {{"op|a", {I(0), I(1)}}, {"op|b", {I(1), M(0), I(1)}}})}, {2}, {}, {}},
        {"existing stages are boundary nodes, each kept whole",
         {src("s"), neg_stage, abs_stage, op("a", {1}), NodeKey::join({}, {3, 2})}, {4},
         {src("s"), neg_stage, abs_stage, stage({1}, {{"op|a", {I(0)}}}), NodeKey::join({}, {3, 2})}, {4}, {}, {}},
        {"mode irrelevant without fan-out",
         {src("s"), src("t"), op("a", {0}), op("b", {1}), op("c", {2, 3}), red("r", {4}), op("d", {5}),
          op("e", {6, 0}), op("f", {7})},
         {8},
         {src("s"), src("t"), stage({0, 1}, {{"op|a", {I(0)}}, {"op|b", {I(1)}}, {"op|c", {M(0), M(1)}}}),
          red("r", {2}), stage({3, 0}, {{"op|d", {I(0)}}, {"op|e", {M(0), I(1)}}, {"op|f", {M(1)}}})},
         {4}, {}, {}},
    };
}

}  // namespace

TEST(OptFusion, Cases) {
    for (const FusionCase& c : fusion_cases()) {
        for (bool maximal : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (maximal ? " (maximal)" : " (single-use)"));
            const bool own = maximal && !c.maximal.empty();
            const std::vector<NodeKey>& want = own ? c.maximal : c.single;
            FusionResult f = fuse(c.nodes, c.outputs, maximal);
            EXPECT_EQ(keys(f.nodes), want);
            EXPECT_EQ(f.outputs, own ? c.maximal_outputs : c.single_outputs);
            EXPECT_EQ(f.stages + f.boundary_nodes, f.nodes.size());
        }
    }
}

TEST(OptFusion, PlacementsAndCounts) {
    // Fan-out under the single-use rule: {a} and {b, c, d}.
    std::vector<NodeKey> nodes = {src("s"), op("a", {0}), op("b", {1}), op("c", {1}), op("d", {2, 3}),
                                  red("r", {4})};
    FusionResult f = fuse(nodes, {5}, false);
    EXPECT_EQ(f.placement, (std::vector<Placement>{
                               {0, std::nullopt}, {1, 0}, {2, 0}, {2, 1}, {2, 2}, {3, std::nullopt}}));
    EXPECT_EQ(f.stages, 2u);
    EXPECT_EQ(f.boundary_nodes, 2u);
    FusionResult m = fuse(nodes, {5}, true);
    EXPECT_EQ(m.placement[3], (Placement{1, 2}));
    EXPECT_EQ(m.stages, 1u);
}

TEST(OptFusion, MissingBoundaryLabelIsInternalFailure) {
    std::vector<NodeKey> nodes = {src("s")};
    EngineGraph labels = to_engine_graph(nodes, {});
    TokenTable tokens(nodes, labels);
    EngineGraph d;
    d.nodes = {enode("src|other", {}, true)};
    d.outputs = {0};
    try {
        stage_fusion(d, tokens, false);
        FAIL() << "expected an internal failure";
    } catch (const InternalFailure& e) {
        EXPECT_STREQ(e.what(), "no entry found for key");
    }
    EXPECT_NO_THROW(tokens.at("src|s"));
}
