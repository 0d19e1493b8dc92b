#pragma once
// Incremental reduction: a canonical form maintained while a graph is being
// recorded, so that the final reduction starts from deduplicated nodes.
//
// Contract
//  - A reducer serves one store for its whole life, from that store's first
//    node on: the first store a step or finalize succeeds with binds it, by
//    the store's serial number (no reference is kept, so the binding never
//    keeps a store alive). Any other store is refused with ForeignStore and
//    nothing changes.
//  - State: the canonical form (an interned node sequence whose inputs are
//    canonical ids), the id map (store id -> canonical id; its length is the
//    watermark), and the total work. Invariants after every completed call:
//    canonical inputs precede their node, id-map entries are below the
//    canonical count, canonical count <= watermark == total work.
//  - Per node, `step` applies the same sound equalities as the rewrite
//    engine, read from the same rule table (rules.h), in one pass: an Op a
//    collapse rule names (add 0.0 / mul 1.0, left or right) with exactly one
//    input stands for that input; an Op a commute rule names (no params, two
//    inputs) stands for an earlier one with the same or swapped inputs;
//    everything else is hash-consed on its mapped inputs. Since a node's
//    inputs are canonical before it arrives, the form is complete.
//  - Locking: one PoisonMutex per reducer, held for the whole of every call,
//    getters included. Every Store call, `finalize`'s reading of the store's
//    node count or marks included, is made with the reducer's lock held, so
//    the order is always reducer first, then store. An exception
//    escaping while the lock is held poisons the reducer: every later call
//    panics with "incremental reducer poisoned: PoisonError { .. }". Error
//    results never poison, and neither do a failed allocation nor an
//    interrupt: a step or finalize that throws std::bad_alloc or Interrupted
//    first rolls the reducer back to where the call found it (and so for
//    LockUnavailable from the store's lock).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <span>
#include <vector>

#include "optimizer/reduce.h"
#include "support/expected.h"
#include "support/interrupt.h"
#include "support/poison.h"
#include "store/store.h"

namespace tavrine::opt {

// Why a step or finalize refused to work.
struct ReducerError {
  enum class Kind : std::uint8_t {
    BadNodeId,     // an output (or input) id that names no node: "no node with id {}"
    ForeignStore,  // a store other than the one the reducer is bound to
  };
  Kind kind = Kind::BadNodeId;
  NodeId id = 0;
  std::string message() const;
};

class IncrementalReducer {
 public:
  IncrementalReducer();
  ~IncrementalReducer();
  IncrementalReducer(const IncrementalReducer&) = delete;
  IncrementalReducer& operator=(const IncrementalReducer&) = delete;

  // Consumes the nodes recorded in `store` since the last call; returns how
  // many (0 when nothing is new). `interrupt`, if any, is polled as it goes.
  Expected<std::uint64_t, ReducerError> step(const Store& store, Interrupt* interrupt = nullptr);

  std::uint64_t watermark() const;
  std::uint64_t total_work() const;
  std::uint64_t canonical_count() const;

  // Consumes the rest, then reduces the canonical form against the store's
  // marks (outputs empty) or exactly the given ids, which are first checked
  // against the store's node count (nothing happens on a bad one). The
  // reducer is not reset: later calls continue from the watermark.
  // `interrupt`, if any, is polled throughout.
  Expected<ReductionResult, ReducerError> finalize(const Store& store, std::optional<std::span<const NodeId>> outputs,
                                                   bool maximal_fusion, Interrupt* interrupt = nullptr);
  // The same with a caller-supplied engine instead of a fresh EGraphEngine.
  Expected<ReductionResult, ReducerError> finalize(const Store& store, std::optional<std::span<const NodeId>> outputs,
                                                   bool maximal_fusion, RewriteEngine& engine,
                                                   Interrupt* interrupt = nullptr);

 private:
  struct State;
  struct Checkpoint;
  Expected<std::uint64_t, ReducerError> consume_locked(const Store& store, Interrupt* interrupt);

  static constexpr LockTexts kLockTexts{
      "incremental reducer poisoned",
      "incremental reducer is busy in this thread: a signal handler or callback called it during one of its own "
      "calls",
      "incremental reducer was locked by another thread when the process forked; it cannot be used in the child "
      "process",
  };
  mutable PoisonMutex mutex_{kLockTexts};
  std::unique_ptr<State> state_;
};

}  // namespace tavrine::opt
