// The incremental reducer: its canonical form and its lock.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "builders.hpp"
#include "optimizer/incremental.hpp"

using namespace veltrix;
using veltrix::test_support::IdentityEngine;

namespace {

ParamMap identity(double scalar, const char* side) {
    return ParamMap::make({{"scalar", ParamValue::Float(scalar)}, {"side", ParamValue::Str(side)}});
}

}  // namespace

TEST(CanonicalForm, FoldsIdentitiesCommutedTwinsAndDuplicates) {
    std::vector<NodeKey> nodes = {
        NodeKey::source("x"),                                  // 0 -> c0
        NodeKey::source("z"),                                  // 1 -> c1
        NodeKey::op("add", identity(0.0, "r"), {0}),           // 2 -> c0
        NodeKey::op("mul", identity(1.0, "l"), {2}),           // 3 -> c0
        NodeKey::op("add", {}, {0, 1}),                        // 4 -> c2
        NodeKey::op("add", {}, {1, 3}),                        // 5 -> c2 (swapped twin, on x)
        NodeKey::op("sub", {}, {1, 0}),                        // 6 -> c3
        NodeKey::op("sub", {}, {0, 1}),                        // 7 -> c4
        NodeKey::op("neg", {}, {4}),                           // 8 -> c5
        NodeKey::op("neg", {}, {5}),                           // 9 -> c5 (congruent)
        NodeKey::op("add", identity(-0.0, "r"), {0}),          // 10 -> c6
        NodeKey::op("add", identity(0.0, "r"), {0, 1}),        // 11 -> 0: first input
        NodeKey::op("add", identity(0.0, "r"), {}),            // 12 -> c7: no input, kept
    };
    CanonicalForm form;
    ASSERT_EQ(form.step(std::span(nodes).first(5)).value(), 5u);
    ASSERT_EQ(form.step(std::span(nodes).subspan(5)).value(), nodes.size() - 5);
    EXPECT_EQ(form.watermark(), nodes.size());
    EXPECT_EQ(form.total_work(), nodes.size());
    EXPECT_EQ(form.canonical_count(), 8u);

    auto reduced = form.finalize(std::vector<NodeId>{9, 5, 12}, IdentityEngine(), false);
    ASSERT_TRUE(reduced);
    const auto& map = reduced->node_map;
    ASSERT_EQ(map.size(), nodes.size());
    EXPECT_EQ(map[2], map[0]);
    EXPECT_EQ(map[3], map[0]);
    EXPECT_EQ(map[5], map[4]);
    EXPECT_EQ(map[9], map[8]);
    EXPECT_FALSE(map[6]);  // unreachable
    EXPECT_EQ(reduced->input_nodes, 8u);
    EXPECT_EQ(form.finalize(std::vector<NodeId>{13}, IdentityEngine(), false).error().id, 13u);
}

TEST(CanonicalForm, BadInputStopsTheStepAfterWhatWasConsumed) {
    CanonicalForm form;
    std::vector<NodeKey> nodes = {NodeKey::source("x"), NodeKey::op("f", {}, {0}), NodeKey::op("g", {}, {5})};
    auto r = form.step(nodes);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().id, 5u);
    EXPECT_EQ(form.watermark(), 2u);
    EXPECT_EQ(form.total_work(), 0u);
}

TEST(IncrementalReducer, FailureUnderItsLockPoisonsIt) {
    GraphStore store;
    ASSERT_TRUE(store.intern(NodeKey::source("x")));
    IncrementalReducer reducer;
    EXPECT_EQ(reducer.step(store).value(), 1u);
    EXPECT_THROW(reducer.with_state([](CanonicalForm&) -> int { panic("boom"); }), InternalFailure);
    for (auto call : std::initializer_list<std::function<void()>>{
             [&] { (void)reducer.step(store); },
             [&] { (void)reducer.watermark(); },
             [&] { (void)reducer.finalize(store, std::nullopt, IdentityEngine(), false); },
         }) {
        try {
            call();
            ADD_FAILURE() << "no failure";
        } catch (const InternalFailure& e) {
            EXPECT_STREQ(e.what(), kReducerPoisoned);
        }
    }
    // The store is not affected.
    EXPECT_EQ(store.node_count(), 1u);
}

TEST(IncrementalReducerThreads, StepsWhileOthersRecord) {
    GraphStore store;
    ASSERT_TRUE(store.intern(NodeKey::source("root")));
    IncrementalReducer reducer;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                NodeId n = store.node_count();
                (void)store.intern(NodeKey::op(t % 2 ? "add" : "neg", {}, {n - 1, (n * 7) % n}));
                if (i % 10 == 0) {
                    ASSERT_TRUE(reducer.step(store));
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    ASSERT_TRUE(reducer.step(store));
    EXPECT_EQ(reducer.watermark(), store.node_count());
    EXPECT_EQ(reducer.total_work(), store.node_count());
}
