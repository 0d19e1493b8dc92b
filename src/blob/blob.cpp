#include "blob/blob.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "store/ahead.h"
#include "store/payload.h"
#include "support/hash.h"
#include "support/panic.h"

namespace tavrine {

namespace {

constexpr char kMagic[4] = {'T', 'I', 'R', '1'};
constexpr std::uint64_t kU32Max = 0xFFFFFFFFull;

// The smallest record, used to bound a reservation by what the remaining
// bytes could hold: a tag and two u32 counts (Source: name length + param
// count; Stage: input count + member count; Exchange: param count + input
// count).
constexpr std::size_t kMinRecordBytes = 9;
constexpr std::size_t kIdBytes = 8;
constexpr std::size_t kStageRefBytes = 5;

// ---- writer ----

// Short copies inline (two overlapping loads and stores) instead of a call:
// most payloads and input lists are a few bytes to a few dozen.
inline char* put_bytes(char* dst, const char* src, std::size_t n) noexcept {
  if (n <= 16) {
    if (n >= 8) {
      std::uint64_t a, b;
      std::memcpy(&a, src, 8);
      std::memcpy(&b, src + n - 8, 8);
      std::memcpy(dst, &a, 8);
      std::memcpy(dst + n - 8, &b, 8);
    } else if (n >= 4) {
      std::uint32_t a, b;
      std::memcpy(&a, src, 4);
      std::memcpy(&b, src + n - 4, 4);
      std::memcpy(dst, &a, 4);
      std::memcpy(dst + n - 4, &b, 4);
    } else if (n != 0) {
      dst[0] = src[0];
      dst[n / 2] = src[n / 2];
      dst[n - 1] = src[n - 1];
    }
  } else {
    std::memcpy(dst, src, n);
  }
  return dst + n;
}

inline char* put_ids(char* dst, std::span<const NodeId> ids) noexcept {
  enc::store_u32(dst, static_cast<std::uint32_t>(ids.size()));
  dst += 4;
  if constexpr (std::endian::native == std::endian::little) {
    return put_bytes(dst, reinterpret_cast<const char*>(ids.data()), ids.size() * kIdBytes);
  } else {
    for (NodeId id : ids) {
      enc::store_u64(dst, id);
      dst += 8;
    }
    return dst;
  }
}

// ---- reader -----------------------------------------------------------------

// Reads one blob into a fresh store. A record's payload is, for every kind
// but Stage, the store's own payload encoding: it is checked in place and,
// when it is canonical (params in key order, flags and bools as 0 or 1), it
// is interned straight from the input; the store copies it only when it is
// new. Other payloads are re-encoded into scratch space first.
class BlobReader {
 public:
  BlobReader(std::string_view data, Interrupt* interrupt)
      : p_(reinterpret_cast<const unsigned char*>(data.data())), end_(p_ + data.size()), check_(interrupt) {}

  Expected<std::unique_ptr<Store>, BlobError> run() {
    if (!read_all()) return unexpected(error_);
    return std::move(store_);
  }

 private:
  using Kind = BlobError::Kind;

  std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - p_); }
  // How many items of `item_bytes` each the rest of the input could hold at
  // most: a count read from the blob is only a hint.
  std::size_t bounded(std::uint64_t count, std::size_t item_bytes) const noexcept {
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, remaining() / item_bytes));
  }
  const char* here() const noexcept { return reinterpret_cast<const char*>(p_); }

  bool fail(Kind kind, std::uint64_t value = 0, const char* context = "") {
    error_ = BlobError{kind, context, value};
    return false;
  }
  bool truncated() { return fail(Kind::Truncated); }

  bool u8(std::uint8_t& v) {
    if (remaining() < 1) [[unlikely]] return truncated();
    v = *p_++;
    return true;
  }
  bool u32(std::uint32_t& v) {
    if (remaining() < 4) [[unlikely]] return truncated();
    v = enc::load_u32(p_);
    p_ += 4;
    return true;
  }
  bool u64(std::uint64_t& v) {
    if (remaining() < 8) [[unlikely]] return truncated();
    v = enc::load_u64(p_);
    p_ += 8;
    return true;
  }
  bool str(std::string_view& s) {
    std::uint32_t len;
    if (!u32(len)) return false;
    if (remaining() < len) [[unlikely]] return truncated();
    s = std::string_view(here(), len);
    p_ += len;
    if (!is_valid_utf8(s)) [[unlikely]] return fail(Kind::InvalidUtf8);
    return true;
  }
  bool skip_str() {
    std::string_view s;
    return str(s);
  }

  // One param entry as read, for re-encoding a block out of key order.
  struct Entry {
    std::string_view key;
    std::uint8_t tag;
    std::uint64_t bits;
    std::string_view text;
  };

  // A Params block. Sets canonical_ to false when the block is not in the
  // store's canonical form, and has_nan_ when it holds a NaN Float.
  bool params() {
    std::uint32_t n;
    if (!u32(n)) return false;
    params_at_ = here() - 4;
    std::string_view prev;
    for (std::uint32_t k = 0; k < n; ++k) {
      std::string_view key;
      if (!str(key)) return false;
      if (k != 0 && key < prev) canonical_ = false;
      prev = key;
      std::uint8_t tag;
      if (!u8(tag)) return false;
      switch (tag) {
        case 0: {
          std::uint64_t bits;
          if (!u64(bits)) return false;
          break;
        }
        case 1: {
          std::uint64_t bits;
          if (!u64(bits)) return false;
          if (canonical_nan(bits) == ParamValue::kCanonicalNan) has_nan_ = true;
          break;
        }
        case 2: {
          std::uint8_t b;
          if (!u8(b)) return false;
          if (b > 1) canonical_ = false;
          break;
        }
        case 3:
          if (!skip_str()) return false;
          break;
        default:
          return fail(Kind::BadTag, tag, "param");
      }
    }
    return true;
  }

  // Re-encodes the payload read at [begin, params block) + params in the
  // canonical form: the part before the params as it is (with a flag of 1
  // for a present preprocessing_ref), then the entries sorted by key with a
  // stable sort, bools as 0 or 1.
  std::string_view canonical_payload(NodeKind kind, const char* begin) {
    entry_->bytes.clear();
    if (kind != NodeKind::External) {
      entry_->bytes.append(begin, static_cast<std::size_t>(params_at_ - begin));
    } else {
      // The descriptor again, with its presence flag as 0 or 1.
      PayloadEncoder enc(entry_->bytes);
      const char* p = begin;
      for (int i = 0; i < 5; ++i) {
        enc.str(enc::str_at(p));
        p = enc::after_str(p);
      }
      const bool present = *p++ != 0;
      enc.u8(present ? 1 : 0);
      if (present) enc.str(enc::str_at(p));
    }
    entries_.clear();
    const std::uint32_t n = enc::load_u32(params_at_);
    entries_.reserve(n);
    const char* p = params_at_ + 4;
    for (std::uint32_t k = 0; k < n; ++k) {
      Entry e{enc::str_at(p), 0, 0, {}};
      p = enc::after_str(p);
      e.tag = static_cast<std::uint8_t>(*p++);
      if (e.tag == 3) {
        e.text = enc::str_at(p);
        p = enc::after_str(p);
      } else if (e.tag == 2) {
        e.bits = *p++ != 0 ? 1 : 0;
      } else {
        e.bits = enc::load_u64(p);
        p += 8;
      }
      entries_.push_back(e);
    }
    std::stable_sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });
    PayloadEncoder enc(entry_->bytes);
    enc.u32(n);
    for (const Entry& e : entries_) {
      enc.str(e.key);
      enc.u8(e.tag);
      if (e.tag == 3) {
        enc.str(e.text);
      } else if (e.tag == 2) {
        enc.u8(static_cast<std::uint8_t>(e.bits));
      } else {
        enc.u64(e.bits);
      }
    }
    return entry_->bytes;
  }

  // Input ids are blob positions below the record's own position `pos`;
  // they are mapped to the ids the store gave those positions when the
  // record is interned.
  bool inputs(std::uint64_t pos) {
    std::uint32_t n;
    if (!u32(n)) return false;
    if (remaining() < std::size_t{n} * kIdBytes) [[unlikely]] {
      // Report the first id that is out of range before the truncation, as
      // reading them one by one would.
      const std::size_t whole = remaining() / kIdBytes;
      for (std::size_t k = 0; k < whole; ++k) {
        const std::uint64_t id = enc::load_u64(p_ + k * kIdBytes);
        if (id >= pos) return fail(Kind::NodeRefOutOfRange, id);
      }
      return truncated();
    }
    std::vector<NodeId>& in = entry_->inputs;
    in.resize(n);
    for (std::uint32_t k = 0; k < n; ++k) {
      const std::uint64_t id = enc::load_u64(p_ + std::size_t{k} * kIdBytes);
      if (id >= pos) [[unlikely]] return fail(Kind::NodeRefOutOfRange, id);
      in[k] = id;
    }
    p_ += std::size_t{n} * kIdBytes;
    return true;
  }

  // A Stage's members, re-encoded with the store's full-width indices.
  bool members() {
    std::uint32_t n;
    if (!u32(n)) return false;
    entry_->bytes.clear();
    MemberEncoder enc(entry_->bytes);
    for (std::uint32_t m = 0; m < n; ++m) {
      std::string_view token;
      if (!str(token)) return false;
      std::uint32_t n_refs;
      if (!u32(n_refs)) return false;
      enc.member(token, n_refs);
      for (std::uint32_t r = 0; r < n_refs; ++r) {
        if (remaining() < kStageRefBytes) [[unlikely]] return truncated();
        const std::uint8_t tag = p_[0];
        const std::uint32_t index = enc::load_u32(p_ + 1);
        p_ += kStageRefBytes;
        if (tag == 1) {
          if (index >= m) [[unlikely]] return fail(Kind::NodeRefOutOfRange, index);
        } else if (tag != 0) {
          return fail(Kind::BadTag, tag, "stage-ref");
        }
        enc.ref(tag == 0 ? StageRef::Kind::Input : StageRef::Kind::Member, index);
      }
    }
    enc.finish();
    return true;
  }

  bool descriptor() {
    for (int i = 0; i < 5; ++i) {
      if (!skip_str()) return false;
    }
    std::uint8_t present;
    if (!u8(present)) return false;
    if (present > 1) canonical_ = false;
    return present == 0 || skip_str();
  }

  // Reads record `pos` into the interner's next entry (its inputs, and its
  // payload's bytes when they are re-encoded) and gives its payload, whose
  // bytes are either in the input or in the entry.
  bool parse(std::uint64_t pos, AheadInterner::Entry& entry, PayloadKey& payload) {
    entry_ = &entry;
    std::uint8_t tag;
    if (!u8(tag)) return false;
    if (tag >= kNodeKindCount) [[unlikely]] return fail(Kind::BadTag, tag, "node");
    const auto kind = static_cast<NodeKind>(tag);
    const char* begin = here();
    canonical_ = true;
    has_nan_ = false;
    bool ok = false;
    switch (kind) {
      case NodeKind::Source:
      case NodeKind::Op:
      case NodeKind::Reduction: ok = skip_str() && params(); break;
      case NodeKind::External: ok = descriptor() && params(); break;
      case NodeKind::Stage: ok = inputs(pos) && members(); break;
      case NodeKind::Exchange: ok = params(); break;
    }
    if (!ok) return false;
    if (kind == NodeKind::Stage) {
      payload.bytes = entry.bytes;
    } else {
      payload.bytes = canonical_ ? std::string_view(begin, static_cast<std::size_t>(here() - begin))
                                 : canonical_payload(kind, begin);
      if (kind == NodeKind::Source) {
        entry.inputs.clear();
      } else if (!inputs(pos)) {
        return false;
      }
    }
    payload.kind = kind;
    payload.has_nan = has_nan_;
    return true;
  }

  // Input ids were checked against their record's position as it was read,
  // and the interner maps them to ids the store handed out, so this cannot
  // fail; should it, the reference is reported as out of range.
  bool settled(const Expected<Ok, BadNodeId>& interned) {
    if (!interned) [[unlikely]] return fail(Kind::NodeRefOutOfRange, interned.error().id);
    return true;
  }

  bool read_all() {
    if (remaining() < 4) return truncated();
    if (std::memcmp(p_, kMagic, 4) != 0) return fail(Kind::BadMagic);
    if (remaining() < 8) return truncated();
    const std::uint32_t n_records = enc::load_u32(p_ + 4);
    p_ += 8;

    store_ = std::make_unique<Store>();
    Store::Batch batch(*store_);
    batch.reserve(bounded(n_records, kMinRecordBytes));
    // Each record is looked up as it is read and interned a few records
    // later, its index slot fetched into the cache meanwhile: a lookup then
    // rarely waits for memory. Reading stops at the first record that does
    // not parse.
    AheadInterner interner(batch, AheadInterner::kMaxDistance);
    for (std::uint32_t pos = 0; pos < n_records; ++pos) {
      check_.tick();
      PayloadKey payload;
      if (!parse(pos, interner.next(), payload) || !settled(interner.push(payload))) return false;
    }
    if (!settled(interner.finish())) return false;

    std::uint32_t n_outputs;
    if (!u32(n_outputs)) return false;
    for (std::uint32_t k = 0; k < n_outputs; ++k) {
      std::uint64_t pos;
      if (!u64(pos)) return false;
      if (pos >= n_records) [[unlikely]] return fail(Kind::NodeRefOutOfRange, pos);
      auto marked = batch.mark_output(interner.id_of(pos));
      if (!marked) [[unlikely]] return fail(Kind::NodeRefOutOfRange, marked.error().id);
    }
    return true;  // trailing bytes are not examined
  }

  const unsigned char* p_;
  const unsigned char* end_;
  InterruptCheck check_;
  BlobError error_;
  std::unique_ptr<Store> store_;
  // The record being read.
  bool canonical_ = true;
  bool has_nan_ = false;
  const char* params_at_ = nullptr;
  AheadInterner::Entry* entry_ = nullptr;  // where the record being read goes
  std::vector<Entry> entries_;
};

}  // namespace

// ---- public -----------------------------------------------------------------

std::string BlobError::message() const {
  switch (kind) {
    case Kind::BadMagic: return "not a tavrine IR blob (bad magic/version)";
    case Kind::Truncated: return "truncated tavrine IR blob";
    case Kind::BadTag: return "invalid " + std::string(context) + " tag " + std::to_string(value);
    case Kind::InvalidUtf8: return "invalid utf-8 in tavrine IR blob";
    case Kind::NodeRefOutOfRange: return "node reference " + std::to_string(value) + " out of range";
  }
  panic("blob error kind is one of the five kinds");
}

std::string BlobTooLarge::message() const {
  return "cannot serialize: " + std::string(what) + " " + std::to_string(value) +
         " exceeds the blob format's limit of 4294967295";
}

namespace {

// The blob body of a Stage payload is its encoding with every reference
// index in 32 bits instead of 64: four bytes shorter per reference.
std::size_t stage_body_size(const NodeView& n, const BlobTooLarge*& refusal, BlobTooLarge& slot) {
  std::size_t refs = 0;
  for (MemberRef m : n.members()) {
    const std::uint32_t k = m.ref_count();
    for (std::uint32_t r = 0; r < k; ++r) {
      const std::uint64_t index = m.ref(r).index;
      if (index > kU32Max) [[unlikely]] {
        slot = BlobTooLarge{"stage reference index", index};
        refusal = &slot;
      }
    }
    refs += k;
  }
  return n.payload().bytes.size() - 4 * refs;
}

char* put_stage_members(char* p, const NodeView& n) {
  const MembersView members = n.members();
  enc::store_u32(p, members.size());
  p += 4;
  for (MemberRef m : members) {
    const std::string_view token = m.token();
    enc::store_u32(p, static_cast<std::uint32_t>(token.size()));
    p = put_bytes(p + 4, token.data(), token.size());
    const std::uint32_t k = m.ref_count();
    enc::store_u32(p, k);
    p += 4;
    for (std::uint32_t r = 0; r < k; ++r) {
      const StageRef ref = m.ref(r);
      *p = ref.kind == StageRef::Kind::Input ? 0 : 1;
      enc::store_u32(p + 1, static_cast<std::uint32_t>(ref.index));
      p += kStageRefBytes;
    }
  }
  return p;
}

}  // namespace

Expected<BlobWriter, BlobTooLarge> BlobWriter::prepare(const Snapshot& snap, std::span<const NodeId> outputs,
                                                        Interrupt* interrupt) {
  expect(snap.begin_id() == 0, "a serialized snapshot starts at node 0");
  for (NodeId id : outputs) expect(id < snap.end_id(), "serialized outputs are recorded nodes");
  if (snap.size() > kU32Max) return unexpected(BlobTooLarge{"node count", snap.size()});
  if (outputs.size() > kU32Max) return unexpected(BlobTooLarge{"output count", outputs.size()});

  InterruptCheck check(interrupt);
  BlobWriter w(snap, outputs);
  std::uint64_t total = 8 + 4 + outputs.size() * kIdBytes;
  const BlobTooLarge* refusal = nullptr;
  BlobTooLarge refused;
  for (NodeId id = 0; id < snap.end_id(); ++id) {
    check.tick();
    const NodeView n = snap.node(id);
    const NodeKind kind = n.kind();
    // Input counts and text lengths fit 32 bits by construction of the
    // store; only stage indices can be wider.
    total += 1 + (kind == NodeKind::Stage ? stage_body_size(n, refusal, refused) : n.payload().bytes.size());
    if (refusal) return unexpected(*refusal);
    if (kind != NodeKind::Source) total += 4 + n.inputs().size() * kIdBytes;
  }
  if (total > SIZE_MAX) return unexpected(BlobTooLarge{"blob size", total});
  w.size_ = static_cast<std::size_t>(total);
  return w;
}

void BlobWriter::write_to(char* dest, Interrupt* interrupt) const {
  const Snapshot& snap = *snap_;
  InterruptCheck check(interrupt);
  char* p = dest;
  std::memcpy(p, kMagic, 4);
  enc::store_u32(p + 4, static_cast<std::uint32_t>(snap.size()));
  p += 8;
  for (NodeId id = 0; id < snap.end_id(); ++id) {
    check.tick();
    const NodeView n = snap.node(id);
    const NodeKind kind = n.kind();
    *p++ = static_cast<char>(kind);
    if (kind == NodeKind::Stage) {
      p = put_ids(p, n.inputs());
      p = put_stage_members(p, n);
      continue;
    }
    const std::string_view payload = n.payload().bytes;
    p = put_bytes(p, payload.data(), payload.size());
    if (kind != NodeKind::Source) p = put_ids(p, n.inputs());
  }
  p = put_ids(p, outputs_);
  expect(p == dest + size_, "the blob fills exactly the measured size");
}

Expected<std::string, BlobTooLarge> write_blob(const Snapshot& snap, std::span<const NodeId> outputs) {
  auto w = BlobWriter::prepare(snap, outputs);
  if (!w) return unexpected(w.error());
  std::string out(w->size(), '\0');
  w->write_to(out.data());
  return out;
}

Expected<std::unique_ptr<Store>, BlobError> read_blob(std::string_view data, Interrupt* interrupt) {
  return BlobReader(data, interrupt).run();
}

bool is_valid_utf8(std::string_view text) noexcept {
  // A short ASCII text (most names and keys) is decided by one test of the
  // words that cover it, not by a loop whose exit depends on its length.
  if (text.size() <= 16) {
    const char* b = text.data();
    const std::size_t n = text.size();
    const std::uint64_t w = n > 8 ? enc::load_u64(b) | enc::load_u64(b + n - 8) : (n ? detail::tail_word(b, n) : 0);
    if ((w & 0x8080808080808080ull) == 0) return true;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  while (p < end) {
    // Plain ASCII, eight bytes at a time.
    if (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      if ((w & 0x8080808080808080ull) == 0) {
        p += 8;
        continue;
      }
    }
    const unsigned c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    auto cont = [](unsigned b) { return (b & 0xC0) == 0x80; };
    if (c < 0xC2) return false;  // a stray continuation byte or an overlong pair
    if (c < 0xE0) {
      if (end - p < 2 || !cont(p[1])) return false;
      p += 2;
    } else if (c < 0xF0) {
      if (end - p < 3) return false;
      const unsigned c1 = p[1];
      if (!cont(c1) || !cont(p[2])) return false;
      if (c == 0xE0 && c1 < 0xA0) return false;  // overlong
      if (c == 0xED && c1 > 0x9F) return false;  // surrogate
      p += 3;
    } else if (c < 0xF5) {
      if (end - p < 4) return false;
      const unsigned c1 = p[1];
      if (!cont(c1) || !cont(p[2]) || !cont(p[3])) return false;
      if (c == 0xF0 && c1 < 0x90) return false;  // overlong
      if (c == 0xF4 && c1 > 0x8F) return false;  // above U+10FFFF
      p += 4;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace tavrine
