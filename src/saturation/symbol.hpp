// Interned symbols: process-wide, thread-safe, never shrinking.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace veltrix::sat {

// A 32-bit handle for an interned text. Equal texts give equal symbols, and
// the text behind a symbol stays valid until the process exits.
class Symbol {
public:
    Symbol() = default;

    static Symbol intern(std::string_view text);
    // The same, for a caller that already has text_hash(text).
    static Symbol intern(std::string_view text, std::uint64_t hash);
    // Atom `number` (below kAtomCount): a symbol without a text, for a
    // caller that numbers the distinct texts of one piece of work itself
    // and needs no process-wide identity for them. Atoms are equal exactly
    // when their numbers are, and unequal to every interned symbol.
    static constexpr std::uint32_t kAtomCount = 0x80000000u;
    static Symbol atom(std::uint32_t number) noexcept { return from_index(kAtomCount | number); }
    bool is_atom() const noexcept { return (index_ & kAtomCount) != 0; }
    // The interned text; an internal failure for an atom.
    std::string_view text() const;

    std::uint32_t index() const noexcept { return index_; }
    static Symbol from_index(std::uint32_t index) noexcept {
        Symbol s;
        s.index_ = index;
        return s;
    }

    friend bool operator==(Symbol a, Symbol b) noexcept { return a.index_ == b.index_; }
    friend auto operator<=>(Symbol a, Symbol b) noexcept { return a.index_ <=> b.index_; }

private:
    std::uint32_t index_ = 0;
};

// The hash the symbol table uses for texts; deterministic within a process.
std::uint64_t text_hash(std::string_view s) noexcept;

// Number of distinct texts interned so far (all shards).
std::uint64_t interned_symbol_count();

}  // namespace veltrix::sat

template <>
struct std::hash<veltrix::sat::Symbol> {
    std::size_t operator()(veltrix::sat::Symbol s) const noexcept {
        return static_cast<std::size_t>(s.index()) * 0x9e3779b97f4a7c15ULL;
    }
};
