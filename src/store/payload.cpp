#include "store/payload.h"

#include <stdexcept>
#include <string>

#include "support/hash.h"

namespace tavrine {

// ---- reading ------------------------------------------------------------------

ParamRef::ParamRef(const char* p) noexcept : key(enc::str_at(p)) {
  const char* v = enc::after_str(p);
  const auto tag = static_cast<ParamValue::Tag>(v[0]);
  switch (tag) {
    case ParamValue::Tag::Int:
    case ParamValue::Tag::Float:
      value = ParamValueRef(tag, enc::load_u64(v + 1), {});
      end_ = v + 9;
      return;
    case ParamValue::Tag::Bool:
      value = ParamValueRef(tag, v[1] != 0 ? 1 : 0, {});
      end_ = v + 2;
      return;
    case ParamValue::Tag::Str: break;
  }
  value = ParamValueRef(tag, 0, enc::str_at(v + 1));
  end_ = enc::after_str(v + 1);
}

DescriptorView::DescriptorView(const char* p) noexcept {
  for (int i = 0; i < 5; ++i) {
    f_[i] = enc::str_at(p);
    p = enc::after_str(p);
  }
  has_ref_ = *p++ != 0;
  if (has_ref_) {
    f_[5] = enc::str_at(p);
    p = enc::after_str(p);
  }
  end_ = p;
}

ParamsView PayloadView::params() const noexcept {
  const char* p = bytes_.data();
  switch (kind_) {
    case NodeKind::Source:
    case NodeKind::Op:
    case NodeKind::Reduction: return ParamsView(enc::after_str(p));
    case NodeKind::External: return ParamsView(DescriptorView(p).end_ptr());
    case NodeKind::Exchange: return ParamsView(p);
    case NodeKind::Stage: break;
  }
  return ParamsView();
}

void append_param_text(std::string& out, ParamsView params) {
  bool first = true;
  for (ParamRef p : params) {
    if (!first) out += ';';
    first = false;
    append_escaped(out, p.key);
    out += '=';
    append_param_value_text(out, p.value.tag(), p.value.float_bits(), p.value.as_str());
  }
}

// ---- writing -----------------------------------------------------------------

void PayloadEncoder::too_long(std::uint64_t v) {
  throw std::length_error("a text or list of " + std::to_string(v) + " items is too long to store");
}

void PayloadEncoder::params(const ParamMap& params) {
  u32(params.size());
  for (const Param& p : params.entries) {
    str(p.key);
    const ParamValue& v = p.value;
    u8(static_cast<std::uint8_t>(v.tag()));
    switch (v.tag()) {
      case ParamValue::Tag::Int: u64(static_cast<std::uint64_t>(v.as_int())); break;
      case ParamValue::Tag::Float: u64(v.float_bits()); break;
      case ParamValue::Tag::Bool: u8(v.as_bool() ? 1 : 0); break;
      case ParamValue::Tag::Str: str(v.as_str()); break;
    }
  }
}

void PayloadEncoder::descriptor(const PayloadDescriptor& d) {
  str(d.kind);
  str(d.content_hash);
  str(d.framework);
  str(d.version);
  str(d.io_schema);
  u8(d.preprocessing_ref ? 1 : 0);
  if (d.preprocessing_ref) str(*d.preprocessing_ref);
}

bool has_nan(ParamsView params) noexcept {
  for (ParamRef p : params) {
    if (p.value.tag() == ParamValue::Tag::Float && canonical_nan(p.value.float_bits()) == ParamValue::kCanonicalNan) {
      return true;
    }
  }
  return false;
}

namespace {

// Where a payload's Params block begins (the name or descriptor come
// before it); a Stage has none, and its whole encoding counts.
std::size_t params_offset(const PayloadKey& key) noexcept {
  const char* p = key.bytes.data();
  switch (key.kind) {
    case NodeKind::Source:
    case NodeKind::Op:
    case NodeKind::Reduction: return static_cast<std::size_t>(enc::after_str(p) - p);
    case NodeKind::External: return static_cast<std::size_t>(DescriptorView(p).end_ptr() - p);
    case NodeKind::Exchange: return 0;
    case NodeKind::Stage: break;
  }
  return key.bytes.size();
}

}  // namespace

// A payload without a NaN hashes as its bytes. One with a NaN (which only
// ever equals another with a NaN) hashes entry by entry with its Floats
// canonical, so that the NaN's sign and payload bits do not count.
std::uint64_t payload_hash(std::uint64_t seed, const PayloadKey& key) {
  std::uint64_t h = detail::combine(seed, static_cast<std::uint64_t>(key.kind) + 1);
  if (!key.has_nan) [[likely]] return detail::mix64(detail::hash_bytes(h, key.bytes));
  const ParamsView params = key.view().params();
  h = detail::combine(h, 0x6e616e);
  h = detail::hash_bytes(h, key.bytes.substr(0, params_offset(key)));
  for (ParamRef p : params) {
    h = detail::hash_bytes(h, p.key);
    h = detail::combine(h, static_cast<std::uint64_t>(p.value.tag()));
    h = p.value.tag() == ParamValue::Tag::Str ? detail::hash_bytes(h, p.value.as_str())
                                              : detail::combine(h, p.value.canonical_float_bits());
  }
  return detail::mix64(h);
}

bool payload_equal_slow(const PayloadKey& a, const PayloadKey& b) noexcept {
  // Equal up to the NaNs: the same bytes before the params, then entry by
  // entry with Floats compared canonically.
  const std::size_t off = params_offset(a);
  if (off != params_offset(b) || std::memcmp(a.bytes.data(), b.bytes.data(), off) != 0) return false;
  const ParamsView pa = a.view().params(), pb = b.view().params();
  if (pa.size() != pb.size()) return false;
  for (auto ia = pa.begin(), ib = pb.begin(); ia != pa.end(); ++ia, ++ib) {
    const ParamRef x = *ia, y = *ib;
    if (x.key != y.key || x.value.tag() != y.value.tag()) return false;
    const bool same = x.value.tag() == ParamValue::Tag::Str ? x.value.as_str() == y.value.as_str()
                                                            : x.value.canonical_float_bits() == y.value.canonical_float_bits();
    if (!same) return false;
  }
  return true;
}

// ---- interning -------------------------------------------------------------------

std::pair<std::uint32_t, bool> PayloadInterner::intern(std::uint64_t hash, const PayloadKey& key) {
  const std::size_t found = find(hash, key);
  if (found != npos) return {static_cast<std::uint32_t>(found), false};
  return {add(hash, key), true};
}

std::uint32_t PayloadInterner::add(std::uint64_t hash, const PayloadKey& key) {
  // The copy is made before the record is published; if the record cannot
  // be published the copy is only unused arena space.
  const char* bytes = arena_.copy(std::span<const char>(key.bytes));
  const std::size_t id = ix_.add(hash, [&] {
    return PayloadRec{bytes, static_cast<std::uint32_t>(key.bytes.size()), key.kind, key.has_nan};
  });
  return static_cast<std::uint32_t>(id);
}

}  // namespace tavrine
