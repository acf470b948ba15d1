#include "optimizer/saturation_engine.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
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

// The label each symbol of SaturationEngine::label_symbols stands for.
class LabelOfSymbol {
public:
    explicit LabelOfSymbol(const std::vector<Symbol>& symbols) {
        for (LabelId id = 0; id < symbols.size(); ++id) {
            if (!symbols[id].is_atom()) interned_.emplace(symbols[id].index(), id);
        }
    }
    LabelId operator()(Symbol s) const {
        if (s.is_atom()) return s.index() & ~Symbol::kAtomCount;
        const auto it = interned_.find(s.index());
        if (it == interned_.end()) panic("symbol " + std::to_string(s.index()) + " is no label's");
        return it->second;
    }

private:
    std::unordered_map<std::uint32_t, LabelId> interned_;  // the few labels that are not atoms
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

Canonical SaturationEngine::canonicalize(const EngineGraph& graph) const { return run(graph, nullptr, nullptr); }

Canonical SaturationEngine::canonicalize(EngineGraph&& graph) const { return run(graph, &graph, nullptr); }

Canonical SaturationEngine::canonicalize(const EngineGraph& graph, SaturationTrace* trace) const {
    return run(graph, nullptr, trace);
}

std::vector<Symbol> SaturationEngine::label_symbols(const Labels& labels) const {
    // Labels that no rule names matter to the e-graph only as equal or not:
    // they become atoms (numbered by label), and interning them would grow
    // the process-wide table with every source name ever reduced.
    std::vector<Symbol> symbols(labels.size());
    for (LabelId id = 0; id < labels.size(); ++id) {
        const std::string_view text = labels.text(id);
        const std::uint64_t h = sat::text_hash(text);
        const auto rule = std::find_if(rule_ops_.begin(), rule_ops_.end(),
                                       [&](const RuleOp& op) { return op.hash == h && op.text == text; });
        symbols[id] = rule != rule_ops_.end()  ? rule->symbol
                      : id < Symbol::kAtomCount ? Symbol::atom(id)
                                                : Symbol::intern(text, h);
    }
    return symbols;
}

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Adds the `n` nodes of `graph` to `egraph`, one hash-consed add per node in
// order, and writes node i's class over ids[i] (which may hold node i's
// label until then: it is read through `symbol_of` first; a graph that
// lent its labels so reads as empty, hence `n`).
//
// Hash-consing touches memory at random, so the loop works a little ahead
// of the adds: first the class records of a later node's inputs, then, once
// those are likely cached, the table slot of that node. An input not added
// yet is taken to get the id it gets when no node in between is found
// already present, as most are not; a wrong guess only costs a useless hint.
template <class SymbolOf>
void load_egraph(const EngineGraph& graph, std::size_t n, LargeVector<Id>& ids, const SymbolOf& symbol_of,
                 sat::EGraph& egraph) {
    std::vector<Id> children;
    auto expected_id = [&](std::uint32_t k, std::size_t i) {
        return k < i ? ids[k] : static_cast<Id>(egraph.id_count() + (k - i));
    };
    for (std::size_t i = 0; i < n; ++i) {
        if (i + 3 * kPrefetchAhead < n) {
            for (std::uint32_t k : graph.inputs(i + 3 * kPrefetchAhead)) {
                if (k < i) __builtin_prefetch(&ids[k]);
            }
        }
        if (i + 2 * kPrefetchAhead < n) {
            for (std::uint32_t k : graph.inputs(i + 2 * kPrefetchAhead)) {
                if (k < i) egraph.prefetch_class(ids[k]);
            }
        }
        if (i + kPrefetchAhead < n) {
            children.clear();
            for (std::uint32_t k : graph.inputs(i + kPrefetchAhead)) children.push_back(expected_id(k, i));
            egraph.prefetch_add(symbol_of(i + kPrefetchAhead), children);
        }
        children.clear();
        for (std::uint32_t k : graph.inputs(i)) {
            if (k >= i) index_out_of_bounds(i, k);
            children.push_back(ids[k]);
        }
        const Id id = egraph.add(sat::ENode(symbol_of(i), children));
        ids[i] = egraph.find(id);
    }
}

constexpr std::uint32_t kUnassigned = sat::EGraph::kNoTag;

// Gives every class its result index, in order of its lowest-indexed node,
// and writes node i's index over its class in ids[i], for the first `n`
// nodes. A class's index is
// kept as its tag, in the e-graph's dense tag array. Returns each class's
// representative: its first node, whose add created the class's record.
LargeVector<Id> number_classes(sat::EGraph& classes, LargeVector<Id>& ids, std::size_t n) {
    LargeVector<Id> representatives;
    representatives.reserve(std::min(n, classes.class_count()));
    for (std::size_t i = 0; i < n; ++i) {
        // In stages: the node's link, then the link it points to (the root
        // for all but long paths), then the root's tag.
        if (i + 3 * kPrefetchAhead < n) classes.prefetch_link(ids[i + 3 * kPrefetchAhead]);
        if (i + 2 * kPrefetchAhead < n) classes.prefetch_link(classes.link(ids[i + 2 * kPrefetchAhead]));
        if (i + kPrefetchAhead < n) classes.prefetch_tag(classes.find(ids[i + kPrefetchAhead]));
        const Id cls = classes.find(ids[i]);
        std::uint32_t index = classes.tag(cls);
        if (index == kUnassigned) {
            index = static_cast<std::uint32_t>(representatives.size());
            classes.set_tag(cls, index);
            representatives.push_back(ids[i]);
        }
        ids[i] = index;
    }
    return representatives;
}

// Writes the representatives out from their records, in order, with their
// inputs' classes' indices.
void write_representatives(const sat::EGraph& classes, const LargeVector<Id>& representatives,
                           const LabelOfSymbol& label_of, EngineGraph& out) {
    out.reserve(representatives.size(), representatives.size() + representatives.size() / 2);
    std::vector<std::uint32_t> inputs;
    for (std::size_t j = 0; j < representatives.size(); ++j) {
        if (j + kPrefetchAhead < representatives.size()) classes.prefetch_node_of(representatives[j + kPrefetchAhead]);
        const sat::ENode& node = classes.node_of(representatives[j]);
        inputs.clear();
        for (Id c : node.children()) {
            const std::uint32_t index = classes.tag(c);
            if (index == kUnassigned) panic("an input of a representative is no class's root");
            inputs.push_back(index);
        }
        out.add(label_of(node.op()), inputs);
    }
}

void record_run(const sat::SaturationDriver& driver, double seconds, SaturationTrace& trace) {
    const sat::EGraph& classes = driver.egraph();
    trace.run_seconds = seconds;
    trace.stop = driver.stop_reason().value_or(sat::StopCause{});
    trace.iterations = driver.iterations();
    trace.egraph_nodes = classes.total_size();
    trace.egraph_classes = classes.class_count();
}

}  // namespace

Canonical SaturationEngine::run(const EngineGraph& graph, EngineGraph* consumed, SaturationTrace* trace) const {
    const std::size_t n = graph.size();
    auto phase = Clock::now();
    if (n >= sat::kNoId) panic("graph is too large for the e-graph: " + std::to_string(n) + " nodes");
    const std::vector<Symbol> symbols = label_symbols(*graph.labels());
    // `ids` holds the class of each node once it is added. A graph handed
    // over lends its label array for it: node i's label is read before its
    // class is written over it.
    LargeVector<Id> ids;
    if (consumed != nullptr) {
        ids = consumed->take_labels();
    } else {
        ids.resize(n);
    }
    auto symbol_of = [&](std::size_t i) { return symbols[consumed != nullptr ? ids[i] : graph.label_id(i)]; };

    sat::EGraph egraph;
    // The rules add e-nodes: commutativity up to one per two-input node.
    egraph.reserve(n + n / 2, n);
    load_egraph(graph, n, ids, symbol_of, egraph);
    // The e-graph holds every node now: a graph handed over goes.
    if (consumed != nullptr) consumed->release();
    if (trace) trace->load_seconds = seconds_since(phase);
    phase = Clock::now();

    // Read back one node per class: the class's lowest-indexed input node,
    // in input order, so inputs still come before their users. The answer
    // has no duplicates: two of its nodes with one label over the same
    // classes would be congruent, and the driver leaves the e-graph rebuilt,
    // so they would be one class.
    Canonical out{EngineGraph(graph.labels()), {}, true};
    {
        sat::SaturationDriver driver;
        driver.with_egraph(std::move(egraph)).with_iter_limit(iter_limit_).with_node_limit(4 * n + 1024).run(rules_);
        sat::EGraph& classes = driver.egraph();
        if (trace) record_run(driver, seconds_since(phase), *trace);
        phase = Clock::now();
        // From here on only classes and e-nodes are read.
        classes.drop_index();
        const LargeVector<Id> representatives = number_classes(classes, ids, n);
        out.map = std::move(ids);
        classes.drop_links();
        write_representatives(classes, representatives, LabelOfSymbol(symbols), out.graph);
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
