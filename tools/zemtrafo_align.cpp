// The alignments of zemtrafo: 3-2-1 and plane-line-point, from a small
// feature file (mm; one feature per line; '#' comments and blank lines
// skipped; fields separated by blanks, tabs, commas or semicolons):
//
//   3-2-1 (align321), six lines: measured point, then its nominal coordinate
//   along the axis the feature fixes
//     plane      x y z  height      three points on the primary plane
//     direction  x y z  value       two points along the secondary direction
//     point      x y z  value       one point for the tertiary axis
//   The order of the lines matters: the plane's normal points along
//   (P1 − P0) × (P2 − P0) of its points in the order listed (swapping two
//   plane lines turns the result by a half turn), and the direction runs
//   from the first direction point to the second; --plane-negative and
//   --direction-negative take the opposite senses.
//
// Keywords may be written in any case; a UTF-8 byte order mark is skipped.
//
//   plane-line-point (align-plp), three lines: the measured feature, then
//   the nominal one
//     plane  a b c d  a b c d                  a·x + b·y + c·z + d = 0
//     line   px py pz dx dy dz  px py pz dx dy dz   a point and a direction
//     point  x y z  x y z
//
// Or from probed points (--points and --features): an element file
// (zemtrafo_elements.h) whose plane, line (or cylinder axis) and point
// (circle or sphere centre) carry their nominal values after "=". The
// 3-2-1 alignment then takes three points of the fitted plane, in the
// right-hand order of its normal, two points along the fitted line, in its
// direction, and the centre; plane-line-point takes the fitted elements
// themselves. Each alignment projects the line as its rule says.
#include <QString>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "math_transformation.h"
#include "zem_math.h"
#include "zemtrafo_commands.h"
#include "zemtrafo_elements.h"
#include "zemtrafo_files.h"

namespace zemtrafo {

namespace {

using Zem::BaVec3d;
using Zem::Transformation;

/// The features of a file: for each keyword, its lines' numbers in order.
using Features = std::map<std::string, std::vector<std::vector<double>>>;

/// Reads `path`; `counts` gives each allowed keyword's number of values and
/// of lines. Messages name the file and the line.
bool readFeatures(const std::string& path, const std::map<std::string, std::pair<std::size_t, std::size_t>>& counts,
                  Features* features) {
  std::ifstream in;
  if (!openText(path, &in)) return false;
  std::string line;
  for (unsigned long lineNo = 1; std::getline(in, line); ++lineNo) {
    const std::string where = path + ":" + std::to_string(lineNo) + ": ";
    if (lineNo == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    line = line.substr(0, line.find('#'));
    for (char& c : line)
      if (c == ',' || c == ';' || c == '\t' || c == '\r') c = ' ';
    std::istringstream fields(line);
    std::string keyword, field;
    if (!(fields >> keyword)) continue;
    for (char& c : keyword) c = char(std::tolower(static_cast<unsigned char>(c)));
    const auto allowed = counts.find(keyword);
    if (allowed == counts.end()) {
      message(where + "\"" + keyword + "\" is not a feature here");
      return false;
    }
    std::vector<double> values;
    while (fields >> field) {
      double v = 0.0;
      const char* first = field.data() + (field[0] == '+' ? 1 : 0);
      const auto r = std::from_chars(first, field.data() + field.size(), v);
      if (r.ec != std::errc() || r.ptr != field.data() + field.size() || !std::isfinite(v)) {
        message(where + "\"" + field + "\" is not a finite number");
        return false;
      }
      values.push_back(v);
    }
    if (values.size() != allowed->second.first) {
      message(where + keyword + " takes " + std::to_string(allowed->second.first) + " numbers, found " +
              std::to_string(values.size()));
      return false;
    }
    (*features)[keyword].push_back(values);
  }
  for (const auto& [keyword, count] : counts)
    if ((*features)[keyword].size() != count.second) {
      message(path + ": needs " + std::to_string(count.second) + " " + keyword + " line(s), found " +
              std::to_string((*features)[keyword].size()));
      return false;
    }
  return true;
}

BaVec3d<double> vec(const std::vector<double>& v, std::size_t at) {
  return BaVec3d<double>(v[at], v[at + 1], v[at + 2]);
}

/// The fitted plane, line and point of an element file: the one element of
/// each role that has a nominal value (of `counts` numbers: plane, line,
/// point), every fit succeeded.
struct Datums {
  const Element* plane = nullptr;
  const Element* line = nullptr;
  const Element* point = nullptr;
};

bool readDatums(const std::string& points, const std::string& features, const std::size_t (&counts)[3],
                std::vector<Element>* elements, Datums* datums) {
  Zem::PointNames names;
  if (!readElements(points, features, &names, elements)) return false;
  const Element** roles[3] = {&datums->plane, &datums->line, &datums->point};
  const char* roleNames[3] = {"plane", "line (or cylinder)", "point (circle or sphere)"};
  for (const Element& e : *elements) {
    if (e.nominal.empty()) continue;
    const int role = e.type == "plane" ? 0 : e.isLine() ? 1 : e.isPoint() ? 2 : -1;
    if (role < 0 || *roles[role] || e.nominal.size() != counts[role]) {
      message(e.where + ": " + (role < 0 || *roles[role] ? "a second element with a nominal for the " +
                                                               std::string(role < 0 ? "line" : roleNames[role])
                                                         : e.type + " takes " + std::to_string(counts[role]) +
                                                               " nominal value(s) after \"=\", found " +
                                                               std::to_string(e.nominal.size())));
      return false;
    }
    *roles[role] = &e;
  }
  for (int role = 0; role < 3; ++role)
    if (!*roles[role]) {
      message(features + ": needs a " + roleNames[role] + " with its nominal value(s) after \"=\"");
      return false;
    }
  std::vector<Element> used;
  for (const Element* e : {datums->plane, datums->line, datums->point}) used.push_back(*e);
  return reportFailedFits(used);
}

/// The RMS distance of an element's points from their centroid, at least
/// 1 mm: the size of the triangle and segment standing in for plane and line.
double spreadOf(const Element& e) {
  BaVec3d<double> mean;
  for (const auto& p : e.points) mean += p;
  mean = mean / double(e.points.size());
  double sum = 0.0;
  for (const auto& p : e.points) sum += (p - mean).lengthSquared();
  return std::max(1.0, std::sqrt(sum / double(e.points.size())));
}

int runAlign321FromPoints(const Align321Options& options) {
  std::vector<Element> elements;
  Datums d;
  if (!readDatums(options.points, options.features, {1, 1, 1}, &elements, &d)) return kBadInput;
  // Three points of the fitted plane whose right-hand order turns about its
  // normal: (P1 − P0) × (P2 − P0) points along it.
  const BaVec3d<double> n = d.plane->plane.normal, c = d.plane->plane.point;
  BaVec3d<double> u = std::fabs(n.x) < 0.9 ? BaVec3d<double>(1, 0, 0).cross(n) : BaVec3d<double>(0, 1, 0).cross(n);
  u.normalize();
  const BaVec3d<double> v = n.cross(u);
  const double s = spreadOf(*d.plane), half = 0.5 * s, high = 0.5 * std::sqrt(3.0) * s;
  const std::vector<BaVec3d<double>> plane = {c + u * s, c - u * half + v * high, c - u * half - v * high};
  const Zem::Line3d line = d.line->axis();
  const double t = spreadOf(*d.line);
  const std::vector<BaVec3d<double>> dir = {line.p - line.d * t, line.p + line.d * t};
  const double h = d.plane->nominal[0], w = d.line->nominal[0];
  Transformation result = Transformation::identity();
  QString unused;
  if (!result.computeTransformation321(options.mode, plane, {h, h, h}, !options.negativeFirst, dir, {w, w},
                                       !options.negativeSecond, d.point->center(), d.point->nominal[0], unused)) {
    message("the alignment failed: the fitted elements cannot reach the nominal values");
    return kFitFailed;
  }
  return finishAlignment(result, options.order, options.record, options.features,
                         "senses: the fitted plane's normal and the fitted line's direction\n");
}

int runAlignPlpFromPoints(const AlignPlpOptions& options) {
  std::vector<Element> elements;
  Datums d;
  if (!readDatums(options.points, options.features, {4, 6, 3}, &elements, &d)) return kBadInput;
  const std::vector<double>& pl = d.plane->nominal;
  const std::vector<double>& li = d.line->nominal;
  if (BaVec3d<double>(pl[0], pl[1], pl[2]).length() <= 1e-50) {
    message(d.plane->where + ": the nominal plane's normal (a, b, c) is zero");
    return kBadInput;
  }
  Transformation t = Transformation::identity();
  QString reason;
  if (!t.computeTransformationPlaneLinePoint(options.mode, d.plane->plane.toPlane3d(),
                                             Zem::Plane3d(pl[0], pl[1], pl[2], pl[3]), d.line->axis(),
                                             Zem::Line3d(vec(li, 0), vec(li, 3)), d.point->center(),
                                             vec(d.point->nominal, 0), &reason)) {
    message("the alignment failed: " +
            (reason.isEmpty() ? std::string("the features do not fix a frame") : reason.toStdString()));
    return kFitFailed;
  }
  return finishAlignment(t, options.order, options.record, options.features, "");
}

}  // namespace

int runAlign321(const Align321Options& options) {
  if (!options.points.empty()) return runAlign321FromPoints(options);
  Features f;
  if (!readFeatures(options.features, {{"plane", {4, 3}}, {"direction", {4, 2}}, {"point", {4, 1}}}, &f))
    return kBadInput;
  std::vector<BaVec3d<double>> plane, dir;
  std::vector<double> planeValues, dirValues;
  for (const auto& v : f["plane"]) {
    plane.push_back(vec(v, 0));
    planeValues.push_back(v[3]);
  }
  for (const auto& v : f["direction"]) {
    dir.push_back(vec(v, 0));
    dirValues.push_back(v[3]);
  }
  // The reasons the alignment itself does not tell.
  const BaVec3d<double> normal = (plane[1] - plane[0]).cross(plane[2] - plane[0]);
  const double spread = std::max({(plane[1] - plane[0]).length(), (plane[2] - plane[0]).length(),
                                  (plane[2] - plane[1]).length()});
  if (!(normal.length() > 1e-12 * spread * spread)) {
    message("the alignment failed: the three plane points coincide or lie on one line");
    return kFitFailed;
  }
  if (!((dir[1] - dir[0]).length() > 0.0)) {
    message("the alignment failed: the two direction points coincide");
    return kFitFailed;
  }
  Transformation t = Transformation::identity();
  QString unused;  // the 3-2-1 alignment gives no reason of its own
  if (!t.computeTransformation321(options.mode, plane, planeValues,
                                  !options.negativeFirst, dir, dirValues, !options.negativeSecond,
                                  vec(f["point"][0], 0), f["point"][0][3], unused)) {
    message("the alignment failed: the measured points cannot reach the nominal values (the direction may be "
            "parallel to the plane's normal)");
    return kFitFailed;
  }
  const std::string senses =
      std::string("  plane normal: ") + (options.negativeFirst ? "-" : "+") +
      "(P1 - P0) x (P2 - P0) of the plane lines in file order" + (options.negativeFirst ? " (--plane-negative)" : "") +
      "\n  direction: " + (options.negativeSecond ? "second to first" : "first to second") + " direction point" +
      (options.negativeSecond ? " (--direction-negative)" : "") + "\n";
  return finishAlignment(t, options.order, options.record, options.features, senses);
}

int runAlignPlp(const AlignPlpOptions& options) {
  if (!options.points.empty()) return runAlignPlpFromPoints(options);
  Features f;
  if (!readFeatures(options.features, {{"plane", {8, 1}}, {"line", {12, 1}}, {"point", {6, 1}}}, &f))
    return kBadInput;
  const std::vector<double>& pl = f["plane"][0];
  const std::vector<double>& li = f["line"][0];
  const std::vector<double>& po = f["point"][0];
  const auto plane = [&pl](std::size_t at) {
    Zem::Plane3d p;
    p.a = pl[at];
    p.b = pl[at + 1];
    p.c = pl[at + 2];
    p.d = pl[at + 3];
    return p;
  };
  const auto line = [&li](std::size_t at) {
    Zem::Line3d l;
    l.p = vec(li, at);
    l.d = vec(li, at + 3);
    return l;
  };
  for (std::size_t at : {0, 4})
    if (BaVec3d<double>(pl[at], pl[at + 1], pl[at + 2]).length() <= 1e-50) {
      message(options.features + ": a plane's normal (a, b, c) is zero");
      return kBadInput;
    }
  for (std::size_t at : {3, 9})
    if (!(vec(li, at).length() > 0.0)) {
      message(options.features + ": a line's direction (dx, dy, dz) is zero");
      return kBadInput;
    }
  Transformation t = Transformation::identity();
  QString reason;
  if (!t.computeTransformationPlaneLinePoint(options.mode, plane(0), plane(4),
                                             line(0), line(6), vec(po, 0), vec(po, 3), &reason)) {
    message("the alignment failed: " +
            (reason.isEmpty() ? std::string("the features do not fix a frame") : reason.toStdString()));
    return kFitFailed;
  }
  return finishAlignment(t, options.order, options.record, options.features, "");
}

}  // namespace zemtrafo
