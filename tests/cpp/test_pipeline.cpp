#include <gtest/gtest.h>

#include <random>
#include <span>
#include <string>
#include <vector>

#include "builders.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/passes.hpp"
#include "optimizer/pipeline.hpp"

using namespace veltrix;
using namespace veltrix::test_support;

namespace {

// Merges every node i into rep[i] (rep[i] <= i, and rep[rep[i]] == rep[i]);
// a representative keeps its own label and inputs, like a real engine
// keeping the lowest input node of each class.
class MergingEngine : public RewriteEngine {
public:
    explicit MergingEngine(std::vector<std::uint64_t> rep) : rep_(std::move(rep)) {}
    Canonical canonicalize(const EngineGraph& graph) const override {
        const std::size_t n = graph.nodes.size();
        std::vector<std::uint64_t> rep = rep_;
        for (std::size_t i = rep.size(); i < n; ++i) rep.push_back(i);
        Canonical c;
        std::vector<std::uint64_t> index(n, 0);
        for (std::size_t i = 0; i < n; ++i) {
            if (rep[i] != i) continue;
            EngineNode node = graph.nodes[i];
            for (std::uint64_t& x : node.inputs) x = index[rep[x]];
            index[i] = c.graph.nodes.size();
            c.graph.nodes.push_back(std::move(node));
        }
        for (std::size_t i = 0; i < n; ++i) c.map.push_back(index[rep[i]]);
        for (std::uint64_t o : graph.outputs) c.graph.outputs.push_back(index[rep[o]]);
        return c;
    }

private:
    std::vector<std::uint64_t> rep_;
};

// Answers with whatever it was built with, to break the contract.
class FixedEngine : public RewriteEngine {
public:
    explicit FixedEngine(Canonical answer) : answer_(std::move(answer)) {}
    Canonical canonicalize(const EngineGraph&) const override { return answer_; }

private:
    Canonical answer_;
};

const IdentityEngine kIdentity;

std::unique_ptr<GraphStore> store_of(const std::vector<NodeKey>& nodes, const std::vector<NodeId>& marks = {}) {
    auto s = std::make_unique<GraphStore>();
    for (const NodeKey& k : nodes) EXPECT_TRUE(s->intern(k).ok());
    for (NodeId m : marks) EXPECT_FALSE(s->mark_output(m).has_value());
    return s;
}

void expect_counters(const ReductionReport& r, std::uint64_t input, std::uint64_t reachable, std::uint64_t canonical,
                     std::uint64_t stages, std::uint64_t reduced, std::uint64_t boundary) {
    EXPECT_EQ(r, (ReductionReport{input, reachable, canonical, stages, reduced, boundary}));
}

PayloadDescriptor descriptor(std::string kind, std::string hash, std::optional<std::string> pre = std::nullopt) {
    return PayloadDescriptor{std::move(kind), std::move(hash), "fw", "1", "io", std::move(pre)};
}

}  // namespace

// ---------------------------------------------------------------------------
// reduce_with_mode

TEST(OptPipeline, SmallGraphs) {
    struct Case {
        const char* what;
        std::vector<NodeKey> nodes;
        std::vector<NodeId> outputs;
        std::vector<std::uint64_t> rep;  // merge engine; empty for the identity engine
        ReductionReport counters;
        std::vector<NodeKey> reduced;
        std::vector<NodeId> reduced_outputs;
        std::vector<NodeMapEntry> node_map;
    };
    const std::optional<std::size_t> none;
    const Case cases[] = {
        {"empty graph", {}, {}, {}, {0, 0, 0, 0, 0, 0}, {}, {}, {}},
        {"no outputs", {src("x"), op("neg", {0})}, {}, {}, {2, 0, 0, 0, 0, 0}, {}, {}, {std::nullopt, std::nullopt}},
        {"source, operation, reduction",
         {src("x"), op("neg", {0}), red("sum", {1})}, {2}, {}, {3, 3, 3, 1, 3, 2},
         {src("x"), NodeKey::stage({0}, {StageOp{"op|neg", {I(0)}}}), red("sum", {1})}, {2},
         {Placement{0, none}, Placement{1, 0}, Placement{2, none}}},
        // a is an output and so ends its own stage as its last member.
        {"repeated outputs, unreachable node, output inside a chain",
         {src("x"), src("unused"), op("a", {0}), op("b", {2})}, {3, 2, 3}, {}, {4, 3, 3, 2, 3, 1},
         {src("x"), NodeKey::stage({0}, {StageOp{"op|a", {I(0)}}}), NodeKey::stage({1}, {StageOp{"op|b", {I(0)}}})},
         {2, 1, 2}, {Placement{0, none}, std::nullopt, Placement{1, 0}, Placement{2, 0}}},
        {"operation merged into a boundary lands on it",
         {src("x"), op("id", {0}), red("r", {1})}, {2, 1}, {0, 0, 2}, {3, 3, 2, 0, 2, 2},
         {src("x"), red("r", {0})}, {1, 0}, {Placement{0, none}, Placement{0, none}, Placement{1, none}}},
    };
    for (const Case& c : cases) {
        for (bool maximal : {false, true}) {
            SCOPED_TRACE(c.what);
            const MergingEngine merging(c.rep);
            Reduced r = reduce_with_mode(c.nodes, c.outputs, merging, maximal);
            EXPECT_EQ(r.report(), c.counters);
            EXPECT_EQ(keys(r.nodes), c.reduced);
            EXPECT_EQ(r.outputs, c.reduced_outputs);
            EXPECT_EQ(r.node_map, c.node_map);
        }
    }
}

TEST(OptPipeline, NodeMapFollowsMerges) {
    // 0 a, 1 b, 2 add(a,b), 3 add(b,a), 4 mul(2,3), 5 id(a), 6 neg(5).
    // The engine merges 3 into 2 and 5 into a; CSE does nothing more.
    std::vector<NodeKey> nodes = {src("a"),        src("b"),        op("add", {0, 1}), op("add", {1, 0}),
                                  op("mul", {2, 3}), op("id", {0}), op("neg", {5}),    red("r", {4, 6})};
    MergingEngine engine({0, 1, 2, 2, 4, 0, 6, 7});
    for (bool maximal : {false, true}) {
        Reduced r = reduce_with_mode(nodes, std::vector<NodeId>{7}, engine, maximal);
        EXPECT_EQ(r.canonical_nodes, 6u);
        EXPECT_EQ(r.node_map[2], r.node_map[3]);
        EXPECT_EQ(r.node_map[5], r.node_map[0]);
        EXPECT_EQ(r.node_map[0], (Placement{0, std::nullopt}));
        // add feeds mul twice: a stage of its own unless fan-out is fused.
        const NodeKey& mul_stage = r.nodes.at(r.node_map[4]->node);
        EXPECT_EQ(mul_stage.members().back(), (StageOp{"op|mul", {maximal ? M(0) : I(0), maximal ? M(0) : I(0)}}));
        EXPECT_EQ(r.stages, maximal ? 2u : 3u);
    }
}

TEST(OptPipeline, EngineMergeCascadesThroughCse) {
    // The engine merges x2 into x1 only; CSE then merges y2 into y1.
    std::vector<NodeKey> nodes = {src("a"), op("x", {0}), op("x2", {0}), op("y", {1}), op("y", {2}),
                                  NodeKey::join({}, {3, 4})};
    MergingEngine engine({0, 1, 1, 3, 4, 5});
    Reduced r = reduce_with_mode(nodes, std::vector<NodeId>{5}, engine, false);
    EXPECT_EQ(r.reachable_nodes, 6u);
    EXPECT_EQ(r.canonical_nodes, 4u);
    EXPECT_EQ(r.node_map[3], r.node_map[4]);
    EXPECT_EQ(r.node_map[1], r.node_map[2]);
    EXPECT_EQ(r.nodes.back(), NodeKey::join({}, {1, 1}));
}

TEST(OptPipeline, ExternalsWithCollidingTokensStayApart) {
    // Each pair has equal plain tokens but different keys.
    std::vector<std::pair<PayloadDescriptor, PayloadDescriptor>> pairs = {
        {descriptor("a|b", "c"), descriptor("a", "b|c")},
        {descriptor("k", "h", "-"), descriptor("k", "h")},
    };
    for (const auto& [d1, d2] : pairs) {
        ASSERT_EQ(NodeKey::external(d1, {}, {0}).token(), NodeKey::external(d2, {}, {0}).token());
        std::vector<NodeKey> nodes = {src("s"), NodeKey::external(d1, {}, {0}), NodeKey::external(d2, {}, {0}),
                                      NodeKey::join({}, {1, 2})};
        Reduced r = reduce_with_mode(nodes, std::vector<NodeId>{3}, kIdentity, false);
        EXPECT_EQ(keys(r.nodes), nodes);
        ReductionResult again = reduce_with(*from_reduced(std::move(r)).store, kIdentity, false);
        EXPECT_EQ(again.store->nodes_copy(), nodes);
    }
}

TEST(OptPipeline, BrokenEngineAnswersAreInternalFailures) {
    std::vector<NodeKey> nodes = {src("s"), red("r", {0})};
    std::vector<NodeId> out = {1};
    // A boundary label that no kept node carries.
    Canonical unknown{EngineGraph{{EngineNode{"src|s", {}, true}, EngineNode{"red|other", {0}, true}}, {1}}, {0, 1}};
    try {
        reduce_with_mode(nodes, out, FixedEngine(unknown), false);
        FAIL() << "expected an internal failure";
    } catch (const InternalFailure& e) {
        EXPECT_STREQ(e.what(), "no entry found for key");
    }
    // A map that is too short, and a map entry out of range.
    Canonical short_map{EngineGraph{{EngineNode{"src|s", {}, true}}, {0}}, {0}};
    EXPECT_THROW(reduce_with_mode(nodes, out, FixedEngine(short_map), false), InternalFailure);
    Canonical wild_map{EngineGraph{{EngineNode{"src|s", {}, true}}, {0}}, {0, 7}};
    EXPECT_THROW(reduce_with_mode(nodes, out, FixedEngine(wild_map), false), InternalFailure);
    // An output id beyond the snapshot.
    EXPECT_THROW(reduce_with_mode(nodes, std::vector<NodeId>{2}, kIdentity, false), InternalFailure);
}

// ---------------------------------------------------------------------------
// Store side

TEST(OptStore, ReduceWithMarks) {
    auto empty = std::make_unique<GraphStore>();
    ReductionResult e = reduce_with(*empty, kIdentity, false);
    EXPECT_EQ(e.store->node_count(), 0u);
    EXPECT_TRUE(e.store->node_map().empty());
    expect_counters(e.report, 0, 0, 0, 0, 0, 0);

    auto unmarked = store_of({src("x"), op("f", {0}), op("g", {1})});
    ReductionResult u = reduce_with(*unmarked, kIdentity, false);
    EXPECT_EQ(u.store->node_count(), 0u);
    EXPECT_EQ(u.store->node_map(), (std::vector<NodeMapEntry>(3, std::nullopt)));
    expect_counters(u.report, 3, 0, 0, 0, 0, 0);

    auto marked = store_of({src("x"), op("f", {0}), op("g", {1}), red("r", {2})}, {3, 1});
    ReductionResult m = reduce_with(*marked, kIdentity, false);
    EXPECT_EQ(m.store->nodes_copy(),
              (std::vector<NodeKey>{src("x"), NodeKey::stage({0}, {StageOp{"op|f", {I(0)}}}),
                                    NodeKey::stage({1}, {StageOp{"op|g", {I(0)}}}), red("r", {2})}));
    EXPECT_EQ(m.store->outputs(), (std::vector<NodeId>{3, 1}));
    EXPECT_EQ(m.store->node_map(), (std::vector<NodeMapEntry>{Placement{0, std::nullopt}, Placement{1, 0},
                                                              Placement{2, 0}, Placement{3, std::nullopt}}));
    // The reduced store is independent of the one it came from.
    ASSERT_TRUE(m.store->intern(src("new")).ok());
    EXPECT_EQ(marked->node_count(), 4u);
}

TEST(OptStore, ReduceWithOutputs) {
    auto store = store_of({src("a"), src("b"), op("f", {0}), op("f", {1}), red("r", {2})}, {4});
    struct Case {
        std::vector<NodeId> outputs;
        std::optional<NodeId> bad;
    };
    for (const Case& c : std::vector<Case>{{{0, 99}, 99}, {{99, 100}, 99}, {{5}, 5}}) {
        auto r = reduce_with_outputs(*store, c.outputs, kIdentity, false);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().id, *c.bad);
    }

    // An explicit empty list ignores the marks.
    auto none = reduce_with_outputs(*store, {}, kIdentity, false);
    ASSERT_TRUE(none.ok());
    EXPECT_EQ(none->store->node_count(), 0u);
    EXPECT_EQ(none->store->node_map().size(), 5u);
    expect_counters(none->report, 5, 0, 0, 0, 0, 0);

    // Repeats and two outputs landing in one place are marked once.
    MergingEngine merge({0, 0, 2, 2, 4});
    auto twice = reduce_with_outputs(*store, std::vector<NodeId>{3, 2, 3}, merge, false);
    ASSERT_TRUE(twice.ok());
    EXPECT_EQ(twice->store->outputs(), (std::vector<NodeId>{1}));
    EXPECT_EQ(twice->store->node_map(),
              (std::vector<NodeMapEntry>{Placement{0, std::nullopt}, Placement{0, std::nullopt}, Placement{1, 0},
                                         Placement{1, 0}, std::nullopt}));
}

TEST(OptStore, FromReducedMergesEqualNodesAndKeepsCounters) {
    Reduced r;
    r.nodes = {src("x"), src("x"), op("f", {1}), red("r", {0, 1, 2})};
    r.outputs = {3, 1, 0};
    r.node_map = {Placement{1, std::nullopt}, std::nullopt, Placement{3, std::nullopt}};
    r.input_nodes = 9;
    r.reduced_nodes = 4;
    ReductionResult s = from_reduced(std::move(r));
    EXPECT_EQ(s.store->nodes_copy(), (std::vector<NodeKey>{src("x"), op("f", {0}), red("r", {0, 0, 1})}));
    EXPECT_EQ(s.store->outputs(), (std::vector<NodeId>{2, 0}));
    EXPECT_EQ(s.store->node_map(),
              (std::vector<NodeMapEntry>{Placement{0, std::nullopt}, std::nullopt, Placement{2, std::nullopt}}));
    EXPECT_EQ(s.report.input_nodes, 9u);
    EXPECT_EQ(s.report.reduced_nodes, 4u);

    Reduced forward;
    forward.nodes = {op("f", {1}), src("x")};
    EXPECT_THROW(from_reduced(std::move(forward)), InternalFailure);
    Reduced bad_output;
    bad_output.nodes = {src("x")};
    bad_output.outputs = {1};
    EXPECT_THROW(from_reduced(std::move(bad_output)), InternalFailure);
    Reduced bad_map;
    bad_map.nodes = {src("x")};
    bad_map.node_map = {Placement{3, std::nullopt}};
    EXPECT_THROW(from_reduced(std::move(bad_map)), InternalFailure);
}

TEST(OptStore, RereducingKeepsEachStagesMembers) {
    // Two single-member stages (equal tokens "stage|1") with different members.
    auto store = store_of({src("s"), op("neg", {0}), red("r1", {1}), op("abs", {0}), red("r2", {3}),
                           NodeKey::join({}, {2, 4})},
                          {5});
    ReductionResult once = reduce_with(*store, kIdentity, false);
    std::vector<NodeKey> reduced = once.store->nodes_copy();
    ASSERT_EQ(reduced.size(), 6u);
    ASSERT_EQ(reduced[1].token(), reduced[3].token());
    ASSERT_NE(reduced[1], reduced[3]);
    for (bool maximal : {false, true}) {
        ReductionResult twice = reduce_with(*once.store, kIdentity, maximal);
        EXPECT_EQ(twice.store->nodes_copy(), reduced);
        expect_counters(twice.report, 6, 6, 6, 0, 6, 6);
    }
}

// ---------------------------------------------------------------------------
// Random graphs

namespace {

// A structural fingerprint of the value a node computes: its identity over
// the fingerprints of its inputs. Equal for a node before reduction and for
// the place it lands on.
using Print = std::uint64_t;

Print combine(std::string_view label, const std::vector<Print>& inputs) {
    Hasher h;
    h.bytes(label);
    h.u64(inputs.size());
    for (Print p : inputs) h.u64(p);
    return h.finish();
}

std::vector<Print> prints_of(const std::vector<NodeKey>& nodes) {
    std::vector<Print> out;
    for (const NodeKey& k : nodes) {
        std::vector<Print> in;
        for (NodeId x : k.inputs()) in.push_back(out.at(x));
        out.push_back(combine(k.identity_token(), in));
    }
    return out;
}

// Prints of every member of every stage of a reduced graph, and of every
// reduced node (a stage stands for its last member).
struct ReducedPrints {
    std::vector<Print> node;
    std::vector<std::vector<Print>> member;
};

ReducedPrints prints_of_reduced(std::span<const NodeKey> nodes) {
    ReducedPrints p;
    for (const NodeKey& k : nodes) {
        std::vector<Print> members;
        if (k.kind() == NodeKind::Stage) {
            for (const StageOp& m : k.members()) {
                std::vector<Print> in;
                for (StageRef r : m.inputs) {
                    in.push_back(r.kind == StageRef::Input ? p.node.at(k.inputs()[r.index]) : members.at(r.index));
                }
                members.push_back(combine(m.label, in));
            }
            p.node.push_back(members.back());
        } else {
            std::vector<Print> in;
            for (NodeId x : k.inputs()) in.push_back(p.node.at(x));
            p.node.push_back(combine(k.identity_token(), in));
        }
        p.member.push_back(std::move(members));
    }
    return p;
}

// Distinct keys in topological order, as a store holds them.
std::vector<NodeKey> random_graph(std::mt19937_64& rng, std::size_t n) {
    GraphStore store;
    auto inputs = [&](std::size_t count) {
        std::vector<NodeId> in;
        for (std::size_t k = 0; k < count; ++k) in.push_back(rng() % store.node_count());
        return in;
    };
    const char* names[] = {"add", "mul", "neg", "sub"};
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned roll = store.node_count() < 2 ? 0 : static_cast<unsigned>(rng() % 20);
        auto make = [&]() -> NodeKey {
            if (roll == 0) return src("s" + std::to_string(rng() % 4));
            if (roll < 15) return op(names[rng() % 4], inputs(1 + rng() % 3));
            if (roll < 17) return red("sum", inputs(1));
            if (roll == 17) return NodeKey::join({}, inputs(2));
            if (roll == 18) return NodeKey::exchange(ParamMap::make({{"scheme", ParamValue::Str("hash")}}), inputs(1));
            return NodeKey::external(rng() % 2 ? descriptor("m|a", "b") : descriptor("m", "a|b"), {}, inputs(1));
        };
        NodeKey key = make();
        EXPECT_TRUE(store.intern(std::move(key)).ok());
    }
    return store.nodes_copy();
}

std::vector<bool> reachable(const std::vector<NodeKey>& nodes, const std::vector<NodeId>& outputs) {
    std::vector<bool> seen(nodes.size(), false);
    for (NodeId o : outputs) seen[o] = true;
    for (std::size_t i = nodes.size(); i-- > 0;) {
        if (!seen[i]) continue;
        for (NodeId x : nodes[i].inputs()) seen[x] = true;
    }
    return seen;
}

void check_shape(const std::vector<NodeKey>& nodes, const std::vector<NodeId>& outputs, const Reduced& r) {
    for (std::size_t i = 0; i < r.nodes.size(); ++i) {
        const NodeKey& k = r.nodes[i];
        ASSERT_FALSE(k.is_op()) << i;
        for (NodeId x : k.inputs()) ASSERT_LT(x, i);
        if (k.kind() != NodeKind::Stage) continue;
        ASSERT_FALSE(k.members().empty());
        for (std::size_t m = 0; m < k.members().size(); ++m) {
            for (StageRef ref : k.members()[m].inputs) {
                ASSERT_LT(ref.index, ref.kind == StageRef::Member ? m : k.inputs().size());
            }
        }
    }
    ASSERT_EQ(r.outputs.size(), outputs.size());
    for (NodeId o : r.outputs) ASSERT_LT(o, r.nodes.size());

    ASSERT_EQ(r.node_map.size(), nodes.size());
    std::vector<bool> live = reachable(nodes, outputs);
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        ASSERT_EQ(r.node_map[i].has_value(), live[i]) << i;
        if (!r.node_map[i]) continue;
        const Placement& p = *r.node_map[i];
        ASSERT_LT(p.node, r.nodes.size());
        const NodeKey& at = r.nodes[p.node];
        ASSERT_EQ(at.kind() == NodeKind::Stage, p.member.has_value()) << i;
        if (p.member) {
            ASSERT_LT(*p.member, at.members().size());
        }
    }

    EXPECT_EQ(r.input_nodes, nodes.size());
    EXPECT_LE(r.reachable_nodes, r.input_nodes);
    EXPECT_LE(r.reduced_nodes, r.canonical_nodes);
    EXPECT_EQ(r.reduced_nodes, r.stages + r.boundary_nodes);
    EXPECT_EQ(r.reduced_nodes, r.nodes.size());
}

}  // namespace

TEST(OptProperty, RandomGraphs) {
    for (std::uint64_t seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937_64 rng(seed);
        const std::vector<NodeKey> nodes = random_graph(rng, 5 + rng() % 120);
        std::vector<NodeId> outputs;
        for (std::size_t k = rng() % 5; k-- > 0;) outputs.push_back(rng() % nodes.size());
        if (seed % 3 == 0 && !outputs.empty()) outputs.push_back(outputs.front());

        // An engine that merges random nodes into earlier classes.
        std::vector<std::uint64_t> rep(nodes.size());
        for (std::size_t i = 0; i < rep.size(); ++i) rep[i] = (i > 0 && rng() % 6 == 0) ? rep[rng() % i] : i;
        const MergingEngine merging(rep);

        std::uint64_t stages[2] = {0, 0};
        for (bool maximal : {false, true}) {
            SCOPED_TRACE(maximal);
            Reduced r = reduce_with_mode(nodes, outputs, kIdentity, maximal);
            check_shape(nodes, outputs, r);
            EXPECT_LE(r.canonical_nodes, r.reachable_nodes);
            stages[maximal] = r.stages;

            // Every output and every node lands on a place computing the same value.
            const std::vector<Print> before = prints_of(nodes);
            const ReducedPrints after = prints_of_reduced(r.nodes);
            for (std::size_t j = 0; j < outputs.size(); ++j) {
                EXPECT_EQ(after.node[r.outputs[j]], before[outputs[j]]);
            }
            for (std::size_t i = 0; i < nodes.size(); ++i) {
                if (!r.node_map[i]) continue;
                const Placement& p = *r.node_map[i];
                EXPECT_EQ(p.member ? after.member[p.node][*p.member] : after.node[p.node], before[i]) << i;
            }

            // Reducing the reduced store again changes nothing.
            ReductionResult once = from_reduced(r);
            ReductionResult twice = reduce_with(*once.store, kIdentity, maximal);
            std::vector<NodeKey> first = once.store->nodes_copy();
            EXPECT_EQ(twice.store->nodes_copy(), first);
            EXPECT_EQ(twice.store->outputs(), once.store->outputs());
            std::vector<NodeMapEntry> identity;
            for (std::size_t i = 0; i < first.size(); ++i) identity.push_back(Placement{i, std::nullopt});
            EXPECT_EQ(twice.store->node_map(), identity);
            expect_counters(twice.report, first.size(), first.size(), first.size(), 0, first.size(), first.size());

            check_shape(nodes, outputs, reduce_with_mode(nodes, outputs, merging, maximal));
        }
        EXPECT_LE(stages[1], stages[0]);
    }
}

// ---------------------------------------------------------------------------
// Deep graphs

// A chain far deeper than a call stack could follow. Unoptimised builds use
// a shorter one to keep the suite quick; that is still too deep for a
// recursive walk on a default stack.
TEST(OptChain, MillionNodeChain) {
#ifdef NDEBUG
    constexpr std::size_t kNodes = 1'000'000;
#else
    constexpr std::size_t kNodes = 250'000;
#endif
    std::vector<NodeKey> nodes;
    nodes.reserve(kNodes);
    nodes.push_back(src("x"));
    for (std::size_t i = 1; i < kNodes; ++i) nodes.push_back(op(i % 2 ? "neg" : "abs", {i - 1}));
    const std::vector<NodeId> outputs = {kNodes - 1};

    Reduced r = reduce_with_mode(nodes, outputs, kIdentity, false);
    expect_counters(r.report(), kNodes, kNodes, kNodes, 1, 2, 1);
    ASSERT_EQ(r.nodes.size(), 2u);
    EXPECT_EQ(r.nodes[1].members().size(), kNodes - 1);
    EXPECT_EQ(r.nodes[1].members().back().inputs, (std::vector<StageRef>{M(kNodes - 3)}));
    EXPECT_EQ(r.node_map.back(), (Placement{1, kNodes - 2}));

    ReductionResult store = from_reduced(std::move(r));
    EXPECT_EQ(store.store->node_count(), 2u);
}
