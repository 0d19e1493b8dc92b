#include "blob/blob.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "store/panic.h"

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

// One growing output buffer; fields are appended and never patched.
class ByteSink {
 public:
  explicit ByteSink(std::size_t hint) { buf_.resize(std::max<std::size_t>(hint, 64)); }

  char* room(std::size_t n) {
    if (buf_.size() - len_ < n) [[unlikely]]
      buf_.resize(std::max(buf_.size() * 2, len_ + n));
    return buf_.data() + len_;
  }
  void u8(std::uint8_t v) {
    *room(1) = static_cast<char>(v);
    len_ += 1;
  }
  void u32(std::uint32_t v) {
    put_le32(room(4), v);
    len_ += 4;
  }
  void u64(std::uint64_t v) {
    put_le64(room(8), v);
    len_ += 8;
  }
  void bytes(const char* data, std::size_t n) {
    if (n != 0) std::memcpy(room(n), data, n);
    len_ += n;
  }
  std::string finish() && {
    buf_.resize(len_);
    return std::move(buf_);
  }

 private:
  std::string buf_;
  std::size_t len_ = 0;
};

class BlobWriter {
 public:
  explicit BlobWriter(std::size_t hint) : out_(hint) {}

  bool count(std::uint64_t n, const char* what) {
    if (n > kU32Max) [[unlikely]] {
      error_ = BlobTooLarge{what, n};
      return false;
    }
    out_.u32(static_cast<std::uint32_t>(n));
    return true;
  }
  bool str(std::string_view s) {
    if (!count(s.size(), "string length")) return false;
    out_.bytes(s.data(), s.size());
    return true;
  }
  bool params(const ParamMap& params) {
    if (!count(params.size(), "param count")) return false;
    for (const Param& p : params.entries) {
      if (!str(p.key)) return false;
      const ParamValue& v = p.value;
      out_.u8(static_cast<std::uint8_t>(v.tag()));
      switch (v.tag()) {
        case ParamValue::Tag::Int: out_.u64(static_cast<std::uint64_t>(v.as_int())); break;
        case ParamValue::Tag::Float: out_.u64(v.float_bits()); break;
        case ParamValue::Tag::Bool: out_.u8(v.as_bool() ? 1 : 0); break;
        case ParamValue::Tag::Str:
          if (!str(v.as_str())) return false;
          break;
      }
    }
    return true;
  }
  bool ids(std::span<const NodeId> ids, const char* what) {
    if (!count(ids.size(), what)) return false;
    if constexpr (std::endian::native == std::endian::little) {
      out_.bytes(reinterpret_cast<const char*>(ids.data()), ids.size() * kIdBytes);
    } else {
      for (NodeId id : ids) out_.u64(id);
    }
    return true;
  }
  bool members(std::span<const StageMember> members) {
    if (!count(members.size(), "member count")) return false;
    for (const StageMember& m : members) {
      if (!str(m.token)) return false;
      if (!count(m.refs.size(), "stage reference count")) return false;
      for (const StageRef& r : m.refs) {
        if (r.index > kU32Max) [[unlikely]] {
          error_ = BlobTooLarge{"stage reference index", r.index};
          return false;
        }
        char rec[kStageRefBytes];
        rec[0] = static_cast<char>(r.kind == StageRef::Kind::Input ? 0 : 1);
        put_le32(rec + 1, static_cast<std::uint32_t>(r.index));
        out_.bytes(rec, kStageRefBytes);
      }
    }
    return true;
  }
  bool node(const NodeView& n) {
    out_.u8(static_cast<std::uint8_t>(n.kind()));
    switch (n.kind()) {
      case NodeKind::Source:
        return str(n.name()) && params(n.params());
      case NodeKind::Op:
      case NodeKind::Reduction:
        return str(n.name()) && params(n.params()) && ids(n.inputs(), "input count");
      case NodeKind::External: {
        const PayloadDescriptor* d = n.descriptor();
        expect(d != nullptr, "external node has a descriptor");
        if (!(str(d->kind) && str(d->content_hash) && str(d->framework) && str(d->version) && str(d->io_schema)))
          return false;
        if (d->preprocessing_ref) {
          out_.u8(1);
          if (!str(*d->preprocessing_ref)) return false;
        } else {
          out_.u8(0);
        }
        return params(n.params()) && ids(n.inputs(), "input count");
      }
      case NodeKind::Stage:
        return ids(n.inputs(), "input count") && members(n.members());
      case NodeKind::Exchange:
        return params(n.params()) && ids(n.inputs(), "input count");
    }
    panic("node kind is one of the six kinds");
  }

  void magic() { out_.bytes(kMagic, 4); }
  const BlobTooLarge& error() const { return error_; }
  std::string finish() && { return std::move(out_).finish(); }

 private:
  ByteSink out_;
  BlobTooLarge error_;
};


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
      inputs_.push_back(id_of_position_[static_cast<std::size_t>(id)]);
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
    id_of_position_.push_back(*id);
    return true;
  }

  bool read_all() {
    if (remaining() < 4) return truncated();
    if (std::memcmp(p_, kMagic, 4) != 0) return fail(Kind::BadMagic);
    if (remaining() < 8) return truncated();
    const std::uint32_t n_records = get_le32(p_ + 4);
    p_ += 8;

    store_ = std::make_unique<Store>();
    id_of_position_.reserve(bounded(n_records, kMinRecordBytes));
    for (std::uint32_t i = 0; i < n_records; ++i) {
      if (!record(i)) return false;
    }

    std::uint32_t n_outputs;
    if (!u32(n_outputs)) return false;
    for (std::uint32_t k = 0; k < n_outputs; ++k) {
      std::uint64_t pos;
      if (!u64(pos)) return false;
      if (pos >= n_records) [[unlikely]] return fail(Kind::NodeRefOutOfRange, pos);
      auto marked = store_->mark_output(id_of_position_[static_cast<std::size_t>(pos)]);
      if (!marked) [[unlikely]] return fail(Kind::NodeRefOutOfRange, marked.error().id);
    }
    return true;  // trailing bytes are not examined
  }

  const unsigned char* p_;
  const unsigned char* end_;
  BlobError error_;
  std::unique_ptr<Store> store_;
  std::vector<NodeId> id_of_position_;  // record position -> id from intern
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

Expected<std::string, BlobTooLarge> write_blob(const Snapshot& snap, std::span<const NodeId> outputs) {
  expect(snap.begin_id() == 0, "a serialized snapshot starts at node 0");
  for (NodeId id : outputs) expect(id < snap.end_id(), "serialized outputs are recorded nodes");

  BlobWriter w(16 + snap.size() * 40 + outputs.size() * kIdBytes);
  w.magic();
  if (!w.count(snap.size(), "node count")) return unexpected(w.error());
  for (NodeId id = 0; id < snap.end_id(); ++id) {
    if (!w.node(snap.node(id))) return unexpected(w.error());
  }
  if (!w.ids(outputs, "output count")) return unexpected(w.error());
  return std::move(w).finish();
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
