// The identifier names of a run (include/math_point_names.h): all names in
// one string, found again through an open-addressing hash table.
#include "math_point_names.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "huge_pages.h"
#include "point_number.h"

namespace Zem {

namespace {

constexpr int kFirstNameId = -2;

}  // namespace

// 32 bits of the name's hash: the table position comes from its low bits,
// and all 32 are kept in the slot, so that a probe compares text only when
// they match and growing the table needs no name's text.
std::uint32_t PointNames::hashOf(std::string_view name) {
  // Eight bytes at a time, each block mixed in by multiplications and
  // shifts (the finaliser of SplitMix64): names are short, and a general
  // byte-wise hash would cost more than the rest of reading a point.
  std::uint64_t h = 0x9E3779B97F4A7C15u * (name.size() + 1);
  const char* p = name.data();
  for (std::size_t left = name.size(); left > 0;) {
    std::uint64_t block = 0;
    const std::size_t n = left < 8 ? left : 8;
    std::memcpy(&block, p, n);
    p += n;
    left -= n;
    h ^= block;
    h ^= h >> 30;
    h *= 0xBF58476D1CE4E5B9u;
    h ^= h >> 27;
    h *= 0x94D049BB133111EBu;
    h ^= h >> 31;
  }
  return std::uint32_t(h >> 32) ^ std::uint32_t(h);
}

int PointNames::idOf(std::string_view field) {
  const int numeric = detail::numericId(field);
  if (numeric >= 0) return numeric;
  return idOfName(field, hashOf(field));
}

int PointNames::idOfName(std::string_view field, std::uint32_t hash) {
  if (starts_.empty()) starts_.push_back(0);
  if (2 * (nameCount() + 1) > slots_.size()) grow(2 * (nameCount() + 1));
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t h = hash & mask;; h = (h + 1) & mask) {
    const std::uint64_t slot = slots_[h];
    if (slot == 0) {
      // Ids run from −2 down to INT_MIN: 2^31 − 1 names.
      if (nameCount() >= std::size_t(std::numeric_limits<int>::max()) - 1) return -1;
      text_.append(field);
      starts_.push_back(text_.size());
      slots_[h] = (std::uint64_t(hash) << 32) | std::uint64_t(nameCount());
      return kFirstNameId - int(nameCount() - 1);
    }
    const std::uint32_t index = std::uint32_t(slot) - 1;
    if (std::uint32_t(slot >> 32) == hash && name(index) == field) return kFirstNameId - int(index);
  }
}

void PointNames::reserve(std::size_t names, std::size_t bytes) {
  if (starts_.empty()) starts_.push_back(0);
  if (starts_.capacity() < names + 1) {
    starts_.reserve(names + 1);
    detail::adviseHugePages(starts_.data() + starts_.size(), (starts_.capacity() - starts_.size()) * sizeof(std::size_t));
  }
  if (text_.capacity() < bytes) {
    text_.reserve(bytes);
    detail::adviseHugePages(text_.data() + text_.size(), text_.capacity() - text_.size());
  }
  if (2 * names > slots_.size()) grow(2 * names);
}

void PointNames::grow(std::size_t slots) {
  std::size_t size = std::max<std::size_t>(64, slots_.size());
  while (size < slots) size *= 2;
  std::vector<std::uint64_t> table;
  table.reserve(size);  // the hint before the first touch of the pages
  detail::adviseHugePages(table.data(), size * sizeof(std::uint64_t));
  table.resize(size, 0);
  const std::size_t mask = size - 1;
  for (const std::uint64_t slot : slots_) {
    if (slot == 0) continue;
    std::size_t h = std::size_t(slot >> 32) & mask;
    while (table[h] != 0) h = (h + 1) & mask;
    table[h] = slot;
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
