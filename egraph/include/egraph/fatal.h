#pragma once
// The one exception type of the e-graph engine.
//
// Broken internal invariants ("Tried to search a dirty e-graph!", "Invalid id 7", ...)
// abandon the whole engine call by throwing `Fatal` with the exact failure text. Nothing
// inside the engine catches it; the embedding layer decides how to surface it.
#include <exception>
#include <string>

namespace egraph {

class Fatal : public std::exception {
 public:
  explicit Fatal(std::string msg);
  const char* what() const noexcept override;

 private:
  std::string msg_;
};

// Throws `Fatal(msg)`; out of line so hot callers stay small.
[[noreturn]] void fatal(std::string msg);

}  // namespace egraph
