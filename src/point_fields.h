// The fields of a point file's line and what they mean: splitting a line
// (quoted fields, decimal commas), numbers with either decimal mark, header
// names of columns, and names in a legacy encoding. Internal to the library;
// the format is described in include/math_point_file.h.
#ifndef ZEM_POINT_FIELDS_H
#define ZEM_POINT_FIELDS_H

#include <QString>

#include <cstddef>
#include <string>
#include <string_view>

#include "point_number.h"

namespace Zem {
namespace detail {

constexpr std::size_t kMaxFields = 7;

/// The translated text of a point-file message.
QString pointFileText(const char* text);

/// A message naming a field: the field's text in double quotes, cut short
/// when it is long, so that a binary file gives a readable line.
QString quoted(std::string_view field);

inline bool validFieldCount(std::size_t n) { return n == 3 || n == 4 || n == 6 || n == 7; }

inline bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

/// Fields of one line: at most kMaxFields are kept, all are counted.
struct Fields {
  std::string_view f[kMaxFields];
  std::size_t count = 0;
  bool emptyField = false;  ///< a separator followed by nothing before the next one, or ""
  /// Backing text of quoted fields holding a doubled quote (""), which reads as one.
  std::string unescaped[kMaxFields];
};

/// Splits [p, end) (one line without its line end, comment cut off).
///
/// A line that holds a hard separator outside double quotes (',' or ';'; only
/// ';' when `decimalComma`, the comma then being part of numbers) is split at
/// those alone, and blanks around a field are dropped: "X [mm]" and a name
/// with blanks stay one field. Any other line is split at runs of blanks and
/// tabs. One trailing hard separator is allowed. A field enclosed in double
/// quotes may hold separators and blanks; the quotes are taken off and a
/// doubled quote inside reads as one. *separatorSeen becomes the line's hard
/// separator, or a tab, the first time one is met between two fields (it
/// starts as ' ').
void splitLine(const char* p, const char* end, bool decimalComma, Fields* out, char* separatorSeen);

/// Takes out of a header line's fields those that are a unit alone ("[mm]",
/// "(mm)"), as a header split at blanks has them.
void dropUnitFields(Fields* fields);

/// The first '#' outside double quotes in [p, end), or nullptr.
const char* commentStart(const char* p, const char* end);

/// True when [p, end) holds `c` outside double quotes.
bool holdsOutsideQuotes(const char* p, const char* end, char c);

/// True when [p, end) holds ';' or a tab: a line on which a decimal comma can
/// be told from a field separator.
bool mayHoldDecimalCommas(const char* p, const char* end);

/// A number as toNumber reads it, with the decimal mark ',' when
/// `decimalComma` (a field holding a '.' is then no number).
NumberStatus toNumberWithMark(std::string_view field, bool decimalComma, double* value);

/// What a header names the three columns after the coordinates.
enum class ExtraColumns { Weights, Normals };

/// "X [mm]", "x(mm)", " NX " -> "x", "x", "nx": lower case (ASCII), a unit
/// in brackets or parentheses at the end and blanks taken off.
std::string columnName(std::string_view field);

/// The meaning of the columns after the coordinates from their header names:
/// normals for "i j k" or "nx ny nz" (any case, units allowed), weights
/// otherwise.
ExtraColumns extraColumnsOf(std::string_view a, std::string_view b, std::string_view c);

/// Whether `text` is valid UTF-8 (no overlong forms, no surrogates).
bool isValidUtf8(std::string_view text);

/// `text` read as Windows-1252, as UTF-8 (the five undefined bytes become
/// U+FFFD).
std::string windows1252ToUtf8(std::string_view text);

}  // namespace detail
}  // namespace Zem

#endif  // ZEM_POINT_FIELDS_H
