// Fingerprints (what the packing and the walk must keep; the exact messages
// are pinned by the Python tests against an independent model) and the node
// map kept beside a blob.
#include <gtest/gtest.h>

#include <set>

#include "builders.hpp"
#include "graph/blob.hpp"
#include "graph/fingerprint.hpp"

using namespace veltrix;
using namespace veltrix::graph_testing;
using veltrix::test_support::op;
using veltrix::test_support::src;

namespace {

std::vector<Digest> all_digests(std::span<const NodeKey> nodes) {
    const LargeVector<Digest> all = node_digests(nodes, std::nullopt).value();
    return {all.begin(), all.end()};
}

NodeKey numbered_source(int i) {
    std::string name = "s";  // (not "s" + ...: a false -Wrestrict of GCC 12)
    name += std::to_string(i);
    return src(name);
}

}  // namespace

TEST(Fingerprint, SubsetsRepeatsAndLongInputListsAgreeWithTheWhole) {
    // More distinct heads than the head cache has slots, a join whose inputs
    // live outside the packed record, and nodes above it.
    GraphStore s;
    std::vector<NodeId> sources;
    for (int i = 0; i < 5000; ++i) sources.push_back(must(s.intern(numbered_source(i))));
    const NodeId join = must(s.intern(NodeKey::join({}, {sources[4], sources[0], sources[3], sources[0], sources[2]})));
    const NodeId top = must(s.intern(op("f", {join, sources[1]})));
    const NodeId swapped =
        must(s.intern(NodeKey::join({}, {sources[0], sources[4], sources[3], sources[0], sources[2]})));
    const LargeVector<NodeKey> nodes = s.nodes_borrowed();
    const std::vector<Digest> all = all_digests(nodes);
    ASSERT_EQ(all.size(), nodes.size());
    EXPECT_EQ(std::set<Digest>(all.begin(), all.end()).size(), all.size());
    for (std::vector<NodeId> ids : {std::vector<NodeId>{top, 0, top}, {join}, {swapped, 4999}, {}}) {
        std::vector<Digest> expected;
        for (NodeId id : ids) expected.push_back(all[id]);
        const LargeVector<Digest> got = node_digests(nodes, ids).value();
        EXPECT_EQ(std::vector<Digest>(got.begin(), got.end()), expected);
    }
    // Only what the outputs reach counts: the sources above 4 do not.
    GraphStore small;
    for (int i = 0; i < 5; ++i) must(small.intern(numbered_source(i)));
    must(small.intern(NodeKey::join({}, {4, 0, 3, 0, 2})));
    must(small.intern(op("f", {5, 1})));
    EXPECT_EQ(graph_digest(small.nodes_borrowed(), std::vector<NodeId>{6, 6}).value(),
              graph_digest(nodes, std::vector<NodeId>{top, top}).value());
    EXPECT_NE(graph_digest(nodes, std::vector<NodeId>{top}).value(),
              graph_digest(nodes, std::vector<NodeId>{top, top}).value());
}

TEST(Fingerprint, EqualHeadsAreOneHeadWhetherOrNotTheyShareAnObject) {
    // Keys made one by one each have a head object of their own; a store
    // shares one head among equal ones.
    const std::vector<NodeKey> separate = {src("x"), op("f", {0}), op("f", {1}), op("g", {2})};
    GraphStore s;
    for (const NodeKey& k : separate) must(s.intern(k));
    ASSERT_TRUE(s.nodes_borrowed()[1].shares_head_with(s.nodes_borrowed()[2]));
    ASSERT_FALSE(separate[1].shares_head_with(separate[2]));
    const std::vector<NodeId> out = {3};
    EXPECT_EQ(graph_digest(separate, out).value(), graph_digest(s.nodes_borrowed(), out).value());
    EXPECT_EQ(all_digests(separate), all_digests(s.nodes_borrowed()));
}

TEST(Fingerprint, BadIdsAreErrorsAndBrokenNodeListsInternalFailures) {
    const std::vector<NodeKey> nodes = {src("x"), op("f", {0})};
    const std::vector<NodeId> bad = {1, 7, 9};
    EXPECT_EQ(node_digests(nodes, bad).error().id, 7u);
    EXPECT_EQ(graph_digest(nodes, bad).error().id, 7u);
    const std::vector<NodeKey> cyclic = {src("x"), op("f", {1})};
    EXPECT_THROW(all_digests(cyclic), InternalFailure);
    // A packed graph holds the nodes up to the highest id it was packed for.
    const std::vector<NodeId> first = {0};
    auto packed = PackedGraph::pack(nodes, first);
    ASSERT_EQ(packed.value().size(), 1u);
    EXPECT_THROW(graph_digest(packed.value(), std::vector<NodeId>{1}), InternalFailure);
    EXPECT_THROW(node_digests(packed.value(), std::vector<NodeId>{1}), InternalFailure);
}

TEST(NodeMap, KeptBesideTheBlobAndCheckedAgainstItsStore) {
    GraphStore s;
    const NodeId x = must(s.intern(src("x")));
    must(s.intern(NodeKey::stage({x}, {{"op|neg", {StageRef::input(0)}}, {"op|exp", {StageRef::member(0)}}})));
    const std::vector<NodeMapEntry> map = {Placement{0, std::nullopt}, std::nullopt, Placement{1, 1},
                                           Placement{1, 0}};
    const std::vector<std::uint8_t> blob = serialize_with(s, {});
    const std::vector<std::uint8_t> bytes = encode_node_map(map);
    EXPECT_EQ(bytes, Blob().u64(4).u8(1).u64(0).u8(0).u8(2).u64(1).u64(1).u8(2).u64(1).u64(0).b);
    auto back = deserialize_with_node_map(blob, bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back.value()->node_map(), map);
    EXPECT_EQ(serialize_with(*back.value(), {}), blob);
    EXPECT_TRUE(deserialize_with_node_map(blob, Blob().u64(0).b).value()->node_map().empty());

    const std::pair<Blob, DecodeError> bad[] = {
        {Blob().u64(1), DecodeError::Truncated{}},
        {Blob().u64(1).u8(1).u32(0), DecodeError::Truncated{}},
        {Blob().u64(1).u8(3), DecodeError::BadTag{"node-map", 3}},
        {Blob().u64(1).u8(1).u64(2), DecodeError::NodeOutOfRange{2}},
        {Blob().u64(1).u8(2).u64(0).u64(0), DecodeError::NodeOutOfRange{0}},  // a source has no members
        {Blob().u64(1).u8(2).u64(1).u64(2), DecodeError::NodeOutOfRange{2}},
    };
    for (const auto& [b, error] : bad) EXPECT_EQ(deserialize_with_node_map(blob, b.b).error(), error);
    EXPECT_EQ(deserialize_with_node_map(Blob().raw("VIR2").b, bytes).error(), DecodeError::BadMagic{});
}
