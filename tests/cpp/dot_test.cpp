// DOT text: the exact lines, labels and escaping, the float text rule, and
// (when Graphviz is installed) acceptance of random graphs by the real `dot`.
#include <gtest/gtest.h>

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "store/dot.h"
#include "test_graphs.h"

using namespace tavrine;
using tavrine::testing::Gen;

namespace {

Node source(std::string name, ParamMap p = {}) { return Node{NodeKind::Source, std::move(name), std::move(p), {}, {}, {}}; }
Node op(std::string name, std::vector<NodeId> in, ParamMap p = {}) {
  return Node{NodeKind::Op, std::move(name), std::move(p), {}, std::move(in), {}};
}
double from_bits(std::uint64_t b) {
  double d;
  std::memcpy(&d, &b, 8);
  return d;
}
std::uint64_t to_bits(double d) {
  std::uint64_t b;
  std::memcpy(&b, &d, 8);
  return b;
}

}  // namespace

TEST(Dot, WorkedExampleAndEmptyStore) {
  Store empty;
  EXPECT_EQ(render_dot(empty.snapshot()), "digraph tavrine {\n}\n");

  Store s;
  ASSERT_TRUE(intern(s, source("x")));
  ASSERT_TRUE(intern(s, op("f", {0})));
  ASSERT_TRUE(s.mark_output(1));
  EXPECT_EQ(render_dot(s.snapshot()),
            "digraph tavrine {\n"
            "  n0 [label=\"Source x\"];\n"
            "  n1 [label=\"Op f\", shape=doublecircle];\n"
            "  n0 -> n1;\n"
            "}\n");
}

TEST(Dot, LabelsOfEveryKind) {
  Store s;
  ASSERT_TRUE(intern(s, source("a\"b")));                                      // 0
  ASSERT_TRUE(intern(s, source("c\\d\ne")));                                   // 1
  ASSERT_TRUE(intern(s, op("mul", {0, 1},
                          ParamMap::sorted({Param{"side", ParamValue::of_str("r")},
                                            Param{"scalar", ParamValue::of_float(0.0)}}))));  // 2
  ASSERT_TRUE(intern(s, Node{NodeKind::Reduction, "sum", ParamMap::sorted({Param{"axis", ParamValue::of_int(-1)},
                                                                          Param{"keep", ParamValue::of_bool(false)}}),
                            {}, {2}, {}}));  // 3
  auto d = std::make_shared<PayloadDescriptor>(PayloadDescriptor{"torch", "ab\"c", "fw", "1.2", "io", std::nullopt});
  ASSERT_TRUE(intern(s, Node{NodeKind::External, "", {}, d, {3}, {}}));  // 4
  ASSERT_TRUE(intern(s, Node{NodeKind::External, "", ParamMap::sorted({Param{"q", ParamValue::of_str("\\")}}), d, {}, {}}));  // 5
  std::vector<StageMember> members(3, StageMember{"nonsense", {}});
  members[1].token = "op|x";
  members[2].token = "zz";
  ASSERT_TRUE(intern(s, Node{NodeKind::Stage, "", {}, {}, {4, 0}, members}));  // 6
  ASSERT_TRUE(intern(s, Node{NodeKind::Exchange, "", {}, {}, {}, {}}));           // 7
  ASSERT_TRUE(intern(s, Node{NodeKind::Exchange, "", ParamMap::sorted({Param{"scheme", ParamValue::of_str("shuffle")}}),
                            {}, {6}, {}}));  // 8
  ASSERT_TRUE(s.mark_output(8));
  ASSERT_TRUE(s.mark_output(3));
  EXPECT_EQ(render_dot(s.snapshot()),
            "digraph tavrine {\n"
            "  n0 [label=\"Source a\\\"b\"];\n"
            "  n1 [label=\"Source c\\\\d\ne\"];\n"
            "  n2 [label=\"Op mul {scalar=0, side=r}\"];\n"
            "  n3 [label=\"Reduction sum {axis=-1, keep=false}\", shape=doublecircle];\n"
            "  n4 [label=\"External torch:ab\\\"c [fw 1.2]\"];\n"
            "  n5 [label=\"External torch:ab\\\"c [fw 1.2] {q=\\\\}\"];\n"
            "  n6 [label=\"Stage[3 members]\"];\n"
            "  n7 [label=\"Exchange\"];\n"
            "  n8 [label=\"Exchange {scheme=shuffle}\", shape=doublecircle];\n"
            "  n0 -> n2;\n"
            "  n1 -> n2;\n"
            "  n2 -> n3;\n"
            "  n3 -> n4;\n"
            "  n4 -> n6;\n"
            "  n0 -> n6;\n"
            "  n6 -> n8;\n"
            "}\n");
}

TEST(Dot, FloatTextExamples) {
  const std::pair<double, const char*> cases[] = {
      {1.0, "1"},
      {0.5, "0.5"},
      {-0.0, "-0"},
      {0.0, "0"},
      {1e21, "1000000000000000000000"},
      {1e22, "10000000000000000000000"},
      {1e23, "100000000000000000000000"},
      {0.1, "0.1"},
      {-2.5, "-2.5"},
      {1e-7, "0.0000001"},
      {123.456, "123.456"},
      {9007199254740993.0, "9007199254740992"},
      {0.3, "0.3"},
      {1.0 / 3.0, "0.3333333333333333"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {from_bits(0x7FF8000000000000ull), "NaN"},
      {from_bits(0xFFF8000000000000ull), "NaN"},
      {from_bits(0x7FF0000000000001ull), "NaN"},
  };
  for (const auto& [v, text] : cases) EXPECT_EQ(format_float_dot(v), text) << to_bits(v);

  EXPECT_EQ(format_float_dot(5e-324), "0." + std::string(323, '0') + "5");
  const std::string max = format_float_dot(DBL_MAX);
  EXPECT_EQ(max.size(), 309u);
  EXPECT_EQ(max.substr(0, 17), "17976931348623157");
  EXPECT_EQ(max.find_first_not_of('0', 17), std::string::npos);
}

// Over many doubles of every magnitude: positional form only, reads back to
// the same bits, and uses exactly as many significant digits as the shortest
// round-trip form.
TEST(Dot, FloatTextProperties) {
  Gen g(2024);
  for (int i = 0; i < 300000; ++i) {
    double v = (i % 3 == 0) ? g.interesting_double() : from_bits(g.bits());
    if (std::isnan(v) || std::isinf(v)) continue;
    const std::string t = format_float_dot(v);
    ASSERT_EQ(t.find_first_of("eE"), std::string::npos) << t;
    ASSERT_EQ(t.find('+'), std::string::npos) << t;
    const double back = std::strtod(t.c_str(), nullptr);
    ASSERT_EQ(to_bits(back), to_bits(v)) << t;
    if (v == std::trunc(v)) ASSERT_EQ(t.find('.'), std::string::npos) << t;
    else ASSERT_NE(t.back(), '0') << t;

    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string sci(buf, r.ptr);
    std::size_t sig_shortest = 0;
    for (char c : sci.substr(0, sci.find('e'))) sig_shortest += (c >= '0' && c <= '9');
    std::string digits;
    for (char c : t) if (c >= '0' && c <= '9') digits += c;
    const std::size_t first = digits.find_first_not_of('0');
    std::size_t sig = 0;
    if (first == std::string::npos) {
      sig = 1;  // zero
    } else {
      std::string core = digits.substr(first);
      if (v == std::trunc(v)) {  // trailing zeros of an integer are placeholders
        while (core.size() > 1 && core.back() == '0') core.pop_back();
      }
      sig = core.size();
    }
    ASSERT_EQ(sig, sig_shortest) << t << " vs " << sci;
  }
}

// Graphviz itself must accept the text of random graphs with every label
// hazard (quotes, backslashes, newlines, unicode).
TEST(Dot, RealGraphvizAcceptsRandomGraphs) {
  if (std::system("command -v dot >/dev/null 2>&1") != 0) GTEST_SKIP() << "graphviz not installed";
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    Gen g(seed);
    auto s = g.store(40, 4);
    const std::string text = render_dot(s->snapshot());
    FILE* p = popen("dot -Tsvg -o /dev/null 2>&1", "w");
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), p), text.size());
    const int status = pclose(p);
    ASSERT_EQ(status, 0) << "seed " << seed << "\n" << text;
  }
}
