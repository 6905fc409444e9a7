// The fit as one JSON object. Numbers carry 17 significant digits, so that
// they read back to the same doubles.
#include <cmath>
#include <cstdio>

#include "zemtrafo_output.h"

namespace zemtrafo {

namespace {

using Zem::BaVec3d;
using Zem::Transformation;

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

std::string jsonNumber(double v) { return std::isfinite(v) ? format("%.17g", v) : "null"; }

std::string jsonVec(const BaVec3d<double>& v) {
  return "[" + jsonNumber(v.x) + ", " + jsonNumber(v.y) + ", " + jsonNumber(v.z) + "]";
}

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

void printFitJson(const Zem::FitResult& fit, const FitReport& report, const Zem::PointNames& names,
                  AngleOrder order, bool withScale) {
  const Transformation& t = fit.transformation;
  const char* const orderWord =
      order == AngleOrder::ThreeArgumentForm ? "set" : orderName(Transformation::RotationOrder_t(order));
  std::string out = "{\n";
  out += "  \"pairing\": \"" + std::string(report.byPosition ? "position" : "identifier") + "\",\n";
  out += "  \"scale_estimated\": " + std::string(withScale ? "true" : "false") + ",\n";
  out += "  \"angle_order\": \"" + std::string(orderWord) + "\",\n";
  out += "  \"angles_deg\": " + jsonVec(anglesInDegrees(t, order)) + ",\n";
  out += "  \"translation_mm\": " + jsonVec(t.getTranslation()) + ",\n";
  out += "  \"scale\": " + jsonNumber(t.getScale()) + ",\n";
  out += "  \"matrix\": " + jsonMatrix(t) + ",\n";
  out += "  \"pair_count\": " + std::to_string(fit.pairCount) + ",\n";
  out += "  \"mean_mm\": " + jsonNumber(fit.mean) + ",\n  \"rms_mm\": " + jsonNumber(fit.rms) +
         ",\n  \"largest_mm\": " + jsonNumber(fit.largest) + ",\n";
  out += "  \"mean_weighted_mm\": " + jsonNumber(fit.meanWeighted) + ",\n";
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
  for (std::size_t i = 0; i < fit.rejected.size(); ++i)
    if (fit.rejected[i]) out += (first ? "" : ", ") + jsonString(report.pairNames[i]), first = false;
  out += "],\n";
  std::fputs(out.c_str(), stdout);
  std::fputs("  \"pairs\": [", stdout);
  for (std::size_t i = 0; i < fit.residuals.size(); ++i) {
    const std::string row = std::string(i ? ",\n    " : "\n    ") + "{\"id\": " + jsonString(report.pairNames[i]) +
                            ", \"d_mm\": " + jsonVec(fit.residuals[i]) +
                            ", \"distance_mm\": " + jsonNumber(fit.distances[i]) +
                            ", \"statistic\": " + jsonNumber(fit.statistics[i]) +
                            ", \"rejected\": " + (fit.rejected[i] ? "true" : "false") + "}";
    std::fputs(row.c_str(), stdout);
  }
  out = "\n  ],\n  \"unpaired_nominal\": " + jsonNames(report.unpairedNominal, names) +
        ",\n  \"unpaired_measured\": " + jsonNames(report.unpairedMeasured, names) + "\n}\n";
  std::fputs(out.c_str(), stdout);
}

}  // namespace zemtrafo
