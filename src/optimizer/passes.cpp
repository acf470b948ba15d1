#include "optimizer/passes.hpp"

#include <bit>
#include <string>

namespace veltrix {

namespace {

constexpr std::uint64_t kNone = ~std::uint64_t{0};

std::uint64_t label_hash(std::string_view label) {
    Hasher h;
    h.bytes(label);
    return h.finish();
}

[[noreturn]] void input_not_earlier(std::uint64_t node, std::uint64_t input) {
    panic("index out of range: input " + std::to_string(input) + " of node " + std::to_string(node) +
          " does not precede it");
}

// Lookup in a flat per-group table that was filled as groups were emitted.
std::uint64_t emitted(const std::vector<std::uint64_t>& table, std::uint64_t key) {
    const std::uint64_t v = at_checked(table, key);
    if (v == kNone) panic("no entry found for key");
    return v;
}

}  // namespace

// ---------------------------------------------------------------------------
// IndexTable

IndexTable::IndexTable(std::size_t expected) {
    // Room for `expected` entries below the load at which insert grows it.
    if (expected > 0) slots_.resize(std::bit_ceil(expected + expected / 3 + 2));
}

void IndexTable::insert(std::uint64_t hash, std::uint64_t index) {
    if (index >= 0xffffffffULL) panic("index table holds indices below 2^32 - 1, not " + std::to_string(index));
    if ((count_ + 1) * 4 > slots_.size() * 3) grow();
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = static_cast<std::size_t>(hash) & mask;
    while (slots_[i].index_plus_one != 0) i = (i + 1) & mask;
    slots_[i] = Slot{static_cast<std::uint32_t>(hash), static_cast<std::uint32_t>(index + 1)};
    ++count_;
}

void IndexTable::grow() {
    if (slots_.size() >= (std::size_t{1} << 32)) panic("index table is full");
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 16 : old.size() * 2, Slot{});
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
        if (s.index_plus_one == 0) continue;
        std::size_t i = s.tag & mask;
        while (slots_[i].index_plus_one != 0) i = (i + 1) & mask;
        slots_[i] = s;
    }
}

// ---------------------------------------------------------------------------
// TokenTable

TokenTable::TokenTable(std::span<const NodeKey> nodes, const EngineGraph& graph)
    : nodes_(nodes), graph_(&graph) {
    if (graph.nodes.size() < nodes.size()) panic("index out of range: token table has fewer labels than nodes");
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (nodes[i].is_op()) continue;  // operations are never rebuilt from here
        const std::string& label = graph.nodes[i].label;
        const std::uint64_t h = label_hash(label);
        auto same = [&](std::uint64_t j) { return graph_->nodes[j].label == label; };
        if (!index_.find(h, same)) index_.insert(h, i);
    }
}

const NodeKey& TokenTable::at(std::string_view label) const {
    auto same = [&](std::uint64_t j) { return graph_->nodes[j].label == label; };
    std::optional<std::uint64_t> i = index_.find(label_hash(label), same);
    if (!i) panic("no entry found for key");
    return nodes_[*i];
}

// ---------------------------------------------------------------------------
// Dead-code elimination

DceResult dead_code_elimination(std::span<const NodeKey> nodes, std::span<const std::uint64_t> outputs) {
    const std::size_t n = nodes.size();

    // Mark everything an output reaches, with an explicit stack.
    std::vector<char> reached(n, 0);
    std::vector<std::uint64_t> stack(outputs.begin(), outputs.end());
    std::size_t kept = 0;
    while (!stack.empty()) {
        const std::uint64_t x = stack.back();
        stack.pop_back();
        char& flag = at_checked(reached, x);
        if (flag) continue;
        flag = 1;
        ++kept;
        for (NodeId in : nodes[x].inputs()) stack.push_back(in);
    }

    // Renumber densely in ascending id; inputs are earlier, so already numbered.
    DceResult out;
    out.old_to_new.assign(n, kDropped);
    out.nodes.reserve(kept);
    std::vector<NodeId> renumbered;
    for (std::size_t i = 0; i < n; ++i) {
        if (!reached[i]) continue;
        renumbered.clear();
        for (NodeId x : nodes[i].inputs()) {
            const std::uint64_t v = at_checked(out.old_to_new, x);
            if (v == kDropped) input_not_earlier(i, x);
            renumbered.push_back(v);
        }
        out.old_to_new[i] = out.nodes.size();
        out.nodes.push_back(nodes[i].with_input_list(renumbered));
    }

    out.outputs.reserve(outputs.size());
    for (std::uint64_t o : outputs) out.outputs.push_back(at_checked(out.old_to_new, o));
    return out;
}

// ---------------------------------------------------------------------------
// Common-subexpression elimination

namespace {

// With `Owned` the graph is consumed: kept nodes move down within its own
// node list, which becomes the result's, instead of being copied.
template <bool Owned, class Graph>
CseResult cse_impl(Graph& graph) {
    const std::size_t m = graph.nodes.size();
    CseResult out;
    out.old_to_new.assign(m, 0);
    EngineNodes* kept_nodes = &out.graph.nodes;
    if constexpr (Owned) {
        kept_nodes = &graph.nodes;
    } else {
        out.graph.nodes.reserve(m);
    }
    EngineNodes& dst = *kept_nodes;
    std::size_t kept = 0;  // dst[0, kept) are the nodes kept so far
    IndexTable table(m);
    InputList scratch;

    auto hash_of = [](const std::string& label, std::span<const std::uint64_t> inputs) {
        Hasher h;
        h.bytes(label);
        h.u64(inputs.size());
        for (std::uint64_t v : inputs) h.u64(v);
        return h.finish();
    };
    // Table lookups miss the cache at random: node i + kAhead's slot is
    // loaded while node i is handled, from its hash computed as if no node in
    // between merged. When none did, that hash is the real one.
    constexpr std::size_t kAhead = 8;
    struct Ahead {
        std::uint64_t hash;
        std::uint64_t merged;  // merges before the node, as assumed
    };
    Ahead ahead[kAhead];
    std::vector<std::uint64_t> guessed;
    auto look_ahead = [&](std::size_t j, std::size_t i) {
        const std::uint64_t merged = i - kept;
        guessed.clear();
        for (std::uint64_t x : graph.nodes[j].inputs) {
            guessed.push_back(x < i ? out.old_to_new[x] : x >= merged ? x - merged : x);
        }
        const std::uint64_t hash = hash_of(graph.nodes[j].label, guessed);
        ahead[j % kAhead] = Ahead{hash, merged};
        table.prefetch(hash);
    };
    for (std::size_t j = 0; j < std::min(kAhead, m); ++j) look_ahead(j, 0);

    for (std::size_t i = 0; i < m; ++i) {
        const Ahead guess = ahead[i % kAhead];
        if (i + kAhead < m) look_ahead(i + kAhead, i);
        auto& node = graph.nodes[i];
        InputList* inputs = &scratch;
        if constexpr (Owned) {
            inputs = &node.inputs;
            for (std::uint64_t& x : node.inputs) {
                if (x >= i) input_not_earlier(i, x);
                x = out.old_to_new[x];
            }
        } else {
            scratch.clear();
            for (std::uint64_t x : node.inputs) {
                if (x >= i) input_not_earlier(i, x);
                scratch.push_back(out.old_to_new[x]);
            }
        }
        const std::uint64_t hash = guess.merged == i - kept ? guess.hash : hash_of(node.label, *inputs);

        auto same = [&](std::uint64_t j) {
            const EngineNode& d = dst[j];
            return d.label == node.label && d.inputs == *inputs;
        };
        if (std::optional<std::uint64_t> j = table.find(hash, same)) {
            out.old_to_new[i] = *j;
            continue;
        }
        if constexpr (Owned) {
            if (kept != i) dst[kept] = std::move(node);  // kept <= i: node i is read before it is overwritten
        } else {
            dst.push_back(EngineNode{node.label, scratch, node.boundary});
        }
        table.insert(hash, kept);
        out.old_to_new[i] = kept++;
    }
    if constexpr (Owned) {
        dst.erase(dst.begin() + static_cast<std::ptrdiff_t>(kept), dst.end());
        out.graph.nodes = std::move(dst);
    }

    out.graph.outputs.reserve(graph.outputs.size());
    for (std::uint64_t o : graph.outputs) out.graph.outputs.push_back(at_checked(out.old_to_new, o));
    return out;
}

}  // namespace

CseResult cse(const EngineGraph& graph) { return cse_impl<false>(graph); }
CseResult cse(EngineGraph&& graph) { return cse_impl<true>(graph); }

// ---------------------------------------------------------------------------
// Stage fusion

FusionResult stage_fusion(const EngineGraph& graph, const TokenTable& tokens, bool maximal_fusion) {
    const std::size_t n = graph.nodes.size();
    auto& nodes = graph.nodes;

    // Consumers of every node, one entry per input occurrence, ascending
    // consumer order (flat lists behind an offset table).
    std::vector<std::uint64_t> consumer_start(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::uint64_t x : nodes[i].inputs) {
            if (x >= i) input_not_earlier(i, x);
            ++consumer_start[x + 1];
        }
    }
    for (std::size_t i = 0; i < n; ++i) consumer_start[i + 1] += consumer_start[i];
    std::vector<std::uint64_t> consumers(consumer_start[n]);
    {
        std::vector<std::uint64_t> fill(consumer_start.begin(), consumer_start.end() - 1);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::uint64_t x : nodes[i].inputs) consumers[fill[x]++] = i;
        }
    }

    std::vector<char> is_output(n, 0);
    for (std::uint64_t o : graph.outputs) at_checked(is_output, o) = 1;

    // Grouping. Consumers come after their producers, so scanning downwards
    // sees every consumer's group in its final state. An operation joins the
    // group all its consumer entries share (exactly one entry under the
    // single-use rule). Every group is thereby keyed by its largest member,
    // the only member whose value is used outside it.
    std::vector<std::uint64_t> group(n);
    for (std::size_t i = n; i-- > 0;) {
        group[i] = i;
        if (nodes[i].boundary || is_output[i]) continue;
        const std::uint64_t* first = consumers.data() + consumer_start[i];
        const std::uint64_t* last = consumers.data() + consumer_start[i + 1];
        if (first == last) continue;
        if (!maximal_fusion && last - first != 1) continue;
        const std::uint64_t target = group[*first];
        bool joins = true;
        for (const std::uint64_t* c = first; c != last; ++c) {
            if (nodes[*c].boundary || group[*c] != target) {
                joins = false;
                break;
            }
        }
        if (joins) group[i] = target;
    }

    // Members of every group, ascending.
    std::vector<std::uint64_t> member_start(n + 1, 0);
    for (std::size_t j = 0; j < n; ++j) ++member_start[group[j] + 1];
    for (std::size_t j = 0; j < n; ++j) member_start[j + 1] += member_start[j];
    std::vector<std::uint64_t> members(n);
    {
        std::vector<std::uint64_t> fill(member_start.begin(), member_start.end() - 1);
        for (std::size_t j = 0; j < n; ++j) members[fill[group[j]]++] = j;
    }

    FusionResult out;
    out.placement.assign(n, Placement{});
    std::vector<std::uint64_t> new_id(n, kNone);       // per group key
    std::vector<std::size_t> position(n, 0);            // member position of each operation
    std::vector<std::uint64_t> input_slot(n, 0);       // per producing group, within one stage
    std::vector<std::uint64_t> slot_owner(n, kNone);   // which stage input_slot[y] belongs to
    std::vector<StageOp> ops;                           // the members being built, reused
    std::vector<NodeId> stage_inputs;                   // the inputs of the node being built, reused
    IndexTable stage_heads;                             // first stage of every member list

    // Groups are emitted in ascending order of their largest member, which is
    // their key: producers before consumers.
    for (std::size_t g = 0; g < n; ++g) {
        if (group[g] != g) continue;
        const std::uint64_t id = out.nodes.size();
        const EngineNode& head = nodes[g];

        if (head.boundary) {
            stage_inputs.clear();
            for (std::uint64_t x : head.inputs) stage_inputs.push_back(emitted(new_id, group[x]));
            out.nodes.push_back(tokens.at(head.label).with_input_list(stage_inputs));
            out.placement[g] = Placement{id, std::nullopt};
            ++out.boundary_nodes;
        } else {
            const std::uint64_t* first = members.data() + member_start[g];
            const std::uint64_t* last = members.data() + member_start[g + 1];
            for (const std::uint64_t* m = first; m != last; ++m) position[*m] = static_cast<std::size_t>(m - first);

            stage_inputs.clear();
            std::size_t op_count = 0;
            for (const std::uint64_t* m = first; m != last; ++m) {
                const auto& node = nodes[*m];
                if (op_count == ops.size()) ops.emplace_back();
                StageOp& op = ops[op_count++];
                op.label.assign(node.label);
                op.inputs.clear();
                for (std::uint64_t x : node.inputs) {
                    const std::uint64_t y = group[x];
                    if (y == g) {
                        op.inputs.push_back(StageRef::member(position[x]));
                        continue;
                    }
                    if (slot_owner[y] != g) {
                        slot_owner[y] = g;
                        input_slot[y] = stage_inputs.size();
                        stage_inputs.push_back(emitted(new_id, y));
                    }
                    op.inputs.push_back(StageRef::input(static_cast<std::size_t>(input_slot[y])));
                }
                out.placement[*m] = Placement{id, position[*m]};
            }
            // Stages with equal members share one key head.
            const std::span<const StageOp> built(ops.data(), op_count);
            Hasher h;
            h.u64(op_count);
            for (const StageOp& op : built) op.hash_into(h);
            const std::uint64_t hash = h.finish();
            auto same = [&](std::uint64_t j) {
                const std::vector<StageOp>& theirs = out.nodes[j].members();
                return std::equal(theirs.begin(), theirs.end(), built.begin(), built.end());
            };
            if (std::optional<std::uint64_t> j = stage_heads.find(hash, same)) {
                out.nodes.push_back(out.nodes[*j].with_input_list(stage_inputs));
            } else {
                stage_heads.insert(hash, id);
                out.nodes.push_back(NodeKey::stage(stage_inputs, std::vector<StageOp>(built.begin(), built.end())));
            }
            ++out.stages;
        }
        new_id[g] = id;
    }

    out.outputs.reserve(graph.outputs.size());
    for (std::uint64_t o : graph.outputs) out.outputs.push_back(emitted(new_id, group[o]));
    return out;
}

}  // namespace veltrix
