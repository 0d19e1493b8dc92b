#pragma once
// The canonical IR blob: the durable byte form of a store.
//
//   "TIR1" | u32 node count N | N node records in id order | Ids outputs
//
// All integers little-endian, no padding. A record is a u8 kind tag and the
// kind's body (names and texts as u32 length + UTF-8, params as u32 count +
// key/tag/value entries, inputs as u32 count + u64 ids, stage members as
// token + u32 count + 5-byte references). The bytes depend only on the node
// sequence and the output list, so identical stores give identical blobs and
// a blob the writer produced reads back to a store that writes it again
// byte for byte.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/expected.h"
#include "store/node.h"
#include "store/store.h"

namespace tavrine {

// Everything that can be wrong with a blob handed to the reader. The first
// error found ends the read.
struct BlobError {
  enum class Kind : std::uint8_t {
    BadMagic,           // "not a tavrine IR blob (bad magic/version)"
    Truncated,          // "truncated tavrine IR blob"
    BadTag,             // "invalid {context} tag {value}"
    InvalidUtf8,        // "invalid utf-8 in tavrine IR blob"
    NodeRefOutOfRange,  // "node reference {value} out of range"
  };
  Kind kind = Kind::Truncated;
  const char* context = "";  // BadTag: "node", "param" or "stage-ref"
  std::uint64_t value = 0;   // BadTag: the tag byte; NodeRefOutOfRange: the id or index

  std::string message() const;
  friend bool operator==(const BlobError& a, const BlobError& b) {
    return a.kind == b.kind && a.value == b.value && std::string_view(a.context) == std::string_view(b.context);
  }
};

// The writer's refusal: a count, length or stage index that 32 bits cannot
// hold. `what` names the field ("node count", "string length", "param count",
// "input count", "member count", "stage reference count",
// "stage reference index", "output count"; "blob size" only where size_t
// is narrower than 64 bits).
struct BlobTooLarge {
  const char* what = "";
  std::uint64_t value = 0;
  // "cannot serialize: {what} {value} exceeds the blob format's limit of 4294967295"
  std::string message() const;
};

// Writes every node of `snap` (which must start at id 0) and then `outputs`,
// exactly as given (repeats included). Every output id must be below
// snap.end_id(); the caller checks them first (`Store::snapshot_checked`).
Expected<std::string, BlobTooLarge> write_blob(const Snapshot& snap, std::span<const NodeId> outputs);

// Older two-call form of the same: `blob_size` measures (and makes every
// refusal), `write_blob_to` fills exactly `size` bytes at `dest`, where
// `size` is what `blob_size` returned for the same snapshot and outputs.
// Each call walks the nodes; `BlobWriter` below does the measuring once.
Expected<std::size_t, BlobTooLarge> blob_size(const Snapshot& snap, std::span<const NodeId> outputs);
void write_blob_to(char* dest, std::size_t size, const Snapshot& snap, std::span<const NodeId> outputs);

// The same in two steps, for callers that own the destination (the Python
// surface writes straight into a bytes object):
//
//   auto w = BlobWriter::prepare(snap, outputs);   // measures; all refusals
//   if (!w) ... w.error().message() ...
//   w->write_to(dest);                               // exactly w->size() bytes
//
// `prepare` walks the nodes once, encoding each distinct payload (kind,
// name, params, descriptor, members) a single time; `write_to` then copies
// those bytes and the inputs of each node into place. The snapshot and the
// outputs must outlive the writer.
class BlobWriter {
 public:
  static Expected<BlobWriter, BlobTooLarge> prepare(const Snapshot& snap, std::span<const NodeId> outputs);
  std::size_t size() const noexcept { return size_; }
  void write_to(char* dest) const;

 private:
  // The encoded bytes of one payload: `prefix` goes before the node's input
  // list, `suffix` after it (only a Stage's members come after its inputs).
  struct Slot {
    std::size_t offset = 0;
    std::size_t prefix = 0;
    std::size_t suffix = 0;
    bool encoded = false;
    bool has_inputs = false;  // a Source has no input list
  };
  BlobWriter(const Snapshot& snap, std::span<const NodeId> outputs) : snap_(&snap), outputs_(outputs) {}
  const Snapshot* snap_;
  std::span<const NodeId> outputs_;
  std::string payload_bytes_;
  std::vector<Slot> slots_;
  std::size_t size_ = 0;
};

// Reads a blob into a new store: one pass, bounds-checked, never reserving
// more than the remaining bytes could hold.
//
// Record i is interned with its input ids read as blob positions: each must
// be below i (else NodeRefOutOfRange with that id) and is then mapped to the
// id `intern` returned for that position. For a blob without repeated
// records the mapping is the identity; a forged blob that repeats a record
// gets the earlier id for the repeat, and later references to either
// position name that one node. Output ids are positions too: one not below N
// fails with NodeRefOutOfRange, the others are mapped and marked (a repeated
// mark is ignored). Bytes after the output list are not examined.
Expected<std::unique_ptr<Store>, BlobError> read_blob(std::string_view data);

// Well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF), as the reader requires of every text.
bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace tavrine
