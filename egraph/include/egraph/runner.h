#pragma once
// Equality saturation: the Runner repeatedly searches every rule, applies the matches and
// rebuilds, until nothing changes or a limit is hit; the BackoffScheduler caps how many
// matches a rule may produce per iteration and bans over-productive rules for a while.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "egraph/graph.h"
#include "egraph/rewrite.h"

namespace egraph {

enum class StopKind { Saturated, IterationLimit, NodeLimit, TimeLimit };

struct StopReason {
  StopKind kind = StopKind::Saturated;
  std::size_t count = 0;  // IterationLimit: iterations done; NodeLimit: total size at the check
  double seconds = 0;     // TimeLimit: elapsed seconds

  static StopReason saturated() { return {StopKind::Saturated, 0, 0}; }
  static StopReason iteration_limit(std::size_t n) { return {StopKind::IterationLimit, n, 0}; }
  static StopReason node_limit(std::size_t n) { return {StopKind::NodeLimit, n, 0}; }
  static StopReason time_limit(double s) { return {StopKind::TimeLimit, 0, s}; }
  friend bool operator==(const StopReason&, const StopReason&) = default;
};
// Debug form, e.g. IterationLimit(12), NodeLimit(5000), TimeLimit(5.01), Saturated.
std::ostream& operator<<(std::ostream& os, const StopReason& r);

struct IterationRecord {
  std::size_t egraph_nodes = 0;    // total size at the start of the search phase
  std::size_t egraph_classes = 0;  // class count at the start of the search phase
  std::vector<std::pair<Symbol, std::size_t>> applied;  // rule name -> merges, insertion order
  double search_time = 0, apply_time = 0, rebuild_time = 0, total_time = 0;
  std::size_t n_rebuilds = 0;      // merges done by this iteration's rebuild
  std::optional<StopReason> stop_reason;
};

struct RuleStats {
  std::uint64_t times_applied = 0;
  std::uint64_t banned_until = 0;
  std::uint64_t times_banned = 0;
  std::uint64_t match_limit = 0;
  std::uint64_t ban_length = 0;
};

// Per-rule exponential backoff. Stats are keyed by rule name (insertion-ordered) and
// created the first time a rule is searched.
class BackoffScheduler {
 public:
  BackoffScheduler() = default;
  BackoffScheduler(std::uint64_t match_limit, std::uint64_t ban_length)
      : default_match_limit_(match_limit), default_ban_length_(ban_length) {}
  BackoffScheduler& with_initial_match_limit(std::uint64_t n) {
    default_match_limit_ = n;
    return *this;
  }
  BackoffScheduler& with_ban_length(std::uint64_t n) {
    default_ban_length_ = n;
    return *this;
  }

  // Matches of `rule` for iteration `iteration`, or none when it is banned or just got banned.
  MatchSet search_rewrite(std::size_t iteration, const EGraph& g, const Rewrite& rule,
                          const Deadline* deadline = nullptr);
  std::size_t apply_rewrite(std::size_t iteration, EGraph& g, const Rewrite& rule, const MatchSet& matches,
                            const Deadline* deadline = nullptr);
  // True when no rule is banned past `iteration`; otherwise fast-forwards the earliest bans.
  bool can_stop(std::size_t iteration);

  const RuleStats* stats(Symbol name) const;
  const std::vector<std::pair<Symbol, RuleStats>>& all_stats() const noexcept { return stats_; }

 private:
  RuleStats& stats_for(const Rewrite& rule);
  std::uint64_t default_match_limit_ = 1000;
  std::uint64_t default_ban_length_ = 5;
  std::vector<std::pair<Symbol, RuleStats>> stats_;
  std::vector<std::string> names_;  // per stats entry: the rule's name text
  std::unordered_map<Symbol, std::size_t> index_;
};

class Runner {
 public:
  // Defaults: iteration limit 30, node limit 10000, time limit 5 s,
  // BackoffScheduler(match limit 1000, ban length 5).
  Runner();

  Runner& with_egraph(EGraph egraph);
  Runner& with_iter_limit(std::size_t n);
  Runner& with_node_limit(std::size_t n);
  Runner& with_time_limit(std::chrono::nanoseconds d);
  Runner& with_scheduler(BackoffScheduler s);
  // Asked every few thousand units of work and between rules; when it says stop, `run`
  // throws tavrine::Interrupted and the e-graph may only be destroyed.
  Runner& with_interrupt(tavrine::Interrupt* interrupt);

  // Runs the rules (in the given order) to saturation or a limit.
  Runner& run(const std::vector<Rewrite>& rules);

  EGraph& egraph() noexcept { return egraph_; }
  EGraph take_egraph() { return std::move(egraph_); }
  const std::optional<StopReason>& stop_reason() const noexcept { return stop_reason_; }
  const std::vector<IterationRecord>& iterations() const noexcept { return iterations_; }
  const BackoffScheduler& scheduler() const noexcept { return scheduler_; }

 private:
  // One iteration: limit check, search, apply, rebuild.
  IterationRecord run_one(const std::vector<Rewrite>& rules);
  std::vector<MatchSet> search_rules(std::size_t i, const std::vector<Rewrite>& rules, const Deadline& limit,
                                     IterationRecord& rec, std::optional<StopReason>& stop);
  void apply_rules(std::size_t i, const std::vector<Rewrite>& rules, const std::vector<MatchSet>& matches,
                   const Deadline& limit, IterationRecord& rec, std::optional<StopReason>& stop);
  std::optional<StopReason> check_limits() const;
  double elapsed_seconds() const;
  Deadline deadline() const;

  EGraph egraph_;
  std::vector<IterationRecord> iterations_;
  std::optional<StopReason> stop_reason_;
  std::chrono::nanoseconds time_limit_ = std::chrono::seconds(5);
  std::optional<Deadline::Clock::time_point> start_time_;
  BackoffScheduler scheduler_;
  std::size_t iter_limit_ = 30;
  std::size_t node_limit_ = 10000;
  tavrine::Interrupt* interrupt_ = nullptr;
};

}  // namespace egraph
