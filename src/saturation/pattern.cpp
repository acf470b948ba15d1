#include "saturation/pattern.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "graph/support.hpp"

namespace veltrix::sat {
namespace {

constexpr Id kUnbound = 0xffffffffu;

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool ends_atom(char c) noexcept { return is_space(c) || c == '(' || c == ')'; }

// The character at `pos` for an error message: the whole UTF-8 sequence.
std::string char_at(std::string_view text, std::size_t pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    std::size_t len = 1;
    if (lead >= 0xf0) {
        len = 4;
    } else if (lead >= 0xe0) {
        len = 3;
    } else if (lead >= 0xc0) {
        len = 2;
    }
    std::string quoted = "'";
    quoted += text.substr(pos, std::min(len, text.size() - pos));
    quoted += '\'';
    return quoted;
}

// A parsed s-expression, flattened so that items precede the list holding
// them. Built and converted without recursion.
struct SexpNode {
    bool is_list = false;
    bool quoted = false;
    std::string atom;
    std::vector<std::uint32_t> items;
};

// Reads a quoted atom's text into `atom`, from just after its opening quote
// up to the end of the atom, leaving `pos` there. Returns the error, if any.
std::optional<std::string> read_quoted(std::string_view text, std::size_t& pos, std::size_t end, std::string& atom) {
    for (;;) {
        if (pos >= end) return std::string("unexpected end of pattern text");
        const char q = text[pos++];
        if (q == '"') break;
        if (q == '\\') {
            if (pos >= end) return std::string("unexpected end of pattern text");
            const char e = text[pos++];
            atom.push_back(e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e);
        } else {
            atom.push_back(q);
        }
    }
    if (pos < end && !ends_atom(text[pos])) return "expected whitespace or ')' but found " + char_at(text, pos);
    return std::nullopt;
}

Result<std::vector<SexpNode>, std::string> parse_sexp(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_space(text[begin])) ++begin;
    while (end > begin && is_space(text[end - 1])) --end;

    std::vector<SexpNode> out;
    std::vector<std::vector<std::uint32_t>> open;  // items of each open list
    bool done = false;
    std::size_t pos = begin;

    auto finish = [&](SexpNode node) {
        out.push_back(std::move(node));
        const auto at = static_cast<std::uint32_t>(out.size() - 1);
        if (open.empty()) {
            done = true;
        } else {
            open.back().push_back(at);
        }
    };

    while (!done) {
        if (pos >= end) return std::string("unexpected end of pattern text");
        const char c = text[pos];
        if (is_space(c)) {
            ++pos;
        } else if (c == '(') {
            open.emplace_back();
            ++pos;
        } else if (c == ')') {
            if (open.empty()) return std::string("unexpected ')'");
            SexpNode list;
            list.is_list = true;
            list.items = std::move(open.back());
            open.pop_back();
            ++pos;
            finish(std::move(list));
        } else if (c == '"') {
            SexpNode atom;
            atom.quoted = true;
            if (auto error = read_quoted(text, ++pos, end, atom.atom)) return *error;
            finish(std::move(atom));
        } else {
            const std::size_t start = pos;
            while (pos < end && !ends_atom(text[pos])) ++pos;
            SexpNode atom;
            atom.atom = std::string(text.substr(start, pos - start));
            finish(std::move(atom));
        }
    }
    while (pos < end && is_space(text[pos])) ++pos;
    if (pos < end) {
        if (text[pos] == ')') return std::string("unexpected ')'");
        return "expected end of pattern text but found " + char_at(text, pos);
    }
    return out;
}

bool is_variable(const SexpNode& n) { return !n.is_list && !n.quoted && n.atom.size() >= 2 && n.atom[0] == '?'; }

}  // namespace

Result<Pattern, std::string> Pattern::parse(std::string_view text) {
    auto parsed = parse_sexp(text);
    if (!parsed) return parsed.error();
    const std::vector<SexpNode>& sexp = parsed.value();

    // Atoms in operator position name an operator and produce no entry.
    std::vector<bool> is_operator(sexp.size(), false);
    for (const SexpNode& n : sexp) {
        if (n.is_list && !n.items.empty()) is_operator[n.items.front()] = true;
    }

    Pattern p;
    p.text_ = std::string(text);
    std::vector<std::uint32_t> entry_of(sexp.size(), 0);

    for (std::size_t i = 0; i < sexp.size(); ++i) {
        const SexpNode& n = sexp[i];
        if (!n.is_list) {
            if (is_operator[i]) continue;
            if (is_variable(n)) {
                p.add_var(Symbol::intern(n.atom));
            } else {
                p.add_op(Symbol::intern(n.atom), {});
            }
        } else {
            if (n.items.empty()) return std::string("empty list is not a pattern");
            const SexpNode& head = sexp[n.items.front()];
            if (head.is_list) return std::string("a list cannot stand in operator position");
            if (is_variable(head)) {
                if (n.items.size() > 1) return "variable " + head.atom + " cannot have children";
                p.add_var(Symbol::intern(head.atom));
            } else {
                std::vector<std::uint32_t> children;
                for (std::size_t k = 1; k < n.items.size(); ++k) children.push_back(entry_of[n.items[k]]);
                p.add_op(Symbol::intern(head.atom), std::move(children));
            }
        }
        entry_of[i] = static_cast<std::uint32_t>(p.nodes_.size() - 1);
    }

    p.shallow_ = p.is_shallow();
    return p;
}

void Pattern::add_var(Symbol name) {
    Var v{name};
    auto it = std::find(vars_.begin(), vars_.end(), v);
    const auto slot = static_cast<std::uint32_t>(it - vars_.begin());
    if (it == vars_.end()) vars_.push_back(v);
    PatternNode node;
    node.is_var = true;
    node.op = name;
    nodes_.push_back(std::move(node));
    var_slot_.push_back(slot);
}

void Pattern::add_op(Symbol op, std::vector<std::uint32_t> children) {
    PatternNode node;
    node.op = op;
    node.children = std::move(children);
    nodes_.push_back(std::move(node));
    var_slot_.push_back(0);
}

// A root over distinct variables, in order, needs no backtracking.
bool Pattern::is_shallow() const {
    const PatternNode& top = nodes_.back();
    if (top.is_var || top.children.size() != vars_.size()) return false;
    for (std::size_t k = 0; k < top.children.size(); ++k) {
        const std::uint32_t child = top.children[k];
        if (!nodes_[child].is_var || var_slot_[child] != k) return false;
    }
    return true;
}

namespace {

// Backtracking e-matcher. It recurses once per pattern entry it resolves,
// so its depth is bounded by the pattern's size, never by the e-graph's.
class Matcher {
public:
    Matcher(const EGraph& egraph, const FlatExpr& nodes, const std::vector<std::uint32_t>& var_slot, bool shallow,
            SearchMatches& out, std::size_t limit, const InstanceProbe* probe)
        : egraph_(egraph), nodes_(nodes), var_slot_(var_slot), shallow_(shallow), out_(out), limit_(limit),
          probe_(probe != nullptr && probe->kind != InstanceProbe::Kind::None ? probe : nullptr),
          bound_(out.width, kUnbound) {
        if (probe_ != nullptr) {
            out_.merges_at_search = egraph.merge_count();
            instance_.resize(probe_->slots.size());
        }
    }

    // Matches the root against class `cls`; returns false once the limit is hit.
    bool match_root(Id cls) {
        current_ = cls;
        if (shallow_) {
            // (op ?v1 ... ?vn) with distinct variables: every e-node with the
            // operator and arity is one substitution, its children in order.
            const PatternNode& top = nodes_.back();
            const auto arity = static_cast<std::uint32_t>(top.children.size());
            bool go_on = true;
            egraph_.for_each_record(cls, [&](Id record, const ENode& n) {
                if (!go_on || !n.matches(top.op, arity)) return;
                const auto kids = n.children();
                std::copy(kids.begin(), kids.end(), bound_.begin());
                go_on = emit(record);
            });
            return go_on;
        }
        goals_.clear();
        goals_.push_back({static_cast<std::uint32_t>(nodes_.size() - 1), cls});
        return solve();
    }

private:
    struct Goal {
        std::uint32_t entry;
        Id cls;
    };

    bool solve() {
        if (goals_.empty()) return emit();
        const Goal goal = goals_.back();
        goals_.pop_back();
        bool go_on = true;
        const PatternNode& pn = nodes_[goal.entry];
        if (pn.is_var) {
            Id& slot = bound_[var_slot_[goal.entry]];
            if (slot == kUnbound) {
                slot = goal.cls;
                go_on = solve();
                slot = kUnbound;
            } else if (slot == goal.cls) {
                go_on = solve();
            }
        } else {
            const auto arity = static_cast<std::uint32_t>(pn.children.size());
            egraph_.for_each_node(goal.cls, [&](const ENode& n) {
                if (!go_on || !n.matches(pn.op, arity)) return;
                const auto kids = n.children();
                const std::size_t mark = goals_.size();
                for (std::uint32_t k = arity; k-- > 0;) goals_.push_back({pn.children[k], kids[k]});
                go_on = solve();
                goals_.resize(mark);
            });
        }
        goals_.push_back(goal);
        return go_on;
    }

    // Keeps the substitution in bound_: by its record in shallow mode.
    bool emit(Id record = kUnbound) {
        if (shallow_) {
            prefetch_append(out_.records, 32);
            out_.records.push_back(record);
        } else {
            if (out_.classes.empty() || out_.classes.back().eclass != current_ ||
                out_.classes.back().first + out_.classes.back().count != out_.total) {
                out_.classes.push_back(ClassMatches{current_, static_cast<std::uint32_t>(out_.total), 0});
            }
            ++out_.classes.back().count;
            prefetch_append(out_.rows, 32);
            out_.rows.insert(out_.rows.end(), bound_.begin(), bound_.end());
        }
        if (probe_ != nullptr) out_.present.push_back(instance_present() ? 1 : 0);
        ++out_.total;
        return out_.total < limit_;
    }

    // Whether the probed instance of the current substitution is already a
    // member of the current class. The e-graph is clean, so the bound ids
    // and the children of every e-node are roots.
    bool instance_present() {
        if (probe_->kind == InstanceProbe::Kind::Var) return bound_[probe_->slots[0]] == current_;
        for (std::size_t k = 0; k < instance_.size(); ++k) instance_[k] = bound_[probe_->slots[k]];
        bool found = false;
        egraph_.for_each_node(current_, [&](const ENode& n) { found = found || n.is(probe_->op, instance_); });
        return found;
    }

    const EGraph& egraph_;
    const FlatExpr& nodes_;
    const std::vector<std::uint32_t>& var_slot_;
    bool shallow_;
    SearchMatches& out_;
    std::size_t limit_;
    const InstanceProbe* probe_;
    std::vector<Id> bound_;
    std::vector<Id> instance_;
    std::vector<Goal> goals_;
    Id current_ = 0;
};

}  // namespace

SearchMatches Pattern::search(const EGraph& egraph, std::size_t limit, const InstanceProbe* probe) const {
    SearchMatches out;
    search_into(out, egraph, limit, probe);
    return out;
}

void Pattern::search_into(SearchMatches& out, const EGraph& egraph, std::size_t limit,
                          const InstanceProbe* probe) const {
    if (!egraph.clean()) panic("search on an e-graph that is not rebuilt");
    out.by_record = shallow_;
    out.records.clear();
    out.classes.clear();
    out.rows.clear();
    out.present.clear();
    out.total = 0;
    out.merges_at_search = 0;
    out.width = static_cast<std::uint32_t>(vars_.size());
    if (limit == 0 || nodes_.empty()) return;
    if (const std::optional<std::size_t> known = count_without_search(egraph)) {
        // The result's size is known: no regrowing (and recopying) of its lists.
        const std::size_t rows = std::min(*known, limit);
        out.records.reserve(rows);
        if (probe != nullptr && probe->kind != InstanceProbe::Kind::None) out.present.reserve(rows);
    }
    Matcher matcher(egraph, nodes_, var_slot_, shallow_, out, limit, probe);
    const PatternNode& top = nodes_.back();
    if (top.is_var) {
        bool go_on = true;
        egraph.for_each_class([&](Id c) {
            if (go_on) go_on = matcher.match_root(c);
        });
    } else {
        egraph.for_each_class_with_op(top.op, [&](Id c) { return matcher.match_root(c); });
    }
}

std::optional<std::size_t> Pattern::count_without_search(const EGraph& egraph) const {
    if (!egraph.clean()) panic("search on an e-graph that is not rebuilt");
    if (!shallow_) return std::nullopt;
    const PatternNode& top = nodes_.back();
    return egraph.node_count(top.op, static_cast<std::uint32_t>(top.children.size()));
}

Id Pattern::instantiate_slots(EGraph& egraph, std::span<const Id> row, const std::vector<std::uint32_t>& slot_of,
                              Scratch& scratch) const {
    std::vector<Id>& ids = scratch.ids;
    std::vector<Id>& kids = scratch.kids;
    ids.resize(nodes_.size());
    for (std::size_t j = 0; j < nodes_.size(); ++j) {
        const PatternNode& pn = nodes_[j];
        if (pn.is_var) {
            ids[j] = row[slot_of[var_slot_[j]]];
        } else {
            kids.clear();
            for (std::uint32_t c : pn.children) kids.push_back(ids[c]);
            ids[j] = egraph.add(ENode(pn.op, kids));
        }
    }
    return ids.back();
}

Id Pattern::instantiate(EGraph& egraph, const Bindings& bindings) const {
    std::vector<Id> row(vars_.size(), kUnbound);
    std::vector<std::uint32_t> identity(vars_.size());
    for (std::uint32_t v = 0; v < vars_.size(); ++v) {
        identity[v] = v;
        for (const auto& [var, id] : bindings) {
            if (var == vars_[v]) {
                row[v] = id;
                break;
            }
        }
        if (row[v] == kUnbound) {
            panic("variable " + std::string(vars_[v].name.text()) + " is unbound in " + text_);
        }
    }
    Scratch scratch;
    return instantiate_slots(egraph, row, identity, scratch);
}

Result<Rewrite, std::string> Rewrite::create(std::string_view name, Pattern searcher, Pattern applier) {
    Rewrite r;
    r.name_ = Symbol::intern(name);
    for (const Var& v : applier.vars()) {
        auto it = std::find(searcher.vars().begin(), searcher.vars().end(), v);
        if (it == searcher.vars().end()) {
            return "rule " + std::string(name) + " uses unbound variable " + std::string(v.name.text());
        }
        r.applier_to_searcher_.push_back(static_cast<std::uint32_t>(it - searcher.vars().begin()));
    }
    // Appliers of one variable or of one e-node over variables are probed
    // during the search (see InstanceProbe).
    const PatternNode& top = applier.root();
    if (top.is_var) {
        r.probe_.kind = InstanceProbe::Kind::Var;
        r.probe_.slots.push_back(r.applier_to_searcher_[applier.var_slot_.back()]);
    } else if (std::all_of(top.children.begin(), top.children.end(),
                           [&](std::uint32_t c) { return applier.ast()[c].is_var; })) {
        r.probe_.kind = InstanceProbe::Kind::Node;
        r.probe_.op = top.op;
        for (std::uint32_t c : top.children) r.probe_.slots.push_back(r.applier_to_searcher_[applier.var_slot_[c]]);
    }
    r.searcher_ = std::move(searcher);
    r.applier_ = std::move(applier);
    return r;
}

// Whether the applier is one e-node over variables only.
bool Rewrite::flat_applier() const {
    const PatternNode& top = applier_.nodes_.back();
    return !top.is_var &&
           std::all_of(top.children.begin(), top.children.end(), [&](std::uint32_t c) { return applier_.nodes_[c].is_var; });
}

// A row whose instance was found in its class at search time is still there:
// the bound class of a variable stays in the class, and an e-node over
// classes that are still roots still hash-conses to the class.
bool Rewrite::still_present(const EGraph& egraph, const SearchMatches& matches, std::uint32_t r) const {
    if (matches.present.empty() || !matches.present[r]) return false;
    if (probe_.kind == InstanceProbe::Kind::Var) return true;
    if (egraph.merge_count() == matches.merges_at_search) return true;
    const std::span<const Id> row = matches.row(egraph, r);
    return std::all_of(probe_.slots.begin(), probe_.slots.end(), [&](std::uint32_t slot) { return egraph.is_root(row[slot]); });
}

// Applying is dominated by memory latency on large e-graphs. The rows are
// taken in small groups, and each group is walked once per step of the chain
// of accesses an application makes, requesting that step's memory for the
// whole group: the accesses of one step are independent of each other, so
// they overlap, and by the next walk they have arrived. Only hints: the
// application itself does not depend on them.
void Rewrite::prefetch_group(const EGraph& egraph, const SearchMatches& matches, std::span<const Pending> group,
                             bool flat, std::vector<Id>& kids) const {
    const bool probed = !matches.present.empty();
    auto hinted = [&](const Pending& item) { return !probed || !matches.present[item.row]; };
    for (const Pending& item : group) {
        if (!hinted(item)) continue;
        const std::span<const Id> bound = matches.row(egraph, item.row);
        egraph.prefetch_class(item.eclass);
        // A flat applier's bound classes are only canonicalised here; their
        // records are asked for later, and only for a new e-node.
        for (std::size_t e = 0; e < applier_.nodes_.size(); ++e) {
            if (!applier_.nodes_[e].is_var) continue;
            const Id id = bound_id(bound, static_cast<std::uint32_t>(e));
            if (flat) {
                egraph.prefetch_link(id);
            } else {
                egraph.prefetch_class(id);
            }
        }
    }
    if (!flat) return;
    const PatternNode& top = applier_.nodes_.back();
    for (const EGraph::AddStage stage : {EGraph::AddStage::Slot, EGraph::AddStage::Entry, EGraph::AddStage::Class}) {
        for (const Pending& item : group) {
            if (!hinted(item)) continue;
            const std::span<const Id> bound = matches.row(egraph, item.row);
            kids.clear();
            for (std::uint32_t c : top.children) kids.push_back(bound_id(bound, c));
            egraph.prefetch_add(top.op, kids, stage);
        }
    }
}

std::size_t Rewrite::apply(EGraph& egraph, const SearchMatches& matches) const {
    if (matches.width != searcher_.vars().size()) {
        panic("matches of another pattern were applied by rule " + std::string(name_.text()));
    }
    if (!matches.present.empty() && matches.present.size() != matches.total) {
        panic("probe flags do not match the substitutions of rule " + std::string(name_.text()));
    }
    const bool flat = flat_applier();
    constexpr std::size_t kGroup = 32;
    Pending group[kGroup];
    std::size_t filled = 0;
    std::vector<Id> kids;
    std::vector<Id> row;
    Pattern::Scratch scratch;
    std::size_t merged = 0;
    auto run_group = [&] {
        prefetch_group(egraph, matches, std::span<const Pending>(group, filled), flat, kids);
        for (std::size_t j = 0; j < filled; ++j) {
            if (still_present(egraph, matches, group[j].row)) continue;
            // A copy: the row may live in a record, and adding e-nodes moves the records.
            const std::span<const Id> bound = matches.row(egraph, group[j].row);
            row.assign(bound.begin(), bound.end());
            const Id instance = applier_.instantiate_slots(egraph, row, applier_to_searcher_, scratch);
            if (egraph.union_classes(instance, group[j].eclass)) ++merged;
        }
        filled = 0;
    };
    matches.for_each([&](Id eclass, std::size_t r) {
        group[filled++] = Pending{eclass, static_cast<std::uint32_t>(r)};
        if (filled == kGroup) run_group();
    });
    run_group();
    return merged;
}

}  // namespace veltrix::sat
