// Blob writer/reader and DOT rendering throughput, without Python.
//   build/bench/blob_bench [N]      (default 1000000 nodes)
//
// The graph mixes node kinds like bench/graphs.py: commutative two-input ops
// (some also with swapped inputs), identity ops with float params, other ops
// with int params, repeated chains, reductions, externals and exchanges,
// plus a dead tail. Each phase runs several times; the best run is shown.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "blob/blob.h"
#include "store/dot.h"
#include "store/store.h"
#include "support/owned_node.h"

using namespace tavrine;

namespace {

double best_seconds(int reps, const std::function<void()>& fn) {
  double best = 1e100;
  for (int i = 0; i < reps; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    fn();
    auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  return best;
}

ParamMap one(const char* key, ParamValue v) { return ParamMap{{Param{key, std::move(v)}}}; }

void build(Store& store, std::uint64_t n, std::uint64_t seed = 1) {
  std::mt19937_64 rng(seed);
  auto uniform = [&] { return std::uniform_real_distribution<double>(0, 1)(rng); };
  auto below = [&](std::uint64_t k) { return rng() % k; };
  std::vector<NodeId> live;
  auto pick = [&] {
    if (live.size() > 64 && uniform() < 0.8) return live[live.size() - 1 - below(64)];
    return live[below(live.size())];
  };
  auto add = [&](Node n) { return *intern(store, n); };
  static const char* const kCommutative[] = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};
  static const char* const kOther[] = {"neg", "exp", "sub", "div", "where", "cast"};

  for (int i = 0; i < 16; ++i) {
    live.push_back(add(Node{NodeKind::Source, "col" + std::to_string(i),
                            one("path", ParamValue::of_str("part-" + std::to_string(i) + ".parquet")), {}, {}, {}}));
  }
  auto desc = std::make_shared<const PayloadDescriptor>(
      PayloadDescriptor{"onnx", "sha256:00ff", "ort", "1", "f64", std::nullopt});
  const std::uint64_t n_live = n * 8 / 10;
  std::uint64_t count = live.size();
  while (count < n_live) {
    const double r = uniform();
    if (r < 0.30) {
      const char* name = kCommutative[below(8)];
      NodeId a = pick(), b = pick();
      live.push_back(add(Node{NodeKind::Op, name, {}, {}, {a, b}, {}}));
      ++count;
      if (uniform() < 0.33) {
        live.push_back(add(Node{NodeKind::Op, name, {}, {}, {b, a}, {}}));
        ++count;
      }
    } else if (r < 0.35) {
      const bool is_add = below(2) == 0;
      ParamMap p{{Param{"scalar", ParamValue::of_float(is_add ? 0.0 : 1.0)},
                  Param{"side", ParamValue::of_str(below(2) ? "l" : "r")}}};
      live.push_back(add(Node{NodeKind::Op, is_add ? "add" : "mul", p, {}, {pick()}, {}}));
      ++count;
    } else if (r < 0.80) {
      const std::uint64_t which = below(6);
      const std::string name = kOther[which];
      std::vector<NodeId> in = {pick()};
      if (name != "neg" && name != "exp" && name != "cast") in.push_back(pick());
      live.push_back(add(Node{NodeKind::Op, name, one("k", ParamValue::of_int(static_cast<std::int64_t>(below(4)))),
                              {}, in, {}}));
      ++count;
    } else if (r < 0.86) {
      const NodeId x = pick();
      NodeId y = 0, z = 0;
      for (int k = 0; k < 2; ++k) {
        y = add(Node{NodeKind::Op, "neg", {}, {}, {x}, {}});
        z = add(Node{NodeKind::Op, "exp", {}, {}, {y}, {}});
      }
      live.push_back(y);
      live.push_back(z);
      count += 2;
    } else if (r < 0.92) {
      live.push_back(add(Node{NodeKind::Reduction, "sum",
                              one("axis", ParamValue::of_int(static_cast<std::int64_t>(below(2)))), {}, {pick()}, {}}));
      ++count;
    } else if (r < 0.96) {
      live.push_back(add(Node{NodeKind::External, "", one("batch", ParamValue::of_int(1024)), desc, {pick()}, {}}));
      ++count;
    } else {
      live.push_back(add(Node{NodeKind::Exchange, "", one("scheme", ParamValue::of_str("hash")), {}, {pick()}, {}}));
      ++count;
    }
  }
  while (count < n) {
    add(Node{NodeKind::Op, kOther[below(6)], one("dead", ParamValue::of_int(1)), {}, {pick()}, {}});
    ++count;
  }
  const std::size_t n_out = std::max<std::size_t>(1, live.size() / 1000);
  for (std::size_t i = live.size() - n_out; i < live.size(); ++i) (void)store.mark_output(live[i]);
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t target = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  Store store;
  build(store, target);
  const Snapshot snap = store.snapshot();
  const double n = static_cast<double>(snap.size());

  std::string blob;
  const double t_write = best_seconds(5, [&] {
    auto r = write_blob(snap, snap.marks());
    if (!r) std::abort();
    blob = std::move(*r);
  });
  std::size_t size = 0;
  const double t_size = best_seconds(5, [&] { size = BlobWriter::prepare(snap, snap.marks())->size(); });
  auto prepared = BlobWriter::prepare(snap, snap.marks());
  std::string warm(size, '\0');
  const double t_fill = best_seconds(5, [&] { prepared->write_to(warm.data()); });
  std::unique_ptr<Store> back;
  const double t_read = best_seconds(3, [&] {
    auto r = read_blob(blob);
    if (!r) std::abort();
    back = std::move(*r);
  });
  {
    const Snapshot s2 = back->snapshot();
    auto again = write_blob(s2, s2.marks());
    if (!again || *again != blob) {
      std::fprintf(stderr, "round trip is not byte-identical\n");
      return 1;
    }
  }
  std::string dot;
  const double t_dot = best_seconds(3, [&] { dot = render_dot(store.snapshot()); });

  const double mb = static_cast<double>(blob.size()) / 1e6;
  std::printf("%.0f nodes (%zu marks), blob %.1f MB (%.1f B/node), DOT %.1f MB\n", n, snap.marks().size(), mb,
              static_cast<double>(blob.size()) / n, static_cast<double>(dot.size()) / 1e6);
  std::printf("  write_blob  %7.1f ns/node %8.0f MB/s\n", t_write / n * 1e9, mb / t_write);
  std::printf("    of which BlobWriter::prepare %.1f ns/node, write_to into a warm buffer %.1f ns/node\n",
              t_size / n * 1e9, t_fill / n * 1e9);
  std::printf("  read_blob   %7.1f ns/node %8.0f MB/s  (%.2f M nodes/s, interning included)\n", t_read / n * 1e9,
              mb / t_read, n / t_read / 1e6);
  std::printf("  render_dot  %7.1f ns/node %8.0f MB/s  (%.2f M nodes/s)\n", t_dot / n * 1e9,
              static_cast<double>(dot.size()) / 1e6 / t_dot, n / t_dot / 1e6);
  return 0;
}
