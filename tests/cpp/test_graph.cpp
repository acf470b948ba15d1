// Parameters, node keys with their tokens, labels and shared heads, the
// interned store with its tables, and the reuse of freed large blocks.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <thread>
#include <tuple>
#include <unordered_map>

#include "builders.hpp"
#include "graph/dot.hpp"

using namespace veltrix;
using namespace veltrix::graph_testing;

namespace {

constexpr NodeId kNoSuchId = ~NodeId{0};  // stands for "no id" and "no error" in comparisons

using V = ParamValue;
using namespace std::string_literals;
double from_bits(std::uint64_t bits) { return std::bit_cast<double>(bits); }
PayloadDescriptor descriptor(std::optional<std::string> pref = std::nullopt) {
    return PayloadDescriptor{"k", "h", "fw", "2", "schema", std::move(pref)};
}

}  // namespace

// Escaping against the four whole-text replacements it stands for, in order
// (and in reverse order for unescaping), over random texts of their pieces.
TEST(GraphKeys, EscapingMatchesChainedReplacements) {
    const std::string seqs[][2] = {{"%", "%25"}, {";", "%3B"}, {"=", "%3D"}, {"|", "%7C"}};
    auto replace_all = [](std::string s, const std::string& from, const std::string& to) {
        for (auto p = s.find(from); p != s.npos; p = s.find(from, p + to.size())) s.replace(p, from.size(), to);
        return s;
    };
    std::mt19937 rng(1);
    for (int i = 0; i < 20000; ++i) {
        std::string s(rng() % 9, ' ');
        for (char& ch : s) ch = "%;=|2357BCDbcx"[rng() % 14];
        std::string esc = s, unesc = s;
        for (int k = 0; k < 4; ++k) {
            esc = replace_all(esc, seqs[k][0], seqs[k][1]);
            unesc = replace_all(unesc, seqs[3 - k][1], seqs[3 - k][0]);
        }
        ASSERT_EQ(std::tuple(escape_token(s), unescape_token(s), unescape_token(esc)), std::tuple(esc, unesc, s));
    }
}

// Tokens, identity tokens and labels of every kind, with the token and the
// display form of every kind of value; and all these keys are distinct.
TEST(GraphKeys, TokensIdentityTokensAndLabels) {
    struct Case { NodeKey key; std::string token, identity /* empty: the token */, label; };
    const std::vector<StageOp> neg3(3, StageOp{"op|neg", {StageRef::input(0)}});
    const Case cases[] = {
        {NodeKey::op("add", params({{"side", V::Str("r")}, {"scalar", V::Float(0.0)}}), {0}),
         "op|add|scalar=f0000000000000000;side=sr", "", "Op add {scalar=0, side=\"r\"}"},
        {NodeKey::source("f", params({{"a", V::Float(1.0)}, {"b", V::Float(-0.0)}, {"c", V::Float(12.5)},
                                      {"d", V::Float(1e21)}, {"e", V::Float(1e-7)}, {"f", V::Float(INFINITY)},
                                      {"g", V::Float(-INFINITY)}, {"h", V::Float(from_bits(0xFFF0000000000123ULL))}})),
         "src|f|a=f3ff0000000000000;b=f8000000000000000;c=f4029000000000000;d=f444b1ae4d6e2ef50;e=f3e7ad7f29abcaf48;"
         "f=f7ff0000000000000;g=ffff0000000000000;h=f7ff8000000000000", "",
         "Source f {a=1, b=-0, c=12.5, d=1000000000000000000000, e=0.0000001, f=inf, g=-inf, h=NaN}"},
        {NodeKey::source("a;b", params({{"k=", V::Int(INT64_MIN)}, {"t", V::Bool(true)}, {"u", V::Bool(false)},
                                        {"s", V::Str("a;b=c|d%\"\\\t\r\n")}})),
         "src|a%3Bb|k%3D=i-9223372036854775808;s=sa%3Bb%3Dc%7Cd%25\"\\\t\r\n;t=btrue;u=bfalse", "",
         "Source a;b {k==-9223372036854775808, s=\"a;b=c|d%\\\"\\\\\\t\\r\\n\", t=true, u=false}"},
        {NodeKey::source("x", params({{"c", V::Str(std::string("\0\x1f\x7f\xc2\x9f\xc2\xa0", 7))},
                                      {"m", V::Str("e\xcc\x81 \xe2\x80\x8b\xc3\xa9")}})),
         "src|x|c=s\0\x1f\x7f\xc2\x9f\xc2\xa0;m=se\xcc\x81 \xe2\x80\x8b\xc3\xa9"s, "",
         "Source x {c=\"\\0\\u{1f}\\u{7f}\\u{9f}\xc2\xa0\", m=\"e\\u{301} \\u{200b}\xc3\xa9\"}"},
        {NodeKey::reduction("sum", params({{"axis", V::Int(1)}}), {0}), "red|sum|axis=i1", "", "Reduction sum {axis=1}"},
        {NodeKey::exchange(params({{"scheme", V::Str("hash")}}), {0}), "exch|scheme=shash", "",
         "Exchange {scheme=\"hash\"}"},
        {NodeKey::join(params({{"how", V::Str("inner")}}), {0, 1}), "join|how=sinner", "", "Join {how=\"inner\"}"},
        {NodeKey::external(descriptor(), {}, {}), "ext|k|h|fw|2|schema|-", "", "External k:h [fw 2]"},
        {NodeKey::external(descriptor(""), {}, {}), "ext|k|h|fw|2|schema|", "ext|k|h|fw|2|schema|=", "External k:h [fw 2]"},
        {NodeKey::external({"k", "h", "fw", "2", "io", {}}, {}, {}), "ext|k|h|fw|2|io|-", "", "External k:h [fw 2]"},
        // Tokens conflate these with their neighbours; identity tokens do not.
        {NodeKey::external(descriptor("-"), {}, {}), "ext|k|h|fw|2|schema|-", "ext|k|h|fw|2|schema|=-",
         "External k:h [fw 2]"},
        {NodeKey::external(descriptor("p|q"), params({{"n", V::Int(1)}}), {}), "ext|k|h|fw|2|schema|p|q|n=i1",
         "ext|k|h|fw|2|schema|=p%7Cq|n=i1", "External k:h [fw 2] {n=1}"},
        {NodeKey::stage({0}, neg3), "stage|3", "stage|3|op%7Cneg=i0|op%7Cneg=i0|op%7Cneg=i0", "Stage[3 members]"},
        {NodeKey::stage({0, 1}, {neg3[0], StageOp{"op|abs", {StageRef::input(1), StageRef::member(0)}}}), "stage|2",
         "stage|2|op%7Cneg=i0|op%7Cabs=i1,m0", "Stage[2 members]"},
        {NodeKey::stage({0}, {}), "stage|0", "", "Stage[0 members]"},
        {NodeKey::stage({0}, {StageOp{"op|f", {StageRef::input(1)}}}), "stage|1", "stage|1|op%7Cf=i1", "Stage[1 members]"},
        {NodeKey::stage({0}, {StageOp{"op|f", {StageRef::member(1)}}}), "stage|1", "stage|1|op%7Cf=m1", "Stage[1 members]"},
        {NodeKey::stage({0}, {StageOp{"op|f", {StageRef::input(0)}}}), "stage|1", "stage|1|op%7Cf=i0", "Stage[1 members]"},
        {NodeKey::stage({0}, {StageOp{"op|g", {StageRef::input(1)}}}), "stage|1", "stage|1|op%7Cg=i1", "Stage[1 members]"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.key.token(), c.token);
        EXPECT_EQ(c.key.identity_token(), c.identity.empty() ? c.token : c.identity);
        EXPECT_EQ(c.key.label(), c.label);
        const NodeKey copy = c.key;
        EXPECT_EQ(copy, c.key);
        EXPECT_EQ(copy.hash(), c.key.hash());
        for (const Case& d : cases) EXPECT_EQ(&c == &d, c.key == d.key) << c.token << " " << d.token;
    }
}

TEST(GraphKeys, ParseOpToken) {
    for (const char* bad : {"src|x", "op", "ope|x", "OP|x", "op|x|k", "op|x|k=", "op|x|k=i1;", "op|x|k=q1", "op|x|k=i",
                            "op|x|k=i+", "op|x|k=i+-1", "op|x|k=i/", "op|x|k=i1 ", "op|x|k=i9223372036854775808",
                            "op|x|k=i-9223372036854775809", "op|x|k=i18446744073709551616", "op|x|k=bTrue", "op|x|k=f",
                            "op|x|k=f+", "op|x|k=fG", "op|x|k=f:", "op|x|k=f10000000000000000", "op|x|k=\xc3\xa9"}) {
        EXPECT_FALSE(parse_op_token(bad)) << bad;
    }
    struct Case { const char* text; const char* kind; const char* name; ParamMap params; };
    const Case good[] = {
        {"op|x|i=i+5;a=fFF;b=f+09afAF;c=f8000000000000001;d=f00000000000000000001", "op", "x",
         params({{"i", V::Int(5)}, {"a", V::Float(from_bits(0xFF))}, {"b", V::Float(from_bits(0x09afAF))},
                 {"c", V::Float(from_bits(0x8000000000000001ULL))}, {"d", V::Float(from_bits(1))}})},
        {"red|x|=s", "red", "x", params({{"", V::Str("")}})},
        {"op|", "op", "", {}}, {"red|x|", "red", "x", {}},
        {"op|a%3Bb|k%3D=sx%7Cy|z;j=i9223372036854775807;m=i-9223372036854775808;b=btrue;c=bfalse", "op", "a;b",
         params({{"k=", V::Str("x|y|z")}, {"j", V::Int(INT64_MAX)}, {"m", V::Int(INT64_MIN)}, {"b", V::Bool(true)},
                 {"c", V::Bool(false)}})},
        // Sorted by key; equal keys stay in the order given.
        {"op|x|b=i1;a=i2;c=i3;a=i1", "op", "x",
         params({{"a", V::Int(2)}, {"a", V::Int(1)}, {"b", V::Int(1)}, {"c", V::Int(3)}})},
    };
    for (const Case& c : good) {
        auto p = parse_op_token(c.text);
        ASSERT_TRUE(p) << c.text;
        EXPECT_EQ(std::tie(p->kind, p->name, p->params), std::tie(c.kind, c.name, c.params)) << c.text;
    }
}

TEST(GraphKeys, CopiesShareTheHeadAndKeepTheirOwnInputs) {
    const std::vector<NodeId> many = {4, 1, 4, 0, 9};
    for (const std::vector<NodeId>& in : {std::vector<NodeId>{}, {3}, {3, 2}, many}) {
        const NodeKey key = NodeKey::op("add", side("r"), in), other = key.with_input_list(many);
        NodeKey copy = key;
        EXPECT_TRUE(copy.shares_head_with(key));
        EXPECT_EQ(copy, key);
        EXPECT_EQ(copy.hash(), key.hash());
        EXPECT_TRUE(other.shares_head_with(key));
        EXPECT_TRUE(other.equal_except_inputs(key));
        EXPECT_EQ(other == key, in == many);
        EXPECT_EQ(std::vector<NodeId>(key.inputs().begin(), key.inputs().end()), in);
        EXPECT_EQ(NodeKey(std::move(copy)), key);
        EXPECT_EQ(copy, NodeKey::source(""));  // NOLINT(bugprone-use-after-move): a moved-from key is an empty source
        EXPECT_EQ(copy = key, key);
    }
    // A source ignores any inputs it is given; a stage keeps its members; only the
    // kinds without extra fields are built and compared by parts.
    EXPECT_EQ(NodeKey::source("x").with_inputs(many), NodeKey::source("x"));
    const NodeKey st = NodeKey::stage({0}, {StageOp{"op|neg", {StageRef::input(0)}}});
    EXPECT_EQ(st.with_inputs({5}), NodeKey::stage({5}, st.members()));
    EXPECT_FALSE(NodeKey::external({"k", "h", "fw", "1", "io", {}}, {}, {0}).head_equals_basic(NodeKind::External, "", {}));
    EXPECT_THROW(NodeKey::basic(NodeKind::Stage, "", {}, {}), InternalFailure);
    // Parameters are equal only when every key and every value is.
    const ParamMap one = params({{"a", V::Int(1)}});
    for (const ParamMap& p : {params({{"a", V::Int(2)}}), params({{"b", V::Int(1)}}), params({})}) EXPECT_FALSE(p == one);
}

TEST(GraphStore, InterningAListMapsPositionsToIds) {
    GraphStore s;
    must(s.intern(NodeKey::source("b")));
    std::vector<NodeKey> list = {NodeKey::source("a"), NodeKey::source("b"), NodeKey::op("f", {}, {0, 1}),
                                 NodeKey::source("a"), NodeKey::op("f", {}, {3, 1}), NodeKey::op("g", {}, {4, 2})};
    // 1 is there already, 3 repeats 0, and so 4 repeats 2 once its inputs are mapped.
    EXPECT_EQ(s.intern_list(list), (std::vector<NodeId>{1, 0, 2, 1, 2, 3}));
    EXPECT_EQ(s.nodes_copy(), (std::vector<NodeKey>{NodeKey::source("b"), NodeKey::source("a"), NodeKey::op("f", {}, {1, 0}),
                                                    NodeKey::op("g", {}, {2, 2})}));
    std::vector<NodeKey> forward = {NodeKey::source("a"), NodeKey::op("f", {}, {1})};
    EXPECT_THROW(GraphStore().intern_list(forward), InternalFailure);
}

// Random sessions, with stretches replayed and near misses (another name, other
// parameters, reversed inputs, bad ids), through intern and intern_basic, against
// a map from the key's parts, its parameters stably sorted, to the first id.
TEST(GraphStore, RandomSessionsMatchAMapModel) {
    const ParamEntry pool[] = {{"side", V::Str("r")}, {"side", V::Str("l")}, {"z", V::Float(0.0)}, {"z", V::Float(-0.0)},
                               {"a", V::Float(from_bits(0x7FF8000000000001ULL))}, {"a", V::Float(-std::nan(""))},
                               {"b", V::Int(1)}, {"b", V::Bool(true)}, {"\xff", V::Int(1)}, {"", V::Str("")}};
    struct Call { NodeKind kind; std::string name; std::vector<ParamEntry> params; std::vector<NodeId> inputs; };
    using Parts = std::tuple<NodeKind, std::string, std::vector<std::pair<std::string, std::string>>, std::vector<NodeId>>;
    std::mt19937_64 rng(7);
    auto draw_params = [&] {
        std::vector<ParamEntry> p;  // past 8 entries: another sort
        for (std::size_t n = rng() % 4 == 0 ? 9 + rng() % 3 : rng() % 4; n > 0; --n) p.push_back(pool[rng() % 10]);
        return p;
    };
    for (int round = 0; round < 8; ++round) {
        GraphStore a;
        auto b_owned = std::make_unique<GraphStore>();  // goes before its copies, below
        GraphStore& b = *b_owned;
        std::map<Parts, NodeId> model;
        std::vector<Call> history, calls;
        while (history.size() < 600) {
            if (history.size() < 40 || rng() % 8 == 0) {
                calls.clear();
                const NodeKind kind = NodeKind("\0\1\1\2\5\6"[rng() % 6]);  // no kinds with extra fields
                calls.push_back({kind, kind <= NodeKind::Reduction ? (rng() % 2 ? "f" : "g") : "", draw_params(), {}});
                for (std::size_t n = rng() % 5; n > 0; --n) {
                    const std::size_t past = rng() % 16 == 0 ? 3 : 1;  // now and then an id out of range
                    calls.back().inputs.push_back(rng() % (model.size() + past));
                }
            } else {
                const std::size_t from = rng() % history.size(), len = 1 + rng() % 12;
                calls.assign(history.begin() + from, history.begin() + std::min(history.size(), from + len));
            }
            for (Call& c : calls) {
                if (rng() % 8 == 0 && !c.name.empty()) c.name = "h";
                if (rng() % 8 == 0) c.params = draw_params();
                if (rng() % 8 == 0) std::reverse(c.inputs.begin(), c.inputs.end());
                std::vector<ParamRef> refs;
                for (const ParamEntry& e : c.params) refs.push_back(ParamRef::of(e));
                ParamMap::sort_refs(refs);
                auto ra = a.intern(NodeKey::basic(c.kind, c.name, params(c.params), c.inputs));
                auto rb = b.intern_basic(c.kind, c.name, refs, c.inputs);
                // A source has no inputs: it ignores any it is given.
                const std::vector<NodeId> in = c.kind == NodeKind::Source ? std::vector<NodeId>{} : c.inputs;
                const auto bad = std::find_if(in.begin(), in.end(), [&](NodeId x) { return x >= model.size(); });
                if (bad != in.end()) {
                    EXPECT_EQ(std::tuple(ra ? kNoSuchId : ra.error().id, rb ? kNoSuchId : rb.error().id), std::tuple(*bad, *bad));
                    continue;
                }
                Parts parts{c.kind, c.name, {}, in};
                for (const ParamEntry& e : c.params) std::get<2>(parts).emplace_back(e.key, e.value.token());
                std::stable_sort(std::get<2>(parts).begin(), std::get<2>(parts).end(),
                                 [](const auto& x, const auto& y) { return x.first < y.first; });
                const NodeId want = model.try_emplace(parts, model.size()).first->second;
                ASSERT_EQ(std::tuple(ra ? *ra : kNoSuchId, rb ? *rb : kNoSuchId), std::tuple(want, want)) << history.size();
                history.push_back(c);
            }
        }
        const std::vector<NodeKey> nodes = a.nodes_copy(), other = b.nodes_copy();
        EXPECT_EQ(std::tuple(nodes.size(), nodes), std::tuple(model.size(), other));
        // Marks keep their first order without repeats; ids past the end are rejected.
        std::vector<NodeId> marks;
        for (int m = 0; m < 24; ++m) {
            const NodeId id = rng() % 4 ? rng() % 8 : nodes.size() - 1 + rng() % 3;
            const auto bad = a.mark_output(id);
            EXPECT_EQ(bad ? bad->id : kNoSuchId, id < nodes.size() ? kNoSuchId : id);
            if (!bad && std::find(marks.begin(), marks.end(), id) == marks.end()) marks.push_back(id);
        }
        const Snapshot snap = a.snapshot();
        EXPECT_EQ(std::tuple(snap.nodes, snap.outputs, a.outputs()), std::tuple(nodes, marks, marks));
        EXPECT_TRUE(a.node_map().empty());
        const NodeId from = rng() % (nodes.size() + 2);
        EXPECT_EQ(a.snapshot_from(from), std::vector<NodeKey>(nodes.begin() + std::min(from, nodes.size()), nodes.end()));
        EXPECT_TRUE(a.snapshot_from(~0ull).empty());
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            EXPECT_EQ(must(b.intern(nodes[i])), i);  // keys built whole find the nodes recorded by parts
            // Nodes that differ only by their inputs share one head, in both stores.
            for (std::size_t j = i + 1; j < nodes.size(); ++j) {
                if (!nodes[i].equal_except_inputs(nodes[j])) continue;
                ASSERT_TRUE(nodes[i].shares_head_with(nodes[j])) << i << " " << j;
                ASSERT_TRUE(other[i].shares_head_with(other[j])) << i << " " << j;
            }
        }
        // Copies count on the heads they share; the store's own keys (some
        // only lent their head) let go of theirs without counting twice.
        b_owned.reset();
        EXPECT_EQ(other, nodes);
    }
}

// The tables against a map model, through growth from the kept hash bits and,
// past them, from hashes asked for again. Keys 4m, 4m + 2 share a hash, and
// 4m + 1, 4m + 3 one differing from it in the low bit: only keys tell them apart.
TEST(GraphStore, HashTablesAgreeWithAMapAcrossGrowth) {
    auto hash_of_key = [](std::uint64_t key) { return mix64(key >> 2) ^ (key & 1); };
    for (unsigned position_bits : {24u, 6u}) {
        IdTable table{IdSlots(position_bits)};
        OpenTable<PackedSlots32> packed;
        SharedIdTable shared;  // about 6000 entries: some 400 in each of its shards
        std::vector<std::uint64_t> keys;  // by id
        std::unordered_map<std::uint64_t, NodeId> model;
        std::size_t rehashed = 0, shared_rehashed = 0;
        auto hash_at = [&](std::uint64_t id) { return hash_of_key(keys.at(id)); };
        struct Hashes {
            decltype(hash_at)& of;
            std::size_t& asked;
            std::uint64_t place(NodeId id) const { return ++asked, of(id); }
            void prefetch(NodeId, int) const {}
        };
        std::mt19937_64 rng(position_bits);
        for (int step = 0; step < 12000; ++step) {
            const std::uint64_t key = rng() % 8000, hash = hash_of_key(key);
            auto same = [&](NodeId j) { return keys.at(j) == key; };
            const auto want = model.count(key) ? std::optional<NodeId>(model.at(key)) : std::nullopt;
            ASSERT_EQ(table.find(hash, same), want) << key;
            ASSERT_EQ(shared.find(hash, same), want) << key;
            packed.reserve_in_order(packed.size() + 1, hash_at);
            auto& slot = packed.slot_for(hash, same);
            ASSERT_EQ(packed.empty(slot) ? std::nullopt : std::optional<NodeId>(packed.id(slot)), want) << key;
            if (want) continue;
            const NodeId id = model[key] = keys.size();
            keys.push_back(key);
            packed.fill(slot, hash, id);
            table.reserve_one([&](NodeId j) { return ++rehashed, hash_at(j); });
            table.insert(hash, id);
            shared.reserve_one(hash, id, Hashes{hash_at, shared_rehashed});
            shared.insert(hash, id);
        }
        EXPECT_EQ(position_bits < 24, rehashed > 0) << position_bits;
        EXPECT_GT(shared_rehashed, 0u);
    }
}

TEST(GraphStore, FailureUnderTheLockPoisonsIt) {
    GraphStore s;
    ASSERT_TRUE(s.intern(NodeKey::source("x")));
    std::vector<NodeKey> forward{NodeKey::op("f", {}, {0})};  // an internal failure under the lock
    EXPECT_THROW(s.intern_list(forward), InternalFailure);
    const std::function<void()> uses[] = {
        [&] { (void)s.intern(NodeKey::source("y")); }, [&] { (void)s.node_count(); }, [&] { (void)s.outputs(); },
        [&] { (void)s.snapshot(); }, [&] { (void)s.snapshot_from(0); }, [&] { (void)s.node_map(); },
        [&] { (void)s.mark_output(0); }, [&] { (void)to_dot(s); }};
    for (const auto& use : uses) {
        try {
            use();
            ADD_FAILURE() << "no failure";
        } catch (const InternalFailure& e) { EXPECT_STREQ(e.what(), kStorePoisoned); }
    }
}

// Within a reuse scope, freed blocks serve later requests: blocks alive at once,
// on any thread, never share memory, and a block handed out again is big enough.
// One handed to a smaller request is split; once its owners are gone nothing stays mapped.
TEST(GraphStore, ReusedLargeBlocksNeitherAliasNorLeak) {
    std::vector<std::thread> threads;
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        threads.emplace_back([seed] {
            std::mt19937_64 rng(seed);
            const LargeBlockReuse reuse;
            for (std::uint64_t round = 0, mark = seed << 8; round < 12; ++round, mark += 3) {
                const LargeBlockReuse nested;
                std::vector<LargeVector<std::uint64_t>> live;
                for (std::uint64_t k = 0; k < 3; ++k) live.emplace_back(kLargeBlock / 8 * (1 + rng() % 3), mark + k);
                for (std::uint64_t k = 0; k < 3; ++k) {
                    const auto& v = live[k];
                    ASSERT_EQ(std::tuple(v.front(), v[v.size() / 2], v.back()), std::tuple(mark + k, mark + k, mark + k));
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    auto mapped_pages = [] { long pages = 0; std::ifstream("/proc/self/statm") >> pages; return pages; };
    { const LargeBlockReuse flush; }  // closing the outermost scope frees what this thread kept
    const long before = mapped_pages();
    for (int round = 0; round < 4; ++round) {
        void* kept_after_scope = nullptr;
        {
            const LargeBlockReuse reuse;
            free_large(allocate_large(24 << 20), 24 << 20);
            kept_after_scope = allocate_large(10 << 20);   // the first part of the freed block
            free_large(allocate_large(8 << 20), 8 << 20);  // part of the rest
        }
        free_large(kept_after_scope, 10 << 20);
    }
    EXPECT_LE(mapped_pages(), before + 512) << "pages mapped before: " << before;
#endif
}
