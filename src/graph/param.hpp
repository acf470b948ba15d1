// Parameter values and parameter maps, with their token and display forms.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "graph/support.hpp"

namespace veltrix {

enum class ParamTag : std::uint8_t { Int = 0, Float = 1, Bool = 2, Str = 3 };

inline constexpr std::uint64_t kCanonicalNan = 0x7FF8000000000000ULL;

// Bit pattern used for comparing, hashing and tokenising a float: every NaN
// becomes the canonical quiet NaN, everything else keeps its 64 bits.
std::uint64_t canonical_bits(double v) noexcept;
double float_from_bits(std::uint64_t bits) noexcept;

class ParamValue {
public:
    static ParamValue Int(std::int64_t v) { return ParamValue(std::in_place_index<0>, v); }
    static ParamValue Float(double v) { return ParamValue(std::in_place_index<1>, v); }
    static ParamValue Bool(bool v) { return ParamValue(std::in_place_index<2>, v); }
    static ParamValue Str(std::string v) { return ParamValue(std::in_place_index<3>, std::move(v)); }

    ParamTag tag() const noexcept { return static_cast<ParamTag>(v_.index()); }
    std::int64_t as_int() const { return std::get<0>(v_); }
    double as_float() const { return std::get<1>(v_); }  // stored bits, payload kept
    bool as_bool() const { return std::get<2>(v_); }
    const std::string& as_str() const { return std::get<3>(v_); }

    bool operator==(const ParamValue& other) const noexcept;
    void hash_into(Hasher& h) const noexcept;

    // "i42", "f3ff0000000000000", "btrue", "sa%3Bb".
    void append_token(std::string& out) const;
    std::string token() const;
    // Human-readable form used inside labels.
    void append_display(std::string& out) const;

private:
    using Storage = std::variant<std::int64_t, double, bool, std::string>;
    // The value is built in place: no temporary variant to move from.
    template <std::size_t I, class T>
    ParamValue(std::in_place_index_t<I> index, T&& v) : v_(index, std::forward<T>(v)) {}
    Storage v_;
};

struct ParamEntry {
    std::string key;
    ParamValue value;
    bool operator==(const ParamEntry& o) const noexcept { return key == o.key && value == o.value; }
};

// One parameter borrowed from its owner: what a ParamEntry holds, as views.
// Lets a caller look a key up without building its ParamMap.
struct ParamRef {
    std::string_view key;
    ParamTag tag = ParamTag::Int;
    std::uint64_t bits = 0;  // Int: the value; Float: the stored bits; Bool: 0 or 1
    std::string_view str;    // Str: the text

    static ParamRef of(const ParamEntry& e) noexcept;
    ParamValue value() const;
    // Same equality and hash as ParamEntry's.
    bool operator==(const ParamRef& o) const noexcept;
    void hash_into(Hasher& h) const noexcept;
};

// Borrowed parameters in ParamMap order (see sort_params).
using ParamRefs = std::span<const ParamRef>;

// A node's parameters: entries stably sorted by key bytes. Equal keys are
// kept in the order given.
class ParamMap {
public:
    ParamMap() = default;
    static ParamMap make(std::vector<ParamEntry> entries);
    static ParamMap from_refs(ParamRefs refs);
    // Sorts borrowed parameters into the order make() gives the same entries.
    static void sort_refs(std::span<ParamRef> refs) noexcept;

    const std::vector<ParamEntry>& entries() const noexcept { return entries_; }
    bool empty() const noexcept { return entries_.empty(); }
    std::size_t size() const noexcept { return entries_.size(); }

    bool operator==(const ParamMap& o) const noexcept { return entries_ == o.entries_; }
    bool operator==(ParamRefs refs) const noexcept;
    void hash_into(Hasher& h) const noexcept;
    static void hash_refs_into(Hasher& h, ParamRefs refs) noexcept;

    // "{scalar=1, side=\"r\"}"
    void append_display(std::string& out) const;

private:
    std::vector<ParamEntry> entries_;
};

std::string escape_token(std::string_view text);
void append_escaped(std::string& out, std::string_view text);
std::string unescape_token(std::string_view text);

// Display of a text value: double-quoted with backslash escapes.
void append_debug_str(std::string& out, std::string_view text);
// Shortest round-tripping decimal, no exponent ("1", "1.5", "-0", "NaN", "inf").
void append_float_display(std::string& out, double v);

// prefix, or prefix + "|" + "key=valuetoken;..." when params is not empty.
std::string with_params(std::string prefix, const ParamMap& params);
void append_params_suffix(std::string& out, const ParamMap& params);

}  // namespace veltrix
