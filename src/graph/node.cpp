#include "graph/node.hpp"

#include <charconv>
#include <variant>

namespace veltrix {

struct NodeKey::Extra {
    std::variant<PayloadDescriptor, std::vector<StageOp>> value;
};

void PayloadDescriptor::hash_into(Hasher& h) const noexcept {
    h.bytes(kind);
    h.bytes(content_hash);
    h.bytes(framework);
    h.bytes(version);
    h.bytes(io_schema);
    h.u8(preprocessing_ref ? 1 : 0);
    if (preprocessing_ref) h.bytes(*preprocessing_ref);
}

void StageOp::hash_into(Hasher& h) const noexcept {
    h.bytes(label);
    h.u64(inputs.size());
    for (const StageRef& r : inputs) {
        h.u64(r.kind);
        h.u64(r.index);
    }
}

NodeKey::NodeKey(NodeKind kind, std::string name, ParamMap params, std::vector<NodeId> inputs,
                 std::unique_ptr<Extra> extra)
    : kind_(kind),
      name_(std::move(name)),
      params_(std::move(params)),
      inputs_(std::move(inputs)),
      extra_(std::move(extra)) {}

NodeKey::NodeKey(const NodeKey& o)
    : kind_(o.kind_),
      name_(o.name_),
      params_(o.params_),
      inputs_(o.inputs_),
      extra_(o.extra_ ? std::make_unique<Extra>(*o.extra_) : nullptr) {}

NodeKey::NodeKey(NodeKey&&) noexcept = default;
NodeKey& NodeKey::operator=(NodeKey&&) noexcept = default;
NodeKey::~NodeKey() = default;

NodeKey& NodeKey::operator=(const NodeKey& o) {
    if (this != &o) *this = NodeKey(o);
    return *this;
}

NodeKey NodeKey::source(std::string name, ParamMap params) {
    return NodeKey(NodeKind::Source, std::move(name), std::move(params), {}, nullptr);
}
NodeKey NodeKey::op(std::string name, ParamMap params, std::vector<NodeId> inputs) {
    return NodeKey(NodeKind::Op, std::move(name), std::move(params), std::move(inputs), nullptr);
}
NodeKey NodeKey::reduction(std::string name, ParamMap params, std::vector<NodeId> inputs) {
    return NodeKey(NodeKind::Reduction, std::move(name), std::move(params), std::move(inputs), nullptr);
}
NodeKey NodeKey::external(PayloadDescriptor descriptor, ParamMap params, std::vector<NodeId> inputs) {
    return NodeKey(NodeKind::External, {}, std::move(params), std::move(inputs),
                   std::make_unique<Extra>(Extra{std::move(descriptor)}));
}
NodeKey NodeKey::stage(std::vector<NodeId> inputs, std::vector<StageOp> members) {
    return NodeKey(NodeKind::Stage, {}, {}, std::move(inputs), std::make_unique<Extra>(Extra{std::move(members)}));
}
NodeKey NodeKey::exchange(ParamMap params, std::vector<NodeId> inputs) {
    return NodeKey(NodeKind::Exchange, {}, std::move(params), std::move(inputs), nullptr);
}
NodeKey NodeKey::join(ParamMap params, std::vector<NodeId> inputs) {
    return NodeKey(NodeKind::Join, {}, std::move(params), std::move(inputs), nullptr);
}

const PayloadDescriptor& NodeKey::descriptor() const {
    if (kind_ != NodeKind::External) panic("descriptor of a node that is not external");
    return std::get<PayloadDescriptor>(extra_->value);
}

const std::vector<StageOp>& NodeKey::members() const {
    if (kind_ != NodeKind::Stage) panic("members of a node that is not a stage");
    return std::get<std::vector<StageOp>>(extra_->value);
}

NodeKey NodeKey::with_inputs(std::vector<NodeId> inputs) const {
    NodeKey copy(kind_, name_, params_, kind_ == NodeKind::Source ? std::vector<NodeId>{} : std::move(inputs),
                 extra_ ? std::make_unique<Extra>(*extra_) : nullptr);
    return copy;
}

// ---------------------------------------------------------------------------
// Equality and hash

bool NodeKey::equal_except_inputs(const NodeKey& o) const noexcept {
    if (kind_ != o.kind_ || name_ != o.name_ || !(params_ == o.params_)) return false;
    switch (kind_) {
        case NodeKind::External: return descriptor() == o.descriptor();
        case NodeKind::Stage: return members() == o.members();
        default: return true;
    }
}

bool NodeKey::operator==(const NodeKey& o) const noexcept {
    return inputs_ == o.inputs_ && equal_except_inputs(o);
}

std::uint64_t NodeKey::hash() const noexcept {
    Hasher h;
    h.u64(static_cast<std::uint64_t>(kind_));
    switch (kind_) {
        case NodeKind::Source:
        case NodeKind::Op:
        case NodeKind::Reduction: h.bytes(name_); break;
        case NodeKind::External: descriptor().hash_into(h); break;
        case NodeKind::Stage:
            h.u64(members().size());
            for (const StageOp& m : members()) m.hash_into(h);
            break;
        default: break;
    }
    params_.hash_into(h);
    h.u64(inputs_.size());
    for (NodeId id : inputs_) h.u64(id);
    return h.finish();
}

// ---------------------------------------------------------------------------
// Tokens and labels

void NodeKey::append_token(std::string& out) const {
    switch (kind_) {
        case NodeKind::Source: out += "src|"; append_escaped(out, name_); break;
        case NodeKind::Op: out += "op|"; append_escaped(out, name_); break;
        case NodeKind::Reduction: out += "red|"; append_escaped(out, name_); break;
        case NodeKind::External: {
            const PayloadDescriptor& d = descriptor();
            out += "ext|";
            out += d.kind;
            out += '|';
            out += d.content_hash;
            out += '|';
            out += d.framework;
            out += '|';
            out += d.version;
            out += '|';
            out += d.io_schema;
            out += '|';
            out += d.preprocessing_ref ? *d.preprocessing_ref : std::string("-");
            break;
        }
        case NodeKind::Stage:
            out += "stage|";
            out += std::to_string(members().size());
            return;
        case NodeKind::Exchange: out += "exch"; break;
        case NodeKind::Join: out += "join"; break;
    }
    append_params_suffix(out, params_);
}

std::string NodeKey::token() const {
    std::string out;
    append_token(out);
    return out;
}

std::string NodeKey::identity_token() const {
    std::string out;
    if (kind_ == NodeKind::External) {
        // Every field escaped, and an absent reference told apart from "-".
        const PayloadDescriptor& d = descriptor();
        out += "ext|";
        for (const std::string* f : {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) {
            append_escaped(out, *f);
            out += '|';
        }
        if (d.preprocessing_ref) {
            out += '=';
            append_escaped(out, *d.preprocessing_ref);
        } else {
            out += '-';
        }
        append_params_suffix(out, params_);
    } else if (kind_ == NodeKind::Stage) {
        // "stage|<n>" followed by "|label=i0,m1" per member.
        append_token(out);
        for (const StageOp& m : members()) {
            out += '|';
            append_escaped(out, m.label);
            out += '=';
            bool first = true;
            for (const StageRef& r : m.inputs) {
                if (!first) out += ',';
                first = false;
                out += r.kind == StageRef::Input ? 'i' : 'm';
                out += std::to_string(r.index);
            }
        }
    } else {
        append_token(out);
    }
    return out;
}

std::string NodeKey::label() const {
    std::string out;
    switch (kind_) {
        case NodeKind::Source: out = "Source " + name_; break;
        case NodeKind::Op: out = "Op " + name_; break;
        case NodeKind::Reduction: out = "Reduction " + name_; break;
        case NodeKind::External: {
            const PayloadDescriptor& d = descriptor();
            out = "External " + d.kind + ":" + d.content_hash + " [" + d.framework + " " + d.version + "]";
            break;
        }
        case NodeKind::Stage: return "Stage[" + std::to_string(members().size()) + " members]";
        case NodeKind::Exchange: out = "Exchange"; break;
        case NodeKind::Join: out = "Join"; break;
    }
    if (!params_.empty()) {
        out += ' ';
        params_.append_display(out);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Member token parsing

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::optional<std::int64_t> parse_i64(std::string_view s) {
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return std::nullopt;
    std::uint64_t magnitude = 0;
    for (char c : s) {
        if (!is_digit(c)) return std::nullopt;
        std::uint64_t d = static_cast<std::uint64_t>(c - '0');
        if (magnitude > (UINT64_MAX - d) / 10) return std::nullopt;
        magnitude = magnitude * 10 + d;
    }
    constexpr std::uint64_t limit = static_cast<std::uint64_t>(INT64_MAX);
    if (negative) {
        if (magnitude > limit + 1) return std::nullopt;
        return static_cast<std::int64_t>(0 - magnitude);
    }
    if (magnitude > limit) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
}

std::optional<std::uint64_t> parse_hex_u64(std::string_view s) {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : s) {
        unsigned d;
        if (is_digit(c)) d = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
        else return std::nullopt;
        if (v >> 60) return std::nullopt;
        v = (v << 4) | d;
    }
    return v;
}

std::optional<ParamValue> parse_value_token(std::string_view v) {
    if (v.empty()) return std::nullopt;
    std::string_view rest = v.substr(1);
    switch (v[0]) {
        case 's': return ParamValue::Str(unescape_token(rest));
        case 'i': {
            auto i = parse_i64(rest);
            if (!i) return std::nullopt;
            return ParamValue::Int(*i);
        }
        case 'b':
            if (rest == "true") return ParamValue::Bool(true);
            if (rest == "false") return ParamValue::Bool(false);
            return std::nullopt;
        case 'f': {
            auto bits = parse_hex_u64(rest);
            if (!bits) return std::nullopt;
            return ParamValue::Float(float_from_bits(*bits));
        }
        default: return std::nullopt;  // also every lead byte of a multi-byte character
    }
}

}  // namespace

std::optional<ParsedOpToken> parse_op_token(std::string_view text) {
    std::size_t bar1 = text.find('|');
    std::string_view kind = text.substr(0, bar1);
    if (kind != "op" && kind != "red") return std::nullopt;
    if (bar1 == std::string_view::npos) return std::nullopt;  // no name piece
    std::string_view after = text.substr(bar1 + 1);
    std::size_t bar2 = after.find('|');
    std::string_view name = after.substr(0, bar2);
    std::string_view rest = bar2 == std::string_view::npos ? std::string_view() : after.substr(bar2 + 1);

    ParsedOpToken out{std::string(kind), unescape_token(name), {}};
    if (rest.empty()) return out;

    std::vector<ParamEntry> entries;
    std::size_t pos = 0;
    while (true) {
        std::size_t semi = rest.find(';', pos);
        std::string_view item = rest.substr(pos, semi == std::string_view::npos ? std::string_view::npos : semi - pos);
        std::size_t eq = item.find('=');
        if (eq == std::string_view::npos) return std::nullopt;
        auto value = parse_value_token(item.substr(eq + 1));
        if (!value) return std::nullopt;
        entries.push_back(ParamEntry{unescape_token(item.substr(0, eq)), std::move(*value)});
        if (semi == std::string_view::npos) break;
        pos = semi + 1;
    }
    out.params = ParamMap::make(std::move(entries));
    return out;
}

}  // namespace veltrix
