// The s-expression reader and the pattern term it builds.
#include <gtest/gtest.h>

#include <string>

#include "egraph/egraph.h"
#include "test_symbols.h"

namespace egraph {
namespace {

PatternTerm parse_ok(std::string_view text) {
  auto r = parse_pattern_term(text, test::symbols());
  if (!r) {
    ADD_FAILURE() << "parse of '" << text << "' failed: " << r.error().debug();
    return {};
  }
  return std::move(r).value();
}

PatternError parse_err(std::string_view text) {
  auto r = parse_pattern_term(text, test::symbols());
  if (r) {
    ADD_FAILURE() << "parse of '" << text << "' succeeded";
    return {};
  }
  return r.error();
}

using test::S;

TEST(Reader, BinaryPatternIsTwoVarsThenTheRoot) {
  const PatternTerm t = parse_ok("(op|add ?a ?b)");
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0], PatternElem::var(S("?a")));
  EXPECT_EQ(t[1], PatternElem::var(S("?b")));
  EXPECT_EQ(t[2], PatternElem::enode(S("op|add"), std::vector<ClassId>{0, 1}));
}

TEST(Reader, RepeatedVariableIsNotShared) {
  const PatternTerm t = parse_ok("(op|mul ?x ?x)");
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0], PatternElem::var(S("?x")));
  EXPECT_EQ(t[1], PatternElem::var(S("?x")));
  EXPECT_EQ(t[2].children, (IdList{0, 1}));
}

TEST(Reader, WholeSymbolTextsWithSeparators) {
  const PatternTerm t = parse_ok("(op|add|scalar=f0000000000000000;side=sr ?x)");
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(test::text_of(t[1].sym), "op|add|scalar=f0000000000000000;side=sr");
}

TEST(Reader, AtomsVariablesAndTheLoneQuestionMark) {
  PatternTerm t = parse_ok("?x");
  ASSERT_EQ(t.size(), 1u);
  EXPECT_TRUE(t[0].is_var());
  t = parse_ok("?");
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0], PatternElem::enode(S("?"), {}));
  t = parse_ok("leaf");
  EXPECT_EQ(t[0], PatternElem::enode(S("leaf"), {}));
  // A variable head without arguments is just that variable.
  t = parse_ok("(?y)");
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0], PatternElem::var(S("?y")));
}

TEST(Reader, NestedTermsAreBuiltChildrenFirst) {
  const PatternTerm t = parse_ok("(f (g ?x) ?x b)");
  ASSERT_EQ(t.size(), 5u);
  EXPECT_EQ(t[0], PatternElem::var(S("?x")));
  EXPECT_EQ(t[1], PatternElem::enode(S("g"), std::vector<ClassId>{0}));
  EXPECT_EQ(t[2], PatternElem::var(S("?x")));
  EXPECT_EQ(t[3], PatternElem::enode(S("b"), {}));
  EXPECT_EQ(t[4], PatternElem::enode(S("f"), std::vector<ClassId>{1, 2, 3}));
  // A symbol carries no text: the term prints with its symbols' values.
  auto v = [](std::string_view text) { return std::to_string(S(text).value()); };
  EXPECT_EQ(to_sexp(t), "(" + v("f") + " (" + v("g") + " " + v("?x") + ") " + v("?x") + " " + v("b") + ")");
}

TEST(Reader, WhiteSpaceRules) {
  // Unicode white space around the text is trimmed (here NBSP, ideographic space, LF).
  EXPECT_EQ(parse_ok("\u00a0\n (f a)\u3000\t").size(), 2u);
  // Line feeds and carriage returns separate list elements.
  EXPECT_EQ(parse_ok("(f\n a\r\n\tb)").size(), 3u);
  // A tab inside an atom belongs to the atom.
  const PatternTerm t = parse_ok("(f\tx)");
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(test::text_of(t[0].sym), "f\tx");
  // A quoted string is an atom.
  const PatternTerm q = parse_ok("(f \"a b\")");
  ASSERT_EQ(q.size(), 2u);
  EXPECT_EQ(test::text_of(q[0].sym), "a b");
}

TEST(Reader, Errors) {
  EXPECT_EQ(parse_err("").kind, PatternError::Kind::EmptySexp);
  EXPECT_EQ(parse_err(" \t\n\u2003").kind, PatternError::Kind::EmptySexp);
  EXPECT_EQ(parse_err("()").kind, PatternError::Kind::EmptySexp);
  EXPECT_EQ(parse_err("(f ())").kind, PatternError::Kind::EmptySexp);
  EXPECT_EQ(parse_err("((a) b)").kind, PatternError::Kind::HeadList);

  PatternError e = parse_err(")");
  EXPECT_EQ(e.kind, PatternError::Kind::BadSexp);
  EXPECT_EQ(e.sexp, (ParseError{"Unexpected )", 1, 1}));
  EXPECT_EQ(e.debug(), "BadSexp(ParseError { msg: \"Unexpected )\", line: 1, col: 1 })");

  e = parse_err("(a b");
  EXPECT_EQ(e.kind, PatternError::Kind::BadSexp);
  EXPECT_EQ(e.sexp.msg, "End of file reached");
  EXPECT_EQ(e.sexp.line, 1u);

  e = parse_err("(a\n  (b");
  EXPECT_EQ(e.sexp.msg, "End of file reached");
  EXPECT_EQ(e.sexp.line, 2u);
  EXPECT_EQ(e.sexp.col, 5u);

  e = parse_err("(f \"open");
  EXPECT_EQ(e.sexp.msg, "End of file reached");

  e = parse_err("(a) b");
  EXPECT_EQ(e.kind, PatternError::Kind::BadSexp);
  EXPECT_EQ(e.sexp.msg.rfind("expected ", 0), 0u);

  e = parse_err("(?x a)");
  EXPECT_EQ(e.kind, PatternError::Kind::BadOp);
  EXPECT_EQ(e.text, "?x");
  EXPECT_EQ(e.debug(), "BadOp(UnexpectedVar(\"?x\"))");

  EXPECT_EQ(parse_err("((a) b)").debug(), "HeadList(List([List([String(\"a\")]), String(\"b\")]))");
  EXPECT_EQ(parse_err("").debug(), "EmptySexp");
}

TEST(Reader, VariablesNeedTheQuestionMark) {
  auto v = parse_var("x", test::symbols());
  ASSERT_FALSE(v.has_value());
  EXPECT_EQ(v.error().kind, PatternError::Kind::BadVar);
  EXPECT_EQ(v.error().debug(), "BadVar(MissingQuestionMark(\"x\"))");
  auto ok = parse_var("?x", test::symbols());
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(*ok, S("?x"));
}

TEST(Reader, ParseOrPanicCarriesTheDebugText) {
  try {
    test::P(")");
    FAIL() << "expected Panic";
  } catch (const tavrine::Panic& f) {
    EXPECT_STREQ(f.what(), "BadSexp(ParseError { msg: \"Unexpected )\", line: 1, col: 1 })");
  }
}

}  // namespace
}  // namespace egraph
