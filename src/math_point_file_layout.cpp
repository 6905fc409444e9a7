// The lines of a point file before its first data line (format:
// include/math_point_file.h): header and title lines, the layout and the
// decimal mark that the first data line fixes, and the numbers of a data
// line.
#include "math_point_file.h"

#include <algorithm>

#include "point_fields.h"
#include "point_number.h"

namespace Zem {

namespace {

// The reader's internals: fields (point_fields.h) and numbers (point_number.h).
using namespace detail;

QString tr(const char* text) { return detail::pointFileText(text); }

/// Whether the fields of a line make a data line: a valid count and numbers
/// in every column after the identifier.
bool isDataLine(const Fields& fields, bool decimalComma) {
  if (!validFieldCount(fields.count)) return false;
  const std::size_t first = fields.count == 4 || fields.count == 7 ? 1 : 0;
  double v;
  for (std::size_t k = first; k < fields.count; ++k)
    if (detail::toNumberWithMark(fields.f[k], decimalComma, &v) != NumberStatus::ok) return false;
  return true;
}

/// A comma in a number field; one in the identifier ("P,1") is no decimal comma.
bool anyDecimalComma(const Fields& fields) {
  const std::size_t first = fields.count == 4 || fields.count == 7 ? 1 : 0;
  for (std::size_t k = first; k < std::min(fields.count, kMaxFields); ++k)
    if (fields.f[k].find(',') != std::string_view::npos) return true;
  return false;
}

/// A number in either form (header lines are split before the mark is known).
bool isNumberOfEitherMark(std::string_view field) {
  double v;
  return isNumber(field) || detail::toNumberWithMark(field, true, &v) == NumberStatus::ok;
}

bool namesACoordinate(const Fields& fields) {
  for (std::size_t k = 0; k < std::min(fields.count, kMaxFields); ++k) {
    const std::string name = detail::columnName(fields.f[k]);
    if (name == "x" || name == "y" || name == "z") return true;
  }
  return false;
}

}  // namespace

bool PointFile::numbersOf(const Fields& fields, double* v) {
  const std::size_t first = hasIds_ ? 1 : 0;
  for (std::size_t k = first; k < fieldCount_; ++k) {
    const std::string_view field = fields.f[k];
    const NumberStatus status = detail::toNumberWithMark(field, decimalComma_, &v[k - first]);
    if (status == NumberStatus::notFinite) return fail(lineNo_, tr("%1 is not a finite number").arg(quoted(field)));
    if (status == NumberStatus::ok) continue;
    double ignored;
    if (decimalComma_ && toNumber(field, &ignored) == NumberStatus::ok)
      return fail(lineNo_, tr("%1 has a decimal point in a file whose numbers have decimal commas (as on line %2)")
                               .arg(quoted(field))
                               .arg(fixedOn_));
    return fail(lineNo_, tr("%1 is not a number").arg(quoted(field)));
  }
  return true;
}

PointFile::LineKind PointFile::leadingLine(const char* first, const char* last, Fields* fields) {
  // The decimal mark: a comma where it cannot be a separator (the line is
  // split at semicolons or tabs) and the line then reads as data.
  bool comma = options_.decimalMark == DecimalMark::Comma;
  char seen = ' ';
  detail::splitLine(first, last, comma, fields, &seen);
  if (options_.decimalMark == DecimalMark::Detect && detail::mayHoldDecimalCommas(first, last)) {
    Fields asCommas;
    char commaSeen = ' ';
    detail::splitLine(first, last, true, &asCommas, &commaSeen);
    // A tab before the first field separates nothing: the line must be split
    // at a semicolon or between fields at a tab, or its commas separate.
    const bool splitAtSemicolonsOrTabs = commaSeen == ';' || commaSeen == '\t';
    if (splitAtSemicolonsOrTabs && !asCommas.emptyField && isDataLine(asCommas, true) && anyDecimalComma(asCommas)) {
      seen = ' ';
      detail::splitLine(first, last, true, fields, &seen);
      comma = true;
    }
  }
  if (fields->count == 0 && !fields->emptyField) return LineKind::Blank;
  if (fields->emptyField) return fail(lineNo_, tr("empty field")), LineKind::Failed;
  if (!isDataLine(*fields, comma)) {
    // No number where every layout has coordinates (columns 1 and 2): a
    // header line. Otherwise the line is a bad data line and says why.
    Fields header = *fields;
    detail::dropUnitFields(&header);
    const std::size_t shown = std::min(header.count, kMaxFields);
    const bool coordinates = (shown > 1 && isNumberOfEitherMark(header.f[1])) ||
                             (shown > 2 && isNumberOfEitherMark(header.f[2]));
    if (coordinates) {
      if (!validFieldCount(fields->count))
        return fail(lineNo_, tr("%1 fields; expected 3 (x y z), 4 (id x y z), 6 (x y z and three weights or a "
                                "normal) or 7 (id x y z and three weights or a normal)")
                                 .arg(fields->count)),
               LineKind::Failed;
      // Read as the data line it is meant to be: numbersOf names the field.
      fieldCount_ = fields->count;
      fixedOn_ = lineNo_;
      hasIds_ = fieldCount_ == 4 || fieldCount_ == 7;
      decimalComma_ = comma;
      double v[6];
      numbersOf(*fields, v);
      return LineKind::Failed;
    }
    for (int c = 0; c < 2; ++c) {
      const std::size_t column = c == 0 ? 0 : 3;
      if (shown > column && numberInColumn_[c] == 0 && isNumberOfEitherMark(header.f[column])) {
        numberInColumn_[c] = lineNo_;
        numberText_[c] = std::string(header.f[column]);
      }
    }
    lastHeader_.line = lineNo_;
    lastHeader_.text.assign(first, last);
    while (!lastHeader_.text.empty() && isBlank(lastHeader_.text.back())) lastHeader_.text.pop_back();
    lastHeader_.count = header.count;
    lastHeader_.namesColumns = namesACoordinate(header);
    return LineKind::Header;
  }

  // The first data line fixes the layout.
  fieldCount_ = fields->count;
  fixedOn_ = lineNo_;
  decimalComma_ = comma;
  separator_ = seen;
  hasIds_ = fieldCount_ == 4 || fieldCount_ == 7;
  const int coordinateColumn = hasIds_ ? 1 : 0;  // numberInColumn_ of the column 0 or 3 that holds a coordinate
  if (numberInColumn_[coordinateColumn] != 0)
    return fail(numberInColumn_[coordinateColumn],
                tr("%1 stands in a column of coordinates, above the first data line (line %2): not a header line")
                    .arg(quoted(numberText_[coordinateColumn]))
                    .arg(lineNo_)),
           LineKind::Failed;
  const bool namedHeader = lastHeader_.line != 0 && lastHeader_.count == fieldCount_;
  if (lastHeader_.namesColumns && !namedHeader)
    return fail(lineNo_, tr("%1 fields; expected %2 as on line %3")
                             .arg(fieldCount_)
                             .arg(lastHeader_.count)
                             .arg(lastHeader_.line)),
           LineKind::Failed;
  bool normals = false;
  if (namedHeader) {
    header_ = lastHeader_.text;
    if (fieldCount_ >= 6) {
      Fields names;
      char ignored = ' ';
      detail::splitLine(header_.data(), header_.data() + header_.size(), decimalComma_, &names, &ignored);
      detail::dropUnitFields(&names);
      if (names.count == fieldCount_)
        normals = detail::extraColumnsOf(names.f[fieldCount_ - 3], names.f[fieldCount_ - 2],
                                         names.f[fieldCount_ - 1]) == detail::ExtraColumns::Normals;
    }
  }
  hasNormals_ = fieldCount_ >= 6 && normals;
  hasWeights_ = fieldCount_ >= 6 && !normals;
  return LineKind::Data;
}

}  // namespace Zem
