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
  /// Number of names (not numeric identifiers) seen so far.
  std::size_t nameCount() const { return starts_.empty() ? 0 : starts_.size() - 1; }

 private:
  std::string_view name(std::size_t k) const {
    return std::string_view(text_.data() + starts_[k], starts_[k + 1] - starts_[k]);
  }
  void grow();

  // All names one after another in text_; name k (id −2 − k) is
  // text_[starts_[k], starts_[k + 1]). slots_ is an open-addressing hash
  // table (linear probing, at most half full) of name indexes + 1, 0 = empty:
  // a new name costs no allocation of its own.
  std::string text_;
  std::vector<std::size_t> starts_;
  std::vector<std::uint32_t> slots_;
};

}  // namespace Zem

#endif  // ZEM_MATH_POINT_NAMES_H
