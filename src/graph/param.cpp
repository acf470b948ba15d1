#include "graph/param.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <random>

namespace veltrix {

std::uint64_t Hasher::process_seed() noexcept {
    static const std::uint64_t seed = [] {
        std::uint64_t s = 0x243f6a8885a308d3ULL;
        try {
            std::random_device rd;
            s ^= (static_cast<std::uint64_t>(rd()) << 32) | rd();
        } catch (...) {
            // Without an entropy source the fixed seed still gives correct lookups.
        }
        return s;
    }();
    return seed;
}

std::uint64_t canonical_bits(double v) noexcept {
    return std::isnan(v) ? kCanonicalNan : std::bit_cast<std::uint64_t>(v);
}

double float_from_bits(std::uint64_t bits) noexcept { return std::bit_cast<double>(bits); }

// ---------------------------------------------------------------------------
// Escaping

void append_escaped(std::string& out, std::string_view text) {
    // Escaping "%" first and the other three after it is the same as one pass
    // over the text: the replacements introduce no ";", "=" or "|".
    for (char c : text) {
        switch (c) {
            case '%': out += "%25"; break;
            case ';': out += "%3B"; break;
            case '=': out += "%3D"; break;
            case '|': out += "%7C"; break;
            default: out += c;
        }
    }
}

std::string escape_token(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    append_escaped(out, text);
    return out;
}

std::string unescape_token(std::string_view text) {
    // The four sequences cannot overlap (each starts with "%" and holds no
    // other "%"), and no replacement creates a later sequence, so one
    // left-to-right pass equals the chain of whole-text replacements.
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            std::string_view seq = text.substr(i, 3);
            char decoded = 0;
            if (seq == "%7C") decoded = '|';
            else if (seq == "%3D") decoded = '=';
            else if (seq == "%3B") decoded = ';';
            else if (seq == "%25") decoded = '%';
            if (decoded != 0) {
                out += decoded;
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

// ---------------------------------------------------------------------------
// Display helpers

namespace {

void append_hex_lower(std::string& out, std::uint32_t v) {
    char buf[16];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, 16);
    (void)ec;
    out.append(buf, end);
}

// Code points shown escaped in text displays: not printable, or extending the
// previous grapheme (combining marks and the like).
bool escape_in_display(std::uint32_t cp) {
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return true;
    struct Range {
        std::uint32_t lo, hi;
    };
    static constexpr Range ranges[] = {
        {0x00AD, 0x00AD},   {0x0300, 0x036F},   {0x0483, 0x0489},   {0x0591, 0x05BD},
        {0x0600, 0x0605},   {0x061C, 0x061C},   {0x0610, 0x061A},   {0x064B, 0x065F},
        {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0E31, 0x0E31},   {0x0E34, 0x0E3A},
        {0x180E, 0x180E},   {0x1AB0, 0x1AFF},   {0x1DC0, 0x1DFF},   {0x200B, 0x200F},
        {0x2028, 0x202E},   {0x2060, 0x206F},   {0x20D0, 0x20FF},   {0xD800, 0xDFFF},
        {0xE000, 0xF8FF},   {0xFE00, 0xFE0F},   {0xFE20, 0xFE2F},   {0xFEFF, 0xFEFF},
        {0xFFF0, 0xFFFB},   {0xFFFE, 0xFFFF},   {0x1D165, 0x1D169}, {0x1D16D, 0x1D172},
        {0xE0000, 0xE0FFF}, {0xF0000, 0x10FFFF},
    };
    for (const Range& r : ranges) {
        if (cp >= r.lo && cp <= r.hi) return true;
    }
    return false;
}

// Decodes one UTF-8 sequence at s[i]; invalid bytes decode as themselves.
std::uint32_t decode_utf8(std::string_view s, std::size_t& i) {
    auto b = static_cast<unsigned char>(s[i]);
    int len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 1;
    if (len == 1 || i + len > s.size()) {
        ++i;
        return b;
    }
    std::uint32_t cp = b & (0xFF >> (len + 1));
    for (int k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += len;
    return cp;
}

}  // namespace

void append_debug_str(std::string& out, std::string_view text) {
    out += '"';
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t start = i;
        std::uint32_t cp = decode_utf8(text, i);
        switch (cp) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\t': out += "\\t"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            case 0: out += "\\0"; continue;
            default: break;
        }
        if (escape_in_display(cp)) {
            out += "\\u{";
            append_hex_lower(out, cp);
            out += '}';
        } else {
            out.append(text.substr(start, i - start));
        }
    }
    out += '"';
}

void append_float_display(std::string& out, double v) {
    if (std::isnan(v)) {
        out += "NaN";
        return;
    }
    if (std::isinf(v)) {
        out += v < 0 ? "-inf" : "inf";
        return;
    }
    // The shortest digits that read back to v, placed by their exponent
    // without one: zeros fill up to the decimal point or follow "0.". (The
    // fixed format would print a large value's exact binary expansion.)
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    if (ec != std::errc()) panic("float display does not fit its buffer");
    const std::string_view sci(buf, static_cast<std::size_t>(end - buf));  // [-]d[.ddd]e(+|-)dd
    const std::size_t e = sci.find('e');
    std::string_view mantissa = sci.substr(0, e);
    if (mantissa.front() == '-') {
        out += '-';
        mantissa.remove_prefix(1);
    }
    std::string digits(mantissa.substr(0, 1));
    if (mantissa.size() > 2) digits.append(mantissa.substr(2));
    int exponent = 0;
    std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exponent);
    const int count = static_cast<int>(digits.size());
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    } else if (exponent + 1 >= count) {
        out += digits;
        out.append(static_cast<std::size_t>(exponent + 1 - count), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
        out += '.';
        out.append(digits, static_cast<std::size_t>(exponent + 1));
    }
}

// ---------------------------------------------------------------------------
// ParamValue

namespace {

// The value part of a parameter as a ParamRef (empty key).
ParamRef value_ref(const ParamValue& v) noexcept {
    ParamRef r;
    r.tag = v.tag();
    switch (r.tag) {
        case ParamTag::Int: r.bits = static_cast<std::uint64_t>(v.as_int()); break;
        case ParamTag::Float: r.bits = std::bit_cast<std::uint64_t>(v.as_float()); break;
        case ParamTag::Bool: r.bits = v.as_bool() ? 1 : 0; break;
        case ParamTag::Str: r.str = v.as_str(); break;
    }
    return r;
}

bool same_value(const ParamRef& a, const ParamRef& b) noexcept {
    if (a.tag != b.tag) return false;
    switch (a.tag) {
        case ParamTag::Int:
        case ParamTag::Bool: return a.bits == b.bits;
        case ParamTag::Float:
            return canonical_bits(float_from_bits(a.bits)) == canonical_bits(float_from_bits(b.bits));
        case ParamTag::Str: return a.str == b.str;
    }
    return false;
}

void hash_value(Hasher& h, const ParamRef& r) noexcept {
    h.u8(static_cast<std::uint8_t>(r.tag));
    switch (r.tag) {
        case ParamTag::Int: h.u64(r.bits); break;
        case ParamTag::Float: h.u64(canonical_bits(float_from_bits(r.bits))); break;
        case ParamTag::Bool: h.u8(static_cast<std::uint8_t>(r.bits)); break;
        case ParamTag::Str: h.bytes(r.str); break;
    }
}

// Stable insertion sort by key: no scratch buffer, fast for the few
// parameters a node usually has.
template <class Entry>
void insertion_sort_by_key(std::span<Entry> entries) {
    for (std::size_t i = 1; i < entries.size(); ++i) {
        if (!(entries[i].key < entries[i - 1].key)) continue;
        Entry moving = std::move(entries[i]);
        std::size_t j = i;
        for (; j > 0 && moving.key < entries[j - 1].key; --j) entries[j] = std::move(entries[j - 1]);
        entries[j] = std::move(moving);
    }
}

}  // namespace

bool ParamValue::operator==(const ParamValue& o) const noexcept { return same_value(value_ref(*this), value_ref(o)); }

void ParamValue::hash_into(Hasher& h) const noexcept { hash_value(h, value_ref(*this)); }

// ---------------------------------------------------------------------------
// ParamRef

ParamRef ParamRef::of(const ParamEntry& e) noexcept {
    ParamRef r = value_ref(e.value);
    r.key = e.key;
    return r;
}

ParamValue ParamRef::value() const {
    switch (tag) {
        case ParamTag::Int: return ParamValue::Int(static_cast<std::int64_t>(bits));
        case ParamTag::Float: return ParamValue::Float(float_from_bits(bits));
        case ParamTag::Bool: return ParamValue::Bool(bits != 0);
        case ParamTag::Str: break;
    }
    return ParamValue::Str(std::string(str));
}

bool ParamRef::operator==(const ParamRef& o) const noexcept { return key == o.key && same_value(*this, o); }

void ParamRef::hash_into(Hasher& h) const noexcept {
    h.bytes(key);
    hash_value(h, *this);
}

void ParamValue::append_token(std::string& out) const {
    char buf[24];
    switch (tag()) {
        case ParamTag::Int: {
            out += 'i';
            auto [end, ec] = std::to_chars(buf, buf + sizeof buf, as_int());
            (void)ec;
            out.append(buf, end);
            break;
        }
        case ParamTag::Float: {
            out += 'f';
            std::uint64_t bits = canonical_bits(as_float());
            static constexpr char digits[] = "0123456789abcdef";
            for (int shift = 60; shift >= 0; shift -= 4) out += digits[(bits >> shift) & 0xF];
            break;
        }
        case ParamTag::Bool: out += as_bool() ? "btrue" : "bfalse"; break;
        case ParamTag::Str:
            out += 's';
            append_escaped(out, as_str());
            break;
    }
}

std::string ParamValue::token() const {
    std::string out;
    append_token(out);
    return out;
}

void ParamValue::append_display(std::string& out) const {
    switch (tag()) {
        case ParamTag::Int: {
            char buf[24];
            auto [end, ec] = std::to_chars(buf, buf + sizeof buf, as_int());
            (void)ec;
            out.append(buf, end);
            break;
        }
        case ParamTag::Float: append_float_display(out, as_float()); break;
        case ParamTag::Bool: out += as_bool() ? "true" : "false"; break;
        case ParamTag::Str: append_debug_str(out, as_str()); break;
    }
}

// ---------------------------------------------------------------------------
// ParamMap

ParamMap ParamMap::make(std::vector<ParamEntry> entries) {
    ParamMap m;
    if (entries.size() <= 8) {
        insertion_sort_by_key(std::span<ParamEntry>(entries));
    } else {
        std::stable_sort(entries.begin(), entries.end(),
                         [](const ParamEntry& a, const ParamEntry& b) { return a.key < b.key; });
    }
    m.entries_ = std::move(entries);
    return m;
}

ParamMap ParamMap::from_refs(ParamRefs refs) {
    ParamMap m;
    m.entries_.reserve(refs.size());
    for (const ParamRef& r : refs) m.entries_.push_back(ParamEntry{std::string(r.key), r.value()});
    return m;
}

void ParamMap::sort_refs(std::span<ParamRef> refs) noexcept {
    if (refs.size() <= 8) {
        insertion_sort_by_key(refs);
    } else {
        std::stable_sort(refs.begin(), refs.end(), [](const ParamRef& a, const ParamRef& b) { return a.key < b.key; });
    }
}

bool ParamMap::operator==(ParamRefs refs) const noexcept {
    if (refs.size() != entries_.size()) return false;
    for (std::size_t i = 0; i < refs.size(); ++i) {
        if (!(ParamRef::of(entries_[i]) == refs[i])) return false;
    }
    return true;
}

void ParamMap::hash_into(Hasher& h) const noexcept {
    h.u64(entries_.size());
    for (const ParamEntry& e : entries_) ParamRef::of(e).hash_into(h);
}

void ParamMap::hash_refs_into(Hasher& h, ParamRefs refs) noexcept {
    h.u64(refs.size());
    for (const ParamRef& r : refs) r.hash_into(h);
}

void ParamMap::append_display(std::string& out) const {
    out += '{';
    bool first = true;
    for (const ParamEntry& e : entries_) {
        if (!first) out += ", ";
        first = false;
        out += e.key;
        out += '=';
        e.value.append_display(out);
    }
    out += '}';
}

void append_params_suffix(std::string& out, const ParamMap& params) {
    if (params.empty()) return;
    out += '|';
    bool first = true;
    for (const ParamEntry& e : params.entries()) {
        if (!first) out += ';';
        first = false;
        append_escaped(out, e.key);
        out += '=';
        e.value.append_token(out);
    }
}

std::string with_params(std::string prefix, const ParamMap& params) {
    append_params_suffix(prefix, params);
    return prefix;
}

}  // namespace veltrix
