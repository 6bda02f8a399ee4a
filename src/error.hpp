#pragma once
// The library's one error type, and the fatal error for broken internal contracts.
#include <stdexcept>
#include <string>

namespace vantorix {

class VantorixError : public std::exception {
 public:
  enum class Kind { Message, Shape, Linalg };

  static VantorixError message(std::string text) { return {Kind::Message, std::move(text)}; }
  static VantorixError shape(const std::string& detail) { return {Kind::Shape, detail}; }
  static VantorixError linalg(const std::string& detail) { return {Kind::Linalg, detail}; }

  Kind kind() const noexcept { return kind_; }
  // The payload without the variant's prefix.
  const std::string& detail() const noexcept { return detail_; }
  // The display text: what Python sees as the ValueError's argument.
  const char* what() const noexcept override { return display_.c_str(); }

 private:
  VantorixError(Kind kind, std::string detail);
  Kind kind_;
  std::string detail_;
  std::string display_;
};

// A caller broke an internal contract (for example a slice shorter than its shape). Validated
// input never gets here; if it does, Python sees a BaseException, never a crash.
class FatalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn]] void fatal(const std::string& what);

// Checked size arithmetic for sizes that come from a caller.
size_t checked_mul(size_t a, size_t b, const char* what = "size");
size_t saturating_mul(size_t a, size_t b);

}  // namespace vantorix
