#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "graph/blob.hpp"
#include "graph/node.hpp"
#include "graph/store.hpp"

namespace veltrix {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Hand-made blob bytes, little-endian like the format.
struct B {
    Bytes b;
    B& raw(std::string_view s) { return b.insert(b.end(), s.begin(), s.end()), *this; }
    B& u8(std::uint8_t v) { return b.push_back(v), *this; }
    B& uint(std::uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) b.push_back(std::uint8_t(v >> (8 * i)));
        return *this;
    }
    B& u32(std::uint32_t v) { return uint(v, 4); }
    B& u64(std::uint64_t v) { return uint(v, 8); }
    B& str(std::string_view s) { return u32(std::uint32_t(s.size())).raw(s); }
    B& ids(std::initializer_list<std::uint64_t> ids) {
        u32(std::uint32_t(ids.size()));
        for (auto id : ids) u64(id);
        return *this;
    }
    B& header(std::uint32_t n) { return raw("VIR1").u32(n); }
    B& source(std::string_view name) { return u8(0).str(name).u32(0); }  // without parameters
    B& op(std::string_view name, std::initializer_list<std::uint64_t> in) { return u8(1).str(name).u32(0).ids(in); }
};

ParamMap params(std::vector<ParamEntry> e) { return ParamMap::make(std::move(e)); }

NodeId must(Result<NodeId, BadNodeId> r) {
    if (!r) ADD_FAILURE() << "intern rejected id " << r.error().id;
    return r ? *r : 0;
}

// A store holding every kind of node, with parameters of every type and
// floats whose exact bits matter.
std::unique_ptr<GraphStore> full_store() {
    auto s = std::make_unique<GraphStore>();
    const NodeId x = must(s->intern(NodeKey::source(
        "x", params({{"z", ParamValue::Int(-7)},
                     {"a", ParamValue::Float(-0.0)},
                     {"nan", ParamValue::Float(std::bit_cast<double>(0x7FF0000000000123ULL))},
                     {"flag", ParamValue::Bool(true)},
                     {"s", ParamValue::Str("h\xC3\xA9 \"q\" ;=|%")}}))));
    const NodeId y = must(s->intern(NodeKey::source("y")));
    const NodeId add = must(s->intern(NodeKey::op("add", params({{"side", ParamValue::Str("r")}}), {x, y, x})));
    const NodeId sum = must(s->intern(NodeKey::reduction("sum", params({{"axis", ParamValue::Int(0)}}), {add})));
    PayloadDescriptor d{"onnx", "sha256:ab", "torch", "2.1", "f32[4]->f32[2]", std::nullopt};
    const NodeId ext = must(s->intern(NodeKey::external(d, {}, {sum})));
    d.preprocessing_ref = "";
    const NodeId ext2 = must(s->intern(NodeKey::external(d, params({{"b", ParamValue::Bool(false)}}), {ext, x})));
    const NodeId stage = must(s->intern(NodeKey::stage(
        {x, ext2},
        {StageOp{"op|neg", {StageRef::input(0)}},
         StageOp{"op|mul|k=i2", {StageRef::member(0), StageRef::input(1), StageRef::input(7)}},
         StageOp{"not a token", {}}})));
    const NodeId exch = must(s->intern(NodeKey::exchange(params({{"scheme", ParamValue::Str("hash")}}), {stage})));
    const NodeId join = must(s->intern(NodeKey::join({}, {exch, y})));
    EXPECT_FALSE(s->mark_output(join));
    EXPECT_FALSE(s->mark_output(sum));
    EXPECT_FALSE(s->mark_output(x));
    return s;
}

Bytes serialize_marked(const GraphStore& s) {
    const auto outs = s.outputs();
    return serialize_with(s, outs);
}

std::unique_ptr<GraphStore> decode_ok(const Bytes& b) {
    auto r = deserialize(b);
    if (!r) {
        ADD_FAILURE() << "decode failed: " << r.error().message();
        return std::make_unique<GraphStore>();
    }
    return std::move(r).value();
}

TEST(BlobRoundTrip, ByteIdenticalWithSameIdsAndMarks) {
    GraphStore empty;
    EXPECT_EQ(serialize_marked(empty), B().header(0).u32(0).b);
    EXPECT_EQ(decode_ok(B().header(0).u32(0).b)->node_count(), 0u);
    auto s = full_store();
    const Bytes blob = serialize_marked(*s);
    // A reduced store's node map is not part of its bytes.
    s->set_node_map({Placement{0, std::nullopt}, std::nullopt, Placement{6, 1}});
    EXPECT_EQ(serialize_marked(*s), blob);
    auto back = decode_ok(blob);
    const Snapshot a = s->snapshot();
    const Snapshot b = back->snapshot();
    ASSERT_EQ(a.nodes.size(), 9u);
    ASSERT_EQ(b.nodes.size(), a.nodes.size());
    for (std::size_t i = 0; i < a.nodes.size(); ++i) EXPECT_TRUE(a.nodes[i] == b.nodes[i]) << "node " << i;
    EXPECT_EQ(b.outputs, (std::vector<NodeId>{8, 3, 0}));
    EXPECT_EQ(serialize_marked(*back), blob);
    EXPECT_TRUE(back->node_map().empty());
}

TEST(BlobRoundTrip, FloatBitsSurviveExactly) {
    const std::uint64_t patterns[] = {0x8000000000000000ULL, 0x7FF0000000000123ULL, 0xFFF8000000000001ULL,
                                      0x7FF0000000000000ULL, 0x0000000000000001ULL};
    for (std::uint64_t bits : patterns) {
        GraphStore s;
        must(s.intern(NodeKey::source("f", params({{"v", ParamValue::Float(std::bit_cast<double>(bits))}}))));
        const Bytes blob = serialize_marked(s);
        // header, tag, name, count, key "v", value tag, 8 value bytes, outputs
        const Bytes want = B().header(1).u8(0).str("f").u32(1).str("v").u8(1).u64(bits).u32(0).b;
        EXPECT_EQ(blob, want) << std::hex << bits;
        auto back = decode_ok(blob);
        const auto nodes = back->nodes_copy();
        ASSERT_EQ(nodes.size(), 1u);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(nodes[0].params().entries()[0].value.as_float()), bits);
        EXPECT_EQ(serialize_marked(*back), blob);
    }
}

TEST(BlobRoundTrip, LongChainNeedsNoRecursion) {
    GraphStore s;
    NodeId prev = must(s.intern(NodeKey::source("x")));
    for (int i = 0; i < 200000; ++i) prev = must(s.intern(NodeKey::op("inc", {}, {prev})));
    EXPECT_FALSE(s.mark_output(prev));
    const Bytes blob = serialize_marked(s);
    auto back = decode_ok(blob);
    EXPECT_EQ(back->node_count(), 200001u);
    EXPECT_EQ(serialize_marked(*back), blob);
}

// The exact record layout, field by field, for every kind.
TEST(BlobLayout, RecordsMatchFormat) {
    GraphStore s;
    must(s.intern(NodeKey::source("x", params({{"k", ParamValue::Int(-2)}}))));
    must(s.intern(NodeKey::op("f", params({{"b", ParamValue::Bool(true)}, {"a", ParamValue::Str("s")}}), {0, 0})));
    must(s.intern(NodeKey::reduction("r", {}, {1})));
    must(s.intern(NodeKey::external({"k", "h", "fw", "1", "io", "pre"}, {}, {2})));
    must(s.intern(NodeKey::stage({3, 0}, {StageOp{"op|g", {StageRef::input(1)}},
                                          StageOp{"op|h", {StageRef::member(0), StageRef::input(0)}}})));
    must(s.intern(NodeKey::exchange(params({{"scheme", ParamValue::Str("hash")}}), {4})));
    must(s.intern(NodeKey::join({}, {5, 0})));
    EXPECT_FALSE(s.mark_output(6));

    const Bytes want = B()
                           .header(7)
                           .u8(0).str("x").u32(1).str("k").u8(0).u64(std::uint64_t(-2))
                           .u8(1).str("f").u32(2).str("a").u8(3).str("s").str("b").u8(2).u8(1).ids({0, 0})
                           .u8(2).str("r").u32(0).ids({1})
                           .u8(3).str("k").str("h").str("fw").str("1").str("io").u8(1).str("pre").u32(0).ids({2})
                           .u8(4).ids({3, 0}).u32(2)
                           .str("op|g").u32(1).u8(0).u32(1)
                           .str("op|h").u32(2).u8(1).u32(0).u8(0).u32(0)
                           .u8(5).u32(1).str("scheme").u8(3).str("hash").ids({4})
                           .u8(6).u32(0).ids({5, 0})
                           .ids({6})
                           .b;
    EXPECT_EQ(serialize_marked(s), want);
}

TEST(BlobLayout, GivenOutputsKeepOrderAndRepeatsAndReadBackDeduplicated) {
    GraphStore s;
    must(s.intern(NodeKey::source("a")));
    must(s.intern(NodeKey::source("b")));
    must(s.intern(NodeKey::source("c")));
    EXPECT_FALSE(s.mark_output(1));
    const NodeId outs[] = {2, 0, 2};
    const Bytes blob = serialize_with(s, outs);
    const Bytes tail = B().ids({2, 0, 2}).b;
    ASSERT_GE(blob.size(), tail.size());
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), blob.end() - tail.size()));
    auto back = decode_ok(blob);
    EXPECT_EQ(back->outputs(), (std::vector<NodeId>{2, 0}));
    // An empty list overrides the marks.
    EXPECT_EQ(serialize_with(s, {}), B().header(3).source("a").source("b").source("c").u32(0).b);
}

TEST(BlobLayout, UnrepresentableStageIndexIsInternalFailure) {
    // The format has 32 bits for a reference index; truncating it would
    // silently point at a different argument.
    const NodeKey stage = NodeKey::stage({}, {StageOp{"op|f", {StageRef::input(std::size_t(1) << 32)}}});
    EXPECT_THROW(serialize_nodes(std::span(&stage, 1), {}), InternalFailure);
}

// Foreign blobs are accepted and written back in canonical form.
TEST(BlobNormalisation, ForeignBlobsComeBackCanonical) {
    struct Case {
        const char* what;
        Bytes foreign;
        Bytes canonical;
    };
    const Case cases[] = {
        {"params sorted by key, equal keys keep blob order",
         B().header(1).u8(0).str("x").u32(3).str("b").u8(0).u64(1).str("a").u8(0).u64(2).str("a").u8(0).u64(3)
             .u32(0).b,
         B().header(1).u8(0).str("x").u32(3).str("a").u8(0).u64(2).str("a").u8(0).u64(3).str("b").u8(0).u64(1)
             .u32(0).b},
        {"bool byte 7 reads as true",
         B().header(1).u8(0).str("x").u32(1).str("k").u8(2).u8(7).u32(0).b,
         B().header(1).u8(0).str("x").u32(1).str("k").u8(2).u8(1).u32(0).b},
        {"preprocessing flag 2 means present",
         B().header(1).u8(3).str("k").str("h").str("f").str("v").str("io").u8(2).str("p").u32(0).ids({}).u32(0).b,
         B().header(1).u8(3).str("k").str("h").str("f").str("v").str("io").u8(1).str("p").u32(0).ids({}).u32(0).b},
        {"repeated outputs dropped after the first",
         B().header(2).source("a").source("b").ids({1, 0, 1, 1, 0}).b,
         B().header(2).source("a").source("b").ids({1, 0}).b},
        {"repeated records merged",
         B().header(3).source("a").source("a").op("f", {0}).ids({1}).b,
         B().header(2).source("a").op("f", {0}).ids({1}).b},
        {"trailing bytes dropped",
         B().header(1).source("a").ids({0}).raw("garbage").b,
         B().header(1).source("a").ids({0}).b},
        {"stage input reference beyond the stage inputs is kept",
         B().header(2).source("a").u8(4).ids({0}).u32(1).str("op|f").u32(1).u8(0).u32(9).u32(0).b,
         B().header(2).source("a").u8(4).ids({0}).u32(1).str("op|f").u32(1).u8(0).u32(9).u32(0).b},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto store = decode_ok(c.foreign);
        EXPECT_EQ(serialize_marked(*store), c.canonical);
        auto again = decode_ok(c.canonical);
        EXPECT_EQ(serialize_marked(*again), c.canonical);
    }
}

TEST(BlobDecode, EveryErrorFromHandMadeBytes) {
    struct Case {
        const char* what;
        Bytes bytes;
        DecodeError error;
        const char* message;
    };
    using E = DecodeError;
    const std::string bad_utf8 = "\xC0\x80";
    const Case cases[] = {
        {"three bytes", B().raw("VIR").b, E::Truncated{}, "truncated veltrix IR blob"},
        {"four wrong bytes", B().raw("VIR2").b, E::BadMagic{}, "not a veltrix IR blob (bad magic/version)"},
        {"magic only", B().raw("VIR1").b, E::Truncated{}, "truncated veltrix IR blob"},
        {"missing outputs", B().header(0).b, E::Truncated{}, "truncated veltrix IR blob"},
        {"missing record", B().header(1).b, E::Truncated{}, "truncated veltrix IR blob"},
        {"kind tag 7", B().header(1).u8(7).b, E::BadTag{"node", 7}, "invalid node tag 7"},
        {"value tag 4", B().header(1).u8(0).str("x").u32(1).str("k").u8(4).b, E::BadTag{"param", 4},
         "invalid param tag 4"},
        {"stage-ref tag 2", B().header(1).u8(4).ids({}).u32(1).str("m").u32(1).u8(2).u32(0).b,
         E::BadTag{"stage-ref", 2}, "invalid stage-ref tag 2"},
        {"bad utf-8 in name", B().header(1).u8(0).str(bad_utf8).b, E::InvalidUtf8{},
         "invalid utf-8 in veltrix IR blob"},
        {"bad utf-8 in str value", B().header(1).u8(0).str("x").u32(1).str("k").u8(3).str("\xED\xA0\x80").b,
         E::InvalidUtf8{}, "invalid utf-8 in veltrix IR blob"},
        {"bad utf-8 in descriptor", B().header(1).u8(3).str("k").str("h").str("f").str("\xF4\x90\x80\x80").b,
         E::InvalidUtf8{}, "invalid utf-8 in veltrix IR blob"},
        {"bad utf-8 in preprocessing ref",
         B().header(1).u8(3).str("k").str("h").str("f").str("v").str("io").u8(1).str("\x80").b, E::InvalidUtf8{},
         "invalid utf-8 in veltrix IR blob"},
        {"bad utf-8 in member label", B().header(1).u8(4).ids({}).u32(1).str("\xE2\x82").b, E::InvalidUtf8{},
         "invalid utf-8 in veltrix IR blob"},
        {"op input equal to its own index",
         B().header(4).source("a").source("b").source("c").op("f", {3}).u32(0).b, E::NodeOutOfRange{3},
         "node reference 3 out of range"},
        {"largest id", B().header(2).source("a").op("f", {0, ~0ULL}).u32(0).b, E::NodeOutOfRange{~0ULL},
         "node reference 18446744073709551615 out of range"},
        {"external input", B().header(1).u8(3).str("").str("").str("").str("").str("").u8(0).u32(0).ids({0}).b,
         E::NodeOutOfRange{0}, "node reference 0 out of range"},
        {"stage input", B().header(1).u8(4).ids({0}).b, E::NodeOutOfRange{0}, "node reference 0 out of range"},
        {"join input", B().header(2).source("a").u8(6).u32(0).ids({0, 5}).b, E::NodeOutOfRange{5},
         "node reference 5 out of range"},
        {"member reference to itself",
         B().header(1).u8(4).ids({}).u32(2).str("m0").u32(0).str("m1").u32(1).u8(1).u32(1).b,
         E::NodeOutOfRange{1}, "node reference 1 out of range"},
        {"first member referring to a member", B().header(1).u8(4).ids({}).u32(1).str("m0").u32(1).u8(1).u32(0).b,
         E::NodeOutOfRange{0}, "node reference 0 out of range"},
        {"input rejected by intern after a merged record",
         B().header(3).source("a").source("a").op("f", {1}).u32(0).b, E::NodeOutOfRange{1},
         "node reference 1 out of range"},
        {"output beyond node count", B().header(1).source("a").ids({0, 1}).b, E::NodeOutOfRange{1},
         "node reference 1 out of range"},
        {"output beyond merged node count", B().header(2).source("a").source("a").ids({1}).b, E::NodeOutOfRange{1},
         "node reference 1 out of range"},
        {"cut output id", B().header(1).source("a").u32(1).u32(0).b, E::Truncated{}, "truncated veltrix IR blob"},
        // The first failing read decides: the bad id comes before the end.
        {"bad id before the bytes run out", B().header(1).u8(1).str("f").u32(0).u32(5).u64(9).b,
         E::NodeOutOfRange{9}, "node reference 9 out of range"},
        {"bad tag before the bytes run out", B().header(1).u8(0).str("x").u32(1000).str("k").u8(9).b,
         E::BadTag{"param", 9}, "invalid param tag 9"},
        {"string longer than the rest", B().header(1).u8(0).u32(100).raw("abc").b, E::Truncated{},
         "truncated veltrix IR blob"},
        {"cut reference index", B().header(1).u8(4).ids({}).u32(1).str("m").u32(1).u8(0).u8(0).b, E::Truncated{},
         "truncated veltrix IR blob"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = deserialize(c.bytes);
        ASSERT_FALSE(r);
        EXPECT_TRUE(r.error() == c.error);
        EXPECT_EQ(r.error().message(), c.message);
    }
}

TEST(BlobDecode, EveryStrictPrefixIsTruncated) {
    auto s = full_store();
    const Bytes blob = serialize_marked(*s);
    for (std::size_t n = 0; n < blob.size(); ++n) {
        const std::span<const std::uint8_t> prefix(blob.data(), n);
        auto r = deserialize(prefix);
        ASSERT_FALSE(r) << "prefix of " << n << " bytes accepted";
        EXPECT_TRUE(r.error().is<DecodeError::Truncated>()) << n << ": " << r.error().message();
    }
}

// Headers announcing 2^32-1 entries over a few bytes must fail at once.
std::vector<Bytes> huge_count_blobs() {
    const std::uint32_t max = 0xFFFFFFFFu;
    return {
        B().header(max).u32(0).b,
        B().header(1).u8(1).str("f").u32(max).b,                               // params
        B().header(1).u8(1).str("f").u32(0).u32(max).b,                        // inputs
        B().header(1).u8(4).ids({}).u32(max).b,                                // members
        B().header(1).u8(4).ids({}).u32(1).str("m").u32(max).b,                // references
        B().header(1).source("a").u32(max).b,                                  // outputs
        B().header(1).u8(0).u32(max).b,                                        // string
    };
}

TEST(BlobDecode, HugeCountsFailFast) {
    for (const Bytes& b : huge_count_blobs()) {
        const auto start = std::chrono::steady_clock::now();
        auto r = deserialize(b);
        const auto took = std::chrono::steady_clock::now() - start;
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().message(), "truncated veltrix IR blob");
        EXPECT_LT(took, std::chrono::milliseconds(100));
    }
    EXPECT_EQ(huge_count_blobs()[0].size(), 12u);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Caps the address space of a forked child just above what it already uses,
// so reserving from an untrusted count would end it with bad_alloc.
int decode_huge_counts_under_cap() {
    long pages = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
        std::fclose(f);
    }
    if (pages <= 0) return 2;
    const rlim_t cap = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(64) << 20);
    const rlimit lim{cap, cap};
    if (setrlimit(RLIMIT_AS, &lim) != 0) return 3;
    for (const Bytes& b : huge_count_blobs()) {
        auto r = deserialize(b);
        if (r || !r.error().is<DecodeError::Truncated>()) return 1;
    }
    return 0;
}

TEST(BlobDecode, HugeCountsAllocateAlmostNothing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(decode_huge_counts_under_cap()), ::testing::ExitedWithCode(0), "");
}
#endif

// A plain code-point decoder to hold the fast validator against.
bool reference_utf8(const std::vector<std::uint8_t>& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const std::uint8_t b = s[i];
        int len;
        std::uint32_t cp;
        if (b < 0x80) { len = 1; cp = b; }
        else if ((b & 0xE0) == 0xC0) { len = 2; cp = b & 0x1F; }
        else if ((b & 0xF0) == 0xE0) { len = 3; cp = b & 0x0F; }
        else if ((b & 0xF8) == 0xF0) { len = 4; cp = b & 0x07; }
        else return false;
        if (s.size() - i < std::size_t(len)) return false;
        for (int k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        static const std::uint32_t min_cp[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min_cp[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += std::size_t(len);
    }
    return true;
}

bool fast_utf8(const std::vector<std::uint8_t>& s) { return is_valid_utf8(s); }

TEST(BlobUtf8, BoundaryTable) {
    struct Case {
        std::string text;
        bool valid;
    };
    const Case cases[] = {
        {"", true},
        {"\xF0\x90\x80\x80", true},         // U+10000
        {"\xF4\x8F\xBF\xBF", true},         // U+10FFFF
        {"\xF0\x8F\xBF\xBF", false},        // overlong
        {"\xF4\x90\x80\x80", false},        // U+110000
        {"\xF5\x80\x80\x80", false},
        {"\xED\xA0\x80", false},            // U+D800
        {"0123456789abcdef\xC3\xA9xyz", true},
        {"0123456789\x80" "abcdef", false},  // stray byte after an ASCII run
        {"01234567\xF0\x9F\x98\x80", true}, // right after a full ASCII word
        {"0123456\xF0\x9F\x98", false},     // cut across the word boundary
    };
    for (const Case& c : cases) {
        const std::vector<std::uint8_t> b(c.text.begin(), c.text.end());
        EXPECT_EQ(fast_utf8(b), c.valid) << "case " << testing::PrintToString(c.text);
        EXPECT_EQ(reference_utf8(b), c.valid) << "reference " << testing::PrintToString(c.text);
    }
}

TEST(BlobUtf8, AgreesWithReferenceOnAllShortSequences) {
    std::vector<std::uint8_t> s(2);
    for (unsigned a = 0; a < 256; ++a) {
        for (unsigned b = 0; b < 256; ++b) {
            s = {std::uint8_t(a), std::uint8_t(b)};
            ASSERT_EQ(fast_utf8(s), reference_utf8(s)) << a << " " << b;
        }
    }
    for (unsigned a = 0xC0; a < 256; ++a) {
        for (unsigned b = 0; b < 256; ++b) {
            for (unsigned c = 0; c < 256; ++c) {
                s = {std::uint8_t(a), std::uint8_t(b), std::uint8_t(c)};
                ASSERT_EQ(fast_utf8(s), reference_utf8(s)) << a << " " << b << " " << c;
            }
        }
    }
    const std::uint8_t edges[] = {0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xFF};
    for (unsigned a = 0xF0; a < 256; ++a)
        for (unsigned b = 0; b < 256; ++b)
            for (std::uint8_t c : edges)
                for (std::uint8_t d : edges) {
                    s = {std::uint8_t(a), std::uint8_t(b), c, d};
                    ASSERT_EQ(fast_utf8(s), reference_utf8(s)) << a << " " << b << " " << int(c) << " " << int(d);
                }
}

}  // namespace
}  // namespace veltrix
