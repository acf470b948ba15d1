#include "optimizer/saturation_engine.hpp"

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

[[noreturn]] void out_of_range(std::size_t len, std::uint64_t index) {
    panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index));
}

// Interns each distinct label once per call; consecutive nodes often share
// a label, so the previous one is checked before the map.
class LabelSymbols {
public:
    explicit LabelSymbols(std::size_t expected) { map_.reserve(expected / 4 + 16); }

    Symbol get(const std::string& label) {
        if (has_last_ && label == last_text_) return last_;
        auto [it, inserted] = map_.try_emplace(std::string_view(label), Symbol());
        if (inserted) it->second = Symbol::intern(label);
        last_text_ = it->first;
        last_ = it->second;
        has_last_ = true;
        return last_;
    }

private:
    std::unordered_map<std::string_view, Symbol> map_;
    std::string_view last_text_;
    Symbol last_;
    bool has_last_ = false;
};

}  // namespace

SaturationEngine::SaturationEngine() {
    rules_.reserve(12);
    for (const char* op : kCommutativeOps) {
        const std::string x(op);
        rules_.push_back(must_rewrite("commute-" + x, "(op|" + x + " ?a ?b)", "(op|" + x + " ?b ?a)"));
    }
    for (std::size_t i = 0; i < std::size(kIdentitySymbols); ++i) {
        rules_.push_back(must_rewrite("identity-" + std::to_string(i), "(" + std::string(kIdentitySymbols[i]) + " ?x)",
                                      "?x"));
    }
    iter_limit_ = 12;
}

Canonical SaturationEngine::canonicalize(const EngineGraph& graph) const { return canonicalize(graph, nullptr); }

Canonical SaturationEngine::canonicalize(const EngineGraph& graph, SaturationTrace* trace) const {
    const std::size_t n = graph.nodes.size();

    // Load the graph: one hash-consed add per node, in order.
    sat::EGraph egraph;
    egraph.reserve(n + n / 2);
    std::vector<Id> ids;
    ids.reserve(n);
    {
        LabelSymbols symbols(n);
        std::vector<Id> children;
        for (std::size_t i = 0; i < n; ++i) {
            const EngineNode& node = graph.nodes[i];
            children.clear();
            for (std::uint64_t k : node.inputs) {
                if (k >= i) out_of_range(i, k);
                children.push_back(ids[k]);
            }
            const Id id = egraph.add(sat::ENode(symbols.get(node.label), children));
            ids.push_back(egraph.find(id));
        }
    }

    sat::SaturationDriver driver;
    driver.with_egraph(std::move(egraph)).with_iter_limit(iter_limit_).with_node_limit(4 * n + 1024).run(rules_);
    const sat::EGraph& result_graph = driver.egraph();

    if (trace) {
        trace->stop = driver.stop_reason().value_or(sat::StopCause{});
        trace->iterations = driver.iterations();
        trace->egraph_nodes = result_graph.total_size();
        trace->egraph_classes = result_graph.class_count();
    }

    // Read back one node per class: the class's lowest-indexed input node,
    // in input order, so inputs still come before their users.
    constexpr std::uint64_t kUnassigned = ~std::uint64_t{0};
    std::vector<std::uint64_t> index_of_class(result_graph.id_count(), kUnassigned);
    Canonical out;
    out.map.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Id cls = result_graph.find(ids[i]);
        std::uint64_t& index = index_of_class[cls];
        if (index == kUnassigned) {
            const EngineNode& node = graph.nodes[i];
            index = out.graph.nodes.size();
            EngineNode emitted;
            emitted.label = node.label;
            emitted.inputs.reserve(node.inputs.size());
            for (std::uint64_t k : node.inputs) emitted.inputs.push_back(out.map[k]);
            emitted.boundary = !std::string_view(node.label).starts_with("op|");
            out.graph.nodes.push_back(std::move(emitted));
        }
        out.map[i] = index;
    }
    out.graph.outputs.reserve(graph.outputs.size());
    for (std::uint64_t o : graph.outputs) {
        if (o >= n) out_of_range(n, o);
        out.graph.outputs.push_back(out.map[o]);
    }
    return out;
}

}  // namespace veltrix
