// The compact representations: shared key heads with inline inputs, the
// 8-byte id table, the 4-byte key index, recording by parts, the blob's head
// reuse, the consuming pipeline passes, and the reuse of freed large blocks.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "graph/blob.hpp"
#include "graph/node.hpp"
#include "graph/store.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/passes.hpp"
#include "builders.hpp"

using namespace veltrix;

namespace {

ParamMap side(const char* s) { return ParamMap::make({ParamEntry{"side", ParamValue::Str(s)}}); }

std::vector<ParamRef> refs_of(const ParamMap& m) {
    std::vector<ParamRef> out;
    for (const ParamEntry& e : m.entries()) out.push_back(ParamRef::of(e));
    return out;
}

NodeId must(Result<NodeId, BadNodeId> r) {
    if (!r) ADD_FAILURE() << "intern rejected id " << r.error().id;
    return r ? *r : 0;
}

std::vector<std::uint8_t> le32(std::uint32_t v) {
    return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
}

}  // namespace

// Every entry is found again after growing, both while the stored bits place
// entries and past that, when growing asks for the hashes again.
TEST(IdTable, FindsEveryEntryAcrossGrowth) {
    for (unsigned position_bits : {24u, 6u}) {
        IdTable table(position_bits);
        std::mt19937_64 rng(position_bits);
        std::vector<std::uint64_t> hashes;
        std::size_t rehashed = 0;
        auto hash_of = [&](NodeId id) {
            ++rehashed;
            return hashes.at(id);
        };
        for (NodeId id = 0; id < 5000; ++id) {
            // Some hashes share their top bits, so the ids must tell them apart.
            hashes.push_back(id % 7 == 0 && id > 0 ? hashes[id - 1] ^ 1 : rng());
            table.reserve_one(hash_of);
            table.insert(hashes[id], id);
        }
        EXPECT_EQ(position_bits < 24, rehashed > 0) << position_bits;
        for (NodeId id = 0; id < hashes.size(); ++id) {
            auto found = table.find(hashes[id], [&](NodeId j) { return j == id; });
            ASSERT_TRUE(found.has_value()) << id;
            EXPECT_EQ(*found, id);
        }
        EXPECT_FALSE(table.find(hashes[0], [](NodeId) { return false; }).has_value());
        EXPECT_EQ(table.size(), hashes.size());
    }
}

// The key index packs id + 1 and hash bits into 4 bytes, with the split
// moving as it grows: every key must be found again at every size, and a
// key that differs only in its inputs must not be.
TEST(KeyIndex, FindsEveryKeyAcrossGrowth) {
    std::vector<NodeKey> arena;
    KeyIndex index;
    constexpr NodeId kCount = 70000;  // past 2^16 slots, where the tag shrinks below 16 bits
    for (NodeId id = 0; id < kCount; ++id) {
        NodeKey key = NodeKey::op("add", side("r"), {id / 300, id % 300});
        index.reserve_one(arena);
        index.insert(id, key.hash());
        arena.push_back(std::move(key));
        if (std::has_single_bit(id + 1) || id + 1 == kCount) {
            for (NodeId k = 0; k <= id; k += 1 + k / 64) {
                ASSERT_EQ(index.find(arena, arena[k], arena[k].hash()), std::optional<NodeId>(k)) << k << " of " << id;
            }
        }
    }
    EXPECT_EQ(index.size(), kCount);
    const NodeKey absent = NodeKey::op("add", side("r"), {kCount, 0});
    EXPECT_FALSE(index.find(arena, absent, absent.hash()).has_value());
    // Reserving far ahead rebuilds once more; nothing is lost.
    index.reserve(arena, 4 * kCount);
    for (NodeId k = 0; k < kCount; k += 97) EXPECT_EQ(index.find(arena, arena[k], arena[k].hash()), std::optional<NodeId>(k));
}

TEST(KeyLayout, CopiesShareTheHeadAndKeepTheirOwnInputs) {
    const std::vector<NodeId> many = {4, 1, 4, 0, 9};
    for (const std::vector<NodeId>& in : {std::vector<NodeId>{}, {3}, {3, 2}, many}) {
        NodeKey key = NodeKey::op("add", side("r"), in);
        NodeKey copy = key;
        EXPECT_TRUE(copy.shares_head_with(key));
        EXPECT_EQ(copy, key);
        EXPECT_EQ(copy.hash(), key.hash());
        EXPECT_EQ(std::vector<NodeId>(copy.inputs().begin(), copy.inputs().end()), in);

        NodeKey other = key.with_input_list(many);
        EXPECT_TRUE(other.shares_head_with(key));
        EXPECT_TRUE(other.equal_except_inputs(key));
        EXPECT_EQ(other == key, in == many);
        // The original's inputs are untouched by the copy's.
        EXPECT_EQ(std::vector<NodeId>(key.inputs().begin(), key.inputs().end()), in);

        NodeKey moved = std::move(copy);
        EXPECT_EQ(moved, key);
        // A moved-from key stays a usable value: an empty source.
        EXPECT_EQ(copy.kind(), NodeKind::Source);  // NOLINT(bugprone-use-after-move)
        EXPECT_TRUE(copy.inputs().empty());
        EXPECT_EQ(copy.name(), "");
        copy = key;
        EXPECT_EQ(copy, key);
    }
    // A source ignores any inputs it is given.
    NodeKey src = NodeKey::source("x");
    EXPECT_EQ(src.with_input_list(many), src);
    EXPECT_EQ(NodeKey::basic(NodeKind::Source, "x", {}, many), src);
}

TEST(KeyLayout, PartsAgreeWithTheBuiltKey) {
    const std::vector<NodeId> in = {1, 0};
    for (NodeKind kind : {NodeKind::Source, NodeKind::Op, NodeKind::Reduction, NodeKind::Exchange, NodeKind::Join}) {
        const std::string name = kind <= NodeKind::Reduction ? "f" : "";
        const NodeKey key = NodeKey::basic(kind, name, side("l"), in);
        const ParamMap left = side("l"), right = side("r");
        EXPECT_EQ(NodeKey::basic_head_hash(kind, name, refs_of(left)), key.head_hash());
        EXPECT_EQ(NodeKey::hash_with_inputs(key.head_hash(), key.inputs()), key.hash());
        EXPECT_TRUE(key.equals_basic(kind, name, refs_of(left), in));
        EXPECT_FALSE(key.equals_basic(kind, name, refs_of(right), in));
        EXPECT_TRUE(key.head_equals_basic(kind, name, refs_of(left)));
        // The hash given to basic() is the one it would compute.
        EXPECT_EQ(NodeKey::basic(kind, name, side("l"), in, key.head_hash()), key);
    }
    const NodeKey ext = NodeKey::external(PayloadDescriptor{"k", "h", "fw", "1", "io", {}}, {}, {0});
    EXPECT_FALSE(ext.head_equals_basic(NodeKind::External, "", {}));
    EXPECT_THROW(NodeKey::basic(NodeKind::Stage, "", {}, {}), InternalFailure);
}

// Borrowed parameters sort, compare and hash exactly like the map built from
// the same entries: equal keys keep their order, NaN payloads compare equal.
TEST(KeyLayout, BorrowedParamsAgreeWithTheMap) {
    const double nan_a = std::bit_cast<double>(0x7FF8000000000001ULL);
    const double nan_b = std::bit_cast<double>(0x7FF0000000000002ULL);
    std::vector<ParamEntry> entries = {{"z", ParamValue::Int(-3)},       {"b", ParamValue::Str("x")},
                                       {"a", ParamValue::Float(nan_a)},  {"b", ParamValue::Bool(true)},
                                       {"\xff", ParamValue::Int(1)},     {"", ParamValue::Float(-0.0)}};
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, entries.size()}) {
        std::vector<ParamEntry> some(entries.begin(), entries.begin() + n);
        std::vector<ParamRef> refs;
        for (const ParamEntry& e : some) refs.push_back(ParamRef::of(e));
        ParamMap::sort_refs(refs);
        const ParamMap map = ParamMap::make(some);
        EXPECT_EQ(ParamMap::from_refs(refs), map);
        EXPECT_TRUE(map == ParamRefs(refs));
        EXPECT_EQ(NodeKey::basic_head_hash(NodeKind::Op, "f", refs), NodeKey::op("f", map, {}).head_hash());
    }
    const ParamMap one = ParamMap::make({{"a", ParamValue::Float(nan_a)}});
    const ParamRef other_nan{"a", ParamTag::Float, std::bit_cast<std::uint64_t>(nan_b), {}};
    EXPECT_TRUE(one == ParamRefs(&other_nan, 1));
    const ParamRef minus_zero{"a", ParamTag::Float, std::bit_cast<std::uint64_t>(-0.0), {}};
    EXPECT_FALSE(ParamMap::make({{"a", ParamValue::Float(0.0)}}) == ParamRefs(&minus_zero, 1));
    const ParamRef int_one{"a", ParamTag::Int, 1, {}};
    EXPECT_FALSE(ParamMap::make({{"a", ParamValue::Bool(true)}}) == ParamRefs(&int_one, 1));
}

TEST(StoreLayout, EqualHeadsAreStoredOnceAndRecordingByPartsMatchesIntern) {
    GraphStore a;
    GraphStore b;
    for (GraphStore* s : {&a, &b}) {
        for (int i = 0; i < 3; ++i) must(s->intern(NodeKey::source("s" + std::to_string(i))));
    }
    // The same sequence through intern and through intern_basic.
    struct Call {
        NodeKind kind;
        const char* name;
        std::vector<NodeId> inputs;
    };
    const std::vector<Call> calls = {{NodeKind::Op, "add", {0, 1}}, {NodeKind::Op, "add", {1, 0}},
                                     {NodeKind::Op, "add", {0, 1}}, {NodeKind::Join, "", {3, 4}},
                                     {NodeKind::Op, "add", {2, 2}}, {NodeKind::Source, "s1", {}}};
    for (const Call& c : calls) {
        const NodeId x = must(a.intern(NodeKey::basic(c.kind, c.name, side("r"), c.inputs)));
        const NodeId y = must(b.intern_basic(c.kind, c.name, refs_of(side("r")), c.inputs));
        EXPECT_EQ(x, y) << c.name;
    }
    EXPECT_EQ(a.nodes_copy(), b.nodes_copy());
    for (GraphStore* s : {&a, &b}) {
        const std::vector<NodeKey> nodes = s->nodes_copy();
        ASSERT_EQ(nodes.size(), 8u);
        EXPECT_TRUE(nodes[3].shares_head_with(nodes[4]));
        EXPECT_TRUE(nodes[3].shares_head_with(nodes[6]));
        EXPECT_FALSE(nodes[3].shares_head_with(nodes[5]));
        EXPECT_EQ(s->intern_basic(NodeKind::Op, "add", refs_of(side("r")), std::vector<NodeId>{8, 99}).error().id, 8u);
        EXPECT_EQ(s->node_count(), 8u);
    }
}

// The store first compares the key after the last one it returned. Replayed
// stretches, with near misses (another name, other params, swapped inputs)
// placed where that guess is compared, must give the ids a plain map gives,
// through both recording paths.
TEST(StoreLayout, ReplayedStretchesGiveTheFirstIds) {
    struct Call {
        const char* name;
        const char* side;
        std::vector<NodeId> inputs;
        auto tie() const { return std::tuple(std::string(name), std::string(side), inputs); }
    };
    std::mt19937_64 rng(7);
    std::vector<Call> history;
    for (NodeId i = 0; i < 60; ++i) history.push_back({i % 3 ? "f" : "g", "r", {rng() % (i + 2), rng() % (i + 2)}});
    std::vector<Call> calls;
    for (int round = 0; round < 40; ++round) {
        const std::size_t from = rng() % history.size();
        const std::size_t len = 1 + rng() % 12;
        for (std::size_t k = from; k < std::min(history.size(), from + len); ++k) {
            Call c = history[k];
            switch (rng() % 6) {
                case 0: c.name = "h"; break;
                case 1: c.side = "l"; break;
                case 2: std::swap(c.inputs[0], c.inputs[1]); break;
                default: break;
            }
            calls.push_back(c);
        }
    }
    GraphStore a;
    GraphStore b;
    for (GraphStore* s : {&a, &b}) {
        for (int i = 0; i < 64; ++i) must(s->intern(NodeKey::source("s" + std::to_string(i))));
    }
    std::map<decltype(calls[0].tie()), NodeId> expected;
    NodeId next = 64;
    for (const Call& c : calls) {
        auto [it, added] = expected.try_emplace(c.tie(), next);
        if (added) ++next;
        EXPECT_EQ(must(a.intern(NodeKey::op(c.name, side(c.side), c.inputs))), it->second);
        EXPECT_EQ(must(b.intern_basic(NodeKind::Op, c.name, refs_of(side(c.side)), c.inputs)), it->second);
    }
    EXPECT_EQ(a.node_count(), next);
    EXPECT_EQ(a.nodes_copy(), b.nodes_copy());
}

// Records that repeat an earlier head take the reuse path; every failure on
// that path is the one the full reader reports.
TEST(BlobLayout, RepeatedHeadsReadBackAndFailLikeTheFullReader) {
    GraphStore store;
    must(store.intern(NodeKey::source("x", side("r"))));
    must(store.intern(NodeKey::source("y", side("r"))));
    std::vector<NodeId> wide;
    for (NodeId i = 0; i < 12; ++i) wide.push_back(i % 2);
    for (NodeId i = 0; i < 4; ++i) must(store.intern(NodeKey::op("f", side("r"), {i % 2, (i + 1) % 2 + i})));
    must(store.intern(NodeKey::op("f", side("r"), wide)));
    must(store.intern(NodeKey::op("f", side("r"), std::vector<NodeId>(wide.begin(), wide.end() - 1))));
    must(store.intern(NodeKey::exchange(side("h"), {6})));
    must(store.intern(NodeKey::exchange(side("h"), {7})));
    ASSERT_FALSE(store.mark_output(8).has_value());

    const auto nodes = store.nodes_copy();
    const std::vector<NodeId> outputs = store.outputs();
    const std::vector<std::uint8_t> blob = serialize_nodes(nodes, outputs);
    EXPECT_EQ(blob.size(), serialized_size(nodes, outputs));
    auto back = deserialize(blob);
    ASSERT_TRUE(back.ok()) << back.error().message();
    EXPECT_EQ(back.value()->nodes_copy(), nodes);
    EXPECT_EQ(serialize_with(*back.value(), outputs), blob);

    // The last record repeats the head of the one before it. Its input id,
    // its truncated input list and a truncated id each fail as in a blob
    // where the head is new.
    const std::size_t last = blob.size() - 4 - 8 * outputs.size() - 8 - 4;  // its id count
    auto with_tail = [&](std::vector<std::uint8_t> tail) {
        std::vector<std::uint8_t> b(blob.begin(), blob.begin() + static_cast<std::ptrdiff_t>(last));
        b.insert(b.end(), tail.begin(), tail.end());
        return deserialize(b);
    };
    std::vector<std::uint8_t> bad_id = le32(1);
    for (int i = 0; i < 8; ++i) bad_id.push_back(i == 0 ? 9 : 0);
    auto r = with_tail(bad_id);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "node reference 9 out of range");
    r = with_tail(le32(2));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "truncated veltrix IR blob");
    r = with_tail({1, 0});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "truncated veltrix IR blob");
}

TEST(PassLayout, ConsumingPassesMatchTheCopyingOnes) {
    std::vector<NodeKey> nodes = {NodeKey::source("a"), NodeKey::source("b")};
    for (NodeId i = 0; i < 6; ++i) {
        nodes.push_back(NodeKey::op(i % 2 ? "add" : "mul", {}, {i % 2, 1 - i % 2}));
        nodes.push_back(NodeKey::op("neg", side("r"), {nodes.size() - 1}));
    }
    nodes.push_back(NodeKey::join({}, {nodes.size() - 1, nodes.size() - 3}));
    const std::vector<NodeId> outputs = {nodes.size() - 1, 5};
    const EngineGraph g = to_engine_graph(nodes, outputs);
    const CseResult copied = cse(g);
    EngineGraph owned = g;
    const CseResult moved = cse(std::move(owned));
    EXPECT_EQ(moved.old_to_new, copied.old_to_new);
    test_support::expect_same_graph(moved.graph, copied.graph);
}

TEST(StoreLayout, InterningAListMapsPositionsToIds) {
    GraphStore store;
    must(store.intern(NodeKey::source("b")));  // already there: position 1 below
    std::vector<NodeKey> list = {NodeKey::source("a"), NodeKey::source("b"), NodeKey::op("f", {}, {0, 1}),
                                 NodeKey::source("a"), NodeKey::op("f", {}, {3, 1}), NodeKey::op("g", {}, {4, 2})};
    // 3 repeats 0, so 4 repeats 2 once its inputs are mapped.
    EXPECT_EQ(store.intern_list(list), (std::vector<NodeId>{1, 0, 2, 1, 2, 3}));
    EXPECT_EQ(store.node_count(), 4u);
    EXPECT_EQ(store.nodes_copy()[3], NodeKey::op("g", {}, {2, 2}));

    GraphStore other;
    std::vector<NodeKey> forward = {NodeKey::source("a"), NodeKey::op("f", {}, {1})};
    EXPECT_THROW(other.intern_list(forward), InternalFailure);
}

// Within a reuse scope, blocks freed earlier serve later requests: blocks
// alive at the same time, on any thread, must never share memory, and a
// block handed out again must be big enough for its new owner.
TEST(LargeBlocks, ReusedBlocksNeverAliasLiveOnes) {
    constexpr std::size_t kWords = (std::size_t{2} << 20) / sizeof(std::uint64_t);
    auto worker = [](std::uint64_t seed) {
        std::mt19937_64 rng(seed);
        const LargeBlockReuse reuse;
        for (int round = 0; round < 12; ++round) {
            const LargeBlockReuse nested;
            std::vector<LargeVector<std::uint64_t>> live;
            for (int k = 0; k < 3; ++k) live.emplace_back(kWords * (1 + rng() % 3), seed * 1000 + round * 10 + k);
            for (int k = 0; k < 3; ++k) {
                const std::uint64_t mark = seed * 1000 + round * 10 + k;
                const LargeVector<std::uint64_t>& v = live[k];
                ASSERT_EQ(v.front(), mark);
                ASSERT_EQ(v[v.size() / 2], mark);
                ASSERT_EQ(v.back(), mark);
            }
        }
    };
    std::vector<std::thread> threads;
    for (std::uint64_t t = 1; t <= 4; ++t) threads.emplace_back(worker, t);
    for (std::thread& t : threads) t.join();
}

#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// A kept block handed to a smaller request is split, and the rest is kept or
// given back: once the owners are gone, nothing of it stays mapped.
TEST(LargeBlocks, ABlockReusedForLessLeavesNothingMapped) {
    auto mapped_kib = [] {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7));
        }
        return 0ull;
    };
    constexpr std::size_t kMiB = std::size_t{1} << 20;
    const auto before = mapped_kib();
    for (int round = 0; round < 4; ++round) {
        void* kept_after_scope = nullptr;
        {
            const LargeBlockReuse reuse;
            void* big = allocate_large(24 * kMiB);
            free_large(big, 24 * kMiB);
            kept_after_scope = allocate_large(10 * kMiB);  // the first part of the freed block
            void* rest = allocate_large(8 * kMiB);          // part of the rest
            free_large(rest, 8 * kMiB);
        }
        free_large(kept_after_scope, 10 * kMiB);
    }
    EXPECT_LE(mapped_kib(), before + 2048) << "KiB mapped before: " << before;
}
#endif
