#pragma once
// The C++ half of the read-only views of a store: what `nodes()` needs beyond
// the node values themselves. Everything here is a pure function of values
// copied out of a store; no lock is involved.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/expected.h"
#include "store/node.h"
#include "store/store.h"

namespace tavrine {

// A stage member token taken apart: "op|<escaped name>[|<param text>]" or
// "red|...".
struct ParsedMemberToken {
  std::string_view kind;  // "op" or "red" (static storage)
  std::string name;       // unescaped
  ParamMap params;        // empty when the token has no third field
};

// A member token that is not of the form above.
struct UnparseableMemberToken {
  std::string token;
  std::string message() const;  // "unparseable stage member token {}"
};

// Splits the token at "|" into at most three fields (the third keeps any
// further "|"). Unparseable when the first field is neither "op" nor "red",
// when there is no second field, or when the third field is present and is
// not canonical parameter text.
Expected<ParsedMemberToken, UnparseableMemberToken> parse_member_token(std::string_view token);

// One flag per node of the snapshot (index id - begin_id()): 1 when the id is
// among the snapshot's marks. Marks outside the snapshot are ignored.
std::vector<std::uint8_t> output_mask(const Snapshot& snap);

}  // namespace tavrine
