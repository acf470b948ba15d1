// The IR blob (exact bytes, normalisation of foreign blobs, every decode
// error, hostile counts, UTF-8) and the DOT text.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>

#include "builders.hpp"
#include "graph/blob.hpp"
#include "graph/dot.hpp"

using namespace veltrix;
using namespace veltrix::graph_testing;

namespace {

using Bytes = std::vector<std::uint8_t>;
using V = ParamValue;
// Floats whose exact bits must survive: -0, NaNs with payloads, inf, eight distinct bytes.
const std::uint64_t kFloatBits[] = {0x8000000000000000ULL, 0x7FF0000000000123ULL, 0xFFF8000000000001ULL,
                                    0x7FF0000000000000ULL, 0x4123456789ABCDEFULL};

// Every kind of node, parameters of every type, texts that need escaping in
// DOT, and outputs marked out of id order.
std::unique_ptr<GraphStore> every_kind() {
    auto s = std::make_unique<GraphStore>();
    std::vector<ParamEntry> px = {{"z", V::Int(-7)}, {"b", V::Bool(true)}, {"s", V::Str("h\xC3\xA9 \"q\" ;=|%")}};
    for (std::uint64_t bits : kFloatBits) px.push_back({"f", V::Float(std::bit_cast<double>(bits))});
    const NodeId x = must(s->intern(NodeKey::source("x", params(px))));
    const NodeId y = must(s->intern(NodeKey::source("y\\\"\n")));
    const NodeId add = must(s->intern(NodeKey::op("add", side("r"), {x, y, x})));
    const NodeId sum = must(s->intern(NodeKey::reduction("sum", params({{"axis", V::Int(0)}}), {add})));
    const NodeId ext = must(s->intern(NodeKey::external({"k\"", "h\\", "fw", "2", "io", std::nullopt}, {}, {sum})));
    const NodeId ext2 = must(s->intern(NodeKey::external({"k", "h", "fw", "2", "io", ""}, params({{"n", V::Bool(false)}}),
                                                         {ext})));
    const NodeId stage = must(s->intern(NodeKey::stage(
        {x, ext2}, {StageOp{"op|neg", {StageRef::input(1)}},
                    StageOp{"op|mul|k=i2", {StageRef::member(0), StageRef::input(0), StageRef::input(7)}}})));
    const NodeId exch = must(s->intern(NodeKey::exchange(params({{"scheme", V::Str("hash")}}), {stage})));
    const NodeId join = must(s->intern(NodeKey::join({}, {exch, y})));
    for (NodeId out : {join, sum, x}) EXPECT_FALSE(s->mark_output(out));
    return s;
}

Bytes serialize_marked(const GraphStore& s) { return serialize_with(s, s.outputs()); }

std::unique_ptr<GraphStore> decode_ok(const Bytes& b) {
    auto r = deserialize(b);
    return r ? std::move(r).value() : (ADD_FAILURE() << r.error().message(), std::make_unique<GraphStore>());
}

}  // namespace

// The exact record layout of every kind, the outputs as marked or as given,
// and the way back: same nodes, same ids, same marks, same bytes.
TEST(Blob, ExactBytesAndRoundTrip) {
    EXPECT_EQ(serialize_marked(*decode_ok(Blob().header(0).u32(0).b)), Blob().header(0).u32(0).b);  // an empty store
    auto s = every_kind();
    Blob records;
    records.header(9).u8(0).str("x").u32(8).str("b").u8(2).u8(1);
    for (std::uint64_t bits : kFloatBits) records.str("f").u8(1).u64(bits);
    records.str("s").u8(3).str("h\xC3\xA9 \"q\" ;=|%").str("z").u8(0).u64(std::uint64_t(-7))
        .source("y\\\"\n")
        .u8(1).str("add").u32(1).str("side").u8(3).str("r").ids({0, 1, 0})
        .u8(2).str("sum").u32(1).str("axis").u8(0).u64(0).ids({2})
        .u8(3).str("k\"").str("h\\").str("fw").str("2").str("io").u8(0).u32(0).ids({3})
        .u8(3).str("k").str("h").str("fw").str("2").str("io").u8(1).str("").u32(1).str("n").u8(2).u8(0).ids({4})
        .u8(4).ids({0, 5}).u32(2).str("op|neg").u32(1).u8(0).u32(1)
        .str("op|mul|k=i2").u32(3).u8(1).u32(0).u8(0).u32(0).u8(0).u32(7)
        .u8(5).u32(1).str("scheme").u8(3).str("hash").ids({6}).u8(6).u32(0).ids({7, 1});
    const Bytes blob = serialize_marked(*s);
    EXPECT_EQ(blob, Blob(records).ids({8, 3, 0}).b);
    const NodeId given[] = {2, 0, 2};  // kept as given; read back without the repeat
    EXPECT_EQ(serialize_with(*s, given), Blob(records).ids({2, 0, 2}).b);
    EXPECT_EQ(decode_ok(serialize_with(*s, given))->outputs(), (std::vector<NodeId>{2, 0}));
    EXPECT_EQ(serialize_with(*s, {}), Blob(records).u32(0).b);
    EXPECT_EQ(serialized_size(s->nodes_copy(), s->outputs()), blob.size());
    // A reduced store's node map is not part of its bytes.
    s->set_node_map({Placement{0, std::nullopt}, std::nullopt, Placement{6, 1}});
    EXPECT_EQ(serialize_marked(*s), blob);
    auto back = decode_ok(blob);
    EXPECT_EQ(std::tuple(back->nodes_copy(), back->node_map().size()), std::tuple(s->nodes_copy(), 0u));
    EXPECT_EQ(back->outputs(), (std::vector<NodeId>{8, 3, 0}));
    EXPECT_EQ(serialize_marked(*back), blob);
    for (std::size_t n = 0; n < blob.size(); ++n) {  // every strict prefix is cut short
        auto r = deserialize(std::span(blob.data(), n));
        ASSERT_FALSE(r) << n;
        ASSERT_TRUE(r.error().is<DecodeError::Truncated>()) << n;
    }
    // 32 bits hold no larger reference index; a cut one would point elsewhere.
    const NodeKey stage = NodeKey::stage({}, {StageOp{"op|f", {StageRef::input(std::size_t(1) << 32)}}});
    EXPECT_THROW(serialize_nodes(std::span(&stage, 1), {}), InternalFailure);
}

// The key index packs id + 1 and hash bits in 4 bytes, the split moving as it grows: a chain of 200000 nodes (past
// 2^16 slots) is found at every size, and its blob (repeating heads that end in every value type) reads back.
TEST(Blob, LongChainIsFoundAgainAtEverySizeAndRoundTrips) {
    GraphStore s;
    std::vector<NodeKey> keys = {NodeKey::source("x")};
    must(s.intern(keys[0]));
    const ParamMap p[] = {
        params({{"a", V::Str("r")}, {"b", V::Int(7)}}), params({{"a", V::Str("r")}, {"b", V::Float(0.5)}}),
        params({{"a", V::Int(7)}, {"b", V::Bool(true)}}), params({{"a", V::Int(7)}, {"b", V::Bool(false)}})};
    for (NodeId id = 1; id <= 200000; ++id) {
        keys.push_back(NodeKey::op("f", p[id % 4], {id - 1, id / 2}));
        ASSERT_EQ(must(s.intern(keys.back())), id);
        // At every power of two, downwards, so that no lookup is the one after the last found.
        for (NodeId k = std::has_single_bit(id + 1) ? id + 1 : 0; k-- > 0; k -= k / 64)
            ASSERT_EQ(must(s.intern(keys[k])), k);
    }
    EXPECT_FALSE(s.mark_output(200000));
    const Bytes blob = serialize_marked(s);
    EXPECT_EQ(serialize_marked(*decode_ok(blob)), blob);
}

// A foreign blob comes back canonical: parameters sorted by key (equal keys in blob
// order), bool 7 and flag 2 written as 1, repeated records merged, repeated outputs
// and trailing bytes dropped, stage input references past the stage's inputs kept.
TEST(Blob, ForeignBlobsComeBackCanonical) {
    const Bytes foreign = Blob().header(5).u8(0).str("x").u32(4).str("b").u8(0).u64(1).str("a").u8(0).u64(2)
                              .str("a").u8(0).u64(3).str("k").u8(2).u8(7)
                              .u8(3).str("k").str("h").str("f").str("v").str("io").u8(2).str("p").u32(0).ids({0})
                              .source("y").source("y").u8(4).ids({2}).u32(1).str("op|f").u32(1).u8(0).u32(9)
                              .ids({3, 1, 3, 3, 1}).raw("garbage").b;
    const Bytes canonical = Blob().header(4).u8(0).str("x").u32(4).str("a").u8(0).u64(2).str("a").u8(0).u64(3)
                                .str("b").u8(0).u64(1).str("k").u8(2).u8(1)
                                .u8(3).str("k").str("h").str("f").str("v").str("io").u8(1).str("p").u32(0).ids({0})
                                .source("y").u8(4).ids({2}).u32(1).str("op|f").u32(1).u8(0).u32(9)
                                .ids({3, 1}).b;
    EXPECT_EQ(serialize_marked(*decode_ok(foreign)), canonical);
    EXPECT_EQ(serialize_marked(*decode_ok(canonical)), canonical);
}

TEST(Blob, EveryDecodeErrorFromHandMadeBytes) {
    const std::pair<const char*, std::vector<Blob>> cases[] = {
        {"truncated veltrix IR blob",
         {Blob().raw("VIR"), Blob().raw("VIR1"), Blob().header(0), Blob().header(1), Blob().header(1).u8(0).u32(9).raw("a"),
          Blob().header(1).source("a").u32(1).u32(0), Blob().header(1).u8(4).ids({}).u32(1).str("m").u32(1).u8(0).u8(0),
          // A record repeating an earlier head reads its inputs the same way.
          Blob().header(3).source("a").op("f", {0}).u8(1).str("f").u32(0).u32(2),
          Blob().header(3).source("a").op("f", {0}).u8(1).str("f").u32(0).u32(1).u8(0)}},
        {"not a veltrix IR blob (bad magic/version)", {Blob().raw("VIR2")}},
        {"invalid node tag 7", {Blob().header(1).u8(7)}},
        {"invalid param tag 4", {Blob().header(1).u8(0).str("x").u32(1).str("k").u8(4)}},
        // The first failing read decides: these come before the bytes run out.
        {"invalid param tag 9", {Blob().header(1).u8(0).str("x").u32(1000).str("k").u8(9)}},
        {"invalid stage-ref tag 2", {Blob().header(1).u8(4).ids({}).u32(1).str("m").u32(1).u8(2).u32(0)}},
        {"invalid utf-8 in veltrix IR blob",
         {Blob().header(1).u8(0).str("\xC0\x80"), Blob().header(1).u8(0).str("x").u32(1).str("k").u8(3).str("\xED\xA0\x80"),
          Blob().header(1).u8(3).str("k").str("h").str("f").str("\xF4\x90\x80\x80"),
          Blob().header(1).u8(3).str("k").str("h").str("f").str("v").str("io").u8(1).str("\x80"),
          Blob().header(1).u8(4).ids({}).u32(1).str("\xE2\x82")}},
        {"node reference 3 out of range", {Blob().header(4).source("a").source("b").source("c").op("f", {3}).u32(0)}},
        {"node reference 18446744073709551615 out of range", {Blob().header(2).source("a").op("f", {0, ~0ULL}).u32(0)}},
        {"node reference 0 out of range",
         {Blob().header(1).u8(3).str("").str("").str("").str("").str("").u8(0).u32(0).ids({0}),
          Blob().header(1).u8(4).ids({0}), Blob().header(1).u8(4).ids({}).u32(1).str("m0").u32(1).u8(1).u32(0)}},
        {"node reference 5 out of range",
         {Blob().header(2).source("a").u8(6).u32(0).ids({0, 5}),
          Blob().header(3).source("a").op("f", {0}).u8(1).str("f").u32(0).ids({0, 0, 0, 0, 0, 0, 0, 0, 0, 5})}},
        {"node reference 1 out of range",
         {Blob().header(1).u8(4).ids({}).u32(2).str("m0").u32(0).str("m1").u32(1).u8(1).u32(1),
          Blob().header(3).source("a").source("a").op("f", {1}).u32(0),  // 1 was merged into 0
          Blob().header(1).source("a").ids({0, 1}), Blob().header(2).source("a").source("a").ids({1})}},
        {"node reference 9 out of range",
         {Blob().header(1).u8(1).str("f").u32(0).u32(5).u64(9), Blob().header(3).source("a").op("f", {0}).op("f", {9})}},
    };
    for (const auto& [message, blobs] : cases) {
        for (const Blob& b : blobs) {
            auto r = deserialize(b.b);
            EXPECT_EQ(r ? "accepted" : r.error().message(), message) << testing::PrintToString(b.b);
        }
    }
}

// Counts of 2^32-1 announced over a few bytes fail, reserving nothing: with the address
// space capped just above what a child process uses, trusting one would end it.
TEST(Blob, HugeCountsFailFastAndAllocateAlmostNothing) {
    static const Blob huge[] = {Blob().header(~0u).u32(0), Blob().header(1).u8(1).str("f").u32(~0u),
                                Blob().header(1).u8(1).str("f").u32(0).u32(~0u), Blob().header(1).u8(4).ids({}).u32(~0u),
                                Blob().header(1).u8(4).ids({}).u32(1).str("m").u32(~0u),
                                Blob().header(1).source("a").u32(~0u), Blob().header(1).u8(0).u32(~0u)};
    static const auto all_truncated = [] {
        return std::all_of(std::begin(huge), std::end(huge), [](const Blob& b) {
            auto r = deserialize(b.b);
            return !r && r.error().is<DecodeError::Truncated>();
        });
    };
    EXPECT_TRUE(all_truncated());
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto capped = [] {
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const rlim_t cap = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(64) << 20);
        const rlimit lim{cap, cap};
        return pages > 0 && setrlimit(RLIMIT_AS, &lim) == 0 && all_truncated();
    };
    EXPECT_EXIT(std::exit(capped() ? 0 : 1), ::testing::ExitedWithCode(0), "");
#endif
}

// The fast validator against a plain decoder: every sequence of 1 to 3 bytes (multi-byte
// leads), 4-byte ones over the edges of the continuation ranges, and the 8-byte ASCII steps.
TEST(Blob, Utf8AgreesWithAPlainDecoder) {
    auto reference = [](const Bytes& s) {
        for (std::size_t i = 0; i < s.size();) {
            const std::uint8_t b = s[i];
            const int len = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
            if (len == 0 || s.size() - i < std::size_t(len)) return false;
            std::uint32_t cp = len == 1 ? b : b & (0x7F >> len);
            for (int k = 1; k < len; ++k) {
                if ((s[i + k] & 0xC0) != 0x80) return false;
                cp = (cp << 6) | (s[i + k] & 0x3F);
            }
            const std::uint32_t min_cp = len == 1 ? 0 : len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
            if (cp < min_cp || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
            i += std::size_t(len);
        }
        return true;
    };
    using U = std::uint8_t;
    auto check = [&](const Bytes& s) { ASSERT_EQ(is_valid_utf8(s), reference(s)) << testing::PrintToString(s); };
    const std::string edges("\x00\x7F\x80\x8F\x90\x9F\xA0\xBF\xC0\xFF", 10), none;
    for (unsigned a = 0; a < 256; ++a) {
        check({U(a)});
        for (unsigned b = 0; b < 256; ++b) {
            check({U(a), U(b)});
            for (unsigned c = 0; a >= 0xC0 && c < 256; ++c) {
                check({U(a), U(b), U(c)});
                for (char d : a >= 0xF0 && edges.find(char(c)) < 10 ? edges : none) check({U(a), U(b), U(c), U(d)});
            }
        }
    }
    for (const char* t : {"", "0123456789abcdef\xC3\xA9xyz", "0123456789\x80" "abcdef", "0123456\xF0\x9F\x98",
                          "01234567\xE2\x82\xAC\xF0\x9F\x98\x80x", "01234567890123456789\xED\xA0\x80"}) {
        check(Bytes(t, t + std::strlen(t)));
    }
}

TEST(Dot, ExactTextOfEveryKind) {
    EXPECT_EQ(to_dot(GraphStore()), "digraph veltrix {\n}\n");
    // Labels escaped for DOT (a quoted text parameter's quote becomes three
    // backslashes and a quote); members are not edges; repeated inputs are;
    // outputs read from a blob are double circles.
    EXPECT_EQ(to_dot(*decode_ok(serialize_marked(*every_kind()))),
              "digraph veltrix {\n"
              "  n0 [label=\"Source x {b=true, f=-0, f=NaN, f=NaN, f=inf, f=631475.7688888888, "
              "s=\\\"h\xC3\xA9 \\\\\\\"q\\\\\\\" ;=|%\\\", z=-7}\", shape=doublecircle];\n"
              "  n1 [label=\"Source y\\\\\\\"\n\"];\n"
              "  n2 [label=\"Op add {side=\\\"r\\\"}\"];\n"
              "  n3 [label=\"Reduction sum {axis=0}\", shape=doublecircle];\n"
              "  n4 [label=\"External k\\\":h\\\\ [fw 2]\"];\n"
              "  n5 [label=\"External k:h [fw 2] {n=false}\"];\n"
              "  n6 [label=\"Stage[2 members]\"];\n"
              "  n7 [label=\"Exchange {scheme=\\\"hash\\\"}\"];\n"
              "  n8 [label=\"Join\", shape=doublecircle];\n"
              "  n0 -> n2;\n  n1 -> n2;\n  n0 -> n2;\n  n2 -> n3;\n  n3 -> n4;\n  n4 -> n5;\n  n0 -> n6;\n  n5 -> n6;\n"
              "  n6 -> n7;\n  n7 -> n8;\n  n1 -> n8;\n"
              "}\n");
}
