// Writing point files in the layout they were read in: the header, the
// separator, decimal mark and line ends, identifiers, weights and normals kept, numbers in their shortest exact
// form (they read back as the same doubles).
#include "math_point_file.h"

#include <algorithm>

#include "point_number.h"
#include "zem_base.h"

namespace Zem {

static_assert(detail::kMaxDecimals == 17, "the message of PointFile::format names 17");

int PointFile::getDecimals() const {
  int decimals = 0;
  for (const BaPoint3d<double>& p : points_)
    for (const double c : {p.x, p.y, p.z})
      while (!detail::readsBackWithDecimals(c, decimals))
        if (++decimals > detail::kMaxDecimals) return -1;
  return decimals;
}

std::string PointFile::format(const std::vector<BaPoint3d<double>>& points, const PointNames& names,
                              const std::vector<BaVec3d<double>>* normals, int decimals) const {
  if (decimals < -1 || decimals > detail::kMaxDecimals)
    throw ProgError("Zem::PointFile::format", "math_point_file_write", __LINE__,
                    "decimals must be -1 (the shortest exact form) or 0 to 17");
  std::string out;
  out.reserve(points.size() * 64 + header_.size() + 2);
  const char* const lineEnd = crlf_ ? "\r\n" : "\n";
  const char sep = separator_;
  const bool withWeights = hasWeights_ && weights_.size() == points.size();
  const bool withNormals = hasNormals_ && normals && normals->size() == points.size();
  // The header names every column: without the weight or normal columns it
  // would not fit the lines.
  if (!header_.empty() && withWeights == hasWeights_ && withNormals == hasNormals_)
    out.append(header_).append(lineEnd);
  // With decimal commas every number carries one ("10,0", "1,0e-07"), so
  // that the first line tells the mark again when the text is read back.
  const auto number = [&out, this](double v, int fixed) {
    const std::size_t start = out.size();
    if (fixed < 0)
      detail::appendNumber(&out, v);
    else
      detail::appendFixed(&out, v, fixed);
    if (!decimalComma_) return;
    const auto first = out.begin() + std::ptrdiff_t(start);
    const auto point = std::find(first, out.end(), '.');
    if (point != out.end()) {
      *point = ',';
    } else {
      const auto exponent = std::find(first, out.end(), 'e');
      out.insert(exponent, {',', '0'});
    }
  };
  for (std::size_t i = 0; i < points.size(); ++i) {
    const BaPoint3d<double>& p = points[i];
    if (hasIds_) {
      // A name with blanks, separators, '#' or quotes is written in double
      // quotes, a quote inside doubled, as reading takes them.
      const std::string name = names.nameOf(p.id);
      if (name.find_first_of(" \t\r\v\f,;#\"") == std::string::npos) {
        out.append(name);
      } else {
        out.push_back('"');
        for (const char c : name) {
          out.push_back(c);
          if (c == '"') out.push_back('"');
        }
        out.push_back('"');
      }
      out.push_back(sep);
    }
    number(p.x, decimals);
    out.push_back(sep);
    number(p.y, decimals);
    out.push_back(sep);
    number(p.z, decimals);
    if (withWeights) {
      for (double w : {weights_[i].x, weights_[i].y, weights_[i].z}) {
        out.push_back(sep);
        number(w, -1);
      }
    }
    if (withNormals) {
      for (double n : {(*normals)[i].x, (*normals)[i].y, (*normals)[i].z}) {
        out.push_back(sep);
        number(n, -1);
      }
    }
    out.append(lineEnd);
  }
  // A reader skips a byte order mark at the start: text that begins with
  // those bytes of its own (in the header or a name) needs one in front.
  if (out.compare(0, 3, "\xEF\xBB\xBF") == 0) out.insert(0, "\xEF\xBB\xBF");
  return out;
}

}  // namespace Zem
