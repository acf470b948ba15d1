#include "saturation/symbol.hpp"

#include <array>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

#include "graph/support.hpp"

namespace veltrix::sat {
namespace {

// A symbol's index is (position within its shard) * 16 + shard number, so
// each shard hands out indices without talking to the others.
constexpr std::uint32_t kShardBits = 4;
constexpr std::uint32_t kShardCount = 1u << kShardBits;
constexpr std::uint64_t kPerShardCapacity = std::uint64_t{1} << (32 - kShardBits);


struct TextHash {
    std::size_t operator()(std::string_view s) const noexcept { return text_hash(s); }
};

struct Shard {
    std::mutex lock;
    // Owns the texts. A deque never relocates its elements, so the views
    // used as map keys and handed out by Symbol::text stay valid forever.
    std::deque<std::string> texts;
    std::unordered_map<std::string_view, std::uint32_t, TextHash> by_text;
};

std::array<Shard, kShardCount>& shards() {
    // Deliberately leaked: symbols must stay readable during static
    // destruction of other objects.
    static auto* table = new std::array<Shard, kShardCount>();
    return *table;
}

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

Symbol Symbol::intern(std::string_view text) {
    const std::uint64_t h = text_hash(text);
    const std::uint32_t shard_no = static_cast<std::uint32_t>(h >> 60);
    Shard& shard = shards()[shard_no];
    std::lock_guard<std::mutex> guard(shard.lock);
    if (auto it = shard.by_text.find(text); it != shard.by_text.end()) {
        return from_index(it->second);
    }
    const std::uint64_t local = shard.texts.size();
    if (local >= kPerShardCapacity) {
        panic("symbol table is full at index " + std::to_string((local << kShardBits) | shard_no));
    }
    const std::string& stored = shard.texts.emplace_back(text);
    const auto index = static_cast<std::uint32_t>((local << kShardBits) | shard_no);
    shard.by_text.emplace(std::string_view(stored), index);
    return from_index(index);
}

std::string_view Symbol::text() const {
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
