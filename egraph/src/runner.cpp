#include "egraph/runner.h"

#include <algorithm>
#include <iostream>
#include <limits>
#include <ostream>
#include <string>

#include "support/panic.h"
#include "egraph/log.h"

namespace egraph {

std::ostream& operator<<(std::ostream& os, const StopReason& r) {
  switch (r.kind) {
    case StopKind::Saturated:
      return os << "Saturated";
    case StopKind::IterationLimit:
      return os << "IterationLimit(" << r.count << ")";
    case StopKind::NodeLimit:
      return os << "NodeLimit(" << r.count << ")";
    case StopKind::TimeLimit:
      return os << "TimeLimit(" << r.seconds << ")";
  }
  return os;
}

// ---- BackoffScheduler ---------------------------------------------------------------------

RuleStats& BackoffScheduler::stats_for(const Rewrite& rule) {
  auto [it, inserted] = index_.try_emplace(rule.name(), stats_.size());
  if (inserted) {
    RuleStats s;
    s.match_limit = default_match_limit_;
    s.ban_length = default_ban_length_;
    stats_.emplace_back(rule.name(), s);
    names_.push_back(rule.name_text());
  }
  return stats_[it->second].second;
}

const RuleStats* BackoffScheduler::stats(Symbol name) const {
  const auto it = index_.find(name);
  return it == index_.end() ? nullptr : &stats_[it->second].second;
}

MatchSet BackoffScheduler::search_rewrite(std::size_t iteration, const EGraph& g, const Rewrite& rule,
                                          const Deadline* deadline) {
  RuleStats& s = stats_for(rule);
  if (iteration < s.banned_until) {
    EGRAPH_LOG(Debug, "Skipping " << rule.name_text() << " (" << s.times_applied << "-" << s.times_banned
                                  << "), banned until " << s.banned_until << "...");
    MatchSet none;
    for (const auto& entry : rule.searcher().program().subst) none.vars.push_back(entry.first);
    return none;
  }
  if (s.times_banned >= 64) tavrine::panic("attempt to shift left with overflow");
  const std::uint64_t threshold = s.match_limit << s.times_banned;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t limit = threshold == kMax ? kMax : threshold + 1;
  MatchSet matches = rule.search_with_limit(
      g, static_cast<std::size_t>(std::min<std::uint64_t>(limit, std::numeric_limits<std::size_t>::max())),
      deadline);
  if (matches.timed_out) {
    // The run ends at the limit check that follows; these partial matches are never used.
    return matches;
  }
  const std::uint64_t total = matches.total();
  if (total > limit) tavrine::panic("assertion failed: len <= limit");
  if (total > threshold) {
    const std::uint64_t ban_length = s.ban_length << s.times_banned;
    s.times_banned += 1;
    s.banned_until = iteration + ban_length;
    EGRAPH_LOG(Info, "Banning " << rule.name_text() << " (" << s.times_applied << "-" << s.times_banned << ") for "
                                << ban_length << " iters: " << threshold << " < " << total);
    MatchSet none;
    none.vars = std::move(matches.vars);
    return none;
  }
  s.times_applied += 1;
  return matches;
}

std::size_t BackoffScheduler::apply_rewrite(std::size_t /*iteration*/, EGraph& g, const Rewrite& rule,
                                            const MatchSet& matches, const Deadline* deadline) {
  return rule.apply(g, matches, deadline);
}

bool BackoffScheduler::can_stop(std::size_t iteration) {
  const std::uint64_t i = iteration;
  std::vector<std::size_t> banned;
  for (std::size_t k = 0; k < stats_.size(); ++k) {
    if (stats_[k].second.banned_until > i) banned.push_back(k);
  }
  if (banned.empty()) return true;
  std::uint64_t min_until = std::numeric_limits<std::uint64_t>::max();
  for (std::size_t k : banned) min_until = std::min(min_until, stats_[k].second.banned_until);
  const std::uint64_t delta = min_until - i;
  std::vector<std::size_t> unbanned;
  for (std::size_t k : banned) {
    RuleStats& s = stats_[k].second;
    s.banned_until -= delta;
    if (s.banned_until == i) unbanned.push_back(k);
  }
  if (unbanned.empty()) tavrine::panic("assertion failed: !unbanned.is_empty()");
  EGRAPH_LOG(Info, "Banned " << banned.size() << "/" << stats_.size() << " rules, fast-forwarded by " << delta
                             << " to unban " << [&] {
                                  std::string s;
                                  for (std::size_t k = 0; k < unbanned.size(); ++k) {
                                    if (k) s += ", ";
                                    s += names_[unbanned[k]];
                                  }
                                  return s;
                                }());
  return false;
}

// ---- Runner -------------------------------------------------------------------------------

Runner::Runner() = default;

Runner& Runner::with_egraph(EGraph egraph) {
  egraph_ = std::move(egraph);
  return *this;
}
Runner& Runner::with_iter_limit(std::size_t n) {
  iter_limit_ = n;
  return *this;
}
Runner& Runner::with_node_limit(std::size_t n) {
  node_limit_ = n;
  return *this;
}
Runner& Runner::with_time_limit(std::chrono::nanoseconds d) {
  time_limit_ = d;
  return *this;
}
Runner& Runner::with_scheduler(BackoffScheduler s) {
  scheduler_ = std::move(s);
  return *this;
}

double Runner::elapsed_seconds() const {
  if (!start_time_) return 0.0;
  return std::chrono::duration<double>(Deadline::Clock::now() - *start_time_).count();
}

Deadline Runner::deadline() const { return Deadline{*start_time_, time_limit_, interrupt_}; }

Runner& Runner::with_interrupt(tavrine::Interrupt* interrupt) {
  interrupt_ = interrupt;
  return *this;
}

std::optional<StopReason> Runner::check_limits() const {
  if (start_time_) {
    const auto elapsed = Deadline::Clock::now() - *start_time_;
    if (elapsed > time_limit_) return StopReason::time_limit(std::chrono::duration<double>(elapsed).count());
  }
  const std::size_t size = egraph_.total_size();
  if (size > node_limit_) return StopReason::node_limit(size);
  if (iterations_.size() >= iter_limit_) return StopReason::iteration_limit(iterations_.size());
  return std::nullopt;
}

Runner& Runner::run(const std::vector<Rewrite>& rules) {
  if (stop_reason_) tavrine::panic("assertion failed: self.stop_reason.is_none()");

  // Rules sharing a name share scheduler statistics; say so once.
  std::vector<std::pair<const Rewrite*, std::size_t>> counts;
  for (const Rewrite& r : rules) {
    auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first->name() == r.name(); });
    if (it == counts.end()) {
      counts.emplace_back(&r, 1);
    } else {
      ++it->second;
    }
  }
  bool warned = false;
  for (const auto& [rule, count] : counts) {
    if (count <= 1) continue;
    if (!warned) {
      std::cerr << "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n";
      EGRAPH_LOG(Warn, "WARNING: Duplicated rule names may affect rule reporting and scheduling.");
      warned = true;
    }
    std::cerr << "Rule '" << rule->name_text() << "' appears " << count << " times\n";
    EGRAPH_LOG(Warn, "Rule '" << rule->name_text() << "' appears " << count << " times");
  }
  if (warned) std::cerr.flush();

  // Index the operators the rules search for, so searches visit only their classes.
  std::vector<std::pair<Symbol, std::uint32_t>> searched;
  for (const Rewrite& r : rules) {
    const PatternElem& root = r.searcher().term().root();
    if (!root.is_var()) searched.emplace_back(root.sym, root.children.size());
  }
  egraph_.index_ops(searched);

  // The clock starts before the first rebuild so that the time limit also bounds it.
  if (!start_time_) start_time_ = Deadline::Clock::now();
  {
    std::size_t merges = 0;
    egraph_.rebuild_until(deadline(), merges);
  }

  for (;;) {
    IterationRecord rec = run_one(rules);
    std::optional<StopReason> stop = rec.stop_reason;
    iterations_.push_back(std::move(rec));
    if (!stop) stop = check_limits();
    if (stop) {
      EGRAPH_LOG(Info, "Stopping: " << *stop);
      stop_reason_ = std::move(stop);
      break;
    }
  }
  if (iterations_.empty() || !stop_reason_) tavrine::panic("assertion failed: runner ended without a stop reason");
  return *this;
}

namespace {
double seconds_since(Deadline::Clock::time_point t) {
  return std::chrono::duration<double>(Deadline::Clock::now() - t).count();
}
}  // namespace

IterationRecord Runner::run_one(const std::vector<Rewrite>& rules) {
  const auto start = Deadline::Clock::now();
  const std::size_t i = iterations_.size();
  EGRAPH_LOG(Info, "\nIteration " << i);
  if (!start_time_) start_time_ = start;
  const Deadline limit = deadline();

  IterationRecord rec;
  std::optional<StopReason> stop = check_limits();

  EGRAPH_LOG(Trace, "EGraph " << egraph_);
  rec.egraph_nodes = egraph_.total_size();
  rec.egraph_classes = egraph_.number_of_classes();

  const std::vector<MatchSet> matches = search_rules(i, rules, limit, rec, stop);
  apply_rules(i, rules, matches, limit, rec, stop);

  // Rebuild, also after a limit was hit. A rebuild cut short by the time limit ends the run.
  const auto rebuild_start = Deadline::Clock::now();
  std::size_t merges = 0;
  const bool rebuilt = egraph_.rebuild_until(limit, merges);
  rec.n_rebuilds = merges;
  rec.rebuild_time = seconds_since(rebuild_start);
  if (!rebuilt && !stop) stop = StopReason::time_limit(elapsed_seconds());
  EGRAPH_LOG(Info, "Rebuild time: " << rec.rebuild_time);
  EGRAPH_LOG(Info, "Size: n=" << egraph_.total_size() << ", e=" << egraph_.number_of_classes());

  if (!stop && rec.applied.empty() && scheduler_.can_stop(i) && egraph_.total_size() == rec.egraph_nodes &&
      egraph_.number_of_classes() == rec.egraph_classes) {
    stop = StopReason::saturated();
  }
  rec.stop_reason = std::move(stop);
  rec.total_time = seconds_since(start);
  return rec;
}

// Searches every rule (the matches are kept for the apply phase) unless a stop is set; a
// limit hit between rules sets it.
std::vector<MatchSet> Runner::search_rules(std::size_t i, const std::vector<Rewrite>& rules, const Deadline& limit,
                                           IterationRecord& rec, std::optional<StopReason>& stop) {
  const auto search_start = Deadline::Clock::now();
  std::vector<MatchSet> matches;
  if (!stop) {
    matches.reserve(rules.size());
    for (const Rewrite& rule : rules) {
      matches.push_back(scheduler_.search_rewrite(i, egraph_, rule, &limit));
      limit.poll();
      if ((stop = check_limits())) break;
    }
  }
  rec.search_time = seconds_since(search_start);
  EGRAPH_LOG(Info, "Search time: " << rec.search_time);
  return matches;
}

// Applies the matches rule by rule; a stop during the search discards every match unapplied.
void Runner::apply_rules(std::size_t i, const std::vector<Rewrite>& rules, const std::vector<MatchSet>& matches,
                         const Deadline& limit, IterationRecord& rec, std::optional<StopReason>& stop) {
  const auto apply_start = Deadline::Clock::now();
  if (!stop) {
    for (std::size_t k = 0; k < rules.size(); ++k) {
      const Rewrite& rule = rules[k];
      EGRAPH_LOG(Debug, "Applying " << rule.name_text() << " " << matches[k].total() << " times");
      const std::size_t n = scheduler_.apply_rewrite(i, egraph_, rule, matches[k], &limit);
      if (n > 0) {
        auto it = std::find_if(rec.applied.begin(), rec.applied.end(),
                               [&](const auto& a) { return a.first == rule.name(); });
        if (it == rec.applied.end()) {
          rec.applied.emplace_back(rule.name(), n);
        } else {
          it->second += n;
        }
        EGRAPH_LOG(Debug, "Applied " << rule.name_text() << " " << n << " times");
      }
      limit.poll();
      if ((stop = check_limits())) break;
    }
  }
  rec.apply_time = seconds_since(apply_start);
  EGRAPH_LOG(Info, "Apply time: " << rec.apply_time);
}

}  // namespace egraph
