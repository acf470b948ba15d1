// The interned graph: an append-only arena of node keys behind one lock.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "graph/node.hpp"
#include "graph/support.hpp"

namespace veltrix {

// The store's one error value.
struct BadNodeId {
    NodeId id;
};

// Where a node of the reduced-from graph landed: a node of this store, and
// its position inside a stage when it was fused into one.
struct Placement {
    NodeId node = 0;
    std::optional<std::size_t> member;
    bool operator==(const Placement&) const = default;
};
using NodeMapEntry = std::optional<Placement>;

struct Snapshot {
    std::vector<NodeKey> nodes;
    std::vector<NodeId> outputs;
};

// Open-addressing table from key hash to node id. The keys themselves live
// only in the arena; lookups compare against arena entries.
class KeyIndex {
public:
    std::optional<NodeId> find(std::span<const NodeKey> arena, const NodeKey& key, std::uint64_t hash) const;
    // May throw std::bad_alloc; the index is unchanged then.
    void insert(NodeId id, std::uint64_t hash);
    std::size_t size() const noexcept { return count_; }

private:
    struct Slot {
        std::uint64_t hash;
        std::uint64_t id_plus_one;  // 0 = empty
    };
    void grow();
    std::vector<Slot> slots_;
    std::size_t count_ = 0;
};

inline constexpr const char* kStorePoisoned = "veltrix-core store mutex poisoned";

class GraphStore {
public:
    GraphStore() = default;
    GraphStore(const GraphStore&) = delete;
    GraphStore& operator=(const GraphStore&) = delete;

    // Returns the id of the node equal to `key`, adding it when new.
    Result<NodeId, BadNodeId> intern(NodeKey key);
    std::optional<BadNodeId> mark_output(NodeId id);

    std::vector<NodeId> outputs() const;
    std::size_t node_count() const;
    Snapshot snapshot() const;
    std::vector<NodeKey> nodes_copy() const;
    // Copies of the nodes with ids from `from` on.
    std::vector<NodeKey> snapshot_from(NodeId from) const;
    std::vector<NodeMapEntry> node_map() const;
    // Installs the node map of a store built from a reduction.
    void set_node_map(std::vector<NodeMapEntry> map);

    // Runs `f(nodes, outputs)` with the lock held. `f` must not call out of the
    // core. An exception escaping `f` poisons the store.
    template <class F>
    decltype(auto) read_locked(F&& f) const {
        return lock_.run([&] { return f(std::span<const NodeKey>(nodes_), std::span<const NodeId>(outputs_)); });
    }

private:
    PoisonLock lock_{kStorePoisoned};
    std::vector<NodeKey> nodes_;
    std::vector<NodeId> outputs_;
    std::vector<NodeMapEntry> node_map_;
    KeyIndex index_;
};

}  // namespace veltrix
