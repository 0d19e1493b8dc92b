// Member token parsing (what nodes() shows for stage members) and the output
// flags of a snapshot.
#include <gtest/gtest.h>

#include "store/views.h"
#include "test_graphs.h"

using namespace tavrine;
using tavrine::testing::Gen;

namespace {

std::string verdict(std::string_view token) {
  auto r = parse_member_token(token);
  if (!r) return r.error().message();
  std::string s = std::string(r->kind) + "|" + r->name;
  s += "|" + canonical_param_text(r->params);
  return s;
}

}  // namespace

TEST(MemberToken, Verdicts) {
  EXPECT_EQ(verdict("op|add"), "op|add|");
  EXPECT_EQ(verdict("red|sum|axis=i0"), "red|sum|axis=i0");
  EXPECT_EQ(verdict("op|"), "op||");    // empty name
  EXPECT_EQ(verdict("op|x|"), "op|x|");  // empty third field: no params
  EXPECT_EQ(verdict("op"), "unparseable stage member token op");
  EXPECT_EQ(verdict(""), "unparseable stage member token ");
  EXPECT_EQ(verdict("mul|x"), "unparseable stage member token mul|x");
  EXPECT_EQ(verdict("opx|y"), "unparseable stage member token opx|y");
  EXPECT_EQ(verdict("OP|y"), "unparseable stage member token OP|y");
  EXPECT_EQ(verdict("op|x|bad"), "unparseable stage member token op|x|bad");
  EXPECT_EQ(verdict("op|x|a=i1;"), "unparseable stage member token op|x|a=i1;");
  // The third field keeps further bars, which then spoil its value.
  EXPECT_EQ(verdict("op|f|a=i1|b"), "unparseable stage member token op|f|a=i1|b");
}

TEST(MemberToken, NameIsUnescapedAndParamsDecoded) {
  auto r = parse_member_token("op|a%7Cb%3D%253B|k=sx%7Cy;n=f8000000000000000;t=btrue");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->kind, "op");
  EXPECT_EQ(r->name, "a|b=%3B");
  ASSERT_EQ(r->params.size(), 3u);
  EXPECT_EQ(r->params.entries[0].key, "k");
  EXPECT_EQ(r->params.entries[0].value, ParamValue::of_str("x|y"));
  EXPECT_EQ(r->params.entries[1].value.float_bits(), 0x8000000000000000ull);
  EXPECT_EQ(r->params.entries[2].value, ParamValue::of_bool(true));
}

// Tokens built the way fusion builds them parse back to their parts.
TEST(MemberToken, RoundTripOfBuiltTokens) {
  Gen g(31);
  for (int i = 0; i < 5000; ++i) {
    const bool is_op = g.chance(50);
    const std::string name = g.text(6);
    const ParamMap params = g.params(4);
    std::string token = is_op ? "op|" : "red|";
    append_escaped(token, name);
    if (!params.empty() || g.chance(30)) {
      token += '|';
      token += canonical_param_text(params);
    }
    auto r = parse_member_token(token);
    ASSERT_TRUE(r) << token;
    EXPECT_EQ(r->kind, is_op ? "op" : "red");
    EXPECT_EQ(r->name, name);
    EXPECT_EQ(r->params, params) << token;
  }
}

TEST(OutputMask, FlagsMarkedIds) {
  Store s;
  for (const char* n : {"a", "b", "c", "d"}) ASSERT_TRUE(intern(s, Node{NodeKind::Source, n, {}, {}, {}, {}}));
  ASSERT_TRUE(s.mark_output(3));
  ASSERT_TRUE(s.mark_output(1));
  EXPECT_EQ(output_mask(s.snapshot()), (std::vector<std::uint8_t>{0, 1, 0, 1}));
  // nodes_since carries no marks.
  EXPECT_EQ(output_mask(s.nodes_since(2)), (std::vector<std::uint8_t>{0, 0}));
  EXPECT_TRUE(output_mask(Store().snapshot()).empty());
}
