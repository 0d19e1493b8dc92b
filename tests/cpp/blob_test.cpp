// The canonical IR blob: exact bytes of the writer, every reader error with
// its message and check order, forged inputs, and round trips of random
// graphs.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>

#include "blob/blob.h"
#include "sanitized.h"
#include "support/blob_bytes.h"
#include "support/owned_node.h"
#include "test_graphs.h"

using namespace tavrine;
using tavrine::testing::Gen;

// ---- allocation probe ------------------------------------------------------
// Records the largest single allocation while armed, so tests can show that
// forged counts never turn into large reservations. Sanitizers bring their
// own allocator, so sanitized builds leave operator new alone (there the
// fuzzer's malloc limit checks the same property).

namespace {
std::atomic<bool> g_probe_armed{false};
std::atomic<std::size_t> g_probe_max{0};
}  // namespace

#ifndef TAVRINE_TEST_SANITIZED
void* operator new(std::size_t n) {
  if (g_probe_armed.load(std::memory_order_relaxed)) {
    std::size_t seen = g_probe_max.load(std::memory_order_relaxed);
    while (n > seen && !g_probe_max.compare_exchange_weak(seen, n)) {
    }
  }
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
// The replacement pair is malloc/free underneath; the compiler cannot see
// that they belong together once it inlines them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace {

using Bytes = tavrine::testing::BlobBytes;

std::string write_all(const Store& s) {
  Snapshot snap = s.snapshot();
  auto blob = write_blob(snap, snap.marks());
  if (!blob) throw std::runtime_error(blob.error().message());
  return std::move(*blob);
}

std::string error_of(std::string_view blob) {
  auto r = read_blob(blob);
  if (r) return "(read fine)";
  return r.error().message();
}

std::unique_ptr<Store> read_ok(std::string_view blob) {
  auto r = read_blob(blob);
  if (!r) throw std::runtime_error("unexpected read error: " + r.error().message());
  return std::move(*r);
}

std::string hex(std::string_view s) {
  static const char* d = "0123456789abcdef";
  std::string h;
  for (unsigned char c : s) {
    h += d[c >> 4];
    h += d[c & 15];
    h += ' ';
  }
  return h;
}

}  // namespace

// ---- writer: exact bytes ---------------------------------------------------

TEST(BlobWriter, WorkedExamples) {
  Store s;
  EXPECT_EQ(write_all(s), std::string("TIR1\0\0\0\0\0\0\0\0", 12));

  ASSERT_TRUE(intern(s, Node{NodeKind::Source, "x", {}, {}, {}, {}}));
  Snapshot snap = s.snapshot();
  const NodeId out[] = {0};
  auto blob = write_blob(snap, out);
  ASSERT_TRUE(blob);
  const unsigned char want[] = {0x54, 0x49, 0x52, 0x31, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0x78, 0, 0, 0, 0,
                                1,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(hex(*blob), hex(std::string_view(reinterpret_cast<const char*>(want), sizeof want)));
}

// Every field of every kind, in the tabled order, spelled out byte by byte.
TEST(BlobWriter, EveryKindLayout) {
  Store s;
  ParamMap p = ParamMap::sorted({Param{"b", ParamValue::of_bool(true)}, Param{"a", ParamValue::of_int(-2)},
                                 Param{"f", ParamValue::of_float(-0.0)}, Param{"s", ParamValue::of_str("é")}});
  ASSERT_EQ(*intern(s, Node{NodeKind::Source, "in", p, {}, {}, {}}), 0u);
  ASSERT_EQ(*intern(s, Node{NodeKind::Op, "add", {}, {}, {0, 0}, {}}), 1u);
  ASSERT_EQ(*intern(s, Node{NodeKind::Reduction, "sum", {}, {}, {1}, {}}), 2u);
  auto d = std::make_shared<PayloadDescriptor>(PayloadDescriptor{"k", "h", "fw", "v", "io", std::nullopt});
  ASSERT_EQ(*intern(s, Node{NodeKind::External, "", {}, d, {2}, {}}), 3u);
  auto d2 = std::make_shared<PayloadDescriptor>(PayloadDescriptor{"k", "h", "fw", "v", "io", std::string("pre")});
  ASSERT_EQ(*intern(s, Node{NodeKind::External, "", {}, d2, {}, {}}), 4u);
  std::vector<StageMember> members = {
      StageMember{"op|neg", {StageRef{StageRef::Kind::Input, 0}}},
      StageMember{"red|sum|axis=i0", {StageRef{StageRef::Kind::Member, 0}, StageRef{StageRef::Kind::Input, 7}}}};
  ASSERT_EQ(*intern(s, Node{NodeKind::Stage, "", {}, {}, {3}, members}), 5u);
  ASSERT_EQ(*intern(s, Node{NodeKind::Exchange, "", {}, {}, {}, {}}), 6u);
  ASSERT_TRUE(s.mark_output(5));
  ASSERT_TRUE(s.mark_output(1));

  Bytes want;
  want.header(7);
  want.u8(0).str("in").u32(4);
  want.str("a").u8(0).u64(static_cast<std::uint64_t>(-2));
  want.str("b").u8(2).u8(1);
  want.str("f").u8(1).u64(0x8000000000000000ull);
  want.str("s").u8(3).str("é");
  want.u8(1).str("add").u32(0).ids({0, 0});
  want.u8(2).str("sum").u32(0).ids({1});
  want.u8(3).str("k").str("h").str("fw").str("v").str("io").u8(0).u32(0).ids({2});
  want.u8(3).str("k").str("h").str("fw").str("v").str("io").u8(1).str("pre").u32(0).ids({});
  want.u8(4).ids({3}).u32(2);
  want.str("op|neg").u32(1).u8(0).u32(0);
  want.str("red|sum|axis=i0").u32(2).u8(1).u32(0).u8(0).u32(7);
  want.u8(5).u32(0).ids({});
  want.ids({5, 1});
  EXPECT_EQ(hex(write_all(s)), hex(want.str()));
}

TEST(BlobWriter, OutputsAreWrittenExactlyAsGiven) {
  Store s;
  for (const char* n : {"a", "b", "c"}) ASSERT_TRUE(intern(s, Node{NodeKind::Source, n, {}, {}, {}, {}}));
  ASSERT_TRUE(s.mark_output(1));
  Snapshot snap = s.snapshot();
  auto tail = [](const std::string& blob, std::size_t n_ids) { return blob.substr(blob.size() - 4 - 8 * n_ids); };

  const NodeId repeats[] = {2, 0, 2};
  auto a = write_blob(snap, repeats);
  ASSERT_TRUE(a);
  EXPECT_EQ(hex(tail(*a, 3)), hex(Bytes().ids({2, 0, 2}).str()));

  auto b = write_blob(snap, {});
  ASSERT_TRUE(b);
  EXPECT_EQ(hex(tail(*b, 0)), hex(Bytes().u32(0).str()));

  auto c = write_blob(snap, snap.marks());
  ASSERT_TRUE(c);
  EXPECT_EQ(hex(tail(*c, 1)), hex(Bytes().ids({1}).str()));

  // Reading the repeated list back yields each mark once, in first order.
  EXPECT_EQ(read_ok(*a)->outputs(), (std::vector<NodeId>{2, 0}));
}

TEST(BlobWriter, RefusesStageIndicesBeyond32Bits) {
  Store s;
  ASSERT_TRUE(intern(s, Node{NodeKind::Source, "x", {}, {}, {}, {}}));
  std::vector<StageMember> members = {StageMember{"op|f", {StageRef{StageRef::Kind::Input, 0x100000000ull}}}};
  ASSERT_TRUE(intern(s, Node{NodeKind::Stage, "", {}, {}, {0}, members}));
  Snapshot snap = s.snapshot();
  auto r = write_blob(snap, {});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(),
            "cannot serialize: stage reference index 4294967296 exceeds the blob format's limit of 4294967295");
}

// The two-step form writes the same bytes into caller memory; nodes sharing
// a payload (same op, different inputs) each get their own input list.
TEST(BlobWriter, TwoStepFormMatches) {
  for (std::uint64_t seed = 1; seed <= 50; ++seed) {
    Gen g(seed * 7919);
    auto s = g.store(80, 4);
    Snapshot snap = s->snapshot();
    auto w = BlobWriter::prepare(snap, snap.marks());
    ASSERT_TRUE(w);
    std::string dest(w->size() + 1, '#');
    w->write_to(dest.data());
    EXPECT_EQ(dest.back(), '#');  // nothing past the measured size
    dest.pop_back();
    EXPECT_EQ(dest, write_all(*s));
  }
  Store s;
  ASSERT_TRUE(intern(s, Node{NodeKind::Source, "x", {}, {}, {}, {}}));
  ASSERT_TRUE(intern(s, Node{NodeKind::Op, "f", {}, {}, {0}, {}}));
  ASSERT_TRUE(intern(s, Node{NodeKind::Op, "f", {}, {}, {1, 0, 1}, {}}));
  EXPECT_EQ(hex(write_all(s)), hex(Bytes().header(3).source("x").op("f", {0}).op("f", {1, 0, 1}).u32(0).str()));
}

// ---- reader: errors, messages, check order --------------------------------

TEST(BlobReader, MagicAndHeader) {
  EXPECT_EQ(error_of(""), "truncated tavrine IR blob");
  EXPECT_EQ(error_of("TIR"), "truncated tavrine IR blob");
  EXPECT_EQ(error_of("XY"), "truncated tavrine IR blob");  // short beats bad magic
  EXPECT_EQ(error_of("TIR1"), "truncated tavrine IR blob");
  EXPECT_EQ(error_of(std::string("TIR1\0\0\0", 7)), "truncated tavrine IR blob");
  EXPECT_EQ(error_of("TIR2"), "not a tavrine IR blob (bad magic/version)");
  EXPECT_EQ(error_of(Bytes().raw("TIR2").u32(0).u32(0)), "not a tavrine IR blob (bad magic/version)");
  EXPECT_EQ(error_of("tir1\0\0\0\0\0\0\0\0"), "not a tavrine IR blob (bad magic/version)");
  EXPECT_EQ(error_of("TIR0garbage"), "not a tavrine IR blob (bad magic/version)");
  // Header fine, output count missing.
  EXPECT_EQ(error_of(Bytes().header(0)), "truncated tavrine IR blob");
  // Empty store.
  auto s = read_ok(Bytes().header(0).u32(0));
  EXPECT_EQ(s->node_count(), 0u);
  EXPECT_TRUE(s->outputs().empty());
}

TEST(BlobReader, BadTags) {
  EXPECT_EQ(error_of(Bytes().header(1).u8(6)), "invalid node tag 6");
  EXPECT_EQ(error_of(Bytes().header(1).u8(255)), "invalid node tag 255");
  EXPECT_EQ(error_of(Bytes().header(1).u8(0).str("x").u32(1).str("k").u8(4)), "invalid param tag 4");
  EXPECT_EQ(error_of(Bytes().header(2).source("x").u8(4).ids({0}).u32(1).str("op|f").u32(1).u8(2).u32(0)),
            "invalid stage-ref tag 2");
  // The tag is checked before the value is needed.
  EXPECT_EQ(error_of(Bytes().header(1).u8(0).str("x").u32(1).str("k").u8(9)), "invalid param tag 9");
  // A stage reference needs all five bytes before its tag is judged.
  EXPECT_EQ(error_of(Bytes().header(2).source("x").u8(4).ids({0}).u32(1).str("op|f").u32(1).u8(2).u8(0).u8(0)),
            "truncated tavrine IR blob");
  // The node tag is read before anything else of the record.
  EXPECT_EQ(error_of(Bytes().header(5)), "truncated tavrine IR blob");
}

TEST(BlobReader, NodeReferences) {
  // Record 3 refers to itself.
  Bytes b;
  b.header(4).source("a").source("b").source("c").op("f", {3});
  EXPECT_EQ(error_of(b), "node reference 3 out of range");
  // A later record: reported with the offending id, and before the rest of
  // the record (even if the rest is missing).
  EXPECT_EQ(error_of(Bytes().header(2).source("a").u8(1).str("f").u32(0).u32(3).u64(0).u64(7)),
            "node reference 7 out of range");
  // Inputs of every kind with inputs are checked against the position.
  EXPECT_EQ(error_of(Bytes().header(1).u8(2).str("r").u32(0).ids({0})), "node reference 0 out of range");
  EXPECT_EQ(error_of(Bytes().header(1).u8(5).u32(0).ids({1})), "node reference 1 out of range");
  EXPECT_EQ(error_of(Bytes().header(1).u8(4).ids({5}).u32(0)), "node reference 5 out of range");
  EXPECT_EQ(error_of(Bytes().header(1).u8(3).str("").str("").str("").str("").str("").u8(0).u32(0).ids({9})),
            "node reference 9 out of range");
  // Member references must name an earlier member; input references are not
  // compared with the stage's input count.
  EXPECT_EQ(error_of(Bytes().header(1).u8(4).ids({}).u32(1).str("op|f").u32(1).u8(1).u32(0)),
            "node reference 0 out of range");
  EXPECT_EQ(error_of(Bytes().header(1).u8(4).ids({}).u32(2).str("op|f").u32(0).str("op|g").u32(1).u8(1).u32(4)),
            "node reference 4 out of range");
  auto s = read_ok(Bytes().header(1).u8(4).ids({}).u32(2).str("op|f").u32(1).u8(0).u32(99).str("op|g").u32(1).u8(1).u32(0).u32(0));
  ASSERT_EQ(s->node_count(), 1u);
  EXPECT_EQ(to_node(s->snapshot().node(0)).members[0].refs[0].index, 99u);
  // Outputs: an id equal to the node count is out of range.
  EXPECT_EQ(error_of(Bytes().header(2).source("a").source("b").ids({1, 2})), "node reference 2 out of range");
  EXPECT_EQ(error_of(Bytes().header(0).ids({0})), "node reference 0 out of range");
}

TEST(BlobReader, Utf8AndTruncation) {
  EXPECT_EQ(error_of(Bytes().header(1).u8(0).str("a\xff").u32(0)), "invalid utf-8 in tavrine IR blob");
  EXPECT_EQ(error_of(Bytes().header(1).u8(0).str("x").u32(1).str("\xc0\x80").u8(0).u64(0)),
            "invalid utf-8 in tavrine IR blob");
  EXPECT_EQ(error_of(Bytes().header(1).u8(0).str("x").u32(1).str("k").u8(3).str("\xed\xa0\x80")),
            "invalid utf-8 in tavrine IR blob");
  EXPECT_EQ(error_of(Bytes().header(1).u8(4).ids({}).u32(1).str("op|\xe2\x82")), "invalid utf-8 in tavrine IR blob");
  // Length past the end is Truncated, even when the bytes present are not UTF-8.
  EXPECT_EQ(error_of(Bytes().header(1).u8(0).u32(5).raw("\xff\xff")), "truncated tavrine IR blob");
  // Records are read in order: an early error wins over a later one.
  EXPECT_EQ(error_of(Bytes().header(2).op("f", {0}).u8(9)), "node reference 0 out of range");
  EXPECT_EQ(error_of(Bytes().header(2).u8(0).str("\xc3").u32(0).op("f", {5})), "invalid utf-8 in tavrine IR blob");
  // Each field of a valid blob, cut anywhere, is Truncated.
  Store s;
  Gen g(7);
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(intern(s, g.node(s.node_count())));
  ASSERT_TRUE(s.mark_output(0));
  std::string blob = write_all(s);
  for (std::size_t cut = 0; cut < blob.size(); ++cut) {
    ASSERT_EQ(error_of(std::string_view(blob).substr(0, cut)), "truncated tavrine IR blob") << "cut at " << cut;
  }
}

TEST(BlobReader, Utf8Validator) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("plain ascii text, long enough for the word path"));
  EXPECT_TRUE(is_valid_utf8("\xc2\x80 \xdf\xbf \xe0\xa0\x80 \xed\x9f\xbf \xee\x80\x80 \xef\xbf\xbf"));
  EXPECT_TRUE(is_valid_utf8("\xf0\x90\x80\x80 \xf4\x8f\xbf\xbf 😀 日本語 é"));
  for (const char* bad : {"\x80", "\xbf", "\xc0\xaf", "\xc1\xbf", "\xc2", "\xc2\x41", "\xe0\x80\xaf", "\xe0\x9f\xbf",
                          "\xed\xa0\x80", "\xed\xbf\xbf", "\xe1\x80", "\xf0\x80\x80\xaf", "\xf0\x8f\xbf\xbf",
                          "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xf8\x88\x80\x80\x80", "\xff", "\xfe",
                          "\xf0\x90\x80", "abcdefgh\xe2\x82"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << hex(bad);
  }
  // Short texts are decided by the words that cover them: one stray byte at
  // any position of any short length is caught.
  for (std::size_t n = 1; n <= 24; ++n) {
    std::string text(n, 'a');
    EXPECT_TRUE(is_valid_utf8(text)) << n;
    for (std::size_t at = 0; at < n; ++at) {
      text[at] = '\x80';
      EXPECT_FALSE(is_valid_utf8(text)) << n << " at " << at;
      text[at] = 'a';
    }
  }
}

TEST(BlobReader, ForgedCountsReserveLittle) {
#ifdef TAVRINE_TEST_SANITIZED
  GTEST_SKIP() << "allocation probe is off under sanitizers";
#endif
  const std::string cases[] = {
      Bytes().header(0xFFFFFFFFu).source("a").str(),
      Bytes().header(1).u8(0).str("x").u32(0xFFFFFFFFu).str("k").u8(0).u64(1).str(),
      Bytes().header(2).source("a").u8(1).str("f").u32(0).u32(0xFFFFFFFFu).u64(0).str(),
      Bytes().header(1).u8(4).ids({}).u32(0xFFFFFFFFu).str("op|f").u32(0).str(),
      Bytes().header(1).u8(4).ids({}).u32(1).str("op|f").u32(0xFFFFFFFFu).u8(0).u32(0).str(),
      Bytes().header(1).source("a").u32(0xFFFFFFFFu).u64(0).str(),
      Bytes().header(1).u8(0).u32(0xFFFFFFFFu).str(),
  };
  for (const std::string& blob : cases) {
    g_probe_max = 0;
    g_probe_armed = true;
    std::string err = error_of(blob);
    g_probe_armed = false;
    EXPECT_EQ(err, "truncated tavrine IR blob") << hex(blob);
    // Far below what the counts claim; a few KiB cover the store's own
    // fixed start-up allocations.
    EXPECT_LT(g_probe_max.load(), 64u * 1024u) << hex(blob);
  }
}

// ---- reader: accepted forms ------------------------------------------------

TEST(BlobReader, LenientForms) {
  // Trailing bytes are ignored.
  Bytes b;
  b.header(1).source("x").ids({0});
  std::string plain = b.str();
  auto s = read_ok(b.raw("trailing junk"));
  EXPECT_EQ(write_all(*s), plain);

  // A bool byte 2 reads as true and is written back as 1.
  auto t = read_ok(Bytes().header(1).u8(0).str("x").u32(1).str("k").u8(2).u8(2).u32(0));
  EXPECT_EQ(to_node(t->snapshot().node(0)).params.entries[0].value, ParamValue::of_bool(true));
  EXPECT_EQ(write_all(*t), Bytes().header(1).u8(0).str("x").u32(1).str("k").u8(2).u8(1).u32(0).str());
  // So does 0xff; 0 stays false.
  auto t2 = read_ok(Bytes().header(1).u8(0).str("x").u32(2).str("a").u8(2).u8(0xff).str("b").u8(2).u8(0).u32(0));
  EXPECT_EQ(write_all(*t2),
            Bytes().header(1).u8(0).str("x").u32(2).str("a").u8(2).u8(1).str("b").u8(2).u8(0).u32(0).str());

  // Params out of key order are sorted on read; the re-serialization
  // differs only in that order. Repeated keys stay in blob order.
  auto u = read_ok(Bytes().header(1).u8(0).str("x").u32(4)
                       .str("b").u8(0).u64(1).str("ab").u8(0).u64(2).str("a").u8(0).u64(3).str("a").u8(0).u64(4)
                       .u32(0));
  EXPECT_EQ(write_all(*u), Bytes().header(1).u8(0).str("x").u32(4)
                               .str("a").u8(0).u64(3).str("a").u8(0).u64(4).str("ab").u8(0).u64(2).str("b").u8(0).u64(1)
                               .u32(0).str());
  // Keys compare as bytes: "é" (c3 a9) sorts after "z".
  auto v = read_ok(Bytes().header(1).u8(0).str("x").u32(2).str("é").u8(0).u64(1).str("z").u8(0).u64(2).u32(0));
  EXPECT_EQ(to_node(v->snapshot().node(0)).params.entries[0].key, "z");

  // Any nonzero presence flag means a preprocessing_ref follows.
  auto w = read_ok(Bytes().header(1).u8(3).str("k").str("h").str("f").str("v").str("io").u8(7).str("").u32(0).ids({}).u32(0));
  ASSERT_TRUE(to_node(w->snapshot().node(0)).descriptor->preprocessing_ref.has_value());
  EXPECT_EQ(*to_node(w->snapshot().node(0)).descriptor->preprocessing_ref, "");

  // The same output twice gives one mark, written once.
  auto x = read_ok(Bytes().header(2).source("a").source("b").ids({1, 0, 1}));
  EXPECT_EQ(x->outputs(), (std::vector<NodeId>{1, 0}));
  EXPECT_EQ(write_all(*x), Bytes().header(2).source("a").source("b").ids({1, 0}).str());
}

// A forged blob repeating a record: later references go through the
// position -> interned id table, so they keep naming the nodes the blob meant.
TEST(BlobReader, RepeatedRecordsAreMappedByPosition) {
  Bytes b;
  b.header(5)
      .source("x")        // position 0 -> id 0
      .source("x")        // position 1 -> repeat of 0
      .source("y")        // position 2 -> id 1
      .op("f", {2, 1})    // position 3 -> id 2, inputs (y, x)
      .op("f", {2, 0});   // position 4 -> the same node as position 3
  auto s = read_ok(Bytes(b).ids({3, 4, 2, 1}));
  ASSERT_EQ(s->node_count(), 3u);
  Snapshot snap = s->snapshot();
  EXPECT_EQ(snap.node(1).name(), "y");
  EXPECT_EQ(snap.node(2).name(), "f");
  EXPECT_EQ(std::vector<NodeId>(snap.node(2).inputs().begin(), snap.node(2).inputs().end()),
            (std::vector<NodeId>{1, 0}));
  // Outputs are positions too: 3 and 4 both name id 2, 2 names id 1, 1 names 0.
  EXPECT_EQ(s->outputs(), (std::vector<NodeId>{2, 1, 0}));
  // The resulting store is ordinary: its blob reads back byte-identically.
  std::string again = write_all(*s);
  EXPECT_EQ(write_all(*read_ok(again)), again);

  // A late first repeat: references to positions before and after it.
  Bytes late;
  late.header(6)
      .source("a")            // 0 -> 0
      .source("b")            // 1 -> 1
      .op("f", {0, 1})        // 2 -> 2
      .source("a")            // 3 -> 0 (repeat)
      .op("g", {2, 3, 1})     // 4 -> 3, inputs (2, 0, 1)
      .op("g", {2, 0, 1});    // 5 -> 3 again
  auto t = read_ok(Bytes(late).ids({3, 5, 4, 2}));
  ASSERT_EQ(t->node_count(), 4u);
  Snapshot tsnap = t->snapshot();
  EXPECT_EQ(std::vector<NodeId>(tsnap.node(3).inputs().begin(), tsnap.node(3).inputs().end()),
            (std::vector<NodeId>{2, 0, 1}));
  EXPECT_EQ(t->outputs(), (std::vector<NodeId>{0, 3, 2}));
  EXPECT_EQ(error_of(Bytes(late).ids({6})), "node reference 6 out of range");

  // A Stage's inputs are mapped like any other's.
  Bytes stage;
  stage.header(5).source("x").source("x").source("y");
  stage.u8(4).ids({2, 1}).u32(1).str("op|f").u32(2).u8(0).u32(0).u8(0).u32(1);  // position 3 -> id 2
  stage.u8(5).u32(0).ids({3});                                                    // position 4 -> id 3
  auto st = read_ok(Bytes(stage).ids({4}));
  Snapshot stsnap = st->snapshot();
  ASSERT_EQ(stsnap.size(), 4u);
  EXPECT_EQ(std::vector<NodeId>(stsnap.node(2).inputs().begin(), stsnap.node(2).inputs().end()),
            (std::vector<NodeId>{1, 0}));
  EXPECT_EQ(std::vector<NodeId>(stsnap.node(3).inputs().begin(), stsnap.node(3).inputs().end()),
            (std::vector<NodeId>{2}));

  // An id not below the record's own position still fails, with that id.
  Bytes c;
  c.header(4).source("x").source("x").source("y").op("f", {3});
  EXPECT_EQ(error_of(c), "node reference 3 out of range");
  // An output position not below the record count fails, with that id.
  EXPECT_EQ(error_of(Bytes(b).ids({5})), "node reference 5 out of range");
}

// ---- round trips ------------------------------------------------------------

TEST(BlobRoundTrip, RandomGraphsAreByteStable) {
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    Gen g(seed);
    auto s = g.store(g.below(60), g.below(5));
    const std::string blob = write_all(*s);
    auto back = read_ok(blob);
    ASSERT_EQ(back->node_count(), s->node_count()) << "seed " << seed;
    ASSERT_EQ(back->outputs(), s->outputs()) << "seed " << seed;
    Snapshot a = s->snapshot(), b = back->snapshot();
    for (NodeId id = 0; id < a.end_id(); ++id) {
      ASSERT_EQ(to_node(a.node(id)), to_node(b.node(id))) << "seed " << seed << " node " << id;
      // Float bits survive exactly (NaN payloads and -0.0 included).
      const auto pa = to_node(a.node(id)).params.entries;
      const auto pb = to_node(b.node(id)).params.entries;
      for (std::size_t k = 0; k < pa.size(); ++k) {
        if (pa[k].value.tag() == ParamValue::Tag::Float) {
          ASSERT_EQ(pa[k].value.float_bits(), pb[k].value.float_bits());
        }
      }
    }
    ASSERT_EQ(write_all(*back), blob) << "seed " << seed;
  }
}

TEST(BlobRoundTrip, ExplicitOutputsAndIndependentBuilders) {
  // Two stores built by the same calls give identical bytes (the index seed
  // never shows).
  Gen g1(99), g2(99);
  auto a = g1.store(200), b = g2.store(200);
  EXPECT_EQ(write_all(*a), write_all(*b));

  Snapshot snap = a->snapshot();
  std::vector<NodeId> outs = {snap.end_id() - 1, 0, snap.end_id() - 1, 3};
  auto blob = write_blob(snap, outs);
  ASSERT_TRUE(blob);
  auto back = read_ok(*blob);
  EXPECT_EQ(back->outputs(), (std::vector<NodeId>{snap.end_id() - 1, 0, 3}));
  // Marks of the source store are neither read nor changed.
  EXPECT_EQ(a->outputs(), b->outputs());
}

TEST(BlobRoundTrip, FloatBitsExact) {
  Store s;
  const std::uint64_t patterns[] = {0x7FF8000000000001ull, 0xFFF8000000000000ull, 0x7FF0000000000001ull,
                                    0x8000000000000000ull, 0x0000000000000000ull, 0x7FF0000000000000ull};
  ParamMap p;
  for (std::uint64_t bits : patterns) {
    p = ParamMap::sorted({Param{"v", ParamValue::of_float_bits(bits)}});
    auto id = intern(s, Node{NodeKind::Source, "x" + std::to_string(bits), p, {}, {}, {}});
    ASSERT_TRUE(id);
  }
  auto back = read_ok(write_all(s));
  Snapshot snap = back->snapshot();
  for (std::size_t i = 0; i < std::size(patterns); ++i) {
    EXPECT_EQ(to_node(snap.node(i)).params.entries[0].value.float_bits(), patterns[i]);
  }
}

// The fuzzer's seed corpus: the err_* seeds stop at the error they are named
// for, all others read and re-serialize stably.
TEST(BlobCorpus, SeedsHaveTheirVerdicts) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(__FILE__).parent_path() / ".." / ".." / "fuzz" / "corpus";
  if (!fs::is_directory(dir)) GTEST_SKIP() << "no seed corpus at " << dir;
  const std::map<std::string, std::string> errors = {
      {"err_short", "truncated tavrine IR blob"},
      {"err_magic", "not a tavrine IR blob (bad magic/version)"},
      {"err_header", "truncated tavrine IR blob"},
      {"err_node_tag", "invalid node tag 6"},
      {"err_param_tag", "invalid param tag 4"},
      {"err_stage_ref_tag", "invalid stage-ref tag 2"},
      {"err_utf8", "invalid utf-8 in tavrine IR blob"},
      {"err_self_ref", "node reference 3 out of range"},
      {"err_member_ref", "node reference 0 out of range"},
      {"err_output", "node reference 1 out of range"},
      {"err_forged_count", "truncated tavrine IR blob"},
      {"err_forged_params", "truncated tavrine IR blob"},
      {"err_truncated_str", "truncated tavrine IR blob"},
  };
  std::size_t seen = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string name = entry.path().stem().string();
    ++seen;
    if (name.rfind("err_", 0) == 0) {
      ASSERT_TRUE(errors.count(name)) << name;
      EXPECT_EQ(error_of(data), errors.at(name)) << name;
    } else {
      auto s = read_blob(data);
      ASSERT_TRUE(s) << name << ": " << s.error().message();
      const std::string again = write_all(**s);
      EXPECT_EQ(write_all(*read_ok(again)), again) << name;
    }
  }
  EXPECT_GE(seen, errors.size() + 5);
}
