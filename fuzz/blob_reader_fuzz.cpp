// libFuzzer target for the blob reader. Any input must either fail with one
// of the reader's errors or give a store whose blob is a fixed point: writing
// it, reading that back and writing again gives the same bytes. Successful
// reads also go through the views (DOT text, member token parsing), which
// see exactly what a reader-made store can contain.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "blob/blob.h"
#include "store/dot.h"
#include "store/views.h"
#include "support/little_endian.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "blob invariant broken: %s\n", what);
  std::abort();
}

void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavrine;
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  auto first = read_blob(input);
  if (!first) {
    const std::string msg = first.error().message();
    check(!msg.empty(), "a read error has a message");
    // Short inputs are always Truncated, never BadMagic.
    if (size < 4) check(first.error().kind == BlobError::Kind::Truncated, "short input reads as truncated");
    return 0;
  }

  const Store& store = **first;
  const Snapshot snap = store.snapshot();
  // Never more nodes than records: repeats only merge.
  check(size >= 8, "a successful read saw a header");
  const std::uint32_t n_records = enc::load_u32(data + 4);
  check(snap.size() <= n_records, "node count does not exceed the record count");
  for (NodeId id = 0; id < snap.end_id(); ++id) {
    for (NodeId in : snap.node(id).inputs()) check(in < id, "inputs name earlier nodes");
  }
  for (NodeId id : snap.marks()) check(id < snap.end_id(), "marks name recorded nodes");

  auto blob1 = write_blob(snap, snap.marks());
  check(blob1.has_value(), "a store read from a blob can be written");
  auto second = read_blob(*blob1);
  check(second.has_value(), "a written blob reads back");
  const Snapshot snap2 = (*second)->snapshot();
  check(snap2.size() == snap.size(), "round trip keeps the node count");
  check(snap2.marks() == snap.marks(), "round trip keeps the marks");
  auto blob2 = write_blob(snap2, snap2.marks());
  check(blob2.has_value() && *blob2 == *blob1, "re-serialization is byte-stable");

  // The views accept anything a store can hold.
  const std::string dot = render_dot(snap);
  check(dot.size() >= 20, "DOT text has its frame");
  for (NodeId id = 0; id < snap.end_id(); ++id) {
    for (const MemberRef m : snap.node(id).members()) (void)parse_member_token(m.token());
  }
  return 0;
}
