#include "retime/wide_math.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

using retime::mulDivTruncate;
using retime::multiplyWide;

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

TEST(WideMath, MultipliesIntoTwoWords) {
  retime::Unsigned128 p = multiplyWide(~uint64_t{0}, ~uint64_t{0});
  // (2^64 - 1)^2 = 2^128 - 2^65 + 1
  EXPECT_EQ(p.high, ~uint64_t{0} - 1);
  EXPECT_EQ(p.low, 1u);
  p = multiplyWide(uint64_t{1} << 40, uint64_t{1} << 40);
  EXPECT_EQ(p.high, uint64_t{1} << 16);
  EXPECT_EQ(p.low, 0u);
}

TEST(WideMath, TruncatesTowardZeroInEverySign) {
  EXPECT_EQ(mulDivTruncate(7, 3, 2), 10);
  EXPECT_EQ(mulDivTruncate(-7, 3, 2), -10);
  EXPECT_EQ(mulDivTruncate(7, -3, 2), -10);
  EXPECT_EQ(mulDivTruncate(7, 3, -2), -10);
  EXPECT_EQ(mulDivTruncate(-7, -3, -2), -10);
  EXPECT_EQ(mulDivTruncate(-7, -3, 2), 10);
  EXPECT_EQ(mulDivTruncate(0, -3, 2), 0);
  EXPECT_EQ(mulDivTruncate(100, 480500, 200), 240250);
}

TEST(WideMath, StaysExactWhereTheProductOutgrows64Bits) {
  // 10 GB of audio over a two-hour track: the product is 7.2e20.
  EXPECT_EQ(mulDivTruncate(10'000'000'000, 72'000'000'000, 12'000'000'000), 60'000'000'000);
  EXPECT_EQ(mulDivTruncate(int64_t{1} << 62, 8, 16), int64_t{1} << 61);
  EXPECT_EQ(mulDivTruncate(kMax, kMax, kMax), kMax);
  EXPECT_EQ(mulDivTruncate(kMin, kMax, kMax), kMin);
  EXPECT_EQ(mulDivTruncate(kMin, 1, 1), kMin);
  EXPECT_EQ(mulDivTruncate(kMax, 3, 7), kMax / 7 * 3 + kMax % 7 * 3 / 7);
}

TEST(WideMath, SaturatesAQuotientBeyond64Bits) {
  EXPECT_EQ(mulDivTruncate(kMax, kMax, 1), kMax);
  EXPECT_EQ(mulDivTruncate(kMin, 1, -1), kMax);
  EXPECT_EQ(mulDivTruncate(kMax, -4, 2), kMin);
}

#ifdef __SIZEOF_INT128__
TEST(WideMath, AgreesWithNative128BitArithmetic) {
  uint64_t x = 0x9E3779B97F4A7C15u;
  auto next = [&x] {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    return x;
  };
  for (int i = 0; i < 20000; ++i) {
    // Mixed magnitudes: shift each operand down by a random amount.
    int64_t a = static_cast<int64_t>(next() >> (next() % 64));
    int64_t b = static_cast<int64_t>(next() >> (next() % 64));
    int64_t c = static_cast<int64_t>(next() >> (next() % 64));
    if (next() & 1) a = -a;
    if (next() & 1) b = -b;
    if (next() & 1) c = -c;
    if (c == 0) continue;
    __int128 exact = static_cast<__int128>(a) * b / c;
    if (exact > kMax || exact < kMin) continue;
    ASSERT_EQ(mulDivTruncate(a, b, c), static_cast<int64_t>(exact)) << a << " " << b << " " << c;
  }
}
#endif

}  // namespace
