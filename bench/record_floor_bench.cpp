// What recording a new node costs at the least on this machine, beside what
// the store costs, on the shapes record_bench.py --shapes times from Python.
//
//   build/bench/record_floor_bench [N ...]      (default 100000 1000000)
//
// The least: one flat open-addressing table of (tag, record) words keyed by
// the hash of (name, inputs), the name's bytes appended to one buffer and a
// 16-byte record per node, grown by doubling as a recorder that does not
// know its size must. No payload table, no lock, no error checks, no
// Python. Whatever a Python caller adds comes on top of both columns, so a
// ratio to the Python floor that this column already exceeds cannot be met
// by any store.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "store/store.h"
#include "support/owned_node.h"

using namespace tavrine;

namespace {

constexpr std::uint32_t kSources = 1000;

struct Call {
  std::string name;
  std::uint32_t a, b;
};

// The same four shapes as record_bench.py, over kSources sources first.
std::vector<Call> calls_for(int shape, std::uint64_t n) {
  std::mt19937_64 rnd(1);
  std::vector<Call> calls;
  calls.reserve(n);
  static const char* const kNames[4] = {"add", "sub", "mul", "div"};
  for (std::uint64_t k = 0; k < n; ++k) {
    const auto id = static_cast<std::uint32_t>(kSources + k);
    const std::uint32_t last = std::min<std::uint32_t>(id, 1000);
    switch (shape) {
      case 0: calls.push_back({"add", static_cast<std::uint32_t>(rnd() % id), id - 1}); break;
      case 1: {
        // Distinct (name, a, b) triples in a scrambled order (a stride prime to
        // their number), where the Python shape draws a random sample of them.
        const std::uint64_t p = k * 2654435761u % (4ull * kSources * kSources);
        calls.push_back({kNames[p % 4], static_cast<std::uint32_t>(p / 4 % kSources),
                         static_cast<std::uint32_t>(p / 4 / kSources)});
        break;
      }
      case 2: calls.push_back({"f" + std::to_string(k), static_cast<std::uint32_t>(rnd() % 10),
                               static_cast<std::uint32_t>(rnd() % 10)}); break;
      default: calls.push_back({"f" + std::to_string(k), id - 1 - static_cast<std::uint32_t>(rnd() % last),
                                id - 1 - static_cast<std::uint32_t>(rnd() % last)});
    }
  }
  return calls;
}

const char* const kShapeNames[4] = {"chain", "hot columns", "ten sources, many names", "recent nodes, many names"};

std::uint64_t key_hash(const char* p, std::size_t n, std::uint32_t a, std::uint32_t b) {
  std::uint64_t h = 0xCBF29CE484222325ull ^ n;
  for (std::size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(p[i])) * 0x100000001B3ull;
  h ^= (std::uint64_t{a} << 32 | b) * 0x9E3779B97F4A7C15ull;
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  return h ^ (h >> 32);
}

// The bare recorder; returns the number of nodes it holds, so that the
// work cannot be optimized away.
std::size_t bare(const std::vector<Call>& calls) {
  struct Rec {
    std::uint32_t off, len, a, b;
  };
  std::vector<char> bytes;
  std::vector<Rec> recs;
  std::vector<std::uint64_t> table(16, 0);  // tag << 32 | record + 1, 0: empty
  auto hash_of = [&](const Rec& r) { return key_hash(&bytes[r.off], r.len, r.a, r.b); };
  for (const Call& c : calls) {
    const std::uint64_t h = key_hash(c.name.data(), c.name.size(), c.a, c.b);
    std::uint64_t mask = table.size() - 1, i = h & mask;
    bool found = false;
    for (; table[i] != 0; i = (i + 1) & mask) {
      const std::uint64_t e = table[i];
      if ((e >> 32) != (h >> 32)) continue;
      const Rec& r = recs[(e & 0xFFFFFFFFu) - 1];
      if (r.a == c.a && r.b == c.b && r.len == c.name.size() && std::memcmp(&bytes[r.off], c.name.data(), r.len) == 0) {
        found = true;
        break;
      }
    }
    if (found) continue;
    recs.push_back({static_cast<std::uint32_t>(bytes.size()), static_cast<std::uint32_t>(c.name.size()), c.a, c.b});
    bytes.insert(bytes.end(), c.name.begin(), c.name.end());
    table[i] = (h >> 32) << 32 | recs.size();
    if (recs.size() * 2 <= table.size()) continue;
    std::vector<std::uint64_t> grown(table.size() * 2, 0);
    mask = grown.size() - 1;
    for (std::uint64_t e : table) {
      if (e == 0) continue;
      std::uint64_t j = hash_of(recs[(e & 0xFFFFFFFFu) - 1]) & mask;
      while (grown[j] != 0) j = (j + 1) & mask;
      grown[j] = e;
    }
    table.swap(grown);
  }
  return recs.size();
}

std::size_t store(const std::vector<Call>& calls) {
  Store s;
  EncodedPayload scratch;
  for (std::uint32_t i = 0; i < kSources; ++i) {
    (void)*s.intern(scratch.set(NodeKind::Source, "col" + std::to_string(i), nullptr, nullptr, {}, {}));
  }
  for (const Call& c : calls) {
    const NodeId ids[2] = {c.a, c.b};
    (void)*s.intern(scratch.set(NodeKind::Op, c.name, nullptr, nullptr, {}, ids));
  }
  return s.node_count();
}

template <class F>
double best_ns(F&& f, const std::vector<Call>& calls, int reps) {
  double best = 1e300;
  for (int r = 0; r < reps; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    const std::size_t held = f(calls);
    const auto t1 = std::chrono::steady_clock::now();
    if (held < calls.size()) {
      // Only hot columns can repeat a key: it has 4 * 1000 * 1000 of them.
      std::fprintf(stderr, "record_floor_bench: %zu calls record only %zu nodes (hot columns holds at most %llu)\n",
                   calls.size(), held, 4ull * kSources * kSources);
      std::exit(2);
    }
    best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / double(calls.size()));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::uint64_t> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
  if (sizes.empty()) sizes = {100000, 1000000};
  std::printf("new nodes, ns each (best of 3): a bare flat table against the store, no Python\n");
  std::printf("%-26s %8s %8s %8s %7s\n", "shape", "nodes", "bare", "store", "ratio");
  for (std::uint64_t n : sizes) {
    for (int shape = 0; shape < 4; ++shape) {
      const std::vector<Call> calls = calls_for(shape, n);
      const double b = best_ns(bare, calls, 3), s = best_ns(store, calls, 3);
      std::printf("%-26s %8llu %8.1f %8.1f %6.2fx\n", kShapeNames[shape], static_cast<unsigned long long>(n), b, s,
                  s / b);
    }
  }
  return 0;
}
