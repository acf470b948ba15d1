#include "saturation/driver.hpp"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "graph/support.hpp"

namespace veltrix::sat {

std::string StopCause::describe() const {
    switch (kind) {
        case Kind::Saturated:
            return "saturated";
        case Kind::IterationLimit:
            return "iteration limit (" + std::to_string(count) + ")";
        case Kind::NodeLimit:
            return "node limit (" + std::to_string(count) + ")";
        case Kind::TimeLimit:
            return "time limit (" + std::to_string(seconds) + " s)";
        case Kind::Other:
            return text;
    }
    return text;
}

// ---------------------------------------------------------------------------
// ThrottleScheduler

RuleRecord& ThrottleScheduler::record_for(Symbol rule) {
    auto [it, inserted] = index_.try_emplace(rule, records_.size());
    if (inserted) {
        RuleRecord fresh;
        fresh.match_limit = default_match_limit_;
        fresh.ban_length = default_ban_length_;
        records_.emplace_back(rule, fresh);
    }
    return records_[it->second].second;
}

const RuleRecord* ThrottleScheduler::record(Symbol rule) const {
    auto it = index_.find(rule);
    return it == index_.end() ? nullptr : &records_[it->second].second;
}

SearchMatches ThrottleScheduler::search_rewrite(std::uint64_t iteration, const EGraph& egraph, const Rewrite& rule,
                                                bool* banned_now) {
    SearchMemo memo;
    if (search_rewrite(iteration, egraph, rule, memo, banned_now)) return std::move(memo.matches);
    SearchMatches none;
    none.width = static_cast<std::uint32_t>(rule.searcher().vars().size());
    return none;
}

bool ThrottleScheduler::search_rewrite(std::uint64_t iteration, const EGraph& egraph, const Rewrite& rule,
                                       SearchMemo& memo, bool* banned_now) {
    if (banned_now) *banned_now = false;
    RuleRecord& s = record_for(rule.name());
    if (iteration < s.banned_until) return false;

    if (s.times_banned >= 64) panic("attempt to shift left with overflow");
    const std::uint64_t threshold = s.match_limit << s.times_banned;
    const std::uint64_t limit =
        threshold == std::numeric_limits<std::uint64_t>::max() ? threshold : threshold + 1;
    // A rule that is going to be banned returns nothing, so when the
    // e-graph's counts already show more matches than the threshold the
    // search itself is skipped.
    std::size_t total = 0;
    const std::optional<std::size_t> known = rule.searcher().count_without_search(egraph);
    if (known && *known > threshold) {
        total = *known;
    } else {
        if (!memo.answers(egraph, limit)) {
            // The search reuses the memory of the rule's last one.
            memo.valid = false;
            rule.search_into(memo.matches, egraph, limit);
            memo.valid = true;
            memo.ids = egraph.id_count();
            memo.merges = egraph.merge_count();
            memo.limit = limit;
        }
        total = memo.matches.total;
    }
    if (total > threshold) {
        const std::uint64_t ban = s.ban_length << s.times_banned;
        s.times_banned += 1;
        const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
        s.banned_until = iteration > max - ban ? max : iteration + ban;
        if (banned_now) *banned_now = true;
        return false;
    }
    s.times_applied += 1;
    return true;
}

std::size_t ThrottleScheduler::apply_rewrite(EGraph& egraph, const Rewrite& rule, const SearchMatches& matches) {
    return rule.apply(egraph, matches);
}

bool ThrottleScheduler::can_stop(std::uint64_t iteration) {
    // When an iteration changed nothing, waiting out a ban idly is pointless:
    // move every ban forward so the earliest one ends now, and go on.
    std::uint64_t earliest = std::numeric_limits<std::uint64_t>::max();
    bool any = false;
    for (const auto& [name, s] : records_) {
        if (s.banned_until > iteration) {
            any = true;
            earliest = std::min(earliest, s.banned_until);
        }
    }
    if (!any) return true;
    const std::uint64_t delta = earliest - iteration;
    for (auto& [name, s] : records_) {
        if (s.banned_until > iteration) s.banned_until -= delta;
    }
    return false;
}

// ---------------------------------------------------------------------------
// SaturationDriver

bool warn_repeated_rule_names(std::span<const Rewrite> rules) {
    std::vector<std::pair<Symbol, std::size_t>> counts;
    for (const Rewrite& r : rules) {
        auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == r.name(); });
        if (it == counts.end()) {
            counts.emplace_back(r.name(), 1);
        } else {
            ++it->second;
        }
    }
    const bool repeated = std::any_of(counts.begin(), counts.end(), [](const auto& c) { return c.second > 1; });
    if (!repeated) return false;
    std::string text = "warning: repeated rule names share one scheduling record\n";
    for (const auto& [name, n] : counts) {
        if (n > 1) text += "rule '" + std::string(name.text()) + "' is listed " + std::to_string(n) + " times\n";
    }
    std::fputs(text.c_str(), stderr);
    return true;
}

std::optional<StopCause> SaturationDriver::check_limits() const {
    if (start_time_) {
        const auto elapsed = Clock::now() - *start_time_;
        if (elapsed > time_limit_) {
            return StopCause::time_limit(std::chrono::duration<double>(elapsed).count());
        }
    }
    if (egraph_.total_size() > node_limit_) return StopCause::node_limit(egraph_.total_size());
    if (iterations_.size() >= iter_limit_) return StopCause::iteration_limit(iterations_.size());
    return std::nullopt;
}

std::optional<StopCause> SaturationDriver::search_rules(std::uint64_t iteration, std::span<const Rewrite> rules,
                                                       std::vector<SearchMemo>& searched, std::vector<char>& matched,
                                                       Iteration& it) {
    std::fill(matched.begin(), matched.end(), 0);
    for (std::size_t k = 0; k < rules.size(); ++k) {
        bool banned = false;
        matched[k] = scheduler_.search_rewrite(iteration, egraph_, rules[k], searched[k], &banned);
        if (banned) it.banned.push_back(rules[k].name());
        if (auto stop = check_limits()) return stop;
    }
    return std::nullopt;
}

std::optional<StopCause> SaturationDriver::apply_rules(std::span<const Rewrite> rules, std::vector<SearchMemo>& searched,
                                                      const std::vector<char>& matched, Iteration& it) {
    for (std::size_t k = 0; k < rules.size(); ++k) {
        const std::size_t merged = matched[k] ? scheduler_.apply_rewrite(egraph_, rules[k], searched[k].matches) : 0;
        if (merged > 0) {
            auto at = std::find_if(it.applied.begin(), it.applied.end(),
                                   [&](const auto& a) { return a.first == rules[k].name(); });
            if (at == it.applied.end()) {
                it.applied.emplace_back(rules[k].name(), merged);
            } else {
                at->second += merged;
            }
        }
        if (auto stop = check_limits()) return stop;
    }
    return std::nullopt;
}

SaturationDriver& SaturationDriver::run(std::span<const Rewrite> rules) {
    warn_repeated_rule_names(rules);
    egraph_.rebuild();

    auto seconds_since = [](Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); };
    std::vector<SearchMemo> searched(rules.size());
    std::vector<char> matched(rules.size());
    for (;;) {
        const std::uint64_t i = iterations_.size();
        if (i == 0) start_time_ = Clock::now();

        Iteration it;
        std::optional<StopCause> stop = check_limits();
        it.egraph_nodes = egraph_.total_size();
        it.egraph_classes = egraph_.class_count();

        auto phase = Clock::now();
        if (!stop) stop = search_rules(i, rules, searched, matched, it);
        it.search_seconds = seconds_since(phase);
        phase = Clock::now();
        if (!stop) stop = apply_rules(rules, searched, matched, it);
        it.apply_seconds = seconds_since(phase);
        phase = Clock::now();
        it.rebuild_merges = egraph_.rebuild();
        it.rebuild_seconds = seconds_since(phase);

        if (!stop && it.applied.empty() && scheduler_.can_stop(i) && egraph_.total_size() == it.egraph_nodes &&
            egraph_.class_count() == it.egraph_classes) {
            stop = StopCause::saturated();
        }
        it.stop = stop;
        iterations_.push_back(std::move(it));

        if (stop) {
            stop_reason_ = std::move(stop);
            break;
        }
        if ((stop = check_limits())) {
            stop_reason_ = std::move(stop);
            break;
        }
    }
    return *this;
}

}  // namespace veltrix::sat
