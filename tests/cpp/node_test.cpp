// The node model: parameter value identity, escaping, the canonical
// parameter text and its parser, and node equality.
#include <gtest/gtest.h>

#include "store/payload.h"
#include "test_graphs.h"

using namespace tavrine;
using tavrine::testing::Gen;

namespace {

ParamMap map_of(std::vector<Param> entries) { return ParamMap::sorted(std::move(entries)); }
Param p(std::string key, ParamValue v) { return Param{std::move(key), std::move(v)}; }

std::string parsed(std::string_view text) {
  auto m = parse_param_text(text);
  return m ? "ok:" + canonical_param_text(*m) : "unparseable";
}

}  // namespace

TEST(ParamValue, VariantsAndFloatIdentity) {
  const ParamValue vals[] = {ParamValue::of_int(1), ParamValue::of_float(1.0), ParamValue::of_bool(true),
                             ParamValue::of_str("1")};
  for (std::size_t i = 0; i < 4; ++i)
    for (std::size_t j = 0; j < 4; ++j) EXPECT_EQ(vals[i] == vals[j], i == j) << i << "," << j;

  EXPECT_NE(ParamValue::of_float(0.0), ParamValue::of_float(-0.0));
  const ParamValue nan1 = ParamValue::of_float_bits(0x7FF8000000000000ull);
  const ParamValue nan2 = ParamValue::of_float_bits(0xFFF0000000000123ull);
  EXPECT_EQ(nan1, nan2);
  EXPECT_EQ(nan2.float_bits(), 0xFFF0000000000123ull);  // stored bits untouched
  EXPECT_NE(nan1, ParamValue::of_float(std::numeric_limits<double>::infinity()));
  EXPECT_EQ(ParamValue::of_int(-1).as_int(), -1);
}

TEST(Escaping, RulesAndInverse) {
  EXPECT_EQ(escape("a%b;c=d|e"), "a%25b%3Bc%3Dd%7Ce");
  EXPECT_EQ(escape("%3B"), "%253B");
  EXPECT_EQ(unescape("%253B"), "%3B");
  EXPECT_EQ(escape(" é\n\x01\"\\"), " é\n\x01\"\\");
  EXPECT_EQ(unescape("%41%2x%"), "%41%2x%");  // other sequences pass through
  EXPECT_EQ(unescape("%7C%3D%3B%25"), "|=;%");
  EXPECT_EQ(unescape("%257C"), "%7C");

  Gen g(5);
  for (int i = 0; i < 20000; ++i) {
    const std::string s = g.text(10);
    const std::string e = escape(s);
    ASSERT_EQ(e.find_first_of(";=|"), std::string::npos) << e;
    ASSERT_EQ(unescape(e), s);
  }
}

TEST(CanonicalText, Examples) {
  EXPECT_EQ(canonical_param_text({}), "");
  EXPECT_EQ(canonical_param_text(map_of({p("side", ParamValue::of_str("r")), p("scalar", ParamValue::of_float(0.0))})),
            "scalar=f0000000000000000;side=sr");
  EXPECT_EQ(canonical_param_text(map_of({p("scalar", ParamValue::of_float(1.0)), p("side", ParamValue::of_str("r"))})),
            "scalar=f3ff0000000000000;side=sr");
  EXPECT_EQ(canonical_param_text(map_of({p("b", ParamValue::of_int(1)), p("a", ParamValue::of_int(2))})), "a=i2;b=i1");
  EXPECT_EQ(canonical_param_text(map_of({p("v", ParamValue::of_float(-0.0))})), "v=f8000000000000000");
  EXPECT_EQ(canonical_param_text(map_of({p("v", ParamValue::of_float_bits(0xFFF0000000000001ull))})),
            "v=f7ff8000000000000");
  EXPECT_EQ(canonical_param_text(map_of({p("v", ParamValue::of_int(1))})), "v=i1");
  EXPECT_EQ(canonical_param_text(map_of({p("v", ParamValue::of_bool(true))})), "v=btrue");
  EXPECT_EQ(canonical_param_text(map_of({p("v", ParamValue::of_bool(false))})), "v=bfalse");
  EXPECT_EQ(canonical_param_text(map_of({p("v", ParamValue::of_str("1"))})), "v=s1");
  EXPECT_EQ(canonical_param_text(map_of({p("v", ParamValue::of_int(INT64_MIN))})), "v=i-9223372036854775808");
  EXPECT_EQ(canonical_param_text(map_of({p("k;=", ParamValue::of_str("%|"))})), "k%3B%3D=s%25%7C");
  // Key order is byte order, a prefix first.
  EXPECT_EQ(canonical_param_text(map_of({p("é", ParamValue::of_int(1)), p("ab", ParamValue::of_int(2)),
                                         p("a", ParamValue::of_int(3)), p("z", ParamValue::of_int(4))})),
            "a=i3;ab=i2;z=i4;é=i1");
}

TEST(CanonicalText, ParserVerdicts) {
  EXPECT_EQ(parsed(""), "ok:");
  EXPECT_EQ(parsed("a=i1;"), "unparseable");
  EXPECT_EQ(parsed(";a=i1"), "unparseable");
  EXPECT_EQ(parsed("a"), "unparseable");
  EXPECT_EQ(parsed("a=x1"), "unparseable");
  EXPECT_EQ(parsed("a="), "unparseable");
  EXPECT_EQ(parsed("a=i"), "unparseable");
  EXPECT_EQ(parsed("a=i+"), "unparseable");
  EXPECT_EQ(parsed("a=i-"), "unparseable");
  EXPECT_EQ(parsed("a=i+5"), "ok:a=i5");
  EXPECT_EQ(parsed("a=i-0"), "ok:a=i0");
  EXPECT_EQ(parsed("a=i007"), "ok:a=i7");
  EXPECT_EQ(parsed("a=i1x"), "unparseable");
  EXPECT_EQ(parsed("a=i 1"), "unparseable");
  EXPECT_EQ(parsed("a=i9223372036854775807"), "ok:a=i9223372036854775807");
  EXPECT_EQ(parsed("a=i9223372036854775808"), "unparseable");
  EXPECT_EQ(parsed("a=i-9223372036854775808"), "ok:a=i-9223372036854775808");
  EXPECT_EQ(parsed("a=i-9223372036854775809"), "unparseable");
  EXPECT_EQ(parsed("a=i99999999999999999999999"), "unparseable");
  EXPECT_EQ(parsed("a=f+1"), "ok:a=f0000000000000001");
  EXPECT_EQ(parsed("a=f"), "unparseable");
  EXPECT_EQ(parsed("a=f+"), "unparseable");
  EXPECT_EQ(parsed("a=f-1"), "unparseable");
  EXPECT_EQ(parsed("a=fFFFFFFFFFFFFFFFF"), "ok:a=f7ff8000000000000");  // a NaN, written canonically
  EXPECT_EQ(parsed("a=f3FF0000000000000"), "ok:a=f3ff0000000000000");
  EXPECT_EQ(parsed("a=f00000000000000000003ff0000000000000"), "ok:a=f3ff0000000000000");
  EXPECT_EQ(parsed("a=f10000000000000000"), "unparseable");  // 2^64
  EXPECT_EQ(parsed("a=fg"), "unparseable");
  EXPECT_EQ(parsed("a=btrue"), "ok:a=btrue");
  EXPECT_EQ(parsed("a=bfalse"), "ok:a=bfalse");
  EXPECT_EQ(parsed("a=bTrue"), "unparseable");
  EXPECT_EQ(parsed("a=b"), "unparseable");
  EXPECT_EQ(parsed("a=btruex"), "unparseable");
  EXPECT_EQ(parsed("a=s"), "ok:a=s");
  EXPECT_EQ(parsed("a=sx=y"), "ok:a=sx%3Dy");
  EXPECT_EQ(parsed("=i1"), "ok:=i1");  // empty key
  EXPECT_EQ(parsed("a=\xc3\xa9" "1"), "unparseable");  // multi-byte selector
  EXPECT_EQ(parsed("a%3Db=s%7C"), "ok:a%3Db=s%7C");
  // Sorted after reading; repeated keys stay, in text order.
  EXPECT_EQ(parsed("b=i1;a=i2"), "ok:a=i2;b=i1");
  EXPECT_EQ(parsed("a=i2;b=i0;a=i1"), "ok:a=i2;a=i1;b=i0");

  auto sx = parse_param_text("a=sx=y");
  ASSERT_TRUE(sx);
  EXPECT_EQ(sx->entries[0].value, ParamValue::of_str("x=y"));
  auto f = parse_param_text("a=f+1");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->entries[0].value.float_bits(), 1u);
  // No NaN replacement on reading.
  auto nan = parse_param_text("a=ffff0000000000001");
  ASSERT_TRUE(nan);
  EXPECT_EQ(nan->entries[0].value.float_bits(), 0xFFF0000000000001ull);
}

// Property: text -> map -> text is the identity on canonical texts, and
// equal maps (NaNs included) have equal texts, different maps different ones.
TEST(CanonicalText, RoundTripOfRandomMaps) {
  Gen g(17);
  std::vector<std::pair<ParamMap, std::string>> seen;
  for (int i = 0; i < 20000; ++i) {
    ParamMap m = g.params(5);
    const std::string text = canonical_param_text(m);
    auto back = parse_param_text(text);
    ASSERT_TRUE(back) << text;
    ASSERT_EQ(*back, m) << text;
    ASSERT_EQ(canonical_param_text(*back), text);
    if (i < 1500) seen.emplace_back(std::move(m), text);
  }
  for (std::size_t i = 0; i < seen.size(); ++i)
    for (std::size_t j = i + 1; j < seen.size(); ++j)
      ASSERT_EQ(seen[i].first == seen[j].first, seen[i].second == seen[j].second) << seen[i].second;
}

TEST(NodeEquality, FieldsOfTheKind) {
  auto d = [](std::optional<std::string> pre) {
    return std::make_shared<PayloadDescriptor>(PayloadDescriptor{"k", "h", "f", "v", "io", std::move(pre)});
  };
  Node absent{NodeKind::External, "", {}, d(std::nullopt), {}, {}};
  Node empty{NodeKind::External, "", {}, d(std::string()), {}, {}};
  EXPECT_NE(absent, empty);
  EXPECT_EQ(absent, (Node{NodeKind::External, "", {}, d(std::nullopt), {}, {}}));

  Node a{NodeKind::Op, "add", {}, {}, {0, 1}, {}};
  Node b{NodeKind::Op, "add", {}, {}, {1, 0}, {}};
  EXPECT_NE(a, b);
  Node red = a;
  red.kind = NodeKind::Reduction;
  EXPECT_NE(a, red);
  Node k1{NodeKind::Op, "f", map_of({p("k", ParamValue::of_int(1))}), {}, {}, {}};
  Node k2{NodeKind::Op, "f", map_of({p("k", ParamValue::of_float(1.0))}), {}, {}, {}};
  EXPECT_NE(k1, k2);
  Node n1{NodeKind::Source, "x", map_of({p("v", ParamValue::of_float_bits(0x7FF8000000000001ull))}), {}, {}, {}};
  Node n2{NodeKind::Source, "x", map_of({p("v", ParamValue::of_float_bits(0xFFF8000000000000ull))}), {}, {}, {}};
  EXPECT_EQ(n1, n2);

  Node s1{NodeKind::Stage, "", {}, {}, {0}, {StageMember{"op|f", {StageRef{StageRef::Kind::Input, 0}}}}};
  Node s2 = s1;
  s2.members[0].refs[0].kind = StageRef::Kind::Member;
  EXPECT_NE(s1, s2);
  Node s3 = s1;
  s3.members[0].token = "op|g";
  EXPECT_NE(s1, s3);
}

// The member encoder writes the documented Stage layout after whatever the
// buffer already holds, with the count in front of its own members.
TEST(MemberEncoder, LayoutAfterAPrefixAndReadBack) {
  std::string out = "xy";
  MemberEncoder enc(out);
  enc.member("op|add", 2);
  enc.ref(StageRef::Kind::Input, 0);
  enc.ref(StageRef::Kind::Input, 0x0102030405ull);
  enc.member("red|sum", 1);
  enc.ref(StageRef::Kind::Member, 0);
  enc.finish();
  const std::string want = std::string("xy") + std::string("\x02\0\0\0", 4) +       // two members
                           std::string("\x06\0\0\0op|add\x02\0\0\0", 14) +           // token, two refs
                           std::string("\0\0\0\0\0\0\0\0\0", 9) +                    // input 0
                           std::string("\0\x05\x04\x03\x02\x01\0\0\0", 9) +          // input 0x0102030405
                           std::string("\x07\0\0\0red|sum\x01\0\0\0", 15) +          // token, one ref
                           std::string("\x01\0\0\0\0\0\0\0\0", 9);                   // member 0
  EXPECT_EQ(out, want);

  const PayloadView view(NodeKind::Stage, std::string_view(out).substr(2));
  std::vector<StageMember> back;
  for (MemberRef m : view.members()) {
    StageMember sm{std::string(m.token()), {}};
    for (std::uint32_t r = 0; r < m.ref_count(); ++r) sm.refs.push_back(m.ref(r));
    back.push_back(sm);
  }
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].token, "op|add");
  EXPECT_EQ(back[0].refs, (std::vector<StageRef>{{StageRef::Kind::Input, 0}, {StageRef::Kind::Input, 0x0102030405ull}}));
  EXPECT_EQ(back[1].refs, (std::vector<StageRef>{{StageRef::Kind::Member, 0}}));

  std::string none;
  MemberEncoder empty(none);
  empty.finish();
  EXPECT_EQ(none, std::string("\0\0\0\0", 4));
}
