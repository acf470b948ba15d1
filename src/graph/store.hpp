// The interned graph: an append-only arena of node keys behind one lock.
#pragma once

#include <algorithm>
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

// Open-addressing table of node ids, one 8-byte slot per entry: the id and
// the top bits of its hash. The keys themselves live only in the arena; a
// lookup compares against arena entries, and growing past what the stored
// bits can place asks the caller for the hashes again.
class IdTable {
public:
    IdTable() = default;
    // Testing hook: place entries from their stored bits only up to
    // 2^position_bits slots (at most 24, the default).
    explicit IdTable(unsigned position_bits) : position_bits_(std::min(position_bits, 64 - kIdBits)) {}

    // The id whose entry has this hash and satisfies `same(id)`.
    template <class Same>
    std::optional<NodeId> find(std::uint64_t hash, Same&& same) const {
        if (slots_.empty()) return std::nullopt;
        const std::uint64_t tag = hash >> kIdBits;
        for (std::size_t i = position(hash);; i = (i + 1) & mask_) {
            const std::uint64_t s = slots_[i];
            if (s == 0) return std::nullopt;
            if ((s >> kIdBits) == tag && same((s & kIdMask) - 1)) return (s & kIdMask) - 1;
        }
    }
    // Makes room for one more entry, so that the insert after it cannot
    // fail. `hash_of(id)` gives the hash of an entry already in the table.
    // May throw std::bad_alloc; the table is unchanged then.
    template <class HashOf>
    void reserve_one(HashOf&& hash_of) {
        if ((count_ + 1) * 4 <= slots_.size() * 3) return;
        rebuild(slots_.empty() ? 16 : slots_.size() * 2, hash_of);
    }
    // Room for `n` entries in all.
    template <class HashOf>
    void reserve(std::size_t n, HashOf&& hash_of) {
        std::size_t want = 16;
        while (want * 3 < n * 4) want *= 2;
        if (want > slots_.size()) rebuild(want, hash_of);
    }
    // Adds an entry (after reserve_one); does not look for an equal one.
    void insert(std::uint64_t hash, NodeId id) noexcept;
    // Starts loading the slot a lookup of `hash` would read first.
    void prefetch(std::uint64_t hash) const noexcept {
        if (!slots_.empty()) __builtin_prefetch(&slots_[position(hash)]);
    }
    std::size_t size() const noexcept { return count_; }

    static constexpr unsigned kIdBits = 40;  // ids below 2^40 - 1
    static constexpr std::uint64_t kIdMask = (std::uint64_t{1} << kIdBits) - 1;

private:
    std::size_t position(std::uint64_t hash) const noexcept { return static_cast<std::size_t>(hash >> shift_); }
    template <class HashOf>
    void rebuild(std::size_t size, HashOf&& hash_of) {
        LargeVector<std::uint64_t> old(size, 0);
        old.swap(slots_);
        mask_ = size - 1;
        shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(size));
        // The stored bits are the top 24 of the hash; while the table has at
        // most 2^24 slots they hold the whole position.
        const bool tags_suffice = 64 - shift_ <= position_bits_;
        for (std::uint64_t s : old) {
            if (s == 0) continue;
            const std::uint64_t hash = tags_suffice ? (s >> kIdBits) << kIdBits : hash_of((s & kIdMask) - 1);
            std::size_t i = position(hash);
            while (slots_[i] != 0) i = (i + 1) & mask_;
            slots_[i] = s;
        }
    }

    LargeVector<std::uint64_t> slots_;  // 0 = empty, else (hash >> 40) << 40 | (id + 1)
    std::size_t count_ = 0;
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
    unsigned position_bits_ = 64 - kIdBits;
};

// The interning table: node ids by key. Its ids are dense (entry k is the
// arena's key k), which lets it use one 4-byte slot per entry: id + 1 in the
// low bits and, above them, as many low bits of the key's hash as the
// table's size leaves free. A slot's place comes from the hash's top bits, so
// the two never overlap. Half the size of an IdTable slot keeps a table of a
// million keys far more often in cache; the price is that growing recomputes
// every hash, walking the arena in order.
class KeyIndex {
public:
    // Ids stay below this (id + 1 must fit a slot).
    static constexpr std::size_t kMaxEntries = 0xfffffffeULL;

    std::optional<NodeId> find(std::span<const NodeKey> arena, const NodeKey& key, std::uint64_t hash) const {
        return find_if(hash, [&](NodeId id) { return arena[id] == key; });
    }
    // The entry with this hash whose key satisfies `same(id)`.
    template <class Same>
    std::optional<NodeId> find_if(std::uint64_t hash, Same&& same) const {
        if (slots_.empty()) return std::nullopt;
        const std::uint32_t tag = static_cast<std::uint32_t>(hash) & ~id_mask_;
        for (std::size_t i = position(hash);; i = (i + 1) & mask_) {
            const std::uint32_t s = slots_[i];
            if (s == 0) return std::nullopt;
            if ((s & ~id_mask_) == tag && same(NodeId{s & id_mask_} - 1)) return NodeId{s & id_mask_} - 1;
        }
    }
    // Room for one more entry. `arena` holds exactly the keys of the
    // entries so far. May throw std::bad_alloc, leaving the index as it was.
    void reserve_one(std::span<const NodeKey> arena) { reserve(arena, count_ + 1); }
    // Room for `n` entries in all.
    void reserve(std::span<const NodeKey> arena, std::size_t n);
    // Adds the entry for arena key `id` (the next one, after reserve_one).
    void insert(NodeId id, std::uint64_t hash) noexcept;
    void prefetch(std::uint64_t hash) const noexcept {
        if (!slots_.empty()) __builtin_prefetch(&slots_[position(hash)]);
    }
    std::size_t size() const noexcept { return count_; }

private:
    std::size_t position(std::uint64_t hash) const noexcept { return static_cast<std::size_t>(hash >> shift_); }

    LargeVector<std::uint32_t> slots_;  // 0 = empty
    std::size_t count_ = 0;
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
    std::uint32_t id_mask_ = 0;  // the slot bits holding id + 1
};

// Capacity for a key arena that is full at `size` keys. Growing moves every
// key into a fresh block, which the kernel zeroes before first use; growing
// four-fold rather than two-fold halves both costs, and the unused tail is
// only address space until keys land in it.
inline std::size_t grown_arena_capacity(std::size_t size) { return std::max<std::size_t>(16, size * 4); }

inline constexpr const char* kStorePoisoned = "veltrix-core store mutex poisoned";
inline constexpr const char* kStoreBusyAtFork = "veltrix-core store was busy in another thread when the process forked";

class GraphStore {
public:
    GraphStore() = default;
    GraphStore(const GraphStore&) = delete;
    GraphStore& operator=(const GraphStore&) = delete;

    // Returns the id of the node equal to `key`, adding it when new.
    Result<NodeId, BadNodeId> intern(NodeKey key);
    // The same for NodeKey::basic(kind, name, ParamMap::from_refs(params),
    // inputs), with `params` in ParamMap order; nothing is copied unless the
    // key is new.
    Result<NodeId, BadNodeId> intern_basic(NodeKind kind, std::string_view name, ParamRefs params,
                                           std::span<const NodeId> inputs);
    std::optional<BadNodeId> mark_output(NodeId id);
    // Interns keys[0], keys[1], ... in order under one hold of the lock, as
    // intern would one by one; `hashes[i]` is keys[i].hash(). Stops at the
    // first rejected key: returns its index and error. The keys are consumed.
    struct BatchError {
        std::size_t index;
        BadNodeId error;
    };
    std::optional<BatchError> intern_batch(std::span<NodeKey> keys, std::span<const std::uint64_t> hashes);
    // Interns a list whose keys name their inputs by position in the list
    // (each before its own): as intern would one by one, with every input
    // replaced by the id its key got. Returns those ids; the keys are
    // consumed. An input that is not an earlier position is an internal
    // failure. One hold of the lock.
    std::vector<NodeId> intern_list(std::span<NodeKey> keys);
    // Makes room for `n` nodes in all (a hint; never needed for correctness).
    void reserve(std::size_t n);

    std::vector<NodeId> outputs() const;
    std::size_t node_count() const;
    Snapshot snapshot() const;
    std::vector<NodeKey> nodes_copy() const;
    // Borrowed views of the nodes (NodeKey::borrow), taken under the lock:
    // valid while this store lives, and much cheaper than copies.
    LargeVector<NodeKey> nodes_borrowed() const;
    // Copies of the nodes with ids from `from` on.
    std::vector<NodeKey> snapshot_from(NodeId from) const;
    std::vector<NodeMapEntry> node_map() const;
    // Installs the node map of a store built from a reduction.
    void set_node_map(std::vector<NodeMapEntry> map);

    // Runs `f(nodes, outputs)` with the lock held, reading. `f` must not call
    // out of the core. An exception escaping `f` poisons the store.
    template <class F>
    decltype(auto) read_locked(F&& f) const {
        return lock_.run_reading([&] { return f(std::span<const NodeKey>(nodes_), std::span<const NodeId>(outputs_)); });
    }

private:
    // With the lock held: appends a key that is not in the store yet, after
    // make_room. Unless `head_known`, first looks for an earlier node with
    // the same head to share it.
    void make_room();
    NodeId insert_new(NodeKey key, std::uint64_t hash, bool head_known);
    // With the lock held: the node with this hash that satisfies
    // `same(id)`. The guess is tried before the table and then moved past
    // the node found.
    template <class Same>
    std::optional<NodeId> find_existing(std::uint64_t hash, Same&& same) {
        if (next_guess_ < nodes_.size() && same(next_guess_)) return next_guess_++;
        const std::optional<NodeId> found = index_.find_if(hash, same);
        if (found) next_guess_ = *found + 1;
        return found;
    }

    PoisonLock lock_{kStorePoisoned, kStoreBusyAtFork};
    LargeVector<NodeKey> nodes_;
    std::vector<NodeId> outputs_;
    std::vector<NodeMapEntry> node_map_;
    KeyIndex index_;
    // The id after the node a lookup last found or an intern last added.
    // Recording the same stretch of a graph again asks for its nodes in
    // their order, so this key is compared first and the table, whose slot
    // is a cache miss in a large store, is asked only on a mismatch. Any
    // value is safe: it is only a guess.
    NodeId next_guess_ = 0;
    // One node per distinct head (the key without its inputs): new keys
    // share the head of an equal earlier one.
    IdTable heads_;
};

}  // namespace veltrix
