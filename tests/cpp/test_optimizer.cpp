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
#include "optimizer/saturation_engine.hpp"

using namespace veltrix;
using namespace veltrix::test_support;

namespace {

// Answers with whatever it was built with, to break the contract.
class FixedEngine final : public RewriteEngine {
public:
    explicit FixedEngine(Canonical answer) : answer_(std::move(answer)) {}
    Canonical canonicalize(const EngineGraph&) const override { return answer_; }

private:
    Canonical answer_;
};

const IdentityEngine kIdentity;
const SaturationEngine kRules;
const std::optional<std::size_t> none;
const std::string kAdd0 = "op|add|scalar=f0000000000000000;side=s", kMul1 = "op|mul|scalar=f3ff0000000000000;side=s";

std::string failure_text(const std::function<void()>& f) {
    try {
        f();
    } catch (const InternalFailure& e) {
        return e.what();
    }
    return "<no failure>";
}
PayloadDescriptor descriptor(std::string kind, std::string hash, std::optional<std::string> pre = std::nullopt) {
    return PayloadDescriptor{std::move(kind), std::move(hash), "fw", "1", "io", std::move(pre)};
}

// Graphs as text: nodes separated by ", ", each a token ("src|x", an Op or
// Reduction token, "join", or "stage|neg" for a stage of one op|neg) and its inputs.
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
                        : head == "join"     ? NodeKey::join({}, in)
                        : head.starts_with("stage|") ? NodeKey::stage(in, {{"op|" + name, {I(0)}}})
                                                     : src(name));
    }
    return nodes;
}
// Nodes and outputs as text: tokens and inputs, a stage as "stage", its inputs
// and "[member; ...]" with input (I) and member (M) references.
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
// A node map: "-" for an absent entry, "n" or "n.member".
std::string show(const std::vector<NodeMapEntry>& map) {
    std::string s;
    for (const NodeMapEntry& e : map) {
        s += (s.empty() ? "" : " ") + (!e ? "-" : std::to_string(e->node) + (e->member ? "." + std::to_string(*e->member) : ""));
    }
    return s;
}
std::string show(const Reduced& r) {  // "nodes -> outputs | node map | counters"
    std::string s = show(r.nodes, r.outputs) + " | " + show(r.node_map) + " |";
    for (const auto& [key, value] : r.entries()) s += " " + std::to_string(value);
    return s;
}
std::string show(const GraphStore& s) { return show(s.nodes_copy(), s.outputs()) + " | " + show(s.node_map()); }
std::unique_ptr<GraphStore> store_of(const std::string& text, const std::vector<NodeId>& marks = {}) {
    auto s = std::make_unique<GraphStore>();
    for (const NodeKey& k : graph(text)) EXPECT_TRUE(s->intern(k).ok());
    for (NodeId m : marks) EXPECT_FALSE(s->mark_output(m).has_value());
    return s;
}

}  // namespace

TEST(Passes, BrokenInputsAreInternalFailures) {
    const std::vector<NodeKey> nodes = graph("src|s");
    const EngineGraph g = to_engine_graph(nodes, {});
    EXPECT_THROW(dead_code_elimination(graph("op|f 5"), std::vector<std::uint64_t>{0}), InternalFailure);
    EngineGraph forward, bad_output, unknown;
    forward.nodes = {EngineNode{"op|f", {1}, false}, EngineNode{"src|a", {}, true}};
    bad_output.nodes = {EngineNode{"src|other", {}, true}};
    bad_output.outputs = {1};
    unknown.nodes = {EngineNode{"src|other", {}, true}};
    for (const EngineGraph* broken : {&forward, &bad_output}) {
        EXPECT_THROW(cse(*broken), InternalFailure);
        EXPECT_THROW(cse(EngineGraph(*broken)), InternalFailure);
    }
    EXPECT_THROW(stage_fusion(forward, TokenTable(nodes, g), false), InternalFailure);
    EXPECT_NO_THROW(TokenTable(nodes, g).at("src|s"));
    EXPECT_EQ(failure_text([&] { stage_fusion(unknown, TokenTable(nodes, g), false); }), "no entry found for key");
}

// Each row: the graph, its outputs, and the result under the single-use rule
// and under the maximal rule (empty when the same): "nodes -> outputs | node
// map | input, reachable, canonical, stages, reduced, boundary".
TEST(Pipeline, SmallGraphsExactly) {
    struct Case {
        bool rules;  // the SaturationEngine, else an engine that changes nothing
        std::string nodes;
        std::vector<NodeId> outputs;
        std::string single, maximal;
    };
    for (const Case& c : std::vector<Case>{
             {false, "", {}, "-> |  | 0 0 0 0 0 0", ""},
             {false, "src|x, op|neg 0", {}, "-> | - - | 2 0 0 0 0 0", ""},
             {false, "src|x, op|neg 0, red|sum 1", {2}, "src|x, stage 0 [op|neg I0], red|sum 1 -> 2 | 0 1.0 2 | 3 3 3 1 3 2", ""},
             // Repeated outputs, an unreachable node, an output inside a chain.
             {false, "src|x, src|unused, op|a 0, op|b 2", {3, 2, 3},
              "src|x, stage 0 [op|a I0], stage 1 [op|b I0] -> 2 1 2 | 0 - 1.0 2.0 | 4 3 3 2 3 1", ""},
             // An operation merged into a boundary node lands on it.
             {true, "src|x, " + kAdd0 + "r 0, red|r 1", {2, 1}, "src|x, red|r 0 -> 1 0 | 0 0 1 | 3 3 2 0 2 2", ""},
             // Merges cascade through CSE.
             {false, "src|a, op|x 0, op|x 0, op|y 1, op|y 2, join 3 4", {5},
              "src|a, stage 0 [op|x I0; op|y M0], join 1 1 -> 2 | 0 1.0 1.0 1.1 1.1 2 | 6 6 4 1 3 2", ""},
             {false, "src|s, op|a 0, op|b 1, op|c 2", {3}, "src|s, stage 0 [op|a I0; op|b M0; op|c M1] -> 1 | 0 1.0 1.1 1.2 | 4 4 4 1 2 1", ""},
             {false, "src|s, op|a 0, op|b 1, op|c 1, op|d 2 3, red|r 4", {5},
              "src|s, stage 0 [op|a I0], stage 1 [op|b I0; op|c I0; op|d M0 M1], red|r 2 -> 3 | 0 1.0 2.0 2.1 2.2 3 | 6 6 6 2 4 2",
              "src|s, stage 0 [op|a I0; op|b M0; op|c M0; op|d M1 M2], red|r 1 -> 2 | 0 1.0 1.1 1.2 1.3 2 | 6 6 6 1 3 2"},
             {false, "src|s, op|x 0, op|y 1 1", {2}, "src|s, stage 0 [op|x I0], stage 1 [op|y I0 I0] -> 2 | 0 1.0 2.0 | 3 3 3 2 3 1",
              "src|s, stage 0 [op|x I0; op|y M0 M0] -> 1 | 0 1.0 1.1 | 3 3 3 1 2 1"},
             // Consumers in different stages.
             {false, "src|s, op|a 0, op|b 1, op|c 1, red|r 2", {4, 3},
              "src|s, stage 0 [op|a I0], stage 1 [op|b I0], stage 1 [op|c I0], red|r 2 -> 4 3 | 0 1.0 2.0 3.0 4 | 5 5 5 3 5 2", ""},
             // Boundary consumers end stages and keep repeated inputs.
             {false, "src|s, op|a 0, red|r 1, op|b 2, join 3 3 0", {4},
              "src|s, stage 0 [op|a I0], red|r 1, stage 2 [op|b I0], join 3 3 0 -> 4 | 0 1.0 2 3.0 4 | 5 5 5 2 5 3", ""},
             // One stage input per outside producer, in order of first use.
             {false, "src|s, src|t, op|a 1 0, op|b 0 2 0", {3},
              "src|s, src|t, stage 1 0 [op|a I0 I1; op|b I1 M0 I1] -> 2 | 0 1 2.0 2.1 | 4 4 4 1 3 2", ""},
             // Stages already in the graph stay whole boundary nodes.
             {false, "src|s, stage|neg 0, stage|abs 0, op|a 1, join 3 2", {4},
              "src|s, stage 0 [op|neg I0], stage 0 [op|abs I0], stage 1 [op|a I0], join 3 2 -> 4 | 0 1 2 3.0 4 | 5 5 5 1 5 4", ""}}) {
        for (bool maximal : {false, true}) {
            const Reduced r = reduce_with_mode(graph(c.nodes), c.outputs, c.rules ? static_cast<const RewriteEngine&>(kRules) : kIdentity, maximal);
            EXPECT_EQ(show(r), maximal && !c.maximal.empty() ? c.maximal : c.single) << c.nodes << (maximal ? " (maximal)" : "");
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
    auto store = store_of("src|a, src|b, op|f 0, op|f 1, red|r 2, " + kAdd0 + "r 0, op|f 5", {4, 6});
    EXPECT_EQ(show(*reduce_with(*store, kRules, false).store), "src|a, stage 0 [op|f I0], red|r 1 -> 2 1 | 0 - 1.0 - 2 0 1.0");
    for (const auto& [outputs, bad] : std::vector<std::pair<std::vector<NodeId>, NodeId>>{{{0, 99}, 99}, {{99, 100}, 99}, {{7}, 7}}) {
        EXPECT_EQ(reduce_with_outputs(*store, outputs, kRules, false).error().id, bad);
    }
    EXPECT_EQ(show(*reduce_with_outputs(*store, {}, kRules, false)->store), "-> | - - - - - - -") << "an empty list ignores the marks";
    EXPECT_EQ(show(*reduce_with_outputs(*store, std::vector<NodeId>{6, 2, 6}, kRules, false)->store),
              "src|a, stage 0 [op|f I0] -> 1 | 0 - 1.0 - - 0 1.0") << "outputs that land together are marked once";
    Reduced r, forward, bad_output, bad_map;
    r.nodes = {src("x"), src("x"), op("f", {1}), red("r", {0, 1, 2})};
    r.outputs = {3, 1, 0};
    r.node_map = {Placement{1, none}, std::nullopt, Placement{3, none}};
    r.input_nodes = 9;
    r.reduced_nodes = 4;
    const ReductionResult s = from_reduced(std::move(r));
    EXPECT_EQ(std::tuple(show(*s.store), s.report), std::tuple("src|x, op|f 0, red|r 0 0 1 -> 2 0 | 0 - 2", ReductionReport{9, 0, 0, 0, 4, 0}));
    forward.nodes = {op("f", {1}), src("x")};
    bad_output.nodes = {src("x")};
    bad_output.outputs = {1};
    bad_map.nodes = {src("x")};
    bad_map.node_map = {Placement{3, none}};
    for (Reduced* broken : {&forward, &bad_output, &bad_map}) EXPECT_THROW(from_reduced(std::move(*broken)), InternalFailure);
}

namespace {

// The model: a fingerprint of the value computed by a node with this label
// over inputs with these fingerprints. An identity (x + 0.0, x * 1.0) is its
// operand, and a commutative operation ignores the order of its two inputs.
// The incremental reducer also drops identities that have extra inputs.
using Print = std::uint64_t;
Print value(const std::string& label, std::vector<Print> in, bool extra_inputs_too = false) {
    static const std::set<std::string> identities = {kAdd0 + "r", kAdd0 + "l", kMul1 + "r", kMul1 + "l"};
    static const std::set<std::string> commutative = {"op|add", "op|mul", "op|and", "op|or", "op|eq", "op|ne", "op|maximum", "op|minimum"};
    if (identities.count(label) && (in.size() == 1 || (extra_inputs_too && !in.empty()))) return in[0];
    if (commutative.count(label) && in.size() == 2) std::sort(in.begin(), in.end());
    Hasher h;
    h.bytes(label);
    h.u64(in.size());
    for (Print p : in) h.u64(p);
    return h.finish();
}

// Distinct keys in topological order, as a store holds them: near-identities,
// swapped twins, and externals with colliding plain tokens included.
std::vector<NodeKey> random_graph(std::mt19937_64& rng, std::size_t n) {
    GraphStore store;
    std::vector<NodeKey> nodes;
    const PayloadDescriptor externals[] = {descriptor("m|a", "b"), descriptor("m", "a|b"), descriptor("m", "a|b", "-")};
    const char* names[] = {"add", "mul", "maximum", "sub", "neg"};
    auto in = [&](std::size_t count) {
        std::vector<NodeId> v;
        while (v.size() < count) v.push_back(rng() % nodes.size());
        return v;
    };
    while (nodes.size() < n) {
        const unsigned roll = nodes.size() < 2 ? 0 : static_cast<unsigned>(rng() % 20);
        const NodeKey twin = nodes.empty() ? src("") : nodes[rng() % nodes.size()];
        const bool add = rng() % 2;
        const ParamMap scalar = ParamMap::make({{"scalar", ParamValue::Float(rng() % 5 ? add ? 0.0 : 1.0 : -0.0)},
                                                {"side", ParamValue::Str(std::string(1, "rlrlx"[rng() % 5]))}});
        const NodeKey key = roll == 0    ? src("s" + std::to_string(rng() % 4))
                            : roll < 9   ? op(names[rng() % 5], in(1 + rng() % 3))
                            : roll < 12  ? NodeKey::op(add ? "add" : "mul", scalar, in(rng() % 6 ? 1 : 2))
                            : roll < 15 && twin.is_op() && twin.inputs().size() == 2 ? twin.with_inputs({twin.inputs()[1], twin.inputs()[0]})
                            : roll < 17  ? red("sum", in(1))
                            : roll == 17 ? NodeKey::join({}, in(2))
                            : roll == 18 ? NodeKey::exchange(ParamMap::make({{"scheme", ParamValue::Str("hash")}}), in(1))
                                         : NodeKey::external(externals[rng() % 3], {}, in(1));
        if (store.intern(key).value() == nodes.size()) nodes.push_back(key);
    }
    return nodes;
}

}  // namespace

// Random graphs reduced with the rules: every output and every reachable node
// lands on a place computing its value, two nodes share a place exactly when
// they compute the same value, the counters are exact, and reducing the result
// again changes nothing. The incremental reducer, fed the graph in random
// chunks, keeps one canonical node per value.
TEST(Pipeline, RandomGraphsAgainstTheValueModel) {
    int stage_token_collisions = 0;
    for (std::uint64_t seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937_64 rng(seed);
        const std::vector<NodeKey> nodes = random_graph(rng, 5 + rng() % 150);
        std::vector<NodeId> outputs;
        for (std::size_t k = rng() % 5; k-- > 0;) outputs.push_back(rng() % nodes.size());
        if (seed % 3 == 0 && !outputs.empty()) outputs.push_back(outputs.front());
        std::vector<bool> live(nodes.size(), false);
        for (NodeId o : outputs) live[o] = true;
        std::vector<Print> print, incremental;
        std::set<Print> distinct, distinct_incremental;
        for (std::size_t i = nodes.size(); i-- > 0;) {
            for (NodeId x : live[i] ? nodes[i].inputs() : std::span<const NodeId>{}) live[x] = true;
        }
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            std::vector<Print> in, in_incremental;
            for (NodeId x : nodes[i].inputs()) in.push_back(print[x]), in_incremental.push_back(incremental[x]);
            print.push_back(value(nodes[i].identity_token(), in));
            incremental.push_back(value(nodes[i].identity_token(), in_incremental, true));
            distinct_incremental.insert(incremental.back());
            if (live[i]) distinct.insert(print.back());
        }
        std::uint64_t stages[2] = {};
        for (const bool maximal : {false, true}) {
            SCOPED_TRACE(maximal ? "maximal" : "single-use");
            const Reduced r = reduce_with_mode(nodes, outputs, kRules, maximal);
            stages[maximal] = r.stages;
            EXPECT_EQ(std::tuple(r.input_nodes, r.reachable_nodes, r.canonical_nodes, r.reduced_nodes),
                      std::tuple(nodes.size(), std::size_t(std::count(live.begin(), live.end(), true)), distinct.size(), r.nodes.size()));
            EXPECT_EQ(r.reduced_nodes, r.stages + r.boundary_nodes);
            // The value of every reduced node and stage member; a stage's is its last member's.
            std::vector<Print> after;
            std::vector<std::vector<Print>> member;
            for (const NodeKey& k : r.nodes) {
                std::vector<Print> in, members;
                for (NodeId x : k.inputs()) in.push_back(after.at(x));
                ASSERT_FALSE(k.is_op());
                for (const StageOp& m : k.kind() == NodeKind::Stage ? k.members() : std::vector<StageOp>{}) {
                    std::vector<Print> args;
                    for (StageRef ref : m.inputs) args.push_back(ref.kind == StageRef::Input ? in.at(ref.index) : members.at(ref.index));
                    EXPECT_TRUE(m.label.starts_with("op|")) << m.label;
                    members.push_back(value(m.label, args));
                }
                after.push_back(members.empty() ? value(k.identity_token(), in) : members.back());
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

            // Reducing the result again changes nothing, stages with one token included.
            const ReductionResult once = from_reduced(r), again = reduce_with(*once.store, kRules, maximal);
            const std::size_t n = once.store->node_count();
            std::string identity = n ? "0" : "";
            for (std::size_t i = 1; i < n; ++i) identity += " " + std::to_string(i);
            EXPECT_EQ(show(*again.store), show(once.store->nodes_copy(), once.store->outputs()) + " | " + identity);
            EXPECT_EQ(again.report, (ReductionReport{n, n, n, 0, n, n}));
            std::map<std::string, std::vector<StageOp>> stage_members;
            for (const NodeKey& k : r.nodes) {
                if (k.kind() != NodeKind::Stage) continue;
                stage_token_collisions += stage_members.try_emplace(k.token(), k.members()).first->second != k.members();
            }
        }
        EXPECT_LE(stages[true], stages[false]);

        CanonicalForm form;
        for (std::size_t at = 0, len = 0; at < nodes.size(); at += len) {
            len = std::min<std::size_t>(rng() % 40, nodes.size() - at);
            ASSERT_EQ(form.step(std::span(nodes).subspan(at, len)).value(), len);
        }
        EXPECT_EQ(std::tuple(form.watermark(), form.total_work(), form.canonical_count()),
                  std::tuple(nodes.size(), nodes.size(), distinct_incremental.size()));

        // Both forms of CSE agree, on labels coarse enough to merge a lot.
        EngineGraph coarse = to_engine_graph(nodes, outputs);
        for (EngineNode& v : coarse.nodes) v.label.resize(std::min<std::size_t>(v.label.size(), 5));
        const CseResult copied = cse(coarse), moved = cse(EngineGraph(coarse));
        expect_same_graph(copied.graph, moved.graph);
        EXPECT_EQ(copied.old_to_new, moved.old_to_new);
        EXPECT_LT(copied.graph.nodes.size(), coarse.nodes.size());
    }
    EXPECT_GT(stage_token_collisions, 0) << "no reduced graph held two stages with one token and different members";
}

// Chains far deeper than a call stack could follow: alternating abs and neg,
// 500,000 over x and 500,000 over x + 0.0. The identity merges the chains'
// roots, congruence merges every level, and fusion makes one stage of the rest.
TEST(Pipeline, MillionNodeChainsWithoutRecursion) {
    constexpr std::size_t kLength = 500'000;
    std::vector<NodeKey> nodes = graph("src|x, " + kAdd0 + "r 0");
    nodes.reserve(2 * kLength + 2);
    for (std::size_t i = 0; i < 2 * kLength; ++i) nodes.push_back(op(i % 2 ? "neg" : "abs", {i == 0 ? 0 : i == kLength ? 1 : i + 1}));
    Reduced r = reduce_with_mode(nodes, std::vector<NodeId>{2 * kLength + 1, kLength + 1}, kRules, false);
    EXPECT_EQ(r.report(), (ReductionReport{2 * kLength + 2, 2 * kLength + 2, kLength + 1, 1, 2, 1}));
    ASSERT_EQ(std::tuple(r.nodes.size(), r.outputs), std::tuple(2u, std::vector<NodeId>{1, 1}));
    EXPECT_EQ(std::tuple(r.nodes[1].members().size(), r.nodes[1].members().back().inputs), std::tuple(kLength, std::vector<StageRef>{M(kLength - 2)}));
    EXPECT_EQ(std::tuple(r.node_map[1], r.node_map[kLength + 2], r.node_map.back()),
              std::tuple(NodeMapEntry(Placement{0, none}), NodeMapEntry(Placement{1, 0}), NodeMapEntry(Placement{1, kLength - 1})));
    EXPECT_EQ(from_reduced(std::move(r)).store->node_count(), 2u);
}

TEST(Incremental, FoldsIdentitiesCommutedTwinsAndDuplicates) {
    const std::vector<NodeKey> nodes = graph(
        "src|x, src|z, " + kAdd0 + "r 0, " + kMul1 + "l 2, op|add 0 1, op|add 1 3, op|sub 1 0, op|sub 0 1, op|neg 4, op|neg 5, " +
        kAdd0 + "r 0 1, " + kAdd0 + "r, op|add|scalar=f8000000000000000;side=sr 0, op|add|scalar=i0;side=sr 0, " +
        "op|add|k=i1;scalar=f0000000000000000;side=sr 0, " + kMul1 + "x 0, op|mul|scalar=f0000000000000000;side=sr 0");
    CanonicalForm form;
    ASSERT_EQ(form.step(std::span(nodes).first(5)).value(), 5u);
    ASSERT_EQ(form.step(std::span(nodes).subspan(5)).value(), nodes.size() - 5);
    EXPECT_EQ(std::tuple(form.watermark(), form.total_work(), form.canonical_count()), std::tuple(17u, 17u, 12u));
    std::vector<NodeId> all(nodes.size());  // with every node an output, the places tell the canonical nodes
    std::iota(all.begin(), all.end(), 0);
    const Reduced r = form.finalize(all, kIdentity, false).value();
    EXPECT_EQ(show(r.node_map), "0 1 0 0 2.0 2.0 3.0 4.0 5.0 5.0 0 6.0 7.0 8.0 9.0 10.0 11.0");
    EXPECT_EQ(r.report(), (ReductionReport{12, 12, 12, 10, 12, 2}));
    EXPECT_EQ(show(form.finalize(std::vector<NodeId>{8}, kIdentity, false).value()),
              "src|x, src|z, stage 0 1 [op|add I0 I1; op|neg M0] -> 2 | 0 1 0 0 2.0 2.0 - - 2.1 2.1 0 - - - - - - | 12 4 4 1 3 2");
    EXPECT_EQ(form.finalize(std::vector<NodeId>{17}, kIdentity, false).error().id, 17u);
    CanonicalForm broken;
    EXPECT_EQ(broken.step(graph("src|x, op|f 0, op|g 5")).error().id, 5u);
    EXPECT_EQ(std::tuple(broken.watermark(), broken.total_work()), std::tuple(2u, 0u)) << "what came before stays consumed";
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
