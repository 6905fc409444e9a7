// Number conversion of the point files: numeric identifiers, coordinates
// and weights read exactly and independently of the locale, and the shortest
// exact form for writing. Internal to the library.
//
// The fast path (plainDecimal) converts the common plain decimal eight or
// sixteen bytes at a time; everything else goes through std::from_chars
// (toNumber), which decides what is a number and what its value is: both
// give the same double for the same text.
#ifndef ZEM_POINT_NUMBER_H
#define ZEM_POINT_NUMBER_H

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Zem {
namespace detail {

/// The value of a numeric identifier (digits only, at most 2^31 − 1, leading
/// zeros allowed), or −1.
inline int numericId(std::string_view field) {
  if (field.empty()) return -1;
  while (field.size() > 1 && field.front() == '0') field.remove_prefix(1);
  if (field.size() > 10) return -1;
  std::int64_t v = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v <= std::numeric_limits<int>::max() ? int(v) : -1;
}

enum class NumberStatus { ok, notANumber, notFinite };

/// The number of a field: a decimal or exponent form of a finite double,
/// with an optional sign ('+' before a digit or point only); a number below
/// the smallest double reads as zero of its sign. *value holds it when ok.
NumberStatus toNumber(std::string_view field, double* value);

inline bool isNumber(std::string_view field) {
  double v;
  return toNumber(field, &v) != NumberStatus::notANumber;
}

/// Appends the shortest text that reads back as exactly `v`.
void appendNumber(std::string* out, double v);

/// The most decimals a fixed-point number is written with (PointFile::format).
constexpr int kMaxDecimals = 17;

/// Appends `v` in fixed notation with `decimals` digits after the point
/// (0 to kMaxDecimals; none and no point for 0), rounded to nearest; a
/// number that rounds to zero has no minus sign ("0.0000", never "-0.0000").
void appendFixed(std::string* out, double v, int decimals);

/// Powers of ten that are exact doubles.
constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

/// True when `v` written with `decimals` digits after the point (0 to
/// kMaxDecimals) reads back exactly. Exact: r = v·10^d rounded is an integer
/// below 2^53 and 10^d an exact double, so r / 10^d is the correctly rounded
/// value of the decimal text of r with d decimals, which is what reading it gives.
inline bool readsBackWithDecimals(double v, int decimals) {
  const double scaled = std::nearbyint(v * kExactPowersOfTen[decimals]);
  return std::fabs(scaled) < 9007199254740992.0 && scaled / kExactPowersOfTen[decimals] == v;
}

/// The decimal digits at the start of the eight bytes at p, at most seven:
/// returns their count and sets *value to their value, or returns 8 when all
/// eight bytes are digits (then *value is not set). Eight bytes are read at
/// once ("SWAR"): the bytes up to the first non-digit are exact whatever
/// follows, since a borrow or carry only runs towards later bytes.
inline unsigned leadingDigits(const char* p, std::uint64_t* value) {
  std::uint64_t x;
  std::memcpy(&x, p, sizeof x);  // first byte lowest (little-endian)
  const std::uint64_t d = x - 0x3030303030303030u;  // digit bytes become 0..9
  const std::uint64_t nonDigit = ((d + 0x7676767676767676u) | d) & 0x8080808080808080u;  // high bit: byte > 9
  if (nonDigit == 0) return 8;
  const unsigned n = unsigned(__builtin_ctzll(nonDigit)) / 8;
  if (n == 0) {
    *value = 0;
    return 0;
  }
  // The n digits to the top, zeros (leading zeros of the number) below, then
  // pairs, quadruples and the eight bytes combined by multiplication.
  std::uint64_t v = d << (8 * (8 - n));
  v = (v * 10 + (v >> 8)) & 0x00FF00FF00FF00FFu;
  v = (v * 100 + (v >> 16)) & 0x0000FFFF0000FFFFu;
  *value = (v * 10000 + (v >> 32)) & 0xFFFFFFFFu;
  return n;
}

constexpr std::uint64_t kPowersOfTen[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};

/// The value of the n decimal digits (n ≤ 7) at p; eight bytes are read.
inline std::uint64_t digitsValue(const char* p, unsigned n) {
  std::uint64_t x;
  std::memcpy(&x, p, sizeof x);
  // The n digits to the top (two shifts: none are left when n is 0).
  std::uint64_t v = ((x - 0x3030303030303030u) << (8 * (7 - n))) << 8;
  v = (v * 10 + (v >> 8)) & 0x00FF00FF00FF00FFu;
  v = (v * 100 + (v >> 16)) & 0x0000FFFF0000FFFFu;
  return (v * 10000 + (v >> 32)) & 0xFFFFFFFFu;
}

/// m / 10^decimals, negated when `negative` (by the sign bit, without a
/// branch: "-0" gives −0.0, as from_chars does). Exact when m and 10^decimals
/// are exact doubles.
inline double signedQuotient(std::uint64_t m, unsigned decimals, bool negative) {
  const double v = double(m) / kExactPowersOfTen[decimals];
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  bits |= std::uint64_t(negative) << 63;
  double out;
  std::memcpy(&out, &bits, sizeof bits);
  return out;
}

/// The common plain decimal ("-123.4567": sign, digits, point, digits, no
/// exponent) when it can be converted exactly: its digits as an integer m
/// up to 2^53 and at most 22 decimals k make m and 10^k exact doubles, so the
/// one division m / 10^k is the correctly rounded value (Clinger's fast
/// path), the same double that from_chars gives. Returns the end of the
/// number, or nullptr for anything else (then from_chars decides). With 24
/// bytes to read ahead, up to seven digits before and after the point are
/// taken eight bytes at a time, without a branch per digit; kPadded: 16
/// bytes may be read at p (after the sign) without a bounds test.
template <bool kPadded>
inline const char* plainDecimal(const char* p, const char* end, double* out) {
  // Signs come at random in measured data: no branch on them.
  const bool negative = p != end && *p == '-';
  p += negative;
  std::uint64_t m = 0;
  int digits = 0, decimals = 0;
  std::uint64_t whole = 0, fraction = 0;
  unsigned nWhole = 8, nFraction = 0;
#if defined(__SSE2__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  if (kPadded) {
    // The number's end from one 16-byte load: the next number's start then
    // waits for this one's length only, not for its digits' values.
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i d = _mm_sub_epi8(x, _mm_set1_epi8('0'));
    const __m128i isDigit = _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d);
    const unsigned nonDigit = ~unsigned(_mm_movemask_epi8(isDigit)) & 0xFFFFu;
    const unsigned point = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8('.'))));
    if (nonDigit != 0) {
      const unsigned intDigits = unsigned(__builtin_ctz(nonDigit));
      const unsigned afterPoint = nonDigit & (nonDigit - 1);
      const bool hasPoint = (point >> intDigits) & 1u;
      if (!hasPoint || afterPoint != 0) {
        const unsigned length = hasPoint ? unsigned(__builtin_ctz(afterPoint)) : intDigits;
        const unsigned fracDigits = hasPoint ? length - intDigits - 1 : 0;
        if (intDigits <= 7 && fracDigits <= 7) {
          if (intDigits + fracDigits == 0 || p[length] == 'e' || p[length] == 'E') return nullptr;
          m = digitsValue(p, intDigits) * kPowersOfTen[fracDigits] + digitsValue(p + intDigits + 1, fracDigits);
          *out = signedQuotient(m, fracDigits, negative);
          return p + length;
        }
      }
    }
  }
#endif
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  if (kPadded || end - p >= 24) nWhole = leadingDigits(p, &whole);
#endif
  if (nWhole < 8 && (p[nWhole] != '.' || (nFraction = leadingDigits(p + nWhole + 1, &fraction)) < 8)) {
    m = whole * kPowersOfTen[nFraction] + fraction;
    digits = int(nWhole + nFraction);
    decimals = int(nFraction);
    p += nWhole + (p[nWhole] == '.' ? 1 + nFraction : 0);
  } else {
    for (; p != end && unsigned(*p - '0') < 10u && digits < 20; ++p, ++digits) m = 10 * m + unsigned(*p - '0');
    if (p != end && *p == '.') {
      const char* const point = ++p;
      for (; p != end && unsigned(*p - '0') < 10u && digits < 20; ++p, ++digits) m = 10 * m + unsigned(*p - '0');
      decimals = int(p - point);
    }
  }
  if (digits == 0 || digits >= 20 || decimals > 22 || m > (std::uint64_t(1) << 53)) return nullptr;
  if (p != end && (*p == 'e' || *p == 'E' || unsigned(*p - '0') < 10u)) return nullptr;
  *out = signedQuotient(m, unsigned(decimals), negative);
  return p;
}

}  // namespace detail
}  // namespace Zem

#endif  // ZEM_POINT_NUMBER_H
