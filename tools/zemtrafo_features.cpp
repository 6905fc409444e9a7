// zemtrafo features: geometric elements fitted to the probed points of a
// points file, as an element file names them (zemtrafo_elements.h).
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <unordered_map>

#include "math_point_file.h"
#include "zemtrafo_commands.h"
#include "zemtrafo_elements.h"
#include "zemtrafo_files.h"
#include "zemtrafo_output.h"

namespace zemtrafo {

namespace {

using Zem::BaVec3d;

/// Reads a whole number field ("17"); false for anything else.
bool wholeNumber(const std::string& field, long* value) {
  const auto r = std::from_chars(field.data(), field.data() + field.size(), *value);
  return r.ec == std::errc() && r.ptr == field.data() + field.size() && *value >= 0;
}

/// Adds the points that `field` names (an identifier, a name or a range).
bool addPoints(const std::string& field, const std::unordered_map<int, std::size_t>& index,
               const Zem::PointFile& file, Zem::PointNames* names, Element* element) {
  const std::size_t dash = field.find('-');
  long from = 0, to = 0;
  if (dash != std::string::npos && dash > 0 && wholeNumber(field.substr(0, dash), &from) &&
      wholeNumber(field.substr(dash + 1), &to)) {
    if (to < from || to - from > 10000000) {
      message(element->where + ": the range " + field + " runs backwards or is too long");
      return false;
    }
    for (long id = from; id <= to; ++id) {
      const auto found = id <= 2147483647L ? index.find(int(id)) : index.end();
      if (found == index.end()) {
        message(element->where + ": point " + std::to_string(id) + " of " + field + " is not in the points file");
        return false;
      }
      element->points.push_back(file.getPoints()[found->second]);
    }
    return true;
  }
  const auto found = index.find(names->idOf(field));
  if (found == index.end()) {
    message(element->where + ": point " + field + " is not in the points file");
    return false;
  }
  element->points.push_back(file.getPoints()[found->second]);
  return true;
}

bool fitElement(Element* e) {
  if (e->type == "line") e->line = Zem::fitLine(e->points);
  else if (e->type == "plane") e->plane = Zem::fitPlane(e->points);
  else if (e->type == "circle") e->circle = Zem::fitCircle(e->points);
  else if (e->type == "sphere") e->sphere = Zem::fitSphere(e->points);
  else if (e->type == "cylinder") e->cylinder = Zem::fitCylinder(e->points);
  else return false;
  return true;
}

/// "name: value" pairs of an element's parameters, in output order.
std::vector<std::pair<std::string, BaVec3d<double>>> vectorsOf(const Element& e) {
  if (e.type == "line") return {{"point", e.line.point}, {"direction", e.line.direction}};
  if (e.type == "plane") return {{"point", e.plane.point}, {"normal", e.plane.normal}};
  if (e.type == "circle") return {{"center", e.circle.center}, {"normal", e.circle.normal}};
  if (e.type == "sphere") return {{"center", e.sphere.center}};
  return {{"point", e.cylinder.point}, {"axis", e.cylinder.axis}};
}

/// The radius, or −1 for line and plane.
double radiusOf(const Element& e) {
  if (e.type == "circle") return e.circle.radius;
  if (e.type == "sphere") return e.sphere.radius;
  if (e.type == "cylinder") return e.cylinder.radius;
  return -1.0;
}

/// 0 for what rounds to zero in six decimals, so that no "-0.000000" shows.
double shown(double v) { return std::fabs(v) < 5e-7 ? 0.0 : v; }

void printText(const std::vector<Element>& elements) {
  for (const Element& e : elements) {
    const Zem::FeatureFit& fit = e.fit();
    std::string out = e.type + " " + e.name + " (" + std::to_string(e.points.size()) + " points)";
    if (!fit.isSucceeded()) {
      std::printf("%s: %s\n", out.c_str(), fit.getStatusText());
      continue;
    }
    out += ":\n";
    for (const auto& [name, v] : vectorsOf(e))
      out += "  " + name + std::string(10 - name.size(), ' ') + format("%.6f %.6f %.6f\n", shown(v.x), shown(v.y), shown(v.z));
    if (radiusOf(e) >= 0.0) out += format("  radius    %.6f (diameter %.6f)\n", radiusOf(e), 2.0 * radiusOf(e));
    out += format("  rms       %.6f\n  form      %.6f\n", fit.rms, fit.form);
    std::fputs(out.c_str(), stdout);
  }
}

void printJson(const std::vector<Element>& elements, const Zem::PointNames& names) {
  std::fputs("{\n  \"elements\": [", stdout);
  for (std::size_t k = 0; k < elements.size(); ++k) {
    const Element& e = elements[k];
    const Zem::FeatureFit& fit = e.fit();
    std::string out = std::string(k ? ",\n" : "\n") + "    {\"type\": " + jsonString(e.type) +
                      ", \"name\": " + jsonString(e.name) + ", \"status\": " + jsonString(fit.getStatusText());
    if (fit.isSucceeded()) {
      for (const auto& [name, v] : vectorsOf(e)) out += ", \"" + name + "\": " + jsonVec(v);
      if (radiusOf(e) >= 0.0) out += ", \"radius_mm\": " + jsonNumber(radiusOf(e));
      out += ", \"rms_mm\": " + jsonNumber(fit.rms) + ", \"form_mm\": " + jsonNumber(fit.form) +
             ", \"residuals\": [";
      for (std::size_t i = 0; i < fit.residuals.size(); ++i)
        out += std::string(i ? ", " : "") + "{\"id\": " + jsonString(names.nameOf(e.points[i].id)) +
               ", \"residual_mm\": " + jsonNumber(fit.residuals[i]) + "}";
      out += "]";
    }
    out += "}";
    std::fputs(out.c_str(), stdout);
  }
  std::fputs("\n  ]\n}\n", stdout);
}

}  // namespace

const Zem::FeatureFit& Element::fit() const {
  if (type == "line") return line;
  if (type == "plane") return plane;
  if (type == "circle") return circle;
  if (type == "sphere") return sphere;
  return cylinder;
}

bool readElements(const std::string& pointsPath, const std::string& elementsPath, Zem::PointNames* names,
                  std::vector<Element>* elements) {
  Zem::PointFile file;
  if (!readPoints(pointsPath, Zem::PointFile::ReadOptions(), names, &file)) return false;
  if (!file.hasIdentifiers()) {
    message(pointsPath + ": the points have no identifiers (\"id x y z\") for the elements to name");
    return false;
  }
  std::unordered_map<int, std::size_t> index;
  for (std::size_t i = 0; i < file.getPoints().size(); ++i) index.emplace(file.getPoints()[i].id, i);
  std::ifstream in;
  if (!openText(elementsPath, &in)) return false;
  std::string text;
  for (unsigned long lineNo = 1; std::getline(in, text); ++lineNo) {
    text = text.substr(0, text.find('#'));
    for (char& c : text)
      if (c == ',' || c == ';' || c == '\t' || c == '\r') c = ' ';
    std::istringstream fields(text);
    Element e;
    e.where = elementsPath + ":" + std::to_string(lineNo);
    if (!(fields >> e.type)) continue;
    if (!(fields >> e.name) || e.name == "=") {
      message(e.where + ": " + e.type + " needs a name and its points");
      return false;
    }
    bool nominal = false;
    for (std::string field; fields >> field;) {
      if (field == "=") {
        nominal = true;
      } else if (nominal) {
        double v = 0.0;
        const auto r = std::from_chars(field.data() + (field[0] == '+'), field.data() + field.size(), v);
        if (r.ec != std::errc() || r.ptr != field.data() + field.size() || !std::isfinite(v)) {
          message(e.where + ": \"" + field + "\" is not a finite number");
          return false;
        }
        e.nominal.push_back(v);
      } else if (!addPoints(field, index, file, names, &e)) {
        return false;
      }
    }
    if (!fitElement(&e)) {
      message(e.where + ": \"" + e.type + "\" is not an element (plane, line, circle, sphere, cylinder)");
      return false;
    }
    elements->push_back(std::move(e));
  }
  if (elements->empty()) {
    message(elementsPath + ": no elements");
    return false;
  }
  return true;
}

bool reportFailedFits(const std::vector<Element>& elements) {
  bool all = true;
  for (const Element& e : elements)
    if (!e.fit().isSucceeded()) {
      message(e.where + ": " + e.type + " " + e.name + ": " + e.fit().getStatusText() +
              (e.fit().status == Zem::FeatureFit::FEATURE_TOO_FEW_POINTS
                   ? " (needs " + std::to_string(e.fit().minimumPoints) + ", got " + std::to_string(e.points.size()) + ")"
                   : std::string()));
      all = false;
    }
  return all;
}

int runFeatures(const FeaturesOptions& options) {
  Zem::PointNames names;
  std::vector<Element> elements;
  if (!readElements(options.points, options.features, &names, &elements)) return kBadInput;
  if (options.json) printJson(elements, names);
  else printText(elements);
  return reportFailedFits(elements) ? kDone : kFitFailed;
}

}  // namespace zemtrafo
