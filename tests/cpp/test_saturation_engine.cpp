// Canonicalisation by equality saturation, checked against worked examples
// and against an independent congruence-closure oracle.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "graph/support.hpp"
#include "optimizer/saturation_engine.hpp"

namespace veltrix {
namespace {

using sat::StopCause;

const std::string kAdd0R = "op|add|scalar=f0000000000000000;side=sr";
const std::string kAdd0L = "op|add|scalar=f0000000000000000;side=sl";
const std::string kMul1R = "op|mul|scalar=f3ff0000000000000;side=sr";
const std::string kMul1L = "op|mul|scalar=f3ff0000000000000;side=sl";
const std::vector<std::string> kCommutative = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};

EngineNode node(std::string label, std::vector<std::uint64_t> inputs = {}) {
    const bool boundary = label.rfind("op|", 0) != 0;
    return EngineNode{std::move(label), std::move(inputs), boundary};
}

EngineGraph graph(std::vector<EngineNode> nodes, std::vector<std::uint64_t> outputs = {}) {
    return EngineGraph{EngineNodes(std::make_move_iterator(nodes.begin()), std::make_move_iterator(nodes.end())),
                       std::move(outputs)};
}

using Map = LargeVector<std::uint64_t>;

TEST(SaturationRules, TwelveRulesInOrderWithExactTexts) {
    const SaturationEngine engine;
    EXPECT_EQ(engine.iter_limit(), 12u);
    std::vector<std::tuple<std::string, std::string, std::string>> expected;
    for (const std::string& x : kCommutative) {
        expected.emplace_back("commute-" + x, "(op|" + x + " ?a ?b)", "(op|" + x + " ?b ?a)");
    }
    int i = 0;
    for (const std::string& s : {kAdd0R, kAdd0L, kMul1R, kMul1L}) {
        expected.emplace_back("identity-" + std::to_string(i++), "(" + s + " ?x)", "?x");
    }
    ASSERT_EQ(engine.rules().size(), expected.size());
    std::set<std::string> names;
    for (std::size_t k = 0; k < expected.size(); ++k) {
        const sat::Rewrite& r = engine.rules()[k];
        EXPECT_EQ(r.name().text(), std::get<0>(expected[k]));
        EXPECT_EQ(r.searcher().text(), std::get<1>(expected[k]));
        EXPECT_EQ(r.applier().text(), std::get<2>(expected[k]));
        names.insert(std::string(r.name().text()));
    }
    EXPECT_EQ(names.size(), 12u);
    testing::internal::CaptureStderr();
    engine.canonicalize(graph({node("src|x")}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "no duplicate-name warning";
}

struct EdgeCase {
    std::string name;
    EngineGraph input;
    std::vector<std::string> labels;  // result labels in order
    Map map;
    std::vector<std::uint64_t> outputs;
};

TEST(SaturationCanonicalize, WorkedExamples) {
    const std::vector<EdgeCase> cases = {
        {"empty", graph({}), {}, {}, {}},
        {"commuted add", graph({node("src|a"), node("src|b"), node("op|add", {0, 1}), node("op|add", {1, 0})}, {3}),
         {"src|a", "src|b", "op|add"}, {0, 1, 2, 2}, {2}},
        {"sub does not commute",
         graph({node("src|a"), node("src|b"), node("op|sub", {0, 1}), node("op|sub", {1, 0})}),
         {"src|a", "src|b", "op|sub", "op|sub"}, {0, 1, 2, 3}, {}},
        {"add with a parameter does not commute",
         graph({node("src|a"), node("src|b"), node("op|add|axis=i1", {0, 1}), node("op|add|axis=i1", {1, 0})}),
         {"src|a", "src|b", "op|add|axis=i1", "op|add|axis=i1"}, {0, 1, 2, 3}, {}},
        {"identity add", graph({node("src|x"), node(kAdd0R, {0})}, {1}), {"src|x"}, {0, 0}, {0}},
        {"chained identities", graph({node("src|x"), node(kMul1L, {0}), node(kAdd0R, {1})}, {2, 1}), {"src|x"},
         {0, 0, 0}, {0, 0}},
        {"congruence after an identity",
         graph({node("src|x"), node(kAdd0R, {0}), node("op|neg", {0}), node("op|neg", {1})}),
         {"src|x", "op|neg"}, {0, 0, 1, 1}, {}},
        {"equal source tokens", graph({node("src|x"), node("src|x"), node("op|neg", {1})}), {"src|x", "op|neg"},
         {0, 0, 1}, {}},
        {"identity over a boundary node", graph({node("src|s"), node("red|sum", {0}), node(kMul1R, {1})}, {2}),
         {"src|s", "red|sum"}, {0, 1, 1}, {1}},
        {"duplicated outputs", graph({node("src|a"), node("op|neg", {0})}, {1, 0, 1, 1}), {"src|a", "op|neg"},
         {0, 1}, {1, 0, 1, 1}},
        {"negative zero is not an identity", graph({node("src|x"), node("op|add|scalar=f8000000000000000;side=sr", {0})}),
         {"src|x", "op|add|scalar=f8000000000000000;side=sr"}, {0, 1}, {}},
        {"integer zero is not an identity", graph({node("src|x"), node("op|add|scalar=i0;side=sr", {0})}),
         {"src|x", "op|add|scalar=i0;side=sr"}, {0, 1}, {}},
        {"other side text", graph({node("src|x"), node("op|add|scalar=f0000000000000000;side=sx", {0})}),
         {"src|x", "op|add|scalar=f0000000000000000;side=sx"}, {0, 1}, {}},
        {"third parameter", graph({node("src|x"), node("op|add|k=i1;scalar=f0000000000000000;side=sr", {0})}),
         {"src|x", "op|add|k=i1;scalar=f0000000000000000;side=sr"}, {0, 1}, {}},
        {"mul by zero", graph({node("src|x"), node("op|mul|scalar=f0000000000000000;side=sr", {0})}),
         {"src|x", "op|mul|scalar=f0000000000000000;side=sr"}, {0, 1}, {}},
        {"identity label with two inputs", graph({node("src|x"), node("src|y"), node(kAdd0L, {0, 1})}),
         {"src|x", "src|y", kAdd0L}, {0, 1, 2}, {}},
        {"commute with a repeated input", graph({node("src|x"), node("op|mul", {0, 0}), node("op|mul", {0, 0})}),
         {"src|x", "op|mul"}, {0, 1, 1}, {}},
        {"commute becomes visible through an identity",
         graph({node("src|a"), node("src|b"), node(kAdd0L, {1}), node("op|maximum", {0, 2}),
                node("op|maximum", {1, 0})}),
         {"src|a", "src|b", "op|maximum"}, {0, 1, 1, 2, 2}, {}},
        {"three-input op does not commute",
         graph({node("src|a"), node("src|b"), node("op|add", {0, 1, 0}), node("op|add", {1, 0, 0})}),
         {"src|a", "src|b", "op|add", "op|add"}, {0, 1, 2, 3}, {}},
        {"stages with equal member counts and inputs",
         graph({node("src|a"), node("stage|2", {0}), node("stage|2", {0}), node("stage|3", {0})}),
         {"src|a", "stage|2", "stage|3"}, {0, 1, 1, 2}, {}},
    };
    const SaturationEngine engine;
    for (const EdgeCase& c : cases) {
        SaturationTrace trace;
        const Canonical out = engine.canonicalize(c.input, &trace);
        std::vector<std::string> labels;
        for (const EngineNode& n : out.graph.nodes) {
            labels.push_back(n.label);
            EXPECT_EQ(n.boundary, n.label.rfind("op|", 0) != 0) << c.name;
        }
        EXPECT_EQ(labels, c.labels) << c.name;
        EXPECT_EQ(out.map, c.map) << c.name;
        EXPECT_EQ(out.graph.outputs, c.outputs) << c.name;
        EXPECT_EQ(trace.stop.kind, StopCause::Kind::Saturated) << c.name;
    }
}

TEST(SaturationCanonicalize, KeepsInputsOfTheRepresentative) {
    const SaturationEngine engine;
    const Canonical out =
        engine.canonicalize(graph({node("src|a"), node("src|b"), node("op|add", {0, 1}), node("op|add", {1, 0})}));
    ASSERT_EQ(out.graph.nodes.size(), 3u);
    EXPECT_EQ(out.graph.nodes[2].inputs, (std::vector<std::uint64_t>{0, 1}));
    EXPECT_FALSE(out.graph.nodes[2].boundary);
    EXPECT_TRUE(out.graph.nodes[0].boundary);

    SaturationTrace trace;
    engine.canonicalize(graph({}), &trace);
    EXPECT_EQ(trace.iterations.size(), 1u) << "the driver still runs on an empty graph";
    EXPECT_EQ(trace.stop.kind, StopCause::Kind::Saturated);
}

TEST(SaturationCanonicalize, BrokenGraphsAreInternalFailures) {
    const SaturationEngine engine;
    const std::vector<EngineGraph> broken = {
        graph({node("src|a"), node("op|neg", {1})}),
        graph({node("src|a"), node("op|neg", {5})}),
        graph({node("src|a")}, {1}),
    };
    for (const EngineGraph& g : broken) EXPECT_THROW(engine.canonicalize(g), InternalFailure);
}

// 1001 adds on distinct, unswapped pairs of sources.
EngineGraph many_adds(std::size_t count) {
    std::vector<EngineNode> nodes;
    std::size_t sources = 2;
    while (sources * (sources - 1) / 2 < count) ++sources;
    for (std::size_t s = 0; s < sources; ++s) nodes.push_back(node("src|s" + std::to_string(s)));
    std::size_t made = 0;
    for (std::size_t a = 0; a < sources && made < count; ++a) {
        for (std::size_t b = a + 1; b < sources && made < count; ++b, ++made) nodes.push_back(node("op|add", {a, b}));
    }
    return graph(std::move(nodes));
}

TEST(SaturationCanonicalize, ThrottledAddRuleStillSaturates) {
    const SaturationEngine engine;
    SaturationTrace trace;
    const EngineGraph g = many_adds(1001);
    const Canonical out = engine.canonicalize(g, &trace);
    EXPECT_EQ(out.graph.nodes.size(), g.nodes.size()) << "nothing to merge";
    ASSERT_EQ(trace.iterations.size(), 4u);
    const sat::Symbol commute_add = sat::Symbol::intern("commute-add");
    using Applied = std::vector<std::pair<sat::Symbol, std::uint64_t>>;
    EXPECT_EQ(trace.iterations[0].banned, std::vector<sat::Symbol>{commute_add});
    EXPECT_EQ(trace.iterations[0].applied, Applied{});
    EXPECT_EQ(trace.iterations[1].banned, std::vector<sat::Symbol>{});
    EXPECT_EQ(trace.iterations[1].applied, (Applied{{commute_add, 1001}}));
    EXPECT_EQ(trace.iterations[2].banned, std::vector<sat::Symbol>{commute_add}) << "2002 matches > 2000";
    EXPECT_EQ(trace.iterations[2].applied, Applied{});
    EXPECT_EQ(trace.iterations[3].banned, std::vector<sat::Symbol>{});
    EXPECT_EQ(trace.iterations[3].applied, Applied{});
    EXPECT_EQ(trace.stop.kind, StopCause::Kind::Saturated);
}

// ---------------------------------------------------------------------------
// Oracle: congruence closure of the identity and commutativity equations over
// the input nodes, by a plain union-find fixpoint.

class UnionFind {
public:
    explicit UnionFind(std::size_t n) : parent_(n) { std::iota(parent_.begin(), parent_.end(), 0); }
    std::size_t find(std::size_t x) {
        while (parent_[x] != x) x = parent_[x] = parent_[parent_[x]];
        return x;
    }
    bool unite(std::size_t a, std::size_t b) {
        a = find(a);
        b = find(b);
        if (a == b) return false;
        parent_[std::max(a, b)] = std::min(a, b);
        return true;
    }

private:
    std::vector<std::size_t> parent_;
};

// For every node, the lowest index in its class.
std::vector<std::size_t> oracle_classes(const EngineGraph& g) {
    const std::set<std::string> identities = {kAdd0R, kAdd0L, kMul1R, kMul1L};
    std::set<std::string> commutative;
    for (const std::string& x : kCommutative) commutative.insert("op|" + x);
    const std::size_t n = g.nodes.size();
    UnionFind uf(n);
    for (bool changed = true; changed;) {
        changed = false;
        std::map<std::pair<std::string, std::vector<std::size_t>>, std::size_t> seen;
        for (std::size_t i = 0; i < n; ++i) {
            const EngineNode& v = g.nodes[i];
            if (identities.count(v.label) && v.inputs.size() == 1) changed |= uf.unite(i, v.inputs[0]);
            std::vector<std::size_t> kids;
            for (std::uint64_t k : v.inputs) kids.push_back(uf.find(k));
            auto [it, fresh] = seen.try_emplace({v.label, kids}, i);
            if (!fresh) changed |= uf.unite(i, it->second);
            if (commutative.count(v.label) && kids.size() == 2) {
                auto swapped = seen.find({v.label, {kids[1], kids[0]}});
                if (swapped != seen.end()) changed |= uf.unite(i, swapped->second);
            }
        }
    }
    std::vector<std::size_t> lowest(n);
    for (std::size_t i = 0; i < n; ++i) lowest[i] = uf.find(i);  // roots are class minima
    return lowest;
}

EngineGraph random_graph(std::mt19937_64& rng, std::size_t n) {
    static const std::vector<std::string> unary = {"op|neg", "op|exp", kAdd0R, kAdd0L, kMul1R, kMul1L,
                                                   "op|add|scalar=f8000000000000000;side=sr", "red|sum"};
    static const std::vector<std::string> binary = {"op|add", "op|mul", "op|and",  "op|or",  "op|eq",
                                                    "op|ne",  "op|maximum", "op|minimum", "op|sub",
                                                    "op|add|axis=i1", kAdd0R};
    std::vector<EngineNode> nodes;
    auto pick = [&](std::size_t below) { return std::uniform_int_distribution<std::size_t>(0, below - 1)(rng); };
    const std::size_t sources = 2 + pick(6);
    for (std::size_t s = 0; s < sources; ++s) nodes.push_back(node("src|v" + std::to_string(pick(sources))));
    while (nodes.size() < n) {
        const std::size_t i = nodes.size();
        const std::size_t roll = pick(10);
        if (roll < 3) {
            nodes.push_back(node(unary[pick(unary.size())], {pick(i)}));
        } else if (roll < 6) {
            nodes.push_back(node(binary[pick(binary.size())], {pick(i), pick(i)}));
        } else if (roll < 8) {
            // The swapped twin of an earlier binary node, possibly over
            // identity-wrapped operands.
            std::vector<std::size_t> pairs;
            for (std::size_t k = 0; k < i; ++k) {
                if (nodes[k].inputs.size() == 2) pairs.push_back(k);
            }
            if (pairs.empty()) continue;
            const EngineNode& twin = nodes[pairs[pick(pairs.size())]];
            std::uint64_t a = twin.inputs[1];
            std::uint64_t b = twin.inputs[0];
            const std::string label = twin.label;
            if (pick(3) == 0) {
                nodes.push_back(node(kMul1R, {a}));
                a = nodes.size() - 1;
            }
            nodes.push_back(node(label, {a, b}));
        } else if (roll < 9) {
            // Rebuild an earlier unary node over an identity of its operand.
            const std::size_t k = pick(i);
            if (nodes[k].inputs.size() != 1) continue;
            nodes.push_back(node(kAdd0L, {nodes[k].inputs[0]}));
            nodes.push_back(node(nodes[k].label, {nodes.size() - 1}));
        } else {
            nodes.push_back(node("join|", {pick(i), pick(i), pick(i)}));
        }
    }
    std::vector<std::uint64_t> outputs;
    for (int k = 0; k < 3; ++k) outputs.push_back(pick(nodes.size()));
    return graph(std::move(nodes), std::move(outputs));
}

void expect_matches_oracle(const EngineGraph& g, const std::string& what) {
    const SaturationEngine engine;
    SaturationTrace trace;
    const Canonical out = engine.canonicalize(g, &trace);
    ASSERT_EQ(trace.stop.kind, StopCause::Kind::Saturated) << what;
    const std::vector<std::size_t> oracle = oracle_classes(g);
    ASSERT_EQ(out.map.size(), g.nodes.size()) << what;
    // Representatives are class minima, so the result index of node i is
    // determined by the oracle's class minimum of i.
    std::map<std::size_t, std::uint64_t> index_of_min;
    for (std::size_t i = 0; i < g.nodes.size(); ++i) {
        auto [it, fresh] = index_of_min.try_emplace(oracle[i], index_of_min.size());
        ASSERT_EQ(out.map[i], it->second) << what << " node " << i;
    }
    ASSERT_EQ(out.graph.nodes.size(), index_of_min.size()) << what;
    std::set<std::pair<std::string, std::vector<std::uint64_t>>> distinct;
    for (std::size_t r = 0; r < out.graph.nodes.size(); ++r) {
        const EngineNode& v = out.graph.nodes[r];
        for (std::uint64_t k : v.inputs) ASSERT_LT(k, r) << what;
        EXPECT_TRUE(distinct.insert({v.label, std::vector<std::uint64_t>(v.inputs.begin(), v.inputs.end())}).second) << what << " duplicate result node " << r;
    }
    for (std::size_t j = 0; j < g.outputs.size(); ++j) EXPECT_EQ(out.graph.outputs[j], out.map[g.outputs[j]]);
}

TEST(SaturationCanonicalize, PartitionEqualsCongruenceClosureOnRandomGraphs) {
    for (std::uint64_t seed = 1; seed <= 60; ++seed) {
        std::mt19937_64 rng(seed);
        const std::size_t n = 5 + static_cast<std::size_t>(rng() % 300);
        expect_matches_oracle(random_graph(rng, n), "seed " + std::to_string(seed));
    }
}

TEST(SaturationCanonicalize, ThrottledRulesReachTheUnlimitedResult) {
    // Well over 1000 matches for several rules at once.
    std::mt19937_64 rng(4242);
    expect_matches_oracle(random_graph(rng, 6000), "large");
    EngineGraph adds = many_adds(1500);
    const std::size_t base = adds.nodes.size();
    for (std::size_t k = base - 700; k < base; ++k) {
        adds.nodes.push_back(node("op|add", {adds.nodes[k].inputs[1], adds.nodes[k].inputs[0]}));
    }
    expect_matches_oracle(adds, "swapped adds");
}

TEST(SaturationCanonicalize, RepeatedCallsGiveTheSameResult) {
    std::mt19937_64 rng(7);
    const EngineGraph g = random_graph(rng, 250);
    const SaturationEngine engine;
    const Canonical first = engine.canonicalize(g);
    const Canonical second = engine.canonicalize(g);
    EXPECT_EQ(first.map, second.map);
    ASSERT_EQ(first.graph.nodes.size(), second.graph.nodes.size());
    for (std::size_t i = 0; i < first.graph.nodes.size(); ++i) {
        EXPECT_EQ(first.graph.nodes[i].label, second.graph.nodes[i].label);
        EXPECT_EQ(first.graph.nodes[i].inputs, second.graph.nodes[i].inputs);
    }
}

// Only the operators the rules name are interned; every other label gets a
// symbol of its own for the call, so reductions do not grow the process-wide
// table with the names of their sources.
TEST(SaturationCanonicalize, InternsOnlyTheOperatorsTheRulesName) {
    const SaturationEngine engine;
    const std::string tag = "src|never-seen-" + std::to_string(std::random_device{}());
    const EngineGraph g = graph({node(tag + "-a"), node(tag + "-b"), node("op|add", {0, 1}), node("op|add", {1, 0}),
                                 node("op|" + tag, {2}), node("op|" + tag, {3}), node(kMul1L, {5})},
                                {6, 4});
    const std::uint64_t before = sat::interned_symbol_count();
    const Canonical out = engine.canonicalize(g);
    EXPECT_EQ(sat::interned_symbol_count(), before);
    EXPECT_EQ(out.map, (Map{0, 1, 2, 2, 3, 3, 3}));
    EXPECT_EQ(out.graph.outputs, (std::vector<std::uint64_t>{3, 3}));
}

TEST(SaturationCanonicalize, MillionNodeChainsMergeWithoutRecursion) {
    // Two chains of 500k negations, one over x and one over x + 0.0; the
    // identity merges their roots and congruence must walk both chains.
    constexpr std::uint64_t kLength = 500'000;
    std::vector<EngineNode> nodes;
    nodes.reserve(2 * kLength + 2);
    nodes.push_back(node("src|x"));
    nodes.push_back(node(kAdd0R, {0}));
    for (std::uint64_t root : {0, 1}) {
        nodes.push_back(node("op|neg", {root}));
        for (std::uint64_t i = 1; i < kLength; ++i) nodes.push_back(node("op|neg", {nodes.size() - 1}));
    }
    const std::uint64_t end_a = 1 + kLength;
    const std::uint64_t end_b = nodes.size() - 1;
    const SaturationEngine engine;
    SaturationTrace trace;
    const Canonical out = engine.canonicalize(graph(std::move(nodes), {end_b, end_a}), &trace);
    EXPECT_EQ(trace.stop.kind, StopCause::Kind::Saturated);
    EXPECT_EQ(out.graph.nodes.size(), kLength + 1);
    EXPECT_EQ(out.graph.outputs, (std::vector<std::uint64_t>{kLength, kLength}));
    EXPECT_EQ(out.map[2 + kLength], 1u);
}

}  // namespace
}  // namespace veltrix
