// Patterns (searchers and appliers), e-matching, and named rewrite rules.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "graph/support.hpp"
#include "saturation/egraph.hpp"
#include "saturation/symbol.hpp"

namespace veltrix::sat {

// A pattern variable; its symbol is the name including the leading "?".
struct Var {
    Symbol name;
    friend bool operator==(Var a, Var b) noexcept { return a.name == b.name; }
};

// One entry of a flat pattern: an e-node pattern whose children refer to
// earlier entries by position, or a variable.
struct PatternNode {
    bool is_var = false;
    Symbol op;                           // operator, or the variable's name
    std::vector<std::uint32_t> children; // positions of earlier entries
};

// Children come before their parent; the last entry is the root.
using FlatExpr = std::vector<PatternNode>;

// A list of (variable, class) bindings.
using Bindings = std::vector<std::pair<Var, Id>>;

// All substitutions a search found in one class: `count` rows of the
// owning SearchMatches' bindings, starting at row `first`.
struct ClassMatches {
    Id eclass = 0;
    std::uint32_t first = 0;
    std::uint32_t count = 0;
};

// The result of searching one pattern. Each substitution binds the
// pattern's variables, in its vars() order, to class ids: for a shallow
// pattern (a root over distinct variables, in order) they are the children
// of the matching e-node, and the substitution is kept as that e-node's
// record; otherwise it is a row of `width` ids, grouped by the class the
// root matched in. A shallow substitution's record stands for its class: it
// is a member of it, and the e-graph's records do not change between a
// search and the apply phase that uses it.
struct SearchMatches {
    std::uint32_t width = 0;
    bool by_record = false;
    LargeVector<Id> records;              // by_record: one per substitution
    LargeVector<ClassMatches> classes;    // otherwise
    LargeVector<Id> rows;
    std::size_t total = 0;  // number of substitutions
    // Filled only by a search that was given an InstanceProbe: one flag per
    // row, set when the probed instance was already a member of the matched
    // class, and the e-graph's merge count at the time of the search.
    LargeVector<std::uint8_t> present;
    std::uint64_t merges_at_search = 0;

    // The ids substitution r binds, in the pattern's vars() order.
    std::span<const Id> row(const EGraph& egraph, std::size_t r) const {
        if (by_record) return egraph.node_of(records[r]).children();
        return {rows.data() + r * width, width};
    }
    // Calls f(Id member of the matched class, row number) for every
    // substitution, in search order.
    template <class F>
    void for_each(F&& f) const {
        if (by_record) {
            for (std::size_t r = 0; r < total; ++r) f(records[r], r);
            return;
        }
        for (const ClassMatches& cm : classes) {
            for (std::uint32_t r = cm.first; r < cm.first + cm.count; ++r) f(cm.eclass, std::size_t{r});
        }
    }
    bool empty() const noexcept { return total == 0; }
};

// What applying a substitution would add, when that is simple enough to look
// for during the search: the class of one searcher variable, or one e-node
// over searcher variables. A row whose instance is already in its class
// merges nothing when applied, so the application can skip it.
struct InstanceProbe {
    enum class Kind { None, Var, Node };
    Kind kind = Kind::None;
    Symbol op;                         // Node: the instance's operator
    std::vector<std::uint32_t> slots;  // searcher variable of each child (Var: the one variable)
};

class Pattern {
public:
    // Parses s-expression text. The error is a human-readable message.
    static Result<Pattern, std::string> parse(std::string_view text);

    const FlatExpr& ast() const noexcept { return nodes_; }
    const PatternNode& root() const { return nodes_.back(); }
    // Distinct variables in order of first appearance (children first).
    const std::vector<Var>& vars() const noexcept { return vars_; }
    const std::string& text() const noexcept { return text_; }

    // E-matching over a clean e-graph. Stops once `limit` substitutions
    // have been collected in total.
    // With a probe, also flags the rows whose instance is already present.
    SearchMatches search(const EGraph& egraph,
                         std::size_t limit = std::numeric_limits<std::size_t>::max(),
                         const InstanceProbe* probe = nullptr) const;
    // The same search, into `out`, whose lists keep their memory.
    void search_into(SearchMatches& out, const EGraph& egraph, std::size_t limit,
                     const InstanceProbe* probe = nullptr) const;

    // The number of substitutions search() would find without a limit, when
    // the e-graph's counts tell it without searching: for a root over
    // distinct variables it is the number of e-nodes with the root's
    // operator and arity. Requires a clean e-graph.
    std::optional<std::size_t> count_without_search(const EGraph& egraph) const;

    // Adds the instance of this pattern under `bindings`, bottom-up with
    // hash-consed adds, and returns its class. A variable missing from
    // `bindings` is an internal failure.
    Id instantiate(EGraph& egraph, const Bindings& bindings) const;

private:
    friend class Rewrite;
    struct Scratch {
        std::vector<Id> ids;
        std::vector<Id> kids;
    };
    Id instantiate_slots(EGraph& egraph, std::span<const Id> row, const std::vector<std::uint32_t>& slot_of,
                         Scratch& scratch) const;
    // Building a parsed pattern: entries are appended children first.
    void add_var(Symbol name);
    void add_op(Symbol op, std::vector<std::uint32_t> children);
    bool is_shallow() const;

    FlatExpr nodes_;
    std::vector<Var> vars_;
    std::vector<std::uint32_t> var_slot_;  // entry -> index into vars_ (variables only)
    bool shallow_ = false;                 // root over distinct variables in order
    std::string text_;
};

class Rewrite {
public:
    // Fails with "rule {name} uses unbound variable {var}" when the applier
    // uses a variable that the searcher does not bind.
    static Result<Rewrite, std::string> create(std::string_view name, Pattern searcher, Pattern applier);

    Symbol name() const noexcept { return name_; }
    const Pattern& searcher() const noexcept { return searcher_; }
    const Pattern& applier() const noexcept { return applier_; }

    SearchMatches search(const EGraph& egraph,
                         std::size_t limit = std::numeric_limits<std::size_t>::max()) const {
        return searcher_.search(egraph, limit, &probe_);
    }
    void search_into(SearchMatches& out, const EGraph& egraph, std::size_t limit) const {
        searcher_.search_into(out, egraph, limit, &probe_);
    }

    // Instantiates the applier for every substitution and unions it with
    // the matched class. Returns the number of unions that merged classes.
    std::size_t apply(EGraph& egraph, const SearchMatches& matches) const;

private:
    struct Pending {  // a match waiting in its group to be applied
        Id eclass;
        std::uint32_t row;
    };
    // The class that the applier's variable at `entry` is bound to in a
    // searcher row.
    Id bound_id(std::span<const Id> row, std::uint32_t entry) const {
        return row[applier_to_searcher_[applier_.var_slot_[entry]]];
    }
    bool still_present(const EGraph& egraph, const SearchMatches& matches, std::uint32_t r) const;
    bool flat_applier() const;
    void prefetch_group(const EGraph& egraph, const SearchMatches& matches, std::span<const Pending> group,
                        bool flat, std::vector<Id>& kids) const;

    Symbol name_;
    Pattern searcher_;
    Pattern applier_;
    std::vector<std::uint32_t> applier_to_searcher_;  // applier var index -> searcher var index
    InstanceProbe probe_;
};

}  // namespace veltrix::sat
