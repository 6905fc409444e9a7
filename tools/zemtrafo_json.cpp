// The fit as one JSON object. Numbers carry 17 significant digits, so that
// they read back to the same doubles.
#include <cmath>
#include <cstdio>

#include "zemtrafo_output.h"

namespace zemtrafo {

std::string jsonString(const std::string& s) {
  std::string out = "\"";
  for (const char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
      out += buffer;
    } else {
      out += ch;
    }
  }
  return out + '"';
}

std::string jsonNumber(double v) {
  if (!std::isfinite(v)) return "null";
  return format("%.17g", v == 0.0 ? 0.0 : v);  // no -0
}

std::string jsonVec(const Zem::BaVec3d<double>& v) {
  return "[" + jsonNumber(v.x) + ", " + jsonNumber(v.y) + ", " + jsonNumber(v.z) + "]";
}

namespace {

using Zem::BaVec3d;
using Zem::Transformation;

std::string jsonNames(const Points& points, const Zem::PointNames& names) {
  std::string out = "[";
  for (std::size_t i = 0; i < points.size(); ++i) out += (i ? ", " : "") + jsonString(names.nameOf(points[i].id));
  return out + "]";
}

std::string jsonMatrix(const Transformation& t) {
  std::string out = "[";
  for (unsigned r = 0; r < 4; ++r) {
    out += r ? ", [" : "[";
    for (unsigned c = 0; c < 4; ++c) out += (c ? ", " : "") + jsonNumber(t.getMatrix(c, r));
    out += "]";
  }
  return out + "]";
}

}  // namespace

std::string fitJson(const Zem::FitResult& fit, const FitReport& report, const Zem::PointNames& names,
                    AngleOrder order, bool withScale) {
  const Transformation& t = fit.transformation;
  const bool convention = order >= AngleOrder::FirstConvention;
  const std::string orderWord = convention ? "scipy:" + conventionOf(order).getName().toStdString()
                                : order == AngleOrder::ThreeArgumentForm ? "set"
                                                                         : orderName(Transformation::RotationOrder_t(order));
  std::string out = "{\n";
  out += "  \"maps\": \"measured -> nominal\",\n";
  out += "  \"nominal_file\": " + jsonString(report.nominalFile) + ",\n";
  out += "  \"measured_file\": " + jsonString(report.measuredFile) + ",\n";
  out += "  \"pairing\": \"" + std::string(report.byPosition ? "position" : "identifier") + "\",\n";
  out += "  \"scale_estimated\": " + std::string(withScale ? "true" : "false") + ",\n";
  out += "  \"angle_order\": \"" + std::string(orderWord) + "\",\n";
  out += "  \"angles_deg\": " + jsonVec(anglesInDegrees(t, order)) + ",\n";
  if (convention)
    out += "  \"gimbal_lock\": " + std::string(t.getEuler(conventionOf(order)).gimbalLock ? "true" : "false") + ",\n";
  // q = s·(R·p + t): the stored t, and the displacement s·t of the origin.
  out += "  \"translation_mm\": " + jsonVec(t.getTranslation()) + ",\n";
  out += "  \"displacement_mm\": " + jsonVec(t.transformPoint(BaVec3d<double>(0.0, 0.0, 0.0))) + ",\n";
  out += "  \"scale\": " + jsonNumber(t.getScale()) + ",\n";
  out += "  \"matrix\": " + jsonMatrix(t) + ",\n";
  out += "  \"pair_count\": " + std::to_string(fit.pairCount) + ",\n";
  out += "  \"mean_mm\": " + jsonNumber(fit.mean) + ",\n  \"rms_mm\": " + jsonNumber(fit.rms) +
         ",\n  \"largest_mm\": " + jsonNumber(fit.largest) + ",\n";
  out += "  \"mean_weighted_mm\": " + jsonNumber(fit.meanWeighted) + ",\n";
  const bool diagnostics = !fit.statistics.empty();
  if (diagnostics) {
    out += "  \"sigma0\": " + jsonNumber(fit.sigma0) + ",\n  \"redundancy\": " + std::to_string(fit.redundancy) +
           ",\n  \"condition\": " + jsonNumber(fit.condition) + ",\n  \"center\": " + jsonVec(fit.center) +
           ",\n  \"covariance\": [";
    for (int r = 0; r < 7; ++r) {
      out += r ? ",\n    [" : "\n    [";
      for (int c = 0; c < 7; ++c) out += (c ? ", " : "") + jsonNumber(fit.covariance[r][c]);
      out += "]";
    }
    out += "],\n  \"rejected_ids\": [";
    bool first = true;
    for (std::size_t i = 0; i < fit.rejected.size(); ++i) {
      if (!fit.rejected[i]) continue;
      out += (first ? "" : ", ") + jsonString(report.pairNames[i]);
      first = false;
    }
    out += "],\n";
  }
  out += "  \"pairs\": [";
  for (std::size_t i = 0; i < fit.residuals.size(); ++i) {
    out += std::string(i ? ",\n    " : "\n    ") + "{\"id\": " + jsonString(report.pairNames[i]) +
           ", \"d_mm\": " + jsonVec(fit.residuals[i]) + ", \"distance_mm\": " + jsonNumber(fit.distances[i]);
    if (!report.alongNormal.empty()) out += ", \"along_normal_mm\": " + jsonNumber(report.alongNormal[i]);
    if (diagnostics)
      out += std::string(", \"statistic\": ") + jsonNumber(fit.statistics[i]) +
             ", \"rejected\": " + (fit.rejected[i] ? "true" : "false");
    out += "}";
  }
  out += "\n  ],\n  \"unpaired_nominal\": " + jsonNames(report.unpairedNominal, names) +
         ",\n  \"unpaired_measured\": " + jsonNames(report.unpairedMeasured, names) + "\n}\n";
  return out;
}

}  // namespace zemtrafo
