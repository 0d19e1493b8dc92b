#pragma once
// Payloads: the part of a node other than its inputs (kind, name, params,
// descriptor, members), in one compact byte encoding shared by the store,
// the incremental reducer and the blob.
//
// Encoding (all integers little-endian, no padding; Str = u32 length + bytes)
//   Source, Op, Reduction   Str name; Params
//   External                Str kind, content_hash, framework, version,
//                           io_schema; u8 0|1 (preprocessing_ref present);
//                           [Str preprocessing_ref]; Params
//   Stage                   u32 member count; per member: Str token; u32
//                           ref count; per ref: u8 0 (input) | 1 (member),
//                           u64 index
//   Exchange                Params
//   Params                  u32 count; per entry, in key order: Str key;
//                           u8 tag; i64 (0 Int) | f64 bits (1 Float) |
//                           u8 0|1 (2 Bool) | Str (3 Str)
// The kind itself is kept beside the bytes. Except for Stage members, this
// is the body of a blob record without its input list, so the blob reader
// interns records in place and the writer copies payloads as they are.
//
// Canonical form: params sorted by key bytes (stable: repeated keys keep
// their order), flags and bools as 0/1. Two canonical payloads of the same
// kind are the same value exactly when their bytes are equal, except that a
// Float compares by its bits with every NaN taken as the canonical NaN: a
// payload that holds a NaN Float is marked (`has_nan`) and compared and
// hashed through a copy with its NaNs canonicalized. The stored bits are
// never altered.
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "store/node.h"
#include "support/append_only.h"
#include "support/arena.h"
#include "support/hash.h"
#include "support/interner.h"
#include "support/little_endian.h"

namespace tavrine {

namespace enc {

// A Str at p: its text and the position after it.
inline std::string_view str_at(const char* p) noexcept { return {p + 4, load_u32(p)}; }
inline const char* after_str(const char* p) noexcept { return p + 4 + load_u32(p); }

}  // namespace enc

// ---- reading ------------------------------------------------------------------

// One parameter value as stored: the same accessors as ParamValue, with a
// Str borrowed from the encoding.
class ParamValueRef : public ParamBits {
 public:
  ParamValueRef() noexcept = default;
  ParamValueRef(Tag tag, std::uint64_t bits, std::string_view str) noexcept : ParamBits(tag, bits), str_(str) {}
  std::string_view as_str() const noexcept { return str_; }

 private:
  std::string_view str_;
};

// A counted list in an encoding: a u32 count, then the items back to back.
// `Item` is made from an item's first byte and tells where the item ends
// (`end_ptr()`).
template <class Item>
class EncodedList {
 public:
  EncodedList() noexcept = default;
  // `p` points at the list's u32 count.
  explicit EncodedList(const char* p) noexcept : p_(p) {}

  std::uint32_t size() const noexcept { return p_ ? enc::load_u32(p_) : 0; }
  bool empty() const noexcept { return size() == 0; }

  class iterator {
   public:
    using value_type = Item;
    using difference_type = std::ptrdiff_t;
    iterator() noexcept = default;
    iterator(const char* p, std::uint32_t left) noexcept : p_(p), left_(left) {}
    Item operator*() const noexcept { return Item(p_); }
    iterator& operator++() noexcept {
      p_ = Item(p_).end_ptr();
      --left_;
      return *this;
    }
    iterator operator++(int) noexcept {
      iterator t = *this;
      ++*this;
      return t;
    }
    friend bool operator==(const iterator& a, const iterator& b) noexcept { return a.left_ == b.left_; }

   private:
    const char* p_ = nullptr;
    std::uint32_t left_ = 0;
  };
  iterator begin() const noexcept { return p_ ? iterator(p_ + 4, size()) : iterator(); }
  iterator end() const noexcept { return iterator(); }

  // The byte after the list.
  const char* end_ptr() const noexcept {
    const char* q = p_ + 4;
    for (std::uint32_t k = size(); k > 0; --k) q = Item(q).end_ptr();
    return q;
  }

 private:
  const char* p_ = nullptr;
};

// One entry of an encoded Params block: its key and value.
class ParamRef {
 public:
  explicit ParamRef(const char* p) noexcept;
  std::string_view key;
  ParamValueRef value;
  const char* end_ptr() const noexcept { return end_; }

 private:
  const char* end_;
};

// The entries of an encoded Params block, in map order.
class ParamsView : public EncodedList<ParamRef> {
 public:
  using EncodedList::EncodedList;
};

// The descriptor of an External payload.
class DescriptorView {
 public:
  explicit DescriptorView(const char* p) noexcept;
  std::string_view kind() const noexcept { return f_[0]; }
  std::string_view content_hash() const noexcept { return f_[1]; }
  std::string_view framework() const noexcept { return f_[2]; }
  std::string_view version() const noexcept { return f_[3]; }
  std::string_view io_schema() const noexcept { return f_[4]; }
  std::optional<std::string_view> preprocessing_ref() const noexcept {
    return has_ref_ ? std::optional<std::string_view>(f_[5]) : std::nullopt;
  }
  // The byte after the descriptor (where the params begin).
  const char* end_ptr() const noexcept { return end_; }

 private:
  std::string_view f_[6];
  bool has_ref_ = false;
  const char* end_ = nullptr;
};

// One stage member: its token and its references.
class MemberRef {
 public:
  explicit MemberRef(const char* p) noexcept : p_(p) {}
  std::string_view token() const noexcept { return enc::str_at(p_); }
  std::uint32_t ref_count() const noexcept { return enc::load_u32(enc::after_str(p_)); }
  StageRef ref(std::uint32_t k) const noexcept {
    const char* r = enc::after_str(p_) + 4 + std::size_t{9} * k;
    return StageRef{r[0] == 0 ? StageRef::Kind::Input : StageRef::Kind::Member, enc::load_u64(r + 1)};
  }
  const char* end_ptr() const noexcept { return enc::after_str(p_) + 4 + std::size_t{9} * ref_count(); }

 private:
  const char* p_;
};

// The members of a Stage payload, in order.
using MembersView = EncodedList<MemberRef>;

// An encoded payload and its kind. Only the accessors of the kind apply:
// name() for Source/Op/Reduction (empty otherwise), descriptor() for
// External, members() for Stage; params() is empty for a Stage.
class PayloadView {
 public:
  PayloadView(NodeKind kind, std::string_view bytes) noexcept : kind_(kind), bytes_(bytes) {}
  NodeKind kind() const noexcept { return kind_; }
  std::string_view bytes() const noexcept { return bytes_; }
  std::string_view name() const noexcept { return kind_has_name(kind_) ? enc::str_at(bytes_.data()) : std::string_view(); }
  ParamsView params() const noexcept;
  DescriptorView descriptor() const noexcept { return DescriptorView(bytes_.data()); }
  MembersView members() const noexcept {
    return kind_ == NodeKind::Stage ? MembersView(bytes_.data()) : MembersView();
  }

 private:
  NodeKind kind_;
  std::string_view bytes_;
};

// ---- writing -----------------------------------------------------------------

// Appends payload encodings. A text or list longer than 32 bits can count is
// refused with std::length_error (a payload that large cannot be stored).
class PayloadEncoder {
 public:
  explicit PayloadEncoder(std::string& out) noexcept : out_(out) {}
  void u8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
  // Refuses values above 2^32 - 1.
  void u32(std::uint64_t v) {
    if (v > UINT32_MAX) [[unlikely]] too_long(v);
    char b[4];
    enc::store_u32(b, static_cast<std::uint32_t>(v));
    out_.append(b, 4);
  }
  void u64(std::uint64_t v) {
    char b[8];
    enc::store_u64(b, v);
    out_.append(b, 8);
  }
  void str(std::string_view s) {
    u32(s.size());
    out_.append(s);
  }
  // A Params block from a sorted map.
  void params(const ParamMap& params);
  void descriptor(const PayloadDescriptor& d);

  [[noreturn]] static void too_long(std::uint64_t v);

 private:
  std::string& out_;
};

// Appends a Stage payload's members one at a time, in the encoding above:
// each member with its reference count, then its references. The member
// count goes in front when the last one is written, so a caller walking a
// list of unknown length writes each member as it reaches it and builds no
// StageMember values on the way (fusion emits every stage this way).
class MemberEncoder {
 public:
  explicit MemberEncoder(std::string& out) : out_(out), start_(out.size()) { PayloadEncoder(out_).u32(0); }
  // The next member; exactly `ref_count` ref() calls follow.
  void member(std::string_view token, std::size_t ref_count) {
    PayloadEncoder enc(out_);
    enc.str(token);
    enc.u32(ref_count);
    ++count_;
  }
  void ref(StageRef::Kind kind, std::uint64_t index) {
    PayloadEncoder enc(out_);
    enc.u8(static_cast<std::uint8_t>(kind));
    enc.u64(index);
  }
  // Writes the member count in front; refuses more than 2^32 - 1 members.
  void finish() {
    if (count_ > UINT32_MAX) [[unlikely]] PayloadEncoder::too_long(count_);
    enc::store_u32(out_.data() + start_, static_cast<std::uint32_t>(count_));
  }

 private:
  std::string& out_;
  std::size_t start_;
  std::uint64_t count_ = 0;
};

// Whether a Params block holds a NaN Float (see has_nan above). An owned
// map is asked through its encoding.
bool has_nan(ParamsView params) noexcept;

// A payload to look up or store: the kind, canonical bytes, and whether
// they hold a NaN Float.
struct PayloadKey {
  NodeKind kind = NodeKind::Source;
  std::string_view bytes;
  bool has_nan = false;
  PayloadView view() const noexcept { return PayloadView(kind, bytes); }
};

// A borrowed node, the form `Store::intern` takes: its payload and its
// inputs (none for a Source).
struct NodeRef {
  PayloadKey payload;
  std::span<const NodeId> inputs;
};

// The canonical parameter text of a Params block: "key=value;..." in map
// order (see append_param_value_text); the empty block gives the empty text.
void append_param_text(std::string& out, ParamsView params);

// Hash of a payload, consistent with payload equality (NaNs canonical).
std::uint64_t payload_hash(std::uint64_t seed, const PayloadKey& key);
// Equal up to NaN payload bits (which only payloads marked has_nan hold).
bool payload_equal_slow(const PayloadKey& a, const PayloadKey& b) noexcept;
inline bool payload_equal(const PayloadKey& a, const PayloadKey& b) noexcept {
  if (a.kind != b.kind || a.has_nan != b.has_nan || a.bytes.size() != b.bytes.size()) return false;
  if (detail::same_bytes(a.bytes.data(), b.bytes.data(), a.bytes.size())) return true;
  return a.has_nan && payload_equal_slow(a, b);
}

// ---- interning -------------------------------------------------------------------

// The stored form of one payload: its bytes live in the interner's arena.
struct PayloadRec {
  const char* bytes;
  std::uint32_t size;
  NodeKind kind;
  bool has_nan;
  PayloadKey key() const noexcept { return PayloadKey{kind, {bytes, size}, has_nan}; }
  PayloadView view() const noexcept { return PayloadView(kind, {bytes, size}); }
};

// The one payload interner: each distinct payload once, under dense ids in
// order of first arrival, with a hash seeded per owner.
//
// Contract: `intern` either returns the payload's id or throws (std::bad_alloc)
// leaving the interner unchanged. Stored records and bytes never move, so
// readers that learned an id through the owner's synchronization may read
// its record while the owner adds more. Not thread-safe for writers.
class PayloadInterner {
 public:
  explicit PayloadInterner(std::uint64_t seed) noexcept : seed_(seed) {}

  std::size_t size() const noexcept { return ix_.size(); }
  const PayloadRec& operator[](std::uint32_t id) const noexcept { return ix_[id]; }
  std::uint64_t hash_of(std::uint32_t id) const noexcept { return ix_.hash_of(id); }
  std::uint64_t hash(const PayloadKey& key) const { return payload_hash(seed_, key); }

  // The id of the payload, or npos.
  std::size_t find(std::uint64_t hash, const PayloadKey& key) const {
    return ix_.find(hash, key, [](const PayloadRec& r, const PayloadKey& k) { return payload_equal(r.key(), k); });
  }
  void prefetch(std::uint64_t hash) const noexcept { ix_.prefetch(hash); }
  // The id of the payload, storing a copy first if it is new.
  std::pair<std::uint32_t, bool> intern(std::uint64_t hash, const PayloadKey& key);
  std::pair<std::uint32_t, bool> intern(const PayloadKey& key) { return intern(hash(key), key); }
  // Stores a copy of a payload the caller found absent; returns its id.
  std::uint32_t add(std::uint64_t hash, const PayloadKey& key);
  void reserve(std::size_t n) { ix_.reserve(n); }
  std::size_t memory_bytes() const noexcept { return ix_.memory_bytes() + arena_.memory_bytes(); }

  static constexpr std::size_t npos = Interner<PayloadRec>::npos;

 private:
  std::uint64_t seed_;
  Interner<PayloadRec> ix_;
  Arena<char> arena_;
};

}  // namespace tavrine
