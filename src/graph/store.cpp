#include "graph/store.hpp"

#include <pthread.h>
#include <sched.h>

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

// Large blocks are mapped directly on Linux, except under AddressSanitizer,
// which checks bounds and leaks only of blocks that come from malloc.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELTRIX_MALLOC_LARGE_BLOCKS 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || !defined(__linux__)
#define VELTRIX_MALLOC_LARGE_BLOCKS 1
#endif

namespace veltrix {

// ---------------------------------------------------------------------------
// Large blocks

namespace {
constexpr std::size_t kHugePage = kLargeBlock;

// Blocks freed on this thread while a LargeBlockReuse scope is open: kept
// for the scope's later large requests, freed when the outermost scope
// closes.
struct ReusedBlocks {
    static constexpr std::size_t kMax = 32;
    struct Block {
        void* p;
        std::size_t bytes;
    };
    unsigned depth = 0;
    std::size_t count = 0;
    Block blocks[kMax] = {};
};
thread_local ReusedBlocks reused;

std::size_t huge_rounded(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

// Large blocks are mapped directly rather than taken from malloc: freeing
// one would otherwise raise malloc's own threshold for mapping, after which
// later blocks come from its heap, mixed with small allocations, on small
// pages, and the heap can only grow.
void* map_block(std::size_t rounded, Pages pages) {
    (void)pages;  // only advice, where the system takes it
#if !defined(VELTRIX_MALLOC_LARGE_BLOCKS)
    // Mapped one huge page larger than asked and trimmed to a huge-page
    // boundary at both ends.
    const std::size_t length = rounded + kHugePage;
    void* raw = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~(std::uintptr_t{kHugePage} - 1);
    if (aligned != start) (void)munmap(raw, aligned - start);
    const std::uintptr_t end = aligned + rounded;
    if (start + length != end) (void)munmap(reinterpret_cast<void*>(end), start + length - end);
    void* p = reinterpret_cast<void*>(aligned);
#else
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (p == nullptr) throw std::bad_alloc();
#endif
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Only advice: without transparent huge pages the block works the same.
    if (pages == Pages::Huge) (void)madvise(p, rounded, MADV_HUGEPAGE);
#endif
    return p;
}

void unmap_block(void* p, std::size_t rounded) noexcept {
#if !defined(VELTRIX_MALLOC_LARGE_BLOCKS)
    (void)munmap(p, rounded);
#else
    (void)rounded;
    std::free(p);
#endif
}
}  // namespace

LargeBlockReuse::LargeBlockReuse() noexcept { ++reused.depth; }

LargeBlockReuse::~LargeBlockReuse() {
    if (--reused.depth != 0) return;
    for (std::size_t i = 0; i < reused.count; ++i) unmap_block(reused.blocks[i].p, reused.blocks[i].bytes);
    reused.count = 0;
}

// ---------------------------------------------------------------------------
// PoisonLock

std::atomic<std::uint32_t> detail::fork_generation{0};

namespace {
std::atomic<LockWaiter> lock_waiter{nullptr};

[[maybe_unused]] const int fork_handler_registered = pthread_atfork(
    nullptr, nullptr, [] { detail::fork_generation.fetch_add(1, std::memory_order_relaxed); });

void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
#if defined(__linux__)
    (void)syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
#else
    word.wait(expected, std::memory_order_relaxed);
#endif
}
}  // namespace

void set_lock_waiter(LockWaiter waiter) noexcept { lock_waiter.store(waiter, std::memory_order_release); }

void PoisonLock::acquire_slow(std::uint32_t mode) const {
    // A holder keeps the lock for the length of one append; for a page
    // fault or a shard of the index growing, tens of microseconds; or for one
    // long operation. Spinning covers the first two: putting a waiter to
    // sleep and waking it costs both threads more than such a wait. Now and
    // then the spinner offers its core, in case the holder is waiting for
    // one. Waiting (detached, for a Python thread) covers the third.
    constexpr int kSpins = 2048, kYieldEvery = 64;
    for (;;) {
        for (int spin = 0; spin < kSpins; ++spin) {
            std::uint32_t w = word_.load(std::memory_order_relaxed);
            if (w & kPoisoned) panic(message_);
            if (w & kBusy) throw ForkedWhileBusy(busy_message_);
            if ((w & kHeld) == 0) {
                if (word_.compare_exchange_weak(w, held_word(w, mode), std::memory_order_acquire,
                                                std::memory_order_relaxed)) {
                    return;
                }
                continue;
            }
            if (orphaned(w)) {
                // Its holder stayed behind in the parent. A reader left the
                // object as it was; a writer may have left it half changed.
                const std::uint32_t free = w & ~(kHeld | kReading | kWaiters);
                word_.compare_exchange_strong(w, (w & kReading) ? free : free | kBusy, std::memory_order_relaxed);
                continue;
            }
            if ((spin + 1) % kYieldEvery == 0) sched_yield();
            else cpu_relax();
        }
        if (LockWaiter waiter = lock_waiter.load(std::memory_order_acquire)) waiter(&PoisonLock::wait_until_free, this);
        else wait_until_free(this);
    }
}

void PoisonLock::wait_until_free(const void* lock) noexcept {
    const auto& self = *static_cast<const PoisonLock*>(lock);
    for (;;) {
        std::uint32_t w = self.word_.load(std::memory_order_relaxed);
        if ((w & kHeld) == 0 || orphaned(w)) return;
        if ((w & kWaiters) == 0) {
            if (!self.word_.compare_exchange_weak(w, w | kWaiters, std::memory_order_relaxed)) continue;
            w |= kWaiters;
        }
        futex_wait(self.word_, w);
    }
}

void PoisonLock::wake_all() const noexcept {
    // Every waiter wakes and tries again: one that finds the lock taken
    // sets kWaiters once more before it sleeps.
#if defined(__linux__)
    (void)syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word_), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
#else
    word_.notify_all();
#endif
}

void* allocate_large(std::size_t bytes, Pages pages) {
    if (bytes < kHugePage) return ::operator new(bytes);
    const std::size_t rounded = huge_rounded(bytes);
    // The smallest kept block that is big enough.
    std::size_t best = reused.count;
    for (std::size_t i = 0; i < reused.count; ++i) {
        const std::size_t have = reused.blocks[i].bytes;
        if (have >= rounded && (best == reused.count || have < reused.blocks[best].bytes)) best = i;
    }
    if (best != reused.count) {
        const ReusedBlocks::Block block = reused.blocks[best];
        reused.blocks[best] = reused.blocks[--reused.count];
#if !defined(VELTRIX_MALLOC_LARGE_BLOCKS)
        // The new owner frees only the size it asked for, so the rest of a
        // bigger block is split off: kept for a later request, or unmapped.
        // (A block from malloc goes back whole, whatever size is freed.)
        if (block.bytes > rounded) {
            void* rest = static_cast<char*>(block.p) + rounded;
            if (reused.count < ReusedBlocks::kMax) {
                reused.blocks[reused.count++] = {rest, block.bytes - rounded};
            } else {
                unmap_block(rest, block.bytes - rounded);
            }
        }
#endif
        return block.p;
    }
    return map_block(rounded, pages);
}

void free_large(void* p, std::size_t bytes) noexcept {
    if (bytes < kHugePage) {
        ::operator delete(p);
    } else if (reused.depth != 0 && reused.count < ReusedBlocks::kMax) {
        reused.blocks[reused.count++] = {p, huge_rounded(bytes)};
    } else {
        unmap_block(p, huge_rounded(bytes));
    }
}

// ---------------------------------------------------------------------------
// SharedIdTable

SharedIdTable::~SharedIdTable() {
    for (Block* b = blocks_; b != nullptr;) {
        Block* previous = b->previous;
        free_large(b, b->bytes);
        b = previous;
    }
}

std::uint64_t SharedIdTable::new_table(std::size_t slots, NodeId max_id) {
    if (max_id >= KeyIndex::kMaxEntries) max_id = KeyIndex::kMaxEntries - 1;
    const std::size_t bytes = (slots * sizeof(std::atomic<std::uint32_t>) + 63) & ~std::size_t{63};
    if (bytes > block_left_) {
        const std::size_t size = std::max(bytes + 64, std::max<std::size_t>(block_bytes_, 4096));
        auto* block = new (allocate_large(size)) Block{blocks_, size};
        blocks_ = block;
        block_bytes_ += size;
        block_left_ = size - 64;  // the header, padded to a line
    }
    char* at = reinterpret_cast<char*>(blocks_) + (blocks_->bytes - block_left_);
    block_left_ -= bytes;
    auto* first = reinterpret_cast<std::atomic<std::uint32_t>*>(at);
    for (std::size_t i = 0; i < slots; ++i) new (&first[i]) std::atomic<std::uint32_t>(0);
    const auto address = reinterpret_cast<std::uintptr_t>(first);
    if (address > kAddressMask) panic("an address above 2^52");
    const auto id_bits = static_cast<std::uint64_t>(std::bit_width(max_id + 1));
    return address | (static_cast<std::uint64_t>(std::countr_zero(slots)) << 52) | (id_bits << 58);
}

// ---------------------------------------------------------------------------
// GraphStore

namespace {
// The id after the node this thread last found or added, and the store it
// was in. Recording the same stretch of a graph again asks for its nodes in
// their order, so the keys from this one on are compared first (a few of
// them: threads that recorded at once have their nodes interleaved) and the
// index, whose slot is a cache miss in a large store, is asked only on a
// mismatch. Any value is safe: it is only a guess, checked against the
// published count. Per thread, so that threads replaying different
// stretches do not share a written line.
struct Guess {
    const void* store = nullptr;
    NodeId next = 0;
};
thread_local Guess guess __attribute__((tls_model("initial-exec")));

// What places a node when a shard grows: in the index, the bits kept for
// it; in the head table, its head's hash (its key, then its head, loaded
// ahead).
struct KeyPlaces {
    const ChunkedArray<std::uint32_t>& places;
    std::uint64_t place(NodeId id) const noexcept { return std::uint64_t{places[id]} << 32; }
    void prefetch(NodeId id, int stage) const noexcept {
        if (stage == 0) __builtin_prefetch(&places[id]);
    }
};
struct HeadPlaces {
    const ChunkedArray<NodeKey>& nodes;
    std::uint64_t place(NodeId id) const noexcept { return nodes[id].head_hash(); }
    void prefetch(NodeId id, int stage) const noexcept {
        if (stage == 0) __builtin_prefetch(&nodes[id]);
        else nodes[id].prefetch_head();
    }
};
}  // namespace

template <class Same>
std::optional<NodeId> GraphStore::find_published(std::uint64_t hash, std::size_t published, Same&& same) const {
    Guess& g = guess;
    if (g.store == this) {
        constexpr NodeId kGuesses = 4;
        for (NodeId id = g.next; id < published && id < g.next + kGuesses; ++id) {
            if (same(id)) {
                g.next = id + 1;
                return id;
            }
        }
    }
    // An id at or past `published` names a node of a batch that is not
    // published yet: not there for this lookup.
    auto found = index_.find(hash, [&](NodeId id) { return id < published && same(id); });
    if (found) g = Guess{this, *found + 1};
    return found;
}

void GraphStore::make_room(std::uint64_t hash) {
    // Room everywhere first, so that an allocation failure leaves the store as it was.
    const NodeId n = nodes_.written();
    if (n + 1 >= KeyIndex::kMaxEntries) panic("a store holds fewer than 2^32 - 1 nodes");
    nodes_.reserve_one();
    places_.reserve_one();
    index_.reserve_one(hash, n, KeyPlaces{places_});
}

NodeId GraphStore::append(NodeKey&& key, std::uint64_t hash, Head head) {
    const NodeId n = nodes_.written();
    const std::uint64_t head_hash = key.head_hash();
    if (head == Head::Unknown) {
        auto same_head = heads_.find(head_hash, [&](NodeId id) { return nodes_[id].equal_except_inputs(key); });
        if (same_head) key.share_head(nodes_[*same_head]);
        head = same_head ? Head::Shared : Head::New;
    }
    if (head == Head::New) heads_.reserve_one(head_hash, n, HeadPlaces{nodes_});
    nodes_.push(std::move(key));
    places_.push(static_cast<std::uint32_t>(hash >> 32));
    if (head == Head::New) heads_.insert(head_hash, n);
    index_.insert(hash, n);
    guess = Guess{this, n + 1};
    return n;
}

template <class Same>
NodeId GraphStore::add_new(NodeKey&& key, std::uint64_t hash, std::size_t published, Same&& same, Head head) {
    const std::size_t n = nodes_.written();
    // The lookups before the lock saw every node below `published`; only
    // nodes that came in since can change their answers. A few are compared
    // directly (just written, likely still in cache; the index slot would be
    // one more miss under the lock), more through the index.
    constexpr std::size_t kCompared = 8;
    if (n - published <= kCompared) {
        const auto top = static_cast<std::uint32_t>(hash >> 32);
        for (NodeId id = published; id < n; ++id) {
            if (places_[id] == top && same(id)) return id;
            if (head == Head::New && nodes_[id].equal_except_inputs(key)) {
                key.share_head(nodes_[id]);
                head = Head::Shared;
            }
        }
    } else {
        if (auto found = index_.find(hash, same)) return *found;
        if (head == Head::New) head = Head::Unknown;
    }
    make_room(hash);
    const NodeId id = append(std::move(key), hash, head);
    nodes_.publish();
    return id;
}

Result<NodeId, BadNodeId> GraphStore::intern(NodeKey key) {
    const std::uint64_t hash = key.hash();  // outside the lock: the key is ours
    lock_.check();
    const std::size_t published = nodes_.size();
    for (NodeId input : key.inputs()) {
        if (input >= published) return BadNodeId{input};
    }
    auto same = [&](NodeId id) { return nodes_[id] == key; };
    if (auto found = find_published(hash, published, same)) return *found;
    return lock_.run([&] { return add_new(std::move(key), hash, published, same, Head::Unknown); });
}

Result<NodeId, BadNodeId> GraphStore::intern_basic(NodeKind kind, std::string_view name, ParamRefs params,
                                                   std::span<const NodeId> inputs) {
    if (kind == NodeKind::Source) inputs = {};
    const std::uint64_t head_hash = NodeKey::basic_head_hash(kind, name, params);
    const std::uint64_t hash = NodeKey::hash_with_inputs(head_hash, inputs);
    lock_.check();
    const std::size_t published = nodes_.size();
    for (NodeId input : inputs) {
        if (input >= published) return BadNodeId{input};
    }
    auto same = [&](NodeId id) { return nodes_[id].equals_basic(kind, name, params, inputs); };
    if (auto found = find_published(hash, published, same)) return *found;
    // New as far as this thread can tell. The key is built before the lock,
    // with the head of an earlier node that has the same one when there is.
    auto same_head = [&](NodeId id) { return id < published && nodes_[id].head_equals_basic(kind, name, params); };
    const std::optional<NodeId> shared_head = heads_.find(head_hash, same_head);
    NodeKey key = shared_head ? nodes_[*shared_head].with_input_list_lent(inputs)
                              : NodeKey::basic(kind, std::string(name), ParamMap::from_refs(params), inputs, head_hash);
    return lock_.run(
        [&] { return add_new(std::move(key), hash, published, same, shared_head ? Head::Shared : Head::New); });
}

namespace {
// Publishes a batch's appended nodes when it ends, also by an exception.
struct PublishOnExit {
    ChunkedArray<NodeKey>& nodes;
    ~PublishOnExit() { nodes.publish(); }
};
}  // namespace

std::optional<GraphStore::BatchError> GraphStore::intern_batch(std::span<NodeKey> keys,
                                                              std::span<const std::uint64_t> hashes) {
    if (hashes.size() != keys.size()) panic("intern_batch: one hash per key");
    return lock_.run([&]() -> std::optional<BatchError> {
        const PublishOnExit publish{nodes_};
        // Lookups miss the cache at random: start each a few keys early.
        for (std::size_t i = 0; i < std::min(kPrefetchAhead, keys.size()); ++i) index_.prefetch(hashes[i]);
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (i + kPrefetchAhead < keys.size()) index_.prefetch(hashes[i + kPrefetchAhead]);
            NodeKey& key = keys[i];
            const NodeId n = nodes_.written();
            for (NodeId input : key.inputs()) {
                if (input >= n) return BatchError{i, BadNodeId{input}};
            }
            if (index_.find(hashes[i], [&](NodeId id) { return nodes_[id] == key; })) continue;
            make_room(hashes[i]);
            append(std::move(key), hashes[i], Head::Unknown);
        }
        return std::nullopt;
    });
}

std::vector<NodeId> GraphStore::intern_list(std::span<NodeKey> keys) {
    std::vector<NodeId> ids(keys.size());
    lock_.run([&] {
        const PublishOnExit publish{nodes_};
        // Every lookup misses the cache at random. While key i is interned,
        // the head of key i + 2 * kPrefetchAhead is loaded, and so are the
        // table slots of key i + kPrefetchAhead, found from its hash computed
        // as if no key in between were a duplicate (only a guess: a wrong
        // one costs a miss).
        std::vector<NodeId> inputs;
        auto prefetch_slots = [&](std::size_t j, std::size_t done) {
            const NodeKey& key = keys[j];
            inputs.clear();
            for (NodeId x : key.inputs()) inputs.push_back(x < done ? ids[x] : nodes_.written() + (x - done));
            index_.prefetch(NodeKey::hash_with_inputs(key.head_hash(), inputs));
            heads_.prefetch(key.head_hash());
        };
        for (std::size_t j = 0; j < std::min(2 * kPrefetchAhead, keys.size()); ++j) keys[j].prefetch_head();
        for (std::size_t j = 0; j < std::min(kPrefetchAhead, keys.size()); ++j) prefetch_slots(j, 0);
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (i + 2 * kPrefetchAhead < keys.size()) keys[i + 2 * kPrefetchAhead].prefetch_head();
            if (i + kPrefetchAhead < keys.size()) prefetch_slots(i + kPrefetchAhead, i);
            NodeKey& key = keys[i];
            const std::span<const NodeId> old_inputs = key.inputs();
            inputs.clear();
            for (NodeId x : old_inputs) {
                if (x >= i) panic("intern_list: every input names an earlier key");
                inputs.push_back(ids[x]);
            }
            const std::uint64_t hash = NodeKey::hash_with_inputs(key.head_hash(), inputs);
            auto found = index_.find(hash, [&](NodeId id) {
                const NodeKey& other = nodes_[id];
                const auto theirs = other.inputs();
                return std::equal(theirs.begin(), theirs.end(), inputs.begin(), inputs.end()) &&
                       other.equal_except_inputs(key);
            });
            if (found) {
                ids[i] = *found;
                continue;
            }
            make_room(hash);
            const bool same = std::equal(inputs.begin(), inputs.end(), old_inputs.begin(), old_inputs.end());
            NodeKey mapped = same ? std::move(key) : key.with_input_list(inputs);
            ids[i] = append(std::move(mapped), hash, Head::Unknown);
        }
    });
    return ids;
}

void GraphStore::reserve(std::size_t n) {
    lock_.run([&] {
        if (n >= KeyIndex::kMaxEntries) panic("a store holds fewer than 2^32 - 1 nodes");
        nodes_.reserve(n);
        places_.reserve(n);
        index_.reserve(n, KeyPlaces{places_});
    });
}

std::optional<BadNodeId> GraphStore::mark_output(NodeId id) {
    return lock_.run([&]() -> std::optional<BadNodeId> {
        if (id >= nodes_.written()) return BadNodeId{id};
        for (std::size_t i = 0; i < outputs_.written(); ++i) {
            if (outputs_[i] == id) return std::nullopt;
        }
        outputs_.reserve_one();
        outputs_.push(NodeId{id});
        outputs_.publish();
        return std::nullopt;
    });
}

std::size_t GraphStore::consistent_counts(std::vector<NodeId>& outputs) const {
    lock_.check();
    for (;;) {
        // Outputs name nodes published before them, so every output read
        // first is below the node count read after. Unless an output came in
        // meanwhile, the outputs read first are also all that were marked
        // when the node count was read.
        const std::size_t marked = outputs_.size();
        const std::size_t n = nodes_.size();
        if (outputs_.size() != marked) continue;
        outputs.clear();
        outputs.reserve(marked);
        outputs_.for_each_span(0, marked, [&](std::span<const NodeId> ids) { outputs.insert(outputs.end(), ids.begin(), ids.end()); });
        return n;
    }
}

std::vector<NodeId> GraphStore::outputs() const {
    lock_.check();
    std::vector<NodeId> out;
    const std::size_t marked = outputs_.size();
    out.reserve(marked);
    outputs_.for_each_span(0, marked, [&](std::span<const NodeId> ids) { out.insert(out.end(), ids.begin(), ids.end()); });
    return out;
}

std::size_t GraphStore::node_count() const {
    lock_.check();
    return nodes_.size();
}

Snapshot GraphStore::snapshot() const {
    Snapshot snap;
    const std::size_t n = consistent_counts(snap.outputs);
    snap.nodes.reserve(n);
    nodes_.for_each_span(0, n, [&](std::span<const NodeKey> keys) { snap.nodes.insert(snap.nodes.end(), keys.begin(), keys.end()); });
    return snap;
}

std::vector<NodeKey> GraphStore::nodes_copy() const { return snapshot_from(0); }

LargeVector<NodeKey> GraphStore::nodes_borrowed() const {
    lock_.check();
    const std::size_t n = nodes_.size();
    LargeVector<NodeKey> out;
    out.reserve(n);
    nodes_.for_each_span(0, n, [&](std::span<const NodeKey> keys) {
        for (const NodeKey& key : keys) out.push_back(NodeKey::borrow(key));
    });
    return out;
}

std::vector<NodeKey> GraphStore::snapshot_from(NodeId from) const {
    lock_.check();
    const std::size_t n = nodes_.size();
    const std::size_t start = static_cast<std::size_t>(std::min<NodeId>(from, n));
    std::vector<NodeKey> out;
    out.reserve(n - start);
    nodes_.for_each_span(start, n, [&](std::span<const NodeKey> keys) { out.insert(out.end(), keys.begin(), keys.end()); });
    return out;
}

std::vector<NodeMapEntry> GraphStore::node_map() const {
    return lock_.run_reading([&] { return node_map_; });
}

void GraphStore::set_node_map(std::vector<NodeMapEntry> map) {
    lock_.run([&] { node_map_ = std::move(map); });
}

}  // namespace veltrix
