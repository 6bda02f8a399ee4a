#include "core/error.hpp"

#include <limits>

namespace vantorix {

VantorixError::VantorixError(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {
  switch (kind_) {
    case Kind::Message: display_ = detail_; break;
    case Kind::Shape: display_.assign("shape error: ").append(detail_); break;
    case Kind::Linalg: display_.assign("linear algebra error: ").append(detail_); break;
  }
}

void fatal(const std::string& what) { throw FatalError(what); }

void out_of_memory(size_t bytes, const std::string& purpose) {
  throw OutOfMemory("cannot allocate " + std::to_string(bytes) + " bytes for " + purpose);
}

std::string escaped(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else if (u < 0x20 || u == 0x7f) out.append("\\x").append(1, kHex[u >> 4]).append(1, kHex[u & 15]);
    else out.push_back(c);
  }
  return out;
}

size_t checked_mul(size_t a, size_t b, const char* what) {
  size_t out;
  if (__builtin_mul_overflow(a, b, &out)) {
    throw VantorixError::message(std::string(what) + " overflows the address space");
  }
  return out;
}

size_t saturating_mul(size_t a, size_t b) {
  size_t out;
  if (__builtin_mul_overflow(a, b, &out)) return std::numeric_limits<size_t>::max();
  return out;
}

}  // namespace vantorix
