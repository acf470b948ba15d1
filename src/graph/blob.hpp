// The IR blob: the canonical, versioned byte form of a graph store.
//
// Layout: "VIR1", u32 node count, one record per node in id order, then the
// outputs as an id list. Every field is fixed width and little-endian.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "graph/node.hpp"
#include "graph/param.hpp"
#include "graph/store.hpp"
#include "graph/support.hpp"

namespace veltrix {

inline constexpr char kBlobMagic[4] = {'V', 'I', 'R', '1'};

// Why a blob could not be read. The first failing read decides.
struct DecodeError {
    struct BadMagic {
        bool operator==(const BadMagic&) const = default;
    };
    struct Truncated {
        bool operator==(const Truncated&) const = default;
    };
    struct BadTag {
        std::string_view what;  // "node", "param" or "stage-ref"
        std::uint8_t tag;
        bool operator==(const BadTag&) const = default;
    };
    struct InvalidUtf8 {
        bool operator==(const InvalidUtf8&) const = default;
    };
    struct NodeOutOfRange {
        std::uint64_t index;
        bool operator==(const NodeOutOfRange&) const = default;
    };
    using Variant = std::variant<BadMagic, Truncated, BadTag, InvalidUtf8, NodeOutOfRange>;

    Variant v;

    DecodeError(BadMagic e) : v(e) {}
    DecodeError(Truncated e) : v(e) {}
    DecodeError(BadTag e) : v(e) {}
    DecodeError(InvalidUtf8 e) : v(e) {}
    DecodeError(NodeOutOfRange e) : v(e) {}

    template <class T>
    bool is() const noexcept {
        return std::holds_alternative<T>(v);
    }
    bool operator==(const DecodeError&) const = default;

    // The display text, e.g. "invalid node tag 9".
    std::string message() const;
};

// Strict UTF-8 check: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::span<const std::uint8_t> bytes) noexcept;

// A bounds-checked cursor over blob bytes. Every read first checks that the
// remaining length covers its width, then consumes; nothing is read past the
// end and no position arithmetic can overflow.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) noexcept : data_(bytes) {}

    std::size_t position() const noexcept { return pos_; }
    std::size_t remaining() const noexcept { return data_.size() - pos_; }

    Result<std::uint8_t, DecodeError> u8() noexcept;
    Result<std::uint32_t, DecodeError> u32() noexcept;
    Result<std::uint64_t, DecodeError> u64() noexcept;
    Result<std::int64_t, DecodeError> i64() noexcept;
    Result<double, DecodeError> f64() noexcept;
    Result<bool, DecodeError> flag() noexcept;
    // The next `n` bytes, without copying.
    Result<std::span<const std::uint8_t>, DecodeError> bytes(std::size_t n) noexcept;

    Result<std::string, DecodeError> string();
    Result<ParamMap, DecodeError> params();
    // An id list; every id must be below `limit`.
    Result<std::vector<NodeId>, DecodeError> inputs(NodeId limit);

private:
    bool has(std::size_t n) const noexcept { return n <= data_.size() - pos_; }
    std::uint64_t load_le(std::size_t width) noexcept;

    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

// Appends one parameter map in its stored order.
void put_params(std::vector<std::uint8_t>& buffer, const ParamMap& params);

// The exact byte size of the blob of `nodes` and `outputs`. A count, length
// or stage reference index beyond 32 bits is an internal failure here.
std::size_t serialized_size(std::span<const NodeKey> nodes, std::span<const NodeId> outputs);
// Writes that blob into `out`, which has room for exactly serialized_size bytes.
void serialize_into(std::uint8_t* out, std::span<const NodeKey> nodes, std::span<const NodeId> outputs);

// Encodes an already-copied node list with `outputs` as the outputs section
// (order and repeats kept). A count, length or stage reference index beyond
// 32 bits cannot be expressed by the format and is an internal failure.
std::vector<std::uint8_t> serialize_nodes(std::span<const NodeKey> nodes, std::span<const NodeId> outputs);

// Copies the store's nodes under its lock and encodes them without it.
std::vector<std::uint8_t> serialize_with(const GraphStore& store, std::span<const NodeId> outputs);

// Rebuilds a store through intern/mark_output, so node ids come back unchanged.
Result<std::unique_ptr<GraphStore>, DecodeError> deserialize(std::span<const std::uint8_t> bytes);

// The node map of a reduced store, which the blob does not carry, as bytes
// kept beside the blob (pickling a store keeps both): a u64 entry count,
// then per entry a u8 tag (0 absent, 1 a node, 2 a stage member), for 1 and
// 2 the node id as a u64 and for 2 the member index as a u64; little-endian.
std::vector<std::uint8_t> encode_node_map(std::span<const NodeMapEntry> map);
// A store read from `blob` with the node map read from `node_map`, whose
// every entry must name a node of that store, and a member index a member
// of that node, a stage.
Result<std::unique_ptr<GraphStore>, DecodeError> deserialize_with_node_map(std::span<const std::uint8_t> blob,
                                                                            std::span<const std::uint8_t> node_map);

}  // namespace veltrix
