#pragma once
// The one internal-assert channel of the core.
//
// A broken internal invariant is not an error result: it abandons the call by
// throwing `Panic` with a text that states the expected condition (for example
// "reduced output is valid"). The Python surface turns it into the module's
// PanicException, once, at the boundary. Ordinary errors are values
// (`Expected<T, E>`), never exceptions.
#include <exception>
#include <string>
#include <utility>

namespace tavrine {

class Panic final : public std::exception {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Out of line and cold, so that a check in a hot loop costs its test and a call.
[[noreturn, gnu::noinline, gnu::cold]] inline void panic(std::string message) { throw Panic(std::move(message)); }

// Checks an invariant that holds by construction; `what` names the expected
// condition and becomes the panic text when it does not hold.
inline void expect(bool condition, const char* what) {
  if (!condition) [[unlikely]] panic(what);
}

}  // namespace tavrine
