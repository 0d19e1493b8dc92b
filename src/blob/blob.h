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
#include "support/interrupt.h"
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

// Writes a blob in two steps, for callers that own the destination (the
// Python surface writes straight into a bytes object):
//
//   auto w = BlobWriter::prepare(snap, outputs);   // measures; all refusals
//   if (!w) ... w.error().message() ...
//   w->write_to(dest);                               // exactly w->size() bytes
//
// Every node of `snap` (which must start at id 0) is written, then
// `outputs` exactly as given (repeats included); every output id must be
// below snap.end_id() (the caller checks them first,
// `Store::snapshot_checked`). Stored payloads are already encoded as blob
// records are, so writing is mostly copying. The snapshot and the outputs
// must outlive the writer. Both steps tick `interrupt`, if any.
class BlobWriter {
 public:
  static Expected<BlobWriter, BlobTooLarge> prepare(const Snapshot& snap, std::span<const NodeId> outputs,
                                                    Interrupt* interrupt = nullptr);
  std::size_t size() const noexcept { return size_; }
  void write_to(char* dest, Interrupt* interrupt = nullptr) const;

 private:
  BlobWriter(const Snapshot& snap, std::span<const NodeId> outputs) : snap_(&snap), outputs_(outputs) {}
  const Snapshot* snap_;
  std::span<const NodeId> outputs_;
  std::size_t size_ = 0;
};

// The same in one call, into a new string.
Expected<std::string, BlobTooLarge> write_blob(const Snapshot& snap, std::span<const NodeId> outputs);

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
//
// The whole read holds the new store's lock once (nobody else can see the
// store yet). It ticks `interrupt`, if any; an interrupted or failed read
// leaves nothing behind.
Expected<std::unique_ptr<Store>, BlobError> read_blob(std::string_view data, Interrupt* interrupt = nullptr);

// Well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF), as the reader requires of every text.
bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace tavrine
