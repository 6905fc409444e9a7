// The identifier names of the point files of one run (see math_point_file.h
// for the rules): names get ids below −1 in order of first appearance, so
// that the same name is the same id in every file read with one table.
#ifndef ZEM_MATH_POINT_NAMES_H
#define ZEM_MATH_POINT_NAMES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Zem {

/// The identifier names of one run, shared by all files read in it, so that
/// the same name means the same id in each of them. Not synchronised.
class PointNames {
 public:
  /// The id of an identifier field: its value for a numeric identifier
  /// (decimal digits only, at most 2^31 − 1; leading zeros do not count),
  /// otherwise the name's id, assigned at its first appearance. Returns −1
  /// when the table is full (2^31 − 2 names).
  int idOf(std::string_view field);
  /// The text to show for an id: the name, or the number in decimal; "" for −1.
  std::string nameOf(int id) const;
  /// For readers that look up many names in a row: idOf for a field that
  /// is no numeric identifier, given its hashOf; and a hint to fetch the
  /// table entry of a hash ahead of its lookup (the table is far larger than
  /// the cache when a file holds many names).
  int idOfName(std::string_view name, std::uint32_t hash);
  static std::uint32_t hashOf(std::string_view name);
  void prefetch(std::uint32_t hash) const {
#if defined(__GNUC__)
    if (!slots_.empty()) __builtin_prefetch(slots_.data() + (hash & (slots_.size() - 1)));
#else
    (void)hash;
#endif
  }
  /// Makes room for `names` names of `bytes` bytes in all (a hint: the
  /// table grows as needed anyway).
  void reserve(std::size_t names, std::size_t bytes);
  /// Number of names (not numeric identifiers) seen so far.
  std::size_t nameCount() const { return starts_.empty() ? 0 : starts_.size() - 1; }

 private:
  std::string_view name(std::size_t k) const {
    return std::string_view(text_.data() + starts_[k], starts_[k + 1] - starts_[k]);
  }
  /// Rehashes into a table of at least `slots` slots (a power of two).
  void grow(std::size_t slots);

  // All names one after another in text_; name k (id −2 − k) is
  // text_[starts_[k], starts_[k + 1]). slots_ is an open-addressing hash
  // table (linear probing, at most half full): each slot holds the name's
  // 32-bit hash above its index + 1, 0 = empty. A new name costs no
  // allocation of its own.
  std::string text_;
  std::vector<std::size_t> starts_;
  std::vector<std::uint64_t> slots_;
};

}  // namespace Zem

#endif  // ZEM_MATH_POINT_NAMES_H
