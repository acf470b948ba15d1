// E-graph core, patterns, rewrites, scheduler and driver.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "graph/support.hpp"
#include "saturation/driver.hpp"
#include "saturation/egraph.hpp"
#include "saturation/pattern.hpp"
#include "saturation/symbol.hpp"

namespace veltrix::sat {
namespace {

Symbol sym(const char* s) { return Symbol::intern(s); }

Id leaf(EGraph& g, const char* op) { return g.add(ENode(sym(op), {})); }
Id app(EGraph& g, const char* op, std::initializer_list<Id> kids) { return g.add(ENode(sym(op), kids)); }

Pattern pat(const std::string& text) {
    auto p = Pattern::parse(text);
    EXPECT_TRUE(p.ok()) << text << ": " << (p.ok() ? "" : p.error());
    return std::move(p).value();
}

Rewrite rule(const std::string& name, const std::string& lhs, const std::string& rhs) {
    auto r = Rewrite::create(name, pat(lhs), pat(rhs));
    EXPECT_TRUE(r.ok());
    return std::move(r).value();
}

std::string failure_text(const std::function<void()>& f) {
    try {
        f();
    } catch (const InternalFailure& e) {
        return e.what();
    }
    return "<no failure>";
}

// ---------------------------------------------------------------------------
// Symbols

TEST(SymbolTable, InternsEqualTextsToOneSymbolAndRoundTrips) {
    const Symbol a = sym("op|add");
    EXPECT_EQ(a, sym("op|add"));
    EXPECT_NE(a, sym("op|mul"));
    EXPECT_EQ(a.text(), "op|add");
    const std::string long_text(300, 'z');
    EXPECT_EQ(Symbol::intern(long_text).text(), long_text);
    EXPECT_EQ(Symbol::intern("").text(), "");
}

TEST(SymbolTable, AtomsAreEqualByNumberAndUnequalToInternedSymbols) {
    const Symbol interned = sym("atom-neighbour");
    EXPECT_EQ(Symbol::atom(0), Symbol::atom(0));
    EXPECT_NE(Symbol::atom(0), Symbol::atom(1));
    EXPECT_TRUE(Symbol::atom(Symbol::kAtomCount - 1).is_atom());
    EXPECT_FALSE(interned.is_atom());
    EXPECT_NE(Symbol::atom(interned.index()), interned);
    EXPECT_EQ(failure_text([] { (void)Symbol::atom(3).text(); }), "symbol 2147483651 is an atom and has no text");
}

TEST(SymbolTable, ConcurrentInterningGivesOneSymbolPerText) {
    constexpr int kThreads = 8;
    constexpr int kTexts = 4000;
    std::vector<std::vector<Symbol>> seen(kThreads, std::vector<Symbol>(kTexts));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &seen] {
            // Each thread walks the texts in its own order so that first
            // interning races on every text.
            for (int k = 0; k < kTexts; ++k) {
                const int i = (k * 7 + t * 577) % kTexts;
                const std::string text = "concurrent-" + std::to_string(i);
                const Symbol s = Symbol::intern(text);
                seen[t][i] = s;
                if (s.text() != text) std::abort();
            }
        });
    }
    for (auto& th : threads) th.join();
    std::set<std::uint32_t> distinct;
    for (int i = 0; i < kTexts; ++i) {
        for (int t = 1; t < kThreads; ++t) ASSERT_EQ(seen[t][i], seen[0][i]) << i;
        distinct.insert(seen[0][i].index());
        EXPECT_EQ(seen[0][i].text(), "concurrent-" + std::to_string(i));
    }
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kTexts));
}

// ---------------------------------------------------------------------------
// E-nodes and the e-graph

TEST(ENodeValue, WideNodesCopyMoveAndCompare) {
    const std::vector<Id> kids{5, 4, 3, 2, 1, 0};
    ENode wide(sym("join|"), kids);
    ENode copy = wide;
    EXPECT_EQ(copy, wide);
    ENode moved = std::move(copy);
    EXPECT_EQ(moved, wide);
    EXPECT_EQ(moved.hash(), wide.hash());
    copy = moved;
    copy.children()[5] = 9;
    EXPECT_NE(copy, wide);
    EXPECT_TRUE(wide < copy);
    EXPECT_EQ(moved.arity(), 6u);
    ENode narrow(sym("join|"), {5, 4});
    EXPECT_TRUE(narrow < wide);  // arity orders before children
}

TEST(EGraphCore, AddIsHashConsed) {
    EGraph g;
    EXPECT_FALSE(g.clean());
    const Id a = leaf(g, "a");
    const Id b = leaf(g, "b");
    const Id f = app(g, "f", {a, b});
    EXPECT_EQ(app(g, "f", {a, b}), f);
    EXPECT_EQ(leaf(g, "a"), a);
    EXPECT_NE(app(g, "f", {b, a}), f);
    EXPECT_EQ(g.total_size(), 4u);
    EXPECT_EQ(g.class_count(), 4u);
    EXPECT_EQ((std::vector<Id>{a, b, f}), (std::vector<Id>{0, 1, 2}));  // dense ids in creation order
    g.rebuild();
    EXPECT_TRUE(g.clean());
    EXPECT_EQ(app(g, "f", {a, b}), f);
    EXPECT_TRUE(g.clean()) << "an add that creates nothing leaves the e-graph clean";
    app(g, "g", {a});
    EXPECT_FALSE(g.clean());
}

TEST(EGraphCore, WideENodesKeepTheirChildrenThroughGrowthMergesAndMoves) {
    // Wide e-nodes hold their children on the heap and are destroyed by the
    // e-graph, not by their records: they must survive the records' array
    // growing, rebuilds and moves of the e-graph, and be freed exactly once
    // (a sanitizer build reports a leak or a double free).
    auto build = [](EGraph& g, const char* op, std::size_t n) {
        std::vector<Id> leaves;
        for (std::size_t i = 0; i < n; ++i) leaves.push_back(leaf(g, ("x" + std::to_string(i)).c_str()));
        std::vector<Id> wides;
        for (std::size_t i = 0; i + 3 <= n; ++i) {
            wides.push_back(g.add(ENode(sym(op), std::span<const Id>(leaves.data() + i, 3))));
        }
        return std::pair{leaves, wides};
    };
    EGraph g;  // no reserve: the records are moved as they grow
    const auto [leaves, wides] = build(g, "join|", 200);
    const Id reversed = g.add(ENode(sym("join|"), {leaves[2], leaves[1], leaves[0]}));
    g.union_classes(leaves[0], leaves[1]);
    g.union_classes(leaves[1], leaves[2]);
    g.rebuild();
    EXPECT_EQ(g.check_invariants(), std::nullopt);

    EGraph moved(std::move(g));
    EGraph other;
    build(other, "join|other", 50);
    other = std::move(moved);  // frees other's own wide e-nodes
    for (std::size_t i = 3; i + 3 <= leaves.size(); ++i) {
        const std::vector<Id> kids(leaves.begin() + static_cast<std::ptrdiff_t>(i),
                                   leaves.begin() + static_cast<std::ptrdiff_t>(i + 3));
        EXPECT_EQ(other.lookup(ENode(sym("join|"), kids)), std::optional<Id>(other.find(wides[i]))) << i;
    }
    EXPECT_EQ(other.find(reversed), other.find(wides[0])) << "congruent after the merge of x0, x1 and x2";
    EXPECT_EQ(other.check_invariants(), std::nullopt);
}

TEST(EGraphCore, UnionThenRebuildRestoresCongruence) {
    EGraph g;
    const Id a = leaf(g, "a");
    const Id b = leaf(g, "b");
    const Id fa = app(g, "f", {a});
    const Id fb = app(g, "f", {b});
    const Id gfa = app(g, "g", {fa, a});
    const Id gfb = app(g, "g", {fb, b});
    g.rebuild();
    EXPECT_TRUE(g.union_classes(a, b));
    EXPECT_FALSE(g.clean());
    EXPECT_NE(g.find(fa), g.find(fb)) << "congruence waits for rebuild";
    EXPECT_EQ(g.rebuild(), 2u);  // f(a)~f(b), then g(f(a),a)~g(f(b),b)
    EXPECT_TRUE(g.clean());
    EXPECT_EQ(g.find(fa), g.find(fb));
    EXPECT_EQ(g.find(gfa), g.find(gfb));
    EXPECT_EQ(g.class_count(), 3u);
    EXPECT_EQ(g.check_invariants(), std::nullopt);

    const EClass& top = g.eclass(gfb);
    ASSERT_EQ(top.nodes.size(), 1u);
    EXPECT_EQ(top.nodes[0], ENode(sym("g"), {g.find(fa), g.find(a)}));
    EXPECT_EQ(g.lookup(ENode(sym("f"), {b})), g.find(fa));
    EXPECT_EQ(g.lookup(ENode(sym("f"), {gfa})), std::nullopt);
}

TEST(EGraphCore, CongruenceCascadesThroughALongChainWithoutRecursion) {
    // Two chains of 200k unary nodes over different leaves; merging the
    // leaves must merge every level.
    constexpr int kDepth = 200000;
    EGraph g;
    Id x = leaf(g, "x");
    Id y = leaf(g, "y");
    const Id x0 = x;
    const Id y0 = y;
    for (int i = 0; i < kDepth; ++i) {
        x = app(g, "neg", {x});
        y = app(g, "neg", {y});
    }
    g.rebuild();
    g.union_classes(x0, y0);
    EXPECT_EQ(g.rebuild(), static_cast<std::size_t>(kDepth));
    EXPECT_EQ(g.find(x), g.find(y));
    EXPECT_EQ(g.class_count(), static_cast<std::size_t>(kDepth + 1));
}

TEST(EGraphCore, MergedClassesAreSortedDuplicateFreeAndCanonical) {
    EGraph g;
    const Id a = leaf(g, "a");
    const Id b = leaf(g, "b");
    const Id c = leaf(g, "c");
    const Id p = app(g, "p", {b, a});
    const Id q = app(g, "p", {a, a});
    const Id r = app(g, "m", {c});
    const Id s = app(g, "p", {a, b});
    g.rebuild();
    g.union_classes(a, b);
    g.union_classes(p, r);
    g.union_classes(r, q);
    g.union_classes(q, s);
    g.rebuild();
    ASSERT_EQ(g.check_invariants(), std::nullopt);
    const EClass& cls = g.eclass(p);
    const Id ab = g.find(a);
    // p(b,a), p(a,a), p(a,b) collapse into one p(ab,ab); m(c) stays.
    ASSERT_EQ(cls.nodes.size(), 2u);
    EXPECT_TRUE(std::is_sorted(cls.nodes.begin(), cls.nodes.end()));
    for (const ENode& n : cls.nodes) {
        for (Id ch : n.children()) EXPECT_EQ(g.find(ch), ch);
    }
    EXPECT_NE(std::find(cls.nodes.begin(), cls.nodes.end(), ENode(sym("p"), {ab, ab})), cls.nodes.end());
    EXPECT_NE(std::find(cls.nodes.begin(), cls.nodes.end(), ENode(sym("m"), {g.find(c)})), cls.nodes.end());
}

TEST(EGraphCore, HashConsingFollowsMergesAcrossRebuildsAndTableGrowth) {
    // E-nodes are canonicalised where they are stored, and e-nodes left over
    // as duplicates must still be repaired by later merges. After rounds of
    // merges, each followed by a rebuild and by adds that grow the table,
    // re-adding every e-node ever added must land in its class and create
    // nothing.
    for (const std::uint64_t seed : {1u, 7u, 42u}) {
        SCOPED_TRACE(seed);
        std::uint64_t state = seed;
        auto next = [&](std::uint64_t k) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            return (state >> 33) % k;
        };
        const char* ops[] = {"f", "g", "h"};
        EGraph g;
        std::vector<std::pair<ENode, Id>> added;
        auto add = [&](ENode n) {
            const Id id = g.add(n);
            added.emplace_back(std::move(n), id);
        };
        for (int i = 0; i < 8; ++i) add(ENode(sym(("leaf" + std::to_string(i)).c_str()), {}));
        for (int round = 0; round < 4; ++round) {
            const std::size_t known = g.id_count();
            for (int k = 0; k < 40; ++k) {
                const Id x = static_cast<Id>(next(known));
                const Id y = static_cast<Id>(next(known));
                const Symbol op = sym(ops[next(3)]);
                add(ENode(op, {x, y}));
                add(ENode(op, {y, x}));
                if (k % 5 == 0) add(ENode(op, {x}));
            }
            g.rebuild();
            for (int k = 0; k < 6; ++k) g.union_classes(static_cast<Id>(next(8)), static_cast<Id>(next(g.id_count())));
            g.rebuild();
            ASSERT_EQ(g.check_invariants(), std::nullopt) << "round " << round;
        }
        const std::size_t size = g.total_size();
        const std::size_t classes = g.class_count();
        for (const auto& [node, id] : added) {
            EXPECT_EQ(g.find(g.add(node)), g.find(id));
            EXPECT_EQ(g.lookup(node), g.find(id));
        }
        EXPECT_EQ(g.total_size(), size);
        EXPECT_EQ(g.class_count(), classes);
        EXPECT_TRUE(g.clean());
    }
}

TEST(EGraphCore, BatchedUnionsRebuildToTheCongruenceClosure) {
    // Layers of unary and binary terms over a few leaves, then many unions
    // of random terms with one rebuild at the end, so that repairs cascade
    // through classes merged while other repairs were pending. The classes
    // must be exactly the congruence closure of the unions, computed here by
    // a plain fixpoint, and every invariant must hold.
    for (const std::uint64_t seed : {3u, 11u, 29u, 101u}) {
        SCOPED_TRACE(seed);
        std::uint64_t state = seed;
        auto next = [&](std::uint64_t k) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            return (state >> 33) % k;
        };
        const char* ops[] = {"f", "g"};
        EGraph g;
        std::vector<ENode> terms;  // term k was added as terms[k] and got id k
        auto add = [&](ENode n) {
            const std::size_t before = g.id_count();
            const Id id = g.add(n);
            if (g.id_count() != before) {
                ASSERT_EQ(id, terms.size());
                terms.push_back(std::move(n));
            }
        };
        for (int i = 0; i < 4; ++i) add(ENode(sym(("x" + std::to_string(i)).c_str()), {}));
        for (int k = 0; k < 300; ++k) {
            const Id a = static_cast<Id>(next(terms.size()));
            const Id b = static_cast<Id>(next(terms.size()));
            const Symbol op = sym(ops[next(2)]);
            if (next(3) == 0) {
                add(ENode(op, {a}));
            } else {
                add(ENode(op, {a, b}));
            }
        }
        g.rebuild();
        std::vector<std::pair<Id, Id>> unions;
        for (int k = 0; k < 25; ++k) {
            unions.emplace_back(static_cast<Id>(next(terms.size())), static_cast<Id>(next(terms.size())));
            g.union_classes(unions.back().first, unions.back().second);
        }
        g.rebuild();
        ASSERT_EQ(g.check_invariants(), std::nullopt);

        // The closure: merge the unions, then merge terms with the same
        // operator and merged children until nothing changes.
        std::vector<Id> rep(terms.size());
        for (Id k = 0; k < rep.size(); ++k) rep[k] = k;
        std::function<Id(Id)> root = [&](Id x) { return rep[x] == x ? x : rep[x] = root(rep[x]); };
        auto merge = [&](Id x, Id y) {
            x = root(x);
            y = root(y);
            if (x == y) return false;
            rep[std::max(x, y)] = std::min(x, y);
            return true;
        };
        for (const auto& [x, y] : unions) merge(x, y);
        for (bool changed = true; changed;) {
            changed = false;
            for (Id x = 0; x < terms.size(); ++x) {
                for (Id y = x + 1; y < terms.size(); ++y) {
                    if (terms[x].op() != terms[y].op() || terms[x].arity() != terms[y].arity()) continue;
                    bool same = true;
                    for (std::uint32_t c = 0; c < terms[x].arity(); ++c) {
                        same = same && root(terms[x].children()[c]) == root(terms[y].children()[c]);
                    }
                    if (same && merge(x, y)) changed = true;
                }
            }
        }
        std::set<Id> expected;
        for (Id x = 0; x < terms.size(); ++x) {
            expected.insert(root(x));
            for (Id y = x + 1; y < terms.size(); y += 7) {
                EXPECT_EQ(g.find(x) == g.find(y), root(x) == root(y)) << x << " " << y;
            }
        }
        EXPECT_EQ(g.class_count(), expected.size());
    }
}

TEST(EGraphCore, UnionKeepsTheRootWithMoreParentsAndOnATieTheFirst) {
    EGraph g;
    const Id a = leaf(g, "a");
    const Id b = leaf(g, "b");
    const Id c = leaf(g, "c");
    app(g, "f", {b});
    app(g, "g", {b});
    g.rebuild();
    EXPECT_TRUE(g.union_classes(a, b));
    EXPECT_EQ(g.find(a), b) << "b has more parent entries";
    EXPECT_TRUE(g.union_classes(c, leaf(g, "d")));
    EXPECT_EQ(g.find(leaf(g, "d")), c) << "tie keeps the first argument's root";
    g.rebuild();
    EXPECT_TRUE(g.clean());
    EXPECT_FALSE(g.union_classes(a, b));
    EXPECT_FALSE(g.clean()) << "union marks the e-graph not clean even when nothing merges";
}

TEST(EGraphCore, ClassTagsStayWithTheSurvivingRoot) {
    EGraph g;
    const Id a = leaf(g, "a");
    const Id b = leaf(g, "b");
    app(g, "f", {b});
    g.rebuild();
    EXPECT_EQ(g.tag(a), EGraph::kNoTag);
    g.set_tag(a, 7);
    g.set_tag(b, 9);
    EXPECT_EQ(g.tag(a), 7u);
    ASSERT_TRUE(g.union_classes(a, b));
    g.rebuild();
    EXPECT_EQ(g.tag(g.find(a)), 9u) << "b has more parents and keeps its record";
    EXPECT_EQ(g.tag(a), EGraph::kNoTag) << "the absorbed root's tag is dropped";
    EXPECT_EQ(g.tag(leaf(g, "c")), EGraph::kNoTag);
}

TEST(EGraphCore, LookingUpAnUnknownIdIsAnInternalFailure) {
    EGraph g;
    leaf(g, "a");
    EXPECT_EQ(failure_text([&] { g.eclass(99); }), "no e-class with id 99");
    EXPECT_EQ(failure_text([&] { g.add(ENode(sym("f"), {7})); }), "no e-class with id 7");
}

// ---------------------------------------------------------------------------
// Pattern text

TEST(PatternParse, RuleTextsParseIntoFlatExpressions) {
    struct Case {
        std::string text;
        std::string root_op;
        std::size_t entries;
        std::vector<std::string> vars;
    };
    const std::vector<Case> cases = {
        {"(op|add ?a ?b)", "op|add", 3, {"?a", "?b"}},
        {"(op|minimum ?b ?a)", "op|minimum", 3, {"?b", "?a"}},
        {"(op|add|scalar=f0000000000000000;side=sr ?x)", "op|add|scalar=f0000000000000000;side=sr", 2, {"?x"}},
        {"(op|mul|scalar=f3ff0000000000000;side=sl ?x)", "op|mul|scalar=f3ff0000000000000;side=sl", 2, {"?x"}},
        {"?x", "?x", 1, {"?x"}},
        {"  \t\n?x \r\n", "?x", 1, {"?x"}},
        {"(f (g ?x a) ?x)", "f", 5, {"?x"}},
        {"(f\t?a\n?b)", "f", 3, {"?a", "?b"}},
        {"leaf", "leaf", 1, {}},
        {"?", "?", 1, {}},
        {"(\"two words\" ?a)", "two words", 2, {"?a"}},
    };
    for (const Case& c : cases) {
        auto p = Pattern::parse(c.text);
        ASSERT_TRUE(p.ok()) << c.text << ": " << p.error();
        EXPECT_EQ(p->root().op.text(), c.root_op) << c.text;
        EXPECT_EQ(p->ast().size(), c.entries) << c.text;
        std::vector<std::string> vars;
        for (const Var& v : p->vars()) vars.emplace_back(v.name.text());
        EXPECT_EQ(vars, c.vars) << c.text;
        for (std::size_t i = 0; i < p->ast().size(); ++i) {
            for (std::uint32_t ch : p->ast()[i].children) EXPECT_LT(ch, i) << c.text;
        }
    }
    auto single = Pattern::parse("?x");
    EXPECT_TRUE(single->root().is_var);
    auto ident = Pattern::parse("(op|add|scalar=f0000000000000000;side=sr ?x)");
    EXPECT_FALSE(ident->root().is_var);
    EXPECT_TRUE(ident->ast()[0].is_var);
}

TEST(PatternParse, ErrorTexts) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {")", "unexpected ')'"},
        {"(f ?x))", "unexpected ')'"},
        {"(f ?x", "unexpected end of pattern text"},
        {"", "unexpected end of pattern text"},
        {"   ", "unexpected end of pattern text"},
        {"(f (g ?x)", "unexpected end of pattern text"},
        {"(f \"open", "unexpected end of pattern text"},
        {"(f ?x) g", "expected end of pattern text but found 'g'"},
        {"(f \"a\"b)", "expected whitespace or ')' but found 'b'"},
        {"()", "empty list is not a pattern"},
        {"(f ())", "empty list is not a pattern"},
        {"((f) ?x)", "a list cannot stand in operator position"},
        {"(?x a)", "variable ?x cannot have children"},
    };
    for (const auto& [text, message] : cases) {
        auto p = Pattern::parse(text);
        ASSERT_FALSE(p.ok()) << text;
        EXPECT_EQ(p.error(), message) << text;
    }
}

TEST(RewriteCreate, ApplierVariablesMustBeBoundBySearcher) {
    auto bad = Rewrite::create("oops", pat("(f ?a)"), pat("(g ?a ?b)"));
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error(), "rule oops uses unbound variable ?b");
    EXPECT_TRUE(Rewrite::create("fine", pat("(f ?a ?b)"), pat("?b")).ok());
}

// ---------------------------------------------------------------------------
// Search and apply

TEST(PatternSearch, MatchesByOperatorArityAndConsistentBindings) {
    EGraph g;
    const Id a = leaf(g, "a");
    const Id b = leaf(g, "b");
    const Id faa = app(g, "f", {a, a});
    app(g, "f", {a, b});
    app(g, "f", {a});
    const Id nested = app(g, "h", {faa, a});
    app(g, "h", {a, a});
    EXPECT_EQ(failure_text([&] { pat("(f ?x ?y)").search(g); }), "search on an e-graph that is not rebuilt");
    g.rebuild();

    EXPECT_EQ(pat("(f ?x ?y)").search(g).total, 2u);
    EXPECT_EQ(pat("(f ?x)").search(g).total, 1u);
    const SearchMatches same = pat("(f ?x ?x)").search(g);
    ASSERT_EQ(same.total, 1u);
    EXPECT_EQ(same.classes[0].eclass, faa);
    EXPECT_EQ(same.row(0)[0], a);

    const SearchMatches deep = pat("(h (f ?x ?x) ?x)").search(g);
    ASSERT_EQ(deep.total, 1u);
    EXPECT_EQ(deep.classes[0].eclass, nested);
    EXPECT_EQ(pat("(h (f ?x ?y) b)").search(g).total, 0u);
    EXPECT_EQ(pat("a").search(g).total, 1u);
    EXPECT_EQ(pat("?any").search(g).total, g.class_count());
    EXPECT_EQ(pat("(zzz ?x)").search(g).total, 0u);
}

// The scheduler bans a rule from the e-graph's e-node counts without
// searching, so those counts must equal what the search finds, also after
// merges have made e-nodes congruent and duplicates were dropped.
TEST(PatternSearch, CountWithoutSearchEqualsTheSearch) {
    EGraph g;
    const Id a = leaf(g, "a");
    const Id b = leaf(g, "b");
    const Id c = leaf(g, "c");
    const Id fab = app(g, "f", {a, b});
    const Id fcb = app(g, "f", {c, b});
    app(g, "f", {a, a});
    app(g, "f", {c, c});
    app(g, "f", {a});
    app(g, "g", {fab, fcb});
    g.rebuild();
    const char* const shallow[] = {"(f ?x ?y)", "(f ?x)", "(g ?x ?y)", "(zzz ?x)", "a"};
    auto check = [&](const char* when) {
        for (const char* text : shallow) {
            const Pattern p = pat(text);
            EXPECT_EQ(p.count_without_search(g), std::optional<std::size_t>(p.search(g).total)) << text << ", " << when;
        }
        for (const char* text : {"(f ?x ?x)", "(g (f ?x ?y) ?z)", "?any"}) {
            EXPECT_EQ(pat(text).count_without_search(g), std::nullopt) << text;
        }
    };
    check("before merging");
    g.union_classes(a, c);  // f(a,b)~f(c,b) and f(a,a)~f(c,c): two duplicates dropped
    g.rebuild();
    check("after merging");
    EXPECT_EQ(pat("(f ?x ?y)").count_without_search(g), std::optional<std::size_t>(2));
    EXPECT_EQ(g.check_invariants(), std::nullopt);
}

TEST(PatternSearch, LimitStopsAtExactlyThatManySubstitutions) {
    EGraph g;
    const Id a = leaf(g, "a");
    for (int i = 0; i < 50; ++i) app(g, "f", {a, leaf(g, ("s" + std::to_string(i)).c_str())});
    g.rebuild();
    const Pattern p = pat("(f ?x ?y)");
    EXPECT_EQ(p.search(g).total, 50u);
    for (std::size_t limit : {0u, 1u, 17u, 50u, 51u}) {
        const SearchMatches m = p.search(g, limit);
        EXPECT_EQ(m.total, std::min<std::size_t>(limit, 50)) << limit;
        EXPECT_EQ(m.rows.size(), m.total * 2);
    }
    // Searching into an earlier result replaces all of it.
    SearchMatches reused = p.search(g);
    for (std::size_t limit : {17u, 0u, 50u, 1u}) {
        p.search_into(reused, g, limit);
        const SearchMatches fresh = p.search(g, limit);
        EXPECT_EQ(reused.total, fresh.total) << limit;
        EXPECT_EQ(reused.rows, fresh.rows) << limit;
        EXPECT_EQ(reused.classes.size(), fresh.classes.size()) << limit;
    }
}

TEST(RewriteApply, CountsOnlyEffectiveMerges) {
    EGraph g;
    const Id a = leaf(g, "a");
    const Id b = leaf(g, "b");
    const Id ab = app(g, "add", {a, b});
    const Id ba = app(g, "add", {b, a});
    const Id aa = app(g, "add", {a, a});
    g.rebuild();
    const Rewrite comm = rule("comm", "(add ?x ?y)", "(add ?y ?x)");
    EXPECT_EQ(comm.apply(g, comm.search(g)), 1u) << "a+b~b+a merges once; a+a is its own swap";
    g.rebuild();
    EXPECT_EQ(g.find(ab), g.find(ba));
    EXPECT_NE(g.find(aa), g.find(ab));
    EXPECT_EQ(comm.apply(g, comm.search(g)), 0u);
    g.rebuild();

    const Rewrite drop = rule("drop", "(add ?x a)", "?x");
    EXPECT_EQ(drop.apply(g, drop.search(g)), 2u);  // b+a -> b, a+a -> a
    g.rebuild();
    EXPECT_EQ(g.find(ab), g.find(b));
    EXPECT_EQ(g.find(aa), g.find(a));
    EXPECT_EQ(g.check_invariants(), std::nullopt);
}


// Rows whose instance was already in the class are skipped when applied.
// That is sound only while the instance still hash-conses to the class, so
// a merge between search and apply that absorbs one of its children must
// bring the row back. Each case applies the same matches with and without
// the flags and expects the same merges and the same partition.
TEST(RewriteApply, SkipsPresentInstancesOnlyWhileTheyStayPresent) {
    struct Case {
        const char* name;
        bool merge_between;  // union b with c (c has more parents) after the search
    };
    for (const Case c : {Case{"no merge since the search", false}, Case{"a child absorbed since", true}}) {
        auto run = [&](bool keep_flags) {
            EGraph g;
            const Id a = leaf(g, "a");
            const Id b = leaf(g, "b");
            const Id cc = leaf(g, "c");
            const Id ab = app(g, "add", {a, b});
            const Id ba = app(g, "add", {b, a});
            app(g, "neg", {cc});
            app(g, "exp", {cc});
            app(g, "abs", {cc});
            g.rebuild();
            g.union_classes(ab, ba);
            g.rebuild();
            const Rewrite comm = rule("comm", "(add ?x ?y)", "(add ?y ?x)");
            SearchMatches m = comm.search(g);
            EXPECT_EQ(m.present, (std::vector<std::uint8_t>{1, 1})) << c.name;
            if (!keep_flags) m.present.clear();
            if (c.merge_between) {
                EXPECT_TRUE(g.union_classes(b, cc));
            }
            const std::size_t merged = comm.apply(g, m);
            g.rebuild();
            EXPECT_EQ(g.check_invariants(), std::nullopt) << c.name;
            return std::make_pair(merged, std::make_pair(g.total_size(), g.class_count()));
        };
        EXPECT_EQ(run(true), run(false)) << c.name;
    }
    // The identity applier's row is present when the bound class is the
    // matched class itself.
    EGraph g;
    const Id x = leaf(g, "x");
    const Id fx = app(g, "f", {x});
    g.rebuild();
    g.union_classes(fx, x);
    g.rebuild();
    const Rewrite drop = rule("drop", "(f ?x)", "?x");
    const SearchMatches m = drop.search(g);
    EXPECT_EQ(m.present, std::vector<std::uint8_t>{1});
    EXPECT_EQ(drop.apply(g, m), 0u);
}
TEST(RewriteApply, InstantiatingWithAMissingBindingIsAnInternalFailure) {
    EGraph g;
    const Id a = leaf(g, "a");
    const Pattern p = pat("(f ?x ?y)");
    EXPECT_EQ(failure_text([&] { p.instantiate(g, {{Var{sym("?x")}, a}}); }),
              "variable ?y is unbound in (f ?x ?y)");
    const Id made = p.instantiate(g, {{Var{sym("?y")}, a}, {Var{sym("?x")}, a}});
    EXPECT_EQ(made, app(g, "f", {a, a}));
}

// ---------------------------------------------------------------------------
// Scheduler

// An e-graph with `n` classes matching (f ?x).
EGraph fan(int n) {
    EGraph g;
    for (int i = 0; i < n; ++i) app(g, "f", {leaf(g, ("fan" + std::to_string(i)).c_str())});
    g.rebuild();
    return g;
}

TEST(ThrottleSchedule, BansForFiveIterationsThenSearchesWithADoubledThreshold) {
    const EGraph g = fan(1500);
    const Rewrite r = rule("wrap", "(f ?x)", "(f ?x)");
    ThrottleScheduler s;
    bool banned = false;
    EXPECT_TRUE(s.search_rewrite(0, g, r, &banned).empty());
    EXPECT_TRUE(banned);
    const RuleRecord* rec = s.record(r.name());
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->banned_until, 5u);
    EXPECT_EQ(rec->times_banned, 1u);
    EXPECT_EQ(rec->match_limit, 1000u);
    for (std::uint64_t i = 1; i < 5; ++i) {
        EXPECT_TRUE(s.search_rewrite(i, g, r, &banned).empty());
        EXPECT_FALSE(banned) << "skipped, not re-banned";
    }
    EXPECT_EQ(s.search_rewrite(5, g, r, &banned).total, 1500u) << "threshold 2000 now";
    EXPECT_EQ(rec->times_applied, 1u);
    EXPECT_TRUE(s.can_stop(5));
}

TEST(ThrottleSchedule, IdleIterationsFastForwardAndASecondExcessBansForTen) {
    const EGraph g = fan(2500);
    const Rewrite r = rule("wrap", "(f ?x)", "(f ?x)");
    ThrottleScheduler s;
    bool banned = false;
    s.search_rewrite(0, g, r, &banned);
    EXPECT_TRUE(banned);
    EXPECT_FALSE(s.can_stop(0));
    EXPECT_EQ(s.record(r.name())->banned_until, 0u);
    s.search_rewrite(1, g, r, &banned);  // threshold 2000 < 2500
    EXPECT_TRUE(banned);
    EXPECT_EQ(s.record(r.name())->banned_until, 11u);
    EXPECT_EQ(s.record(r.name())->times_banned, 2u);
    EXPECT_FALSE(s.can_stop(1));
    EXPECT_EQ(s.record(r.name())->banned_until, 1u);
    EXPECT_EQ(s.search_rewrite(2, g, r, &banned).total, 2500u) << "threshold 4000";
    EXPECT_FALSE(banned);
    EXPECT_TRUE(s.can_stop(2));
}

TEST(ThrottleSchedule, FastForwardMovesEveryBanBySameDistance) {
    const EGraph g = fan(3);
    const Rewrite r1 = rule("r1", "(f ?x)", "?x");
    const Rewrite r2 = rule("r2", "(f ?x)", "(f ?x)");
    ThrottleScheduler s(1, 5);
    s.search_rewrite(3, g, r1);  // banned until 8
    s.search_rewrite(3, g, r2);
    s.search_rewrite(8, g, r2);  // threshold 2 < 3: banned until 18
    EXPECT_FALSE(s.can_stop(4));
    EXPECT_EQ(s.record(r1.name())->banned_until, 4u);
    EXPECT_EQ(s.record(r2.name())->banned_until, 14u);
    EXPECT_FALSE(s.can_stop(5));
    EXPECT_EQ(s.record(r1.name())->banned_until, 4u) << "no longer banned at 5";
    EXPECT_EQ(s.record(r2.name())->banned_until, 5u);
}

TEST(ThrottleSchedule, ASearchIsReusedOnlyWhileTheEGraphIsUnchanged) {
    // A mark in the kept rows shows whether the next call searched again.
    constexpr Id kMark = 777777;
    auto searched_again = [&](ThrottleScheduler& s, const EGraph& g, const Rewrite& r, std::uint64_t i,
                              SearchMemo& memo) {
        memo.matches.rows.at(0) = kMark;
        EXPECT_TRUE(s.search_rewrite(i, g, r, memo));
        EXPECT_EQ(memo.matches.total, 3u);
        return memo.matches.rows.at(0) != kMark;
    };
    EGraph g = fan(3);
    const Rewrite r = rule("wrap", "(f ?x)", "(f ?x)");
    ThrottleScheduler s;
    SearchMemo memo;
    ASSERT_TRUE(s.search_rewrite(0, g, r, memo));
    EXPECT_FALSE(searched_again(s, g, r, 1, memo)) << "nothing changed";
    const Id x = leaf(g, "fan0");  // already there: no change
    g.rebuild();
    EXPECT_FALSE(searched_again(s, g, r, 2, memo));
    const Id y = leaf(g, "fresh");
    g.rebuild();
    EXPECT_TRUE(searched_again(s, g, r, 3, memo)) << "a class was added";
    EXPECT_FALSE(searched_again(s, g, r, 4, memo));
    g.union_classes(x, y);
    g.rebuild();
    EXPECT_TRUE(searched_again(s, g, r, 5, memo)) << "two classes merged";

    // A search cut short by its limit does not answer a larger limit. The
    // repeated variable makes the scheduler search instead of counting.
    EGraph h;
    for (const char* name : {"p", "q", "r"}) {
        const Id v = leaf(h, name);
        app(h, "h", {v, v});
    }
    h.rebuild();
    const Rewrite twice = rule("twice", "(h ?x ?x)", "?x");
    ThrottleScheduler tight(2, 5);
    SearchMemo cut;
    bool banned = false;
    EXPECT_FALSE(tight.search_rewrite(0, h, twice, cut, &banned));
    EXPECT_TRUE(banned);
    EXPECT_TRUE(searched_again(tight, h, twice, 5, cut)) << "threshold 4 now";
    EXPECT_FALSE(searched_again(tight, h, twice, 6, cut));
}

// ---------------------------------------------------------------------------
// Driver

// A rule that grows the e-graph forever: every f gains a fresh wrapper.
Rewrite grower() { return rule("grow", "(f ?x)", "(h (f (f ?x)))"); }

TEST(Driver, StopsForEachCause) {
    struct Case {
        std::string name;
        std::function<void(SaturationDriver&)> setup;
        StopCause::Kind kind;
        std::size_t iterations;  // 0 = don't care
    };
    const std::vector<Case> cases = {
        {"empty", [](SaturationDriver&) {}, StopCause::Kind::Saturated, 1},
        {"iterations",
         [](SaturationDriver& d) {
             EGraph g;
             app(g, "f", {leaf(g, "x")});
             d.with_egraph(std::move(g)).with_iter_limit(12).with_node_limit(1'000'000);
         },
         StopCause::Kind::IterationLimit, 12},
        {"node limit equal is allowed",
         [](SaturationDriver& d) {
             EGraph g;
             app(g, "k", {leaf(g, "x")});
             d.with_egraph(std::move(g)).with_node_limit(2);
         },
         StopCause::Kind::Saturated, 1},
        {"node limit exceeded",
         [](SaturationDriver& d) {
             EGraph g;
             app(g, "k", {leaf(g, "x")});
             d.with_egraph(std::move(g)).with_node_limit(1);
         },
         StopCause::Kind::NodeLimit, 1},
        {"growth hits node limit",
         [](SaturationDriver& d) {
             EGraph g;
             app(g, "f", {leaf(g, "x")});
             d.with_egraph(std::move(g)).with_node_limit(20);
         },
         StopCause::Kind::NodeLimit, 0},
        {"time",
         [](SaturationDriver& d) {
             EGraph g;
             app(g, "f", {leaf(g, "x")});
             d.with_egraph(std::move(g)).with_time_limit(std::chrono::nanoseconds(1));
         },
         StopCause::Kind::TimeLimit, 0},
    };
    const std::vector<Rewrite> rules{grower()};
    for (const Case& c : cases) {
        SaturationDriver d;
        c.setup(d);
        d.run(rules);
        ASSERT_TRUE(d.stop_reason().has_value()) << c.name;
        EXPECT_EQ(d.stop_reason()->kind, c.kind) << c.name;
        if (c.iterations) {
            EXPECT_EQ(d.iterations().size(), c.iterations) << c.name;
        }
        EXPECT_GE(d.iterations().size(), 1u) << c.name;
        EXPECT_TRUE(d.egraph().clean()) << c.name;
        EXPECT_EQ(d.egraph().check_invariants(), std::nullopt) << c.name;
        switch (c.kind) {
            case StopCause::Kind::IterationLimit:
                EXPECT_EQ(d.stop_reason()->count, 12u);
                EXPECT_FALSE(d.iterations().back().applied.empty()) << "the last iteration still changed things";
                break;
            case StopCause::Kind::NodeLimit:
                EXPECT_GT(d.stop_reason()->count, d.node_limit());
                break;
            case StopCause::Kind::TimeLimit:
                EXPECT_GT(d.stop_reason()->seconds, 0.0);
                break;
            default:
                break;
        }
    }
}

TEST(Driver, RepeatedRuleNamesAreReported) {
    const std::vector<Rewrite> rules{rule("same", "(f ?x)", "?x"), rule("other", "(g ?x)", "?x"),
                                     rule("same", "(h ?x)", "?x")};
    testing::internal::CaptureStderr();
    EXPECT_TRUE(warn_repeated_rule_names(rules));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "warning: repeated rule names share one scheduling record\nrule 'same' is listed 2 times\n");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(warn_repeated_rule_names(std::span(rules).first(2)));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace veltrix::sat
