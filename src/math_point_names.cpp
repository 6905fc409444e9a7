// The identifier names of a run (include/math_point_names.h): all names in
// one string, found again through an open-addressing hash table.
#include "math_point_names.h"

#include <algorithm>
#include <functional>
#include <limits>

#include "point_number.h"

namespace Zem {

namespace {

constexpr int kFirstNameId = -2;

}  // namespace

int PointNames::idOf(std::string_view field) {
  const int numeric = detail::numericId(field);
  if (numeric >= 0) return numeric;
  if (starts_.empty()) starts_.push_back(0);
  if (2 * (nameCount() + 1) > slots_.size()) grow();
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t h = std::hash<std::string_view>()(field) & mask;; h = (h + 1) & mask) {
    const std::uint32_t slot = slots_[h];
    if (slot == 0) {
      // Ids run from −2 down to INT_MIN: 2^31 − 1 names.
      if (nameCount() >= std::size_t(std::numeric_limits<int>::max()) - 1) return -1;
      text_.append(field);
      starts_.push_back(text_.size());
      slots_[h] = std::uint32_t(nameCount());
      return kFirstNameId - int(nameCount() - 1);
    }
    if (name(slot - 1) == field) return kFirstNameId - int(slot - 1);
  }
}

void PointNames::grow() {
  std::vector<std::uint32_t> table(std::max<std::size_t>(64, 2 * slots_.size()), 0);
  const std::size_t mask = table.size() - 1;
  for (std::size_t k = 0; k < nameCount(); ++k) {
    std::size_t h = std::hash<std::string_view>()(name(k)) & mask;
    while (table[h] != 0) h = (h + 1) & mask;
    table[h] = std::uint32_t(k + 1);
  }
  slots_.swap(table);
}

std::string PointNames::nameOf(int id) const {
  if (id >= 0) return std::to_string(id);
  const std::int64_t k = std::int64_t(kFirstNameId) - id;
  if (k >= 0 && k < std::int64_t(nameCount())) return std::string(name(std::size_t(k)));
  return id == -1 ? std::string() : std::to_string(id);
}

}  // namespace Zem
