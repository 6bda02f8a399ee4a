#include "error.hpp"

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
