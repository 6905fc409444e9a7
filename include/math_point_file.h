// Text files of 3D points, one point per line, as measuring software exports
// them, and the identifier names of one run.
//
// Format. Fields are separated by blanks, tabs, commas or semicolons (a run
// of blanks and tabs counts as one separator; a comma or semicolon with
// nothing but blanks before the next one is an empty field, an error). A
// line holds
//     x y z              3 fields
//     id x y z           4 fields
//     x y z wx wy wz     6 fields: the weights of the x, y and z observations
//     id x y z wx wy wz  7 fields
// and every data line of a file has the same number of fields. '#' starts a
// comment that runs to the end of the line; blank lines are skipped. The
// first line with content may be a header of names ("id x y z"): a line on
// which no field is a number; it fixes the number of fields too. A field
// may be enclosed in double quotes. A UTF-8 byte order mark is skipped.
// Numbers are decimal with a point, any exponent, an optional sign; they are
// read the same in every locale. Infinite or NaN values are errors.
//
// Identifiers. A field of decimal digits only with a value up to 2^31 − 1 is
// a numeric identifier and is its own id. Any other identifier is a name
// ("P1", "BORE_A", "-3", "1.5"): the run's PointNames gives it an id below
// −1, in order of first appearance (−2, −3, ...), so names never collide
// with numeric identifiers or with −1 (no identifier). Within one file an
// identifier may occur only once.
#ifndef ZEM_MATH_POINT_FILE_H
#define ZEM_MATH_POINT_FILE_H

#include <QString>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "math_point_names.h"
#include "math_types.h"

namespace Zem {

/// The points of one file. Read with read() or parse(); on failure the
/// object is empty and getError() tells the file, the line and the reason.
class PointFile {
 public:
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
  bool hasIdentifiers() const { return hasIds_; }
  bool hasWeights() const { return hasWeights_; }
  /// The name given to read() or parse().
  const QString& getSourceName() const { return sourceName_; }

  /// "<source>:<line>: <reason>", or "<source>: <reason>" when no line is
  /// concerned (a file that cannot be opened); empty after success.
  const QString& getError() const { return error_; }
  /// The line of the error, or 0.
  unsigned long getErrorLine() const { return errorLine_; }

  /// Text of `points` in this file's layout: its header line, its
  /// separator, identifiers (shown by name) when it has them, and this
  /// file's weights when it has them and `points` has as many points.
  /// Coordinates are written in the shortest form that reads back exactly.
  std::string format(const std::vector<BaPoint3d<double>>& points, const PointNames& names) const;

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
  /// Checks for repeated identifiers.
  bool finish();
  bool fail(unsigned long line, const QString& reason);

  std::vector<BaPoint3d<double>> points_;
  std::vector<BaPoint3d<double>> weights_;
  std::vector<unsigned long> lines_;  ///< empty while the points stand on consecutive lines
  unsigned long firstLine_ = 0;       ///< the line of the first point
  bool hasIds_ = false;
  bool hasWeights_ = false;
  bool idsRising_ = true;  ///< each point's id above the one before: none repeats
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
