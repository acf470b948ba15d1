#include "graph/fingerprint.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>

// The low-level SHA-256 calls: OpenSSL 3 marks them deprecated in favour of
// EVP, whose per-call algorithm lookup costs more than hashing a node, and
// whose static form pulls in the whole provider machinery (and reads the
// system's OpenSSL configuration).
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

namespace veltrix {

namespace {

constexpr std::uint8_t kVersionTag[4] = {'V', 'F', 'P', '1'};
constexpr std::uint8_t kNodeMessage = 'N';
constexpr std::uint8_t kGraphMessage = 'G';
// In a graph message, the number that starts an item naming an output (a
// node item starts with its head's number).
constexpr std::uint32_t kOutputItem = ~std::uint32_t{0};

template <class T>
inline void store_le(std::uint8_t* p, T v) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &v, sizeof v);
    } else {
        for (std::size_t i = 0; i < sizeof v; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// Counts, lengths and indices are 32 bits wide, as in the IR blob.
std::uint32_t checked_u32(std::uint64_t n) {
    if (n > 0xffffffffULL) panic("a count, length or index of " + std::to_string(n) + " cannot be fingerprinted");
    return static_cast<std::uint32_t>(n);
}

class Sha256 {
public:
    Sha256() noexcept { SHA256_Init(&ctx_); }
    void update(const std::uint8_t* bytes, std::size_t n) noexcept { SHA256_Update(&ctx_, bytes, n); }
    Digest finish() noexcept {
        Digest d;
        SHA256_Final(d.data(), &ctx_);
        return d;
    }

private:
    SHA256_CTX ctx_;
};

// Appends the encodings of values: fixed-width little-endian integers,
// lengths before texts, a tag before every value.
class Encoder {
public:
    explicit Encoder(std::vector<std::uint8_t>& out) noexcept : out_(out) {}

    void u8(std::uint8_t v) { out_.push_back(v); }
    template <class T>
    void le(T v) {
        const std::size_t at = out_.size();
        out_.resize(at + sizeof v);
        store_le(out_.data() + at, v);
    }
    void u32(std::uint64_t v) { le(checked_u32(v)); }
    void u64(std::uint64_t v) { le(v); }
    void text(std::string_view s) {
        u32(s.size());
        out_.insert(out_.end(), s.begin(), s.end());
    }
    void params(const ParamMap& params) {
        u32(params.size());
        for (const ParamEntry& e : params.entries()) {
            text(e.key);
            u8(static_cast<std::uint8_t>(e.value.tag()));
            switch (e.value.tag()) {
                case ParamTag::Int: u64(static_cast<std::uint64_t>(e.value.as_int())); break;
                case ParamTag::Float: u64(canonical_bits(e.value.as_float())); break;
                case ParamTag::Bool: u8(e.value.as_bool() ? 1 : 0); break;
                case ParamTag::Str: text(e.value.as_str()); break;
            }
        }
    }
    // The kind and the fields of a key, without its inputs.
    void head(const NodeKey& key) {
        u8(static_cast<std::uint8_t>(key.kind()));
        switch (key.kind()) {
            case NodeKind::Source:
            case NodeKind::Op:
            case NodeKind::Reduction:
                text(key.name());
                params(key.params());
                break;
            case NodeKind::External: {
                const PayloadDescriptor& d = key.descriptor();
                for (const std::string* f : d.texts()) {
                    text(*f);
                }
                u8(d.preprocessing_ref ? 1 : 0);
                if (d.preprocessing_ref) text(*d.preprocessing_ref);
                params(key.params());
                break;
            }
            case NodeKind::Stage:
                u32(key.members().size());
                for (const StageOp& m : key.members()) {
                    text(m.label);
                    u32(m.inputs.size());
                    for (const StageRef& r : m.inputs) {
                        u8(static_cast<std::uint8_t>(r.kind));
                        u32(r.index);
                    }
                }
                break;
            case NodeKind::Exchange:
            case NodeKind::Join: params(key.params()); break;
        }
    }

private:
    std::vector<std::uint8_t>& out_;
};

// A SHA-256 fed through a buffer, so that the many small writes of one
// message cost a copy each rather than a call into the hash.
class BufferedSha256 {
public:
    BufferedSha256() : buffer_(kBuffer) {}

    // Room for `n` bytes at the returned pointer; commit(n) takes them.
    std::uint8_t* reserve(std::size_t n) {
        if (used_ + n > buffer_.size()) {
            flush();
            if (n > buffer_.size()) buffer_.resize(n);
        }
        return buffer_.data() + used_;
    }
    void commit(std::size_t n) noexcept { used_ += n; }
    void write(const std::uint8_t* bytes, std::size_t n) {
        std::memcpy(reserve(n), bytes, n);
        commit(n);
    }
    void u32(std::uint32_t v) {
        store_le(reserve(4), v);
        commit(4);
    }
    Digest finish() {
        flush();
        return hash_.finish();
    }

private:
    static constexpr std::size_t kBuffer = std::size_t{1} << 16;
    void flush() noexcept {
        hash_.update(buffer_.data(), used_);
        used_ = 0;
    }
    Sha256 hash_;
    std::vector<std::uint8_t> buffer_;
    std::size_t used_ = 0;
};

// The heads of a graph's keys, each distinct head encoded once. Heads are
// told apart by their encoding, so that keys with equal heads get the same
// number whether or not they share one head object; the number of a head
// object is remembered by its address, in a small direct-mapped cache.
class HeadTable {
public:
    // For a graph of about `nodes` nodes: the cache is no larger than it.
    explicit HeadTable(std::size_t nodes) : cache_(std::bit_ceil(std::clamp<std::size_t>(nodes, 16, kCacheSlots))) {}

    // The number of the head of `key`.
    std::uint32_t number(const NodeKey& key) {
        const void* head = key.head_identity();
        Slot& slot = cache_[(reinterpret_cast<std::uintptr_t>(head) >> 4) & (cache_.size() - 1)];
        if (slot.head != head) slot = Slot{head, lookup(key)};
        return slot.number;
    }
    std::span<const std::uint8_t> bytes(std::uint32_t number) const {
        const Entry& e = entries_[number];
        return {bytes_.data() + e.offset, e.size};
    }
    std::size_t size() const noexcept { return entries_.size(); }

private:
    struct Slot {
        const void* head = nullptr;
        std::uint32_t number = 0;
    };
    struct Entry {
        std::size_t offset;
        std::size_t size;
        std::uint64_t hash;
    };
    static constexpr std::size_t kCacheSlots = 16384;

    std::uint32_t lookup(const NodeKey& key) {
        scratch_.clear();
        Encoder(scratch_).head(key);
        Hasher hasher;
        hasher.bytes(std::string_view(reinterpret_cast<const char*>(scratch_.data()), scratch_.size()));
        const std::uint64_t hash = hasher.finish();
        auto found = index_.find(hash, [&](NodeId i) {
            const std::span<const std::uint8_t> b = bytes(static_cast<std::uint32_t>(i));
            return b.size() == scratch_.size() && std::memcmp(b.data(), scratch_.data(), b.size()) == 0;
        });
        if (found) return static_cast<std::uint32_t>(*found);
        if (entries_.size() >= kMaxHeads) panic("a graph with more than 2^32-2 distinct node heads");
        index_.reserve_one([&](NodeId i) { return entries_[i].hash; });
        entries_.push_back({bytes_.size(), scratch_.size(), hash});
        bytes_.insert(bytes_.end(), scratch_.begin(), scratch_.end());
        index_.insert(hash, entries_.size() - 1);
        return static_cast<std::uint32_t>(entries_.size() - 1);
    }

    static constexpr std::size_t kMaxHeads = 0xfffffffeULL;
    std::vector<Slot> cache_;
    std::vector<Entry> entries_;
    std::vector<std::uint8_t> bytes_;
    IdTable index_;
    std::vector<std::uint8_t> scratch_;
};

std::optional<BadNodeId> first_missing(IdSpan ids, std::size_t count) {
    for (NodeId id : ids) {
        if (id >= count) return BadNodeId{id};
    }
    return std::nullopt;
}

void check_held(IdSpan ids, std::size_t count) {
    if (auto bad = first_missing(ids, count)) {
        panic("node " + std::to_string(bad->id) + " is not in the packed graph of " + std::to_string(count) +
              " nodes");
    }
}

}  // namespace

// Per node 16 bytes: its head's number, its input count and up to two
// inputs; longer input lists live in `extra`, and the node's two input words
// then hold their offset there. A walk in an order other than the ids' then
// mostly finds what it reads in cache.
struct PackedGraph::Impl {
    struct Node {
        std::uint32_t head;
        std::uint32_t count;
        std::uint32_t in[2];
    };
    explicit Impl(std::size_t limit) : heads(limit) {}

    HeadTable heads;
    LargeVector<Node> nodes;
    std::vector<std::uint32_t> extra;

    std::uint32_t head(NodeId id) const noexcept { return nodes[id].head; }
    std::span<const std::uint32_t> inputs(NodeId id) const noexcept {
        const Node& n = nodes[id];
        if (n.count <= 2) return {n.in, n.count};
        return {extra.data() + (std::uint64_t{n.in[1]} << 32 | n.in[0]), n.count};
    }
};

PackedGraph::PackedGraph(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
PackedGraph::PackedGraph(PackedGraph&&) noexcept = default;
PackedGraph& PackedGraph::operator=(PackedGraph&&) noexcept = default;
PackedGraph::~PackedGraph() = default;
std::size_t PackedGraph::size() const noexcept { return impl_->nodes.size(); }

template <class Nodes>
Result<PackedGraph, BadNodeId> PackedGraph::read(const Nodes& keys, std::optional<IdSpan> ids) {
    std::size_t limit = keys.size();
    if (ids) {
        if (auto bad = first_missing(*ids, keys.size())) return *bad;
        limit = 0;  // the nodes up to the highest id asked for
        for (NodeId id : *ids) limit = std::max<std::size_t>(limit, id + 1);
    }
    // Node ids and head numbers are 32 bits wide here; a store never holds
    // more nodes than that.
    if (limit > 0xfffffffeULL) panic("a graph of more than 2^32-2 nodes cannot be fingerprinted");
    auto g = std::make_unique<Impl>(limit);
    g->nodes.resize(limit);
    for (NodeId id = 0; id < limit; ++id) {
        const NodeKey& key = keys[id];
        const std::span<const NodeId> inputs = key.inputs();
        if (inputs.size() > 0xffffffffULL) panic("a node of more than 2^32-1 inputs cannot be fingerprinted");
        Impl::Node& n = g->nodes[id];
        n.head = g->heads.number(key);
        n.count = static_cast<std::uint32_t>(inputs.size());
        std::uint32_t* out = n.in;
        if (inputs.size() > 2) {
            const std::uint64_t offset = g->extra.size();
            n.in[0] = static_cast<std::uint32_t>(offset);
            n.in[1] = static_cast<std::uint32_t>(offset >> 32);
            g->extra.resize(offset + inputs.size());
            out = g->extra.data() + offset;
        }
        for (NodeId in : inputs) {
            if (in >= id) {
                panic("node " + std::to_string(id) + " has input " + std::to_string(in) + ", not an earlier node");
            }
            *out++ = static_cast<std::uint32_t>(in);
        }
    }
    return PackedGraph(std::move(g));
}

Result<PackedGraph, BadNodeId> PackedGraph::pack(std::span<const NodeKey> nodes, std::optional<IdSpan> ids) {
    return read(nodes, ids);
}
Result<PackedGraph, BadNodeId> PackedGraph::pack(const NodeView& nodes, std::optional<IdSpan> ids) {
    return read(nodes, ids);
}

LargeVector<Digest> node_digests(const PackedGraph& graph, std::optional<IdSpan> ids) {
    const PackedGraph::Impl& g = graph.impl();
    const std::size_t limit = graph.size();
    if (ids) check_held(*ids, limit);
    // A node's message: "VFP1", 'N', its head, its input count, its inputs'
    // digests. Only what the requested nodes depend on is hashed: inputs
    // come before their users, so one sweep down from the highest id finds it.
    std::vector<bool> needed(limit, !ids);
    if (ids) {
        for (NodeId id : *ids) needed[id] = true;
        for (NodeId id = limit; id-- > 0;) {
            if (!needed[id]) continue;
            for (std::uint32_t in : g.inputs(id)) needed[in] = true;
        }
    }
    LargeVector<Digest> digests(limit);
    std::vector<std::uint8_t> message;
    for (NodeId id = 0; id < limit; ++id) {
        if (!needed[id]) continue;
        const std::span<const std::uint8_t> head = g.heads.bytes(g.head(id));
        const std::span<const std::uint32_t> inputs = g.inputs(id);
        message.resize(sizeof kVersionTag + 1 + head.size() + 4 + inputs.size() * sizeof(Digest));
        std::uint8_t* p = message.data();
        std::memcpy(p, kVersionTag, sizeof kVersionTag);
        p[sizeof kVersionTag] = kNodeMessage;
        p += sizeof kVersionTag + 1;
        std::memcpy(p, head.data(), head.size());
        p += head.size();
        store_le(p, static_cast<std::uint32_t>(inputs.size()));
        p += 4;
        for (std::uint32_t in : inputs) {
            std::memcpy(p, digests[in].data(), sizeof(Digest));
            p += sizeof(Digest);
        }
        Sha256 h;
        h.update(message.data(), message.size());
        digests[id] = h.finish();
    }
    if (!ids) return digests;
    LargeVector<Digest> out;
    out.reserve(ids->size());
    for (NodeId id : *ids) out.push_back(digests[id]);
    return out;
}

namespace {

// The message of a graph digest: "VFP1", 'G', then the items of a walk of
// the graph. The reachable nodes are walked depth first from the outputs in
// their order, each node's inputs in their order, and a node is placed
// (given the next position and written as an item) once its inputs are: an
// order that depends on the graph alone, since a store holds every distinct
// node once. Heads are numbered in the order they are first written. After
// each output's walk comes an item naming its position. An explicit stack:
// graphs are deep.
class GraphWalk {
public:
    GraphWalk(const PackedGraph::Impl& g, std::size_t size)
        : g_(g), position_(size, kUnseen), head_number_(g.heads.size(), kOutputItem) {
        h_.write(kVersionTag, sizeof kVersionTag);
        h_.write(&kGraphMessage, 1);
    }

    // Walks what `root` reaches, then writes the output item.
    void output(NodeId root) {
        if (position_[root] == kUnseen) {
            position_[root] = kOpen;
            stack_.push_back({static_cast<std::uint32_t>(root), 0});
        }
        while (!stack_.empty()) {
            Frame& top = stack_.back();
            const std::span<const std::uint32_t> inputs = g_.inputs(top.id);
            if (top.next == 0) {  // the inputs are read next: start loading them all
                for (std::uint32_t in : inputs) {
                    __builtin_prefetch(&g_.nodes[in]);
                    __builtin_prefetch(&position_[in]);
                }
            }
            if (top.next < inputs.size()) {
                const std::uint32_t in = inputs[top.next++];
                if (position_[in] == kUnseen) {
                    position_[in] = kOpen;
                    stack_.push_back({in, 0});
                }
                continue;
            }
            place(top.id, inputs);
            stack_.pop_back();
        }
        h_.u32(kOutputItem);
        h_.u32(position_[root]);
    }

    Digest finish() { return h_.finish(); }

private:
    static constexpr std::uint32_t kUnseen = ~std::uint32_t{0};
    static constexpr std::uint32_t kOpen = kUnseen - 1;
    struct Frame {
        std::uint32_t id;
        std::uint32_t next;  // the next input to visit
    };

    // Writes a node item: its head's number (followed by the head the first
    // time), its input count, its inputs' positions.
    void place(std::uint32_t id, std::span<const std::uint32_t> inputs) {
        std::uint32_t& number = head_number_[g_.head(id)];
        if (number == kOutputItem) {
            number = heads_written_++;
            h_.u32(number);
            const std::span<const std::uint8_t> bytes = g_.heads.bytes(g_.head(id));
            h_.write(bytes.data(), bytes.size());
        } else {
            h_.u32(number);
        }
        const std::size_t size = 4 + 4 * inputs.size();
        std::uint8_t* p = h_.reserve(size);
        store_le(p, static_cast<std::uint32_t>(inputs.size()));
        p += 4;
        for (std::uint32_t in : inputs) {
            store_le(p, position_[in]);
            p += 4;
        }
        h_.commit(size);
        position_[id] = placed_++;
    }

    const PackedGraph::Impl& g_;
    LargeVector<std::uint32_t> position_;
    std::vector<std::uint32_t> head_number_;
    std::uint32_t heads_written_ = 0;
    std::uint32_t placed_ = 0;
    std::vector<Frame> stack_;
    BufferedSha256 h_;
};

}  // namespace

Digest graph_digest(const PackedGraph& graph, IdSpan outputs) {
    check_held(outputs, graph.size());
    GraphWalk walk(graph.impl(), graph.size());
    for (NodeId root : outputs) walk.output(root);
    return walk.finish();
}

Result<LargeVector<Digest>, BadNodeId> node_digests(std::span<const NodeKey> nodes, std::optional<IdSpan> ids) {
    auto packed = PackedGraph::pack(nodes, ids);
    if (!packed) return packed.error();
    return node_digests(packed.value(), ids);
}

Result<Digest, BadNodeId> graph_digest(std::span<const NodeKey> nodes, IdSpan outputs) {
    auto packed = PackedGraph::pack(nodes, outputs);
    if (!packed) return packed.error();
    return graph_digest(packed.value(), outputs);
}

}  // namespace veltrix
