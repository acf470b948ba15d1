// The saturation driver: runs rewrite rules over an e-graph until nothing
// changes or a limit is reached, with a scheduler that throttles rules
// whose match counts explode.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "saturation/egraph.hpp"
#include "saturation/pattern.hpp"

namespace veltrix::sat {

struct StopCause {
    enum class Kind { Saturated, IterationLimit, NodeLimit, TimeLimit, Other };
    Kind kind = Kind::Saturated;
    std::uint64_t count = 0;  // iterations done (IterationLimit) or e-node count (NodeLimit)
    double seconds = 0.0;     // elapsed time (TimeLimit)
    std::string text;         // Other

    static StopCause saturated() { return {}; }
    static StopCause iteration_limit(std::uint64_t n) { return {Kind::IterationLimit, n, 0.0, {}}; }
    static StopCause node_limit(std::uint64_t n) { return {Kind::NodeLimit, n, 0.0, {}}; }
    static StopCause time_limit(double s) { return {Kind::TimeLimit, 0, s, {}}; }

    std::string describe() const;
};

// What one iteration did; kept for diagnostics and tests.
struct Iteration {
    std::size_t egraph_nodes = 0;    // total size when the iteration started
    std::size_t egraph_classes = 0;  // class count when the iteration started
    std::vector<std::pair<Symbol, std::uint64_t>> applied;  // rule -> effective merges (> 0 only)
    std::vector<Symbol> banned;                             // rules banned in this iteration
    std::size_t rebuild_merges = 0;
    double search_seconds = 0.0;
    double apply_seconds = 0.0;
    double rebuild_seconds = 0.0;
    std::optional<StopCause> stop;
};

struct RuleRecord {
    std::uint64_t times_applied = 0;
    std::uint64_t banned_until = 0;
    std::uint64_t times_banned = 0;
    std::uint64_t match_limit = 0;
    std::uint64_t ban_length = 0;
};

// A rule's last search and the state of the e-graph it was made on. The
// driver keeps one per rule: searching an e-graph that has not changed since
// finds the same matches, so such a search is not repeated. The e-graph
// changes only by adding an e-node, which creates a class, or by merging two
// classes, and both leave their count higher.
struct SearchMemo {
    bool valid = false;
    std::uint64_t ids = 0;     // EGraph::id_count() at the search
    std::uint64_t merges = 0;  // EGraph::merge_count() at the search
    std::uint64_t limit = 0;   // the limit it was made with
    SearchMatches matches;

    // Whether a search of `egraph` with `limit` would find exactly `matches`.
    bool answers(const EGraph& egraph, std::uint64_t search_limit) const noexcept {
        if (!valid || ids != egraph.id_count() || merges != egraph.merge_count()) return false;
        // A search that stopped short of its limit found everything.
        return search_limit == limit || (matches.total < limit && matches.total < search_limit);
    }
};

class ThrottleScheduler {
public:
    static constexpr std::uint64_t kDefaultMatchLimit = 1000;
    static constexpr std::uint64_t kDefaultBanLength = 5;

    ThrottleScheduler() = default;
    ThrottleScheduler(std::uint64_t match_limit, std::uint64_t ban_length)
        : default_match_limit_(match_limit), default_ban_length_(ban_length) {}

    // Matches of `rule` at iteration i, or none when the rule is banned or
    // gets banned now. `*banned_now` is set when this call banned it.
    SearchMatches search_rewrite(std::uint64_t iteration, const EGraph& egraph, const Rewrite& rule,
                                 bool* banned_now = nullptr);
    // The same decision, with the rule's matches left in `memo.matches` and
    // the rule's earlier search in `memo` taken when it still answers.
    // Returns whether the rule is applied in this iteration (with those
    // matches); when not, `memo.matches` may still hold an older search.
    bool search_rewrite(std::uint64_t iteration, const EGraph& egraph, const Rewrite& rule, SearchMemo& memo,
                        bool* banned_now = nullptr);
    std::size_t apply_rewrite(EGraph& egraph, const Rewrite& rule, const SearchMatches& matches);
    // May fast-forward bans; see the .cpp.
    bool can_stop(std::uint64_t iteration);

    // The record of a rule, if it has been used.
    const RuleRecord* record(Symbol rule) const;
    // Records in first-use order.
    const std::vector<std::pair<Symbol, RuleRecord>>& records() const noexcept { return records_; }

private:
    RuleRecord& record_for(Symbol rule);

    std::uint64_t default_match_limit_ = kDefaultMatchLimit;
    std::uint64_t default_ban_length_ = kDefaultBanLength;
    std::vector<std::pair<Symbol, RuleRecord>> records_;
    std::unordered_map<Symbol, std::size_t> index_;
};

class SaturationDriver {
public:
    using Clock = std::chrono::steady_clock;

    SaturationDriver() = default;

    SaturationDriver& with_egraph(EGraph egraph) {
        egraph_ = std::move(egraph);
        return *this;
    }
    SaturationDriver& with_iter_limit(std::uint64_t n) {
        iter_limit_ = n;
        return *this;
    }
    SaturationDriver& with_node_limit(std::uint64_t n) {
        node_limit_ = n;
        return *this;
    }
    SaturationDriver& with_time_limit(Clock::duration d) {
        time_limit_ = d;
        return *this;
    }
    SaturationDriver& with_scheduler(ThrottleScheduler s) {
        scheduler_ = std::move(s);
        return *this;
    }

    // Runs the rules (searched and applied in list order) once.
    SaturationDriver& run(std::span<const Rewrite> rules);

    EGraph& egraph() noexcept { return egraph_; }
    const EGraph& egraph() const noexcept { return egraph_; }
    const std::vector<Iteration>& iterations() const noexcept { return iterations_; }
    const std::optional<StopCause>& stop_reason() const noexcept { return stop_reason_; }
    const ThrottleScheduler& scheduler() const noexcept { return scheduler_; }

    std::uint64_t iter_limit() const noexcept { return iter_limit_; }
    std::uint64_t node_limit() const noexcept { return node_limit_; }
    Clock::duration time_limit() const noexcept { return time_limit_; }

private:
    std::optional<StopCause> check_limits() const;
    // One iteration's search and apply phases over every rule, in order;
    // each stops early, with the cause, when a limit is reached.
    std::optional<StopCause> search_rules(std::uint64_t iteration, std::span<const Rewrite> rules,
                                          std::vector<SearchMemo>& searched, std::vector<char>& matched, Iteration& it);
    std::optional<StopCause> apply_rules(std::span<const Rewrite> rules, std::vector<SearchMemo>& searched,
                                         const std::vector<char>& matched, Iteration& it);

    EGraph egraph_;
    std::vector<Iteration> iterations_;
    std::optional<StopCause> stop_reason_;
    std::uint64_t iter_limit_ = 30;
    std::uint64_t node_limit_ = 10'000;
    Clock::duration time_limit_ = std::chrono::seconds(5);
    std::optional<Clock::time_point> start_time_;
    ThrottleScheduler scheduler_;
};

// Prints the repeated-rule-name warning to stderr when two rules share a
// name (they would share one scheduling record). Returns whether it did.
bool warn_repeated_rule_names(std::span<const Rewrite> rules);

}  // namespace veltrix::sat
