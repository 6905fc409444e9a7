// The fit's pair table as CSV (RFC 4180 quoting), values with nine
// significant digits.
#include "zemtrafo_output.h"

namespace zemtrafo {

namespace {

std::string csvField(const std::string& s) {
  if (s.find_first_of(",\"\n") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + '"';
}

/// No "-0" in the table.
double unsigned0(double v) { return v == 0.0 ? 0.0 : v; }

}  // namespace

std::string fitCsv(const Zem::FitResult& fit, const FitReport& report) {
  const bool normals = !report.alongNormal.empty();
  std::string out = normals ? "id,dx_mm,dy_mm,dz_mm,distance_mm,along_normal_mm\n" : "id,dx_mm,dy_mm,dz_mm,distance_mm\n";
  out.reserve(fit.residuals.size() * 80);
  for (std::size_t i = 0; i < fit.residuals.size(); ++i) {
    const Zem::BaPoint3d<double>& r = fit.residuals[i];
    out += csvField(report.pairNames[i]) + format(",%.9g,%.9g", unsigned0(r.x), unsigned0(r.y)) +
           format(",%.9g,%.9g", unsigned0(r.z), fit.distances[i]);
    if (normals) out += format(",%.9g", unsigned0(report.alongNormal[i]));
    out += '\n';
  }
  return out;
}

}  // namespace zemtrafo
