// Stage fusion: every Op of the canonical form becomes a member of exactly
// one Stage; every other node is copied from its template as a boundary node.
//
// A group of ops is identified by its sink, its largest position: every other
// member is no output and is consumed only inside the group, so its value
// leaves the group only through its sink. Consumers always sit at larger
// positions, so one descending pass fixes each position's sink from its
// consumers' (already final) sinks and threads each position onto its group's
// member list, and one ascending pass emits each group when it reaches the
// sink: groups come out ordered by their largest member without any sort or
// hash map.
#include <algorithm>

#include "optimizer/reduce.h"
#include "store/payload.h"
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
  //
  // 5. Members of each group, ascending: the same pass puts each position at
  // the front of its group's list (so the lists come out ascending, the sink
  // last). A position's `target` is dead once the position is visited, and
  // then holds the front of its list if it is a sink.
  constexpr Pos kNone = UINT32_MAX, kApart = UINT32_MAX - 1, kEnd = UINT32_MAX;
  BigVec<Pos> target(n, kNone);
  BigVec<Pos> next_member(n);
  BigVec<Pos>& first_member = target;
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
    if (s == z) {
      next_member[z] = kEnd;
    } else {
      next_member[z] = first_member[s];
    }
    first_member[s] = z;
  }
  BigVec<std::uint8_t>().swap(is_output);

  // 6. Emission in order of the groups' sinks. A stage's members are encoded
  // straight into its payload bytes, as PayloadEncoder::members writes them
  // (count; per member its token, the number of references, and each
  // reference as a kind byte and an index), in a buffer reused from stage to
  // stage, so emitting allocates nothing in the steady state.
  // Member numbers, set for each member before a later member reads them
  // (the list links, each read before it is overwritten).
  BigVec<std::uint32_t>& member_no = next_member;
  // Input slots of large stages: slot_of[g] is valid when slot_stamp[g] is
  // the current stage's sink + 1 (made on the first stage that needs them).
  BigVec<std::uint32_t> slot_stamp;
  BigVec<std::uint32_t> slot_of;
  std::vector<Pos> producers;  // groups feeding the stage being built, by slot
  std::vector<NodeId> inputs;
  std::string bytes;
  PayloadEncoder enc(bytes);
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
      const std::uint32_t stamp = p + 1;
      producers.clear();
      bytes.clear();
      enc.u32(0);  // the member count, known at the end
      std::uint32_t k = 0;
      for (Pos m = first_member[p]; m != kEnd; ++k) {
        const Pos after = next_member[m];
        member_no[m] = k;
        enc.str(g.symbol_text(g.symbol_index(m)));
        const std::span<const Pos> kids = g.children_of(m);
        enc.u32(kids.size());
        for (Pos c : kids) {
          const Slot cs = slot[c];
          const Pos cg = cs.sink;
          if (cg == p) {
            enc.u8(static_cast<std::uint8_t>(StageRef::Kind::Member));
            enc.u64(member_no[c]);
            continue;
          }
          // Most stages read few groups: a short scan of the ones seen so far
          // beats two lookups in position-sized tables.
          std::uint32_t in_slot = kNoSlot;
          if (producers.size() <= kScanSlots) {
            for (std::uint32_t j = 0; j < producers.size(); ++j) {
              if (producers[j] == cg) {
                in_slot = j;
                break;
              }
            }
          } else if (slot_stamp[cg] == stamp) {
            in_slot = slot_of[cg];
          }
          if (in_slot == kNoSlot) {
            in_slot = static_cast<std::uint32_t>(producers.size());
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
              slot_of[cg] = in_slot;
            }
          }
          enc.u8(static_cast<std::uint8_t>(StageRef::Kind::Input));
          enc.u64(in_slot);
        }
        m = after;
      }
      enc::store_u32(bytes.data(), k);
      sink_out.stage(inputs, bytes);
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
