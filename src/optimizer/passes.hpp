// The optimizer's graph passes: dead-code elimination over node keys,
// common-subexpression elimination over an engine graph, and stage fusion.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "graph/node.hpp"
#include "graph/store.hpp"
#include "graph/support.hpp"
#include "optimizer/engine.hpp"

namespace veltrix {

// Old-to-new entry of a node that dead-code elimination dropped.
inline constexpr std::uint32_t kDropped = 0xffffffffu;

// The nodes a reduction reads, flat: each node's key head, as an index into
// one borrowed key per distinct head object, and its inputs, back to back.
// The passes need nothing else of the keys, and this is under half the size
// of copies of them. Valid while the keys it was read from live.
class InputGraph {
public:
    // A reduction handles fewer nodes than this.
    static constexpr std::size_t kMaxNodes = 0xfffffffeULL;

    // Reads `nodes`; an input that names no node of `nodes` is an internal
    // failure, and so are kMaxNodes nodes or more.
    static InputGraph of(std::span<const NodeKey> nodes);
    static InputGraph of(const NodeView& nodes);

    std::size_t size() const noexcept { return head_of_.size(); }
    // A key with node i's head (its inputs are another node's).
    const NodeKey& head(std::size_t i) const { return heads_[head_of_[i]]; }
    std::span<const std::uint32_t> inputs(std::size_t i) const {
        return {inputs_.data() + first_[i], first_[i + 1] - first_[i]};
    }

private:
    template <class Nodes>
    static InputGraph read(const Nodes& nodes);
    friend struct KeptGraph to_engine_graph(InputGraph&& nodes, const struct DceResult& kept);
    std::vector<NodeKey> heads_;        // borrowed
    LargeVector<std::uint32_t> head_of_;
    LargeVector<std::uint32_t> first_;  // node i's inputs are inputs_[first_[i], first_[i + 1])
    LargeVector<std::uint32_t> inputs_;
};

struct DceResult {
    LargeVector<std::uint32_t> old_to_new;  // new index of each node, or kDropped
    std::vector<std::uint64_t> outputs;     // one per requested output, same order
    std::size_t kept = 0;                   // nodes kept
};

// Keeps exactly the nodes from which an output is reachable, numbered
// densely in ascending id. The nodes themselves are not copied:
// to_engine_graph below reads the kept ones through the numbering.
DceResult dead_code_elimination(const InputGraph& nodes, std::span<const std::uint64_t> outputs);

// Maps the engine label of a boundary node (any node but an operation) to
// the first kept node that carries it. Boundary nodes are rebuilt from here,
// so labels must name a key up to its inputs.
class TokenTable {
public:
    TokenTable() = default;
    explicit TokenTable(std::shared_ptr<const Labels> labels) : labels_(std::move(labels)) {}
    // Node i of `graph` is `nodes[i]`.
    TokenTable(std::span<const NodeKey> nodes, const EngineGraph& graph);

    // Enters `key` under `label` unless a key is there already.
    void offer(LabelId label, const NodeKey& key);
    // The key under label `id` of `labels` (which need not be this table's
    // own labels); an internal failure when there is none.
    const NodeKey& at(const Labels& labels, LabelId id) const;
    std::size_t size() const noexcept { return count_; }

private:
    std::shared_ptr<const Labels> labels_;
    std::vector<std::optional<NodeKey>> keys_;  // by label id
    std::size_t count_ = 0;
};

// The engine graph of the nodes that `kept` keeps, renumbered, with the
// token table of their boundary labels. The graph is made in the arrays of
// `nodes`, which it consumes.
struct KeptGraph {
    EngineGraph graph;
    TokenTable tokens;
};
KeptGraph to_engine_graph(InputGraph&& nodes, const DceResult& kept);
// One engine node per key, in order, with `outputs`.
EngineGraph to_engine_graph(std::span<const NodeKey> nodes, std::span<const std::uint64_t> outputs);

struct CseResult {
    EngineGraph graph;                      // shares the labels of the input graph
    LargeVector<std::uint32_t> old_to_new;  // one per node of the input graph
};

// Merges nodes with equal labels over equal (already merged) inputs; the
// first one wins.
CseResult cse(const EngineGraph& graph);

// Where a node of the fused graph landed: a reduced node, and the node's
// position among the members when that is a stage.
struct Place {
    static constexpr std::uint32_t kNoMember = 0xffffffffu;
    std::uint32_t node = 0;
    std::uint32_t member = kNoMember;
};

struct FusionResult {
    LargeVector<NodeKey> nodes;          // the reduced graph
    std::vector<std::uint64_t> outputs;  // reduced ids, one per output of the input
    LargeVector<Place> placement;        // one per input node
    std::uint64_t stages = 0;
    std::uint64_t boundary_nodes = 0;
};

// When an operation joins the stage of its consumers.
enum class FusionRule {
    SingleUse,  // only when it has exactly one consumer entry
    Maximal,    // when all of its consumers lie in one stage
};

// Puts every operation into a stage, under `rule`, and rebuilds every other
// node from the token table with new inputs.
// Stages with equal members share one key head.
FusionResult stage_fusion(const EngineGraph& graph, const TokenTable& tokens, FusionRule rule);

}  // namespace veltrix
