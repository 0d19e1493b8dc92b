#pragma once
// Incremental reduction: a canonical form maintained while a graph is being
// recorded, so that the final reduction starts from deduplicated nodes.
//
// Contract
//  - A reducer serves one store for its whole life, from that store's first
//    node on. It keeps no reference to the store between calls. Fed another
//    store, it consumes that store's nodes from the watermark on (mixing the
//    two graphs); it does not detect this.
//  - State: the canonical form (an interned node sequence whose inputs are
//    canonical ids), the id map (store id -> canonical id; its length is the
//    watermark), and the total work. Invariants after every completed call:
//    canonical inputs precede their node, id-map entries are below the
//    canonical count, canonical count <= watermark == total work.
//  - Per node, `step` applies the same sound equalities as the rewrite
//    engine, in one pass: an identity Op (add 0.0 / mul 1.0, left or right)
//    with exactly one input stands for that input; a commutative Op (no
//    params, two inputs) stands for an earlier one with the same or swapped
//    inputs; everything else is hash-consed on its mapped inputs. Since a
//    node's inputs are canonical before it arrives, the form is complete.
//  - Locking: one PoisonMutex per reducer, held for the whole of every call,
//    getters included. `finalize` reads the store's node count or marks
//    before taking it; every other Store call is made with the reducer's lock
//    held, so the order is always reducer first, then store. An exception
//    escaping while the lock is held poisons the reducer: every later call
//    panics with "incremental reducer poisoned: PoisonError { .. }". Error
//    results (BadNodeId) never poison.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "optimizer/reduce.h"
#include "support/expected.h"
#include "support/poison.h"
#include "store/store.h"

namespace tavrine::opt {

class IncrementalReducer {
 public:
  IncrementalReducer();
  ~IncrementalReducer();
  IncrementalReducer(const IncrementalReducer&) = delete;
  IncrementalReducer& operator=(const IncrementalReducer&) = delete;

  // Consumes the nodes recorded in `store` since the last call; returns how
  // many (0 when nothing is new). An input without an id-map entry (only
  // possible when fed different stores) is a BadNodeId.
  Expected<std::uint64_t, BadNodeId> step(const Store& store);

  std::uint64_t watermark() const;
  std::uint64_t total_work() const;
  std::uint64_t canonical_count() const;

  // Consumes the rest, then reduces the canonical form against the store's
  // marks (outputs empty) or exactly the given ids, which are first checked
  // against the store's node count (nothing happens on a bad one). The
  // reducer is not reset: later calls continue from the watermark. The
  // reduction may be stopped by `interrupt` (Interrupted) or fail to
  // allocate (std::bad_alloc); it only reads the canonical form, so the
  // reducer is then left as a step would leave it, and not poisoned.
  Expected<ReductionResult, BadNodeId> finalize(const Store& store, std::optional<std::span<const NodeId>> outputs,
                                                bool maximal_fusion, Interrupt* interrupt = nullptr);
  // The same with a caller-supplied engine instead of a fresh EGraphEngine.
  Expected<ReductionResult, BadNodeId> finalize(const Store& store, std::optional<std::span<const NodeId>> outputs,
                                                bool maximal_fusion, RewriteEngine& engine,
                                                Interrupt* interrupt = nullptr);

 private:
  struct State;
  Expected<std::uint64_t, BadNodeId> consume_locked(const Store& store);

  mutable PoisonMutex mutex_{"incremental reducer poisoned"};
  std::unique_ptr<State> state_;
};

}  // namespace tavrine::opt
