// The equality-saturation core: symbols, the e-graph, patterns and rewrites,
// the scheduler and the driver. Exact hand cases, and seeded random unions
// against a naive congruence closure.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "builders.hpp"
#include "saturation/driver.hpp"

namespace veltrix::sat {
namespace {

using test_support::failure_text;

Symbol sym(const std::string& s) { return Symbol::intern(s); }
Id leaf(EGraph& g, const std::string& op) { return g.add(ENode(sym(op), {})); }
Id app(EGraph& g, const std::string& op, std::initializer_list<Id> kids) { return g.add(ENode(sym(op), kids)); }
Pattern pat(const std::string& text) { return std::move(Pattern::parse(text)).value(); }
Rewrite rule(const std::string& name, const std::string& lhs, const std::string& rhs) {
    return std::move(Rewrite::create(name, pat(lhs), pat(rhs))).value();
}

TEST(Symbols, TextsRoundTripAndAtomsHaveNone) {
    for (const std::string& text : {std::string("op|add"), std::string(300, 'z'), std::string()}) EXPECT_EQ(sym(text).text(), text);
    EXPECT_TRUE(Symbol::atom(Symbol::kAtomCount - 1).is_atom());
    EXPECT_FALSE(sym("x").is_atom());
    EXPECT_NE(Symbol::atom(sym("x").index()), sym("x"));
    EXPECT_EQ(failure_text([] { (void)Symbol::atom(3).text(); }), "symbol 2147483651 is an atom and has no text");
}

// Threads intern the same texts in different orders, racing on each first interning: all agree on one symbol per
// text, and each symbol keeps its text.
TEST(Symbols, RacingThreadsAgreeOnOneSymbolPerText) {
    constexpr int kThreads = 8, kTexts = 4000;
    std::vector<std::vector<Symbol>> seen(kThreads, std::vector<Symbol>(kTexts));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &seen] {
            for (int k = 0, i = t * 577 % kTexts; k < kTexts; ++k, i = (i + 7) % kTexts) {
                seen[t][i] = sym("concurrent-" + std::to_string(i));
                if (seen[t][i].text() != "concurrent-" + std::to_string(i)) std::abort();  // read while others intern
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int i = 0; i < kTexts; ++i) {
        for (int t = 1; t < kThreads; ++t) ASSERT_EQ(seen[t][i], seen[0][i]) << i;
        ASSERT_EQ(seen[0][i].text(), "concurrent-" + std::to_string(i));
    }
}

TEST(EGraph, HashConsUnionRebuildRootsAndTags) {
    EGraph g;
    EXPECT_FALSE(g.clean());
    const Id a = leaf(g, "a"), b = leaf(g, "b"), fa = app(g, "f", {a}), fb = app(g, "f", {b});
    const Id gfa = app(g, "g", {fa, a}), gfb = app(g, "g", {fb, b}), c = leaf(g, "c"), d = leaf(g, "d");
    EXPECT_EQ((std::vector<Id>{a, b, fa, fb, gfa, gfb, c, d}), (std::vector<Id>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_NE(app(g, "g", {a, fa}), gfa);
    EXPECT_EQ(std::tuple(g.total_size(), g.class_count()), std::tuple(9u, 9u));
    g.rebuild();
    EXPECT_EQ(app(g, "f", {a}), fa);
    EXPECT_TRUE(g.clean()) << "an add that creates nothing leaves the e-graph clean";
    g.set_tag(a, 7);
    g.set_tag(b, 9);
    EXPECT_EQ(std::tuple(g.tag(a), g.tag(c)), std::tuple(7u, EGraph::kNoTag));
    EXPECT_TRUE(g.union_classes(b, a));
    EXPECT_EQ(g.find(b), a) << "a has more parent entries";
    EXPECT_EQ(std::tuple(g.tag(a), g.tag(b)), std::tuple(7u, EGraph::kNoTag)) << "the absorbed root's tag is dropped";
    EXPECT_TRUE(g.union_classes(c, d));
    EXPECT_EQ(g.find(d), c) << "a tie keeps the first argument's root";
    EXPECT_FALSE(g.clean());
    EXPECT_NE(g.find(gfa), g.find(gfb)) << "congruence waits for the rebuild";
    EXPECT_EQ(g.rebuild(), 2u);  // f(a)~f(b), then g(f(a),a)~g(f(b),b)
    EXPECT_EQ(std::tuple(g.find(gfa) == g.find(gfb), g.class_count()), std::tuple(true, 5u));
    EXPECT_EQ(g.eclass(gfb).nodes, std::vector<ENode>{ENode(sym("g"), {g.find(fa), a})});
    EXPECT_EQ(g.lookup(ENode(sym("f"), {b})), g.find(fa));
    EXPECT_EQ(g.lookup(ENode(sym("k"), {b})), std::nullopt);
    EXPECT_FALSE(g.union_classes(fa, fb));
    EXPECT_FALSE(g.clean()) << "union marks the e-graph not clean even when nothing merges";
    EXPECT_EQ(failure_text([&] { g.eclass(99); }), "no e-class with id 99");
    EXPECT_EQ(failure_text([&] { g.add(ENode(sym("f"), {70})); }), "no e-class with id 70");
}

// Wide e-nodes keep their children on the heap and are freed by the e-graph, not by their records: sanitizers report
// leaks and double frees across the records' growth, rebuilds and moves.
TEST(EGraph, WideENodesSurviveGrowthMergesAndMoves) {
    const ENode wide(sym("join|"), {5, 4, 3});
    ENode copy = wide, moved = std::move(copy);
    copy = moved;
    EXPECT_EQ(std::tuple(copy, copy.hash()), std::tuple(wide, wide.hash()));
    EXPECT_LT(ENode(sym("join|"), {5, 9}), wide) << "by arity";
    EXPECT_LT(wide, ENode(sym("join|"), {5, 4, 9})) << "then by children";
    std::vector<Id> leaves, wides;
    EGraph g, other;
    for (std::size_t i = 0; i < 200; ++i) leaves.push_back(leaf(g, "x" + std::to_string(i)));
    for (std::size_t i = 0; i + 3 <= 200; ++i) wides.push_back(g.add(ENode(sym("join|"), std::span(leaves).subspan(i, 3))));
    const Id reversed = g.add(ENode(sym("join|"), {leaves[2], leaves[1], leaves[0]}));
    for (int i = 0; i < 50; ++i) other.add(ENode(sym("join|other"), {leaf(other, "y" + std::to_string(i)), 0, 0}));
    g.union_classes(leaves[0], leaves[1]);
    g.union_classes(leaves[1], leaves[2]);
    g.rebuild();
    other = EGraph(std::move(g));  // frees other's own wide e-nodes
    for (std::size_t i = 3; i + 3 <= 200; ++i) {
        EXPECT_EQ(other.lookup(ENode(sym("join|"), std::span(leaves).subspan(i, 3))), other.find(wides[i])) << i;
    }
    EXPECT_EQ(other.find(reversed), other.find(wides[0])) << "congruent once x0, x1 and x2 merged";
    EXPECT_EQ(other.check_invariants(), std::nullopt);
}

// Rounds of random adds and unions, each followed by a rebuild in which repairs cascade through classes merged while
// others were pending: the classes are the congruence closure of the unions (a plain fixpoint here), the invariants
// hold, the e-node counts agree with the search, and re-adding any e-node ever added creates nothing.
TEST(EGraph, RandomUnionsRebuildToTheCongruenceClosure) {
    for (const std::uint64_t seed : {3, 11, 29, 101}) {
        SCOPED_TRACE(seed);
        std::mt19937_64 rng(seed);
        EGraph g;
        std::vector<std::pair<ENode, Id>> added;
        std::vector<ENode> created;  // the e-node that created each id
        std::vector<Id> up;          // the model's union-find, roots are class minima
        auto add = [&](const std::string& op, std::vector<Id> kids) {
            added.emplace_back(ENode(sym(op), kids), g.add(ENode(sym(op), kids)));
            if (added.back().second == created.size()) created.push_back(added.back().first), up.push_back(up.size());
        };
        std::function<Id(Id)> root = [&](Id x) { return up[x] == x ? x : root(up[x]); };
        auto unite = [&](Id a, Id b) { return (a = root(a)) != (b = root(b)) && (up[std::max(a, b)] = std::min(a, b), true); };
        for (int i = 0; i < 6; ++i) add("x" + std::to_string(i), {});
        for (int round = 0; round < 4; ++round) {
            for (int k = 0; k < 80; ++k) {
                const Id x = static_cast<Id>(rng() % created.size()), y = static_cast<Id>(rng() % created.size());
                add(std::string(1, "fgh"[rng() % 3]), rng() % 3 ? std::vector<Id>{x, y} : std::vector<Id>{x});
            }
            g.rebuild();
            for (int k = 0; k < 7; ++k) {
                const Id x = static_cast<Id>(rng() % (round ? created.size() : 6)), y = static_cast<Id>(rng() % created.size());
                g.union_classes(x, y);
                unite(x, y);
            }
            g.rebuild();
            ASSERT_EQ(g.check_invariants(), std::nullopt) << "round " << round;
            for (const char* text : {"(f ?x ?y)", "(g ?x)", "(h ?y ?x)", "(zzz ?x)", "x0"}) {
                EXPECT_EQ(pat(text).count_without_search(g), std::optional(pat(text).search(g).total)) << text;
            }
        }
        for (bool changed = true; changed;) {
            std::map<std::pair<Symbol, std::vector<Id>>, Id> seen;
            changed = false;
            for (Id i = 0; i < created.size(); ++i) {
                std::vector<Id> kids;
                for (Id k : created[i].children()) kids.push_back(root(k));
                if (auto [it, fresh] = seen.try_emplace({created[i].op(), kids}, i); !fresh) changed |= unite(i, it->second);
            }
        }
        std::map<Id, Id> class_of;
        for (Id x = 0; x < created.size(); ++x) EXPECT_EQ(class_of.try_emplace(root(x), g.find(x)).first->second, g.find(x)) << x;
        EXPECT_EQ(g.class_count(), class_of.size());
        const std::size_t size = g.total_size();
        for (const auto& [node, id] : added) EXPECT_EQ(std::tuple(g.find(g.add(node)), g.lookup(node)), std::tuple(g.find(id), g.find(id)));
        EXPECT_EQ(std::tuple(g.total_size(), g.clean()), std::tuple(size, true));
    }
}

TEST(Patterns, ParseIntoFlatExpressionsOrExactErrors) {
    // Each entry as "?var" or "op(children)" (children first), then the variables.
    auto flat = [](const Pattern& p) {
        std::string s;
        for (const PatternNode& n : p.ast()) {
            s += std::string(n.op.text()) + (n.is_var ? "" : "(");
            for (std::uint32_t c : n.children) s += std::to_string(c) + ",";
            s += n.is_var ? " " : ") ";
        }
        for (const Var& v : p.vars()) s += "|" + std::string(v.name.text());
        return s;
    };
    for (const auto& [text, expected] : std::vector<std::pair<std::string, std::string>>{
             {" \t\n?x \r\n", "?x |?x"},
             {"(f\t(g ?b \"a b\")\r\n?a ?b)", "?b a b() g(0,1,) ?a ?b f(2,3,4,) |?b|?a"},
             {"?", "?() "}}) {
        EXPECT_EQ(flat(pat(text)), expected) << text;
    }
    for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
             {")", "unexpected ')'"},
             {"(f ?x))", "unexpected ')'"},
             {"   ", "unexpected end of pattern text"},
             {"(f (g ?x)", "unexpected end of pattern text"},
             {"(f \"open", "unexpected end of pattern text"},
             {"(f ?x) g", "expected end of pattern text but found 'g'"},
             {"(f \"a\"b)", "expected whitespace or ')' but found 'b'"},
             {"(f ())", "empty list is not a pattern"},
             {"((f) ?x)", "a list cannot stand in operator position"},
             {"(?x a)", "variable ?x cannot have children"}}) {
        EXPECT_EQ(Pattern::parse(text).error(), message) << text;
    }
    EXPECT_EQ(Rewrite::create("oops", pat("(f ?a)"), pat("(g ?a ?b)")).error(), "rule oops uses unbound variable ?b");
}

TEST(Patterns, SearchApplyAndInstantiate) {
    EGraph g;
    const Id a = leaf(g, "a"), b = leaf(g, "b"), faa = app(g, "f", {a, a}), fab = app(g, "f", {a, b}), nested = app(g, "h", {faa, a});
    app(g, "f", {a});
    app(g, "h", {a, a});
    EXPECT_EQ(failure_text([&] { pat("(f ?x ?y)").search(g); }), "search on an e-graph that is not rebuilt");
    g.rebuild();
    EXPECT_EQ(std::tuple(pat("(f ?x ?y)").search(g).total, pat("(f ?x)").search(g).total), std::tuple(2u, 1u));
    const SearchMatches same = pat("(f ?x ?x)").search(g), deep = pat("(h (f ?x ?x) ?x)").search(g);
    EXPECT_EQ(std::tuple(same.total, same.classes.at(0).eclass, same.row(g, 0)[0]), std::tuple(1u, faa, a));
    EXPECT_EQ(std::tuple(deep.total, deep.classes.at(0).eclass), std::tuple(1u, nested));
    EXPECT_EQ(std::tuple(pat("(h (f ?x ?y) b)").search(g).total, pat("a").search(g).total, pat("?any").search(g).total),
              std::tuple(0u, 1u, g.class_count()));
    for (const char* text : {"(f ?x ?x)", "(h (f ?x ?y) ?z)", "?any"}) EXPECT_EQ(pat(text).count_without_search(g), std::nullopt);
    const Pattern two = pat("(f ?x ?y)");
    EXPECT_EQ(failure_text([&] { two.instantiate(g, {{Var{sym("?x")}, a}}); }), "variable ?y is unbound in (f ?x ?y)");
    EXPECT_EQ(two.instantiate(g, {{Var{sym("?y")}, b}, {Var{sym("?x")}, a}}), fab);
    for (int i = 0; i < 50; ++i) app(g, "k", {a, leaf(g, "s" + std::to_string(i))});
    g.rebuild();
    for (std::size_t limit : {0, 1, 17, 50, 51}) {
        const SearchMatches m = pat("(k ?x ?y)").search(g, limit);
        EXPECT_EQ(std::tuple(m.total, m.records.size()), std::tuple(std::min<std::size_t>(limit, 50), m.total)) << limit;
        if (m.total > 0) { EXPECT_EQ(m.row(g, m.total - 1)[0], a); }
    }
    const Id ab = app(g, "add", {a, b}), ba = app(g, "add", {b, a}), aa = app(g, "add", {a, a});
    g.rebuild();
    const Rewrite comm = rule("comm", "(add ?x ?y)", "(add ?y ?x)"), drop = rule("drop", "(add ?x a)", "?x");
    EXPECT_EQ(comm.apply(g, comm.search(g)), 1u) << "a+b~b+a merges once; a+a is its own swap";
    g.rebuild();
    EXPECT_EQ(std::tuple(g.find(ab) == g.find(ba), g.find(aa) == g.find(ab), comm.apply(g, comm.search(g))), std::tuple(true, false, 0u));
    g.rebuild();
    EXPECT_EQ(drop.apply(g, drop.search(g)), 2u);  // b+a -> b, a+a -> a
    g.rebuild();
    EXPECT_EQ(std::tuple(g.find(ab), g.find(aa)), std::tuple(g.find(b), g.find(a)));
    EXPECT_EQ(g.check_invariants(), std::nullopt);
}

// Rows whose instance was in the class at search time are skipped, which is sound only while the instance still
// hash-conses to the class: a merge after the search that absorbs one of its children brings the row back.
TEST(Patterns, SkipPresentInstancesOnlyWhileTheyStayPresent) {
    auto run = [](bool merge_between, bool keep_flags) {
        EGraph g;
        const Id a = leaf(g, "a"), b = leaf(g, "b"), c = leaf(g, "c");
        g.union_classes(app(g, "add", {a, b}), app(g, "add", {b, a}));
        for (const char* op : {"neg", "exp", "abs"}) app(g, op, {c});
        g.rebuild();
        const Rewrite comm = rule("comm", "(add ?x ?y)", "(add ?y ?x)");
        SearchMatches m = comm.search(g);
        EXPECT_EQ(std::vector<std::uint8_t>(m.present.begin(), m.present.end()), (std::vector<std::uint8_t>{1, 1}));
        if (!keep_flags) m.present.clear();
        if (merge_between) g.union_classes(b, c);  // c has more parents and stays root
        const std::size_t merged = comm.apply(g, m);
        g.rebuild();
        return std::tuple{merged, g.total_size(), g.class_count(), g.check_invariants()};
    };
    for (const bool merge_between : {false, true}) EXPECT_EQ(run(merge_between, true), run(merge_between, false)) << merge_between;
}

EGraph fan(int n) {  // n classes matching (f ?x)
    EGraph g;
    for (int i = 0; i < n; ++i) app(g, "f", {leaf(g, "fan" + std::to_string(i))});
    g.rebuild();
    return g;
}

TEST(Scheduler, BansDoubleAndMoveForwardTogether) {
    const EGraph g = fan(2500), three = fan(3);
    const Rewrite r = rule("wrap", "(f ?x)", "(f ?x)"), r1 = rule("r1", "(f ?x)", "?x");
    ThrottleScheduler s;
    bool banned = false;
    EXPECT_TRUE(s.search_rewrite(0, g, r, &banned).empty());
    EXPECT_TRUE(banned);
    const RuleRecord* rec = s.record(r.name());
    EXPECT_EQ(std::tuple(rec->banned_until, rec->times_banned, rec->match_limit, rec->ban_length), std::tuple(5u, 1u, 1000u, 5u));
    EXPECT_TRUE(s.search_rewrite(4, g, r, &banned).empty());
    EXPECT_FALSE(banned) << "skipped, not banned again";
    EXPECT_FALSE(s.can_stop(1));
    EXPECT_EQ(rec->banned_until, 1u) << "the ban moved forward to end now";
    EXPECT_TRUE(s.search_rewrite(1, g, r, &banned).empty());
    EXPECT_TRUE(banned);  // threshold 2000
    EXPECT_EQ(std::tuple(rec->banned_until, rec->times_banned, rec->times_applied), std::tuple(11u, 2u, 0u));
    EXPECT_FALSE(s.can_stop(1));
    EXPECT_EQ(s.search_rewrite(2, g, r, &banned).total, 2500u) << "threshold 4000";
    EXPECT_EQ(std::tuple(banned, rec->times_applied, s.can_stop(2)), std::tuple(false, 1u, true));
    ThrottleScheduler exact(3, 5), tight(1, 5);
    EXPECT_EQ(exact.search_rewrite(0, three, r).total, 3u) << "as many matches as the threshold pass";
    tight.search_rewrite(3, three, r1);  // banned until 8
    tight.search_rewrite(3, three, r);
    tight.search_rewrite(8, three, r);  // threshold 2 < 3: banned until 18
    auto bans = [&] { return std::tuple(tight.record(r1.name())->banned_until, tight.record(r.name())->banned_until); };
    EXPECT_FALSE(tight.can_stop(4));
    EXPECT_EQ(bans(), std::tuple(4u, 14u)) << "every ban moves by the same distance";
    EXPECT_FALSE(tight.can_stop(5));
    EXPECT_EQ(bans(), std::tuple(4u, 5u));
}

// A search is reused while the e-graph is unchanged; one cut short by its limit does not answer a larger limit.
TEST(Scheduler, ReusesASearchOnlyWhileTheEGraphIsUnchanged) {
    const Rewrite r = rule("wrap", "(f ?x)", "(f ?x)");
    bool banned = false;
    auto searched_again = [&](ThrottleScheduler& sched, const EGraph& eg, const Rewrite& rw, std::uint64_t i, SearchMemo& memo) {
        // A mark that a new search overwrites.
        auto& first = memo.matches.by_record ? memo.matches.records.at(0) : memo.matches.rows.at(0);
        first = 777777;
        EXPECT_TRUE(sched.search_rewrite(i, eg, rw, memo));
        EXPECT_EQ(memo.matches.total, 3u);
        return (memo.matches.by_record ? memo.matches.records.at(0) : memo.matches.rows.at(0)) != 777777;
    };
    EGraph h = fan(3), k;
    ThrottleScheduler fresh, cut_off(2, 5);
    SearchMemo memo, cut;
    ASSERT_TRUE(fresh.search_rewrite(0, h, r, memo));
    const Id x = leaf(h, "fan0");  // already there
    EXPECT_FALSE(searched_again(fresh, h, r, 1, memo)) << "nothing changed";
    const Id y = leaf(h, "new");
    h.rebuild();
    EXPECT_TRUE(searched_again(fresh, h, r, 2, memo)) << "a class was added";
    h.union_classes(x, y);
    h.rebuild();
    EXPECT_TRUE(searched_again(fresh, h, r, 3, memo)) << "two classes merged";
    for (const char* name : {"p", "q", "r"}) app(k, "h", {leaf(k, name), leaf(k, name)});
    k.rebuild();
    const Rewrite twice = rule("twice", "(h ?x ?x)", "?x");  // not countable without a search
    EXPECT_FALSE(cut_off.search_rewrite(0, k, twice, cut, &banned));
    EXPECT_TRUE(searched_again(cut_off, k, twice, 5, cut)) << "threshold 4 now";
    EXPECT_FALSE(searched_again(cut_off, k, twice, 6, cut));
}

TEST(Driver, StopsForEachCauseWithARebuiltEGraph) {
    using K = StopCause::Kind;
    using ns = std::chrono::nanoseconds;
    const std::vector<Rewrite> rules{rule("grow", "(f ?x)", "(h (f (f ?x)))")};  // grows forever
    // The e-node over a leaf (none: an empty e-graph), the limits, and the stop cause with the iterations recorded
    // and its count (0: not checked).
    for (const auto& [op, iterations, nodes, time, kind, done, count] : std::vector<std::tuple<const char*, int, int, ns, K, int, int>>{
             {nullptr, 30, 10'000, std::chrono::seconds(5), K::Saturated, 1, 0},
             {"f", 12, 1'000'000, std::chrono::seconds(5), K::IterationLimit, 12, 12},
             {"k", 30, 2, std::chrono::seconds(5), K::Saturated, 1, 0},  // reaching the node limit is allowed
             {"k", 30, 1, std::chrono::seconds(5), K::NodeLimit, 1, 2},
             {"f", 30, 20, std::chrono::seconds(5), K::NodeLimit, 0, 0},
             {"f", 30, 10'000, ns(1), K::TimeLimit, 0, 0}}) {
        SCOPED_TRACE(static_cast<int>(kind));
        SaturationDriver d;
        EGraph g;
        if (op) app(g, op, {leaf(g, "x")});
        d.with_egraph(std::move(g)).with_iter_limit(iterations).with_node_limit(nodes).with_time_limit(time);
        ASSERT_EQ(d.run(rules).stop_reason().value().kind, kind);
        if (done) { EXPECT_EQ(d.iterations().size(), std::size_t(done)); }
        if (count) { EXPECT_EQ(d.stop_reason()->count, std::uint64_t(count)); }
        if (kind == K::NodeLimit) { EXPECT_GT(d.stop_reason()->count, d.node_limit()); }
        if (kind == K::TimeLimit) { EXPECT_GT(d.stop_reason()->seconds, 0.0); }
        if (kind == K::IterationLimit) { EXPECT_FALSE(d.iterations().back().applied.empty()) << "still changing"; }
        EXPECT_EQ(std::tuple(d.iterations().empty(), d.egraph().clean(), d.egraph().check_invariants()),
                  std::tuple(false, true, std::nullopt));
    }
    EXPECT_EQ((std::vector<std::string>{StopCause::saturated().describe(), StopCause::iteration_limit(12).describe(),
                                        StopCause::node_limit(7).describe(), StopCause::time_limit(0.5).describe()}),
              (std::vector<std::string>{"saturated", "iteration limit (12)", "node limit (7)", "time limit (0.500000 s)"}));
    const std::vector<Rewrite> named{rule("same", "(f ?x)", "?x"), rule("other", "(g ?x)", "?x"), rule("same", "(h ?x)", "?x")};
    testing::internal::CaptureStderr();
    EXPECT_TRUE(warn_repeated_rule_names(named));
    EXPECT_FALSE(warn_repeated_rule_names(std::span(named).first(2)));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "warning: repeated rule names share one scheduling record\nrule 'same' is listed 2 times\n");
}

}  // namespace
}  // namespace veltrix::sat
