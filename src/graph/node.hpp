// Node keys: the complete structural identity of a node.
#pragma once

#include <cstdint>
#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "graph/param.hpp"
#include "graph/support.hpp"

namespace veltrix {

enum class NodeKind : std::uint8_t {
    Source = 0,
    Op = 1,
    Reduction = 2,
    External = 3,
    Stage = 4,
    Exchange = 5,
    Join = 6,
};

struct PayloadDescriptor {
    std::string kind;
    std::string content_hash;
    std::string framework;
    std::string version;
    std::string io_schema;
    std::optional<std::string> preprocessing_ref;

    bool operator==(const PayloadDescriptor&) const = default;
    void hash_into(Hasher& h) const noexcept;
    // The required text fields, in the order every encoding of a
    // descriptor (blob, fingerprint, hash, label) takes them.
    std::array<const std::string*, 5> texts() const noexcept {
        return {&kind, &content_hash, &framework, &version, &io_schema};
    }
    std::array<std::string*, 5> texts() noexcept { return {&kind, &content_hash, &framework, &version, &io_schema}; }
};

struct StageRef {
    enum Kind : std::uint8_t { Input = 0, Member = 1 };
    Kind kind = Input;
    std::size_t index = 0;

    static StageRef input(std::size_t i) { return {Input, i}; }
    static StageRef member(std::size_t i) { return {Member, i}; }
    bool operator==(const StageRef&) const = default;
};

struct StageOp {
    std::string label;  // the token of the fused operation
    std::vector<StageRef> inputs;

    bool operator==(const StageOp&) const = default;
    void hash_into(Hasher& h) const noexcept;
};

namespace detail {

// The fields of a key head that the inline accessors read; the full head
// (with its extra fields) is private to node.cpp.
struct KeyHeadFields {
    mutable std::atomic<std::size_t> refs{1};
    NodeKind kind;
    std::uint64_t hash = 0;  // of kind, name or descriptor or members, and params
    std::string name;
    ParamMap params;

    KeyHeadFields(NodeKind k, std::string n, ParamMap p) : kind(k), name(std::move(n)), params(std::move(p)) {}
};

}  // namespace detail

// A node key is two parts: the head (kind, name or descriptor or members, and
// parameters), immutable and shared between copies through a reference
// count, and the input list, stored inline for up to two inputs. Copying a
// key therefore allocates nothing for the common shapes, and a store keeps
// one head for every group of nodes that differ only by their inputs.
// Sharing is invisible: heads never change once built.
class NodeKey {
public:
    static NodeKey source(std::string name, ParamMap params = {});
    static NodeKey op(std::string name, ParamMap params, std::vector<NodeId> inputs);
    static NodeKey reduction(std::string name, ParamMap params, std::vector<NodeId> inputs);
    static NodeKey external(PayloadDescriptor descriptor, ParamMap params, std::vector<NodeId> inputs);
    static NodeKey stage(std::vector<NodeId> inputs, std::vector<StageOp> members);
    static NodeKey exchange(ParamMap params, std::vector<NodeId> inputs);
    static NodeKey join(ParamMap params, std::vector<NodeId> inputs);
    // Source, Op, Reduction, Exchange or Join (the kinds without extra
    // fields; `name` must be empty for the last two) from borrowed inputs.
    // `head_hash`, when given, must be basic_head_hash of the same parts.
    static NodeKey basic(NodeKind kind, std::string name, ParamMap params, std::span<const NodeId> inputs,
                         std::optional<std::uint64_t> head_hash = std::nullopt);

    NodeKey(const NodeKey& other);
    NodeKey& operator=(const NodeKey& other);
    NodeKey(NodeKey&& other) noexcept;
    NodeKey& operator=(NodeKey&& other) noexcept;
    ~NodeKey() {
        if ((count_ & kBorrowed) == 0) release();  // a borrowed key owns nothing
    }

    NodeKind kind() const noexcept { return head_->kind; }
    bool is_op() const noexcept { return kind() == NodeKind::Op; }
    // Name of a Source, Op or Reduction; empty for the other kinds.
    const std::string& name() const noexcept { return head_->name; }
    // Empty for a Stage.
    const ParamMap& params() const noexcept { return head_->params; }
    // The input list of the key's kind (always empty for a Source).
    std::span<const NodeId> inputs() const noexcept {
        const std::size_t n = count_ & kCountMask;
        return {n <= kInline ? inline_ : heap_, n};
    }
    // Only for External / Stage; an internal failure otherwise.
    const PayloadDescriptor& descriptor() const;
    const std::vector<StageOp>& members() const;

    // A copy with its input list replaced (a Source ignores the list).
    NodeKey with_inputs(std::vector<NodeId> inputs) const;
    NodeKey with_input_list(std::span<const NodeId> inputs) const;
    // The same, for a key that goes into the store that holds this one (or
    // nowhere): it shares the head without counting itself on it, so that
    // threads recording the same operation do not all write the head's
    // count. The store keeps the head through the node that counts on it,
    // which comes before and goes first; a lent key never touches its head
    // when it goes, and its copies count as usual.
    NodeKey with_input_list_lent(std::span<const NodeId> inputs) const;

    // Textual identity without inputs, e.g. "op|add|scalar=f0000000000000000;side=sr".
    std::string token() const;
    void append_token(std::string& out) const;
    // Like token(), but injective over everything except the inputs: externals
    // carry their escaped descriptor and stages their members. Equal to token()
    // for every other kind. The optimizer uses it as the engine label.
    std::string identity_token() const;
    // Human-readable caption, e.g. "Op add {scalar=0, side=\"r\"}".
    std::string label() const;

    bool operator==(const NodeKey& other) const noexcept;
    bool equal_except_inputs(const NodeKey& other) const noexcept;
    std::uint64_t hash() const noexcept;

    // head_hash(), hash() and the equalities for the key that basic(kind,
    // name, params, inputs) would build, without building it.
    // `params` in ParamMap order (ParamMap::sort_refs).
    static std::uint64_t basic_head_hash(NodeKind kind, std::string_view name, ParamRefs params) noexcept;
    static std::uint64_t hash_with_inputs(std::uint64_t head_hash, std::span<const NodeId> inputs) noexcept;
    bool equals_basic(NodeKind kind, std::string_view name, ParamRefs params,
                      std::span<const NodeId> inputs) const noexcept;
    bool head_equals_basic(NodeKind kind, std::string_view name, ParamRefs params) const noexcept;

    // Hash of everything but the inputs (agrees with equal_except_inputs).
    std::uint64_t head_hash() const noexcept { return head_->hash; }
    // Makes this key share the head of `other`, which must be
    // equal_except_inputs to it; saves the memory of the duplicate head. The
    // head is lent, as by with_input_list_lent: for a key that goes into the
    // store that holds `other` (or nowhere).
    void share_head(const NodeKey& other) noexcept;
    // A key that refers to everything of `owner` without owning it: no
    // reference counting, no copy of the inputs. Valid only while `owner`, or
    // the key it is moved into, lives; copying a borrowed key gives an
    // ordinary one. For short-lived views of a store's nodes.
    static NodeKey borrow(const NodeKey& owner) noexcept { return NodeKey(owner, BorrowTag{}); }

    // True when both keys use the same head object (then equal_except_inputs).
    bool shares_head_with(const NodeKey& other) const noexcept { return head_ == other.head_; }
    // The head object's address: equal for keys that share it, for memoising
    // per head while the keys are alive.
    const void* head_identity() const noexcept { return head_; }
    // Starts loading the head (for lookups of many keys in a row).
    void prefetch_head() const noexcept { __builtin_prefetch(head_); }

private:
    struct Head;
    static constexpr std::size_t kInline = 2;
    // The top bit of count_ marks a borrowed key, the next one a key whose
    // head is lent (owned inputs, no count on the head).
    static constexpr std::size_t kBorrowed = std::size_t{1} << 63;
    static constexpr std::size_t kHeadLent = std::size_t{1} << 62;
    static constexpr std::size_t kCountMask = kHeadLent - 1;

    static Head* new_head(NodeKind kind, std::string name, ParamMap params, PayloadDescriptor* descriptor = nullptr,
                          std::vector<StageOp>* members = nullptr);
    // The head of a moved-from key; never counted, never freed.
    static Head* empty_head() noexcept;
    static Head* full(detail::KeyHeadFields* head) noexcept;
    static void retain(Head* head) noexcept;
    static void drop(Head* head) noexcept;

    NodeKey(Head* head, std::span<const NodeId> inputs, std::size_t flags = 0);
    struct BorrowTag {};
    NodeKey(const NodeKey& owner, BorrowTag) noexcept
        : head_(owner.head_), count_((owner.count_ & kCountMask) | kBorrowed) {
        const std::size_t n = owner.count_ & kCountMask;
        if (n <= kInline) {
            for (std::size_t i = 0; i < n; ++i) inline_[i] = owner.inline_[i];
        } else {
            heap_ = owner.heap_;
        }
    }
    void release() noexcept;
    // Fills the input storage for count_ inputs; on failure releases the head.
    void store_inputs(std::span<const NodeId> inputs);

    detail::KeyHeadFields* head_;  // a Head
    std::size_t count_ = 0;
    union {
        NodeId inline_[kInline];
        NodeId* heap_;
    };
};

struct ParsedOpToken {
    std::string kind;  // "op" or "red"
    std::string name;
    ParamMap params;
};

// Inverse of the token of an Op or Reduction; nothing for other text.
std::optional<ParsedOpToken> parse_op_token(std::string_view text);

}  // namespace veltrix
