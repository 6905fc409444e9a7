// Reading and writing point files (format: include/math_point_file.h).
//
// The whole file is read into memory once and parsed in place: fields are
// views into that buffer, numbers are converted with std::from_chars (no
// locale, no allocation), and the point vectors are reserved from a count of
// the line ends, so a data line costs no allocation. Only a new name
// allocates, once, in the run's PointNames.
#include "math_point_file.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "zem_base.h"

namespace Zem {

namespace {

constexpr std::size_t kMaxFields = 7;
constexpr int kFirstNameId = -2;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }
bool isHardSeparator(char c) { return c == ',' || c == ';'; }

/// A message naming a field: the field's text in double quotes, cut short
/// when it is long, so that a binary file gives a readable line.
QString quoted(std::string_view field) {
  constexpr std::size_t kShown = 40;
  QString text = QString::fromUtf8(field.data(), int(std::min(field.size(), kShown)));
  if (field.size() > kShown) text += QStringLiteral("...");
  return QLatin1Char('"') + text + QLatin1Char('"');
}

QString tr(const char* text) { return translate("POINTFILE_err", text); }

/// The value of a numeric identifier (digits only, at most 2^31 − 1), or −1.
int numericId(std::string_view field) {
  if (field.empty() || field.size() > 10) return -1;
  std::int64_t v = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v <= std::numeric_limits<int>::max() ? int(v) : -1;
}

enum class NumberStatus { ok, notANumber, notFinite };

/// True when a field that from_chars found out of range is a tiny number
/// (below the smallest double), not a huge one: a negative exponent, or an
/// integer part of zeros only.
bool underflows(const char* first, const char* last) {
  const char* e = std::find_if(first, last, [](char c) { return c == 'e' || c == 'E'; });
  if (e != last) return e + 1 != last && e[1] == '-';
  if (first != last && *first == '-') ++first;
  return std::all_of(first, std::find(first, last, '.'), [](char c) { return c == '0'; });
}

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

bool isNumber(std::string_view field) {
  double v;
  return toNumber(field, &v) != NumberStatus::notANumber;
}

/// Fields of one line: at most kMaxFields are kept, all are counted.
struct Fields {
  std::string_view f[kMaxFields];
  std::size_t count = 0;
  bool emptyField = false;  ///< a comma or semicolon followed by nothing before the next one
};

/// Splits [p, end) (one line without its line end, comment cut off).
void splitLine(const char* p, const char* end, Fields* out, char* separatorSeen) {
  out->count = 0;
  out->emptyField = false;
  bool expectField = false;  // after a comma or semicolon
  for (;;) {
    while (p != end && isBlank(*p)) ++p;
    if (p == end) return;  // a trailing comma or semicolon is tolerated
    if (isHardSeparator(*p)) {
      if (expectField || out->count == 0) out->emptyField = true;
      if (*separatorSeen == ' ' || *separatorSeen == '\t') *separatorSeen = *p;
      expectField = true;
      ++p;
      continue;
    }
    const char* start = p;
    while (p != end && !isBlank(*p) && !isHardSeparator(*p)) ++p;
    if (p != end && *p == '\t' && *separatorSeen == ' ') *separatorSeen = '\t';
    std::string_view field(start, std::size_t(p - start));
    if (field.size() >= 2 && field.front() == '"' && field.back() == '"') field = field.substr(1, field.size() - 2);
    if (out->count < kMaxFields) out->f[out->count] = field;
    ++out->count;
    expectField = false;
  }
}

bool validFieldCount(std::size_t n) { return n == 3 || n == 4 || n == 6 || n == 7; }

/// Finds the first repeated id among points[i].id; returns the index of its
/// second occurrence and the first in *firstIndex, or npos. Linear with a
/// direct table when the ids fill their range, else by sorting.
std::size_t findRepeat(const std::vector<BaPoint3d<double>>& points, std::size_t* firstIndex) {
  const std::size_t n = points.size();
  constexpr std::size_t npos = std::size_t(-1);
  if (n < 2) return npos;
  std::int64_t lo = points[0].id, hi = points[0].id;
  for (const auto& p : points) {
    lo = std::min<std::int64_t>(lo, p.id);
    hi = std::max<std::int64_t>(hi, p.id);
  }
  if (hi - lo < std::int64_t(4 * n + 64)) {
    std::vector<std::uint32_t> seen(std::size_t(hi - lo + 1), std::uint32_t(-1));
    for (std::size_t i = 0; i < n; ++i) {
      std::uint32_t& s = seen[std::size_t(points[i].id - lo)];
      if (s != std::uint32_t(-1)) {
        *firstIndex = s;
        return i;
      }
      s = std::uint32_t(i);
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

void appendNumber(std::string* out, double v) {
  char buffer[32];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, v);  // shortest exact form
  out->append(buffer, r.ptr);
}

}  // namespace

// ----------------------------------------------------------------- PointNames

int PointNames::idOf(std::string_view field) {
  const int numeric = numericId(field);
  if (numeric >= 0) return numeric;
  const auto it = ids_.find(field);
  if (it != ids_.end()) return it->second;
  // Ids run from −2 down to INT_MIN: 2^31 − 1 names.
  if (names_.size() >= std::size_t(std::numeric_limits<int>::max()) - 1) return -1;
  const int id = kFirstNameId - int(names_.size());
  names_.emplace_back(field);
  ids_.emplace(std::string_view(names_.back()), id);
  return id;
}

std::string PointNames::nameOf(int id) const {
  if (id >= 0) return std::to_string(id);
  const std::int64_t k = std::int64_t(kFirstNameId) - id;
  if (k >= 0 && k < std::int64_t(names_.size())) return names_[std::size_t(k)];
  return id == -1 ? std::string() : std::to_string(id);
}

// ------------------------------------------------------------------ PointFile

bool PointFile::fail(unsigned long line, const QString& reason) {
  points_.clear();
  weights_.clear();
  lines_.clear();
  hasIds_ = hasWeights_ = false;
  header_.clear();
  errorLine_ = line;
  error_ = line > 0 ? QStringLiteral("%1:%2: %3").arg(sourceName_).arg(line).arg(reason)
                    : QStringLiteral("%1: %2").arg(sourceName_, reason);
  return false;
}

bool PointFile::read(const QString& fileName, PointNames* names) {
  sourceName_ = fileName;
  FILE* file = OS::openFileStream(fileName, OS::OPEN_READ);
  if (!file) return fail(0, tr("cannot open file for reading"));
  std::unique_ptr<FILE, int (*)(FILE*)> closer(file, &std::fclose);
  std::string text;
  char chunk[1 << 16];
  for (;;) {
    const std::size_t got = std::fread(chunk, 1, sizeof chunk, file);
    text.append(chunk, got);
    if (got < sizeof chunk) break;
  }
  if (std::ferror(file)) return fail(0, tr("cannot read file"));
  return parse(text, fileName, names);
}

bool PointFile::parse(std::string_view text, const QString& sourceName, PointNames* names) {
  sourceName_ = sourceName;
  error_.clear();
  errorLine_ = 0;
  points_.clear();
  weights_.clear();
  lines_.clear();
  header_.clear();
  hasIds_ = hasWeights_ = false;
  separator_ = ' ';

  const char* p = text.data();
  const char* const end = p + text.size();
  if (text.size() >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;
  if (std::memchr(p, '\0', std::size_t(end - p)))
    return fail(0, tr("is not a text file (it contains a zero byte)"));

  const std::size_t lineEstimate = std::size_t(std::count(p, end, '\n')) + 1;
  std::size_t fieldCount = 0;  // fixed by the header or the first data line
  unsigned long fixedOn = 0;   // the line that fixed it
  Fields fields;
  unsigned long lineNo = 0;
  while (p != end) {
    ++lineNo;
    const char* eol = static_cast<const char*>(std::memchr(p, '\n', std::size_t(end - p)));
    if (!eol) eol = end;
    const char* hash = static_cast<const char*>(std::memchr(p, '#', std::size_t(eol - p)));
    splitLine(p, hash ? hash : eol, &fields, &separator_);
    const char* const lineStart = p;
    p = eol == end ? end : eol + 1;
    if (fields.count == 0 && !fields.emptyField) continue;
    if (fields.emptyField) return fail(lineNo, tr("empty field"));

    if (fieldCount == 0) {
      bool anyNumber = false;
      for (std::size_t k = 0; k < std::min(fields.count, kMaxFields); ++k) anyNumber = anyNumber || isNumber(fields.f[k]);
      if (!validFieldCount(fields.count))
        return fail(lineNo, tr("%1 fields; expected 3 (x y z), 4 (id x y z), 6 (x y z and three weights) "
                               "or 7 (id x y z and three weights)")
                                .arg(fields.count));
      fieldCount = fields.count;
      fixedOn = lineNo;
      hasIds_ = fieldCount == 4 || fieldCount == 7;
      hasWeights_ = fieldCount >= 6;
      points_.reserve(lineEstimate);
      lines_.reserve(lineEstimate);
      if (hasWeights_) weights_.reserve(lineEstimate);
      if (!anyNumber) {  // a header of names
        header_.assign(lineStart, std::size_t((hash ? hash : eol) - lineStart));
        while (!header_.empty() && isBlank(header_.back())) header_.pop_back();
        continue;
      }
    } else if (fields.count != fieldCount) {
      return fail(lineNo, tr("%1 fields; expected %2 as on line %3").arg(fields.count).arg(fieldCount).arg(fixedOn));
    }

    const std::size_t first = hasIds_ ? 1 : 0;
    double v[6];
    for (std::size_t k = first; k < fieldCount; ++k) {
      const NumberStatus status = toNumber(fields.f[k], &v[k - first]);
      if (status == NumberStatus::notANumber) return fail(lineNo, tr("%1 is not a number").arg(quoted(fields.f[k])));
      if (status == NumberStatus::notFinite)
        return fail(lineNo, tr("%1 is not a finite number").arg(quoted(fields.f[k])));
    }
    int id = -1;
    if (hasIds_) {
      id = names->idOf(fields.f[0]);
      if (id == -1) return fail(lineNo, tr("too many identifier names"));
    }
    points_.emplace_back(v[0], v[1], v[2], id);
    lines_.push_back(lineNo);
    if (hasWeights_) {
      if (v[3] < 0.0 || v[4] < 0.0 || v[5] < 0.0) return fail(lineNo, tr("negative weight"));
      weights_.emplace_back(v[3], v[4], v[5], id);
    }
  }

  if (hasIds_) {
    std::size_t firstIndex = 0;
    const std::size_t again = findRepeat(points_, &firstIndex);
    if (again != std::size_t(-1)) {
      const unsigned long line = lines_[again], firstLine = lines_[firstIndex];
      const QString name = QString::fromStdString(names->nameOf(points_[again].id));
      return fail(line, tr("identifier %1 repeats the one on line %2").arg(name).arg(firstLine));
    }
  }
  return true;
}

std::string PointFile::format(const std::vector<BaPoint3d<double>>& points, const PointNames& names) const {
  std::string out;
  out.reserve(points.size() * 64 + header_.size() + 1);
  if (!header_.empty()) out.append(header_).push_back('\n');
  const char sep = separator_;
  const bool withWeights = hasWeights_ && weights_.size() == points.size();
  for (std::size_t i = 0; i < points.size(); ++i) {
    const BaPoint3d<double>& p = points[i];
    if (hasIds_) {
      out.append(names.nameOf(p.id));
      out.push_back(sep);
    }
    appendNumber(&out, p.x);
    out.push_back(sep);
    appendNumber(&out, p.y);
    out.push_back(sep);
    appendNumber(&out, p.z);
    if (withWeights) {
      for (double w : {weights_[i].x, weights_[i].y, weights_[i].z}) {
        out.push_back(sep);
        appendNumber(&out, w);
      }
    }
    out.push_back('\n');
  }
  return out;
}

}  // namespace Zem
