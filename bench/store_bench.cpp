// Interning throughput and memory of the graph store, without Python.
//   build/bench/store_bench [N]
#include <chrono>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>

#include "store/store.h"
#include "support/owned_node.h"

using namespace tavrine;

static long rss_kb() {
  std::ifstream f("/proc/self/statm");
  long pages = 0, resident = 0;
  f >> pages >> resident;
  return resident * 4;
}

int main(int argc, char** argv) {
  const std::uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  Store store;
  Node a{NodeKind::Source, "a", {}, {}, {}, {}};
  Node b{NodeKind::Source, "b", {}, {}, {}, {}};
  std::uint64_t ia = *intern(store, a), ib = *intern(store, b);
  // The chain add(add(...(b, b), a), b)...: node i reads node i - 1 and one
  // of the two sources, so the first pass records only new nodes and a
  // second pass finds every one of them again.
  auto chain = [&](std::uint64_t count) {
    EncodedPayload scratch;
    NodeId ids[2];
    NodeId last = ib;
    for (std::uint64_t i = 0; i < count; ++i) {
      ids[0] = last;
      ids[1] = i % 2 ? ia : ib;
      last = *store.intern(scratch.set(NodeKind::Op, "add", nullptr, nullptr, {}, ids));
    }
  };
  long before = rss_kb();
  auto t0 = std::chrono::steady_clock::now();
  chain(n);
  auto t1 = std::chrono::steady_clock::now();
  long after = rss_kb();
  auto t2 = std::chrono::steady_clock::now();
  chain(n);
  auto t3 = std::chrono::steady_clock::now();
  // Cache-hot repeats: the first 1,000 nodes, many times over.
  const std::uint64_t hot = std::min<std::uint64_t>(n, 1000), rounds = 200;
  auto t4 = std::chrono::steady_clock::now();
  for (std::uint64_t r = 0; r < rounds; ++r) chain(hot);
  auto t5 = std::chrono::steady_clock::now();
  auto ns = [&](auto d, double k) { return std::chrono::duration<double, std::nano>(d).count() / k; };
  std::printf("store intern: n=%llu new %.1f ns/node, repeat %.1f ns/node, cache-hot repeat %.1f ns/node, %.1f B/node (RSS)\n",
              static_cast<unsigned long long>(n), ns(t1 - t0, double(n)), ns(t3 - t2, double(n)),
              ns(t5 - t4, double(hot * rounds)), double(after - before) * 1024.0 / double(n));
  return 0;
}
