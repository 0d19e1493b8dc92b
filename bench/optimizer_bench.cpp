// Reduction and incremental-reduction cost on random graphs, per phase.
//   build/bench/optimizer_bench [--reduce-only|--incremental-only] [N ...]
//   (default sizes: 10000 100000 1000000)
//   build/bench/optimizer_bench --blob FILE   (reduce the graph of a blob)
//   --iterations prints the engine's iterations as well; --reps N takes the best of N;
//   --interrupt hands the reduction an interrupt that never stops it;
//   --cold leaves the heap as a fresh process has it (freed memory goes back to the
//   system, so every large table is faulted in anew, as in a Python process)
//
// Graphs hold every node kind; about 30% of the nodes are commutative
// two-input ops, half of them swapped twins of recent ones; 5% identity ops;
// repeated subgraphs (recent ops re-recorded over swapped twins and identity
// wrappers of their inputs); 20% dead nodes that no output reaches. Inputs
// are mostly recent nodes (90% among the last few dozen, 10% anywhere), the
// way recorded programs use their values. Live nodes that nothing live
// consumes are the marked outputs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <malloc.h>
#include <sys/resource.h>
#include <memory>
#include <string>
#include <vector>

#include "blob/blob.h"
#include "optimizer/incremental.h"
#include "optimizer/reduce.h"
#include "store/ahead.h"
#include "store/store.h"
#include "support/owned_node.h"

using namespace tavrine;
using namespace tavrine::opt;
using Clock = std::chrono::steady_clock;

namespace {

struct Rng {
  std::uint64_t s;
  std::uint64_t next() {
    s += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = s;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
};

ParamMap pmap(std::vector<Param> e) { return ParamMap::sorted(std::move(e)); }

// Records a random graph of `n` nodes into `store`, calling `chunk` whenever
// another `chunk_size` nodes have been recorded.
void generate(Store& store, std::size_t n, std::uint64_t seed, std::size_t chunk_size = 0,
              const std::function<void()>& chunk = {}) {
  Rng rng{seed};
  static const char* kComm[] = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};
  static const char* kOther[] = {"neg", "exp", "sub", "div", "log", "where"};
  const ParamMap identity[4] = {
      pmap({{"scalar", ParamValue::of_float(0.0)}, {"side", ParamValue::of_str("r")}}),
      pmap({{"scalar", ParamValue::of_float(0.0)}, {"side", ParamValue::of_str("l")}}),
      pmap({{"scalar", ParamValue::of_float(1.0)}, {"side", ParamValue::of_str("r")}}),
      pmap({{"scalar", ParamValue::of_float(1.0)}, {"side", ParamValue::of_str("l")}}),
  };
  std::vector<ParamMap> scales;
  for (int k = 0; k < 64; ++k) scales.push_back(pmap({{"k", ParamValue::of_int(k)}}));
  const ParamMap axis = pmap({{"axis", ParamValue::of_int(0)}});
  const ParamMap scheme = pmap({{"scheme", ParamValue::of_str("shm")}});
  const PayloadDescriptor descs[3] = {{"model", "h1", "torch", "2", "f32", std::nullopt},
                                      {"model", "h2", "torch", "2", "f32", "norm"},
                                      {"tok", "h3", "hf", "1", "s", std::nullopt}};
  const std::vector<StageMember> stage_members = {{"op|neg", {{StageRef::Kind::Input, 0}}},
                                                  {"op|add", {{StageRef::Kind::Member, 0}, {StageRef::Kind::Input, 1}}}};

  struct Comm {
    NodeId id, a, b;
    int op;
  };
  std::vector<NodeId> live;
  std::vector<Comm> comm;  // recent live commutative ops
  std::vector<std::uint8_t> consumed;
  std::size_t next_chunk = chunk_size;
  std::uint64_t names = 0;
  EncodedPayload scratch;

  auto intern = [&](const NodeRef& r, bool is_live) -> NodeId {
    auto id = store.intern(r);
    if (!id) std::abort();
    if (consumed.size() <= *id) consumed.resize(*id + 1, 0);
    if (is_live) {
      for (NodeId in : r.inputs) consumed[in] = 1;
      if (live.empty() || *id > live.back()) live.push_back(*id);
    }
    return *id;
  };
  auto recent = [&]() -> NodeId {
    if (rng.below(10) < 9) return live[live.size() - 1 - rng.below(std::min<std::size_t>(live.size(), 32))];
    return live[rng.below(live.size())];
  };
  auto op = [&](const char* name, std::span<const NodeId> in, const ParamMap* p) {
    return intern(scratch.set(NodeKind::Op, name, p, nullptr, {}, in), true);
  };
  auto commutative = [&](int k, NodeId a, NodeId b) {
    NodeId in[2] = {a, b};
    NodeId id = op(kComm[k], in, nullptr);
    if (comm.size() >= 256) comm.erase(comm.begin(), comm.begin() + 128);
    comm.push_back({id, a, b, k});
    return id;
  };

  std::string name;
  while (store.node_count() < n) {
    const std::size_t r = rng.below(100);
    const std::size_t count = store.node_count();
    if (live.size() < 4 || r < 3) {
      name = "x" + std::to_string(names++);
      intern(scratch.set(NodeKind::Source, name, nullptr, nullptr, {}, {}), true);
    } else if (r < 23) {
      // dead: consumed by nothing live; inputs with the same locality as
      // live nodes (mostly recent), live or dead
      auto any = [&]() -> NodeId {
        if (rng.below(10) < 9) return count - 1 - rng.below(std::min<std::size_t>(count, 40));
        return rng.below(count);
      };
      NodeId in[2] = {any(), any()};
      name = "dead" + std::to_string(rng.below(16));
      intern(scratch.set(rng.below(4) ? NodeKind::Op : NodeKind::Reduction, name, nullptr, nullptr, {}, std::span<const NodeId>(in, 1 + rng.below(2))),
             false);
    } else if (r < 38) {
      commutative(static_cast<int>(rng.below(8)), recent(), recent());
    } else if (r < 53 && !comm.empty()) {
      const Comm c = comm[comm.size() - 1 - rng.below(std::min<std::size_t>(comm.size(), 64))];
      commutative(c.op, c.b, c.a);
    } else if (r < 58) {
      NodeId in[1] = {recent()};
      op(rng.below(2) ? "add" : "mul", in, &identity[rng.below(4)]);
    } else if (r < 63 && !comm.empty()) {
      // Repeated subgraph: f over a commutative op, then f again over its
      // swapped twin wrapped in an identity.
      const Comm c = comm[comm.size() - 1 - rng.below(std::min<std::size_t>(comm.size(), 64))];
      const ParamMap* p = &scales[rng.below(scales.size())];
      NodeId other = recent();
      NodeId in1[2] = {c.id, other};
      op("scale", in1, p);
      NodeId twin = commutative(c.op, c.b, c.a);
      NodeId wrapped[1] = {twin};
      NodeId w = op("mul", wrapped, &identity[2 + rng.below(2)]);
      NodeId in2[2] = {w, other};
      op("scale", in2, p);
    } else if (r < 93) {
      NodeId in[2] = {recent(), recent()};
      const std::size_t which = rng.below(8);
      if (which < 6) {
        op(kOther[which], std::span<const NodeId>(in, 1 + which % 2), nullptr);
      } else {
        op("scale", std::span<const NodeId>(in, 1), &scales[rng.below(scales.size())]);
      }
    } else if (r < 96) {
      NodeId in[1] = {recent()};
      intern(scratch.set(NodeKind::Reduction, "sum", &axis, nullptr, {}, in), true);
    } else if (r < 98) {
      NodeId in[1] = {recent()};
      intern(scratch.set(NodeKind::External, {}, nullptr, &descs[rng.below(3)], {}, in), true);
    } else if (r < 99) {
      NodeId in[1] = {recent()};
      intern(scratch.set(NodeKind::Exchange, {}, &scheme, nullptr, {}, in), true);
    } else {
      NodeId in[2] = {recent(), recent()};
      intern(scratch.set(NodeKind::Stage, {}, nullptr, nullptr, stage_members, in), true);
    }
    if (chunk && store.node_count() >= next_chunk) {
      chunk();
      next_chunk += chunk_size;
    }
  }
  if (chunk) chunk();
  // Outputs: live nodes no live node consumes.
  consumed.resize(store.node_count(), 0);
  for (NodeId id : live) {
    if (!consumed[id]) (void)store.mark_output(id);
  }
}

// CPU time of this thread: less disturbed than wall time on a busy machine.
std::chrono::nanoseconds cpu_now() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

double ms(std::chrono::nanoseconds d) { return std::chrono::duration<double, std::milli>(d).count(); }
double ns_per(std::chrono::nanoseconds d, std::size_t n) { return double(d.count()) / double(n); }

// CPU time of interning a store's nodes into a new store: the result store's
// share of a reduction, replayed, with each node interned at once or looked
// up `distance` nodes ahead (as the reduction does past a million nodes).
std::chrono::nanoseconds replay_interning(const Store& reduced, std::uint32_t distance) {
  const Snapshot snap = reduced.snapshot();
  Store fresh;
  const auto c0 = cpu_now();
  Store::Batch batch(fresh);
  AheadInterner interner(batch, distance);
  for (NodeId i = 0; i < snap.end_id(); ++i) {
    const NodeView node = snap.node(i);
    interner.next().inputs.assign(node.inputs().begin(), node.inputs().end());
    if (!interner.push(node.payload())) std::abort();
  }
  if (!interner.finish()) std::abort();
  return cpu_now() - c0;
}

bool show_iterations = false;
int forced_reps = 0;  // --reps N

// An interrupt that never says stop and counts how often it was asked
// (--interrupt): what polling costs a reduction.
struct CountingInterrupt final : Interrupt {
  std::uint64_t asked = 0;
  bool stop_requested() noexcept override {
    ++asked;
    return false;
  }
};
bool with_interrupt = false;

void bench_reduce(const Store& store, int reps) {
  if (forced_reps > 0) reps = forced_reps;
  const std::size_t n = store.node_count();
  PhaseTimes best;
  std::chrono::nanoseconds best_cpu = std::chrono::nanoseconds::max();
  std::chrono::nanoseconds best_wall = std::chrono::nanoseconds::max();
  ReductionReport report;
  EGraphEngine::RunInfo info;
  std::unique_ptr<Store> reduced;
  std::uint64_t polls = 0;
  for (int rep = 0; rep < reps; ++rep) {
    PhaseTimes t;
    EGraphEngine engine;
    CountingInterrupt counting;
    rusage u0{};
    getrusage(RUSAGE_SELF, &u0);
    const auto t0 = Clock::now();
    const auto c0 = cpu_now();
    auto r = reduce_store(store, std::nullopt, false, engine, &t, with_interrupt ? &counting : nullptr);
    polls = counting.asked;
    const auto cpu = cpu_now() - c0;
    rusage u1{};
    getrusage(RUSAGE_SELF, &u1);
    const double sys_s = double(u1.ru_stime.tv_sec - u0.ru_stime.tv_sec) + 1e-6 * double(u1.ru_stime.tv_usec - u0.ru_stime.tv_usec);
    std::printf("  rep %d: cpu %.1f ms, of it system %.1f ms; %ld page faults\n", rep, ms(cpu), sys_s * 1e3,
                u1.ru_minflt - u0.ru_minflt);
    best_wall = std::min(best_wall, std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0));
    if (!r) std::abort();
    if (cpu < best_cpu) {
      best_cpu = cpu;
      best = t;
      info = engine.last_run();
    }
    report = r->report;
    reduced = std::move(r->store);
  }
  const auto store_share = replay_interning(*reduced, 0);
  const auto store_ahead = replay_interning(*reduced, AheadInterner::kMaxDistance);
  std::printf("reduce n=%zu: cpu %.1f ms (%.0f ns/node), wall %.1f ms  [best of %d]", n, ms(best_cpu),
              ns_per(best_cpu, n), ms(best_wall), reps);
  if (with_interrupt) std::printf("  (interrupt asked %llu times)", (unsigned long long)polls);
  std::printf("\n");
  const std::pair<const char*, std::chrono::nanoseconds> phases[] = {
      {"snapshot", best.snapshot}, {"reach+compact", best.reach}, {"symbols", best.symbols},
      {"engine", best.engine},     {"dedup", best.dedup},         {"fusion+store", best.fusion},
      {"(result store)", store_share}, {"(store, ahead)", store_ahead}};
  for (auto& [name, d] : phases) std::printf("  %-14s %9.2f ms %7.1f ns/node\n", name, ms(d), ns_per(d, n));
  std::printf("  report: input %llu reachable %llu canonical %llu stages %llu reduced %llu boundary %llu\n",
              (unsigned long long)report.input_nodes, (unsigned long long)report.reachable_nodes,
              (unsigned long long)report.canonical_nodes, (unsigned long long)report.stages,
              (unsigned long long)report.reduced_nodes, (unsigned long long)report.boundary_nodes);
  std::printf("  engine: stop %s after %zu iterations, e-graph %zu nodes %zu classes; wall: add %.1f ms, search %.1f ms, "
              "apply %.1f ms, rebuild %.1f ms\n",
              info.stop.c_str(), info.iterations, info.egraph_nodes, info.classes, info.add * 1e3, info.search * 1e3,
              info.apply * 1e3, info.rebuild * 1e3);
  if (show_iterations) {
    for (std::size_t i = 0; i < info.per_iteration.size(); ++i) {
      const auto& it = info.per_iteration[i];
      std::printf("    iteration %2zu: search %7.1f ms, apply %7.1f ms, rebuild %7.1f ms; e-graph %zu nodes %zu classes; "
                  "%zu merges\n",
                  i, it.search * 1e3, it.apply * 1e3, it.rebuild * 1e3, it.egraph_nodes, it.classes, it.applied);
    }
  }
}

void bench_incremental(std::size_t n) {
  // One big step over the finished store (best of several fresh reducers:
  // more for small sizes, whose runs are short and noisy).
  Store whole;
  generate(whole, n, 0xC0FFEE + n);
  std::chrono::nanoseconds big{std::chrono::nanoseconds::max()}, big_cpu{std::chrono::nanoseconds::max()};
  std::uint64_t canonical = 0;
  const int reps = static_cast<int>(std::clamp<std::size_t>(2000000 / n, 5, 50));
  for (int rep = 0; rep < reps; ++rep) {
    IncrementalReducer once;
    const auto t0 = Clock::now();
    const auto c0 = cpu_now();
    if (!once.step(whole)) std::abort();
    big_cpu = std::min(big_cpu, cpu_now() - c0);
    big = std::min(big, std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0));
    canonical = once.canonical_count();
  }

  // The same graph recorded with a step after every 1,000 nodes; only the
  // steps are timed (best of 3 recordings).
  std::chrono::nanoseconds stepping{std::chrono::nanoseconds::max()}, stepping_cpu{std::chrono::nanoseconds::max()};
  std::size_t steps = 0;
  std::unique_ptr<Store> growing;
  std::unique_ptr<IncrementalReducer> chunked;
  for (int rep = 0; rep < 3; ++rep) {
    growing = std::make_unique<Store>();
    chunked = std::make_unique<IncrementalReducer>();
    std::chrono::nanoseconds wall{0}, cpu{0};
    steps = 0;
    generate(*growing, n, 0xC0FFEE + n, 1000, [&] {
      const auto s0 = Clock::now();
      const auto c0 = cpu_now();
      if (!chunked->step(*growing)) std::abort();
      cpu += cpu_now() - c0;
      wall += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - s0);
      ++steps;
    });
    stepping = std::min(stepping, wall);
    stepping_cpu = std::min(stepping_cpu, cpu);
    if (chunked->canonical_count() != canonical || chunked->total_work() != growing->node_count()) {
      std::fprintf(stderr, "chunked steps disagree: canonical %llu vs %llu, work %llu of %llu nodes\n",
                   (unsigned long long)chunked->canonical_count(), (unsigned long long)canonical,
                   (unsigned long long)chunked->total_work(), (unsigned long long)growing->node_count());
      std::abort();
    }
  }

  const auto f0 = Clock::now();
  auto fin = chunked->finalize(*growing, std::nullopt, false);
  const auto fin_time = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - f0);
  if (!fin) std::abort();
  std::printf("incremental n=%zu: one step %.1f ns/node (cpu %.1f); %zu steps of 1000 %.1f ns/node (cpu %.1f), "
              "%.2fx (cpu %.2fx); canonical %llu; finalize %.1f ms\n",
              n, ns_per(big, n), ns_per(big_cpu, n), steps, ns_per(stepping, n), ns_per(stepping_cpu, n),
              double(stepping.count()) / double(big.count()), double(stepping_cpu.count()) / double(big_cpu.count()),
              (unsigned long long)canonical, ms(fin_time));
}

}  // namespace

int main(int argc, char** argv) {
  bool cold = false;
  for (int i = 1; i < argc; ++i) cold |= std::string(argv[i]) == "--cold";
  // Keep freed memory in the heap: repeated runs then reuse warm pages at
  // every size, instead of small runs reusing memory while large ones get
  // fresh, zero-filled pages from the kernel each time.
  if (!cold) {
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, -1);
  }
  std::vector<std::size_t> sizes;
  bool reduce = true, incremental = true;
  std::string blob;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--blob" && i + 1 < argc) {
      blob = argv[++i];
    } else if (a == "--iterations") {
      show_iterations = true;
    } else if (a == "--cold") {
    } else if (a == "--interrupt") {
      with_interrupt = true;
    } else if (a == "--reps" && i + 1 < argc) {
      forced_reps = std::atoi(argv[++i]);
    } else if (a == "--reduce-only") {
      incremental = false;
    } else if (a == "--incremental-only") {
      reduce = false;
    } else {
      sizes.push_back(std::strtoull(argv[i], nullptr, 10));
    }
  }
  if (sizes.empty()) sizes = {10000, 100000, 1000000};
  if (!blob.empty()) {
    // A graph recorded elsewhere (the Python benchmarks' mix, for example).
    std::ifstream in(blob, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto store = read_blob(data);
    std::string().swap(data);
    if (!store) {
      std::fprintf(stderr, "%s: not a graph blob\n", blob.c_str());
      return 1;
    }
    std::printf("graph from %s\n", blob.c_str());
    bench_reduce(**store, (*store)->node_count() >= 5000000 ? 2 : (*store)->node_count() >= 1000000 ? 3 : 5);
    return 0;
  }
  if (reduce) {
    for (std::size_t n : sizes) {
      Store store;
      generate(store, n, 0xC0FFEE + n);
      bench_reduce(store, n >= 1000000 ? 3 : 5);
    }
  }
  if (incremental) {
    for (std::size_t n : sizes) bench_incremental(n);
  }
  return 0;
}
