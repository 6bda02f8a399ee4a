#pragma once
// The library's one error type, and the fatal error for broken internal contracts.
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

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

// A failed allocation that says what it was for and how many bytes; Python sees MemoryError
// with this text instead of an empty one.
class OutOfMemory : public std::bad_alloc {
 public:
  explicit OutOfMemory(std::string text) : text_(std::move(text)) {}
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

[[noreturn]] void out_of_memory(size_t bytes, const std::string& purpose);

// make(), with a plain allocation failure reported as "cannot allocate <bytes> bytes for <purpose>".
template <class Make>
auto allocating(size_t bytes, const std::string& purpose, Make&& make) {
  try {
    return make();
  } catch (const OutOfMemory&) {
    throw;
  } catch (const std::bad_alloc&) {
    out_of_memory(bytes, purpose);
  } catch (const std::length_error&) {
    out_of_memory(bytes, purpose);
  }
}

// A caller's text as it may appear inside a message: backslashes and control characters escaped
// (\\, \n, \t, \x00 ...), so nothing after a NUL is lost and nothing reaches a terminal raw.
std::string escaped(std::string_view text);

// Checked size arithmetic for sizes that come from a caller.
size_t checked_mul(size_t a, size_t b, const char* what = "size");
size_t saturating_mul(size_t a, size_t b);

}  // namespace vantorix
