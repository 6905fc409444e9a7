// Reading point files (format: include/math_point_file.h; writing in
// math_point_file_write.cpp).
//
// A file is read in chunks of a megabyte that stay in the cache while they
// are parsed in place (text in memory is parsed as it stands): fields are
// views into the buffer, numbers are converted exactly and independently of
// the locale (std::from_chars, or the exact fast path for plain decimals),
// and the point vectors are reserved from an estimate of the line count, so
// a data line costs no allocation. A new name goes into the run's
// PointNames, whose storage grows geometrically.
#include "math_point_file.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "huge_pages.h"
#include "point_fields.h"
#include "point_number.h"
#include "zem_base.h"


namespace Zem {

namespace {

using detail::Fields;
using detail::isBlank;
using detail::isNumber;
using detail::kMaxFields;
using detail::leadingDigits;
using detail::NumberStatus;
using detail::numericId;
using detail::plainDecimal;
using detail::quoted;
using detail::toNumber;
using detail::validFieldCount;

QString tr(const char* text) { return detail::pointFileText(text); }

/// Bytes after a line's '\n' that the fast path may read ahead: a number
/// starts at most one byte after it (behind a sign) and is loaded 16 bytes
/// at a time, so 17 are needed.
constexpr std::size_t kPadding = 32;


/// Finds the first repeated id among points[i].id; returns the index of its
/// second occurrence and the first in *firstIndex, or npos. Linear with a
/// bit table when the ids fill at least 1/64 of their range, else by sorting.
std::size_t findRepeat(const std::vector<BaPoint3d<double>>& points, std::size_t* firstIndex) {
  const std::size_t n = points.size();
  constexpr std::size_t npos = std::size_t(-1);
  if (n < 2) return npos;
  std::int64_t lo = points[0].id, hi = points[0].id;
  for (const auto& p : points) {
    lo = std::min<std::int64_t>(lo, p.id);
    hi = std::max<std::int64_t>(hi, p.id);
  }
  if (hi - lo < std::int64_t(64 * n + 64)) {
    // One bit per id of the range (a million ids: 128 kB, in the cache); the
    // first occurrence of a repeat is searched only when there is one.
    std::vector<std::uint64_t> seen(std::size_t((hi - lo) / 64 + 1), 0);
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t k = std::size_t(points[i].id - lo);
      const std::uint64_t bit = std::uint64_t(1) << (k % 64);
      if (seen[k / 64] & bit) {
        *firstIndex = std::size_t(std::find_if(points.begin(), points.end(),
                                               [&](const BaPoint3d<double>& p) { return p.id == points[i].id; }) -
                                  points.begin());
        return i;
      }
      seen[k / 64] |= bit;
    }
    return npos;
  }
  std::vector<std::pair<int, std::size_t>> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = {points[i].id, i};
  std::sort(order.begin(), order.end());
  // Of all repeats, report the one whose second occurrence comes first.
  std::size_t best = npos;
  for (std::size_t k = 1; k < n; ++k)
    if (order[k].first == order[k - 1].first && (best == npos || order[k].second < best)) {
      best = order[k].second;
      *firstIndex = order[k - 1].second;
    }
  return best;
}

// Character classes of the fast path.
enum : unsigned char { kFieldChar = 0, kBlank = 1, kHardSeparator = 2, kLineEnd = 3 };

struct CharClasses {
  unsigned char of[256];
  constexpr CharClasses() : of() {
    of[unsigned(' ')] = of[unsigned('\t')] = of[unsigned('\r')] = of[unsigned('\v')] = of[unsigned('\f')] = kBlank;
    of[unsigned(',')] = of[unsigned(';')] = kHardSeparator;
    of[unsigned('\n')] = of[unsigned('#')] = kLineEnd;
  }
};
constexpr CharClasses kClasses;

/// Class of the character at p; the caller makes sure that a line end
/// ('\n') follows somewhere at or after p, so no scan needs a bounds test.
inline unsigned char at(const char* p) { return kClasses.of[static_cast<unsigned char>(*p)]; }

/// Reads one data line of the file's known layout starting at p, the common
/// case only: plain fields, finite numbers, the right count. `end` is just
/// after a '\n' at or after p; kPadded: kPadding bytes after the line's
/// '\n' may be read (no bounds test before the loads of eight or sixteen
/// bytes). Returns the position after the line's '\n', or nullptr when
/// anything is unusual (also a blank or comment line), so
/// that the general path reads the line again and says what is wrong. *id
/// is the identifier field (untouched when the layout has none); *numeric
/// its value when it is a number of up to seven digits, else −1.
template <bool kPadded>
inline const char* fastLine(const char* p, const char* end, std::size_t fieldCount, bool hasIds, char separator,
                            std::string_view* id, int* numeric, double* v) {
  // A line is split either at hard separators or at blanks (never both, as
  // splitLine does): the first gap decides, every other gap must agree, and
  // a hard one must be the file's separator (a line of other separators,
  // where a comma may be a decimal comma, is left to the general path).
  bool hardGaps = false;
  for (std::size_t k = 0; k < fieldCount; ++k) {
    while (at(p) == kBlank) ++p;
    if (k > 0) {
      const bool hard = at(p) == kHardSeparator;
      if (k == 1) hardGaps = hard;
      if (hard != hardGaps || (hard && *p != separator)) return nullptr;
      if (hard) {
        ++p;
        while (at(p) == kBlank) ++p;
      }
    }
    if (hasIds && k == 0) {
      if (at(p) != kFieldChar || *p == '"' || *p == '+') return nullptr;
      const char* start = p;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
      std::uint64_t value = 0;
      const unsigned n = kPadded || end - p >= 24 ? leadingDigits(p, &value) : 8;
      if (n > 0 && n < 8 && at(p + n) != kFieldChar) {
        *id = std::string_view(start, n);
        *numeric = int(value);
        p += n;
        continue;
      }
#endif
      while (at(p) == kFieldChar) ++p;
      *id = std::string_view(start, std::size_t(p - start));
      continue;
    }
    // The number's own end must be the field's end. A field that starts
    // with anything else than a sign, digit or point ('"', '+', a separator,
    // a line end) is no number to either conversion: no test needed here.
    double& value = v[k - (hasIds ? 1 : 0)];
    const char* next = plainDecimal<kPadded>(p, end, &value);
    if (!next) {
      const auto r = std::from_chars(p, end, value);
      if (r.ec != std::errc() || r.ptr == p || !std::isfinite(value)) return nullptr;
      next = r.ptr;
    }
    if (at(next) == kFieldChar) return nullptr;
    p = next;
  }
  while (at(p) == kBlank) ++p;
  if (at(p) == kHardSeparator) {  // a trailing separator
    if (!hardGaps || *p != separator) return nullptr;
    ++p;
    while (at(p) == kBlank) ++p;
  }
  if (*p == '#') p = static_cast<const char*>(std::memchr(p, '\n', std::size_t(end - p)));
  return *p == '\n' ? p + 1 : nullptr;
}

}  // namespace

bool PointFile::fail(unsigned long line, const QString& reason) {
  points_.clear();
  weights_.clear();
  normals_.clear();
  lines_.clear();
  hasIds_ = hasWeights_ = hasNormals_ = false;
  header_.clear();
  errorLine_ = line;
  error_ = line > 0 ? QStringLiteral("%1:%2: %3").arg(sourceName_).arg(line).arg(reason)
                    : QStringLiteral("%1: %2").arg(sourceName_, reason);
  return false;
}

bool PointFile::read(const QString& fileName, PointNames* names) {
  begin(fileName, names);
  FILE* file = OS::openFileStream(fileName, OS::OPEN_READ);
  if (!file) return fail(0, tr("cannot open file for reading"));
  std::unique_ptr<FILE, int (*)(FILE*)> closer(file, &std::fclose);
  std::size_t size = 0;  // a hint for reserving the points; 0 when unknown
  if (std::fseek(file, 0, SEEK_END) == 0) {
    const long length = std::ftell(file);
    if (length > 0) size = std::size_t(length);
    std::rewind(file);
  }
  // Read in chunks that stay in the cache while they are parsed; the part
  // of a line at a chunk's end moves to the front for the next one. A line
  // longer than the buffer doubles it. kPadding bytes after the text are
  // set to line ends before parsing: the fast path reads ahead into them.
  std::size_t capacity = std::size_t(1) << 20;
  std::unique_ptr<char[]> buffer(new char[capacity + kPadding]);
  std::size_t kept = 0;  // bytes of an unfinished line at the front
  bool first = true;
  for (;;) {
    const std::size_t got = std::fread(buffer.get() + kept, 1, capacity - kept, file);
    if (std::ferror(file)) return fail(0, tr("cannot read file"));
    const bool last = got < capacity - kept;
    const char* start = buffer.get();
    const char* const end = buffer.get() + kept + got;
    if (first && end - start >= 3 && std::memcmp(start, "\xEF\xBB\xBF", 3) == 0) start += 3;
    first = false;
    if (std::memchr(buffer.get() + kept, '\0', got)) return fail(0, tr("is not a text file (it contains a zero byte)"));
    const char* lineEnd = end;
    if (!last) {
      while (lineEnd != start && lineEnd[-1] != '\n') --lineEnd;
    }
    if (lineEnd == start && !last) {  // one line fills the buffer
      std::unique_ptr<char[]> larger(new char[2 * capacity + kPadding]);
      std::memcpy(larger.get(), buffer.get(), capacity);
      buffer = std::move(larger);
      kept = capacity;
      capacity *= 2;
      continue;
    }
    std::memset(buffer.get() + kept + got, '\n', kPadding);
    if (!parseLines(start, lineEnd, end + kPadding, size)) return false;
    if (last) break;
    kept = std::size_t(end - lineEnd);
    std::memmove(buffer.get(), lineEnd, kept);
  }
  return finish();
}

void PointFile::begin(const QString& sourceName, PointNames* names) {
  sourceName_ = sourceName;
  names_ = names;
  error_.clear();
  errorLine_ = 0;
  points_.clear();
  weights_.clear();
  normals_.clear();
  lines_.clear();
  header_.clear();
  hasIds_ = hasWeights_ = hasNormals_ = false;
  decimalComma_ = recodedNames_ = crlf_ = false;
  lastHeader_ = HeaderLine();
  numberInColumn_[0] = numberInColumn_[1] = 0;
  idsRising_ = idsFalling_ = true;
  separator_ = ' ';
  fieldCount_ = 0;
  fixedOn_ = 0;
  lineNo_ = 0;
  firstLine_ = 0;
}

bool PointFile::parse(std::string_view text, const QString& sourceName, PointNames* names) {
  begin(sourceName, names);
  const char* p = text.data();
  const char* const end = p + text.size();
  if (text.size() >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;
  if (std::memchr(p, '\0', std::size_t(end - p))) return fail(0, tr("is not a text file (it contains a zero byte)"));
  return parseLines(p, end, end, text.size()) && finish();
}

bool PointFile::addPoint(std::string_view idField, const double* v) {
  int id = -1;
  if (hasIds_) {
    const int numeric = numericId(idField);
    id = numeric >= 0 ? numeric : nameId(idField, PointNames::hashOf(idField));
    if (id == -1) return fail(lineNo_, tr("too many identifier names"));
  }
  return storePoint(id, v);
}

int PointFile::nameId(std::string_view name, std::uint32_t hash) {
  if (detail::isValidUtf8(name)) return names_->idOfName(name, hash);
  recodedNames_ = true;
  return names_->idOf(detail::windows1252ToUtf8(name));
}

bool PointFile::storePoint(int id, const double* v) {
  // Line numbers are kept only once a point does not stand on the line
  // after the previous one (a comment or a blank line between data lines).
  if (!points_.empty() && lines_.empty() && lineNo_ != firstLine_ + points_.size()) {
    lines_.reserve(points_.capacity());
    for (std::size_t i = 0; i < points_.size(); ++i) lines_.push_back(firstLine_ + i);
  }
  if (points_.empty()) firstLine_ = lineNo_;
  if (!points_.empty() && id <= points_.back().id) idsRising_ = false;
  if (!points_.empty() && id >= points_.back().id) idsFalling_ = false;
  points_.emplace_back(v[0], v[1], v[2], id);
  if (!lines_.empty()) lines_.push_back(lineNo_);
  if (hasWeights_) {
    if (v[3] < 0.0 || v[4] < 0.0 || v[5] < 0.0) return fail(lineNo_, tr("negative weight"));
    weights_.emplace_back(v[3], v[4], v[5], id);
  }
  if (hasNormals_) {
    // hypot: no overflow or underflow on the way for huge or tiny components.
    const double length = std::hypot(v[3], v[4], v[5]);
    if (!(length > 0.0) || !std::isfinite(length)) return fail(lineNo_, tr("zero normal"));
    normals_.emplace_back(v[3] / length, v[4] / length, v[5] / length);
  }
  return true;
}

template <bool kIds>
const char* PointFile::fastRun(const char* p, const char* limit) {
  // A name is looked up a few lines after its own was read, its table entry
  // fetched meanwhile: with a million names the table is far larger than
  // the cache, and waiting for each entry in turn would take most of the
  // time. The points still go in in file order.
  struct Pending {
    std::string_view name;
    double v[3];
    unsigned long line;
    std::uint32_t hash;
  };
  constexpr unsigned kAhead = 16;
  Pending pending[kAhead];
  unsigned first = 0, count = 0;
  int lastId = points_.back().id;
  bool rising = idsRising_, falling = idsFalling_;
  const auto storePending = [&]() {
    const Pending& q = pending[first];
    first = (first + 1) % kAhead;
    --count;
    idsRising_ = rising;
    idsFalling_ = falling;
    lineNo_ = q.line;
    const int id = nameId(q.name, q.hash);
    if (id == -1) return fail(lineNo_, tr("too many identifier names"));
    if (!storePoint(id, q.v)) return false;
    rising = idsRising_;
    falling = idsFalling_;
    lastId = id;
    return true;
  };
  unsigned long line = lineNo_;
  while (p < limit) {
    std::string_view idField;
    double v[3];
    int numeric = -1;
    const char* next = fastLine<true>(p, limit, fieldCount_, kIds, separator_, &idField, &numeric, v);
    if (!next) break;
    ++line;
    if (kIds && numeric < 0) numeric = numericId(idField);
    if (kIds && numeric < 0) {  // a name
      if (count == kAhead && !storePending()) return nullptr;
      Pending& q = pending[(first + count) % kAhead];
      q = Pending{idField, {v[0], v[1], v[2]}, line, PointNames::hashOf(idField)};
      names_->prefetch(q.hash);
      ++count;
      p = next;
      continue;
    }
    while (count > 0)
      if (!storePending()) return nullptr;
    if (kIds) rising = rising && numeric > lastId;
    if (kIds) falling = falling && numeric < lastId;
    lastId = numeric;
    points_.emplace_back(v[0], v[1], v[2], numeric);
    p = next;
  }
  while (count > 0)
    if (!storePending()) return nullptr;
  idsRising_ = rising;
  idsFalling_ = falling;
  lineNo_ = line;
  return p;
}

bool PointFile::parseLines(const char* p, const char* const end, const char* readableEnd, std::size_t bytesHint) {
  // Lines that end in '\n' before `end` go through the fast path; those
  // before paddedEnd also have kPadding readable bytes after their '\n'.
  const char* safeEnd = end;
  while (safeEnd != p && safeEnd[-1] != '\n') --safeEnd;
  const char* paddedEnd = safeEnd;
  if (readableEnd - safeEnd < std::ptrdiff_t(kPadding)) {
    paddedEnd = readableEnd - p > std::ptrdiff_t(kPadding) ? readableEnd - kPadding : p;
    while (paddedEnd != p && paddedEnd[-1] != '\n') --paddedEnd;
  }
  Fields fields;
  while (p != end) {
    // Runs of common points (no weights) in the fast loop.
    const bool plainLayout = fieldCount_ != 0 && !hasWeights_ && !hasNormals_ && !decimalComma_;
    if (p < paddedEnd && plainLayout && lines_.empty() && !points_.empty() &&
        lineNo_ + 1 == firstLine_ + points_.size()) {
      p = hasIds_ ? fastRun<true>(p, paddedEnd) : fastRun<false>(p, paddedEnd);
      if (!p) return false;
      if (p == end) break;
    }
    ++lineNo_;
    if (fieldCount_ != 0 && !decimalComma_ && p != safeEnd) {
      std::string_view idField;
      double v[6];
      int numeric = -1;
      const char* next = fastLine<false>(p, safeEnd, fieldCount_, hasIds_, separator_, &idField, &numeric, v);
      if (next) {
        // The common point (a number or no identifier, no weights, on the
        // line after the previous point) here; all others through addPoint.
        if (hasIds_ && numeric < 0) numeric = numericId(idField);
        if ((!hasIds_ || numeric >= 0) && plainLayout && lines_.empty() && !points_.empty() &&
            lineNo_ == firstLine_ + points_.size()) {
          idsRising_ = idsRising_ && numeric > points_.back().id;
          idsFalling_ = idsFalling_ && numeric < points_.back().id;
          points_.emplace_back(v[0], v[1], v[2], numeric);
        } else if (!addPoint(idField, v)) {
          return false;
        }
        p = next;
        continue;
      }
    }
    const char* eol = static_cast<const char*>(std::memchr(p, '\n', std::size_t(end - p)));
    if (!eol) eol = end;
    const char* hash = static_cast<const char*>(std::memchr(p, '#', std::size_t(eol - p)));
    if (hash && std::memchr(p, '"', std::size_t(hash - p))) hash = detail::commentStart(p, eol);  // "P#1"
    const char* const lineStart = p;
    const char* const contentEnd = hash ? hash : eol;
    p = eol == end ? end : eol + 1;
    if (lineNo_ == 1) crlf_ = eol != end && eol != lineStart && eol[-1] == '\r';
    if (lineNo_ <= options_.skipLines) continue;
    if (fieldCount_ == 0) {
      const LineKind kind = leadingLine(lineStart, contentEnd, &fields);
      if (kind == LineKind::Failed) return false;
      if (kind != LineKind::Data) continue;
      // Room for as many lines as this one's length divides into the text.
      const std::size_t estimate = bytesHint / std::size_t(std::max<std::ptrdiff_t>(p - lineStart, 6)) + 16;
      points_.reserve(estimate);
      detail::adviseHugePages(points_.data(), points_.capacity() * sizeof(BaPoint3d<double>));
      if (hasWeights_) weights_.reserve(estimate);
      if (hasNormals_) normals_.reserve(estimate);
      // Names: room for one per line, so that the table is not rebuilt
      // while it fills.
      // Names grow longer down a file (P1 ... P1000000): 16 bytes a name.
      if (hasIds_ && numericId(fields.f[0]) < 0)
        names_->reserve(names_->nameCount() + estimate, estimate * std::max<std::size_t>(16, fields.f[0].size()));
    } else {
      // A line split at semicolons in a file of them, with commas too: the
      // commas are decimal commas, not separators (a line of commas alone
      // is split at them).
      if (!decimalComma_ && separator_ == ';' && detail::holdsOutsideQuotes(lineStart, contentEnd, ',') &&
          detail::holdsOutsideQuotes(lineStart, contentEnd, ';'))
        return fail(lineNo_, tr("decimal commas in a file whose numbers have decimal points (as on line %1)")
                                 .arg(fixedOn_));
      detail::splitLine(lineStart, contentEnd, decimalComma_, &fields, &separator_);
      if (fields.count == 0 && !fields.emptyField) continue;
      if (fields.emptyField) return fail(lineNo_, tr("empty field"));
      if (fields.count != fieldCount_) {
        Fields asCommas;
        char seen = ' ';
        detail::splitLine(lineStart, contentEnd, true, &asCommas, &seen);
        if (!decimalComma_ && separator_ != ',' && asCommas.count == fieldCount_)
          return fail(lineNo_, tr("decimal commas in a file whose numbers have decimal points (as on line %1)")
                                   .arg(fixedOn_));
        return fail(lineNo_,
                    tr("%1 fields; expected %2 as on line %3").arg(fields.count).arg(fieldCount_).arg(fixedOn_));
      }
    }
    double v[6];
    if (!numbersOf(fields, v)) return false;
    if (!addPoint(hasIds_ ? fields.f[0] : std::string_view(), v)) return false;
  }
  return true;
}

bool PointFile::finish() {
  // Ids that rise from point to point (the usual numbering) cannot repeat,
  // nor can ids that fall (names seen for the first time get ever lower
  // ids): no second pass over the points then.
  if (!hasIds_ || idsRising_ || idsFalling_ || options_.allowRepeatedIdentifiers) return true;
  std::size_t firstIndex = 0;
  const std::size_t again = findRepeat(points_, &firstIndex);
  if (again == std::size_t(-1)) return true;
  const unsigned long line = getLine(again), firstLine = getLine(firstIndex);
  const QString name = QString::fromStdString(names_->nameOf(points_[again].id));
  return fail(line, tr("identifier %1 repeats the one on line %2").arg(name).arg(firstLine));
}

}  // namespace Zem
