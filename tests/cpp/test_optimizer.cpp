// The optimizer: the SaturationEngine, the elimination passes, stage fusion,
// the reduction pipeline and its store side, and the incremental reducer.
// Exact hand cases, many written as text, and seeded random graphs against a
// small model: a fingerprint of the value each node computes.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "builders.hpp"
#include "optimizer/incremental.hpp"
#include "optimizer/passes.hpp"
#include "optimizer/saturation_engine.hpp"
#include "saturation/driver.hpp"

namespace veltrix {
namespace {

using Map = LargeVector<std::uint32_t>;
using test_support::failure_text;
const std::string kAdd0 = "op|add|scalar=f0000000000000000;side=s", kMul1 = "op|mul|scalar=f3ff0000000000000;side=s";

using sat::StopCause;

// Engine graphs as text: nodes separated by ", ", each a label and its inputs.
EngineGraph parse(const std::string& text, std::vector<std::uint64_t> outputs = {}) {
    EngineGraph g;
    std::istringstream nodes(text);
    for (std::string item; std::getline(nodes, item, ',');) {
        std::istringstream words(item);
        std::string label;
        std::vector<std::uint64_t> inputs;
        words >> label;
        for (std::uint64_t k; words >> k;) inputs.push_back(k);
        g.add(label, inputs);
    }
    g.outputs = std::move(outputs);
    return g;
}
std::string show(const EngineGraph& g) {  // also checks every boundary flag
    std::string s;
    for (std::size_t i = 0; i < g.size(); ++i) {
        EXPECT_EQ(g.boundary(i), !g.label(i).starts_with("op|")) << g.label(i);
        s += (s.empty() ? "" : ", ") + std::string(g.label(i));
        for (std::uint32_t k : g.inputs(i)) s += " " + std::to_string(k);
    }
    return s;
}

TEST(SaturationEngine, TwelveRulesInOrderAndWorkedExamples) {
    const SaturationEngine engine;
    EXPECT_EQ(engine.iter_limit(), 12u);
    std::vector<std::string> expected, actual;
    for (const std::string x : {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"}) {
        expected.push_back("commute-" + x + " (op|" + x + " ?a ?b) (op|" + x + " ?b ?a)");
    }
    for (const std::string& s : {kAdd0 + "r", kAdd0 + "l", kMul1 + "r", kMul1 + "l"}) {
        expected.push_back("identity-" + std::to_string(expected.size() - 8) + " (" + s + " ?x) ?x");
    }
    for (const sat::Rewrite& r : engine.rules()) {
        actual.push_back(std::string(r.name().text()) + " " + r.searcher().text() + " " + r.applier().text());
    }
    EXPECT_EQ(actual, expected);

    const std::string kept = "src|a, src|b, op|sub 0 1, op|sub 1 0, op|add|axis=i1 0 1, op|add|axis=i1 1 0, op|add 0 1 0, "
                             "op|add 1 0 0, op|add|scalar=f8000000000000000;side=sr 0, op|add|scalar=i0;side=sr 0, " + kAdd0 +
                             "x 0, op|add|k=i1;scalar=f0000000000000000;side=sr 0, op|mul|scalar=f0000000000000000;side=sr 0, " +
                             kAdd0 + "l 0 1";
    using Outputs = std::vector<std::uint64_t>;
    using Row = std::tuple<std::string, Outputs, std::string, Map, Outputs>;  // graph, outputs, result, map, result outputs
    for (const auto& [input, outputs, result, map, result_outputs] : std::vector<Row>{
             {"", {}, "", {}, {}},
             {kept, {13}, kept, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, {13}},
             {"src|a, src|b, op|add 0 1, op|add 1 0, op|mul 0 0, op|mul 0 0", {3, 5}, "src|a, src|b, op|add 0 1, op|mul 0 0",
              {0, 1, 2, 2, 3, 3}, {2, 3}},
             {"src|x, " + kMul1 + "l 0, " + kAdd0 + "r 1, op|neg 0, op|neg 2", {2, 1, 4}, "src|x, op|neg 0", {0, 0, 0, 1, 1}, {0, 0, 1}},
             {"src|a, src|b, " + kAdd0 + "l 1, op|maximum 0 2, op|maximum 1 0", {}, "src|a, src|b, op|maximum 0 1", {0, 1, 1, 2, 2}, {}},
             {"src|s, src|s, red|sum 1, " + kMul1 + "r 2", {3, 0, 3}, "src|s, red|sum 0", {0, 0, 1, 1}, {1, 0, 1}},
             {"src|a, stage|2 0, stage|2 0, stage|3 0", {}, "src|a, stage|2 0, stage|3 0", {0, 1, 1, 2}, {}}}) {
        SaturationTrace trace;
        const Canonical out = engine.canonicalize(parse(input, outputs), &trace);
        EXPECT_EQ(std::tuple(show(out.graph), out.graph.outputs, trace.stop.kind),
                  std::tuple(result, result_outputs, StopCause::Kind::Saturated)) << input;
        EXPECT_EQ(out.map, map) << input;
        EXPECT_EQ(show(engine.canonicalize(parse(input, outputs)).graph), result) << "the engine keeps no state";
        if (input.empty()) { EXPECT_EQ(trace.iterations.size(), 1u) << "the driver runs on an empty graph too"; }
    }
    for (const char* broken : {"src|a, op|neg 1", "src|a, op|neg 5"}) EXPECT_THROW(engine.canonicalize(parse(broken)), InternalFailure);
    EXPECT_THROW(engine.canonicalize(parse("src|a", {1})), InternalFailure);
}

// More than 1000 matches of commute-add: banned in iteration 0, applied in 1, banned again in 2 (2002 matches against
// 2000), nothing new in 3. With swapped twins added, the throttled run still merges every one of them.
TEST(SaturationEngine, ThrottledAddRuleWaitsAndStillSaturates) {
    auto adds = [](std::size_t count, std::size_t twins) {  // over distinct pairs of sources, then swapped twins of the first
        std::size_t n = 2;
        while (n * (n - 1) / 2 < count) ++n;
        EngineGraph g;
        for (std::size_t s = 0; s < n; ++s) g.add("src|s" + std::to_string(s), {});
        for (std::uint64_t a = 0; a < n; ++a) {
            for (std::uint64_t b = a + 1; b < n && g.size() < n + count; ++b) g.add("op|add", {a, b});
        }
        for (std::size_t k = 0; k < twins; ++k) g.add("op|add", {g.inputs(n + k)[1], g.inputs(n + k)[0]});
        return std::pair{std::move(g), n};
    };
    SaturationTrace trace;
    const auto [g, sources] = adds(1001, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(SaturationEngine().canonicalize(g, &trace).graph.size(), g.size());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "no repeated-name warning";
    const sat::Symbol add = sat::Symbol::intern("commute-add");
    using Applied = std::vector<std::pair<sat::Symbol, std::uint64_t>>;
    const std::vector<std::pair<std::vector<sat::Symbol>, Applied>> expected = {{{add}, {}}, {{}, {{add, 1001}}}, {{add}, {}}, {{}, {}}};
    ASSERT_EQ(trace.iterations.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(std::pair(trace.iterations[i].banned, trace.iterations[i].applied), expected[i]) << i;
    EXPECT_EQ(trace.stop.kind, StopCause::Kind::Saturated);

    const auto [twinned, n] = adds(1500, 700);
    const Canonical out = SaturationEngine().canonicalize(twinned, &trace);
    EXPECT_EQ(std::tuple(out.graph.size(), trace.stop.kind), std::tuple(n + 1500, StopCause::Kind::Saturated));
    for (std::size_t k = 0; k < 700; ++k) EXPECT_EQ(out.map[n + 1500 + k], n + k) << k;
}

// Only the operators the rules name are interned: reductions must not grow the process-wide table with the names of
// their sources.
TEST(SaturationEngine, InternsOnlyTheOperatorsTheRulesName) {
    const std::string tag = "never-seen-" + std::to_string(std::random_device{}());
    const EngineGraph g = parse("src|" + tag + "a, src|" + tag + "b, op|add 0 1, op|add 1 0, op|" + tag + " 2, op|" + tag +
                                " 3, " + kMul1 + "l 5", {6, 4});
    const std::uint64_t before = sat::interned_symbol_count();
    const Canonical out = SaturationEngine().canonicalize(g);
    EXPECT_EQ(sat::interned_symbol_count(), before);
    EXPECT_EQ(std::tuple(out.map, out.graph.outputs), std::tuple(Map{0, 1, 2, 2, 3, 3, 3}, std::vector<std::uint64_t>{3, 3}));
}

using namespace test_support;

struct FixedEngine final : RewriteEngine {  // answers with what it holds, to break the contract
    explicit FixedEngine(Canonical c) : answer(std::move(c)) {}
    Canonical answer;
    Canonical canonicalize(const EngineGraph&) const override { return answer; }
};

const IdentityEngine kIdentity;
const SaturationEngine kRules;
const std::optional<std::size_t> none;

// Node keys from text written as for parse: "src|x", an Op or Reduction token, "join", or "stage|neg" (a stage of
// one op|neg), each with its inputs.
std::vector<NodeKey> graph(const std::string& text) {
    std::vector<NodeKey> nodes;
    const EngineGraph g = parse(text);
    for (std::size_t i = 0; i < g.size(); ++i) {
        const std::vector<NodeId> in(g.inputs(i).begin(), g.inputs(i).end());
        const std::string label(g.label(i));
        const std::optional<ParsedOpToken> t = parse_op_token(label);
        const std::string name = label.substr(label.find('|') + 1);
        nodes.push_back(t && t->kind == "op" ? NodeKey::op(t->name, t->params, in)
                        : t                  ? NodeKey::reduction(t->name, t->params, in)
                        : label == "join"    ? NodeKey::join({}, in)
                        : label.starts_with("stage|") ? NodeKey::stage(in, {{"op|" + name, {I(0)}}})
                                                      : src(name));
    }
    return nodes;
}
// Nodes and outputs as text: tokens and inputs, a stage as "stage", its inputs and "[member; ...]" with input (I) and
// member (M) references.
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
    std::string s = show(r.nodes, r.outputs) + " | " + show(r.node_map.entries()) + " |";
    for (const auto& [key, value] : r.entries()) s += " " + std::to_string(value);
    return s;
}
std::string show(const GraphStore& s) { return show(s.nodes_copy(), s.outputs()) + " | " + show(s.node_map()); }

TEST(Passes, BrokenInputsAreInternalFailures) {
    const std::vector<NodeKey> nodes = graph("src|s, red|r 0");
    const EngineGraph g = to_engine_graph(nodes, std::vector<std::uint64_t>{}), forward = parse("op|f 1, src|s"),
                      bad_output = parse("src|s", {1});
    EXPECT_TRUE(g.inputs(0).empty());
    EXPECT_EQ(std::vector<std::uint32_t>(g.inputs(1).begin(), g.inputs(1).end()), std::vector<std::uint32_t>{0});
    for (const EngineGraph* broken : {&forward, &bad_output}) EXPECT_THROW(cse(*broken), InternalFailure);
    EXPECT_THROW(dead_code_elimination(InputGraph::of(graph("op|f 0")), std::vector<std::uint64_t>{0}), InternalFailure);
    EXPECT_THROW(InputGraph::of(graph("op|f 5")), InternalFailure);
    EXPECT_THROW(stage_fusion(forward, TokenTable(nodes, g), FusionRule::SingleUse), InternalFailure);
    EXPECT_EQ(failure_text([&] { stage_fusion(parse("src|s, red|other 0"), TokenTable(nodes, g), FusionRule::SingleUse); }), "no entry found for key");
    // Engine answers that break the contract (an unknown boundary label, a short map, a wild map), and an output
    // beyond the snapshot.
    const std::vector<NodeId> out = {1};
    EXPECT_EQ(failure_text([&] { reduce_with_mode(nodes, out, FixedEngine({parse("src|s, red|other 0", {1}), {0, 1}}), FusionRule::SingleUse); }),
              "no entry found for key");
    EXPECT_THROW(reduce_with_mode(nodes, out, FixedEngine({parse("src|s", {0}), {0}}), FusionRule::SingleUse), InternalFailure);
    EXPECT_THROW(reduce_with_mode(nodes, out, FixedEngine({parse("src|s", {0}), {0, 7}}), FusionRule::SingleUse), InternalFailure);
    EXPECT_THROW(reduce_with_mode(nodes, std::vector<NodeId>{2}, kIdentity, FusionRule::SingleUse), InternalFailure);
    // Reduced graphs with an input after its user, an output or a node-map entry beyond the nodes.
    for (Reduced broken : {Reduced{{}, {op("f", {1}), src("x")}, {}, {}}, Reduced{{}, {src("x")}, {1}, {}},
                           Reduced{{}, {src("x")}, {}, {Placement{3, none}}}}) {
        EXPECT_THROW(from_reduced(std::move(broken)), InternalFailure);
    }
}

// Each row: the graph, its outputs, and the result under the single-use rule and under the maximal rule (empty when
// the same): "nodes -> outputs | node map | input, reachable, canonical, stages, reduced, boundary".
TEST(Pipeline, SmallGraphsExactly) {
    using Row = std::tuple<std::string, std::vector<NodeId>, std::string, std::string>;
    for (const auto& [nodes, outputs, single, maximal] : std::vector<Row>{
             {"", {}, "-> |  | 0 0 0 0 0 0", ""},
             {"src|x, op|neg 0", {}, "-> | - - | 2 0 0 0 0 0", ""},
             {"src|x, op|neg 0, red|sum 1", {2}, "src|x, stage 0 [op|neg I0], red|sum 1 -> 2 | 0 1.0 2 | 3 3 3 1 3 2", ""},
             // Repeated outputs, an unreachable node, an output inside a chain.
             {"src|x, src|unused, op|a 0, op|b 2", {3, 2, 3},
              "src|x, stage 0 [op|a I0], stage 1 [op|b I0] -> 2 1 2 | 0 - 1.0 2.0 | 4 3 3 2 3 1", ""},
             // An operation merged into a boundary node lands on it.
             {"src|x, " + kAdd0 + "r 0, red|r 1", {2, 1}, "src|x, red|r 0 -> 1 0 | 0 0 1 | 3 3 2 0 2 2", ""},
             {"src|a, op|x 0, op|x 0, op|y 1, op|y 2, join 3 4", {5},
              "src|a, stage 0 [op|x I0; op|y M0], join 1 1 -> 2 | 0 1.0 1.0 1.1 1.1 2 | 6 6 4 1 3 2", ""},
             {"src|s, op|a 0, op|b 1, op|c 2", {3}, "src|s, stage 0 [op|a I0; op|b M0; op|c M1] -> 1 | 0 1.0 1.1 1.2 | 4 4 4 1 2 1", ""},
             {"src|s, op|a 0, op|b 1, op|c 1, op|d 2 3, red|r 4", {5},
              "src|s, stage 0 [op|a I0], stage 1 [op|b I0; op|c I0; op|d M0 M1], red|r 2 -> 3 | 0 1.0 2.0 2.1 2.2 3 | 6 6 6 2 4 2",
              "src|s, stage 0 [op|a I0; op|b M0; op|c M0; op|d M1 M2], red|r 1 -> 2 | 0 1.0 1.1 1.2 1.3 2 | 6 6 6 1 3 2"},
             {"src|s, op|x 0, op|y 1 1", {2}, "src|s, stage 0 [op|x I0], stage 1 [op|y I0 I0] -> 2 | 0 1.0 2.0 | 3 3 3 2 3 1",
              "src|s, stage 0 [op|x I0; op|y M0 M0] -> 1 | 0 1.0 1.1 | 3 3 3 1 2 1"},
             // Consumers in different stages.
             {"src|s, op|a 0, op|b 1, op|c 1, red|r 2", {4, 3},
              "src|s, stage 0 [op|a I0], stage 1 [op|b I0], stage 1 [op|c I0], red|r 2 -> 4 3 | 0 1.0 2.0 3.0 4 | 5 5 5 3 5 2", ""},
             // Boundary consumers end stages and keep repeated inputs.
             {"src|s, op|a 0, red|r 1, op|b 2, join 3 3 0", {4},
              "src|s, stage 0 [op|a I0], red|r 1, stage 2 [op|b I0], join 3 3 0 -> 4 | 0 1.0 2 3.0 4 | 5 5 5 2 5 3", ""},
             // One stage input per outside producer, in order of first use.
             {"src|s, src|t, op|a 1 0, op|b 0 2 0", {3},
              "src|s, src|t, stage 1 0 [op|a I0 I1; op|b I1 M0 I1] -> 2 | 0 1 2.0 2.1 | 4 4 4 1 3 2", ""},
             // Stages already in the graph stay whole boundary nodes.
             {"src|s, stage|neg 0, stage|abs 0, op|a 1, join 3 2", {4},
              "src|s, stage 0 [op|neg I0], stage 0 [op|abs I0], stage 1 [op|a I0], join 3 2 -> 4 | 0 1 2 3.0 4 | 5 5 5 1 5 4", ""}}) {
        for (FusionRule rule : {FusionRule::SingleUse, FusionRule::Maximal}) {
            const bool fan_out = rule == FusionRule::Maximal;
            EXPECT_EQ(show(reduce_with_mode(graph(nodes), outputs, kRules, rule)), fan_out && !maximal.empty() ? maximal : single)
                << nodes << fan_out;
        }
    }
}

TEST(Pipeline, StoreSide) {
    GraphStore store;
    for (const NodeKey& k : graph("src|a, src|b, op|f 0, op|f 1, red|r 2, " + kAdd0 + "r 0, op|f 5")) ASSERT_TRUE(store.intern(k));
    for (NodeId m : {4, 6}) ASSERT_FALSE(store.mark_output(m));
    EXPECT_EQ(show(*reduce_with(store, kRules, FusionRule::SingleUse).store), "src|a, stage 0 [op|f I0], red|r 1 -> 2 1 | 0 - 1.0 - 2 0 1.0");
    for (const auto& [outputs, bad] : std::vector<std::pair<std::vector<NodeId>, NodeId>>{{{0, 99}, 99}, {{99, 100}, 99}, {{7}, 7}}) {
        EXPECT_EQ(reduce_with_outputs(store, outputs, kRules, FusionRule::SingleUse).error().id, bad);
    }
    EXPECT_EQ(show(*reduce_with_outputs(store, {}, kRules, FusionRule::SingleUse)->store), "-> | - - - - - - -") << "an empty list ignores the marks";
    EXPECT_EQ(show(*reduce_with_outputs(store, std::vector<NodeId>{6, 2, 6}, kRules, FusionRule::SingleUse)->store),
              "src|a, stage 0 [op|f I0] -> 1 | 0 - 1.0 - - 0 1.0") << "outputs that land together are marked once";
    const ReductionResult s = from_reduced(Reduced{{9, 0, 0, 0, 4, 0}, {src("x"), src("x"), op("f", {1}), red("r", {0, 1, 2})}, {3, 1, 0},
                                                   {Placement{1, none}, std::nullopt, Placement{3, none}}});
    EXPECT_EQ(std::tuple(show(*s.store), s.report),
              std::tuple("src|x, op|f 0, red|r 0 0 1 -> 2 0 | 0 - 2", ReductionReport{9, 0, 0, 0, 4, 0}));
}

// The model: a fingerprint of the value computed by a node with this label over inputs with these fingerprints. An
// identity (x + 0.0, x * 1.0) is its operand, and a commutative operation ignores the order of its two inputs. The
// incremental reducer also drops identities that have extra inputs.
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

// Distinct keys in topological order, as a store holds them: near-identities, swapped twins, and externals with
// colliding plain tokens included.
std::vector<NodeKey> random_graph(std::mt19937_64& rng, std::size_t n) {
    GraphStore store;
    std::vector<NodeKey> nodes;
    const PayloadDescriptor externals[] = {
        {"m|a", "b", "f", "1", "io", {}}, {"m", "a|b", "f", "1", "io", {}}, {"m", "a|b", "f", "1", "io", "-"}};
    const char* names[] = {"add", "mul", "maximum", "sub", "neg"};
    auto in = [&](std::size_t count) {
        std::vector<NodeId> v(count);
        for (NodeId& x : v) x = rng() % nodes.size();
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
                            : roll < 15 && twin.is_op() && twin.inputs().size() == 2
                                ? twin.with_inputs({twin.inputs()[1], twin.inputs()[0]})
                            : roll < 17  ? red("sum", in(1))
                            : roll == 17 ? NodeKey::join({}, in(2))
                                         : NodeKey::external(externals[rng() % 3], {}, in(1));
        if (store.intern(key).value() == nodes.size()) nodes.push_back(key);
    }
    return nodes;
}

// Random graphs reduced with the rules: every output and every reachable node lands on a place computing its value,
// two nodes share a place exactly when they compute the same value, the counters are exact, and reducing the result
// again changes nothing. The incremental reducer, fed the graph in random chunks, keeps one canonical node per value.
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
        for (const FusionRule rule : {FusionRule::SingleUse, FusionRule::Maximal}) {
            const bool maximal = rule == FusionRule::Maximal;
            SCOPED_TRACE(maximal ? "maximal" : "single-use");
            const Reduced r = reduce_with_mode(nodes, outputs, kRules, rule);
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
            std::map<Print, Placement> place_of;  // a place computes one value, so values never share one
            for (std::size_t i = 0; i < nodes.size(); ++i) {
                ASSERT_EQ(r.node_map[i].has_value(), live[i]) << i;
                if (!live[i]) continue;
                const Placement p = *r.node_map[i];
                ASSERT_EQ(r.nodes.at(p.node).kind() == NodeKind::Stage, p.member.has_value()) << i;
                EXPECT_EQ(p.member ? member[p.node].at(*p.member) : after[p.node], print[i]) << i;
                EXPECT_EQ(place_of.try_emplace(print[i], p).first->second, p) << i;
            }

            // Reducing the result again changes nothing, stages with one token included.
            const ReductionResult once = from_reduced(r), again = reduce_with(*once.store, kRules, rule);
            std::vector<NodeMapEntry> same(once.store->node_count());
            for (std::size_t i = 0; i < same.size(); ++i) same[i] = Placement{i, none};
            EXPECT_EQ(show(*again.store), show(once.store->nodes_copy(), once.store->outputs()) + " | " + show(same));
            EXPECT_EQ(again.report, (ReductionReport{same.size(), same.size(), same.size(), 0, same.size(), same.size()}));
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

        // The engine's answer, which the pipeline takes without CSE, has nothing left for CSE to merge.
        const EngineGraph fine = to_engine_graph(nodes, outputs);
        const Canonical answer = kRules.canonicalize(fine);
        EXPECT_TRUE(answer.duplicate_free);
        EXPECT_EQ(cse(answer.graph).graph.size(), answer.graph.size());

        // CSE against a naive one, on labels coarse enough to merge a lot.
        EngineGraph coarse;
        for (std::size_t i = 0; i < fine.size(); ++i) {
            const std::vector<std::uint64_t> in(fine.inputs(i).begin(), fine.inputs(i).end());
            coarse.add(fine.label(i).substr(0, 5), in);
        }
        coarse.outputs = outputs;
        const CseResult merged = cse(coarse);
        std::map<std::pair<std::string, std::vector<std::uint32_t>>, std::uint32_t> first;
        std::vector<std::uint32_t> naive;
        for (std::size_t i = 0; i < coarse.size(); ++i) {
            std::vector<std::uint32_t> in;
            for (std::uint32_t x : coarse.inputs(i)) in.push_back(naive[x]);
            naive.push_back(first.try_emplace({std::string(coarse.label(i)), in}, std::uint32_t(first.size())).first->second);
        }
        EXPECT_EQ(std::vector<std::uint32_t>(merged.old_to_new.begin(), merged.old_to_new.end()), naive);
        EXPECT_EQ(merged.graph.size(), first.size());
        EXPECT_LT(merged.graph.size(), coarse.size());
    }
    EXPECT_GT(stage_token_collisions, 0) << "no reduced graph held two stages with one token and different members";
}

// Chains far deeper than a call stack could follow: alternating abs and neg, 500,000 over x and 500,000 over x + 0.0.
// The identity merges the chains' roots, congruence merges every level, and fusion makes one stage of the rest.
TEST(Pipeline, MillionNodeChainsWithoutRecursion) {
    constexpr std::size_t kLength = 500'000;
    std::vector<NodeKey> nodes = graph("src|x, " + kAdd0 + "r 0");
    nodes.reserve(2 * kLength + 2);
    for (std::size_t i = 0; i < 2 * kLength; ++i) nodes.push_back(op(i % 2 ? "neg" : "abs", {i == 0 ? 0 : i == kLength ? 1 : i + 1}));
    Reduced r = reduce_with_mode(nodes, std::vector<NodeId>{2 * kLength + 1, kLength + 1}, kRules, FusionRule::SingleUse);
    EXPECT_EQ(r.report(), (ReductionReport{2 * kLength + 2, 2 * kLength + 2, kLength + 1, 1, 2, 1}));
    ASSERT_EQ(std::tuple(r.nodes.size(), r.outputs), std::tuple(2u, std::vector<NodeId>{1, 1}));
    EXPECT_EQ(std::tuple(r.nodes[1].members().size(), r.nodes[1].members().back().inputs),
              std::tuple(kLength, std::vector<StageRef>{M(kLength - 2)}));
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
    const Reduced r = form.finalize(all, kIdentity, FusionRule::SingleUse).value();
    EXPECT_EQ(show(r.node_map.entries()), "0 1 0 0 2.0 2.0 3.0 4.0 5.0 5.0 0 6.0 7.0 8.0 9.0 10.0 11.0");
    EXPECT_EQ(r.report(), (ReductionReport{12, 12, 12, 10, 12, 2}));
    EXPECT_EQ(show(form.finalize(std::vector<NodeId>{8}, kIdentity, FusionRule::SingleUse).value()),
              "src|x, src|z, stage 0 1 [op|add I0 I1; op|neg M0] -> 2 | 0 1 0 0 2.0 2.0 - - 2.1 2.1 0 - - - - - - | 12 4 4 1 3 2");
    EXPECT_EQ(form.finalize(std::vector<NodeId>{17}, kIdentity, FusionRule::SingleUse).error().id, 17u);
    CanonicalForm broken;
    EXPECT_EQ(broken.step(graph("src|x, op|f 0, op|g 5")).error().id, 5u);
    EXPECT_EQ(std::tuple(broken.watermark(), broken.total_work()), std::tuple(2u, 0u)) << "what came before stays consumed";
}

TEST(Incremental, APanicPoisonsTheReducerAndNotTheStore) {
    GraphStore store;
    ASSERT_TRUE(store.intern(src("x")));
    IncrementalReducer poisoned;
    EXPECT_EQ(poisoned.step(store).value(), 1u);
    EXPECT_EQ(poisoned.finalize(store, std::vector<NodeId>{1}, kIdentity, FusionRule::SingleUse).error().id, 1u);
    EXPECT_THROW(poisoned.with_state([](CanonicalForm&) -> int { panic("boom"); }), InternalFailure);
    EXPECT_EQ(failure_text([&] { (void)poisoned.step(store); }), kReducerPoisoned);
    EXPECT_EQ(failure_text([&] { (void)poisoned.watermark(); }), kReducerPoisoned);
    EXPECT_EQ(failure_text([&] { (void)poisoned.finalize(store, std::nullopt, kIdentity, FusionRule::SingleUse); }), kReducerPoisoned);
    EXPECT_EQ(store.node_count(), 1u) << "the store is not affected";
}

TEST(Incremental, StepsCoverWhatThreadsRecordMeanwhile) {
    GraphStore store;
    ASSERT_TRUE(store.intern(src("x")));
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

}  // namespace
}  // namespace veltrix
