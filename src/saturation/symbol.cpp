#include "saturation/symbol.hpp"

#include <pthread.h>

#include <array>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "graph/hash_table.hpp"
#include "graph/support.hpp"

namespace veltrix::sat {
namespace {

// A symbol's index is (position within its shard) * 16 + shard number, so
// each shard hands out indices without talking to the others. Interned
// indices stay below Symbol::kAtomCount; the upper half is the atoms'.
constexpr std::uint32_t kShardBits = 4;
constexpr std::uint32_t kShardCount = 1u << kShardBits;
constexpr std::uint64_t kPerShardCapacity = std::uint64_t{Symbol::kAtomCount} >> kShardBits;


struct Shard {
    std::mutex lock;
    // Owns the texts. A deque never relocates its elements, so the views
    // handed out by Symbol::text stay valid forever.
    std::deque<std::string> texts;
    // Open addressing over the texts: each slot holds a text's full hash
    // and its position + 1 (0 = empty), so a probe compares texts only when
    // the hashes agree. At most half full.
    struct HalfFull {
        static constexpr std::size_t kMinSlots = 64, kLoadNum = 1, kLoadDen = 2;
    };
    using Slots = TagIdSlots<std::uint64_t, 8, HalfFull>;
    OpenTable<Slots> index;
};

std::array<Shard, kShardCount>& shards() {
    // Deliberately leaked: symbols must stay readable during static
    // destruction of other objects.
    static auto* table = new std::array<Shard, kShardCount>();
    return *table;
}

// A fork while another thread holds a shard's lock would leave that lock
// held in the child, by a thread the child does not have. The fork waits
// for every shard instead (each is held for one lookup, which waits on
// nothing), and both processes let go after it.
void lock_all_shards() {
    for (Shard& shard : shards()) shard.lock.lock();
}
void unlock_all_shards() {
    for (Shard& shard : shards()) shard.lock.unlock();
}
[[maybe_unused]] const int fork_handlers_registered = pthread_atfork(lock_all_shards, unlock_all_shards, unlock_all_shards);

}  // namespace

std::uint64_t text_hash(std::string_view s) noexcept {
    // FNV-1a over 8-byte words, then a final avalanche. Deterministic, so a
    // text always lands in the same shard.
    std::uint64_t h = 0xcbf29ce484222325ULL ^ s.size();
    const char* p = s.data();
    std::size_t n = s.size();
    while (n >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 0x100000001b3ULL;
        h ^= h >> 29;
        p += 8;
        n -= 8;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, p, n);
    return mix64((h ^ tail) * 0x100000001b3ULL);
}

Symbol Symbol::intern(std::string_view text) { return intern(text, text_hash(text)); }

Symbol Symbol::intern(std::string_view text, std::uint64_t hash) {
    const std::uint32_t shard_no = static_cast<std::uint32_t>(hash >> 60);
    Shard& shard = shards()[shard_no];
    std::lock_guard<std::mutex> guard(shard.lock);
    shard.index.reserve_one();
    auto& slot = shard.index.slot_for(hash, [&](std::uint64_t local) { return shard.texts[local] == text; });
    auto index_of = [&](std::uint64_t local) { return (local << kShardBits) | shard_no; };
    if (!shard.index.empty(slot)) return from_index(static_cast<std::uint32_t>(index_of(shard.index.id(slot))));
    const std::uint64_t local = shard.texts.size();
    if (local >= kPerShardCapacity) panic("symbol table is full at index " + std::to_string(index_of(local)));
    shard.texts.emplace_back(text);
    shard.index.fill(slot, hash, local);
    return from_index(static_cast<std::uint32_t>(index_of(local)));
}

std::string_view Symbol::text() const {
    if (is_atom()) panic("symbol " + std::to_string(index_) + " is an atom and has no text");
    Shard& shard = shards()[index_ & (kShardCount - 1)];
    const std::uint32_t local = index_ >> kShardBits;
    std::lock_guard<std::mutex> guard(shard.lock);
    if (local >= shard.texts.size()) {
        panic("no symbol with index " + std::to_string(index_));
    }
    return shard.texts[local];
}

std::uint64_t interned_symbol_count() {
    std::uint64_t total = 0;
    for (Shard& shard : shards()) {
        std::lock_guard<std::mutex> guard(shard.lock);
        total += shard.texts.size();
    }
    return total;
}

}  // namespace veltrix::sat
