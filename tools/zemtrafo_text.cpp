#include <algorithm>
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

/// Characters of UTF-8 text (the bytes that start one), for aligning columns.
std::size_t displayWidth(const std::string& text) {
  std::size_t n = 0;
  for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

/// `text` right-aligned in a column of `width` characters (at least one blank before it).
std::string padded(const std::string& text, std::size_t width = 13) {
  const std::size_t shown = displayWidth(text);
  return shown >= width ? " " + text : std::string(width - shown, ' ') + text;
}

/// A length in mm with six decimals, right-aligned in 13 characters; a value
/// that rounds to zero shows as 0.000000, never as -0.000000.
void appendFixed(std::string* out, double v, int decimals = 6, std::size_t width = 13) {
  char buffer[400];  // the longest fixed form of a double, 309 digits and 6 decimals, fits
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, shown(v), std::chars_format::fixed, decimals);
  const std::size_t length = r.ec == std::errc() ? std::size_t(r.ptr - buffer) : 0;
  if (length < width) out->append(width - length, ' ');
  out->append(buffer, length);
}

bool isConvention(AngleOrder order) { return order >= AngleOrder::FirstConvention; }

std::string orderText(AngleOrder order) {
  if (isConvention(order)) {
    const Zem::RotationConvention c = conventionOf(order);
    return "SciPy's convention " + c.getName().toStdString() + (c.isIntrinsic() ? ", intrinsic" : ", extrinsic") +
           ", right-hand";
  }
  if (order == AngleOrder::ThreeArgumentForm) return "the three-argument form: Y acts first, then X, then Z";
  return std::string("order ") + orderName(Transformation::RotationOrder_t(order)) + ", the first letter acts first";
}

/// The translation, scale and matrix lines shared by the fit, the alignments
/// and show.
std::string translationText(const Transformation& t) {
  if (t.getScale() == 1.0)
    return fixedTriple("  translation (mm): %.6f %.6f %.6f\n", t.getTranslation()) +
           format("  scale: %.12f\n", t.getScale());
  // With a scale the stored t is not how far a point moves: q = s (R p + t).
  return fixedTriple("  translation t before the scale, q = s (R p + t) (mm): %.6f %.6f %.6f\n", t.getTranslation()) +
         fixedTriple("  displacement of the origin, s t (mm): %.6f %.6f %.6f\n",
                     t.transformPoint(BaVec3d<double>(0.0, 0.0, 0.0))) +
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

AngleOrder conventionOrder(const Zem::RotationConvention& c) {
  // 100 + 32·intrinsic + 9·first axis + 3·second axis + third axis
  return AngleOrder(static_cast<int>(AngleOrder::FirstConvention) + 32 * c.isIntrinsic() + 9 * c.getAxis(0) +
                    3 * c.getAxis(1) + c.getAxis(2));
}

Zem::RotationConvention conventionOf(AngleOrder order) {
  using Axis = Zem::RotationConvention::Axis_t;
  const int code = static_cast<int>(order) - static_cast<int>(AngleOrder::FirstConvention);
  const int axes = code % 32;
  return Zem::RotationConvention(Axis(axes / 9), Axis(axes % 9 / 3), Axis(axes % 3), code >= 32);
}

BaVec3d<double> anglesInDegrees(const Transformation& t, AngleOrder order) {
  constexpr double kDegPerRad = 57.295779513082320876798;
  if (isConvention(order)) {
    const Zem::EulerAngles e = t.getEuler(conventionOf(order));
    return BaVec3d<double>(e.first, e.second, e.third) * kDegPerRad;
  }
  const BaVec3d<double> radians = order == AngleOrder::ThreeArgumentForm
                                      ? t.getAngles()
                                      : t.getAngles(Transformation::RotationOrder_t(order));
  return radians * kDegPerRad;
}

const char* orderName(Transformation::RotationOrder_t order) {
  static const char* const kNames[] = {"XYZ", "XZY", "YXZ", "YZX", "ZXY", "ZYX"};
  return kNames[order];
}

/// ", gimbal lock: the third angle is set to 0" when `t` is at the lock of a convention `order`.
std::string lockText(const Transformation& t, AngleOrder order) {
  return isConvention(order) && t.getEuler(conventionOf(order)).gimbalLock
             ? ", gimbal lock: the third angle is set to 0"
             : "";
}

std::string transformationText(const Transformation& t, AngleOrder order) {
  const std::string about = isConvention(order) ? "in its letter sequence" : "about X, Y, Z";
  return "  angles (deg) " + about + " (" + orderText(order) + lockText(t, order) + "):\n" +
         fixedTriple("      %.6f %.6f %.6f\n", anglesInDegrees(t, order)) + translationText(t) + matrixText(t);
}

std::string recordText(const Zem::LastAndGlobalTransformation& record, AngleOrder extra) {
  std::string out;
  const auto section = [&out, extra](const char* title, const Transformation& t, bool valid) {
    out += std::string(title) + " transformation (" + (valid ? "valid" : "marked not valid") + ")\n";
    out += translationText(t) + "  angles (deg) about X, Y, Z:\n";
    out += fixedTriple("    set (Y, then X, then Z) %12.6f %12.6f %12.6f\n",
                       anglesInDegrees(t, AngleOrder::ThreeArgumentForm));
    for (const AngleOrder order : {AngleOrder::XYZ, AngleOrder::XZY, AngleOrder::YXZ, AngleOrder::YZX,
                                   AngleOrder::ZXY, AngleOrder::ZYX})
      out += std::string("    ") + orderName(Transformation::RotationOrder_t(order)) +
             fixedTriple("                     %12.6f %12.6f %12.6f\n", anglesInDegrees(t, order));
    if (isConvention(extra))
      out += "    " + orderText(extra) + lockText(t, extra) + ":\n" +
             fixedTriple("                            %12.6f %12.6f %12.6f\n", anglesInDegrees(t, extra));
    out += format("  rotation vector (rad, right-hand, axis times angle): %.9f %.9f %.9f\n", t.getRotationVector().x,
                  t.getRotationVector().y, t.getRotationVector().z);
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
  out += "  maps measured -> nominal (nominal: " + report.nominalFile + ", measured: " + report.measuredFile + ")\n";
  out += transformationText(fit.transformation, order);
  if (!fit.statistics.empty()) out += diagnosticsText(fit);
  std::fputs(out.c_str(), stdout);

  // A million rows go out in blocks, formatted by to_chars (printf would
  // take most of the command's time).
  std::size_t idWidth = 13;
  for (const std::string& name : report.pairNames) idWidth = std::max(idWidth, displayWidth(name) + 1);
  const bool normals = !report.alongNormal.empty();
  const bool diagnostics = !fit.statistics.empty();
  out = "\n" + padded("id", idWidth) + padded("dx (mm)") + padded("dy (mm)") + padded("dz (mm)") +
        padded("dist (mm)") + (normals ? padded("normal (mm)") : "") + (diagnostics ? padded("T") : "") + "\n";
  for (std::size_t i = 0; i < fit.residuals.size(); ++i) {
    const BaPoint3d<double>& r = fit.residuals[i];
    out += padded(report.pairNames[i], idWidth);
    for (double v : {r.x, r.y, r.z, fit.distances[i]}) appendFixed(&out, v);
    if (normals) appendFixed(&out, report.alongNormal[i]);
    if (diagnostics) {
      appendFixed(&out, fit.statistics[i], 2, 14);
      if (fit.rejected[i]) out += "  rejected";
    }
    out += '\n';
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
  const std::size_t rejected = std::size_t(std::count(fit.rejected.begin(), fit.rejected.end(), true));
  if (rejected > 0) {
    out += "rejected pairs (" + std::to_string(rejected) + "):";
    for (std::size_t i = 0; i < fit.rejected.size(); ++i)
      if (fit.rejected[i]) out += " " + report.pairNames[i];
    out += "\n";
  }
  std::fputs(out.c_str(), stdout);
}

}  // namespace zemtrafo
