#include "store/views.h"

namespace tavrine {

std::string UnparseableMemberToken::message() const {
  std::string m = "unparseable stage member token ";
  m += token;
  return m;
}

Expected<ParsedMemberToken, UnparseableMemberToken> parse_member_token(std::string_view token) {
  auto fail = [&] { return unexpected(UnparseableMemberToken{std::string(token)}); };

  const std::size_t bar1 = token.find('|');
  if (bar1 == std::string_view::npos) return fail();  // no second field
  const std::string_view first = token.substr(0, bar1);
  ParsedMemberToken out;
  if (first == "op") {
    out.kind = "op";
  } else if (first == "red") {
    out.kind = "red";
  } else {
    return fail();
  }

  const std::string_view rest = token.substr(bar1 + 1);
  const std::size_t bar2 = rest.find('|');
  out.name = unescape(rest.substr(0, bar2));
  if (bar2 != std::string_view::npos) {
    auto params = parse_param_text(rest.substr(bar2 + 1));
    if (!params) return fail();
    out.params = std::move(*params);
  }
  return out;
}

std::vector<std::uint8_t> output_mask(const Snapshot& snap) {
  std::vector<std::uint8_t> mask(snap.size(), 0);
  for (NodeId id : snap.marks()) {
    if (id >= snap.begin_id() && id < snap.end_id()) mask[static_cast<std::size_t>(id - snap.begin_id())] = 1;
  }
  return mask;
}

}  // namespace tavrine
