#pragma once
// The values a recorded graph is made of: six node kinds, parameter maps,
// payload descriptors and the parts of a fused stage. All of them are plain
// value types; nodes refer to other nodes only by id.
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavrine {

// Position of a node in its store, handed out densely from 0.
using NodeId = std::uint64_t;

// Fixed indices: the blob format stores them.
enum class NodeKind : std::uint8_t {
  Source = 0,
  Op = 1,
  Reduction = 2,
  External = 3,
  Stage = 4,
  Exchange = 5,
};
inline constexpr int kNodeKindCount = 6;

// "source", "op", "reduction", "external", "stage", "exchange".
std::string_view kind_name(NodeKind kind) noexcept;
// Source, Op and Reduction carry a name.
inline bool kind_has_name(NodeKind k) noexcept {
  return k == NodeKind::Source || k == NodeKind::Op || k == NodeKind::Reduction;
}

// The bits identity uses for a Float: every NaN (any sign, any payload) as
// the canonical quiet NaN.
inline std::uint64_t canonical_nan(std::uint64_t bits) noexcept {
  const bool nan = (bits & 0x7FF0000000000000ull) == 0x7FF0000000000000ull && (bits & 0x000FFFFFFFFFFFFFull) != 0;
  return nan ? 0x7FF8000000000000ull : bits;
}

// The variant of a parameter value and its 64 bits: the integer, the
// Float's exact bit pattern, or the truth value (a Str's text is kept by
// the value classes below).
class ParamBits {
 public:
  enum class Tag : std::uint8_t { Int = 0, Float = 1, Bool = 2, Str = 3 };
  static constexpr std::uint64_t kCanonicalNan = 0x7FF8000000000000ull;

  Tag tag() const noexcept { return tag_; }
  std::int64_t as_int() const noexcept { return static_cast<std::int64_t>(bits_); }
  double as_float() const noexcept {
    double d;
    std::memcpy(&d, &bits_, sizeof d);
    return d;
  }
  // The stored pattern, NaN payloads included.
  std::uint64_t float_bits() const noexcept { return bits_; }
  // The pattern identity uses: every NaN replaced by the canonical NaN.
  std::uint64_t canonical_float_bits() const noexcept { return canonical_nan(bits_); }
  bool as_bool() const noexcept { return bits_ != 0; }

 protected:
  ParamBits() noexcept = default;
  ParamBits(Tag t, std::uint64_t bits) noexcept : tag_(t), bits_(bits) {}
  Tag tag_ = Tag::Int;
  std::uint64_t bits_ = 0;
};

// One parameter value. The four variants are distinct values: Int 1, Float
// 1.0, Bool true and Str "1" never compare equal. A Float keeps its exact bit
// pattern; equality and hashing treat every NaN as the canonical quiet NaN,
// and -0.0 differs from 0.0.
class ParamValue : public ParamBits {
 public:
  ParamValue() = default;
  static ParamValue of_int(std::int64_t v) { return ParamValue(Tag::Int, static_cast<std::uint64_t>(v)); }
  static ParamValue of_float(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return ParamValue(Tag::Float, bits);
  }
  static ParamValue of_float_bits(std::uint64_t bits) { return ParamValue(Tag::Float, bits); }
  static ParamValue of_bool(bool v) { return ParamValue(Tag::Bool, v ? 1 : 0); }
  static ParamValue of_str(std::string v) {
    ParamValue p(Tag::Str, 0);
    p.str_ = std::move(v);
    return p;
  }

  const std::string& as_str() const noexcept { return str_; }

  friend bool operator==(const ParamValue& a, const ParamValue& b) noexcept {
    if (a.tag_ != b.tag_) return false;
    switch (a.tag_) {
      case Tag::Float: return a.canonical_float_bits() == b.canonical_float_bits();
      case Tag::Str: return a.str_ == b.str_;
      default: return a.bits_ == b.bits_;
    }
  }

 private:
  ParamValue(Tag t, std::uint64_t bits) : ParamBits(t, bits) {}
  std::string str_;
};

struct Param {
  std::string key;
  ParamValue value;
  friend bool operator==(const Param&, const Param&) = default;
};

// Entries sorted by the keys' UTF-8 bytes (a prefix sorts first), with a
// stable sort: repeated keys, which only foreign readers can produce, keep
// their reading order.
struct ParamMap {
  std::vector<Param> entries;

  static ParamMap sorted(std::vector<Param> entries);
  bool empty() const noexcept { return entries.empty(); }
  std::size_t size() const noexcept { return entries.size(); }
  friend bool operator==(const ParamMap&, const ParamMap&) = default;
};

// Reproducibility record of an External node; part of its identity. An
// absent preprocessing_ref differs from the empty text.
struct PayloadDescriptor {
  std::string kind;
  std::string content_hash;
  std::string framework;
  std::string version;
  std::string io_schema;
  std::optional<std::string> preprocessing_ref;
  friend bool operator==(const PayloadDescriptor&, const PayloadDescriptor&) = default;
};

// An argument of a stage member: an index into the Stage's inputs, or the
// index of an earlier member of the same Stage.
struct StageRef {
  enum class Kind : std::uint8_t { Input = 0, Member = 1 };
  Kind kind = Kind::Input;
  std::uint64_t index = 0;
  friend bool operator==(const StageRef&, const StageRef&) = default;
};

// One fused operation: its symbol text ("op|..." or "red|...") and its
// arguments.
struct StageMember {
  std::string token;
  std::vector<StageRef> refs;
  friend bool operator==(const StageMember&, const StageMember&) = default;
};

// A node as a plain value. Only the fields of its kind are meaningful:
//   Source    name, params
//   Op        name, params, inputs
//   Reduction name, params, inputs
//   External  descriptor, params, inputs
//   Stage     inputs, members
//   Exchange  params, inputs
// The descriptor is immutable and shared, so copying a node stays cheap.
struct Node {
  NodeKind kind = NodeKind::Source;
  std::string name;
  ParamMap params;
  std::shared_ptr<const PayloadDescriptor> descriptor;
  std::vector<NodeId> inputs;
  std::vector<StageMember> members;

  // Structural identity: same kind and equal fields of that kind.
  friend bool operator==(const Node& a, const Node& b);
};

// ---- canonical parameter text -------------------------------------------

// "%" -> "%25", ";" -> "%3B", "=" -> "%3D", "|" -> "%7C"; nothing else.
void append_escaped(std::string& out, std::string_view text);
std::string escape(std::string_view text);
// Exact inverse of `escape`; other "%" sequences pass through.
std::string unescape(std::string_view text);

// One value's text in the canonical parameter text "key=value;..."
// (append_param_text, payload.h): i<decimal>, f<16 hex digits, NaN
// canonical>, btrue/bfalse, s<escaped text>. `bits` is the integer, the
// Float's bits or the truth value, `str` the Str's text.
void append_param_value_text(std::string& out, ParamValue::Tag tag, std::uint64_t bits, std::string_view str);
// The inverse of the canonical parameter text; std::nullopt is the verdict
// "unparseable".
std::optional<ParamMap> parse_param_text(std::string_view text);

}  // namespace tavrine
