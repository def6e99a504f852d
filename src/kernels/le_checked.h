// Sizes computed from values that a bundle or a caller supplies: a product
// that does not fit is reported, never wrapped.
#pragma once

#include <climits>
#include <cmath>
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

// A number read from a document as an int: truncated toward zero, saturating
// where an int cannot hold it, NaN as 0 (a plain cast would be undefined).
inline int truncToInt(double v) {
  if (std::isnan(v)) return 0;
  if (v >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (v <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(v);
}

}  // namespace le
