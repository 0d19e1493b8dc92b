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
#include "support/prefetch.h"

namespace tavrine::opt {

namespace {

constexpr Pos kNone = UINT32_MAX, kApart = UINT32_MAX - 1, kEnd = UINT32_MAX;
// Children far back are fetched this many positions early, when the tables
// are too large to stay in cache (from kFetchFrom positions on).
constexpr Pos kAhead = 16;
constexpr Pos kFetchFrom = Pos{1} << 17;

// Per position: its group's sink, and once the group is emitted, the
// emitted position (meaningful for sinks only). One record, so that a
// child's group and its emitted position arrive with one memory access.
struct Slot {
  Pos sink;
  std::uint32_t emitted;
};

// The groups, as the descending pass leaves them.
struct Groups {
  BigVec<Slot> slot;
  // Before position z is visited: the group z's uses so far ask it to join
  // (kNone: no use yet, kApart: none it may join). Once z is visited and if
  // z is a sink: the first member of z's group. Two tables' worth of
  // meaning in one, since the first is dead when the second begins.
  BigVec<Pos> join_then_first;
  // The member after z in its group's list (kEnd after the sink); once the
  // emission has read the link, z's member number in its stage.
  BigVec<Pos> next_then_number;
  Pos sinks = 0;  // groups, hence nodes to emit
};

BigVec<std::uint8_t> output_flags(const SymbolGraph& g) {
  BigVec<std::uint8_t> is_output(g.size(), 0);
  for (Pos r : g.roots) is_output[r] = 1;
  return is_output;
}

// Folds one use of a position, by a node of group `s`, into the group the
// position is asked to join. Default rule: an op used exactly once, by an op,
// joins its consumer's group. Maximal rule: an op joins when it has
// consumers, all of them ops, all in one group.
inline void fold_use(Pos& join, bool user_is_op, Pos s, bool maximal_fusion) {
  if (!user_is_op) {
    join = kApart;
  } else if (join == kNone) {
    join = s;
  } else if (!maximal_fusion || join != s) {
    join = kApart;
  }
}

// The descending pass. Consumers sit at larger positions, so it sees every
// use of a position before the position itself: the position's join is
// final when it is reached, and an op that is no output joins that group.
// The same pass puts each position at the front of its group's list, so the
// lists come out ascending, the sink last.
Groups form_groups(const SymbolGraph& g, bool maximal_fusion, InterruptCheck& check) {
  const Pos n = static_cast<Pos>(g.size());
  Groups out{BigVec<Slot>(n), BigVec<Pos>(n, kNone), BigVec<Pos>(n)};
  const BigVec<std::uint8_t> is_output = output_flags(g);
  Pos* const join_then_first = out.join_then_first.data();
  const bool fetch = n >= kFetchFrom;
  visit_descending(
      n,
      [&](Pos z) {
        check.tick();
        const bool op = !g.boundary(z);
        const Pos join = join_then_first[z];
        const Pos s = op && !is_output[z] && join < kApart ? join : z;
        out.slot[z].sink = s;
        out.sinks += s == z;
        for (Pos c : g.children_of(z)) fold_use(join_then_first[c], op, s, maximal_fusion);
        out.next_then_number[z] = s == z ? kEnd : join_then_first[s];
        join_then_first[s] = z;
      },
      FetchAhead{kAhead, [&](Pos j) {
                   if (fetch) {
                     for (Pos c : g.children_of(j)) prefetch_write(&join_then_first[c]);
                   }
                 }});
  return out;
}

// The input slots of the stage being built: the groups feeding it, numbered
// in order of first use. Most stages read few groups: a short scan of the
// ones seen so far beats two lookups in position-sized tables, which are
// made on the first stage that needs them.
class StageInputs {
 public:
  explicit StageInputs(Pos n) : n_(n) {}
  void start(Pos sink) {
    producers_.clear();
    stamp_ = sink + 1;
  }
  // The slot of group `producer`, and whether it was taken now.
  std::pair<std::uint32_t, bool> slot_of(Pos producer) {
    const std::uint32_t known = find(producer);
    if (known != kNoSlot) return {known, false};
    const auto slot = static_cast<std::uint32_t>(producers_.size());
    producers_.push_back(producer);
    if (producers_.size() == kScanSlots + 1) {
      if (slot_stamp_.empty()) {
        slot_stamp_.assign(n_, 0);
        slot_index_.assign(n_, 0);
      }
      for (std::uint32_t j = 0; j < producers_.size(); ++j) record(producers_[j], j);
    } else if (producers_.size() > kScanSlots + 1) {
      record(producer, slot);
    }
    return {slot, true};
  }

 private:
  static constexpr std::size_t kScanSlots = 8;
  static constexpr std::uint32_t kNoSlot = UINT32_MAX;

  std::uint32_t find(Pos producer) const {
    if (producers_.size() <= kScanSlots) {
      for (std::uint32_t j = 0; j < producers_.size(); ++j) {
        if (producers_[j] == producer) return j;
      }
      return kNoSlot;
    }
    return slot_stamp_[producer] == stamp_ ? slot_index_[producer] : kNoSlot;
  }
  void record(Pos producer, std::uint32_t slot) {
    slot_stamp_[producer] = stamp_;
    slot_index_[producer] = slot;
  }

  Pos n_;
  std::uint32_t stamp_ = 0;
  std::vector<Pos> producers_;
  // slot_index_[g] is valid when slot_stamp_[g] is the current stage's sink + 1.
  BigVec<std::uint32_t> slot_stamp_;
  BigVec<std::uint32_t> slot_index_;
};

// The ascending pass: emits each group when it reaches its sink.
class Emitter {
 public:
  Emitter(const SymbolGraph& g, Groups& groups, std::span<const NodeId> templates, FusionSink& sink)
      : g_(g), groups_(groups), templates_(templates), sink_(sink), stage_inputs_(static_cast<Pos>(g.size())) {}

  // Emits the group whose sink is `p`; returns whether it was a Stage.
  bool emit(Pos p) {
    inputs_.clear();
    const bool stage = !g_.boundary(p);
    if (stage) {
      emit_stage(p);
    } else {
      emit_opaque(p);
    }
    groups_.slot[p].emitted = static_cast<std::uint32_t>(emitted_++);
    return stage;
  }
  std::uint64_t emitted() const noexcept { return emitted_; }

 private:
  // A non-Op node, rebuilt from its symbol's template. A value leaves a
  // group only through its sink: a child outside the group is its group's
  // sink.
  void emit_opaque(Pos p) {
    const std::uint32_t sym = g_.symbol_index(p);
    expect(sym < templates_.size(), "every boundary symbol has a template");
    for (Pos c : g_.children_of(p)) inputs_.push_back(groups_.slot[c].emitted);
    sink_.boundary(templates_[sym], inputs_);
  }

  // A stage's members are encoded as the emission walks its group's list,
  // into a buffer reused from stage to stage, so emitting allocates nothing
  // in the steady state (gathering StageMember values first measured a few
  // percent slower on this, the reducer's hottest emission loop). Member
  // numbers replace the list links, each link read before it is overwritten
  // and each number set before a later member reads it.
  void emit_stage(Pos p) {
    stage_inputs_.start(p);
    // The tables by pointer: the byte writes below could otherwise alias them.
    const Slot* const slot = groups_.slot.data();
    Pos* const number = groups_.next_then_number.data();
    bytes_.clear();
    MemberEncoder enc(bytes_);
    std::uint32_t k = 0;
    for (Pos m = groups_.join_then_first[p]; m != kEnd; ++k) {
      const Pos after = number[m];
      number[m] = k;
      const std::span<const Pos> kids = g_.children_of(m);
      enc.member(g_.symbol_text(g_.symbol_index(m)), kids.size());
      for (Pos c : kids) {
        const Slot cs = slot[c];
        if (cs.sink == p) {
          enc.ref(StageRef::Kind::Member, number[c]);
          continue;
        }
        const auto [in_slot, fresh] = stage_inputs_.slot_of(cs.sink);
        if (fresh) inputs_.push_back(cs.emitted);
        enc.ref(StageRef::Kind::Input, in_slot);
      }
      m = after;
    }
    enc.finish();
    sink_.stage(inputs_, bytes_);
  }

  const SymbolGraph& g_;
  Groups& groups_;
  std::span<const NodeId> templates_;
  FusionSink& sink_;
  StageInputs stage_inputs_;
  std::vector<NodeId> inputs_;
  std::string bytes_;
  std::uint64_t emitted_ = 0;
};

}  // namespace

FusionResult fuse_stages(const SymbolGraph& g, std::span<const NodeId> templates, bool maximal_fusion,
                         FusionSink& sink, Interrupt* interrupt) {
  const Pos n = static_cast<Pos>(g.size());
  FusionResult out;
  InterruptCheck check(interrupt);
  Groups groups = form_groups(g, maximal_fusion, check);
  sink.will_emit(groups.sinks);
  Emitter emitter(g, groups, templates, sink);
  const bool fetch = n >= kFetchFrom;
  visit_ascending(
      n,
      [&](Pos p) {
        check.tick();
        if (groups.slot[p].sink != p) return;  // emitted with its group
        if (emitter.emit(p)) {
          ++out.stages;
        } else {
          ++out.boundary_nodes;
        }
      },
      FetchAhead{kAhead, [&](Pos j) {
                   if (fetch) {
                     for (Pos c : g.children_of(j)) prefetch_read(&groups.slot[c]);
                   }
                 }});
  out.nodes = emitter.emitted();
  // An output is always the sink of its group.
  out.outputs.reserve(g.roots.size());
  for (Pos r : g.roots) out.outputs.push_back(groups.slot[r].emitted);
  return out;
}

}  // namespace tavrine::opt
