// The optimizer's graph passes: dead-code elimination over node keys,
// common-subexpression elimination over an engine graph, and stage fusion.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "graph/node.hpp"
#include "graph/store.hpp"
#include "graph/support.hpp"
#include "optimizer/engine.hpp"

namespace veltrix {

// Old-to-new entry of a node that dead-code elimination dropped.
inline constexpr std::uint64_t kDropped = ~std::uint64_t{0};

// Open-addressing table of indices. It stores only hashes and indices; the
// caller owns the keys and decides equality through a predicate on an index.
class IndexTable {
public:
    explicit IndexTable(std::size_t expected = 0);

    template <class Eq>
    std::optional<std::uint64_t> find(std::uint64_t hash, Eq&& eq) const {
        if (slots_.empty()) return std::nullopt;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.index_plus_one == 0) return std::nullopt;
            if (s.tag == static_cast<std::uint32_t>(hash) && eq(s.index_plus_one - 1)) return s.index_plus_one - 1;
        }
    }
    // Adds an entry; does not look for an equal one first.
    void insert(std::uint64_t hash, std::uint64_t index);
    // Starts loading the slot a lookup of `hash` reads first.
    void prefetch(std::uint64_t hash) const noexcept {
        if (!slots_.empty()) __builtin_prefetch(&slots_[static_cast<std::size_t>(hash) & (slots_.size() - 1)]);
    }
    std::size_t size() const noexcept { return count_; }

private:
    // The low 32 bits of the hash: the whole position up to 2^32 slots, so
    // growing needs no hashes, and an 8-byte slot halves the memory a lookup
    // misses in.
    struct Slot {
        std::uint32_t tag = 0;
        std::uint32_t index_plus_one = 0;  // 0 = empty
    };
    void grow();
    std::vector<Slot> slots_;
    std::size_t count_ = 0;
};

// Maps the engine label of a boundary node (any node but an operation) to
// the first kept node that carries it. Boundary nodes are rebuilt from here,
// so labels must name a key up to its inputs.
class TokenTable {
public:
    // `graph.nodes[i].label` is the label of `nodes[i]`. Both must outlive
    // the table.
    TokenTable(std::span<const NodeKey> nodes, const EngineGraph& graph);

    // The first node with this label; an internal failure when there is none.
    const NodeKey& at(std::string_view label) const;
    std::size_t size() const noexcept { return index_.size(); }

private:
    std::span<const NodeKey> nodes_;
    const EngineGraph* graph_;
    IndexTable index_;
};

struct DceResult {
    LargeVector<NodeKey> nodes;          // kept nodes, ascending old id, inputs renumbered
    std::vector<std::uint64_t> outputs;  // one per requested output, same order
    std::vector<std::uint64_t> old_to_new;  // new index, or kDropped
};

// Keeps exactly the nodes from which an output is reachable.
DceResult dead_code_elimination(std::span<const NodeKey> nodes, std::span<const std::uint64_t> outputs);

struct CseResult {
    EngineGraph graph;
    std::vector<std::uint64_t> old_to_new;  // one per node of the input graph
};

// Merges nodes with equal labels over equal (already merged) inputs; the
// first one wins.
CseResult cse(const EngineGraph& graph);
// The same, consuming `graph` (its labels and input lists move into the result).
CseResult cse(EngineGraph&& graph);

struct FusionResult {
    LargeVector<NodeKey> nodes;          // the reduced graph
    std::vector<std::uint64_t> outputs;  // reduced ids, one per output of the input
    std::vector<Placement> placement;    // one per input node
    std::uint64_t stages = 0;
    std::uint64_t boundary_nodes = 0;
};

// Puts every operation into a stage and rebuilds every other node from the
// token table with new inputs. With `maximal_fusion` false an operation joins
// its consumer only when it has exactly one consumer entry; with it true, when
// all of its consumers lie in one stage.
// Stages with equal members share one key head.
FusionResult stage_fusion(const EngineGraph& graph, const TokenTable& tokens, bool maximal_fusion);

}  // namespace veltrix
