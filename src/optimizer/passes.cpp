#include "optimizer/passes.hpp"

#include <algorithm>
#include <string>

namespace veltrix {

namespace {

constexpr std::uint32_t kNone = 0xffffffffu;

[[noreturn]] void input_not_earlier(std::uint64_t node, std::uint64_t input) {
    panic("index out of range: input " + std::to_string(input) + " of node " + std::to_string(node) +
          " does not precede it");
}

}  // namespace

// ---------------------------------------------------------------------------
// The input graph

template <class Nodes>
InputGraph InputGraph::read(const Nodes& nodes) {
    const std::size_t n = nodes.size();
    if (n >= kMaxNodes) panic("a reduction handles fewer than 2^32 - 2 nodes, not " + std::to_string(n));
    InputGraph g;
    g.head_of_.resize(n);
    g.first_.resize(n + 1);
    g.inputs_.reserve(n + n / 2);
    // The head index of every head object: open addressing by its address,
    // kept at most half full. A slot holds the index + 1 (0 = empty) and low
    // bits of the address's hash. The heads of a graph are usually few, as
    // keys that differ only by their inputs share one.
    std::vector<std::uint64_t> seen(64, 0);
    auto hash_of = [](const void* head) { return mix64(reinterpret_cast<std::uintptr_t>(head)); };
    auto slot_of = [&](const void* head, std::uint64_t h) {
        const std::size_t mask = seen.size() - 1;
        for (std::size_t s = h & mask;; s = (s + 1) & mask) {
            const std::uint64_t v = seen[s];
            if (v == 0 || ((v >> 32) == (h >> 32) && g.heads_[(v & 0xffffffffu) - 1].head_identity() == head)) return s;
        }
    };
    for (std::size_t i = 0; i < n; ++i) {
        const NodeKey& key = nodes[i];
        const void* head = key.head_identity();
        const std::uint64_t h = hash_of(head);
        std::size_t s = slot_of(head, h);
        if (seen[s] == 0) {
            g.heads_.push_back(NodeKey::borrow(key));
            seen[s] = (h >> 32 << 32) | g.heads_.size();
            if (2 * g.heads_.size() > seen.size()) {
                std::vector<std::uint64_t> old(2 * seen.size(), 0);
                old.swap(seen);
                for (std::uint64_t v : old) {
                    if (v != 0) seen[slot_of(nullptr, hash_of(g.heads_[(v & 0xffffffffu) - 1].head_identity()))] = v;
                }
                s = slot_of(head, h);
            }
        }
        g.head_of_[i] = static_cast<std::uint32_t>((seen[s] & 0xffffffffu) - 1);
        g.first_[i] = static_cast<std::uint32_t>(g.inputs_.size());
        for (NodeId x : key.inputs()) {
            if (x >= n) index_out_of_bounds(n, x);
            g.inputs_.push_back(static_cast<std::uint32_t>(x));
        }
        if (g.inputs_.size() >= kMaxNodes) panic("a reduction handles fewer than 2^32 - 2 input entries");
    }
    g.first_[n] = static_cast<std::uint32_t>(g.inputs_.size());
    return g;
}

InputGraph InputGraph::of(std::span<const NodeKey> nodes) { return read(nodes); }
InputGraph InputGraph::of(const NodeView& nodes) { return read(nodes); }

// ---------------------------------------------------------------------------
// Dead-code elimination

DceResult dead_code_elimination(const InputGraph& nodes, std::span<const std::uint64_t> outputs) {
    const std::size_t n = nodes.size();
    DceResult out;
    // Reached nodes are marked 0 first and numbered afterwards.
    constexpr std::uint32_t kReached = 0;
    LargeVector<std::uint32_t>& number = out.old_to_new;
    number.assign(n, kDropped);
    for (std::uint64_t o : outputs) at_checked(number, o) = kReached;
    // Inputs precede their users, so one downward scan marks everything an
    // output reaches: a node's users are all behind it when it is looked at.
    for (std::size_t i = n; i-- > 0;) {
        if (number[i] == kDropped) continue;
        for (std::uint32_t x : nodes.inputs(i)) {
            if (x >= i) input_not_earlier(i, x);
            number[x] = kReached;
        }
    }
    std::uint32_t kept = 0;
    for (std::uint32_t& v : number) {
        if (v != kDropped) v = kept++;
    }
    out.kept = kept;
    out.outputs.reserve(outputs.size());
    for (std::uint64_t o : outputs) out.outputs.push_back(number[o]);
    return out;
}

// ---------------------------------------------------------------------------
// TokenTable

TokenTable::TokenTable(std::span<const NodeKey> nodes, const EngineGraph& graph) : labels_(graph.labels()) {
    if (graph.size() < nodes.size()) panic("index out of range: token table has fewer labels than nodes");
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (!nodes[i].is_op()) offer(graph.label_id(i), nodes[i]);
    }
}

void TokenTable::offer(LabelId label, const NodeKey& key) {
    if (label >= keys_.size()) keys_.resize(std::max<std::size_t>(label + 1, 2 * keys_.size()));
    if (keys_[label]) return;
    keys_[label] = key;
    ++count_;
}

const NodeKey& TokenTable::at(const Labels& labels, LabelId id) const {
    if (&labels != labels_.get()) {
        const std::optional<LabelId> own = labels_->find(labels.text(id));
        if (!own) panic("no entry found for key");
        id = *own;
    }
    if (id >= keys_.size() || !keys_[id]) panic("no entry found for key");
    return *keys_[id];
}

KeptGraph to_engine_graph(InputGraph&& nodes, const DceResult& kept) {
    const std::size_t n = nodes.size();
    if (kept.old_to_new.size() != n) panic("dead-code elimination ran over other nodes");
    KeptGraph out;
    auto labels = std::make_shared<Labels>();
    out.tokens = TokenTable(labels);
    // A node's label is its token, except that externals and stages carry
    // their whole identity (NodeKey::identity_token): two boundary nodes
    // then share a label only when their keys agree apart from the inputs.
    // It is worked out once per head.
    std::vector<LabelId> label_of_head(nodes.heads_.size(), kNone);
    // The kept nodes move down within the input graph's own arrays, which
    // become the engine graph's: node k < i is written only after node i's
    // place was read, as is every input entry.
    LargeVector<std::uint32_t>& label = nodes.head_of_;
    LargeVector<std::uint32_t>& first = nodes.first_;
    LargeVector<std::uint32_t>& inputs = nodes.inputs_;
    std::size_t k = 0;
    std::uint32_t at = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (kept.old_to_new[i] == kDropped) continue;
        const std::uint32_t head = label[i];
        LabelId& l = label_of_head[head];
        if (l == kNone) l = labels->intern(nodes.heads_[head].identity_token());
        const std::uint32_t begin = first[i];
        const std::uint32_t end = first[i + 1];
        first[k] = at;
        // Every input of a kept node is kept and earlier (checked by the marking).
        for (std::uint32_t e = begin; e < end; ++e) inputs[at++] = kept.old_to_new[inputs[e]];
        label[k] = l;
        if (labels->boundary(l)) out.tokens.offer(l, nodes.heads_[head]);
        ++k;
    }
    first[k] = at;
    label.resize(k);
    first.resize(k + 1);
    inputs.resize(at);
    out.graph = EngineGraph(std::move(labels), std::move(label), std::move(first), std::move(inputs));
    out.graph.outputs = kept.outputs;
    return out;
}

EngineGraph to_engine_graph(std::span<const NodeKey> nodes, std::span<const std::uint64_t> outputs) {
    DceResult all;
    all.old_to_new.resize(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) all.old_to_new[i] = static_cast<std::uint32_t>(i);
    all.kept = nodes.size();
    all.outputs.assign(outputs.begin(), outputs.end());
    return std::move(to_engine_graph(InputGraph::of(nodes), all).graph);
}

// ---------------------------------------------------------------------------
// Common-subexpression elimination

CseResult cse(const EngineGraph& graph) {
    const std::size_t m = graph.size();
    CseResult out{EngineGraph(graph.labels()), {}};
    out.old_to_new.assign(m, 0);
    out.graph.reserve(m, graph.input_count());
    IndexTable table(m);
    EngineGraph& dst = out.graph;
    std::vector<std::uint32_t> renumbered;
    std::vector<std::uint32_t> guessed;

    auto hash_of = [](LabelId label, std::span<const std::uint32_t> inputs) {
        Hasher h;
        h.u64(label);
        h.u64(inputs.size());
        for (std::uint32_t v : inputs) h.u64(v);
        return h.finish();
    };
    // Table lookups miss the cache at random: node i + kPrefetchAhead's slot is
    // loaded while node i is handled, from its hash computed as if no node in
    // between merged. When none did, that hash is the real one.
    struct Ahead {
        std::uint64_t hash;
        std::uint64_t merged;  // merges before the node, as assumed
    };
    Ahead ahead[kPrefetchAhead];
    auto look_ahead = [&](std::size_t j, std::size_t i) {
        const std::uint64_t merged = i - dst.size();
        guessed.clear();
        for (std::uint32_t x : graph.inputs(j)) {
            guessed.push_back(x < i ? out.old_to_new[x] : x >= merged ? static_cast<std::uint32_t>(x - merged) : x);
        }
        const std::uint64_t hash = hash_of(graph.label_id(j), guessed);
        ahead[j % kPrefetchAhead] = Ahead{hash, merged};
        table.prefetch(hash);
    };
    for (std::size_t j = 0; j < std::min(kPrefetchAhead, m); ++j) look_ahead(j, 0);

    for (std::size_t i = 0; i < m; ++i) {
        const Ahead guess = ahead[i % kPrefetchAhead];
        if (i + kPrefetchAhead < m) look_ahead(i + kPrefetchAhead, i);
        renumbered.clear();
        for (std::uint32_t x : graph.inputs(i)) {
            if (x >= i) input_not_earlier(i, x);
            renumbered.push_back(out.old_to_new[x]);
        }
        const LabelId label = graph.label_id(i);
        const std::uint64_t hash = guess.merged == i - dst.size() ? guess.hash : hash_of(label, renumbered);
        auto same = [&](std::uint64_t j) {
            const auto theirs = dst.inputs(j);
            return dst.label_id(j) == label &&
                   std::equal(theirs.begin(), theirs.end(), renumbered.begin(), renumbered.end());
        };
        if (std::optional<std::uint64_t> j = table.find(hash, same)) {
            out.old_to_new[i] = static_cast<std::uint32_t>(*j);
            continue;
        }
        table.insert(hash, dst.size());
        out.old_to_new[i] = static_cast<std::uint32_t>(dst.size());
        dst.add(label, renumbered);
    }

    out.graph.outputs.reserve(graph.outputs.size());
    for (std::uint64_t o : graph.outputs) out.graph.outputs.push_back(at_checked(out.old_to_new, o));
    return out;
}

// ---------------------------------------------------------------------------
// Stage fusion

namespace {

// The producing groups one stage reads, each given the next input position
// on its first use. Slots of earlier stages are told apart by a stamp, so
// starting a stage clears nothing.
class StageInputs {
public:
    void start() {
        groups_.clear();
        if (++stamp_ == 0) {
            std::fill(slots_.begin(), slots_.end(), Slot{});
            stamp_ = 1;
        }
    }
    // The input position of `group`, adding it when new.
    std::uint32_t position_of(std::uint32_t group) {
        if (2 * (groups_.size() + 1) > slots_.size()) grow();
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = mix64(group) & mask;
        for (; slots_[i].stamp == stamp_; i = (i + 1) & mask) {
            if (slots_[i].group == group) return slots_[i].position;
        }
        const auto position = static_cast<std::uint32_t>(groups_.size());
        slots_[i] = Slot{stamp_, group, position};
        groups_.push_back(group);
        return position;
    }
    const std::vector<std::uint32_t>& groups() const noexcept { return groups_; }

private:
    struct Slot {
        std::uint32_t stamp = 0;
        std::uint32_t group = 0;
        std::uint32_t position = 0;
    };
    void grow() {
        slots_.assign(std::max<std::size_t>(16, 2 * slots_.size()), Slot{});
        const std::size_t mask = slots_.size() - 1;
        stamp_ = 1;
        for (std::uint32_t p = 0; p < groups_.size(); ++p) {
            std::size_t i = mix64(groups_[p]) & mask;
            while (slots_[i].stamp == stamp_) i = (i + 1) & mask;
            slots_[i] = Slot{stamp_, groups_[p], p};
        }
    }
    std::vector<Slot> slots_;
    std::vector<std::uint32_t> groups_;
    std::uint32_t stamp_ = 0;
};

// The stages already emitted, by their members, so that stages with equal
// members share one key head. A stage's members are compared as label ids
// and argument codes, without building their texts.
class StageHeads {
public:
    // Codes of one stage: per member its label, argument count and arguments.
    std::vector<std::uint64_t>& scratch() { return scratch_; }
    static std::uint64_t argument(StageRef ref) { return (std::uint64_t{ref.index} << 1) | ref.kind; }
    // The reduced node of an earlier stage with the members in scratch(), if any.
    std::optional<std::uint64_t> find(std::uint64_t hash) const {
        auto same = [&](std::uint64_t k) {
            const Entry& e = entries_[k];
            return std::equal(codes_.begin() + static_cast<std::ptrdiff_t>(e.start),
                              codes_.begin() + static_cast<std::ptrdiff_t>(e.end), scratch_.begin(), scratch_.end());
        };
        if (auto k = table_.find(hash, same)) return entries_[*k].node;
        return std::nullopt;
    }
    void add(std::uint64_t hash, std::uint64_t node) {
        table_.insert(hash, entries_.size());
        entries_.push_back(Entry{codes_.size(), codes_.size() + scratch_.size(), node});
        codes_.insert(codes_.end(), scratch_.begin(), scratch_.end());
    }
    std::uint64_t hash() const {
        Hasher h;
        for (std::uint64_t c : scratch_) h.u64(c);
        return h.finish();
    }

private:
    struct Entry {
        std::size_t start, end;
        std::uint64_t node;
    };
    std::vector<std::uint64_t> scratch_;
    std::vector<std::uint64_t> codes_;
    std::vector<Entry> entries_;
    IndexTable table_;
};

}  // namespace

namespace {

constexpr std::uint32_t kBlocked = 0xfffffffeu;

// Every group is keyed by its largest member, the only member whose value is
// used outside it; returns each node's group key. Scanning downwards, node
// i's entry holds what its consumers (all of them behind it) said when they
// were looked at: nothing (kNone), the one group they all lie in, or
// kBlocked; it is then overwritten with i's own group. An operation joins
// the group its consumer entries share, and under the single-use rule only
// when there is exactly one entry.
LargeVector<std::uint32_t> group_nodes(const EngineGraph& graph, FusionRule rule) {
    const std::size_t n = graph.size();
    std::vector<bool> is_output(n, false);
    for (std::uint64_t o : graph.outputs) {
        if (o >= n) index_out_of_bounds(n, o);
        is_output[o] = true;
    }
    const bool maximal = rule == FusionRule::Maximal;
    LargeVector<std::uint32_t> group(n, kNone);
    for (std::size_t i = n; i-- > 0;) {
        const std::uint32_t target = group[i];
        const bool boundary = graph.boundary(i);
        const bool joins = !boundary && !is_output[i] && target != kNone && target != kBlocked;
        const auto own = joins ? target : static_cast<std::uint32_t>(i);
        group[i] = own;
        for (std::uint32_t x : graph.inputs(i)) {
            if (x >= i) input_not_earlier(i, x);
            std::uint32_t& said = group[x];
            if (boundary) {
                said = kBlocked;
            } else if (said == kNone) {
                said = own;
            } else if (!maximal || said != own) {
                said = kBlocked;
            }
        }
    }
    return group;
}

// Emits the groups in ascending order of their keys: producers before
// consumers. Until a group is emitted, its members are chained through their
// placements: `node` holds the previous member of the same group, and the
// key's `member` the last member seen.
class StageEmitter {
public:
    StageEmitter(const EngineGraph& graph, const TokenTable& tokens, const LargeVector<std::uint32_t>& group)
        : graph_(graph), labels_(*graph.labels()), tokens_(tokens), group_(group) {}

    FusionResult run() {
        const std::size_t n = graph_.size();
        out_.placement.assign(n, Place{kNone, kNone});
        // Exactly one reduced node per group.
        std::size_t groups = 0;
        for (std::size_t j = 0; j < n; ++j) groups += group_[j] == j;
        out_.nodes.reserve(groups);
        for (std::size_t j = 0; j < n; ++j) {
            const std::uint32_t g = group_[j];
            place()[j].node = place()[g].member;  // the previous member of j's group
            place()[g].member = static_cast<std::uint32_t>(j);
            if (g != j) continue;
            if (graph_.boundary(j)) {
                emit_boundary(j);
            } else {
                emit_stage(j);
            }
        }
        out_.outputs.reserve(graph_.outputs.size());
        for (std::uint64_t o : graph_.outputs) out_.outputs.push_back(emitted(group_[o], n));
        return std::move(out_);
    }

private:
    LargeVector<Place>& place() { return out_.placement; }

    // The reduced node of group `y`, emitted before node `before`.
    NodeId emitted(std::uint32_t y, std::size_t before) {
        if (group_[y] != y || y >= before) panic("no entry found for key");
        return NodeId{place()[y].node};
    }

    void emit_boundary(std::size_t j) {
        const auto id = static_cast<std::uint32_t>(out_.nodes.size());
        inputs_.clear();
        for (std::uint32_t x : graph_.inputs(j)) inputs_.push_back(emitted(group_[x], j));
        out_.nodes.push_back(tokens_.at(labels_, graph_.label_id(j)).with_input_list(inputs_));
        place()[j] = Place{id, Place::kNoMember};
        ++out_.boundary_nodes;
    }

    // Emits the stage keyed by `j`. Every member is at most the key, so the
    // group is complete.
    void emit_stage(std::size_t j) {
        const auto id = static_cast<std::uint32_t>(out_.nodes.size());
        members_.clear();
        for (std::uint32_t m = static_cast<std::uint32_t>(j); m != kNone; m = place()[m].node) members_.push_back(m);
        std::reverse(members_.begin(), members_.end());
        // A member's position is written before its users read it: the
        // members ascend, and each reads earlier ones only.
        for (std::uint32_t k = 0; k < members_.size(); ++k) place()[members_[k]] = Place{id, k};
        encode_members(group_[j]);
        inputs_.clear();
        for (std::uint32_t y : stage_inputs_.groups()) inputs_.push_back(emitted(y, j));
        const std::uint64_t hash = heads_.hash();
        if (std::optional<std::uint64_t> first = heads_.find(hash)) {
            out_.nodes.push_back(out_.nodes[*first].with_input_list(inputs_));
        } else {
            heads_.add(hash, id);
            out_.nodes.push_back(NodeKey::stage(inputs_, decode_members()));
        }
        ++out_.stages;
    }

    // Writes the members of group `g` as codes into the stage heads' scratch
    // and gathers the stage's inputs.
    void encode_members(std::uint32_t g) {
        stage_inputs_.start();
        std::vector<std::uint64_t>& codes = heads_.scratch();
        codes.clear();
        for (std::uint32_t m : members_) {
            const std::span<const std::uint32_t> args = graph_.inputs(m);
            codes.push_back(graph_.label_id(m));
            codes.push_back(args.size());
            for (std::uint32_t x : args) {
                const std::uint32_t y = group_[x];
                const StageRef ref =
                    y == g ? StageRef::member(place()[x].member) : StageRef::input(stage_inputs_.position_of(y));
                codes.push_back(StageHeads::argument(ref));
            }
        }
    }

    // A new member list's texts, built once.
    std::vector<StageOp> decode_members() {
        const std::vector<std::uint64_t>& codes = heads_.scratch();
        std::vector<StageOp> ops;
        for (std::size_t c = 0; c < codes.size();) {
            StageOp& op = ops.emplace_back();
            op.label = labels_.text(static_cast<LabelId>(codes[c]));
            const std::uint64_t count = codes[c + 1];
            c += 2;
            for (std::uint64_t a = 0; a < count; ++a, ++c) {
                op.inputs.push_back(StageRef{static_cast<StageRef::Kind>(codes[c] & 1), codes[c] >> 1});
            }
        }
        return ops;
    }

    const EngineGraph& graph_;
    const Labels& labels_;
    const TokenTable& tokens_;
    const LargeVector<std::uint32_t>& group_;
    FusionResult out_;
    StageInputs stage_inputs_;
    StageHeads heads_;
    std::vector<std::uint32_t> members_;  // of the group being emitted, ascending
    std::vector<NodeId> inputs_;          // of the node being emitted
};

}  // namespace

FusionResult stage_fusion(const EngineGraph& graph, const TokenTable& tokens, FusionRule rule) {
    const LargeVector<std::uint32_t> group = group_nodes(graph, rule);
    return StageEmitter(graph, tokens, group).run();
}

}  // namespace veltrix
