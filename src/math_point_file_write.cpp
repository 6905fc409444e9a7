// Writing point files in the layout they were read in: the header, the
// separator, identifiers and weights kept, numbers in their shortest exact
// form (they read back as the same doubles).
#include "math_point_file.h"

#include "point_number.h"

namespace Zem {

std::string PointFile::format(const std::vector<BaPoint3d<double>>& points, const PointNames& names) const {
  std::string out;
  out.reserve(points.size() * 64 + header_.size() + 1);
  if (!header_.empty()) out.append(header_).push_back('\n');
  const char sep = separator_;
  const bool withWeights = hasWeights_ && weights_.size() == points.size();
  for (std::size_t i = 0; i < points.size(); ++i) {
    const BaPoint3d<double>& p = points[i];
    if (hasIds_) {
      // A name that itself starts and ends with a double quote keeps them
      // only inside another pair, since reading takes one pair off.
      const std::string name = names.nameOf(p.id);
      const bool quote = name.size() >= 2 && name.front() == '"' && name.back() == '"';
      if (quote) out.push_back('"');
      out.append(name);
      if (quote) out.push_back('"');
      out.push_back(sep);
    }
    detail::appendNumber(&out, p.x);
    out.push_back(sep);
    detail::appendNumber(&out, p.y);
    out.push_back(sep);
    detail::appendNumber(&out, p.z);
    if (withWeights) {
      for (double w : {weights_[i].x, weights_[i].y, weights_[i].z}) {
        out.push_back(sep);
        detail::appendNumber(&out, w);
      }
    }
    out.push_back('\n');
  }
  // A reader skips a byte order mark at the start: text that begins with
  // those bytes of its own (in the header or a name) needs one in front.
  if (out.compare(0, 3, "\xEF\xBB\xBF") == 0) out.insert(0, "\xEF\xBB\xBF");
  return out;
}

}  // namespace Zem
