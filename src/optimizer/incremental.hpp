// Step-by-step reduction while a graph is being recorded.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "graph/node.hpp"
#include "graph/store.hpp"
#include "graph/support.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/pipeline.hpp"

namespace veltrix {

inline constexpr const char* kReducerPoisoned = "incremental reducer poisoned";
inline constexpr const char* kReducerBusyAtFork = "incremental reducer was busy in another thread when the process forked";

// The canonical form an incremental reducer maintains: identity elimination,
// commutativity dedup and hash-consing applied directly to node keys, one
// delta of store nodes at a time. Plain data; not synchronised.
class CanonicalForm {
public:
    // Consumes `delta` (the store nodes from id watermark() on, in order).
    // Stops at the first input id without a canonical entry and returns it;
    // the nodes consumed before it stay consumed.
    Result<std::uint64_t, BadNodeId> step(std::span<const NodeKey> delta);
    // Reduces the canonical form against store output ids; the node map of
    // the result is indexed by store id. Reads the state only.
    Result<Reduced, BadNodeId> finalize(std::span<const NodeId> outputs, const RewriteEngine& engine,
                                        FusionRule fusion, PhaseObserver* observer = nullptr) const;

    std::uint64_t watermark() const noexcept { return map_.size(); }
    std::uint64_t canonical_count() const noexcept { return nodes_.size(); }
    std::uint64_t total_work() const noexcept { return total_work_; }

private:
    NodeId canonicalize(NodeKey key);

    std::vector<NodeKey> nodes_;  // canonical form; position = canonical id
    std::vector<NodeId> map_;     // store id -> canonical id
    KeyIndex table_;              // canonical key -> canonical id
    std::uint64_t total_work_ = 0;
};

// A canonical form behind its own lock. Steps change the form; finalize
// changes it while it consumes the rest, then only reads it, so a child
// forked meanwhile can use the reducer only if finalize had got that far
// (PoisonLock). Reading a store's nodes takes no store lock.
class IncrementalReducer {
public:
    // Consumes the nodes recorded in `store` since the last step.
    Result<std::uint64_t, BadNodeId> step(const GraphStore& store);
    // Consumes the rest, then reduces against `outputs` (store ids), or the
    // store's marks when none are given. Explicit ids are checked against the
    // store before anything is consumed. `observer` hears of "step" (the
    // rest consumed), the pipeline's phases and "reduced_store".
    Result<ReductionResult, BadNodeId> finalize(const GraphStore& store, std::optional<std::vector<NodeId>> outputs,
                                                const RewriteEngine& engine, FusionRule fusion,
                                                PhaseObserver* observer = nullptr);

    std::uint64_t watermark() const;
    std::uint64_t total_work() const;
    std::uint64_t canonical_count() const;

    // Runs `work` on the state under the lock (test hook for poisoning).
    template <class F>
    decltype(auto) with_state(F&& work) {
        return lock_.run([&] { return work(form_); });
    }

private:
    PoisonLock lock_{kReducerPoisoned, kReducerBusyAtFork};
    CanonicalForm form_;
};

}  // namespace veltrix
