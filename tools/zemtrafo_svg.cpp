// The fit's pair distances as an SVG bar chart.
#include <algorithm>

#include "zemtrafo_output.h"

namespace zemtrafo {

namespace {

std::string xmlText(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

/// A bar per pair (at most kMaxBars bars: beyond that, each bar shows the
/// largest distance of a run of consecutive pairs), the mean as a dashed
/// line, the tolerance (when given) as a red line, bars above it red.
std::string fitSvg(const Zem::FitResult& fit, const FitReport& report, double tolerance) {
  constexpr std::size_t kMaxBars = 2000;
  const std::size_t n = fit.distances.size();
  const std::size_t perBar = (n + kMaxBars - 1) / kMaxBars;
  const std::size_t bars = (n + perBar - 1) / perBar;
  const double barWidth = bars <= 100 ? 12.0 : 1200.0 / double(bars);
  const double left = 70.0, top = 30.0, height = 300.0, width = barWidth * double(bars);
  // At least 1 µm: a perfect fit gets a readable axis, not one of 1e-9 mm.
  const double topValue = std::max({fit.largest, tolerance, 1e-3}) * 1.1;
  const auto y = [&](double v) { return top + height * (1.0 - v / topValue); };

  // Room below the bars for the longest name (about 7 px a character at
  // 11 px), right of them for the mean and tolerance labels.
  std::size_t longest = 0;
  if (bars <= 100)
    for (const std::string& name : report.pairNames) longest = std::max(longest, name.size());
  const double below = std::max(70.0, 7.0 * double(longest) + 20.0), right = 110.0;
  std::string out = format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
                           "font-family=\"sans-serif\" font-size=\"11\">\n",
                           left + width + right, top + height + below);
  out += format("<text x=\"%.1f\" y=\"18\">distance after the fit (mm), %.0f pairs", left, double(n));
  out += perBar > 1 ? format("; each bar the largest of %.0f pairs", double(perBar)) : std::string();
  out += "</text>\n";
  out += format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" ", left, top + height, left + width) +
         format("y2=\"%.1f\" stroke=\"black\"/>\n", top + height);
  for (int k = 0; k <= 4; ++k) {
    const double v = topValue * k / 4.0;
    out += format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">", left - 6.0, y(v) + 4.0) +
           format("%.4g</text>\n", v);
  }
  for (std::size_t b = 0; b < bars; ++b) {
    double v = 0.0;
    std::size_t worst = b * perBar;
    for (std::size_t i = b * perBar; i < std::min(n, (b + 1) * perBar); ++i)
      if (fit.distances[i] > v) {
        v = fit.distances[i];
        worst = i;
      }
    const bool over = tolerance >= 0.0 && v > tolerance;
    out += format("<rect x=\"%.2f\" y=\"%.2f\" ", left + barWidth * double(b) + barWidth * 0.1, y(v)) +
           format("width=\"%.2f\" height=\"%.2f\" ", barWidth * 0.8, top + height - y(v)) +
           (over ? "fill=\"#d62728\"" : "fill=\"#1f77b4\"") + "><title>" + xmlText(report.pairNames[worst]) +
           format(": %.6f mm</title></rect>\n", v);
    if (bars <= 100)
      out += format("<text x=\"%.2f\" y=\"%.2f\" ", left + barWidth * (double(b) + 0.5), top + height + 8.0) +
             format("transform=\"rotate(90 %.2f %.2f)\">", left + barWidth * (double(b) + 0.5), top + height + 8.0) +
             xmlText(report.pairNames[worst]) + "</text>\n";
  }
  const auto hline = [&](double v, const char* style, const std::string& label) {
    out += format("<line x1=\"%.1f\" y1=\"%.2f\" x2=\"%.1f\" ", left, y(v), left + width) +
           format("y2=\"%.2f\" ", y(v)) + style + "/>\n";
    out += format("<text x=\"%.1f\" y=\"%.2f\">", left + width + 2.0, y(v) - 3.0) + xmlText(label) + "</text>\n";
  };
  hline(fit.mean, "stroke=\"black\" stroke-dasharray=\"6 3\"", format("mean %.4g", fit.mean));
  if (tolerance >= 0.0) hline(tolerance, "stroke=\"#d62728\"", format("tolerance %.4g", tolerance));
  return out + "</svg>\n";
}

}  // namespace zemtrafo
