#include "egraph/symbol.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "egraph/fatal.h"
#include "egraph/language.h"
#include "support/hash.h"
#include "support/interner.h"

namespace egraph {

std::uint64_t text_hash(std::string_view text) noexcept {
  // Fixed constants, no per-process seed; the final mix makes the low bits (the shard)
  // depend on every byte.
  return tavrine::detail::mix64(tavrine::detail::hash_bytes(0x243f6a8885a308d3ULL, text));
}

namespace {

constexpr unsigned kShardBits = 4;
constexpr std::uint32_t kShards = 1u << kShardBits;
constexpr std::uint32_t kIndexLimit = 0x0FFFFFFFu;

// One shard: its lock guards everything below it. Texts are copied into blocks that are
// never freed; the interner maps a text to its position.
struct Shard {
  std::mutex mu;
  tavrine::Interner<std::string_view> texts;
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

  // Caller holds mu.
  std::uint32_t intern(std::uint64_t hash, std::string_view text, std::uint32_t shard_no) {
    auto same = [](std::string_view stored, std::string_view t) { return tavrine::detail::same_text(stored, t); };
    std::size_t pos = texts.find(hash, text, same);
    if (pos == texts.npos) {
      pos = texts.size();
      if (pos + 1 >= kIndexLimit) fatal("Can't represent index " + std::to_string(pos) + " in a Symbol");
      texts.add(hash, [&] { return store(text); });
    }
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

class GlobalSource final : public SymbolSource {
 public:
  Symbol symbol(std::string_view text) override { return Symbol::intern(text); }
};

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

SymbolSource& global_symbols() {
  static GlobalSource* source = new GlobalSource();
  return *source;
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
