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

}  // namespace

std::string fitCsv(const Zem::FitResult& fit, const FitReport& report) {
  std::string out = "id,dx_mm,dy_mm,dz_mm,distance_mm\n";
  out.reserve(fit.residuals.size() * 80);
  for (std::size_t i = 0; i < fit.residuals.size(); ++i) {
    const Zem::BaPoint3d<double>& r = fit.residuals[i];
    out += csvField(report.pairNames[i]) + format(",%.9g,%.9g", r.x, r.y) +
           format(",%.9g,%.9g\n", r.z, fit.distances[i]);
  }
  return out;
}

}  // namespace zemtrafo
