#include "blob/blob.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "support/panic.h"

namespace tavrine {

namespace {

constexpr char kMagic[4] = {'T', 'I', 'R', '1'};
constexpr std::uint64_t kU32Max = 0xFFFFFFFFull;

// Smallest encodings, used to bound reservations by what the remaining bytes
// could hold: a record is at least a tag and two u32 counts (Source: name
// length + param count; Stage: input count + member count; Exchange: param
// count + input count); a param entry is at least a key length, a value tag
// and one value byte; a member is at least a token length and a reference
// count.
constexpr std::size_t kMinRecordBytes = 9;
constexpr std::size_t kMinParamBytes = 6;
constexpr std::size_t kMinMemberBytes = 8;
constexpr std::size_t kIdBytes = 8;
constexpr std::size_t kStageRefBytes = 5;

inline void put_le32(char* p, std::uint32_t v) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &v, 4);
  } else {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(v >> (8 * i));
  }
}
inline void put_le64(char* p, std::uint64_t v) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &v, 8);
  } else {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<char>(v >> (8 * i));
  }
}
inline std::uint32_t get_le32(const unsigned char* p) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
  } else {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
  }
}
inline std::uint64_t get_le64(const unsigned char* p) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
  } else {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
  }
}

// ---- writer -----------------------------------------------------------------

// Appends fields to a growing text and refuses what 32 bits cannot hold.
// Used for the payload part of records, which `BlobWriter` encodes once per
// distinct payload.
class PayloadEncoder {
 public:
  explicit PayloadEncoder(std::string& out) : out_(out) {}
  void u8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void u64(std::uint64_t v) {
    char b[8];
    put_le64(b, v);
    out_.append(b, 8);
  }
  bool count(std::uint64_t n, const char* what) {
    if (n > kU32Max) [[unlikely]] return refuse(what, n);
    char b[4];
    put_le32(b, static_cast<std::uint32_t>(n));
    out_.append(b, 4);
    return true;
  }
  bool str(std::string_view s) {
    if (!count(s.size(), "string length")) return false;
    out_.append(s);
    return true;
  }
  bool params(const ParamMap& params) {
    if (!count(params.size(), "param count")) return false;
    for (const Param& p : params.entries) {
      if (!str(p.key)) return false;
      const ParamValue& v = p.value;
      u8(static_cast<std::uint8_t>(v.tag()));
      switch (v.tag()) {
        case ParamValue::Tag::Int: u64(static_cast<std::uint64_t>(v.as_int())); break;
        case ParamValue::Tag::Float: u64(v.float_bits()); break;
        case ParamValue::Tag::Bool: u8(v.as_bool() ? 1 : 0); break;
        case ParamValue::Tag::Str:
          if (!str(v.as_str())) return false;
          break;
      }
    }
    return true;
  }
  bool members(std::span<const StageMember> members) {
    if (!count(members.size(), "member count")) return false;
    for (const StageMember& m : members) {
      if (!str(m.token)) return false;
      if (!count(m.refs.size(), "stage reference count")) return false;
      for (const StageRef& r : m.refs) {
        if (r.index > kU32Max) [[unlikely]] return refuse("stage reference index", r.index);
        u8(r.kind == StageRef::Kind::Input ? 0 : 1);
        count(r.index, nullptr);
      }
    }
    return true;
  }
  // Everything of the record except the input list: the part before it,
  // then (Stage only) the part after it, in `suffix_start`.
  bool payload(const NodeView& n, std::size_t& suffix_start) {
    u8(static_cast<std::uint8_t>(n.kind()));
    bool ok = true;
    switch (n.kind()) {
      case NodeKind::Source:
      case NodeKind::Op:
      case NodeKind::Reduction:
        ok = str(n.name()) && params(n.params());
        break;
      case NodeKind::External: {
        const PayloadDescriptor* d = n.descriptor();
        expect(d != nullptr, "external node has a descriptor");
        ok = str(d->kind) && str(d->content_hash) && str(d->framework) && str(d->version) && str(d->io_schema);
        if (!ok) break;
        if (d->preprocessing_ref) {
          u8(1);
          ok = str(*d->preprocessing_ref);
        } else {
          u8(0);
        }
        ok = ok && params(n.params());
        break;
      }
      case NodeKind::Stage:
        suffix_start = out_.size();
        return members(n.members());
      case NodeKind::Exchange:
        ok = params(n.params());
        break;
    }
    suffix_start = out_.size();
    return ok;
  }

  const BlobTooLarge& error() const { return error_; }

 private:
  bool refuse(const char* what, std::uint64_t value) {
    error_ = BlobTooLarge{what, value};
    return false;
  }
  std::string& out_;
  BlobTooLarge error_;
};

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
  put_le32(dst, static_cast<std::uint32_t>(ids.size()));
  dst += 4;
  if constexpr (std::endian::native == std::endian::little) {
    return put_bytes(dst, reinterpret_cast<const char*>(ids.data()), ids.size() * kIdBytes);
  } else {
    for (NodeId id : ids) {
      put_le64(dst, id);
      dst += 8;
    }
    return dst;
  }
}

// ---- reader -----------------------------------------------------------------

// Reads one blob into a fresh store. Scratch values (params, descriptor,
// inputs, members) are reused from record to record; names and texts are
// viewed in place in the input and copied once, by the store.
class BlobReader {
 public:
  explicit BlobReader(std::string_view data)
      : p_(reinterpret_cast<const unsigned char*>(data.data())), end_(p_ + data.size()) {}

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
    v = get_le32(p_);
    p_ += 4;
    return true;
  }
  bool u64(std::uint64_t& v) {
    if (remaining() < 8) [[unlikely]] return truncated();
    v = get_le64(p_);
    p_ += 8;
    return true;
  }
  bool str(std::string_view& s) {
    std::uint32_t len;
    if (!u32(len)) return false;
    if (remaining() < len) [[unlikely]] return truncated();
    s = std::string_view(reinterpret_cast<const char*>(p_), len);
    p_ += len;
    if (!is_valid_utf8(s)) [[unlikely]] return fail(Kind::InvalidUtf8);
    return true;
  }

  bool params() {
    std::uint32_t n;
    if (!u32(n)) return false;
    std::vector<Param>& entries = params_.entries;
    entries.clear();
    entries.reserve(bounded(n, kMinParamBytes));
    for (std::uint32_t k = 0; k < n; ++k) {
      std::string_view key;
      if (!str(key)) return false;
      std::uint8_t tag;
      if (!u8(tag)) return false;
      ParamValue value;
      switch (tag) {
        case 0: {
          std::uint64_t bits;
          if (!u64(bits)) return false;
          value = ParamValue::of_int(static_cast<std::int64_t>(bits));
          break;
        }
        case 1: {
          std::uint64_t bits;
          if (!u64(bits)) return false;
          value = ParamValue::of_float_bits(bits);
          break;
        }
        case 2: {
          std::uint8_t b;
          if (!u8(b)) return false;
          value = ParamValue::of_bool(b != 0);
          break;
        }
        case 3: {
          std::string_view s;
          if (!str(s)) return false;
          value = ParamValue::of_str(std::string(s));
          break;
        }
        default:
          return fail(Kind::BadTag, tag, "param");
      }
      entries.push_back(Param{std::string(key), std::move(value)});
    }
    // Stable, by key bytes (a prefix first); repeated keys keep blob order.
    auto by_key = [](const Param& a, const Param& b) { return a.key < b.key; };
    if (!std::is_sorted(entries.begin(), entries.end(), by_key)) [[unlikely]]
      std::stable_sort(entries.begin(), entries.end(), by_key);
    return true;
  }

  // Input ids are blob positions below the record's own position `pos`; each
  // is mapped to the id the store gave that position.
  bool inputs(std::uint64_t pos) {
    std::uint32_t n;
    if (!u32(n)) return false;
    inputs_.clear();
    inputs_.reserve(bounded(n, kIdBytes));
    for (std::uint32_t k = 0; k < n; ++k) {
      std::uint64_t id;
      if (!u64(id)) return false;
      if (id >= pos) [[unlikely]] return fail(Kind::NodeRefOutOfRange, id);
      inputs_.push_back(id_of(id));
    }
    return true;
  }

  bool members() {
    std::uint32_t n;
    if (!u32(n)) return false;
    members_.clear();
    members_.reserve(bounded(n, kMinMemberBytes));
    for (std::uint32_t m = 0; m < n; ++m) {
      std::string_view token;
      if (!str(token)) return false;
      std::uint32_t n_refs;
      if (!u32(n_refs)) return false;
      StageMember& member = members_.emplace_back();
      member.token.assign(token);
      member.refs.reserve(bounded(n_refs, kStageRefBytes));
      for (std::uint32_t r = 0; r < n_refs; ++r) {
        if (remaining() < kStageRefBytes) [[unlikely]] return truncated();
        const std::uint8_t tag = p_[0];
        const std::uint32_t index = get_le32(p_ + 1);
        p_ += kStageRefBytes;
        if (tag == 0) {
          member.refs.push_back(StageRef{StageRef::Kind::Input, index});
        } else if (tag == 1) {
          if (index >= m) [[unlikely]] return fail(Kind::NodeRefOutOfRange, index);
          member.refs.push_back(StageRef{StageRef::Kind::Member, index});
        } else {
          return fail(Kind::BadTag, tag, "stage-ref");
        }
      }
    }
    return true;
  }

  bool descriptor() {
    std::string_view f;
    if (!str(f)) return false;
    desc_.kind.assign(f);
    if (!str(f)) return false;
    desc_.content_hash.assign(f);
    if (!str(f)) return false;
    desc_.framework.assign(f);
    if (!str(f)) return false;
    desc_.version.assign(f);
    if (!str(f)) return false;
    desc_.io_schema.assign(f);
    std::uint8_t present;
    if (!u8(present)) return false;
    if (present != 0) {
      if (!str(f)) return false;
      desc_.preprocessing_ref.emplace(f);
    } else {
      desc_.preprocessing_ref.reset();
    }
    return true;
  }

  bool record(std::uint64_t pos) {
    std::uint8_t tag;
    if (!u8(tag)) return false;
    if (tag >= kNodeKindCount) [[unlikely]] return fail(Kind::BadTag, tag, "node");
    NodeRef node;
    node.kind = static_cast<NodeKind>(tag);
    std::string_view name;
    bool ok = false;
    switch (node.kind) {
      case NodeKind::Source:
        ok = str(name) && params();
        break;
      case NodeKind::Op:
      case NodeKind::Reduction:
        ok = str(name) && params() && inputs(pos);
        break;
      case NodeKind::External:
        ok = descriptor() && params() && inputs(pos);
        node.descriptor = &desc_;
        break;
      case NodeKind::Stage:
        ok = inputs(pos) && members();
        node.members = members_;
        break;
      case NodeKind::Exchange:
        ok = params() && inputs(pos);
        break;
    }
    if (!ok) return false;
    node.name = name;
    if (node.kind != NodeKind::Stage) node.params = &params_;
    if (node.kind != NodeKind::Source) node.inputs = inputs_;

    auto id = store_->intern(node);
    // Mapped inputs are ids the store already handed out, so this cannot
    // fail; should it, the reference is reported as out of range.
    if (!id) [[unlikely]] return fail(Kind::NodeRefOutOfRange, id.error().id);
    if (!remapped_) {
      if (*id == pos) [[likely]] return true;
      // The first repeated record: from here on positions and ids part.
      remapped_ = true;
      id_of_position_.reserve(static_cast<std::size_t>(pos) + 1 + bounded(n_records_ - pos, kMinRecordBytes));
      for (NodeId k = 0; k < pos; ++k) id_of_position_.push_back(k);
    }
    id_of_position_.push_back(*id);
    return true;
  }

  // The id the store gave the record at `pos` (an earlier position).
  NodeId id_of(std::uint64_t pos) const noexcept {
    return remapped_ ? id_of_position_[static_cast<std::size_t>(pos)] : pos;
  }

  bool read_all() {
    if (remaining() < 4) return truncated();
    if (std::memcmp(p_, kMagic, 4) != 0) return fail(Kind::BadMagic);
    if (remaining() < 8) return truncated();
    const std::uint32_t n_records = get_le32(p_ + 4);
    n_records_ = n_records;
    p_ += 8;

    store_ = std::make_unique<Store>();
    for (std::uint32_t i = 0; i < n_records; ++i) {
      if (!record(i)) return false;
    }

    std::uint32_t n_outputs;
    if (!u32(n_outputs)) return false;
    for (std::uint32_t k = 0; k < n_outputs; ++k) {
      std::uint64_t pos;
      if (!u64(pos)) return false;
      if (pos >= n_records) [[unlikely]] return fail(Kind::NodeRefOutOfRange, pos);
      auto marked = store_->mark_output(id_of(pos));
      if (!marked) [[unlikely]] return fail(Kind::NodeRefOutOfRange, marked.error().id);
    }
    return true;  // trailing bytes are not examined
  }

  const unsigned char* p_;
  const unsigned char* end_;
  BlobError error_;
  std::unique_ptr<Store> store_;
  std::uint32_t n_records_ = 0;
  // Record position -> the id `intern` returned. Left empty, and the map
  // taken as the identity, until a record repeats an earlier one (which a
  // writer-made blob never does).
  bool remapped_ = false;
  std::vector<NodeId> id_of_position_;
  ParamMap params_;
  PayloadDescriptor desc_;
  std::vector<NodeId> inputs_;
  std::vector<StageMember> members_;
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

Expected<BlobWriter, BlobTooLarge> BlobWriter::prepare(const Snapshot& snap, std::span<const NodeId> outputs) {
  expect(snap.begin_id() == 0, "a serialized snapshot starts at node 0");
  for (NodeId id : outputs) expect(id < snap.end_id(), "serialized outputs are recorded nodes");
  if (snap.size() > kU32Max) return unexpected(BlobTooLarge{"node count", snap.size()});
  if (outputs.size() > kU32Max) return unexpected(BlobTooLarge{"output count", outputs.size()});

  BlobWriter w(snap, outputs);
  w.slots_.resize(snap.payload_count());
  PayloadEncoder enc(w.payload_bytes_);
  std::uint64_t total = 8 + 4 + outputs.size() * kIdBytes;
  for (NodeId id = 0; id < snap.end_id(); ++id) {
    const NodeView n = snap.node(id);
    const std::uint32_t pid = n.payload_id();
    if (pid >= w.slots_.size()) w.slots_.resize(std::size_t{pid} + 1);
    Slot& slot = w.slots_[pid];
    if (!slot.encoded) {
      const std::size_t start = w.payload_bytes_.size();
      std::size_t suffix_start = start;
      if (!enc.payload(n, suffix_start)) return unexpected(enc.error());
      slot.offset = start;
      slot.prefix = suffix_start - start;
      slot.suffix = w.payload_bytes_.size() - suffix_start;
      slot.has_inputs = n.kind() != NodeKind::Source;
      slot.encoded = true;
    }
    total += slot.prefix + slot.suffix;
    if (slot.has_inputs) {
      const std::size_t n_inputs = n.inputs().size();
      if (n_inputs > kU32Max) return unexpected(BlobTooLarge{"input count", n_inputs});
      total += 4 + n_inputs * kIdBytes;
    }
  }
  if (total > SIZE_MAX) return unexpected(BlobTooLarge{"blob size", total});
  w.size_ = static_cast<std::size_t>(total);
  return w;
}

void BlobWriter::write_to(char* dest) const {
  const Snapshot& snap = *snap_;
  const char* payloads = payload_bytes_.data();
  char* p = dest;
  std::memcpy(p, kMagic, 4);
  put_le32(p + 4, static_cast<std::uint32_t>(snap.size()));
  p += 8;
  for (NodeId id = 0; id < snap.end_id(); ++id) {
    const NodeView n = snap.node(id);
    const Slot& slot = slots_[n.payload_id()];
    const char* bytes = payloads + slot.offset;
    p = put_bytes(p, bytes, slot.prefix);
    if (slot.has_inputs) p = put_ids(p, n.inputs());
    p = put_bytes(p, bytes + slot.prefix, slot.suffix);
  }
  p = put_ids(p, outputs_);
  expect(p == dest + size_, "the blob fills exactly the measured size");
}

Expected<std::size_t, BlobTooLarge> blob_size(const Snapshot& snap, std::span<const NodeId> outputs) {
  auto w = BlobWriter::prepare(snap, outputs);
  if (!w) return unexpected(w.error());
  return w->size();
}

void write_blob_to(char* dest, std::size_t size, const Snapshot& snap, std::span<const NodeId> outputs) {
  auto w = BlobWriter::prepare(snap, outputs);
  expect(w.has_value() && w->size() == size, "the blob fills exactly the measured size");
  w->write_to(dest);
}

Expected<std::string, BlobTooLarge> write_blob(const Snapshot& snap, std::span<const NodeId> outputs) {
  auto w = BlobWriter::prepare(snap, outputs);
  if (!w) return unexpected(w.error());
  std::string out(w->size(), '\0');
  w->write_to(out.data());
  return out;
}

Expected<std::unique_ptr<Store>, BlobError> read_blob(std::string_view data) {
  return BlobReader(data).run();
}

bool is_valid_utf8(std::string_view text) noexcept {
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
