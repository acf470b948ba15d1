// Node keys, parameters, tokens, labels and the interned store.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <limits>
#include <thread>

#include "graph/node.hpp"
#include "graph/param.hpp"
#include "graph/store.hpp"

using namespace veltrix;

namespace {

ParamMap params(std::vector<ParamEntry> e) { return ParamMap::make(std::move(e)); }
ParamEntry entry(std::string k, ParamValue v) { return ParamEntry{std::move(k), std::move(v)}; }

NodeKey identity_add(NodeId x) {
    return NodeKey::op("add", params({entry("side", ParamValue::Str("r")), entry("scalar", ParamValue::Float(0.0))}),
                       {x});
}

PayloadDescriptor descriptor(std::optional<std::string> pref = std::nullopt) {
    return PayloadDescriptor{"k", "h", "fw", "2", "schema", std::move(pref)};
}

}  // namespace

TEST(Escape, RoundTripsAndLeavesUnknownSequences) {
    EXPECT_EQ(escape_token("a%3Bb"), "a%253Bb");
    EXPECT_EQ(unescape_token("a%253Bb"), "a%3Bb");
    EXPECT_EQ(escape_token("a;b=c|d%"), "a%3Bb%3Dc%7Cd%25");
    for (const char* t : {"100%", "%zz", "%3b", "%", "%2", "%7c", ""}) EXPECT_EQ(unescape_token(t), t);
    for (const char* t : {"%%7C", "%25%7C", "%3D%3B", "|;=%", "%257C", "x%3%7CD"}) {
        EXPECT_EQ(unescape_token(escape_token(t)), t);
    }
    EXPECT_EQ(unescape_token("%25%7C"), "%|");
}

TEST(Tokens, ValueTokens) {
    EXPECT_EQ(ParamValue::Int(42).token(), "i42");
    EXPECT_EQ(ParamValue::Int(-7).token(), "i-7");
    EXPECT_EQ(ParamValue::Float(1.0).token(), "f3ff0000000000000");
    EXPECT_EQ(ParamValue::Float(0.0).token(), "f0000000000000000");
    EXPECT_EQ(ParamValue::Float(-0.0).token(), "f8000000000000000");
    EXPECT_EQ(ParamValue::Float(std::bit_cast<double>(0xFFF0000000000123ULL)).token(), "f7ff8000000000000");
    EXPECT_EQ(ParamValue::Bool(true).token(), "btrue");
    EXPECT_EQ(ParamValue::Str("a;b").token(), "sa%3Bb");
}

TEST(Tokens, NodeTokens) {
    EXPECT_EQ(identity_add(0).token(), "op|add|scalar=f0000000000000000;side=sr");
    EXPECT_EQ(NodeKey::source("x").token(), "src|x");
    EXPECT_EQ(NodeKey::op("a|b", {}, {}).token(), "op|a%7Cb");
    EXPECT_EQ(NodeKey::reduction("sum", params({entry("axis", ParamValue::Int(1))}), {0}).token(), "red|sum|axis=i1");
    EXPECT_EQ(NodeKey::exchange(params({entry("scheme", ParamValue::Str("hash"))}), {0}).token(), "exch|scheme=shash");
    EXPECT_EQ(NodeKey::join({}, {0, 1}).token(), "join");
    EXPECT_EQ(NodeKey::external(descriptor(), {}, {}).token(), "ext|k|h|fw|2|schema|-");
    EXPECT_EQ(NodeKey::external(descriptor("p|q"), {}, {}).token(), "ext|k|h|fw|2|schema|p|q");
    std::vector<StageOp> three(3, StageOp{"op|neg", {StageRef::input(0)}});
    EXPECT_EQ(NodeKey::stage({0}, three).token(), "stage|3");
}

TEST(Tokens, IdentityTokenSeparatesWhatTokensConflate) {
    auto a = NodeKey::external(descriptor("-"), {}, {});
    auto b = NodeKey::external(descriptor(), {}, {});
    EXPECT_EQ(a.token(), b.token());
    EXPECT_NE(a.identity_token(), b.identity_token());
    auto c = NodeKey::external(PayloadDescriptor{"k|h", "x", "fw", "2", "schema", {}}, {}, {});
    auto d = NodeKey::external(PayloadDescriptor{"k", "h|x", "fw", "2", "schema", {}}, {}, {});
    EXPECT_EQ(c.token(), d.token());
    EXPECT_NE(c.identity_token(), d.identity_token());
    auto s1 = NodeKey::stage({0}, {StageOp{"op|neg", {StageRef::input(0)}}});
    auto s2 = NodeKey::stage({0}, {StageOp{"op|abs", {StageRef::input(0)}}});
    EXPECT_EQ(s1.token(), s2.token());
    EXPECT_NE(s1.identity_token(), s2.identity_token());
    EXPECT_EQ(identity_add(0).identity_token(), identity_add(0).token());
}

TEST(Display, FloatsAndStrings) {
    auto show = [](ParamValue v) {
        std::string s;
        v.append_display(s);
        return s;
    };
    EXPECT_EQ(show(ParamValue::Float(1.0)), "1");
    EXPECT_EQ(show(ParamValue::Float(1.5)), "1.5");
    EXPECT_EQ(show(ParamValue::Float(-0.0)), "-0");
    EXPECT_EQ(show(ParamValue::Float(0.1)), "0.1");
    EXPECT_EQ(show(ParamValue::Float(1e21)), "1000000000000000000000");
    EXPECT_EQ(show(ParamValue::Float(1e-7)), "0.0000001");
    EXPECT_EQ(show(ParamValue::Float(std::nan(""))), "NaN");
    EXPECT_EQ(show(ParamValue::Float(-INFINITY)), "-inf");
    EXPECT_EQ(show(ParamValue::Bool(false)), "false");
    EXPECT_EQ(show(ParamValue::Str("a\"b\\\t\r\n")), "\"a\\\"b\\\\\\t\\r\\n\"");
    EXPECT_EQ(show(ParamValue::Str(std::string("\0\x1b\x7f", 3))), "\"\\0\\u{1b}\\u{7f}\"");
    EXPECT_EQ(show(ParamValue::Str("e\xcc\x81 \xc3\xa9")), "\"e\\u{301} \xc3\xa9\"");
}

TEST(Labels, EveryKind) {
    EXPECT_EQ(identity_add(0).label(), "Op add {scalar=0, side=\"r\"}");
    EXPECT_EQ(NodeKey::source("x").label(), "Source x");
    EXPECT_EQ(NodeKey::reduction("sum", {}, {0}).label(), "Reduction sum");
    EXPECT_EQ(NodeKey::external(descriptor(), {}, {}).label(), "External k:h [fw 2]");
    EXPECT_EQ(NodeKey::external(descriptor("p"), params({entry("n", ParamValue::Int(1))}), {}).label(),
              "External k:h [fw 2] {n=1}");
    EXPECT_EQ(NodeKey::stage({}, {StageOp{"op|neg", {}}}).label(), "Stage[1 members]");
    EXPECT_EQ(NodeKey::exchange({}, {0}).label(), "Exchange");
    EXPECT_EQ(NodeKey::join(params({entry("how", ParamValue::Str("inner"))}), {0, 1}).label(),
              "Join {how=\"inner\"}");
}

TEST(ParseOpToken, InvertsTokens) {
    auto k = NodeKey::op("a;b=c|%", params({entry("s", ParamValue::Str(";=|%")), entry("n", ParamValue::Float(NAN)),
                                            entry("z", ParamValue::Float(-0.0)), entry("i", ParamValue::Int(INT64_MIN)),
                                            entry("b", ParamValue::Bool(true))}),
                         {0});
    auto p = parse_op_token(k.token());
    ASSERT_TRUE(p);
    EXPECT_EQ(p->kind, "op");
    EXPECT_EQ(p->name, k.name());
    EXPECT_EQ(p->params, k.params());
    auto r = parse_op_token(NodeKey::reduction("sum", {}, {0}).token());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->kind, "red");
    EXPECT_TRUE(r->params.empty());
}

TEST(ParseOpToken, RejectsAndAccepts) {
    for (const char* bad : {"src|x", "op", "op|x|k", "op|x|k=", "op|x|k=i1;", "op|x|k=q1", "op|x|k=i", "op|x|k=i+",
                            "op|x|k=bTrue", "op|x|k=f10000000000000000", "op|x|k=i9223372036854775808",
                            "op|x|k=i+-1", "op|x|k=f", "op|x|k=f+", "op|x|k=fxyz", "op|x|k=\xc3\xa9", "ope|x"}) {
        EXPECT_FALSE(parse_op_token(bad)) << bad;
    }
    auto a = parse_op_token("op|x|k=i+5");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->params.entries()[0].value, ParamValue::Int(5));
    auto f = parse_op_token("op|x|k=fFF");
    ASSERT_TRUE(f);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(f->params.entries()[0].value.as_float()), 0xFFu);
    auto e = parse_op_token("red|x|=s");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->params.entries()[0].key, "");
    EXPECT_EQ(e->params.entries()[0].value, ParamValue::Str(""));
    auto empty_name = parse_op_token("op|");
    ASSERT_TRUE(empty_name);
    EXPECT_EQ(empty_name->name, "");
    EXPECT_TRUE(parse_op_token("op|x|k=f00000000000000000001"));
}

TEST(ParseOpToken, SortsStablyAndKeepsDuplicates) {
    auto p = parse_op_token("op|x|b=i1;a=i2");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->params.entries()[0].key, "a");
    auto d = parse_op_token("op|x|a=i2;a=i1");
    ASSERT_TRUE(d);
    ASSERT_EQ(d->params.size(), 2u);
    EXPECT_EQ(d->params.entries()[0].value, ParamValue::Int(2));
    EXPECT_EQ(d->params.entries()[1].value, ParamValue::Int(1));
}

TEST(Keys, EqualityAndHashAgree) {
    auto nan_a = NodeKey::source("s", params({entry("v", ParamValue::Float(std::bit_cast<double>(0x7FF0000000000001ULL)))}));
    auto nan_b = NodeKey::source("s", params({entry("v", ParamValue::Float(-std::nan("")))}));
    EXPECT_EQ(nan_a, nan_b);
    EXPECT_EQ(nan_a.hash(), nan_b.hash());
    auto pz = NodeKey::source("s", params({entry("v", ParamValue::Float(0.0))}));
    auto nz = NodeKey::source("s", params({entry("v", ParamValue::Float(-0.0))}));
    EXPECT_NE(pz, nz);
    // Different kinds, inputs, order and repeats are different keys.
    std::vector<NodeKey> distinct = {
        NodeKey::op("f", {}, {0, 1}), NodeKey::op("f", {}, {1, 0}), NodeKey::op("f", {}, {0, 0, 1}),
        NodeKey::reduction("f", {}, {0, 1}), NodeKey::exchange({}, {0, 1}), NodeKey::join({}, {0, 1}),
        NodeKey::external(descriptor(), {}, {0, 1}), NodeKey::external(descriptor(""), {}, {0, 1}),
        NodeKey::stage({0, 1}, {}), NodeKey::source("f"),
        NodeKey::op("f", params({entry("v", ParamValue::Int(1))}), {0, 1}),
        NodeKey::op("f", params({entry("v", ParamValue::Bool(true))}), {0, 1}),
        NodeKey::op("f", params({entry("v", ParamValue::Float(1.0))}), {0, 1}),
    };
    for (std::size_t i = 0; i < distinct.size(); ++i) {
        for (std::size_t j = 0; j < distinct.size(); ++j) EXPECT_EQ(distinct[i] == distinct[j], i == j) << i << " " << j;
        NodeKey copy = distinct[i];
        EXPECT_EQ(copy, distinct[i]);
        EXPECT_EQ(copy.hash(), distinct[i].hash());
    }
}

TEST(Keys, WithInputs) {
    auto s = NodeKey::source("x");
    EXPECT_EQ(s.with_inputs({1, 2}), s);
    auto st = NodeKey::stage({0}, {StageOp{"op|neg", {StageRef::input(0)}}});
    auto moved = st.with_inputs({5});
    EXPECT_EQ(moved.members(), st.members());
    EXPECT_EQ(std::vector<NodeId>(moved.inputs().begin(), moved.inputs().end()), std::vector<NodeId>{5});
    EXPECT_TRUE(moved.equal_except_inputs(st));
}

TEST(Store, InternsValidatesAndMarks) {
    GraphStore s;
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(s.intern(NodeKey::source("s" + std::to_string(i))));
    EXPECT_EQ(s.intern(NodeKey::source("s1")).value(), 1u);
    EXPECT_EQ(s.intern(NodeKey::op("f", {}, {0, 99})).error().id, 99u);
    EXPECT_EQ(s.intern(NodeKey::op("f", {}, {7, 99})).error().id, 7u);
    EXPECT_EQ(s.intern(NodeKey::op("f", {}, {5})).error().id, 5u);  // its own future id
    EXPECT_EQ(s.node_count(), 5u);
    EXPECT_EQ(s.intern(NodeKey::op("f", {}, {4, 4})).value(), 5u);
    EXPECT_EQ(s.mark_output(9)->id, 9u);
    EXPECT_FALSE(s.mark_output(3));
    EXPECT_FALSE(s.mark_output(1));
    EXPECT_FALSE(s.mark_output(3));
    EXPECT_EQ(s.outputs(), (std::vector<NodeId>{3, 1}));
    EXPECT_TRUE(s.node_map().empty());
    EXPECT_EQ(s.snapshot_from(4).size(), 2u);
    EXPECT_TRUE(s.snapshot_from(6).empty());
    EXPECT_TRUE(s.snapshot_from(UINT64_MAX).empty());
    Snapshot snap = s.snapshot();
    EXPECT_EQ(snap.nodes.size(), 6u);
    EXPECT_EQ(snap.outputs, s.outputs());
}

TEST(Store, SameKeysSameIdsAcrossStores) {
    GraphStore a, b;
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 1000; ++i) {
            auto key = i == 0 ? NodeKey::source("x")
                              : NodeKey::op("f" + std::to_string(i % 7), {}, {static_cast<NodeId>(i / 2)});
            auto ia = a.intern(key), ib = b.intern(key);
            ASSERT_TRUE(ia && ib);
            EXPECT_EQ(ia.value(), ib.value());
        }
    }
    EXPECT_EQ(a.node_count(), b.node_count());
}

TEST(Store, FailureUnderTheLockPoisonsIt) {
    GraphStore s;
    ASSERT_TRUE(s.intern(NodeKey::source("x")));
    EXPECT_THROW(s.read_locked([](auto, auto) -> int { panic("boom"); }), InternalFailure);
    auto expect_poisoned = [](auto&& f) {
        try {
            f();
            ADD_FAILURE() << "no failure";
        } catch (const InternalFailure& e) {
            EXPECT_STREQ(e.what(), kStorePoisoned);
        }
    };
    expect_poisoned([&] { (void)s.intern(NodeKey::source("y")); });
    expect_poisoned([&] { (void)s.node_count(); });
    expect_poisoned([&] { (void)s.outputs(); });
    expect_poisoned([&] { (void)s.snapshot(); });
    expect_poisoned([&] { (void)s.snapshot_from(0); });
    expect_poisoned([&] { (void)s.node_map(); });
    expect_poisoned([&] { (void)s.mark_output(0); });
}

TEST(StoreThreads, EightThreadsInternOverlappingKeys) {
    GraphStore s;
    constexpr int kThreads = 8, kKeys = 2003;  // prime: every stride visits every key
    std::vector<std::vector<NodeId>> ids(kThreads, std::vector<NodeId>(kKeys));
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kKeys; ++i) {
                // Every thread interns the same keys, in a thread-specific order.
                int k = (i * (2 * t + 1)) % kKeys;
                auto r = s.intern(NodeKey::source("n" + std::to_string(k)));
                ids[t][k] = r.value();
                if (i % 97 == 0) {
                    Snapshot snap = s.snapshot();
                    EXPECT_LE(snap.nodes.size(), static_cast<std::size_t>(kKeys));
                    EXPECT_GE(s.node_count(), snap.nodes.size());
                }
            }
        });
    }
    go = true;
    for (auto& th : threads) th.join();
    EXPECT_EQ(s.node_count(), static_cast<std::size_t>(kKeys));
    for (int t = 1; t < kThreads; ++t) EXPECT_EQ(ids[t], ids[0]);
    Snapshot snap = s.snapshot();
    for (int k = 0; k < kKeys; ++k) EXPECT_EQ(snap.nodes[ids[0][k]].name(), "n" + std::to_string(k));
}
