// The interned graph: an append-only arena of node keys, read without a lock
// and appended to under one.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "graph/hash_table.hpp"
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

// Capacity for a key arena that is full at `size` keys. Growing moves every
// key into a fresh block, which the kernel zeroes before first use; growing
// four-fold rather than two-fold halves both costs, and the unused tail is
// only address space until keys land in it.
inline std::size_t grown_arena_capacity(std::size_t size) { return std::max<std::size_t>(16, size * 4); }

// An append-only array in chunks that never move: chunk c holds 16 * 4^c
// elements, so n elements take about log4(n / 4) chunks, and growing
// allocates one chunk without touching what is there. (Growing four-fold
// keeps the small chunks, which fault in page by page, few: from 2 MB on
// chunks come on huge pages, and the unused tail of the last one is only
// address space.) One writer at a time
// (the caller serialises them) appends, then publishes; any thread reads the
// elements below size(), without a lock.
template <class T>
class ChunkedArray {
public:
    ChunkedArray() = default;
    explicit ChunkedArray(Pages pages) noexcept : pages_(pages) {}
    ChunkedArray(const ChunkedArray&) = delete;
    ChunkedArray& operator=(const ChunkedArray&) = delete;
    ~ChunkedArray() {
        for (unsigned c = 0; c < kMaxChunks; ++c) {
            T* chunk = chunks_[c].load(std::memory_order_relaxed);
            if (chunk == nullptr) break;
            const std::size_t first = chunk_start(c);
            if constexpr (!std::is_trivially_destructible_v<T>) {
                for (std::size_t i = first; i < std::min(written_, chunk_start(c + 1)); ++i) chunk[i - first].~T();
            }
            free_large(chunk, chunk_length(c) * sizeof(T));
        }
    }

    // The published elements.
    std::size_t size() const noexcept { return size_.load(std::memory_order_acquire); }
    const T& operator[](std::size_t i) const noexcept {
        const unsigned c = chunk_of(i);
        return chunks_[c].load(std::memory_order_relaxed)[i - chunk_start(c)];
    }

    // Writer only: the elements appended so far, published or not.
    std::size_t written() const noexcept { return written_; }
    // Room for `n` elements in all: allocates chunks up to there. May throw
    // std::bad_alloc, leaving the array as it was.
    void reserve(std::size_t n) {
        for (unsigned c = 0; n > 0 && chunk_start(c) < n; ++c) {
            if (c == kMaxChunks) panic("a chunked array holds fewer than 2^40 elements");
            if (chunks_[c].load(std::memory_order_relaxed) == nullptr) {
                chunks_[c].store(static_cast<T*>(allocate_large(chunk_length(c) * sizeof(T), pages_)),
                                 std::memory_order_relaxed);
            }
        }
    }
    // Room for one more (then push cannot fail).
    void reserve_one() {
        const unsigned c = chunk_of(written_);
        if (c >= kMaxChunks || chunks_[c].load(std::memory_order_relaxed) == nullptr) reserve(written_ + 1);
    }
    // Appends after reserve_one; invisible to readers until published.
    void push(T&& value) noexcept {
        const unsigned c = chunk_of(written_);
        new (chunks_[c].load(std::memory_order_relaxed) + (written_ - chunk_start(c))) T(std::move(value));
        ++written_;
    }
    // Makes every element appended so far visible to readers.
    void publish() noexcept { size_.store(written_, std::memory_order_release); }

    // Calls f(span) for the consecutive runs of elements [from, to).
    template <class F>
    void for_each_span(std::size_t from, std::size_t to, F&& f) const {
        while (from < to) {
            const unsigned c = chunk_of(from);
            const std::size_t first = chunk_start(c), end = std::min(to, chunk_start(c + 1));
            f(std::span<const T>(chunks_[c].load(std::memory_order_relaxed) + (from - first), end - from));
            from = end;
        }
    }

private:
    static constexpr unsigned kFirstBits = 4;
    static constexpr unsigned kMaxChunks = 19;
    // Chunk c covers [16 * (4^c - 1) / 3, 16 * (4^(c+1) - 1) / 3).
    static constexpr std::size_t chunk_start(unsigned c) noexcept {
        return (((std::size_t{1} << (2 * c)) - 1) / 3) << kFirstBits;
    }
    static constexpr std::size_t chunk_length(unsigned c) noexcept { return std::size_t{1} << (2 * c + kFirstBits); }
    static unsigned chunk_of(std::size_t i) noexcept {
        return (static_cast<unsigned>(std::bit_width(((3 * i) >> kFirstBits) + 1)) - 1) / 2;
    }

    std::atomic<T*> chunks_[kMaxChunks] = {};  // read by every lookup, written rarely
    alignas(64) std::atomic<std::size_t> size_{0};  // written by every append
    std::size_t written_ = 0;
    Pages pages_ = Pages::Huge;
};

// Node ids by hash, looked up from any thread without a lock while one
// writer at a time (the caller serialises them) adds entries. The table is
// split by the hash's top bits into 128 shards, each an open-addressing table
// of 4-byte slots like KeyIndex's (the id + 1 in the low bits, low bits of
// the hash above them) that grows on its own: growing moves one shard's
// entries, about n / 128, never all of them. A grown shard's old table stays
// readable, unchanged, until the index goes, so a reader never sees memory
// freed under it; what it finds there is still true, and what it misses it
// misses as if it had looked a moment earlier.
class SharedIdTable {
public:
    SharedIdTable() = default;
    SharedIdTable(const SharedIdTable&) = delete;
    SharedIdTable& operator=(const SharedIdTable&) = delete;
    ~SharedIdTable();

    // The id of an entry with this hash that satisfies `same(id)`.
    template <class Same>
    std::optional<NodeId> find(std::uint64_t hash, Same&& same) const {
        const Table t = table(shards_[shard_of(hash)], std::memory_order_acquire);
        if (t.slots == nullptr) return std::nullopt;
        const std::uint32_t tag = static_cast<std::uint32_t>(hash) & ~t.id_mask;
        for (std::size_t i = t.position(hash);; i = (i + 1) & t.mask) {
            const std::uint32_t s = t.slots[i].load(std::memory_order_acquire);
            if (s == 0) return std::nullopt;
            if ((s & ~t.id_mask) == tag && same(NodeId{s & t.id_mask} - 1)) return NodeId{s & t.id_mask} - 1;
        }
    }
    // Writer: room for an entry with this hash and id `next` (no smaller than
    // any id in the table), so that the insert after it cannot fail.
    // Growing asks `keys.place(id)` for every entry of the shard: a value
    // whose top 32 bits are those of the entry's hash, after
    // `keys.prefetch(id, 0)` and then `keys.prefetch(id, 1)` a few entries
    // ahead (for values not in cache). May throw std::bad_alloc; the table is
    // unchanged then.
    template <class Keys>
    void reserve_one(std::uint64_t hash, NodeId next, const Keys& keys) {
        Shard& shard = shards_[shard_of(hash)];
        const Table t = table(shard, std::memory_order_relaxed);
        const std::size_t count = counts_[shard_of(hash)];
        if (t.slots != nullptr && (count + 1) * 4 <= (t.mask + 1) * 3 && next + 1 <= t.id_mask) return;
        std::size_t size = t.slots == nullptr ? kFirstSlots : t.mask + 1;
        while (size * 3 < (count + 1) * 4) size *= 2;
        grow(shard, size, next, keys);
    }
    // Writer: room for `n` entries in all, spread evenly, with ids below n.
    template <class Keys>
    void reserve(std::size_t n, const Keys& keys) {
        std::size_t want = kFirstSlots;
        while (want * 3 < (n / kShards + n / (4 * kShards) + 1) * 4) want *= 2;
        for (Shard& shard : shards_) {
            const Table t = table(shard, std::memory_order_relaxed);
            if (t.slots == nullptr || t.mask + 1 < want || n > t.id_mask) grow(shard, want, n, keys);
        }
    }
    // Writer: adds an entry (after reserve_one); does not look for an equal one.
    void insert(std::uint64_t hash, NodeId id) noexcept {
        Shard& shard = shards_[shard_of(hash)];
        const Table t = table(shard, std::memory_order_relaxed);
        add(t, hash, (static_cast<std::uint32_t>(hash) & ~t.id_mask) | static_cast<std::uint32_t>(id + 1));
        ++counts_[shard_of(hash)];
    }
    void prefetch(std::uint64_t hash) const noexcept {
        const Table t = table(shards_[shard_of(hash)], std::memory_order_relaxed);
        if (t.slots != nullptr) __builtin_prefetch(&t.slots[t.position(hash)]);
    }

private:
    static constexpr unsigned kShardBits = 7;
    static constexpr std::size_t kShards = std::size_t{1} << kShardBits;
    static constexpr std::size_t kFirstSlots = 16;

    // A shard's table, as one word: the slots' address in the low 52 bits
    // (user addresses are below 2^47), log2 of their number in the next 6,
    // the width of the id field in the top 6. One load gives a reader all
    // of it, from the small array of shards rather than from a header next
    // to each table (those, a power of two apart, would share cache sets).
    struct Table {
        std::atomic<std::uint32_t>* slots;
        std::size_t mask;
        unsigned shift;
        std::uint32_t id_mask;  // the slot bits holding id + 1
        // From the hash's bits below the shard bits.
        std::size_t position(std::uint64_t hash) const noexcept {
            return static_cast<std::size_t>((hash << kShardBits) >> shift);
        }
    };
    static constexpr std::uint64_t kAddressMask = (std::uint64_t{1} << 52) - 1;
    struct Shard {
        std::atomic<std::uint64_t> table{0};
    };
    static Table table(const Shard& shard, std::memory_order order) noexcept {
        const std::uint64_t w = shard.table.load(order);
        const unsigned log_size = static_cast<unsigned>(w >> 52) & 63;
        return Table{reinterpret_cast<std::atomic<std::uint32_t>*>(w & kAddressMask),
                     (std::size_t{1} << log_size) - 1, 64 - log_size, low_bits32(static_cast<unsigned>(w >> 58))};
    }

    static std::size_t shard_of(std::uint64_t hash) noexcept { return static_cast<std::size_t>(hash >> (64 - kShardBits)); }
    static void add(const Table& t, std::uint64_t hash, std::uint32_t slot) noexcept {
        std::size_t i = t.position(hash);
        while (t.slots[i].load(std::memory_order_relaxed) != 0) i = (i + 1) & t.mask;
        // Release: a reader that sees the slot sees what its id names.
        t.slots[i].store(slot, std::memory_order_release);
    }
    // The word of a table of `slots` empty slots for ids up to `max_id`,
    // cut from the blocks below.
    std::uint64_t new_table(std::size_t slots, NodeId max_id);
    template <class Keys>
    void grow(Shard& shard, std::size_t size, NodeId next, const Keys& keys) {
        const Table old = table(shard, std::memory_order_relaxed);
        // Ids grow with the store; room for many more than the shard holds
        // now spares growing again only for them.
        const std::uint64_t word = new_table(size, std::max<NodeId>(4 * next + 4, 2 * kShards * size));
        const Table t = table_of(word);
        if (old.slots != nullptr) {
            // A slot keeps its tag (fewer bits of it when the id field is
            // wider); its place is asked for, loaded a few entries ahead.
            constexpr std::size_t kRing = 2 * kPrefetchAhead;
            std::uint32_t ring[kRing];
            std::size_t pushed = 0, done = 0;
            auto id_of = [&](std::uint32_t s) { return NodeId{s & old.id_mask} - 1; };
            auto step = [&] {
                const std::uint32_t s = ring[done++ % kRing];
                const NodeId id = id_of(s);
                add(t, keys.place(id), (s & ~old.id_mask & ~t.id_mask) | static_cast<std::uint32_t>(id + 1));
            };
            for (std::size_t i = 0; i <= old.mask; ++i) {
                const std::uint32_t s = old.slots[i].load(std::memory_order_relaxed);
                if (s == 0) continue;
                keys.prefetch(id_of(s), 0);
                ring[pushed % kRing] = s;
                if (++pushed > kPrefetchAhead) keys.prefetch(id_of(ring[(pushed - kPrefetchAhead - 1) % kRing]), 1);
                if (pushed - done == kRing) step();
            }
            while (done < pushed) step();
        }
        // Release: a reader that sees the new table sees its slots filled.
        shard.table.store(word, std::memory_order_release);
    }
    static Table table_of(std::uint64_t word) noexcept {
        Shard s;
        s.table.store(word, std::memory_order_relaxed);
        return table(s, std::memory_order_relaxed);
    }

    Shard shards_[kShards];  // read by every lookup, written when a shard grows
    std::size_t counts_[kShards] = {};  // entries per shard, writer only: apart from what readers read
    // Tables, old and new, are cut from blocks that live as long as the
    // index, each as large as all before it together: one block per
    // doubling of the index, and the big ones on huge pages.
    struct Block {
        Block* previous;
        std::size_t bytes;
    };
    Block* blocks_ = nullptr;
    std::size_t block_bytes_ = 0;  // of all blocks
    std::size_t block_left_ = 0;   // at the end of the last
};

inline constexpr const char* kStorePoisoned = "veltrix-core store mutex poisoned";
inline constexpr const char* kStoreBusyAtFork = "veltrix-core store was busy in another thread when the process forked";

// The published nodes of a store, as a read-only sequence (a store's nodes
// live in chunks, not in one array).
class NodeView {
public:
    NodeView(const ChunkedArray<NodeKey>& nodes, std::size_t size) noexcept : nodes_(&nodes), size_(size) {}

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    const NodeKey& operator[](std::size_t i) const noexcept { return (*nodes_)[i]; }

    class iterator {
    public:
        using value_type = NodeKey;
        using difference_type = std::ptrdiff_t;
        using reference = const NodeKey&;
        using pointer = const NodeKey*;
        using iterator_category = std::forward_iterator_tag;
        iterator() = default;
        iterator(const ChunkedArray<NodeKey>* nodes, std::size_t i) noexcept : nodes_(nodes), i_(i) {}
        reference operator*() const noexcept { return (*nodes_)[i_]; }
        pointer operator->() const noexcept { return &(*nodes_)[i_]; }
        iterator& operator++() noexcept {
            ++i_;
            return *this;
        }
        iterator operator++(int) noexcept { return iterator(nodes_, i_++); }
        bool operator==(const iterator& o) const noexcept { return i_ == o.i_; }

    private:
        const ChunkedArray<NodeKey>* nodes_ = nullptr;
        std::size_t i_ = 0;
    };
    iterator begin() const noexcept { return iterator(nodes_, 0); }
    iterator end() const noexcept { return iterator(nodes_, size_); }
    // Calls f(span) for consecutive runs of the nodes [from, size()).
    template <class F>
    void for_each_span(std::size_t from, F&& f) const {
        nodes_->for_each_span(from, size_, f);
    }

private:
    const ChunkedArray<NodeKey>* nodes_;
    std::size_t size_;
};

// The interned graph. Any number of threads may use one store at once.
//
// Readers take no lock: nodes live in a chunked arena that never moves a
// node once it is there, and a published count says how many are complete;
// a reader reads the count, then any node below it. A lookup that finds the
// node it asks for (the common case when a graph is recorded again) reads
// the count, the index and the arena, and writes nothing shared.
//
// Writers (a new node, a mark, the node map) take the store's lock, but only
// for the append itself: the key is hashed, its inputs checked and the key
// built before, outside the lock. Under the lock the writer looks again (a
// thread may have added the same key meanwhile), appends the node, adds it
// to the index and publishes the new count. Ids are thus given out in the
// order in which nodes become visible, one per key whichever thread asks.
// Growing never moves more than a shard of the index and never moves a node,
// so no single add pays for the size of the store.
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
    // Readers see the keys interned by one call all at once.
    struct BatchError {
        std::size_t index;
        BadNodeId error;
    };
    std::optional<BatchError> intern_batch(std::span<NodeKey> keys, std::span<const std::uint64_t> hashes);
    // Interns a list whose keys name their inputs by position in the list
    // (each before its own): as intern would one by one, with every input
    // replaced by the id its key got. Returns those ids; the keys are
    // consumed. An input that is not an earlier position is an internal
    // failure. One hold of the lock; readers see the list's nodes all at once.
    std::vector<NodeId> intern_list(std::span<NodeKey> keys);
    // Makes room for `n` nodes in all (a hint; never needed for correctness).
    void reserve(std::size_t n);

    std::vector<NodeId> outputs() const;
    std::size_t node_count() const;
    Snapshot snapshot() const;
    std::vector<NodeKey> nodes_copy() const;
    // Borrowed views of the nodes (NodeKey::borrow): valid while this store
    // lives, and much cheaper than copies.
    LargeVector<NodeKey> nodes_borrowed() const;
    // Copies of the nodes with ids from `from` on.
    std::vector<NodeKey> snapshot_from(NodeId from) const;
    std::vector<NodeMapEntry> node_map() const;
    // Installs the node map of a store built from a reduction.
    void set_node_map(std::vector<NodeMapEntry> map);

    // Runs `f(nodes, outputs)` on one consistent state of the store: the
    // nodes published at one moment (a NodeView) and the outputs marked by
    // then (a span). Takes no lock, so writers go on meanwhile and `f` sees
    // none of their nodes. `f` must not call out of the core.
    template <class F>
    decltype(auto) read_locked(F&& f) const {
        std::vector<NodeId> outputs;
        const std::size_t n = consistent_counts(outputs);
        return f(NodeView(nodes_, n), std::span<const NodeId>(outputs));
    }

private:
    // The published node count, and in `outputs` the outputs marked when
    // that count was published.
    std::size_t consistent_counts(std::vector<NodeId>& outputs) const;
    // Without the lock: the published node below `published` with this hash
    // that satisfies `same(id)`. The calling thread's guess is tried first.
    template <class Same>
    std::optional<NodeId> find_published(std::uint64_t hash, std::size_t published, Same&& same) const;
    // What is known of a new key's head: it is an earlier node's, or no
    // earlier node (below a count) has an equal one, or neither is known yet.
    enum class Head { Shared, New, Unknown };
    // With the lock held: appends a key that is not in the store yet, after
    // make_room. An Unknown head is looked up first and shared when an
    // earlier node has an equal one. Readers see the node once published.
    NodeId append(NodeKey&& key, std::uint64_t hash, Head head);
    void make_room(std::uint64_t hash);
    // With the lock held: adds `key`, which the lookups before the lock did
    // not find among the nodes below `published` (nor, when `head` is New,
    // its head), unless a node that came in since is equal to it (`same`).
    template <class Same>
    NodeId add_new(NodeKey&& key, std::uint64_t hash, std::size_t published, Same&& same, Head head);

    alignas(64) PoisonLock lock_{kStorePoisoned, kStoreBusyAtFork};  // writers only, on a line of its own
    alignas(64) ChunkedArray<NodeKey> nodes_;
    // The top 32 bits of each node's hash (writer only): what places it when
    // its shard of the index grows, without reading its key. On small pages:
    // at 4 bytes a node, every 2^19 appends would otherwise start a huge
    // page, and the append that touches it first would wait for it.
    ChunkedArray<std::uint32_t> places_{Pages::Small};
    ChunkedArray<NodeId> outputs_;
    std::vector<NodeMapEntry> node_map_;  // under the lock
    SharedIdTable index_;
    // One node per distinct head (the key without its inputs): new keys
    // share the head of an equal earlier one.
    SharedIdTable heads_;
};

}  // namespace veltrix
