// The open-addressing tables of node ids: IdTable, keyed by hashes the
// caller keeps, and KeyIndex, the interning table over a key arena.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>

#include "graph/node.hpp"
#include "graph/support.hpp"

namespace veltrix {

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

// ---------------------------------------------------------------------------
// IdTable

inline void IdTable::insert(std::uint64_t hash, NodeId id) noexcept {
    std::size_t i = position(hash);
    while (slots_[i] != 0) i = (i + 1) & mask_;
    slots_[i] = ((hash >> kIdBits) << kIdBits) | (id + 1);
    ++count_;
}

// ---------------------------------------------------------------------------
// KeyIndex

inline void KeyIndex::reserve(std::span<const NodeKey> arena, std::size_t n) {
    if (n > kMaxEntries) panic("a store holds fewer than 2^32 - 1 nodes");
    if (n * 4 <= slots_.size() * 3) return;
    if (arena.size() != count_) panic("key index and arena disagree");
    std::size_t size = slots_.empty() ? 16 : slots_.size() * 2;
    while (size * 3 < n * 4) size *= 2;
    const unsigned bits = static_cast<unsigned>(__builtin_ctzll(size));
    KeyIndex grown;
    grown.slots_.assign(size, 0);  // the only allocation: if it throws, nothing has changed yet
    grown.mask_ = size - 1;
    grown.shift_ = 64 - bits;
    // At most 3/4 of the slots fill, so every id + 1 fits in log2(size) bits.
    grown.id_mask_ = low_bits32(bits);
    // The arena is read in order; the new slots are requested a few keys ahead.
    std::uint64_t hashes[kPrefetchAhead];
    for (std::size_t id = 0; id < count_ + kPrefetchAhead; ++id) {
        if (id >= kPrefetchAhead) grown.insert(id - kPrefetchAhead, hashes[id % kPrefetchAhead]);
        if (id < count_) {
            hashes[id % kPrefetchAhead] = arena[id].hash();
            grown.prefetch(hashes[id % kPrefetchAhead]);
        }
    }
    *this = std::move(grown);
}

inline void KeyIndex::insert(NodeId id, std::uint64_t hash) noexcept {
    std::size_t i = position(hash);
    while (slots_[i] != 0) i = (i + 1) & mask_;
    slots_[i] = (static_cast<std::uint32_t>(hash) & ~id_mask_) | static_cast<std::uint32_t>(id + 1);
    ++count_;
}

}  // namespace veltrix
