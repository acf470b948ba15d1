#include "graph/store.hpp"

#include <algorithm>

namespace veltrix {

// ---------------------------------------------------------------------------
// KeyIndex

std::optional<NodeId> KeyIndex::find(std::span<const NodeKey> arena, const NodeKey& key,
                                     std::uint64_t hash) const {
    if (slots_.empty()) return std::nullopt;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& s = slots_[i];
        if (s.id_plus_one == 0) return std::nullopt;
        if (s.hash == hash && arena[s.id_plus_one - 1] == key) return s.id_plus_one - 1;
    }
}

void KeyIndex::insert(NodeId id, std::uint64_t hash) {
    if ((count_ + 1) * 4 > slots_.size() * 3) grow();
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash & mask;
    while (slots_[i].id_plus_one != 0) i = (i + 1) & mask;
    slots_[i] = Slot{hash, id + 1};
    ++count_;
}

void KeyIndex::grow() {
    std::vector<Slot> bigger(slots_.empty() ? 16 : slots_.size() * 2, Slot{0, 0});
    const std::size_t mask = bigger.size() - 1;
    for (const Slot& s : slots_) {
        if (s.id_plus_one == 0) continue;
        std::size_t i = s.hash & mask;
        while (bigger[i].id_plus_one != 0) i = (i + 1) & mask;
        bigger[i] = s;
    }
    slots_.swap(bigger);
}

// ---------------------------------------------------------------------------
// GraphStore

Result<NodeId, BadNodeId> GraphStore::intern(NodeKey key) {
    const std::uint64_t hash = key.hash();  // outside the lock: the key is ours
    return lock_.run([&]() -> Result<NodeId, BadNodeId> {
        const NodeId n = nodes_.size();
        for (NodeId input : key.inputs()) {
            if (input >= n) return BadNodeId{input};
        }
        if (auto found = index_.find(nodes_, key, hash)) return *found;
        // Reserve first so that an allocation failure leaves the store as it was.
        if (nodes_.size() == nodes_.capacity()) nodes_.reserve(std::max<std::size_t>(16, nodes_.size() * 2));
        nodes_.push_back(std::move(key));
        try {
            index_.insert(n, hash);
        } catch (const std::bad_alloc&) {
            nodes_.pop_back();
            throw;
        }
        return n;
    });
}

std::optional<BadNodeId> GraphStore::mark_output(NodeId id) {
    return lock_.run([&]() -> std::optional<BadNodeId> {
        if (id >= nodes_.size()) return BadNodeId{id};
        if (std::find(outputs_.begin(), outputs_.end(), id) == outputs_.end()) outputs_.push_back(id);
        return std::nullopt;
    });
}

std::vector<NodeId> GraphStore::outputs() const {
    return lock_.run([&] { return outputs_; });
}

std::size_t GraphStore::node_count() const {
    return lock_.run([&] { return nodes_.size(); });
}

Snapshot GraphStore::snapshot() const {
    return lock_.run([&] { return Snapshot{nodes_, outputs_}; });
}

std::vector<NodeKey> GraphStore::nodes_copy() const {
    return lock_.run([&] { return nodes_; });
}

std::vector<NodeKey> GraphStore::snapshot_from(NodeId from) const {
    return lock_.run([&] {
        const std::size_t start = static_cast<std::size_t>(std::min<NodeId>(from, nodes_.size()));
        return std::vector<NodeKey>(nodes_.begin() + static_cast<std::ptrdiff_t>(start), nodes_.end());
    });
}

std::vector<NodeMapEntry> GraphStore::node_map() const {
    return lock_.run([&] { return node_map_; });
}

void GraphStore::set_node_map(std::vector<NodeMapEntry> map) {
    lock_.run([&] { node_map_ = std::move(map); });
}

}  // namespace veltrix
