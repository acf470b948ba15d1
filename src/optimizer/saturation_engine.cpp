#include "optimizer/saturation_engine.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "graph/support.hpp"
#include "saturation/egraph.hpp"

namespace veltrix {
namespace {

using sat::Id;
using sat::Pattern;
using sat::Rewrite;
using sat::Symbol;

constexpr const char* kCommutativeOps[] = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};
constexpr const char* kIdentitySymbols[] = {
    "op|add|scalar=f0000000000000000;side=sr",
    "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr",
    "op|mul|scalar=f3ff0000000000000;side=sl",
};

Pattern must_parse(const std::string& text) {
    auto p = Pattern::parse(text);
    if (!p) panic("bad built-in pattern " + text + ": " + p.error());
    return std::move(p).value();
}

Rewrite must_rewrite(const std::string& name, const std::string& searcher, const std::string& applier) {
    auto r = Rewrite::create(name, must_parse(searcher), must_parse(applier));
    if (!r) panic(r.error());
    return std::move(r).value();
}

// Gives each distinct label of one call its symbol: the rules' own symbol
// for an operator some rule names, an atom for every other label. Those
// labels matter to the e-graph only as equal or not, and interning them
// would grow the process-wide table with every source name ever reduced.
// A flat table keyed by a hash of the text, holding its own copy of each
// text so that a lookup never reaches back into the (scattered) input nodes.
class LabelSymbols {
public:
    LabelSymbols(std::size_t expected, std::span<const RuleOp> rule_ops) : rule_ops_(rule_ops) {
        // Graphs repeat a few labels many times; start small and grow.
        std::size_t size = 64;
        while (size < expected / 64) size *= 2;
        slots_.resize(size);
    }

    // `h` is sat::text_hash(label).
    Symbol get(std::string_view label, std::uint64_t h) {
        for (std::size_t i = h & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
            Slot& s = slots_[i];
            if (s.text == kEmpty) {
                const Symbol symbol = fresh(label, h);
                s.hash = h;
                s.symbol = symbol;
                s.text = static_cast<std::uint32_t>(texts_.size());
                texts_.emplace_back(label);
                if (2 * texts_.size() > slots_.size()) grow();
                return symbol;
            }
            if (s.hash == h && texts_[s.text] == label) return s.symbol;
        }
    }

    void prefetch(std::uint64_t h) const { __builtin_prefetch(&slots_[h & (slots_.size() - 1)]); }

private:
    Symbol fresh(std::string_view label, std::uint64_t h) {
        for (const RuleOp& op : rule_ops_) {
            if (op.hash == h && op.text == label) return op.symbol;
        }
        // More distinct labels than atoms would take a graph of 2^31 nodes.
        if (atoms_ == Symbol::kAtomCount) return Symbol::intern(label, h);
        return Symbol::atom(atoms_++);
    }

    static constexpr std::uint32_t kEmpty = 0xffffffffu;
    struct Slot {
        std::uint64_t hash = 0;
        Symbol symbol;
        std::uint32_t text = kEmpty;  // index into texts_
    };


    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.size() * 2, Slot{});
        for (const Slot& s : old) {
            if (s.text == kEmpty) continue;
            std::size_t i = s.hash & (slots_.size() - 1);
            while (slots_[i].text != kEmpty) i = (i + 1) & (slots_.size() - 1);
            slots_[i] = s;
        }
    }

    std::span<const RuleOp> rule_ops_;
    std::uint32_t atoms_ = 0;
    std::vector<Slot> slots_;
    std::vector<std::string> texts_;
};

}  // namespace

SaturationEngine::SaturationEngine() {
    rules_.reserve(12);
    for (const char* op : kCommutativeOps) {
        const std::string x(op);
        rules_.push_back(must_rewrite("commute-" + x, "(op|" + x + " ?a ?b)", "(op|" + x + " ?b ?a)"));
    }
    for (std::size_t i = 0; i < std::size(kIdentitySymbols); ++i) {
        std::string searcher = "(";
        searcher += kIdentitySymbols[i];
        searcher += " ?x)";
        rules_.push_back(must_rewrite("identity-" + std::to_string(i), searcher, "?x"));
    }
    iter_limit_ = 12;
    for (const Rewrite& rule : rules_) {
        for (const Pattern* p : {&rule.searcher(), &rule.applier()}) {
            for (const sat::PatternNode& node : p->ast()) {
                if (node.is_var) continue;
                const bool known = std::any_of(rule_ops_.begin(), rule_ops_.end(),
                                               [&](const RuleOp& op) { return op.symbol == node.op; });
                if (!known) {
                    const std::string_view text = node.op.text();
                    rule_ops_.push_back(RuleOp{sat::text_hash(text), node.op, std::string(text)});
                }
            }
        }
    }
}

Canonical SaturationEngine::canonicalize(const EngineGraph& graph) const { return canonicalize(graph, nullptr); }

Canonical SaturationEngine::canonicalize(const EngineGraph& graph, SaturationTrace* trace) const {
    const std::size_t n = graph.nodes.size();
    // The big arrays below are freed before the result is built: the result
    // takes their blocks instead of fresh memory.
    const LargeBlockReuse reuse;
    using Clock = std::chrono::steady_clock;
    auto seconds_since = [](Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); };
    auto phase = Clock::now();

    // One sequential pass over the input graph: labels become symbols and
    // the inputs of every node go into one flat array. The load reads these
    // arrays instead of the input nodes.
    if (n >= sat::kNoId) panic("graph is too large for the e-graph: " + std::to_string(n) + " nodes");
    LargeVector<Symbol> symbols(n);
    LargeVector<std::uint32_t> first_input(n + 1);
    LargeVector<Id> inputs;
    {
        // Nearly every node has at most two inputs; the rare wider one grows
        // the array, which is cheaper than a counting pass over the graph.
        inputs.reserve(2 * n);
        LabelSymbols label_symbols(n, rule_ops_);
        // A label's table slot is a cache miss once a graph has many
        // distinct labels: hashes are taken a few nodes ahead and their slots
        // requested.
        constexpr std::size_t kAhead = 8;
        std::uint64_t hashes[kAhead];
        // Before that, the node itself and its label's text are requested.
        auto hash_ahead = [&](std::size_t j) {
            if (j + 2 * kAhead < n) __builtin_prefetch(&graph.nodes[j + 2 * kAhead]);
            if (j + kAhead < n) __builtin_prefetch(graph.nodes[j + kAhead].label.data());
            hashes[j % kAhead] = sat::text_hash(graph.nodes[j].label);
            label_symbols.prefetch(hashes[j % kAhead]);
        };
        for (std::size_t j = 0; j < std::min(kAhead, n); ++j) hash_ahead(j);
        for (std::size_t i = 0; i < n; ++i) {
            const EngineNode& node = graph.nodes[i];
            symbols[i] = label_symbols.get(node.label, hashes[i % kAhead]);
            if (i + kAhead < n) hash_ahead(i + kAhead);
            first_input[i] = static_cast<std::uint32_t>(inputs.size());
            for (std::uint64_t k : node.inputs) {
                if (k >= i) index_out_of_bounds(i, k);
                inputs.push_back(static_cast<Id>(k));
            }
            if (inputs.size() >= sat::kNoId) {
                panic("graph has too many inputs for the e-graph: at least " + std::to_string(inputs.size()));
            }
        }
        first_input[n] = static_cast<std::uint32_t>(inputs.size());
    }
    if (trace) trace->labels_seconds = seconds_since(phase);
    auto inputs_of = [&](std::size_t i) {
        return std::span<const Id>(inputs.data() + first_input[i], first_input[i + 1] - first_input[i]);
    };

    // Load the graph: one hash-consed add per node, in order.
    sat::EGraph egraph;
    egraph.reserve(n + n / 2);
    LargeVector<Id> ids(n);
    {
        // Hash-consing touches memory at random, so work a little ahead of
        // the adds: first the class records of a later node's inputs, then,
        // once those are likely cached, the table slot of that node.
        constexpr std::size_t kAhead = 8;
        std::vector<Id> children;
        for (std::size_t i = 0; i < n; ++i) {
            if (i + 3 * kAhead < n) {
                for (Id k : inputs_of(i + 3 * kAhead)) __builtin_prefetch(&ids[k]);
            }
            if (i + 2 * kAhead < n) {
                for (Id k : inputs_of(i + 2 * kAhead)) {
                    if (k < i) egraph.prefetch_class(ids[k]);
                }
            }
            if (i + kAhead < n) {
                const std::span<const Id> next = inputs_of(i + kAhead);
                children.clear();
                bool known = true;
                for (Id k : next) {
                    if (k >= i) {
                        known = false;
                        break;
                    }
                    children.push_back(ids[k]);
                }
                if (known) egraph.prefetch_add(symbols[i + kAhead], children);
            }
            children.clear();
            for (Id k : inputs_of(i)) children.push_back(ids[k]);
            const Id id = egraph.add(sat::ENode(symbols[i], children));
            ids[i] = egraph.find(id);
        }
    }
    // The flat arrays have served: their blocks go to the read-back's arrays.
    release_early(symbols);
    release_early(first_input);
    release_early(inputs);

    if (trace) trace->load_seconds = seconds_since(phase);
    phase = Clock::now();

    // Read back one node per class: the class's lowest-indexed input node,
    // in input order, so inputs still come before their users. First every
    // node gets its result index (a class's index is kept as its tag, in the
    // e-graph's dense tag array) and every class its representative; then
    // the e-graph goes, and the blocks it frees hold the result.
    LargeVector<std::uint32_t> index_of_node;
    LargeVector<std::uint32_t> representatives;
    constexpr std::size_t kAhead = 8;  // how far both passes request memory ahead
    {
        sat::SaturationDriver driver;
        driver.with_egraph(std::move(egraph)).with_iter_limit(iter_limit_).with_node_limit(4 * n + 1024).run(rules_);
        sat::EGraph& classes = driver.egraph();
        if (trace) {
            trace->run_seconds = seconds_since(phase);
            trace->stop = driver.stop_reason().value_or(sat::StopCause{});
            trace->iterations = driver.iterations();
            trace->egraph_nodes = classes.total_size();
            trace->egraph_classes = classes.class_count();
        }
        phase = Clock::now();

        constexpr std::uint32_t kUnassigned = sat::EGraph::kNoTag;
        index_of_node.resize(n);
        representatives.reserve(std::min(n, classes.class_count()));
        for (std::size_t i = 0; i < n; ++i) {
            // In stages: the node's link, then the link it points to (the
            // root for all but long paths), then the root's tag.
            if (i + 3 * kAhead < n) classes.prefetch_link(ids[i + 3 * kAhead]);
            if (i + 2 * kAhead < n) classes.prefetch_link(classes.link(ids[i + 2 * kAhead]));
            if (i + kAhead < n) classes.prefetch_tag(classes.find(ids[i + kAhead]));
            const Id cls = classes.find(ids[i]);
            std::uint32_t index = classes.tag(cls);
            if (index == kUnassigned) {
                index = static_cast<std::uint32_t>(representatives.size());
                classes.set_tag(cls, index);
                representatives.push_back(static_cast<std::uint32_t>(i));
            }
            index_of_node[i] = index;
        }
    }
    release_early(ids);

    Canonical out;
    out.map.assign(index_of_node.begin(), index_of_node.end());
    out.graph.nodes.reserve(representatives.size());
    for (std::size_t j = 0; j < representatives.size(); ++j) {
        if (j + 2 * kAhead < representatives.size()) __builtin_prefetch(&graph.nodes[representatives[j + 2 * kAhead]]);
        if (j + kAhead < representatives.size()) {
            const std::uint32_t soon = representatives[j + kAhead];
            for (std::uint64_t k : graph.nodes[soon].inputs) __builtin_prefetch(&index_of_node[k]);
            __builtin_prefetch(graph.nodes[soon].label.data());
        }
        const std::uint32_t i = representatives[j];
        const EngineNode& node = graph.nodes[i];
        EngineNode& emitted = out.graph.nodes.emplace_back();
        emitted.label = node.label;
        // The inputs were checked in the first pass: each names an earlier node.
        const InputList& kids = node.inputs;
        emitted.inputs.resize(kids.size());
        for (std::size_t k = 0; k < kids.size(); ++k) emitted.inputs[k] = index_of_node[kids[k]];
        emitted.boundary = !std::string_view(node.label).starts_with("op|");
    }
    out.graph.outputs.reserve(graph.outputs.size());
    for (std::uint64_t o : graph.outputs) {
        if (o >= n) index_out_of_bounds(n, o);
        out.graph.outputs.push_back(out.map[o]);
    }
    if (trace) trace->read_seconds = seconds_since(phase);
    return out;
}

}  // namespace veltrix
