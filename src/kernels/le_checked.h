// Sizes computed from values that a bundle or a caller supplies: a product
// that does not fit is reported, never wrapped.
#pragma once

#include <cstddef>
#include <initializer_list>

namespace le {

// The product of the factors into *out; false, with *out untouched, when it
// does not fit in size_t.
inline bool checkedProduct(std::initializer_list<size_t> factors, size_t* out) {
  size_t p = 1;
  for (const size_t f : factors)
    if (__builtin_mul_overflow(p, f, &p)) return false;
  *out = p;
  return true;
}

}  // namespace le
