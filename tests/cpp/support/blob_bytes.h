#pragma once
// The one hand-built blob encoder of the C++ tests: blob bytes spelled out
// field by field, independent of the writer, so tests can state exact
// layouts and forge broken ones. Integers go through the support codec.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "support/little_endian.h"

namespace tavrine::testing {

class BlobBytes {
 public:
  BlobBytes& raw(std::string_view s) {
    b_ += s;
    return *this;
  }
  BlobBytes& u8(std::uint8_t v) {
    b_.push_back(static_cast<char>(v));
    return *this;
  }
  BlobBytes& u32(std::uint32_t v) {
    char w[4];
    enc::store_u32(w, v);
    return raw({w, 4});
  }
  BlobBytes& u64(std::uint64_t v) {
    char w[8];
    enc::store_u64(w, v);
    return raw({w, 8});
  }
  BlobBytes& str(std::string_view s) { return u32(static_cast<std::uint32_t>(s.size())).raw(s); }
  BlobBytes& ids(std::initializer_list<std::uint64_t> ids) {
    u32(static_cast<std::uint32_t>(ids.size()));
    for (auto id : ids) u64(id);
    return *this;
  }
  // The magic and the record count.
  BlobBytes& header(std::uint32_t n) { return raw("TIR1").u32(n); }
  // Source <name> without params.
  BlobBytes& source(std::string_view name) { return u8(0).str(name).u32(0); }
  // Op <name> without params.
  BlobBytes& op(std::string_view name, std::initializer_list<std::uint64_t> in) {
    return u8(1).str(name).u32(0).ids(in);
  }
  const std::string& str() const { return b_; }
  operator std::string_view() const { return b_; }

 private:
  std::string b_;
};

}  // namespace tavrine::testing
