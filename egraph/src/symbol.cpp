#include "egraph/symbol.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "egraph/fatal.h"
#include "egraph/language.h"

namespace egraph {

std::uint64_t text_hash(std::string_view text) noexcept {
  // FNV-1a over the bytes, then a final avalanche so that the low bits (the shard) depend
  // on every byte. Fixed constants, no per-process seed.
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : text) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

namespace {

constexpr unsigned kShardBits = 4;
constexpr std::uint32_t kShards = 1u << kShardBits;
constexpr std::uint32_t kIndexLimit = 0x0FFFFFFFu;

// One shard: its lock guards everything below it. Texts are copied into blocks that are
// never freed; the index maps a text to its position.
struct Shard {
  struct Slot {
    std::uint64_t hash;
    std::uint32_t pos_plus_one;  // 0 = empty
  };

  std::mutex mu;
  std::vector<std::string_view> texts;
  std::vector<Slot> index;
  char* block = nullptr;
  std::size_t block_left = 0;

  std::string_view store(std::string_view text) {
    constexpr std::size_t kBlock = 64 * 1024;
    if (text.empty()) return std::string_view("", 0);
    char* dst;
    if (text.size() > kBlock / 4) {
      dst = new char[text.size()];  // large texts get their own permanent allocation
    } else {
      if (text.size() > block_left) {
        block = new char[kBlock];
        block_left = kBlock;
      }
      dst = block;
      block += text.size();
      block_left -= text.size();
    }
    std::memcpy(dst, text.data(), text.size());
    return std::string_view(dst, text.size());
  }

  void grow_index() {
    std::vector<Slot> old = std::move(index);
    index.assign(old.empty() ? 64 : old.size() * 2, Slot{0, 0});
    const std::size_t mask = index.size() - 1;
    for (const Slot& s : old) {
      if (!s.pos_plus_one) continue;
      std::size_t i = (s.hash >> kShardBits) & mask;
      while (index[i].pos_plus_one) i = (i + 1) & mask;
      index[i] = s;
    }
  }

  // Caller holds mu.
  std::uint32_t intern(std::uint64_t hash, std::string_view text, std::uint32_t shard_no) {
    if ((texts.size() + 1) * 4 > index.size() * 3) grow_index();
    const std::size_t mask = index.size() - 1;
    std::size_t i = (hash >> kShardBits) & mask;
    for (;; i = (i + 1) & mask) {
      const Slot& s = index[i];
      if (!s.pos_plus_one) break;
      if (s.hash == hash && texts[s.pos_plus_one - 1] == text) return (shard_no << 28) | s.pos_plus_one;
    }
    const std::size_t pos = texts.size();
    if (pos + 1 >= kIndexLimit) fatal("Can't represent index " + std::to_string(pos) + " in a Symbol");
    texts.push_back(store(text));
    index[i] = Slot{hash, static_cast<std::uint32_t>(pos + 1)};
    return (shard_no << 28) | static_cast<std::uint32_t>(pos + 1);
  }
};

struct Interner {
  Shard shards[kShards];
};

// Created on first use (thread-safe static initialization) and never destroyed, so texts
// outlive every static destructor that might still print a symbol.
Interner& interner() {
  static Interner* instance = new Interner();
  return *instance;
}

}  // namespace

Symbol Symbol::intern(std::string_view text) {
  const std::uint64_t h = text_hash(text);
  const std::uint32_t shard_no = static_cast<std::uint32_t>(h & (kShards - 1));
  Shard& shard = interner().shards[shard_no];
  std::lock_guard<std::mutex> lock(shard.mu);
  return Symbol(shard.intern(h, text, shard_no));
}

std::string_view Symbol::str() const {
  const std::uint32_t shard_no = value_ >> 28;
  const std::uint32_t pos_plus_one = value_ & kIndexLimit;
  Shard& shard = interner().shards[shard_no];
  std::lock_guard<std::mutex> lock(shard.mu);
  if (pos_plus_one == 0 || pos_plus_one > shard.texts.size()) {
    fatal("Invalid symbol " + std::to_string(value_));
  }
  return shard.texts[pos_plus_one - 1];
}

std::size_t interned_symbol_count() {
  std::size_t n = 0;
  for (Shard& shard : interner().shards) {
    std::lock_guard<std::mutex> lock(shard.mu);
    n += shard.texts.size();
  }
  return n;
}

std::ostream& operator<<(std::ostream& os, Symbol s) {
  if (s.value() == 0) return os << "<none>";
  return os << s.str();
}

std::ostream& operator<<(std::ostream& os, const SymbolLang& node) {
  os << "SymbolLang { op: \"" << node.op << "\", children: [";
  for (std::uint32_t i = 0; i < node.children.size(); ++i) os << (i ? ", " : "") << node.children[i];
  return os << "] }";
}

}  // namespace egraph
