// Exact a * b / c for signed 64-bit values whose product may not fit in 64
// bits. Written with 32-bit halves so that it needs no 128-bit type: 32-bit
// targets (i686) have none.
#pragma once

#include <cstdint>
#include <limits>

namespace retime {

struct Unsigned128 {
  uint64_t high = 0;
  uint64_t low = 0;
};

inline Unsigned128 multiplyWide(uint64_t a, uint64_t b) {
  const uint64_t mask = 0xFFFFFFFFu;
  uint64_t aLow = a & mask, aHigh = a >> 32;
  uint64_t bLow = b & mask, bHigh = b >> 32;
  uint64_t lowLow = aLow * bLow;
  uint64_t lowHigh = aLow * bHigh;
  uint64_t highLow = aHigh * bLow;
  uint64_t highHigh = aHigh * bHigh;
  // The middle column: at most three 32-bit values, so no overflow.
  uint64_t middle = (lowLow >> 32) + (lowHigh & mask) + (highLow & mask);
  Unsigned128 product;
  product.low = (lowLow & mask) | (middle << 32);
  product.high = highHigh + (lowHigh >> 32) + (highLow >> 32) + (middle >> 32);
  return product;
}

// n / d, truncated, for d > 0 and a quotient that fits (n.high < d): long
// division one bit at a time, the remainder kept below d throughout.
inline uint64_t divideWide(Unsigned128 n, uint64_t d) {
  if (n.high == 0) return n.low / d;
  uint64_t remainder = n.high;
  uint64_t quotient = 0;
  for (int bit = 63; bit >= 0; --bit) {
    bool carry = (remainder >> 63) != 0;
    remainder = (remainder << 1) | ((n.low >> bit) & 1);
    quotient <<= 1;
    if (carry || remainder >= d) {
      remainder -= d;
      quotient |= 1;
    }
  }
  return quotient;
}

inline uint64_t magnitude(int64_t v) {
  return v < 0 ? ~static_cast<uint64_t>(v) + 1 : static_cast<uint64_t>(v);
}

// a * b / c with the product formed exactly and the quotient truncated toward
// zero, as 64-bit arithmetic would give it if the product fitted. c must not
// be 0. A quotient beyond the 64-bit range saturates.
inline int64_t mulDivTruncate(int64_t a, int64_t b, int64_t c) {
  bool negative = (a < 0) != (b < 0) && a != 0 && b != 0;
  if (c < 0) negative = !negative;
  Unsigned128 product = multiplyWide(magnitude(a), magnitude(b));
  uint64_t divisor = magnitude(c);
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  if (product.high >= divisor) return negative ? std::numeric_limits<int64_t>::min()
                                               : std::numeric_limits<int64_t>::max();
  uint64_t quotient = divideWide(product, divisor);
  if (quotient > limit) quotient = limit;
  return negative ? static_cast<int64_t>(~quotient + 1) : static_cast<int64_t>(quotient);
}

}  // namespace retime
