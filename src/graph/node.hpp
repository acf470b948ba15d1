// Node keys: the complete structural identity of a node.
#pragma once

#include <cstdint>
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

class NodeKey {
public:
    static NodeKey source(std::string name, ParamMap params = {});
    static NodeKey op(std::string name, ParamMap params, std::vector<NodeId> inputs);
    static NodeKey reduction(std::string name, ParamMap params, std::vector<NodeId> inputs);
    static NodeKey external(PayloadDescriptor descriptor, ParamMap params, std::vector<NodeId> inputs);
    static NodeKey stage(std::vector<NodeId> inputs, std::vector<StageOp> members);
    static NodeKey exchange(ParamMap params, std::vector<NodeId> inputs);
    static NodeKey join(ParamMap params, std::vector<NodeId> inputs);

    NodeKey(const NodeKey& other);
    NodeKey& operator=(const NodeKey& other);
    NodeKey(NodeKey&&) noexcept;
    NodeKey& operator=(NodeKey&&) noexcept;
    ~NodeKey();

    NodeKind kind() const noexcept { return kind_; }
    bool is_op() const noexcept { return kind_ == NodeKind::Op; }
    // Name of a Source, Op or Reduction; empty for the other kinds.
    const std::string& name() const noexcept { return name_; }
    // Empty for a Stage.
    const ParamMap& params() const noexcept { return params_; }
    // The input list of the key's kind (always empty for a Source).
    std::span<const NodeId> inputs() const noexcept { return inputs_; }
    // Only for External / Stage; an internal failure otherwise.
    const PayloadDescriptor& descriptor() const;
    const std::vector<StageOp>& members() const;

    // A copy with its input list replaced (a Source ignores the list).
    NodeKey with_inputs(std::vector<NodeId> inputs) const;

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

private:
    struct Extra;  // descriptor or stage members
    NodeKey(NodeKind kind, std::string name, ParamMap params, std::vector<NodeId> inputs,
            std::unique_ptr<Extra> extra);

    NodeKind kind_;
    std::string name_;
    ParamMap params_;
    std::vector<NodeId> inputs_;
    std::unique_ptr<Extra> extra_;
};

struct ParsedOpToken {
    std::string kind;  // "op" or "red"
    std::string name;
    ParamMap params;
};

// Inverse of the token of an Op or Reduction; nothing for other text.
std::optional<ParsedOpToken> parse_op_token(std::string_view text);

}  // namespace veltrix
