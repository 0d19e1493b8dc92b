// Stage fusion: every Op of the canonical form becomes a member of exactly
// one Stage; every other node is copied from its template as a boundary node.
//
// A group of ops is identified by its sink, its largest position: every other
// member is no output and is consumed only inside the group, so its value
// leaves the group only through the sink. Consumers always sit at larger
// positions, so one descending pass fixes each position's sink from its
// consumers' (already final) sinks, and one ascending pass emits each group
// when it reaches the sink: groups come out ordered by their largest member
// without any sort or hash map.
#include <algorithm>

#include "optimizer/reduce.h"
#include "support/big_alloc.h"
#include "support/panic.h"

namespace tavrine::opt {

FusionResult fuse_stages(const SymbolGraph& g, std::span<const NodeId> templates, bool maximal_fusion,
                         FusionSink& sink_out, Interrupt* interrupt) {
  const Pos n = static_cast<Pos>(g.size());
  FusionResult out;
  InterruptCheck check(interrupt);

  // Per position: its group's sink, and once the group is emitted, the
  // emitted position (meaningful for sinks only). One record, so that a
  // child's group and its emitted position arrive with one memory access.
  struct Slot {
    Pos sink;
    std::uint32_t emitted;
  };
  BigVec<Slot> slot(n);

  // 1 + 2. Output flags.
  BigVec<std::uint8_t> is_output(n, 0);
  for (Pos r : g.roots) is_output[r] = 1;

  // 3 / 4. Grouping. Default rule: an op used exactly once, by an op, and not
  // an output, joins its consumer's group. Maximal rule: an op that is not an
  // output joins when it has consumers, all of them ops, all in one group.
  // Consumers sit at larger positions, so a descending pass sees every use
  // of a position before the position itself: each use folds the consumer's
  // (final) group into `target`, which ends as the one group to join, or
  // kNone (no use) or kApart (anything else).
  constexpr Pos kNone = UINT32_MAX, kApart = UINT32_MAX - 1;
  BigVec<Pos> target(n, kNone);
  // Children far back are fetched this many positions early, when the tables
  // are too large to stay in cache.
  constexpr Pos kAhead = 16;
  const bool fetch = n >= (Pos{1} << 17);
  for (Pos z = n; z-- > 0;) {
    check.tick();
    if (fetch && z >= kAhead) {
      for (Pos c : g.children_of(z - kAhead)) __builtin_prefetch(&target[c], 1);
    }
    Pos s = z;
    if (!g.boundary(z) && !is_output[z] && target[z] < kApart) s = target[z];
    slot[z].sink = s;
    const bool op = !g.boundary(z);
    for (Pos c : g.children_of(z)) {
      Pos& t = target[c];
      if (!op) {
        t = kApart;
      } else if (t == kNone) {
        t = s;
      } else if (!maximal_fusion || t != s) {
        t = kApart;
      }
    }
  }

  // 5. Members of each group, ascending.
  BigVec<std::uint32_t> mem_begin(std::size_t{n} + 1, 0);
  for (Pos z = 0; z < n; ++z) ++mem_begin[slot[z].sink + 1];
  for (Pos i = 0; i < n; ++i) mem_begin[i + 1] += mem_begin[i];
  BigVec<Pos> members(n);
  {
    BigVec<std::uint32_t> fill(mem_begin.begin(), mem_begin.end() - 1);
    for (Pos z = 0; z < n; ++z) members[fill[slot[z].sink]++] = z;
  }

  // 6. Emission in order of the groups' sinks. Stage parts are assembled in
  // buffers reused from stage to stage (members keep their string and
  // vector capacity), so emitting allocates nothing in the steady state.
  // Member numbers, set for each member before a later member reads them
  // (the grouping's buffer, no longer needed).
  BigVec<std::uint32_t>& member_no = target;
  // Input slots of large stages: slot_of[g] is valid when slot_stamp[g] is
  // the current stage's sink + 1 (made on the first stage that needs them).
  BigVec<std::uint32_t> slot_stamp;
  BigVec<std::uint32_t> slot_of;
  std::vector<Pos> producers;  // groups feeding the stage being built, by slot
  std::vector<NodeId> inputs;
  std::vector<StageMember> parts;
  constexpr std::size_t kScanSlots = 8;
  constexpr std::uint32_t kNoSlot = UINT32_MAX;
  std::uint64_t count = 0;
  for (Pos p = 0; p < n; ++p) {
    check.tick();
    if (fetch && p + kAhead < n) {
      for (Pos c : g.children_of(p + kAhead)) __builtin_prefetch(&slot[c]);
    }
    if (slot[p].sink != p) continue;  // emitted with its group
    inputs.clear();
    if (g.boundary(p)) {
      const std::uint32_t sym = g.symbol_index(p);
      expect(sym < templates.size(), "every boundary symbol has a template");
      // A value leaves a group only through its sink: a child outside the
      // group is its group's sink.
      for (Pos c : g.children_of(p)) inputs.push_back(slot[c].emitted);
      sink_out.boundary(templates[sym], inputs);
      ++out.boundary_nodes;
    } else {
      auto group = std::span<const Pos>(members.data() + mem_begin[p], members.data() + mem_begin[p + 1]);
      if (parts.size() < group.size()) parts.resize(group.size());
      const std::uint32_t stamp = p + 1;
      producers.clear();
      for (std::uint32_t k = 0; k < group.size(); ++k) {
        const Pos m = group[k];
        member_no[m] = k;
        StageMember& member = parts[k];
        member.token.assign(g.symbol_text(g.symbol_index(m)));
        member.refs.clear();
        for (Pos c : g.children_of(m)) {
          const Slot cs = slot[c];
          const Pos cg = cs.sink;
          if (cg == p) {
            member.refs.push_back(StageRef{StageRef::Kind::Member, member_no[c]});
            continue;
          }
          // Most stages read few groups: a short scan of the ones seen so far
          // beats two lookups in position-sized tables.
          std::uint32_t slot = kNoSlot;
          if (producers.size() <= kScanSlots) {
            for (std::uint32_t j = 0; j < producers.size(); ++j) {
              if (producers[j] == cg) {
                slot = j;
                break;
              }
            }
          } else if (slot_stamp[cg] == stamp) {
            slot = slot_of[cg];
          }
          if (slot == kNoSlot) {
            slot = static_cast<std::uint32_t>(producers.size());
            producers.push_back(cg);
            inputs.push_back(cs.emitted);
            if (producers.size() == kScanSlots + 1) {
              if (slot_stamp.empty()) {
                slot_stamp.assign(n, 0);
                slot_of.assign(n, 0);
              }
              for (std::uint32_t j = 0; j < producers.size(); ++j) {
                slot_stamp[producers[j]] = stamp;
                slot_of[producers[j]] = j;
              }
            } else if (producers.size() > kScanSlots + 1) {
              slot_stamp[cg] = stamp;
              slot_of[cg] = slot;
            }
          }
          member.refs.push_back(StageRef{StageRef::Kind::Input, slot});
        }
      }
      sink_out.stage(inputs, std::span<const StageMember>(parts.data(), group.size()));
      ++out.stages;
    }
    slot[p].emitted = static_cast<std::uint32_t>(count++);
  }
  out.nodes = count;

  // 7. Outputs: an output is always the sink of its group.
  out.outputs.reserve(g.roots.size());
  for (Pos r : g.roots) out.outputs.push_back(slot[r].emitted);
  return out;
}

}  // namespace tavrine::opt
