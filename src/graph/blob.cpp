#include "graph/blob.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <optional>
#include <cstring>
#include <limits>

namespace veltrix {

namespace {

constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();

// Smallest encodings, used to cap reservations by what the remaining bytes
// can still describe.
constexpr std::size_t kMinParamEntry = 4 + 1 + 1;  // empty key, tag, bool
constexpr std::size_t kMinMember = 4 + 4;          // empty label, no references
constexpr std::size_t kRefSize = 1 + 4;

DecodeError truncated() { return DecodeError(DecodeError::Truncated{}); }
DecodeError out_of_range(std::uint64_t index) { return DecodeError(DecodeError::NodeOutOfRange{index}); }
DecodeError bad_tag(std::string_view what, std::uint8_t tag) { return DecodeError(DecodeError::BadTag{what, tag}); }

std::size_t capped_reserve(std::uint64_t count, std::size_t remaining, std::size_t min_size) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, remaining / min_size));
}

}  // namespace

std::string DecodeError::message() const {
    struct Visitor {
        std::string operator()(const BadMagic&) const { return "not a veltrix IR blob (bad magic/version)"; }
        std::string operator()(const Truncated&) const { return "truncated veltrix IR blob"; }
        std::string operator()(const BadTag& e) const {
            std::string out = "invalid ";
            out += e.what;
            out += " tag ";
            out += std::to_string(e.tag);
            return out;
        }
        std::string operator()(const InvalidUtf8&) const { return "invalid utf-8 in veltrix IR blob"; }
        std::string operator()(const NodeOutOfRange& e) const {
            return "node reference " + std::to_string(e.index) + " out of range";
        }
    };
    return std::visit(Visitor{}, v);
}

// ---------------------------------------------------------------------------
// UTF-8

bool is_valid_utf8(std::span<const std::uint8_t> bytes) noexcept {
    const std::uint8_t* p = bytes.data();
    const std::uint8_t* const end = p + bytes.size();
    auto cont = [](std::uint8_t b) { return (b & 0xC0u) == 0x80u; };
    while (p < end) {
        // ASCII runs are the common case: test eight bytes at a time.
        while (end - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            if (w & 0x8080808080808080ULL) break;
            p += 8;
        }
        if (p == end) break;
        const std::uint8_t b0 = *p;
        if (b0 < 0x80) {
            ++p;
            continue;
        }
        const std::ptrdiff_t left = end - p;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            if (left < 2 || !cont(p[1])) return false;
            p += 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            if (left < 3) return false;
            const std::uint8_t b1 = p[1];
            // E0 needs A0..BF (no overlongs), ED needs 80..9F (no surrogates).
            const std::uint8_t lo = b0 == 0xE0 ? 0xA0 : 0x80;
            const std::uint8_t hi = b0 == 0xED ? 0x9F : 0xBF;
            if (b1 < lo || b1 > hi || !cont(p[2])) return false;
            p += 3;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            if (left < 4) return false;
            const std::uint8_t b1 = p[1];
            // F0 needs 90..BF (no overlongs), F4 needs 80..8F (<= U+10FFFF).
            const std::uint8_t lo = b0 == 0xF0 ? 0x90 : 0x80;
            const std::uint8_t hi = b0 == 0xF4 ? 0x8F : 0xBF;
            if (b1 < lo || b1 > hi || !cont(p[2]) || !cont(p[3])) return false;
            p += 4;
        } else {
            // Stray continuation byte, C0/C1 overlong lead, or F5..FF.
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Reader

std::uint64_t Reader::load_le(std::size_t width) noexcept {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i) v |= static_cast<std::uint64_t>(data_[pos_ + i]) << (8 * i);
    pos_ += width;
    return v;
}

Result<std::uint8_t, DecodeError> Reader::u8() noexcept {
    if (!has(1)) return truncated();
    return static_cast<std::uint8_t>(load_le(1));
}

Result<std::uint32_t, DecodeError> Reader::u32() noexcept {
    if (!has(4)) return truncated();
    return static_cast<std::uint32_t>(load_le(4));
}

Result<std::uint64_t, DecodeError> Reader::u64() noexcept {
    if (!has(8)) return truncated();
    return load_le(8);
}

Result<std::int64_t, DecodeError> Reader::i64() noexcept {
    if (!has(8)) return truncated();
    return static_cast<std::int64_t>(load_le(8));
}

Result<double, DecodeError> Reader::f64() noexcept {
    if (!has(8)) return truncated();
    return std::bit_cast<double>(load_le(8));
}

Result<bool, DecodeError> Reader::flag() noexcept {
    if (!has(1)) return truncated();
    return load_le(1) != 0;
}

Result<std::span<const std::uint8_t>, DecodeError> Reader::bytes(std::size_t n) noexcept {
    if (!has(n)) return truncated();
    auto out = data_.subspan(pos_, n);
    pos_ += n;
    return out;
}

Result<std::string, DecodeError> Reader::string() {
    auto len = u32();
    if (!len) return len.error();
    auto raw = bytes(*len);
    if (!raw) return raw.error();
    if (!is_valid_utf8(*raw)) return DecodeError(DecodeError::InvalidUtf8{});
    return std::string(reinterpret_cast<const char*>(raw->data()), raw->size());
}

Result<ParamMap, DecodeError> Reader::params() {
    auto count = u32();
    if (!count) return count.error();
    std::vector<ParamEntry> entries;
    entries.reserve(capped_reserve(*count, remaining(), kMinParamEntry));
    for (std::uint32_t i = 0; i < *count; ++i) {
        auto key = string();
        if (!key) return key.error();
        auto tag = u8();
        if (!tag) return tag.error();
        switch (*tag) {
            case static_cast<std::uint8_t>(ParamTag::Int): {
                auto v = i64();
                if (!v) return v.error();
                entries.push_back({std::move(*key), ParamValue::Int(*v)});
                break;
            }
            case static_cast<std::uint8_t>(ParamTag::Float): {
                auto v = f64();
                if (!v) return v.error();
                entries.push_back({std::move(*key), ParamValue::Float(*v)});
                break;
            }
            case static_cast<std::uint8_t>(ParamTag::Bool): {
                auto v = flag();
                if (!v) return v.error();
                entries.push_back({std::move(*key), ParamValue::Bool(*v)});
                break;
            }
            case static_cast<std::uint8_t>(ParamTag::Str): {
                auto v = string();
                if (!v) return v.error();
                entries.push_back({std::move(*key), ParamValue::Str(std::move(*v))});
                break;
            }
            default:
                return bad_tag("param", *tag);
        }
    }
    return ParamMap::make(std::move(entries));
}

Result<std::vector<NodeId>, DecodeError> Reader::inputs(NodeId limit) {
    auto count = u32();
    if (!count) return count.error();
    std::vector<NodeId> ids;
    ids.reserve(capped_reserve(*count, remaining(), sizeof(std::uint64_t)));
    for (std::uint32_t i = 0; i < *count; ++i) {
        auto id = u64();
        if (!id) return id.error();
        if (*id >= limit) return out_of_range(*id);
        ids.push_back(*id);
    }
    return ids;
}

// ---------------------------------------------------------------------------
// Writer

namespace {

std::uint32_t checked_u32(std::uint64_t n, const char* what) {
    if (n > kMaxU32) {
        panic(std::string("IR blob cannot hold ") + what + " of " + std::to_string(n) + " (limit is 2^32-1)");
    }
    return static_cast<std::uint32_t>(n);
}

// Writes into a buffer that already has room for everything written: the
// exact size is computed first, so no write checks capacity.
class Writer {
public:
    explicit Writer(std::uint8_t* out) : p_(out) {}

    void u8(std::uint8_t v) { *p_++ = v; }
    void u32(std::uint32_t v) {
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(p_, &v, 4);
        } else {
            for (int i = 0; i < 4; ++i) p_[i] = std::uint8_t(v >> (8 * i));
        }
        p_ += 4;
    }
    void u64(std::uint64_t v) {
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(p_, &v, 8);
        } else {
            for (int i = 0; i < 8; ++i) p_[i] = std::uint8_t(v >> (8 * i));
        }
        p_ += 8;
    }
    void flag(bool v) { u8(v ? 1 : 0); }
    void str(std::string_view s) {
        u32(static_cast<std::uint32_t>(s.size()));
        if (s.empty()) return;  // an empty view may carry no pointer; memcpy needs one
        std::memcpy(p_, s.data(), s.size());
        p_ += s.size();
    }
    void ids(std::span<const NodeId> ids) {
        u32(static_cast<std::uint32_t>(ids.size()));
        if (ids.empty()) return;  // an empty list may carry no pointer; memcpy needs one
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(p_, ids.data(), ids.size() * 8);
            p_ += ids.size() * 8;
        } else {
            for (NodeId id : ids) u64(id);
        }
    }
    void params(const ParamMap& params) {
        u32(static_cast<std::uint32_t>(params.size()));
        for (const ParamEntry& e : params.entries()) {
            str(e.key);
            u8(static_cast<std::uint8_t>(e.value.tag()));
            switch (e.value.tag()) {
                case ParamTag::Int: u64(static_cast<std::uint64_t>(e.value.as_int())); break;
                case ParamTag::Float: u64(std::bit_cast<std::uint64_t>(e.value.as_float())); break;
                case ParamTag::Bool: flag(e.value.as_bool()); break;
                case ParamTag::Str: str(e.value.as_str()); break;
            }
        }
    }
    void descriptor(const PayloadDescriptor& d) {
        for (const std::string* f : d.texts()) str(*f);
        flag(d.preprocessing_ref.has_value());
        if (d.preprocessing_ref) str(*d.preprocessing_ref);
    }
    void members(const std::vector<StageOp>& members) {
        u32(static_cast<std::uint32_t>(members.size()));
        for (const StageOp& m : members) {
            str(m.label);
            u32(static_cast<std::uint32_t>(m.inputs.size()));
            for (const StageRef& r : m.inputs) {
                u8(static_cast<std::uint8_t>(r.kind));
                u32(static_cast<std::uint32_t>(r.index));
            }
        }
    }
    void raw(const std::uint8_t* bytes, std::size_t n) {
        std::memcpy(p_, bytes, n);
        p_ += n;
    }
    // The fields of a record between its tag and its inputs (not for a stage).
    void head(const NodeKey& key) {
        switch (key.kind()) {
            case NodeKind::Source:
            case NodeKind::Op:
            case NodeKind::Reduction:
                str(key.name());
                params(key.params());
                break;
            case NodeKind::External:
                descriptor(key.descriptor());
                params(key.params());
                break;
            case NodeKind::Exchange:
            case NodeKind::Join: params(key.params()); break;
            case NodeKind::Stage: panic("a stage record has no head before its inputs");
        }
    }
    void record(const NodeKey& key) {
        u8(static_cast<std::uint8_t>(key.kind()));
        if (key.kind() == NodeKind::Stage) {
            ids(key.inputs());
            members(key.members());
            return;
        }
        head(key);
        if (key.kind() != NodeKind::Source) ids(key.inputs());  // a source record has no input list
    }
    std::uint8_t* position() const noexcept { return p_; }

private:
    std::uint8_t* p_;
};

// The sizes below also check every count, length and reference index
// against the format's 32-bit limits, so the writer needs no checks.
std::size_t string_size(std::string_view s, const char* what) {
    checked_u32(s.size(), what);
    return 4 + s.size();
}

std::size_t params_size(const ParamMap& params) {
    std::size_t n = 4;
    checked_u32(params.size(), "a parameter count");
    for (const ParamEntry& e : params.entries()) {
        n += string_size(e.key, "a string length") + 1;
        switch (e.value.tag()) {
            case ParamTag::Int:
            case ParamTag::Float: n += 8; break;
            case ParamTag::Bool: n += 1; break;
            case ParamTag::Str: n += string_size(e.value.as_str(), "a string length"); break;
        }
    }
    return n;
}

std::size_t ids_size(std::span<const NodeId> ids) {
    checked_u32(ids.size(), "an id count");
    return 4 + 8 * ids.size();
}

// Everything but the inputs: the same for all keys that share a head.
std::size_t head_size(const NodeKey& key) {
    switch (key.kind()) {
        case NodeKind::Source:
        case NodeKind::Op:
        case NodeKind::Reduction: return string_size(key.name(), "a string length") + params_size(key.params());
        case NodeKind::External: {
            const PayloadDescriptor& d = key.descriptor();
            std::size_t n = 1;
            for (const std::string* f : d.texts()) {
                n += string_size(*f, "a string length");
            }
            if (d.preprocessing_ref) n += string_size(*d.preprocessing_ref, "a string length");
            return n + params_size(key.params());
        }
        case NodeKind::Stage: {
            std::size_t n = 4;
            checked_u32(key.members().size(), "a member count");
            for (const StageOp& m : key.members()) {
                checked_u32(m.inputs.size(), "a reference count");
                for (const StageRef& r : m.inputs) checked_u32(r.index, "a stage reference index");
                n += string_size(m.label, "a string length") + 4 + kRefSize * m.inputs.size();
            }
            return n;
        }
        case NodeKind::Exchange:
        case NodeKind::Join: return params_size(key.params());
    }
    return 0;
}

}  // namespace

void put_params(std::vector<std::uint8_t>& buffer, const ParamMap& params) {
    const std::size_t start = buffer.size();
    buffer.resize(start + params_size(params));
    Writer(buffer.data() + start).params(params);
}

std::size_t serialized_size(std::span<const NodeKey> nodes, std::span<const NodeId> outputs) {
    checked_u32(nodes.size(), "a node count");
    std::size_t size = 4 + 4 + ids_size(outputs);
    // Keys that share a head (most of a recorded graph) share its size too:
    // a small direct-mapped cache keeps the sizes of recent heads.
    struct Slot {
        const void* head = nullptr;
        std::size_t size = 0;
    };
    constexpr std::size_t kSlots = 1024;
    std::vector<Slot> cache(kSlots);
    for (const NodeKey& key : nodes) {
        const void* head = key.head_identity();
        Slot& slot = cache[(reinterpret_cast<std::uintptr_t>(head) >> 4) % kSlots];
        if (slot.head != head) slot = Slot{head, head_size(key)};
        size += 1 + slot.size + (key.kind() == NodeKind::Source ? 0 : ids_size(key.inputs()));
    }
    return size;
}

void serialize_into(std::uint8_t* out, std::span<const NodeKey> nodes, std::span<const NodeId> outputs) {
    Writer w(out);
    for (char c : kBlobMagic) w.u8(static_cast<std::uint8_t>(c));
    w.u32(static_cast<std::uint32_t>(nodes.size()));

    // The fields before the inputs depend only on the key's head, and most
    // records repeat a recent head: a small direct-mapped cache keeps the
    // bytes of recent heads, so a repeated head is one copy.
    struct Slot {
        const void* head = nullptr;
        std::uint32_t offset = 0;
        std::uint32_t size = 0;
    };
    constexpr std::size_t kSlots = 1024;
    constexpr std::size_t kMaxCached = 256;
    std::vector<Slot> cache(kSlots);
    std::vector<std::uint8_t> heads;
    for (const NodeKey& key : nodes) {
        const NodeKind kind = key.kind();
        if (kind == NodeKind::Stage) {
            w.record(key);
            continue;
        }
        const void* head = key.head_identity();
        Slot& slot = cache[(reinterpret_cast<std::uintptr_t>(head) >> 4) % kSlots];
        w.u8(static_cast<std::uint8_t>(kind));
        if (slot.head == head) {
            w.raw(heads.data() + slot.offset, slot.size);
        } else {
            std::uint8_t* start = w.position();
            w.head(key);
            const std::size_t size = static_cast<std::size_t>(w.position() - start);
            if (size <= kMaxCached) {
                slot = Slot{head, static_cast<std::uint32_t>(heads.size()), static_cast<std::uint32_t>(size)};
                heads.insert(heads.end(), start, start + size);
            }
        }
        if (kind != NodeKind::Source) w.ids(key.inputs());
    }
    w.ids(outputs);
}

std::vector<std::uint8_t> serialize_nodes(std::span<const NodeKey> nodes, std::span<const NodeId> outputs) {
    std::vector<std::uint8_t> out(serialized_size(nodes, outputs));
    serialize_into(out.data(), nodes, outputs);
    return out;
}

std::vector<std::uint8_t> serialize_with(const GraphStore& store, std::span<const NodeId> outputs) {
    // Copy under the lock, encode without it.
    const std::vector<NodeKey> nodes = store.nodes_copy();
    return serialize_nodes(nodes, outputs);
}

// ---------------------------------------------------------------------------
// Decoding

namespace {

Result<PayloadDescriptor, DecodeError> read_descriptor(Reader& r) {
    PayloadDescriptor d;
    for (std::string* field : d.texts()) {
        auto s = r.string();
        if (!s) return s.error();
        *field = std::move(*s);
    }
    auto present = r.flag();
    if (!present) return present.error();
    if (*present) {
        auto s = r.string();
        if (!s) return s.error();
        d.preprocessing_ref = std::move(*s);
    }
    return d;
}

Result<std::vector<StageOp>, DecodeError> read_members(Reader& r) {
    auto count = r.u32();
    if (!count) return count.error();
    std::vector<StageOp> members;
    members.reserve(capped_reserve(*count, r.remaining(), kMinMember));
    for (std::uint32_t m = 0; m < *count; ++m) {
        StageOp op;
        auto label = r.string();
        if (!label) return label.error();
        op.label = std::move(*label);
        auto nrefs = r.u32();
        if (!nrefs) return nrefs.error();
        op.inputs.reserve(capped_reserve(*nrefs, r.remaining(), kRefSize));
        for (std::uint32_t i = 0; i < *nrefs; ++i) {
            auto tag = r.u8();
            if (!tag) return tag.error();
            if (*tag > StageRef::Member) return bad_tag("stage-ref", *tag);
            auto index = r.u32();
            if (!index) return index.error();
            // A member may only refer to members before it.
            if (*tag == StageRef::Member && *index >= m) return out_of_range(*index);
            op.inputs.push_back({static_cast<StageRef::Kind>(*tag), *index});
        }
        members.push_back(std::move(op));
    }
    return members;
}

// Reads record `k`: a kind tag, then the fields of that kind.
Result<NodeKey, DecodeError> read_record(Reader& r, NodeId k) {
    auto tag = r.u8();
    if (!tag) return tag.error();
    if (*tag > static_cast<std::uint8_t>(NodeKind::Join)) return bad_tag("node", *tag);
    const auto kind = static_cast<NodeKind>(*tag);

    switch (kind) {
        case NodeKind::Source:
        case NodeKind::Op:
        case NodeKind::Reduction: {
            auto name = r.string();
            if (!name) return name.error();
            auto params = r.params();
            if (!params) return params.error();
            if (kind == NodeKind::Source) return NodeKey::source(std::move(*name), std::move(*params));
            auto inputs = r.inputs(k);
            if (!inputs) return inputs.error();
            if (kind == NodeKind::Op) return NodeKey::op(std::move(*name), std::move(*params), std::move(*inputs));
            return NodeKey::reduction(std::move(*name), std::move(*params), std::move(*inputs));
        }
        case NodeKind::External: {
            auto d = read_descriptor(r);
            if (!d) return d.error();
            auto params = r.params();
            if (!params) return params.error();
            auto inputs = r.inputs(k);
            if (!inputs) return inputs.error();
            return NodeKey::external(std::move(*d), std::move(*params), std::move(*inputs));
        }
        case NodeKind::Stage: {
            auto inputs = r.inputs(k);
            if (!inputs) return inputs.error();
            auto members = read_members(r);
            if (!members) return members.error();
            return NodeKey::stage(std::move(*inputs), std::move(*members));
        }
        case NodeKind::Exchange:
        case NodeKind::Join: {
            auto params = r.params();
            if (!params) return params.error();
            auto inputs = r.inputs(k);
            if (!inputs) return inputs.error();
            if (kind == NodeKind::Exchange) return NodeKey::exchange(std::move(*params), std::move(*inputs));
            return NodeKey::join(std::move(*params), std::move(*inputs));
        }
    }
    return bad_tag("node", *tag);
}

}  // namespace

namespace {

// Steps over fields without decoding them; false when they do not parse.
bool skip_string(Reader& r) {
    auto len = r.u32();
    return len && r.bytes(*len);
}

bool skip_params(Reader& r) {
    auto count = r.u32();
    if (!count) return false;
    for (std::uint32_t i = 0; i < *count; ++i) {
        if (!skip_string(r)) return false;
        auto tag = r.u8();
        if (!tag) return false;
        switch (*tag) {
            case static_cast<std::uint8_t>(ParamTag::Int):
            case static_cast<std::uint8_t>(ParamTag::Float):
                if (!r.bytes(8)) return false;
                break;
            case static_cast<std::uint8_t>(ParamTag::Bool):
                if (!r.bytes(1)) return false;
                break;
            case static_cast<std::uint8_t>(ParamTag::Str):
                if (!skip_string(r)) return false;
                break;
            default: return false;
        }
    }
    return true;
}

// The fields of a record before its inputs (all but a stage's).
bool skip_head(Reader& r, NodeKind kind) {
    switch (kind) {
        case NodeKind::Source:
        case NodeKind::Op:
        case NodeKind::Reduction: return skip_string(r) && skip_params(r);
        case NodeKind::External: {
            for (int i = 0; i < 5; ++i) {
                if (!skip_string(r)) return false;
            }
            auto present = r.flag();
            if (!present || (*present && !skip_string(r))) return false;
            return skip_params(r);
        }
        case NodeKind::Exchange:
        case NodeKind::Join: return skip_params(r);
        case NodeKind::Stage: return false;
    }
    return false;
}

// Records whose head bytes equal those of an earlier record get that
// record's head without decoding it again: in a recorded graph most
// records repeat one of a few heads.
class HeadCache {
public:
    explicit HeadCache(std::span<const std::uint8_t> blob) : blob_(blob) {}

    std::uint64_t hash(std::uint8_t tag, std::size_t begin, std::size_t end) const {
        Hasher h;
        h.u8(tag);
        h.bytes(std::string_view(reinterpret_cast<const char*>(blob_.data() + begin), end - begin));
        return h.finish();
    }
    const NodeKey* find(std::uint8_t tag, std::size_t begin, std::size_t end, std::uint64_t hash) const {
        auto i = table_.find(hash, [&](NodeId j) {
            const Entry& e = entries_[j];
            return e.tag == tag && e.end - e.begin == end - begin &&
                   std::memcmp(blob_.data() + e.begin, blob_.data() + begin, end - begin) == 0;
        });
        return i ? &entries_[*i].key : nullptr;
    }
    void add(std::uint8_t tag, std::size_t begin, std::size_t end, std::uint64_t hash, const NodeKey& key) {
        if (entries_.size() >= kLimit) return;  // a blob of mostly distinct heads
        table_.reserve_one([&](NodeId j) { return entries_[j].hash; });
        entries_.push_back(Entry{tag, begin, end, hash, key});
        table_.insert(hash, entries_.size() - 1);
    }

private:
    static constexpr std::size_t kLimit = std::size_t{1} << 16;
    struct Entry {
        std::uint8_t tag;
        std::size_t begin, end;  // the head bytes in the blob
        std::uint64_t hash;
        NodeKey key;
    };
    std::span<const std::uint8_t> blob_;
    std::vector<Entry> entries_;
    IdTable table_;
};

// An id list, in `small` when it fits; like Reader::inputs otherwise.
Result<std::span<const NodeId>, DecodeError> read_ids(Reader& r, NodeId limit, std::array<NodeId, 8>& small,
                                                      std::vector<NodeId>& big) {
    const Reader start = r;
    auto count = r.u32();
    if (!count) return count.error();
    if (*count > small.size()) {
        r = start;
        auto ids = r.inputs(limit);
        if (!ids) return ids.error();
        big = std::move(*ids);
        return std::span<const NodeId>(big);
    }
    for (std::uint32_t i = 0; i < *count; ++i) {
        auto id = r.u64();
        if (!id) return id.error();
        if (*id >= limit) return out_of_range(*id);
        small[i] = *id;
    }
    return std::span<const NodeId>(small.data(), *count);
}

// Interns records in batches, in order. A failure while reading a record
// comes after the interning of every record before it, whose own failure (a
// repeated record shrinking the store) would come first.
class BatchInterner {
public:
    explicit BatchInterner(GraphStore& store) : store_(store) {
        pending_.reserve(kBatch);
        hashes_.reserve(kBatch);
    }
    std::optional<DecodeError> add(NodeKey key) {
        hashes_.push_back(key.hash());
        pending_.push_back(std::move(key));
        return pending_.size() == kBatch ? flush() : std::nullopt;
    }
    std::optional<DecodeError> flush() {
        auto failed = store_.intern_batch(pending_, hashes_);
        pending_.clear();
        hashes_.clear();
        if (failed) return out_of_range(failed->error.id);
        return std::nullopt;
    }
    // The failure to report when reading a record failed with `e`.
    DecodeError fail(DecodeError e) {
        if (auto first = flush()) return *first;
        return e;
    }

private:
    static constexpr std::size_t kBatch = 64;
    GraphStore& store_;
    std::vector<NodeKey> pending_;
    std::vector<std::uint64_t> hashes_;
};

// Reads the output list and marks each output.
std::optional<DecodeError> read_outputs(Reader& r, GraphStore& store) {
    auto outputs = r.u32();
    if (!outputs) return outputs.error();
    for (std::uint32_t i = 0; i < *outputs; ++i) {
        auto id = r.u64();
        if (!id) return id.error();
        if (auto bad = store.mark_output(*id)) return out_of_range(bad->id);
    }
    return std::nullopt;
}

}  // namespace

Result<std::unique_ptr<GraphStore>, DecodeError> deserialize(std::span<const std::uint8_t> bytes) {
    Reader r(bytes);
    auto magic = r.bytes(sizeof kBlobMagic);
    if (!magic) return magic.error();
    if (std::memcmp(magic->data(), kBlobMagic, sizeof kBlobMagic) != 0) {
        return DecodeError(DecodeError::BadMagic{});
    }
    auto count = r.u32();
    if (!count) return count.error();

    // The count is trusted only as far as the remaining bytes can hold that
    // many records (the smallest, a source, takes 9 bytes), so a header
    // announcing billions of nodes costs nothing until the bytes run out.
    auto store = std::make_unique<GraphStore>();
    store->reserve(capped_reserve(*count, r.remaining(), 9));
    HeadCache heads(bytes);
    std::array<NodeId, 8> small{};
    std::vector<NodeId> big;
    BatchInterner batch(*store);
    for (std::uint64_t k = 0; k < *count; ++k) {
        const Reader at_record = r;
        auto tag = r.u8();
        std::optional<std::uint64_t> head_hash;
        std::size_t begin = 0;
        std::size_t end = 0;
        if (tag && *tag <= static_cast<std::uint8_t>(NodeKind::Join)) {
            const auto kind = static_cast<NodeKind>(*tag);
            begin = r.position();
            if (skip_head(r, kind)) {
                end = r.position();
                head_hash = heads.hash(*tag, begin, end);
                if (const NodeKey* known = heads.find(*tag, begin, end, *head_hash)) {
                    std::span<const NodeId> ids;
                    if (kind != NodeKind::Source) {
                        auto got = read_ids(r, k, small, big);
                        if (!got) return batch.fail(got.error());
                        ids = *got;
                    }
                    if (auto e = batch.add(known->with_input_list(ids))) return *e;
                    continue;
                }
            }
        }
        r = at_record;
        auto key = read_record(r, k);
        if (!key) return batch.fail(key.error());
        if (head_hash) heads.add(*tag, begin, end, *head_hash, *key);
        // A repeated record merges onto its earlier id, so the store may hold
        // fewer nodes than k; intern then rejects ids that are now too large.
        if (auto e = batch.add(std::move(*key))) return *e;
    }
    if (auto e = batch.flush()) return *e;
    if (auto e = read_outputs(r, *store)) return *e;
    return store;
}

// ---------------------------------------------------------------------------
// The node map beside a blob

namespace {

enum NodeMapTag : std::uint8_t { kAbsent = 0, kNode = 1, kMember = 2 };

}  // namespace

std::vector<std::uint8_t> encode_node_map(std::span<const NodeMapEntry> map) {
    std::size_t size = 8;
    for (const NodeMapEntry& e : map) size += !e ? 1 : e->member ? 17 : 9;
    std::vector<std::uint8_t> out(size);
    Writer w(out.data());
    w.u64(map.size());
    for (const NodeMapEntry& e : map) {
        w.u8(!e ? kAbsent : e->member ? kMember : kNode);
        if (!e) continue;
        w.u64(e->node);
        if (e->member) w.u64(*e->member);
    }
    return out;
}

Result<std::unique_ptr<GraphStore>, DecodeError> deserialize_with_node_map(std::span<const std::uint8_t> blob,
                                                                            std::span<const std::uint8_t> node_map) {
    auto store = deserialize(blob);
    if (!store) return store.error();
    const LargeVector<NodeKey> nodes = store.value()->nodes_borrowed();
    Reader r(node_map);
    auto count = r.u64();
    if (!count) return count.error();
    std::vector<NodeMapEntry> map;
    map.reserve(capped_reserve(*count, r.remaining(), 1));
    for (std::uint64_t i = 0; i < *count; ++i) {
        auto tag = r.u8();
        if (!tag) return tag.error();
        if (*tag > kMember) return bad_tag("node-map", *tag);
        if (*tag == kAbsent) {
            map.emplace_back();
            continue;
        }
        auto node = r.u64();
        if (!node) return node.error();
        if (*node >= nodes.size()) return out_of_range(*node);
        Placement place{*node, std::nullopt};
        if (*tag == kMember) {
            auto member = r.u64();
            if (!member) return member.error();
            const NodeKey& key = nodes[*node];
            if (key.kind() != NodeKind::Stage || *member >= key.members().size()) return out_of_range(*member);
            place.member = static_cast<std::size_t>(*member);
        }
        map.emplace_back(place);
    }
    store.value()->set_node_map(std::move(map));
    return std::move(store).value();
}

}  // namespace veltrix
