#include <charconv>
#include <cmath>
#include <cstdio>

#include "zemtrafo_output.h"

namespace zemtrafo {

namespace {

using Zem::BaPoint3d;
using Zem::BaVec3d;
using Zem::Transformation;

/// v for a fixed-point line of six decimals: 0 when it rounds to zero, so
/// that no "-0.000000" shows.
double shown(double v) { return std::fabs(v) < 5e-7 ? 0.0 : v; }

/// The three values of `v` as "%.6f %.6f %.6f" after `shown`.
std::string fixedTriple(const char* pattern, const BaVec3d<double>& v) {
  return format(pattern, shown(v.x), shown(v.y), shown(v.z));
}

/// `text` right-aligned in a column of 13 characters.
std::string padded(const std::string& text) {
  constexpr std::size_t kWidth = 13;
  return text.size() >= kWidth ? " " + text : std::string(kWidth - text.size(), ' ') + text;
}

/// A length in mm with six decimals, right-aligned in 13 characters; a value
/// that rounds to zero shows as 0.000000, never as -0.000000.
void appendFixed(std::string* out, double v) {
  char buffer[400];  // the longest fixed form of a double, 309 digits and 6 decimals, fits
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, shown(v), std::chars_format::fixed, 6);
  const std::size_t length = r.ec == std::errc() ? std::size_t(r.ptr - buffer) : 0;
  if (length < 13) out->append(13 - length, ' ');
  out->append(buffer, length);
}

std::string orderText(AngleOrder order) {
  if (order == AngleOrder::ThreeArgumentForm) return "the three-argument form: Y acts first, then X, then Z";
  return std::string("order ") + orderName(Transformation::RotationOrder_t(order)) + ", the first letter acts first";
}

/// The translation, scale and matrix lines shared by the fit, the alignments
/// and show.
std::string translationText(const Transformation& t) {
  return fixedTriple("  translation (mm): %.6f %.6f %.6f\n", t.getTranslation()) +
         format("  scale: %.12f\n", t.getScale());
}

std::string matrixText(const Transformation& t) {
  std::string out = "  matrix (p' = (R p + t) / m33):\n";
  for (unsigned r = 0; r < 4; ++r) {
    out += "  ";
    for (unsigned c = 0; c < 4; ++c) out += format(" %16.10f", t.getMatrix(c, r));
    out += '\n';
  }
  return out;
}

/// sigma0, the redundancy and each parameter's standard deviation
/// (translation in mm, angles in arc seconds, scale in ppm).
std::string diagnosticsText(const Zem::FitResult& fit) {
  constexpr double kArcSecondsPerRadian = 206264.80624709636;
  const auto deviation = [&fit](int k) { return std::sqrt(fit.covariance[k][k]); };
  std::string out = format("  sigma0: %.6f mm  redundancy: %.0f  condition: %.3g\n", fit.sigma0,
                           double(fit.redundancy), fit.condition);
  out += format("  std. deviation of the translation (mm): %.6f %.6f %.6f\n", deviation(0), deviation(1), deviation(2));
  out += format("  std. deviation of the angles (arcsec): %.3f %.3f %.3f\n", deviation(3) * kArcSecondsPerRadian,
                deviation(4) * kArcSecondsPerRadian, deviation(5) * kArcSecondsPerRadian);
  out += format("  std. deviation of the scale (ppm): %.3f\n", deviation(6) * 1e6);
  return out;
}

std::string unpairedLine(const char* what, const Points& points, const Zem::PointNames& names) {
  std::string line = std::string("unpaired ") + what + " points (" + std::to_string(points.size()) + "):";
  for (const auto& p : points) line += " " + names.nameOf(p.id);
  return line + "\n";
}

}  // namespace

std::string format(const char* pattern, double a, double b, double c) {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, pattern, a, b, c);
  return buffer;
}

BaVec3d<double> anglesInDegrees(const Transformation& t, AngleOrder order) {
  constexpr double kDegPerRad = 57.295779513082320876798;
  const BaVec3d<double> radians = order == AngleOrder::ThreeArgumentForm
                                      ? t.getAngles()
                                      : t.getAngles(Transformation::RotationOrder_t(order));
  return radians * kDegPerRad;
}

const char* orderName(Transformation::RotationOrder_t order) {
  static const char* const kNames[] = {"XYZ", "XZY", "YXZ", "YZX", "ZXY", "ZYX"};
  return kNames[order];
}

std::string transformationText(const Transformation& t, AngleOrder order) {
  return "  angles (deg) about X, Y, Z (" + orderText(order) + "):\n" +
         fixedTriple("      %.6f %.6f %.6f\n", anglesInDegrees(t, order)) + translationText(t) + matrixText(t);
}

std::string recordText(const Zem::LastAndGlobalTransformation& record) {
  std::string out;
  const auto section = [&out](const char* title, const Transformation& t, bool valid) {
    out += std::string(title) + " transformation (" + (valid ? "valid" : "marked not valid") + ")\n";
    out += translationText(t) + "  angles (deg) about X, Y, Z:\n";
    out += fixedTriple("    set (Y, then X, then Z) %12.6f %12.6f %12.6f\n",
                       anglesInDegrees(t, AngleOrder::ThreeArgumentForm));
    for (const AngleOrder order : {AngleOrder::XYZ, AngleOrder::XZY, AngleOrder::YXZ, AngleOrder::YZX,
                                   AngleOrder::ZXY, AngleOrder::ZYX})
      out += std::string("    ") + orderName(Transformation::RotationOrder_t(order)) +
             fixedTriple("                     %12.6f %12.6f %12.6f\n", anglesInDegrees(t, order));
    out += matrixText(t);
  };
  section("last", record.getLastTransformation(), record.isLastTransformationValid());
  out += '\n';
  section("global", record.getGlobalTransformation(), record.isGlobalTransformationValid());
  return out;
}

void printFitText(const Zem::FitResult& fit, const FitReport& report, const Zem::PointNames& names,
                  AngleOrder order) {
  std::string out = "best fit of the measured points onto the nominal points, " + std::to_string(fit.pairCount) +
                    " pairs " + (report.byPosition ? "by position" : "by identifier") + "\n";
  out += transformationText(fit.transformation, order);
  out += diagnosticsText(fit);
  std::fputs(out.c_str(), stdout);

  // A million rows go out in blocks, formatted by to_chars (printf would
  // take most of the command's time).
  out = "\n" + padded("id") + padded("dx (mm)") + padded("dy (mm)") + padded("dz (mm)") + padded("dist (mm)") + padded("T") + "\n";
  for (std::size_t i = 0; i < fit.residuals.size(); ++i) {
    const BaPoint3d<double>& r = fit.residuals[i];
    out += padded(report.pairNames[i]);
    for (double v : {r.x, r.y, r.z, fit.distances[i]}) appendFixed(&out, v);
    out += format("%14.2f", fit.statistics[i]) + (fit.rejected[i] ? "  rejected\n" : "\n");
    if (out.size() > (1u << 20)) {
      std::fputs(out.c_str(), stdout);
      out.clear();
    }
  }
  std::fputs(out.c_str(), stdout);
  std::printf("\npairs: %zu  mean: %.6f mm  rms: %.6f mm  largest: %.6f mm\n", fit.pairCount, fit.mean, fit.rms,
              fit.largest);
  out.clear();
  if (!report.unpairedNominal.empty()) out += unpairedLine("nominal", report.unpairedNominal, names);
  if (!report.unpairedMeasured.empty()) out += unpairedLine("measured", report.unpairedMeasured, names);
  if (fit.usedCount != fit.pairCount) {
    out += "rejected pairs (" + std::to_string(fit.pairCount - fit.usedCount) + "):";
    for (std::size_t i = 0; i < fit.rejected.size(); ++i)
      if (fit.rejected[i]) out += " " + report.pairNames[i];
    out += "\n";
  }
  std::fputs(out.c_str(), stdout);
}

}  // namespace zemtrafo
