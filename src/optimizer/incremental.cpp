#include "optimizer/incremental.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <string_view>

namespace veltrix {
namespace {

// An Op whose parameters are exactly scalar = +0.0 (add) or 1.0 (mul) and
// side = "r" or "l": the node equals its first input.
bool is_identity(const NodeKey& key) {
    if (!key.is_op() || key.params().size() != 2) return false;
    std::uint64_t identity_bits;
    if (key.name() == "add") identity_bits = 0;
    else if (key.name() == "mul") identity_bits = std::bit_cast<std::uint64_t>(1.0);
    else return false;
    const auto& e = key.params().entries();
    return e[0].key == "scalar" && e[0].value.tag() == ParamTag::Float &&
           canonical_bits(e[0].value.as_float()) == identity_bits && e[1].key == "side" &&
           e[1].value.tag() == ParamTag::Str && (e[1].value.as_str() == "r" || e[1].value.as_str() == "l");
}

bool is_commutative(const NodeKey& key) {
    static constexpr std::array<std::string_view, 8> ops = {"add", "mul", "and", "or",
                                                            "eq",  "ne",  "maximum", "minimum"};
    return key.is_op() && key.params().empty() && key.inputs().size() == 2 &&
           std::find(ops.begin(), ops.end(), key.name()) != ops.end();
}

}  // namespace

NodeId CanonicalForm::canonicalize(NodeKey key) {
    // An identity with no input has nothing to stand for it and is kept as is.
    if (is_identity(key) && !key.inputs().empty()) return key.inputs()[0];
    const std::uint64_t hash = key.hash();
    if (auto found = table_.find(nodes_, key, hash)) return *found;
    if (is_commutative(key)) {
        // The first orientation recorded is the one kept.
        NodeKey swapped = key.with_inputs({key.inputs()[1], key.inputs()[0]});
        if (auto found = table_.find(nodes_, swapped, swapped.hash())) return *found;
    }
    const NodeId id = nodes_.size();
    if (nodes_.size() == nodes_.capacity()) nodes_.reserve(grown_arena_capacity(nodes_.size()));
    table_.reserve_one(nodes_);
    nodes_.push_back(std::move(key));
    table_.insert(id, hash);
    return id;
}

Result<std::uint64_t, BadNodeId> CanonicalForm::step(std::span<const NodeKey> delta) {
    // Once the table outgrows the caches every lookup misses: the slots of
    // a node a few places ahead are requested while this one is handled,
    // for both orders of a binary node's inputs. A node whose inputs are not
    // all mapped yet gets no hint.
    auto hint = [&](const NodeKey& node) {
        const std::span<const NodeId> in = node.inputs();
        NodeId mapped[2];
        if (in.size() > 2) return;
        for (std::size_t k = 0; k < in.size(); ++k) {
            if (in[k] >= map_.size()) return;
            mapped[k] = map_[in[k]];
        }
        table_.prefetch(NodeKey::hash_with_inputs(node.head_hash(), {mapped, in.size()}));
        if (in.size() == 2) {
            std::swap(mapped[0], mapped[1]);
            table_.prefetch(NodeKey::hash_with_inputs(node.head_hash(), {mapped, 2}));
        }
    };
    for (std::size_t j = 0; j < std::min(kPrefetchAhead, delta.size()); ++j) hint(delta[j]);
    std::vector<NodeId> inputs;
    for (std::size_t i = 0; i < delta.size(); ++i) {
        const NodeKey& node = delta[i];
        if (i + kPrefetchAhead < delta.size()) hint(delta[i + kPrefetchAhead]);
        inputs.clear();
        for (NodeId x : node.inputs()) {
            if (x >= map_.size()) return BadNodeId{x};
            inputs.push_back(map_[x]);
        }
        // Room first, so that the push below cannot fail after the form changed.
        if (map_.size() == map_.capacity()) map_.reserve(std::max<std::size_t>(16, map_.size() * 2));
        map_.push_back(canonicalize(node.with_inputs(inputs)));
    }
    total_work_ += delta.size();
    return static_cast<std::uint64_t>(delta.size());
}

Result<Reduced, BadNodeId> CanonicalForm::finalize(std::span<const NodeId> outputs, const RewriteEngine& engine,
                                                   FusionRule fusion, PhaseObserver* observer) const {
    std::vector<NodeId> translated;
    translated.reserve(outputs.size());
    for (NodeId o : outputs) {
        if (o >= map_.size()) return BadNodeId{o};
        translated.push_back(map_[o]);
    }
    return reduce_through(nodes_, translated, map_, engine, fusion, observer);
}

Result<std::uint64_t, BadNodeId> IncrementalReducer::step(const GraphStore& store) {
    return lock_.run([&] { return form_.step(store.snapshot_from(form_.watermark())); });
}

Result<ReductionResult, BadNodeId> IncrementalReducer::finalize(const GraphStore& store,
                                                                std::optional<std::vector<NodeId>> outputs,
                                                                const RewriteEngine& engine, FusionRule fusion,
                                                                PhaseObserver* observer) {
    // Read from the store before taking our lock: no thread holds a store
    // lock while it waits for a reducer lock.
    if (outputs) {
        const std::size_t count = store.node_count();
        for (NodeId id : *outputs) {
            if (id >= count) return BadNodeId{id};
        }
    } else {
        outputs = store.outputs();
    }
    return lock_.run([&]() -> Result<ReductionResult, BadNodeId> {
        auto consumed = form_.step(store.snapshot_from(form_.watermark()));
        if (!consumed) return consumed.error();
        if (observer != nullptr) observer->phase_done("step");
        lock_.reading();
        auto reduced = form_.finalize(*outputs, engine, fusion, observer);
        if (!reduced) return reduced.error();
        ReductionResult result = from_reduced(std::move(reduced.value()));
        if (observer != nullptr) observer->phase_done("reduced_store");
        return result;
    });
}

std::uint64_t IncrementalReducer::watermark() const {
    return lock_.run_reading([&] { return form_.watermark(); });
}
std::uint64_t IncrementalReducer::total_work() const {
    return lock_.run_reading([&] { return form_.total_work(); });
}
std::uint64_t IncrementalReducer::canonical_count() const {
    return lock_.run_reading([&] { return form_.canonical_count(); });
}

}  // namespace veltrix
