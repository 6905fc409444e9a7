#include "point_number.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace Zem {
namespace detail {

namespace {

/// True when a field that from_chars found out of range is a tiny number
/// (below the smallest double), not a huge one: a negative exponent, or an
/// integer part of zeros only.
bool underflows(const char* first, const char* last) {
  const char* e = std::find_if(first, last, [](char c) { return c == 'e' || c == 'E'; });
  if (e != last) return e + 1 != last && e[1] == '-';
  if (first != last && *first == '-') ++first;
  return std::all_of(first, std::find(first, last, '.'), [](char c) { return c == '0'; });
}

}  // namespace

NumberStatus toNumber(std::string_view field, double* value) {
  const char* first = field.data();
  const char* last = first + field.size();
  // from_chars takes no plus sign; one is allowed before a digit or point.
  if (first != last && *first == '+' && (last - first < 2 || first[1] == '-')) return NumberStatus::notANumber;
  if (first != last && *first == '+') ++first;
  // from_chars also takes "inf" and "nan"; they are caught below as non-finite.
  const auto [end, ec] = std::from_chars(first, last, *value);
  if (first == last || end != last) return NumberStatus::notANumber;
  if (ec == std::errc::result_out_of_range) {
    if (!underflows(first, last)) return NumberStatus::notFinite;  // beyond ±1.8e308
    *value = *first == '-' ? -0.0 : 0.0;
    return NumberStatus::ok;
  }
  if (ec != std::errc()) return NumberStatus::notANumber;
  return std::isfinite(*value) ? NumberStatus::ok : NumberStatus::notFinite;
}

void appendNumber(std::string* out, double v) {
  char buffer[32];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, v);  // shortest exact form
  out->append(buffer, r.ptr);
}

void appendFixed(std::string* out, double v, int decimals) {
  // The widest is a sign, 309 integer digits, the point and the decimals.
  char buffer[330];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed, decimals);
  const char* first = buffer;
  if (*first == '-' && std::all_of(first + 1, static_cast<const char*>(r.ptr), [](char c) { return c == '0' || c == '.'; }))
    ++first;
  out->append(first, static_cast<const char*>(r.ptr));
}

}  // namespace detail
}  // namespace Zem
