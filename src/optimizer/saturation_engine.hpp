// The rewrite engine every reduction uses: equality saturation over a fixed
// set of commutativity and identity-elimination rules.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "optimizer/engine.hpp"
#include "saturation/driver.hpp"
#include "saturation/pattern.hpp"

namespace veltrix {

// How the saturation run inside one canonicalize call went.
struct SaturationTrace {
    sat::StopCause stop;
    std::vector<sat::Iteration> iterations;
    std::size_t egraph_nodes = 0;    // hash-cons entries at the end
    std::size_t egraph_classes = 0;  // classes at the end
    double load_seconds = 0.0;       // building the e-graph
    double run_seconds = 0.0;        // the saturation driver
    double read_seconds = 0.0;       // reading the canonical graph back
};

// An operator that one of the engine's rules names.
struct RuleOp {
    std::uint64_t hash;  // sat::text_hash(text)
    sat::Symbol symbol;
    std::string text;
};

class SaturationEngine final : public RewriteEngine {
public:
    // Builds the twelve rules (eight commutativity, four identity) and sets
    // the iteration limit to 12.
    SaturationEngine();

    Canonical canonicalize(const EngineGraph& graph) const override;
    // Gives the graph's memory back once the e-graph holds it.
    Canonical canonicalize(EngineGraph&& graph) const override;
    // The same, also reporting the saturation run when `trace` is given.
    Canonical canonicalize(const EngineGraph& graph, SaturationTrace* trace) const;

    const std::vector<sat::Rewrite>& rules() const noexcept { return rules_; }
    std::uint64_t iter_limit() const noexcept { return iter_limit_; }

private:
    Canonical run(const EngineGraph& graph, EngineGraph* consumed, SaturationTrace* trace) const;
    // The symbol of every label of `labels`: the rules' own symbol for an
    // operator some rule names, an atom for every other label.
    std::vector<sat::Symbol> label_symbols(const Labels& labels) const;

    std::vector<sat::Rewrite> rules_;
    std::vector<RuleOp> rule_ops_;  // every operator the rules name, once
    std::uint64_t iter_limit_ = 0;
};

}  // namespace veltrix
