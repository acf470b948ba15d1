// Open addressing with linear probing, written once for the core's tables
// of ids (OpenTable), and the two tables of node ids built on it: IdTable,
// keyed by hashes the caller keeps, and KeyIndex, the interning table over a
// key arena.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>

#include "graph/node.hpp"
#include "graph/support.hpp"

namespace veltrix {

// A table of 2^k slots: `mask` is 2^k - 1, `shift` is 64 - k (so that
// hash >> shift is a position from the hash's top bits).
struct TableShape {
    std::size_t mask = 0;
    unsigned shift = 64;
};

// The growth policy every table below shares unless its layout says
// otherwise: at most three quarters full, at least 16 slots.
struct ThreeQuartersFull {
    static constexpr std::size_t kMinSlots = 16;
    static constexpr std::size_t kLoadNum = 3, kLoadDen = 4;
};

// The hash_of of a table whose kept bits always place its entries, and a
// growth without read-ahead hints.
struct NoHashes {
    std::uint64_t operator()(std::uint64_t) const { panic("hash table entries re-placed without their hashes"); }
};
struct NoHint {
    void operator()(std::uint64_t) const noexcept {}
};

// Linear probing over slots that each hold an entry's id + 1 (0: empty)
// beside some bits of its hash. The keys stay with the caller, who tells
// entries with equal hash bits apart through a predicate on an id. A Layout
// packs the slots, in inline functions, so that each table keeps its own
// slot size and probe sequence:
//
//   using Slot;                             Slot{} is empty
//   kMinSlots, kLoadNum / kLoadDen          the growth policy
//   position(hash, shape)                   the first slot a hash probes
//   tag(hash, shape) -> Slot                the hash bits a slot keeps, no id
//   has_tag(slot, tag, shape), with_id(tag, id, shape), id(slot, shape), empty(slot)
//   tag_of(slot, shape)                     a slot's kept bits (for repoint only)
//   tags_place(shape)                       whether the kept bits give every
//                                           position in a table of that shape;
//   kept_hash(slot)                         the hash as far as they keep it.
//
// Growing re-places entries from their kept bits while they suffice, and
// otherwise asks the caller for the hash of each entry.
template <class Layout>
class OpenTable {
public:
    using Slot = typename Layout::Slot;

    OpenTable() = default;
    explicit OpenTable(Layout layout) : layout_(layout) {}

    std::size_t size() const noexcept { return count_; }
    std::size_t capacity() const noexcept { return slots_.size(); }

    // The id of the entry with this hash that satisfies `same(id)`.
    template <class Same>
    std::optional<std::uint64_t> find(std::uint64_t hash, Same&& same) const {
        if (slots_.empty()) return std::nullopt;
        const Slot tag = Layout::tag(hash, shape_);
        for (std::size_t i = Layout::position(hash, shape_);; i = (i + 1) & shape_.mask) {
            const Slot s = slots_[i];
            if (Layout::empty(s)) return std::nullopt;
            if (Layout::has_tag(s, tag, shape_) && same(Layout::id(s, shape_))) return Layout::id(s, shape_);
        }
    }
    // The slot of the entry with this hash that satisfies `same(id)`, or
    // else the empty slot where it would go, for fill(). Needs room for one
    // more entry (reserve).
    template <class Same>
    Slot& slot_for(std::uint64_t hash, Same&& same) {
        const Slot tag = Layout::tag(hash, shape_);
        for (std::size_t i = Layout::position(hash, shape_);; i = (i + 1) & shape_.mask) {
            Slot& s = slots_[i];
            if (Layout::empty(s) || (Layout::has_tag(s, tag, shape_) && same(Layout::id(s, shape_)))) return s;
        }
    }
    static bool empty(const Slot& slot) noexcept { return Layout::empty(slot); }
    std::uint64_t id(const Slot& slot) const noexcept { return Layout::id(slot, shape_); }
    // Enters an entry in the empty slot slot_for() gave.
    void fill(Slot& slot, std::uint64_t hash, std::uint64_t id) noexcept {
        slot = Layout::with_id(Layout::tag(hash, shape_), id, shape_);
        ++count_;
    }
    // Points an occupied slot at another id with the same hash.
    void repoint(Slot& slot, std::uint64_t id) const noexcept {
        slot = Layout::with_id(Layout::tag_of(slot, shape_), id, shape_);
    }
    // Adds an entry without looking for an equal one. Needs room (reserve),
    // so it cannot fail.
    void insert(std::uint64_t hash, std::uint64_t id) noexcept {
        place(hash, Layout::with_id(Layout::tag(hash, shape_), id, shape_));
        ++count_;
    }
    // Starts loading the slot a lookup of `hash` reads first.
    void prefetch(std::uint64_t hash) const noexcept {
        if (!slots_.empty()) __builtin_prefetch(&slots_[Layout::position(hash, shape_)]);
    }

    // Whether `n` entries fit without growing.
    bool has_room(std::size_t n) const noexcept { return n * Layout::kLoadDen <= slots_.size() * Layout::kLoadNum; }
    // The number of slots a table of `n` entries grows to.
    std::size_t slots_for(std::size_t n) const noexcept {
        std::size_t want = slots_.empty() ? Layout::kMinSlots : slots_.size() * 2;
        while (want * Layout::kLoadNum < n * Layout::kLoadDen) want *= 2;
        return want;
    }
    // Room for `n` entries in all, so that inserting up to them cannot fail.
    // `hash_of(id)` gives the hash of an entry already here, asked for only
    // when the kept bits do not place it; `ahead(id)` hints that hash_of(id)
    // comes a few entries later. May throw std::bad_alloc, leaving the table
    // as it was.
    template <class HashOf = NoHashes, class Ahead = NoHint>
    void reserve(std::size_t n, HashOf&& hash_of = HashOf{}, Ahead&& ahead = Ahead{}) {
        if (!has_room(n)) rebuild(slots_for(n), hash_of, ahead);
    }
    template <class HashOf = NoHashes>
    void reserve_one(HashOf&& hash_of = HashOf{}) {
        reserve(count_ + 1, hash_of);
    }
    // As reserve(), for a table whose ids are exactly 0 .. size() - 1:
    // growing re-places them in id order, so the caller's keys are read in
    // order too, while the new slots are requested a few entries ahead.
    template <class HashOf>
    void reserve_in_order(std::size_t n, HashOf&& hash_of) {
        if (!has_room(n)) rebuild_in_order(slots_for(n), hash_of);
    }
    // Empties the table into `slots` slots, a power of two.
    void resize_empty(std::size_t slots) {
        slots_.assign(slots, Slot{});
        shape_ = shape_of(slots);
        count_ = 0;
    }

private:
    static TableShape shape_of(std::size_t slots) noexcept {
        return {slots - 1, 64 - static_cast<unsigned>(__builtin_ctzll(slots))};
    }
    void place(std::uint64_t hash, Slot s) noexcept {
        std::size_t i = Layout::position(hash, shape_);
        while (!Layout::empty(slots_[i])) i = (i + 1) & shape_.mask;
        slots_[i] = s;
    }
    template <class HashOf>
    [[gnu::noinline]] void rebuild_in_order(std::size_t slots, HashOf& hash_of) {
        OpenTable grown(layout_);
        grown.resize_empty(slots);  // the only allocation: if it throws, nothing has changed yet
        std::uint64_t hashes[kPrefetchAhead];
        for (std::size_t id = 0; id < count_ + kPrefetchAhead; ++id) {
            if (id >= kPrefetchAhead) grown.insert(hashes[id % kPrefetchAhead], id - kPrefetchAhead);
            if (id < count_) {
                hashes[id % kPrefetchAhead] = hash_of(id);
                grown.prefetch(hashes[id % kPrefetchAhead]);
            }
        }
        *this = std::move(grown);
    }
    template <class HashOf, class Ahead>
    [[gnu::noinline]] void rebuild(std::size_t slots, HashOf& hash_of, Ahead& ahead) {
        LargeVector<Slot> old(slots, Slot{});
        old.swap(slots_);
        const TableShape was = shape_;
        shape_ = shape_of(slots);
        if (layout_.tags_place(shape_)) {
            for (const Slot& s : old) {
                if (!Layout::empty(s)) place(Layout::kept_hash(s), s);
            }
            return;
        }
        // The caller's keys are read at random: each is requested a few
        // entries ahead.
        for (std::size_t j = 0; j < old.size(); ++j) {
            if (j + kPrefetchAhead < old.size() && !Layout::empty(old[j + kPrefetchAhead])) {
                ahead(Layout::id(old[j + kPrefetchAhead], was));
            }
            if (Layout::empty(old[j])) continue;
            const std::uint64_t id = Layout::id(old[j], was);
            const std::uint64_t hash = hash_of(id);
            place(hash, Layout::with_id(Layout::tag(hash, shape_), id, shape_));
        }
    }

    LargeVector<Slot> slots_;
    TableShape shape_;
    std::size_t count_ = 0;
    [[no_unique_address]] Layout layout_;
};

// 4-byte slots: id + 1 in the low log2(slots) bits and, above them, as many
// low bits of the hash as the table's size leaves free; the position comes
// from the hash's top bits, so the two never overlap. At most 3/4 of the
// slots fill, so every id + 1 fits. The kept bits change with the size:
// growing always asks for the hashes.
struct PackedSlots32 : ThreeQuartersFull {
    using Slot = std::uint32_t;
    static std::size_t position(std::uint64_t hash, TableShape s) noexcept { return hash >> s.shift; }
    static Slot tag(std::uint64_t hash, TableShape s) noexcept {
        return static_cast<std::uint32_t>(hash) & ~static_cast<std::uint32_t>(s.mask);
    }
    static Slot tag_of(Slot slot, TableShape s) noexcept { return slot & ~static_cast<std::uint32_t>(s.mask); }
    static bool has_tag(Slot slot, Slot tag, TableShape s) noexcept { return tag_of(slot, s) == tag; }
    static Slot with_id(Slot tag, std::uint64_t id, TableShape) noexcept {
        return tag | static_cast<std::uint32_t>(id + 1);
    }
    static std::uint64_t id(Slot slot, TableShape s) noexcept {
        return std::uint64_t{slot & static_cast<std::uint32_t>(s.mask)} - 1;
    }
    static bool empty(Slot slot) noexcept { return slot == 0; }
    static constexpr bool tags_place(TableShape) noexcept { return false; }
    static std::uint64_t kept_hash(Slot) noexcept { return 0; }
};

// 8-byte slots: the top 24 bits of the hash above id + 1 (ids below
// 2^40 - 1). While the table has at most 2^position_bits slots (24 at most,
// the default; fewer is a testing hook) the kept bits hold the whole
// position, so growing needs no hashes up to 2^24 slots.
struct IdSlots : ThreeQuartersFull {
    using Slot = std::uint64_t;
    static constexpr unsigned kIdBits = 40;
    static constexpr std::uint64_t kIdMask = (std::uint64_t{1} << kIdBits) - 1;
    unsigned position_bits;
    explicit constexpr IdSlots(unsigned position_bits = 64 - kIdBits) noexcept
        : position_bits(std::min(position_bits, 64 - kIdBits)) {}

    static std::size_t position(std::uint64_t hash, TableShape s) noexcept { return hash >> s.shift; }
    static Slot tag(std::uint64_t hash, TableShape) noexcept { return hash & ~kIdMask; }
    static Slot tag_of(Slot slot, TableShape) noexcept { return slot & ~kIdMask; }
    static bool has_tag(Slot slot, Slot tag, TableShape) noexcept { return (slot & ~kIdMask) == tag; }
    static Slot with_id(Slot tag, std::uint64_t id, TableShape) noexcept { return tag | (id + 1); }
    static std::uint64_t id(Slot slot, TableShape) noexcept { return (slot & kIdMask) - 1; }
    static bool empty(Slot slot) noexcept { return slot == 0; }
    bool tags_place(TableShape s) const noexcept { return 64 - s.shift <= position_bits; }
    static std::uint64_t kept_hash(Slot slot) noexcept { return slot & ~kIdMask; }
};

// Slots of two fields: the hash's low bits (all that `Tag` holds) and id + 1
// (0 = empty), placed from the hash shifted right by `Skip` bits. The kept
// bits always place an entry, so growing needs no hashes.
template <class Tag, unsigned Skip, class Growth = ThreeQuartersFull>
struct TagIdSlots : Growth {
    struct Slot {
        Tag tag = 0;
        std::uint32_t id_plus_one = 0;
    };
    static std::size_t position(std::uint64_t hash, TableShape s) noexcept { return (hash >> Skip) & s.mask; }
    static Slot tag(std::uint64_t hash, TableShape) noexcept { return {static_cast<Tag>(hash), 0}; }
    static bool has_tag(Slot slot, Slot tag, TableShape) noexcept { return slot.tag == tag.tag; }
    static Slot with_id(Slot tag, std::uint64_t id, TableShape) noexcept {
        return {tag.tag, static_cast<std::uint32_t>(id + 1)};
    }
    static std::uint64_t id(Slot slot, TableShape) noexcept { return slot.id_plus_one - 1; }
    static bool empty(Slot slot) noexcept { return slot.id_plus_one == 0; }
    static constexpr bool tags_place(TableShape) noexcept { return true; }
    static std::uint64_t kept_hash(Slot slot) noexcept { return slot.tag; }
};

// Open-addressing table of node ids, one 8-byte slot per entry. The keys
// themselves live with the caller (an arena, a list of entries); a lookup
// compares against them, and growing past what the kept bits can place asks
// the caller for the hashes again.
using IdTable = OpenTable<IdSlots>;

// The interning table: node ids by key. Its ids are dense (entry k is the
// arena's key k), which lets it use one 4-byte slot per entry (see
// PackedSlots32). Half the size of an IdTable slot keeps a table of a
// million keys far more often in cache; the price is that growing recomputes
// every hash, walking the arena in order.
class KeyIndex {
public:
    // Ids stay below this (id + 1 must fit a slot).
    static constexpr std::size_t kMaxEntries = 0xfffffffeULL;

    std::optional<NodeId> find(std::span<const NodeKey> arena, const NodeKey& key, std::uint64_t hash) const {
        return table_.find(hash, [&](NodeId id) { return arena[id] == key; });
    }
    // The entry with this hash whose key satisfies `same(id)`.
    template <class Same>
    std::optional<NodeId> find_if(std::uint64_t hash, Same&& same) const {
        return table_.find(hash, same);
    }
    // Room for one more entry. `arena` holds exactly the keys of the
    // entries so far. May throw std::bad_alloc, leaving the index as it was.
    void reserve_one(std::span<const NodeKey> arena) { reserve(arena, table_.size() + 1); }
    // Room for `n` entries in all.
    void reserve(std::span<const NodeKey> arena, std::size_t n) {
        if (n > kMaxEntries) panic("a store holds fewer than 2^32 - 1 nodes");
        if (table_.has_room(n)) return;
        if (arena.size() != table_.size()) panic("key index and arena disagree");
        table_.reserve_in_order(n, [&](NodeId id) { return arena[id].hash(); });
    }
    // Adds the entry for arena key `id` (the next one, after reserve_one).
    void insert(NodeId id, std::uint64_t hash) noexcept { table_.insert(hash, id); }
    void prefetch(std::uint64_t hash) const noexcept { table_.prefetch(hash); }
    std::size_t size() const noexcept { return table_.size(); }

private:
    OpenTable<PackedSlots32> table_;
};

}  // namespace veltrix
