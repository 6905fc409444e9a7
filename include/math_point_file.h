// Text files of 3D points, one point per line, as measuring software exports
// them, and the identifier names of one run.
//
// Format. A line holds
//     x y z              3 fields
//     id x y z           4 fields
//     x y z a b c        6 fields: three weights, or a normal (see below)
//     id x y z a b c     7 fields
// and every data line of a file has the same number of fields. A line that
// holds a comma or a semicolon (outside double quotes) is split at those, and
// blanks around a field belong to no field; any other line is split at runs
// of blanks and tabs. A comma or semicolon with nothing but blanks before
// the next one is an empty field, an error; one at the end of a line is
// allowed. A field may be enclosed in double quotes, which may hold
// separators and blanks ("Bore A", "P,1"; a doubled quote inside reads as
// one). '#' starts a comment that runs to the end of the line; blank lines
// are skipped; line ends may be LF or CR LF. A UTF-8 byte order mark is
// skipped.
//
// Header lines. Lines before the first data line are header lines when they
// hold no number where the data lines hold coordinates (a title, the
// exporting program, column names); anything else there is an error. A
// header line of column names ("id x y z", "Point;X [mm];Y [mm];Z [mm]": it
// names a column x, y or z; case and units in brackets or parentheses do
// not matter) fixes the number of fields. The three columns after the
// coordinates are weights, unless such a header names them "i j k" or
// "nx ny nz": then they are the point's surface normal, normalised on
// reading (a zero normal is an error). ReadOptions::skipLines skips lines
// unread at the start.
//
// Numbers are decimal with a point, any exponent, an optional sign; they
// are read the same in every locale. Decimal commas: a file whose first data
// line is split at semicolons, or at tabs (between two fields: a tab before
// the first field or after the last splits nothing), and holds a number with
// a decimal comma ("1;410,034;385,448;342,373") is read with the comma as its decimal
// mark, and then a semicolon alone separates fields; a number with a decimal
// point in such a file, or a decimal comma in a file read with points, is
// an error naming the line. ReadOptions::decimalMark fixes the mark instead.
// Infinite or NaN values are errors.
//
// Names. An identifier that is not valid UTF-8 is read as Windows-1252 and
// kept as UTF-8 (hasRecodedNames() tells), so every name is valid UTF-8.
//
// Identifiers. A field of decimal digits only with a value up to 2^31 − 1 is
// a numeric identifier and is its own id. Any other identifier is a name
// ("P1", "BORE_A", "-3", "1.5"): the run's PointNames gives it an id below
// −1, in order of first appearance (−2, −3, ...), so names never collide
// with numeric identifiers or with −1 (no identifier). Within one file an
// identifier may occur only once, unless ReadOptions allow repeats.
#ifndef ZEM_MATH_POINT_FILE_H
#define ZEM_MATH_POINT_FILE_H

#include <QString>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "math_point_names.h"
#include "math_types.h"

namespace Zem {

namespace detail {
struct Fields;
}

/// The points of one file. Read with read() or parse(); on failure the
/// object is empty and getError() tells the file, the line and the reason.
class PointFile {
 public:
  enum class DecimalMark {
    Detect,  ///< from the first data line, as described above
    Point,
    Comma
  };
  struct ReadOptions {
    DecimalMark decimalMark = DecimalMark::Detect;
    unsigned long skipLines = 0;            ///< lines at the start skipped unread
    bool allowRepeatedIdentifiers = false;  ///< for callers that pair by position
  };
  /// Options of the next read() or parse().
  void setReadOptions(const ReadOptions& options) { options_ = options; }

  /// Reads the whole file. Identifier names go into `names`.
  bool read(const QString& fileName, PointNames* names);
  /// Reads points from text in memory; `sourceName` names it in messages.
  bool parse(std::string_view text, const QString& sourceName, PointNames* names);

  /// The points in file order; id −1 when the file has no identifiers.
  const std::vector<BaPoint3d<double>>& getPoints() const { return points_; }
  /// The weight points (wx, wy, wz, and the point's id), one per point, or
  /// empty when the file has no weight columns.
  const std::vector<BaPoint3d<double>>& getWeights() const { return weights_; }
  /// The line on which point i stands (1 for the first line).
  unsigned long getLine(std::size_t i) const { return lines_.empty() ? firstLine_ + i : lines_[i]; }
  /// The unit normals of the points, one per point, or empty when the file
  /// has no normal columns.
  const std::vector<BaVec3d<double>>& getNormals() const { return normals_; }
  bool hasIdentifiers() const { return hasIds_; }
  bool hasWeights() const { return hasWeights_; }
  bool hasNormals() const { return hasNormals_; }
  /// The file's numbers have a decimal comma.
  bool usesDecimalComma() const { return decimalComma_; }
  /// A name was not valid UTF-8 and was read as Windows-1252.
  bool hasRecodedNames() const { return recodedNames_; }
  /// The name given to read() or parse().
  const QString& getSourceName() const { return sourceName_; }

  /// "<source>:<line>: <reason>", or "<source>: <reason>" when no line is
  /// concerned (a file that cannot be opened); empty after success.
  const QString& getError() const { return error_; }
  /// The line of the error, or 0.
  unsigned long getErrorLine() const { return errorLine_; }

  /// Text of `points` in this file's layout: its header line, its
  /// separator, decimal mark and line ends, identifiers (shown by name) when
  /// it has them, this file's weights when it has them and `points` has as
  /// many points, and `normals` (as many as points) when it has normals.
  /// Coordinates are written with `decimals` digits after the decimal mark
  /// (0 to 17, rounded to nearest; a coordinate that rounds to zero has no
  /// minus sign), or with -1 in the shortest form that reads back exactly;
  /// weights and normals always in that shortest form. Throws ProgError for
  /// other `decimals`.
  std::string format(const std::vector<BaPoint3d<double>>& points, const PointNames& names,
                     const std::vector<BaVec3d<double>>* normals = nullptr, int decimals = -1) const;
  /// The fewest decimals with which every coordinate of the file reads back
  /// exactly when written in fixed notation ("1.5 2.25 3" gives 2, "1e-7"
  /// gives 7, also from the values of a file written with trailing zeros),
  /// or -1 when some coordinate needs more than 17 decimals, or more digits
  /// than an exact integer of a double holds (below 2^53: about 16); only
  /// the shortest form then keeps it exactly.
  int getDecimals() const;

 private:
  void begin(const QString& sourceName, PointNames* names);
  /// Reads whole lines [p, end); bytes up to readableEnd (at least end)
  /// may be read ahead; bytesHint: the size of the whole text.
  bool parseLines(const char* p, const char* end, const char* readableEnd, std::size_t bytesHint);
  /// Reads the points of a layout without weights from p up to `limit`, a
  /// line start (32 bytes after the '\n' of each line before it are
  /// readable), while each stands on the line after the one before. Returns
  /// the start of the first line it leaves to parseLines, or nullptr after
  /// fail().
  template <bool kIds>
  const char* fastRun(const char* p, const char* limit);
  bool addPoint(std::string_view idField, const double* v);
  /// The id of a name (not a number) with its PointNames::hashOf; −1 when
  /// the table is full. A name that is not UTF-8 is read as Windows-1252.
  int nameId(std::string_view name, std::uint32_t hash);
  /// Adds a point of the id and values of a line read in full.
  bool storePoint(int id, const double* v);
  enum class LineKind { Blank, Header, Data, Failed };
  /// A line before the first data line [first, last): splits it into
  /// `fields`; on the first data line fixes the layout and decimal mark.
  LineKind leadingLine(const char* first, const char* last, detail::Fields* fields);
  /// Reads the numbers of a data line into v; false after fail().
  bool numbersOf(const detail::Fields& fields, double* v);
  /// Checks for repeated identifiers.
  bool finish();
  bool fail(unsigned long line, const QString& reason);

  std::vector<BaPoint3d<double>> points_;
  std::vector<BaPoint3d<double>> weights_;
  std::vector<BaVec3d<double>> normals_;
  std::vector<unsigned long> lines_;  ///< empty while the points stand on consecutive lines
  unsigned long firstLine_ = 0;       ///< the line of the first point
  bool hasIds_ = false;
  bool hasWeights_ = false;
  bool hasNormals_ = false;
  bool decimalComma_ = false;
  bool recodedNames_ = false;
  bool crlf_ = false;  ///< lines end in CR LF (the first line decides)
  ReadOptions options_;
  /// Header lines seen before the first data line: the last one, and the
  /// first that holds a number in column 0 or 3 (coordinates of one layout).
  struct HeaderLine {
    unsigned long line = 0;
    std::string text;
    std::size_t count = 0;
    bool namesColumns = false;
  } lastHeader_;
  unsigned long numberInColumn_[2] = {0, 0};  ///< lines with a number in column 0, in column 3
  std::string numberText_[2];
  bool idsRising_ = true;   ///< each point's id above the one before: none repeats
  bool idsFalling_ = true;  ///< each point's id below the one before: none repeats
  char separator_ = ' ';
  std::string header_;
  QString sourceName_;
  PointNames* names_ = nullptr;  ///< the run's names while reading
  std::size_t fieldCount_ = 0;   ///< fixed by the header or the first data line
  unsigned long fixedOn_ = 0;    ///< the line that fixed it
  unsigned long lineNo_ = 0;     ///< the line being read
  QString error_;
  unsigned long errorLine_ = 0;
};

}  // namespace Zem

#endif  // ZEM_MATH_POINT_FILE_H
