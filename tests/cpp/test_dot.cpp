#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "graph/blob.hpp"
#include "graph/dot.hpp"
#include "graph/node.hpp"
#include "graph/store.hpp"

namespace veltrix {
namespace {

ParamMap params(std::vector<ParamEntry> e) { return ParamMap::make(std::move(e)); }

NodeId must(Result<NodeId, BadNodeId> r) {
    if (!r) ADD_FAILURE() << "intern rejected id " << r.error().id;
    return r ? *r : 0;
}

TEST(Dot, EmptyStore) {
    GraphStore s;
    EXPECT_EQ(to_dot(s), "digraph veltrix {\n}\n");
}

TEST(Dot, OutputReadFromBlobIsDoubleCircle) {
    const std::vector<std::uint8_t> blob = {'V', 'I', 'R', '1', 1, 0, 0, 0,  // one node
                                            0,   1,   0,   0,   0, 'x',      // Source "x"
                                            0,   0,   0,   0,                // no params
                                            1,   0,   0,   0,   0, 0, 0, 0, 0, 0, 0, 0};  // outputs [0]
    auto store = deserialize(blob);
    ASSERT_TRUE(store) << store.error().message();
    EXPECT_EQ(to_dot(**store), "digraph veltrix {\n  n0 [label=\"Source x\", shape=doublecircle];\n}\n");
}

TEST(Dot, AllKindsNodesBeforeEdges) {
    GraphStore s;
    const NodeId x = must(s.intern(NodeKey::source("x")));
    const NodeId y = must(s.intern(NodeKey::source("y", params({{"n", ParamValue::Int(3)}}))));
    const NodeId add = must(s.intern(NodeKey::op("add", params({{"scalar", ParamValue::Float(1.5)}}), {x, y})));
    const NodeId sum = must(s.intern(NodeKey::reduction("sum", {}, {add})));
    const NodeId ext = must(s.intern(NodeKey::external({"k", "h", "fw", "2", "io", std::nullopt}, {}, {sum})));
    // Member references are not edges: only the stage's own inputs are drawn.
    const NodeId stage = must(s.intern(NodeKey::stage(
        {ext, x}, {StageOp{"op|a", {StageRef::input(1)}}, StageOp{"op|b", {StageRef::member(0), StageRef::input(0)}}})));
    const NodeId exch = must(s.intern(NodeKey::exchange(params({{"scheme", ParamValue::Str("hash")}}), {stage})));
    const NodeId join = must(s.intern(NodeKey::join({}, {exch, y})));
    EXPECT_FALSE(s.mark_output(join));
    EXPECT_FALSE(s.mark_output(add));

    EXPECT_EQ(to_dot(s),
              "digraph veltrix {\n"
              "  n0 [label=\"Source x\"];\n"
              "  n1 [label=\"Source y {n=3}\"];\n"
              "  n2 [label=\"Op add {scalar=1.5}\", shape=doublecircle];\n"
              "  n3 [label=\"Reduction sum\"];\n"
              "  n4 [label=\"External k:h [fw 2]\"];\n"
              "  n5 [label=\"Stage[2 members]\"];\n"
              "  n6 [label=\"Exchange {scheme=\\\"hash\\\"}\"];\n"
              "  n7 [label=\"Join\", shape=doublecircle];\n"
              "  n0 -> n2;\n"
              "  n1 -> n2;\n"
              "  n2 -> n3;\n"
              "  n3 -> n4;\n"
              "  n4 -> n5;\n"
              "  n0 -> n5;\n"
              "  n5 -> n6;\n"
              "  n6 -> n7;\n"
              "  n1 -> n7;\n"
              "}\n");
}

TEST(Dot, RepeatedInputsGiveRepeatedEdges) {
    GraphStore s;
    const NodeId x = must(s.intern(NodeKey::source("x")));
    must(s.intern(NodeKey::op("mul", {}, {x, x})));
    EXPECT_EQ(to_dot(s),
              "digraph veltrix {\n"
              "  n0 [label=\"Source x\"];\n"
              "  n1 [label=\"Op mul\"];\n"
              "  n0 -> n1;\n"
              "  n0 -> n1;\n"
              "}\n");
}

TEST(Dot, LabelEscaping) {
    struct Case {
        const char* what;
        NodeKey key;
        const char* statement;
    };
    const Case cases[] = {
        {"double quote in a name", NodeKey::source("a\"b"), "  n0 [label=\"Source a\\\"b\"];\n"},
        {"backslash in a name", NodeKey::source("a\\b"), "  n0 [label=\"Source a\\\\b\"];\n"},
        // The label already shows the quote as \" ; the renderer escapes both.
        {"double quote in a Str parameter", NodeKey::source("s", params({{"k", ParamValue::Str("q\"")}})),
         "  n0 [label=\"Source s {k=\\\"q\\\\\\\"\\\"}\"];\n"},
        {"line feed and non-ASCII pass through", NodeKey::source("l\xC3\xA9\nx"),
         "  n0 [label=\"Source l\xC3\xA9\nx\"];\n"},
        {"descriptor fields are raw", NodeKey::external({"k\"", "h\\", "f", "v", "io", "pre"}, {}, {}),
         "  n0 [label=\"External k\\\":h\\\\ [f v]\"];\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        GraphStore s;
        must(s.intern(c.key));
        EXPECT_EQ(to_dot(s), std::string("digraph veltrix {\n") + c.statement + "}\n");
    }
}

// Rendering holds the lock: every text shows a complete prefix of the chain
// being recorded concurrently, never a node without its edge.
TEST(Dot, ConsistentWhileRecording) {
    GraphStore s;
    must(s.intern(NodeKey::source("x")));
    constexpr int kNodes = 2000;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (NodeId i = 1; i <= kNodes; ++i) must(s.intern(NodeKey::op("inc", {}, {i - 1})));
        done = true;
    });
    int renders = 0;
    while (!done.load() || renders == 0) {
        const std::string text = to_dot(s);
        std::size_t nodes = 0, edges = 0;
        for (std::size_t p = text.find("[label="); p != std::string::npos; p = text.find("[label=", p + 1)) ++nodes;
        for (std::size_t p = text.find(" -> "); p != std::string::npos; p = text.find(" -> ", p + 1)) ++edges;
        ASSERT_GE(nodes, 1u);
        ASSERT_EQ(edges, nodes - 1);
        ASSERT_EQ(text.find("  n" + std::to_string(nodes) + " "), std::string::npos);
        ++renders;
    }
    writer.join();
    EXPECT_EQ(s.node_count(), std::size_t(kNodes) + 1);
}

}  // namespace
}  // namespace veltrix
