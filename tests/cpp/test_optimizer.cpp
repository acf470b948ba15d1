// The optimizer: engine graph, elimination passes, stage fusion, the
// reduction pipeline with its store side, and the incremental reducer. Exact
// hand cases written as text, and seeded random graphs checked against a
// model of the value each node computes.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "builders.hpp"
#include "optimizer/incremental.hpp"
#include "optimizer/passes.hpp"
#include "optimizer/pipeline.hpp"

using namespace veltrix;
using namespace veltrix::test_support;

namespace {

// Merges every node i of the graph it is given into rep[i] (rep[i] <= i and
// rep[rep[i]] == rep[i]); a representative keeps its label and inputs.
class MergingEngine final : public RewriteEngine {
public:
    explicit MergingEngine(std::vector<std::uint64_t> rep) : rep_(std::move(rep)) {}
    Canonical canonicalize(const EngineGraph& graph) const override {
        std::vector<std::uint64_t> rep = rep_, index(graph.nodes.size(), 0);
        for (std::size_t i = rep.size(); i < graph.nodes.size(); ++i) rep.push_back(i);
        Canonical c;
        for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
            if (rep[i] != i) continue;
            index[i] = c.graph.nodes.size();
            for (std::uint64_t& x : c.graph.nodes.emplace_back(graph.nodes[i]).inputs) x = index[rep[x]];
        }
        for (std::size_t i = 0; i < graph.nodes.size(); ++i) c.map.push_back(index[rep[i]]);
        for (std::uint64_t o : graph.outputs) c.graph.outputs.push_back(index[rep[o]]);
        return c;
    }

private:
    std::vector<std::uint64_t> rep_;
};

// Answers with whatever it was built with, to break the contract.
class FixedEngine final : public RewriteEngine {
public:
    explicit FixedEngine(Canonical answer) : answer_(std::move(answer)) {}
    Canonical canonicalize(const EngineGraph&) const override { return answer_; }

private:
    Canonical answer_;
};

const IdentityEngine kIdentity;
const std::optional<std::size_t> none;
NodeKey join(std::vector<NodeId> in) { return NodeKey::join({}, std::move(in)); }
PayloadDescriptor descriptor(std::string kind, std::string hash, std::optional<std::string> pre = std::nullopt) {
    return PayloadDescriptor{std::move(kind), std::move(hash), "fw", "1", "io", std::move(pre)};
}
std::string failure_text(const std::function<void()>& f) {
    try {
        f();
    } catch (const InternalFailure& e) {
        return e.what();
    }
    return "<no failure>";
}

// Graphs as text: nodes separated by ", ", each a token ("src|x", an Op or
// Reduction token, "join", or "stage|neg" for a stage of one op|neg) and its
// inputs.
std::vector<NodeKey> graph(const std::string& text) {
    std::vector<NodeKey> nodes;
    std::istringstream items(text);
    for (std::string item; std::getline(items, item, ',');) {
        std::istringstream words(item);
        std::string head;
        std::vector<NodeId> in;
        words >> head;
        for (NodeId k; words >> k;) in.push_back(k);
        const std::optional<ParsedOpToken> t = parse_op_token(head);
        const std::string name = head.substr(head.find('|') + 1);
        nodes.push_back(t && t->kind == "op" ? NodeKey::op(t->name, t->params, in)
                        : t                  ? NodeKey::reduction(t->name, t->params, in)
                        : head == "join"     ? join(in)
                        : head.starts_with("stage|") ? NodeKey::stage(in, {{"op|" + name, {I(0)}}})
                                                     : src(name));
    }
    return nodes;
}
// A graph and its outputs as text: tokens and inputs, a stage as "stage",
// its inputs and "[member; ...]" with input (I) and member (M) references.
std::string show(std::span<const NodeKey> nodes, std::span<const NodeId> outputs) {
    std::string s;
    for (const NodeKey& k : nodes) {
        s += (s.empty() ? "" : ", ") + (k.kind() == NodeKind::Stage ? std::string("stage") : k.token());
        for (NodeId x : k.inputs()) s += " " + std::to_string(x);
        for (std::size_t m = 0; m < (k.kind() == NodeKind::Stage ? k.members().size() : 0); ++m) {
            s += (m ? "; " : " [") + k.members()[m].label;
            for (StageRef r : k.members()[m].inputs) s += (r.kind == StageRef::Input ? " I" : " M") + std::to_string(r.index);
            s += m + 1 == k.members().size() ? "]" : "";
        }
    }
    s += s.empty() ? "->" : " ->";
    for (NodeId o : outputs) s += " " + std::to_string(o);
    return s;
}
// A node map as text: "-" for an absent entry, "n" or "n.member".
std::string show(const std::vector<NodeMapEntry>& map) {
    std::string s;
    for (const NodeMapEntry& e : map) {
        s += (s.empty() ? "" : " ") + (!e ? "-" : std::to_string(e->node) + (e->member ? "." + std::to_string(*e->member) : ""));
    }
    return s;
}
std::unique_ptr<GraphStore> store_of(const std::string& text, const std::vector<NodeId>& marks = {}) {
    auto s = std::make_unique<GraphStore>();
    for (const NodeKey& k : graph(text)) EXPECT_TRUE(s->intern(k).ok());
    for (NodeId m : marks) EXPECT_FALSE(s->mark_output(m).has_value());
    return s;
}

}  // namespace

TEST(Passes, EngineGraphAndBrokenInputs) {
    const NodeKey add_r = NodeKey::op("add", ParamMap::make({{"side", ParamValue::Str("r")}}), {0, 0});
    const std::vector<NodeKey> nodes = {src("x"), add_r, red("sum", {1}), NodeKey::external(descriptor("k", "h"), {}, {0}),
                                        NodeKey::exchange(ParamMap::make({{"scheme", ParamValue::Str("hash")}}), {2}),
                                        join({2, 3}), graph("stage|neg 0")[0], op("add", {0, 1}), add_r};
    const EngineGraph g = to_engine_graph(nodes, std::vector<std::uint64_t>{7, 7, 2});
    ASSERT_EQ(g.nodes.size(), nodes.size());
    EXPECT_EQ(std::tuple(g.nodes[1].label, g.nodes[7].label, g.nodes[8].label), std::tuple("op|add|side=sr", "op|add", "op|add|side=sr"));
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        EXPECT_EQ(std::tuple(g.nodes[i].label, g.nodes[i].boundary), std::tuple(nodes[i].identity_token(), !nodes[i].is_op())) << i;
        EXPECT_EQ(g.nodes[i].inputs, std::vector<std::uint64_t>(nodes[i].inputs().begin(), nodes[i].inputs().end())) << i;
    }
    EXPECT_EQ(g.outputs, (std::vector<std::uint64_t>{7, 7, 2}));
    EXPECT_TRUE(to_engine_graph({}, {}).nodes.empty());

    EXPECT_THROW(dead_code_elimination(graph("op|f 5"), std::vector<std::uint64_t>{0}), InternalFailure);
    EngineGraph forward, bad_output, unknown;
    forward.nodes = {EngineNode{"op|f", {1}, false}, EngineNode{"src|a", {}, true}};
    bad_output.nodes = {EngineNode{"src|other", {}, true}};
    unknown.nodes = {EngineNode{"src|other", {}, true}};
    bad_output.outputs = {1};
    for (const EngineGraph* broken : {&forward, &bad_output}) {
        EXPECT_THROW(cse(*broken), InternalFailure);
        EXPECT_THROW(cse(EngineGraph(*broken)), InternalFailure);
    }
    EXPECT_THROW(stage_fusion(forward, TokenTable(nodes, g), false), InternalFailure);
    EXPECT_EQ(failure_text([&] { stage_fusion(unknown, TokenTable(nodes, g), false); }), "no entry found for key");
}

TEST(Fusion, Shapes) {
    struct Case {
        const char* what;
        std::string nodes;
        std::vector<std::uint64_t> outputs;
        std::string single, maximal;  // reduced under each rule; maximal empty when the same
    };
    for (const Case& c : std::vector<Case>{
             {"chain", "src|s, op|a 0, op|b 1, op|c 2", {3}, "src|s, stage 0 [op|a I0; op|b M0; op|c M1] -> 1", ""},
             {"fan-out", "src|s, op|a 0, op|b 1, op|c 1, op|d 2 3", {4},
              "src|s, stage 0 [op|a I0], stage 1 [op|b I0; op|c I0; op|d M0 M1] -> 2",
              "src|s, stage 0 [op|a I0; op|b M0; op|c M0; op|d M1 M2] -> 1"},
             {"one consumer reading a value twice", "src|s, op|x 0, op|y 1 1", {2}, "src|s, stage 0 [op|x I0], stage 1 [op|y I0 I0] -> 2",
              "src|s, stage 0 [op|x I0; op|y M0 M0] -> 1"},
             {"consumers in different stages", "src|s, op|a 0, op|b 1, op|c 1, red|r 2", {4, 3},
              "src|s, stage 0 [op|a I0], stage 1 [op|b I0], stage 1 [op|c I0], red|r 2 -> 4 3", ""},
             {"output inside a chain", "src|s, op|a 0, op|b 1, op|c 2", {3, 1},
              "src|s, stage 0 [op|a I0], stage 1 [op|b I0; op|c M0] -> 2 1", ""},
             {"boundary consumers end stages and keep repeated inputs", "src|s, op|a 0, red|r 1, op|b 2, join 3 3 0", {4},
              "src|s, stage 0 [op|a I0], red|r 1, stage 2 [op|b I0], join 3 3 0 -> 4", ""},
             {"one stage input per outside producer", "src|s, src|t, op|a 1 0, op|b 0 2 0", {3},
              "src|s, src|t, stage 1 0 [op|a I0 I1; op|b I1 M0 I1] -> 2", ""},
             {"existing stages stay whole boundary nodes", "src|s, stage|neg 0, stage|abs 0, op|a 1, join 3 2", {4},
              "src|s, stage 0 [op|neg I0], stage 0 [op|abs I0], stage 1 [op|a I0], join 3 2 -> 4", ""},
             {"mode irrelevant without fan-out", "src|s, src|t, op|a 0, op|b 1, op|c 2 3, red|r 4, op|d 5, op|e 6 0, op|f 7", {8},
              "src|s, src|t, stage 0 1 [op|a I0; op|b I1; op|c M0 M1], red|r 2, stage 3 0 [op|d I0; op|e M0 I1; op|f M1] -> 4", ""}}) {
        const std::vector<NodeKey> nodes = graph(c.nodes);
        const EngineGraph g = to_engine_graph(nodes, c.outputs);
        for (bool maximal : {false, true}) {
            const FusionResult f = stage_fusion(g, TokenTable(nodes, g), maximal);
            EXPECT_EQ(show(f.nodes, f.outputs), maximal && !c.maximal.empty() ? c.maximal : c.single) << c.what << maximal;
            EXPECT_EQ(f.stages + f.boundary_nodes, f.nodes.size()) << c.what;
        }
    }
    const std::vector<NodeKey> fan = graph("src|s, op|a 0, op|b 1, op|c 1, op|d 2 3, red|r 4");
    const EngineGraph g = to_engine_graph(fan, std::vector<std::uint64_t>{5});
    const FusionResult single = stage_fusion(g, TokenTable(fan, g), false), maximal = stage_fusion(g, TokenTable(fan, g), true);
    EXPECT_EQ(single.placement, (std::vector<Placement>{{0, none}, {1, 0}, {2, 0}, {2, 1}, {2, 2}, {3, none}}));
    EXPECT_EQ(maximal.placement[3], (Placement{1, 2}));
    EXPECT_EQ(std::tuple(single.stages, single.boundary_nodes, maximal.stages, maximal.boundary_nodes), std::tuple(2u, 2u, 1u, 2u));
}

TEST(Pipeline, SmallGraphsExactly) {
    struct Case {
        std::string nodes;
        std::vector<NodeId> outputs;
        std::vector<std::uint64_t> rep;  // for the merging engine
        ReductionReport counters;
        std::string reduced, node_map;
    };
    for (const Case& c : std::vector<Case>{
             {"", {}, {}, {0, 0, 0, 0, 0, 0}, "->", ""},
             {"src|x, op|neg 0", {}, {}, {2, 0, 0, 0, 0, 0}, "->", "- -"},
             {"src|x, op|neg 0, red|sum 1", {2}, {}, {3, 3, 3, 1, 3, 2}, "src|x, stage 0 [op|neg I0], red|sum 1 -> 2", "0 1.0 2"},
             // repeated outputs, an unreachable node, an output inside a chain
             {"src|x, src|unused, op|a 0, op|b 2", {3, 2, 3}, {}, {4, 3, 3, 2, 3, 1},
              "src|x, stage 0 [op|a I0], stage 1 [op|b I0] -> 2 1 2", "0 - 1.0 2.0"},
             // an operation merged into a boundary node lands on it
             {"src|x, op|id 0, red|r 1", {2, 1}, {0, 0, 2}, {3, 3, 2, 0, 2, 2}, "src|x, red|r 0 -> 1 0", "0 0 1"},
             // an engine merge cascades through CSE
             {"src|a, op|x 0, op|x2 0, op|y 1, op|y 2, join 3 4", {5}, {0, 1, 1, 3, 4, 5}, {6, 6, 4, 1, 3, 2},
              "src|a, stage 0 [op|x I0; op|y M0], join 1 1 -> 2", "0 1.0 1.0 1.1 1.1 2"}}) {
        for (bool maximal : {false, true}) {
            const Reduced r = reduce_with_mode(graph(c.nodes), c.outputs, MergingEngine(c.rep), maximal);
            EXPECT_EQ(r.report(), c.counters) << c.nodes;
            EXPECT_EQ(show(r.nodes, r.outputs), c.reduced) << c.nodes;
            EXPECT_EQ(show(r.node_map), c.node_map) << c.nodes;
        }
    }
    // Engine answers that break the contract, and an output beyond the snapshot.
    const std::vector<NodeKey> nodes = graph("src|s, red|r 0");
    const std::vector<NodeId> out = {1};
    auto answer = [](std::vector<EngineNode> n, std::vector<std::uint64_t> map) {
        return FixedEngine(Canonical{EngineGraph{EngineNodes(n.begin(), n.end()), {n.size() - 1}},
                                     LargeVector<std::uint64_t>(map.begin(), map.end())});
    };
    const EngineNode s{"src|s", {}, true};
    EXPECT_EQ(failure_text([&] { reduce_with_mode(nodes, out, answer({s, {"red|other", {0}, true}}, {0, 1}), false); }),
              "no entry found for key");
    EXPECT_THROW(reduce_with_mode(nodes, out, answer({s}, {0}), false), InternalFailure);
    EXPECT_THROW(reduce_with_mode(nodes, out, answer({s}, {0, 7}), false), InternalFailure);
    EXPECT_THROW(reduce_with_mode(nodes, std::vector<NodeId>{2}, kIdentity, false), InternalFailure);
}

TEST(Pipeline, StoreSide) {
    auto marked = store_of("src|x, op|f 0, op|g 1, red|r 2", {3, 1});
    const ReductionResult m = reduce_with(*marked, kIdentity, false);
    EXPECT_EQ(show(m.store->nodes_copy(), m.store->outputs()), "src|x, stage 0 [op|f I0], stage 1 [op|g I0], red|r 2 -> 3 1");
    EXPECT_EQ(show(m.store->node_map()), "0 1.0 2.0 3");
    ASSERT_TRUE(m.store->intern(src("new")).ok());
    EXPECT_EQ(marked->node_count(), 4u) << "the reduced store is independent";
    const ReductionResult unmarked = reduce_with(*store_of("src|x, op|f 0"), kIdentity, false);
    EXPECT_EQ(std::tuple(show(unmarked.store->nodes_copy(), {}), show(unmarked.store->node_map()), unmarked.report),
              std::tuple("->", "- -", ReductionReport{2, 0, 0, 0, 0, 0}));

    auto store = store_of("src|a, src|b, op|f 0, op|f 1, red|r 2", {4});
    for (const auto& [outputs, bad] : std::vector<std::pair<std::vector<NodeId>, NodeId>>{{{0, 99}, 99}, {{99, 100}, 99}, {{5}, 5}}) {
        EXPECT_EQ(reduce_with_outputs(*store, outputs, kIdentity, false).error().id, bad);
    }
    auto ignored = reduce_with_outputs(*store, {}, kIdentity, false);  // an explicit empty list ignores the marks
    EXPECT_EQ(std::tuple(ignored->store->node_count(), show(ignored->store->node_map()), ignored->report),
              std::tuple(0u, "- - - - -", ReductionReport{5, 0, 0, 0, 0, 0}));
    auto twice = reduce_with_outputs(*store, std::vector<NodeId>{3, 2, 3}, MergingEngine({0, 0, 2, 2, 4}), false);
    EXPECT_EQ(show(twice->store->nodes_copy(), twice->store->outputs()), "src|a, stage 0 [op|f I0] -> 1") << "marked once";
    EXPECT_EQ(show(twice->store->node_map()), "0 0 1.0 1.0 -");

    Reduced r, forward, bad_output, bad_map;
    r.nodes = {src("x"), src("x"), op("f", {1}), red("r", {0, 1, 2})};
    r.outputs = {3, 1, 0};
    r.node_map = {Placement{1, none}, std::nullopt, Placement{3, none}};
    r.input_nodes = 9;
    r.reduced_nodes = 4;
    const ReductionResult s = from_reduced(std::move(r));
    EXPECT_EQ(show(s.store->nodes_copy(), s.store->outputs()), "src|x, op|f 0, red|r 0 0 1 -> 2 0");
    EXPECT_EQ(std::tuple(show(s.store->node_map()), s.report), std::tuple("0 - 2", ReductionReport{9, 0, 0, 0, 4, 0}));
    forward.nodes = {op("f", {1}), src("x")};
    bad_output.nodes = {src("x")};
    bad_output.outputs = {1};
    bad_map.nodes = {src("x")};
    bad_map.node_map = {Placement{3, none}};
    for (Reduced* broken : {&forward, &bad_output, &bad_map}) EXPECT_THROW(from_reduced(std::move(*broken)), InternalFailure);
}

namespace {

// The model: a fingerprint of the value each node computes, its label over
// its inputs' fingerprints.
using Print = std::uint64_t;
Print combine(std::string_view label, const std::vector<Print>& inputs) {
    Hasher h;
    h.bytes(label);
    h.u64(inputs.size());
    for (Print p : inputs) h.u64(p);
    return h.finish();
}

// Distinct keys in topological order, as a store holds them; externals with
// colliding plain tokens included.
std::vector<NodeKey> random_graph(std::mt19937_64& rng, std::size_t n) {
    GraphStore store;
    const PayloadDescriptor externals[] = {descriptor("m|a", "b"), descriptor("m", "a|b"), descriptor("m", "a|b", "-")};
    auto inputs = [&](std::size_t count) {
        std::vector<NodeId> in;
        while (in.size() < count) in.push_back(rng() % store.node_count());
        return in;
    };
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned roll = store.node_count() < 2 ? 0 : static_cast<unsigned>(rng() % 20);
        EXPECT_TRUE(store.intern(roll == 0    ? src("s" + std::to_string(rng() % 4))
                                 : roll < 15  ? op(std::string(i % 2 ? "add" : "neg") + std::to_string(rng() % 2), inputs(1 + rng() % 3))
                                 : roll < 17  ? red("sum", inputs(1))
                                 : roll == 17 ? join(inputs(2))
                                 : roll == 18 ? NodeKey::exchange(ParamMap::make({{"scheme", ParamValue::Str("hash")}}), inputs(1))
                                              : NodeKey::external(externals[rng() % 3], {}, inputs(1))));
    }
    return store.nodes_copy();
}

}  // namespace

// Random graphs reduced by the identity engine and by one that merges random
// nodes: every output and every reachable node lands on a place computing its
// value, two nodes share a place exactly when they compute the same value, the
// counters are exact, and reducing the result again changes nothing.
TEST(Pipeline, RandomGraphsAgainstTheValueModel) {
    int stage_token_collisions = 0;
    for (std::uint64_t seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937_64 rng(seed);
        const std::vector<NodeKey> nodes = random_graph(rng, 5 + rng() % 120);
        std::vector<NodeId> outputs, kept;  // kept: the reachable nodes, ascending
        for (std::size_t k = rng() % 5; k-- > 0;) outputs.push_back(rng() % nodes.size());
        if (seed % 3 == 0 && !outputs.empty()) outputs.push_back(outputs.front());
        std::vector<bool> live(nodes.size(), false);
        for (NodeId o : outputs) live[o] = true;
        for (std::size_t i = nodes.size(); i-- > 0;) {
            for (NodeId x : live[i] ? nodes[i].inputs() : std::span<const NodeId>{}) live[x] = true;
        }
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            if (live[i]) kept.push_back(i);
        }
        std::vector<std::uint64_t> merge(kept.size());  // kept position -> the earlier one it merges into
        for (std::size_t k = 0; k < kept.size(); ++k) merge[k] = k > 0 && rng() % 6 == 0 ? merge[rng() % k] : k;
        for (const bool merging : {false, true}) {
            std::vector<Print> print(nodes.size());
            std::set<Print> distinct;
            for (std::size_t k = 0; k < kept.size(); ++k) {
                std::vector<Print> in;
                for (NodeId x : nodes[kept[k]].inputs()) in.push_back(print[x]);
                print[kept[k]] = merging && merge[k] != k ? print[kept[merge[k]]] : combine(nodes[kept[k]].identity_token(), in);
                distinct.insert(print[kept[k]]);
            }
            std::uint64_t stages[2] = {};
            for (const bool maximal : {false, true}) {
                SCOPED_TRACE(std::string(merging ? "merging" : "identity") + (maximal ? ", maximal" : ", single-use"));
                const Reduced r = merging ? reduce_with_mode(nodes, outputs, MergingEngine(merge), maximal)
                                          : reduce_with_mode(nodes, outputs, kIdentity, maximal);
                stages[maximal] = r.stages;
                EXPECT_EQ(std::tuple(r.input_nodes, r.reachable_nodes, r.canonical_nodes, r.reduced_nodes),
                          std::tuple(nodes.size(), kept.size(), distinct.size(), r.nodes.size()));
                EXPECT_EQ(r.reduced_nodes, r.stages + r.boundary_nodes);
                // The value of every reduced node, and of every stage member
                // (a stage's value is its last member's).
                std::vector<Print> after;
                std::vector<std::vector<Print>> member;
                for (std::size_t i = 0; i < r.nodes.size(); ++i) {
                    const NodeKey& k = r.nodes[i];
                    std::vector<Print> in, members;
                    for (NodeId x : k.inputs()) in.push_back(after.at(x));
                    ASSERT_FALSE(k.is_op()) << i;
                    for (const StageOp& m : k.kind() == NodeKind::Stage ? k.members() : std::vector<StageOp>{}) {
                        std::vector<Print> args;
                        for (StageRef ref : m.inputs) args.push_back(ref.kind == StageRef::Input ? in.at(ref.index) : members.at(ref.index));
                        EXPECT_TRUE(m.label.starts_with("op|")) << m.label;
                        members.push_back(combine(m.label, args));
                    }
                    after.push_back(members.empty() ? combine(k.identity_token(), in) : members.back());
                    member.push_back(std::move(members));
                }
                ASSERT_EQ(r.outputs.size(), outputs.size());
                for (std::size_t j = 0; j < outputs.size(); ++j) EXPECT_EQ(after.at(r.outputs[j]), print[outputs[j]]) << j;
                ASSERT_EQ(r.node_map.size(), nodes.size());
                std::map<Print, Placement> place_of;
                std::set<std::pair<NodeId, std::optional<std::size_t>>> places;
                for (std::size_t i = 0; i < nodes.size(); ++i) {
                    ASSERT_EQ(r.node_map[i].has_value(), live[i]) << i;
                    if (!live[i]) continue;
                    const Placement& p = *r.node_map[i];
                    ASSERT_EQ(r.nodes.at(p.node).kind() == NodeKind::Stage, p.member.has_value()) << i;
                    EXPECT_EQ(p.member ? member[p.node].at(*p.member) : after[p.node], print[i]) << i;
                    EXPECT_EQ(place_of.try_emplace(print[i], p).first->second, p) << i;
                    places.insert({p.node, p.member});
                }
                EXPECT_EQ(places.size(), place_of.size()) << "different values share a place";
                if (merging) continue;
                const ReductionResult once = from_reduced(r), again = reduce_with(*once.store, kIdentity, maximal);
                const std::vector<NodeKey> first = once.store->nodes_copy();
                EXPECT_EQ(show(again.store->nodes_copy(), again.store->outputs()), show(first, once.store->outputs()));
                std::vector<NodeMapEntry> identity;
                std::map<std::string, std::vector<StageOp>> stage_members;
                for (std::size_t i = 0; i < first.size(); ++i) {
                    identity.push_back(Placement{i, none});
                    if (first[i].kind() != NodeKind::Stage) continue;
                    stage_token_collisions += stage_members.try_emplace(first[i].token(), first[i].members()).first->second != first[i].members();
                }
                EXPECT_EQ(again.store->node_map(), identity);
                EXPECT_EQ(again.report, (ReductionReport{first.size(), first.size(), first.size(), 0, first.size(), first.size()}));
            }
            EXPECT_LE(stages[true], stages[false]);
        }
        // Both forms of CSE agree.
        const DceResult dce = dead_code_elimination(nodes, outputs);
        const EngineGraph g = MergingEngine(merge).canonicalize(to_engine_graph(dce.nodes, dce.outputs)).graph;
        const CseResult copied = cse(g), moved = cse(EngineGraph(g));
        expect_same_graph(copied.graph, moved.graph);
        EXPECT_EQ(copied.old_to_new, moved.old_to_new);
    }
    EXPECT_GT(stage_token_collisions, 0) << "no reduced graph held two stages with one token and different members";
}

// A chain far deeper than a call stack could follow (shorter in unoptimised
// builds, still too deep for a recursive walk).
TEST(Pipeline, MillionNodeChain) {
#ifdef NDEBUG
    constexpr std::size_t kNodes = 1'000'000;
#else
    constexpr std::size_t kNodes = 250'000;
#endif
    std::vector<NodeKey> nodes{src("x")};
    nodes.reserve(kNodes);
    for (std::size_t i = 1; i < kNodes; ++i) nodes.push_back(op(i % 2 ? "neg" : "abs", {i - 1}));
    Reduced r = reduce_with_mode(nodes, std::vector<NodeId>{kNodes - 1}, kIdentity, false);
    EXPECT_EQ(r.report(), (ReductionReport{kNodes, kNodes, kNodes, 1, 2, 1}));
    ASSERT_EQ(r.nodes.size(), 2u);
    EXPECT_EQ(r.nodes[1].members().size(), kNodes - 1);
    EXPECT_EQ(r.nodes[1].members().back().inputs, (std::vector<StageRef>{M(kNodes - 3)}));
    EXPECT_EQ(r.node_map.back(), (Placement{1, kNodes - 2}));
    EXPECT_EQ(from_reduced(std::move(r)).store->node_count(), 2u);
}

TEST(Incremental, FoldsIdentitiesCommutedTwinsAndDuplicates) {
    const std::string add0 = "op|add|scalar=f0000000000000000;side=s", mul1 = "op|mul|scalar=f3ff0000000000000;side=s";
    const std::vector<NodeKey> nodes = graph(
        "src|x, src|z, " + add0 + "r 0, " + mul1 + "l 2, op|add 0 1, op|add 1 3, op|sub 1 0, op|sub 0 1, op|neg 4, op|neg 5, " +
        add0 + "r 0 1, " + add0 + "r, op|add|scalar=f8000000000000000;side=sr 0, op|add|scalar=i0;side=sr 0, " +
        "op|add|k=i1;scalar=f0000000000000000;side=sr 0, " + mul1 + "x 0, op|mul|scalar=f0000000000000000;side=sr 0");
    CanonicalForm form;
    ASSERT_EQ(form.step(std::span(nodes).first(5)).value(), 5u);
    ASSERT_EQ(form.step(std::span(nodes).subspan(5)).value(), nodes.size() - 5);
    EXPECT_EQ(std::tuple(form.watermark(), form.total_work(), form.canonical_count()), std::tuple(17u, 17u, 12u));
    // Every node is an output: the places tell the canonical classes.
    std::vector<NodeId> all(nodes.size());
    std::iota(all.begin(), all.end(), 0);
    const Reduced r = form.finalize(all, kIdentity, false).value();
    EXPECT_EQ(show(r.node_map), "0 1 0 0 2.0 2.0 3.0 4.0 5.0 5.0 0 6.0 7.0 8.0 9.0 10.0 11.0");
    EXPECT_EQ(r.input_nodes, 12u);
    EXPECT_EQ(show(form.finalize(std::vector<NodeId>{8}, kIdentity, false)->node_map), "0 1 0 0 2.0 2.0 - - 2.1 2.1 0 - - - - - -");
    EXPECT_EQ(form.finalize(std::vector<NodeId>{17}, kIdentity, false).error().id, 17u);
    CanonicalForm broken;
    EXPECT_EQ(broken.step(graph("src|x, op|f 0, op|g 5")).error().id, 5u);
    EXPECT_EQ(std::tuple(broken.watermark(), broken.total_work()), std::tuple(2u, 0u)) << "what came before stays consumed";
}

// Stepping in random chunks gives what one step gives, and the canonical form
// holds one node per value under identity elimination and commutativity.
TEST(Incremental, RandomChunksAgainstTheValueModel) {
    for (std::uint64_t seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937_64 rng(seed);
        std::vector<NodeKey> nodes = {src("x"), src("y")};
        std::vector<Print> print = {combine("x", {}), combine("y", {})};
        while (nodes.size() < 200) {
            const NodeId a = rng() % nodes.size(), b = rng() % nodes.size();
            const std::string name = std::vector<std::string>{"add", "mul", "sub", "maximum"}[rng() % 4];
            const bool add_or_mul = name == "add" || name == "mul";
            const unsigned roll = rng() % 4;  // an identity-shaped node, a unary or a binary one
            const ParamMap params = ParamMap::make({{"scalar", ParamValue::Float(name == "add" ? 0.0 : 1.0)},
                                                    {"side", ParamValue::Str(rng() % 2 ? "r" : "l")}});
            nodes.push_back(roll == 0 ? NodeKey::op(name, params, {a}) : roll == 1 ? op(name, {a}) : op(name, {a, b}));
            std::vector<Print> in = {print[a]};
            if (roll >= 2) in.push_back(print[b]);
            if (roll >= 2 && name != "sub") std::sort(in.begin(), in.end());
            print.push_back(roll == 0 && add_or_mul ? print[a] : combine(nodes.back().token(), in));
        }
        CanonicalForm whole, chunked;
        ASSERT_TRUE(whole.step(nodes));
        for (std::size_t at = 0, len = 0; at < nodes.size(); at += len) {
            len = std::min<std::size_t>(rng() % 40, nodes.size() - at);
            ASSERT_EQ(chunked.step(std::span(nodes).subspan(at, len)).value(), len);
        }
        EXPECT_EQ(std::tuple(chunked.watermark(), chunked.total_work()), std::tuple(nodes.size(), nodes.size()));
        EXPECT_EQ(chunked.canonical_count(), std::set<Print>(print.begin(), print.end()).size());
        std::vector<NodeId> all(nodes.size());
        std::iota(all.begin(), all.end(), 0);
        const Reduced a = whole.finalize(all, kIdentity, false).value(), b = chunked.finalize(all, kIdentity, false).value();
        EXPECT_EQ(show(a.nodes, a.outputs), show(b.nodes, b.outputs));
        EXPECT_EQ(a.node_map, b.node_map);
        std::map<Print, Placement> place_of;
        std::set<std::pair<NodeId, std::optional<std::size_t>>> places;
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            EXPECT_EQ(place_of.try_emplace(print[i], *a.node_map[i]).first->second, *a.node_map[i]) << i;
            places.insert({a.node_map[i]->node, a.node_map[i]->member});
        }
        EXPECT_EQ(places.size(), place_of.size()) << "different values share a place";
    }
}

TEST(Incremental, ReducerPoisoningAndThreads) {
    GraphStore store;
    ASSERT_TRUE(store.intern(src("x")));
    IncrementalReducer poisoned;
    EXPECT_EQ(poisoned.step(store).value(), 1u);
    EXPECT_EQ(poisoned.finalize(store, std::vector<NodeId>{1}, kIdentity, false).error().id, 1u);
    EXPECT_THROW(poisoned.with_state([](CanonicalForm&) -> int { panic("boom"); }), InternalFailure);
    for (const std::function<void()>& call : std::vector<std::function<void()>>{
             [&] { (void)poisoned.step(store); }, [&] { (void)poisoned.watermark(); },
             [&] { (void)poisoned.finalize(store, std::nullopt, kIdentity, false); }}) {
        EXPECT_EQ(failure_text(call), kReducerPoisoned);
    }
    EXPECT_EQ(store.node_count(), 1u) << "the store is not affected";

    IncrementalReducer reducer;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                const NodeId n = store.node_count();
                (void)store.intern(op(t % 2 ? "add" : "neg", {n - 1, (n * 7) % n}));
                if (i % 10 == 0) { EXPECT_TRUE(reducer.step(store)); }
            }
        });
    }
    for (auto& th : threads) th.join();
    ASSERT_TRUE(reducer.step(store));
    EXPECT_EQ(std::tuple(reducer.watermark(), reducer.total_work()), std::tuple(store.node_count(), store.node_count()));
}
