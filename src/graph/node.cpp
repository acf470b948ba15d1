#include "graph/node.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <memory>
#include <new>
#include <variant>

namespace veltrix {

namespace {

// The head hash of a key without extra fields.
Hasher basic_head_hasher(NodeKind kind, std::string_view name) noexcept {
    Hasher h;
    h.u64(static_cast<std::uint64_t>(kind));
    if (kind == NodeKind::Source || kind == NodeKind::Op || kind == NodeKind::Reduction) h.bytes(name);
    return h;
}

std::uint64_t hash_basic_head(NodeKind kind, std::string_view name, const ParamMap& params) noexcept {
    Hasher h = basic_head_hasher(kind, name);
    params.hash_into(h);
    return h.finish();
}

std::uint64_t key_hash(std::uint64_t head_hash, std::span<const NodeId> inputs) noexcept {
    Hasher h;
    h.u64(head_hash);
    h.u64(inputs.size());
    for (NodeId id : inputs) h.u64(id);
    return h.finish();
}

}  // namespace

struct NodeKey::Head : detail::KeyHeadFields {
    // The descriptor of an External or the members of a Stage, kept out of
    // line so that the heads of the other kinds stay small.
    using Extra = std::variant<PayloadDescriptor, std::vector<StageOp>>;
    std::unique_ptr<Extra> extra;

    Head(NodeKind k, std::string n, ParamMap p) : KeyHeadFields(k, std::move(n), std::move(p)) {}

    // The tag, then the fields in their listed order.
    void compute_hash() noexcept {
        if (kind != NodeKind::External && kind != NodeKind::Stage) {
            hash = hash_basic_head(kind, name, params);
            return;
        }
        Hasher h;
        h.u64(static_cast<std::uint64_t>(kind));
        switch (kind) {
            case NodeKind::Source:
            case NodeKind::Op:
            case NodeKind::Reduction: h.bytes(name); break;
            case NodeKind::External: std::get<PayloadDescriptor>(*extra).hash_into(h); break;
            case NodeKind::Stage: {
                const auto& members = std::get<std::vector<StageOp>>(*extra);
                h.u64(members.size());
                for (const StageOp& m : members) m.hash_into(h);
                break;
            }
            default: break;
        }
        params.hash_into(h);
        hash = h.finish();
    }

    bool operator==(const Head& o) const noexcept {
        return hash == o.hash && kind == o.kind && name == o.name && params == o.params &&
               (extra == nullptr ? o.extra == nullptr : o.extra != nullptr && *extra == *o.extra);
    }
};

void PayloadDescriptor::hash_into(Hasher& h) const noexcept {
    for (const std::string* f : texts()) h.bytes(*f);
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

NodeKey::NodeKey(Head* head, std::span<const NodeId> inputs, std::size_t flags)
    : head_(head), count_(inputs.size() | flags) {
    store_inputs(inputs);
}

NodeKey::NodeKey(const NodeKey& o) : head_(o.head_), count_(o.count_ & kCountMask) {
    retain(full(head_));
    store_inputs(o.inputs());
}

void NodeKey::store_inputs(std::span<const NodeId> inputs) {
    const std::size_t n = count_ & kCountMask;
    if (n <= kInline) {
        std::copy(inputs.begin(), inputs.end(), inline_);
        return;
    }
    try {
        heap_ = new NodeId[n];
    } catch (...) {
        count_ &= kHeadLent;
        release();
        throw;
    }
    std::copy(inputs.begin(), inputs.end(), heap_);
}

NodeKey::NodeKey(NodeKey&& o) noexcept : head_(o.head_), count_(o.count_) {
    if ((count_ & kCountMask) <= kInline) {
        std::copy(o.inline_, o.inline_ + (count_ & kCountMask), inline_);
    } else {
        heap_ = o.heap_;
    }
    // The moved-from key stays valid: an empty source.
    o.head_ = empty_head();
    o.count_ = 0;
}

NodeKey& NodeKey::operator=(NodeKey&& o) noexcept {
    if (this != &o) {
        this->~NodeKey();
        new (this) NodeKey(std::move(o));
    }
    return *this;
}

NodeKey& NodeKey::operator=(const NodeKey& o) {
    if (this != &o) *this = NodeKey(o);
    return *this;
}


void NodeKey::release() noexcept {
    if ((count_ & kBorrowed) == 0) {
        if ((count_ & kCountMask) > kInline) delete[] heap_;
        if ((count_ & kHeadLent) == 0) drop(full(head_));
    }
    count_ = 0;
    head_ = empty_head();
}

NodeKey::Head* NodeKey::new_head(NodeKind kind, std::string name, ParamMap params, PayloadDescriptor* descriptor,
                                 std::vector<StageOp>* members) {
    auto* head = new Head(kind, std::move(name), std::move(params));
    std::unique_ptr<Head> owned(head);
    if (descriptor != nullptr) owned->extra = std::make_unique<Head::Extra>(std::move(*descriptor));
    if (members != nullptr) owned->extra = std::make_unique<Head::Extra>(std::move(*members));
    owned.release();
    head->compute_hash();
    return head;
}

NodeKey::Head* NodeKey::empty_head() noexcept {
    static Head* const empty = [] {
        auto* head = new Head(NodeKind::Source, {}, {});
        head->compute_hash();
        return head;
    }();
    return empty;
}

NodeKey::Head* NodeKey::full(detail::KeyHeadFields* head) noexcept { return static_cast<Head*>(head); }

void NodeKey::retain(Head* head) noexcept {
    if (head != empty_head()) head->refs.fetch_add(1, std::memory_order_relaxed);
}

void NodeKey::drop(Head* head) noexcept {
    if (head != empty_head() && head->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete head;
}

NodeKey NodeKey::source(std::string name, ParamMap params) {
    return NodeKey(new_head(NodeKind::Source, std::move(name), std::move(params)), {});
}
NodeKey NodeKey::op(std::string name, ParamMap params, std::vector<NodeId> inputs) {
    return NodeKey(new_head(NodeKind::Op, std::move(name), std::move(params)), inputs);
}
NodeKey NodeKey::reduction(std::string name, ParamMap params, std::vector<NodeId> inputs) {
    return NodeKey(new_head(NodeKind::Reduction, std::move(name), std::move(params)), inputs);
}
NodeKey NodeKey::external(PayloadDescriptor descriptor, ParamMap params, std::vector<NodeId> inputs) {
    return NodeKey(new_head(NodeKind::External, {}, std::move(params), &descriptor), inputs);
}
NodeKey NodeKey::stage(std::vector<NodeId> inputs, std::vector<StageOp> members) {
    return NodeKey(new_head(NodeKind::Stage, {}, {}, nullptr, &members), inputs);
}
NodeKey NodeKey::exchange(ParamMap params, std::vector<NodeId> inputs) {
    return NodeKey(new_head(NodeKind::Exchange, {}, std::move(params)), inputs);
}
NodeKey NodeKey::join(ParamMap params, std::vector<NodeId> inputs) {
    return NodeKey(new_head(NodeKind::Join, {}, std::move(params)), inputs);
}
NodeKey NodeKey::basic(NodeKind kind, std::string name, ParamMap params, std::span<const NodeId> inputs,
                       std::optional<std::uint64_t> head_hash) {
    if (kind == NodeKind::External || kind == NodeKind::Stage) panic("basic key of a kind with extra fields");
    if (kind == NodeKind::Source) inputs = {};
    if (!head_hash) return NodeKey(new_head(kind, std::move(name), std::move(params)), inputs);
    auto* head = new Head(kind, std::move(name), std::move(params));
    head->hash = *head_hash;
    return NodeKey(head, inputs);
}


const PayloadDescriptor& NodeKey::descriptor() const {
    if (kind() != NodeKind::External) panic("descriptor of a node that is not external");
    return std::get<PayloadDescriptor>(*full(head_)->extra);
}

const std::vector<StageOp>& NodeKey::members() const {
    if (kind() != NodeKind::Stage) panic("members of a node that is not a stage");
    return std::get<std::vector<StageOp>>(*full(head_)->extra);
}

NodeKey NodeKey::with_inputs(std::vector<NodeId> inputs) const { return with_input_list(inputs); }

NodeKey NodeKey::with_input_list(std::span<const NodeId> inputs) const {
    retain(full(head_));
    return NodeKey(full(head_), kind() == NodeKind::Source ? std::span<const NodeId>() : inputs);
}

NodeKey NodeKey::with_input_list_lent(std::span<const NodeId> inputs) const {
    return NodeKey(full(head_), kind() == NodeKind::Source ? std::span<const NodeId>() : inputs, kHeadLent);
}

void NodeKey::share_head(const NodeKey& other) noexcept {
    if (head_ == other.head_) return;
    if ((count_ & kHeadLent) == 0) drop(full(head_));
    count_ |= kHeadLent;
    head_ = other.head_;
}

// ---------------------------------------------------------------------------
// Equality and hash

bool NodeKey::equal_except_inputs(const NodeKey& o) const noexcept {
    return head_ == o.head_ || *full(head_) == *full(o.head_);
}

bool NodeKey::operator==(const NodeKey& o) const noexcept {
    const auto a = inputs();
    const auto b = o.inputs();
    return std::equal(a.begin(), a.end(), b.begin(), b.end()) && equal_except_inputs(o);
}


std::uint64_t NodeKey::hash() const noexcept { return key_hash(head_->hash, inputs()); }


std::uint64_t NodeKey::basic_head_hash(NodeKind kind, std::string_view name, ParamRefs params) noexcept {
    Hasher h = basic_head_hasher(kind, name);
    ParamMap::hash_refs_into(h, params);
    return h.finish();
}

std::uint64_t NodeKey::hash_with_inputs(std::uint64_t head_hash, std::span<const NodeId> inputs) noexcept {
    return key_hash(head_hash, inputs);
}

bool NodeKey::head_equals_basic(NodeKind kind, std::string_view name, ParamRefs params) const noexcept {
    return head_->kind == kind && full(head_)->extra == nullptr && head_->name == name && head_->params == params;
}

bool NodeKey::equals_basic(NodeKind kind, std::string_view name, ParamRefs params,
                           std::span<const NodeId> inputs) const noexcept {
    if (kind == NodeKind::Source) inputs = {};
    const auto mine = this->inputs();
    return std::equal(mine.begin(), mine.end(), inputs.begin(), inputs.end()) &&
           head_equals_basic(kind, name, params);
}

// ---------------------------------------------------------------------------
// Tokens and labels

void NodeKey::append_token(std::string& out) const {
    switch (kind()) {
        case NodeKind::Source: out += "src|"; append_escaped(out, name()); break;
        case NodeKind::Op: out += "op|"; append_escaped(out, name()); break;
        case NodeKind::Reduction: out += "red|"; append_escaped(out, name()); break;
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
    append_params_suffix(out, params());
}

std::string NodeKey::token() const {
    std::string out;
    append_token(out);
    return out;
}

std::string NodeKey::identity_token() const {
    std::string out;
    if (kind() == NodeKind::External) {
        // Every field escaped, and an absent reference told apart from "-".
        const PayloadDescriptor& d = descriptor();
        out += "ext|";
        for (const std::string* f : d.texts()) {
            append_escaped(out, *f);
            out += '|';
        }
        if (d.preprocessing_ref) {
            out += '=';
            append_escaped(out, *d.preprocessing_ref);
        } else {
            out += '-';
        }
        append_params_suffix(out, params());
    } else if (kind() == NodeKind::Stage) {
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
    switch (kind()) {
        case NodeKind::Source: out = "Source " + name(); break;
        case NodeKind::Op: out = "Op " + name(); break;
        case NodeKind::Reduction: out = "Reduction " + name(); break;
        case NodeKind::External: {
            const PayloadDescriptor& d = descriptor();
            out = "External " + d.kind + ":" + d.content_hash + " [" + d.framework + " " + d.version + "]";
            break;
        }
        case NodeKind::Stage: return "Stage[" + std::to_string(members().size()) + " members]";
        case NodeKind::Exchange: out = "Exchange"; break;
        case NodeKind::Join: out = "Join"; break;
    }
    if (!params().empty()) {
        out += ' ';
        params().append_display(out);
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
