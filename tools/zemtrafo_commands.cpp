// The work of zemtrafo's subcommands. Lengths are in mm and angles in
// degrees in everything printed; the .trafo record keeps radians.
//
// Files are written only after all input was read and the fit succeeded,
// each one safely: the content goes to a new file beside the target, which
// replaces the target only when every byte was written (a .trafo record
// through the library's Object::save, all other files through QSaveFile or a
// renamed temporary file). Bad input thus never leaves a partial file.
#include "zemtrafo_commands.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "math_fit_result.h"
#include "math_point_file.h"
#include "math_trafo_io.h"

namespace zemtrafo {

namespace {

using Zem::BaPoint3d;
using Zem::BaVec3d;
using Zem::Transformation;
using Points = std::vector<BaPoint3d<double>>;

constexpr double kDegPerRad = 57.295779513082320876798;

const char* const kOrderNames[] = {"XYZ", "XZY", "YXZ", "YZX", "ZXY", "ZYX"};

void message(const std::string& text) { std::fprintf(stderr, "zemtrafo: %s\n", text.c_str()); }

QString qs(const std::string& s) { return QString::fromLocal8Bit(s.c_str()); }

std::string str(const QString& s) { return s.toLocal8Bit().toStdString(); }

void messageLog(const Zem::ErrorLog& log) {
  for (const QString& entry : log.getEntries()) message(str(entry));
}

/// Writes `content` to `path` through a new file renamed over it at the end.
bool writeFileSafely(const std::string& path, const std::string& content) {
  QSaveFile file(qs(path));
  file.setDirectWriteFallback(false);
  // Unbuffered, so that a full disk shows in write() and not after commit().
  if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
    message("cannot open file for writing: " + path);
    return false;
  }
  const qint64 size = qint64(content.size());
  if (file.write(content.data(), size) != size || !file.commit()) {
    file.cancelWriting();
    message("cannot write file: " + path);
    return false;
  }
  return true;
}

/// The text report of `record` into `path`, through a temporary file in the
/// same directory that is renamed over `path` only when the report is complete.
bool exportReportSafely(const Zem::LastAndGlobalTransformation& record, const std::string& path) {
  const QString target = qs(path);
  QTemporaryFile temporary(QFileInfo(target).absoluteDir().filePath(QStringLiteral(".zemtrafo-report-XXXXXX")));
  if (!temporary.open()) {
    message("cannot open file for writing: " + path);
    return false;
  }
  temporary.close();
  Zem::ErrorLog log;
  if (!record.exportASCII(temporary.fileName(), &log)) {
    messageLog(log);
    return false;
  }
  if (std::rename(QFile::encodeName(temporary.fileName()).constData(), QFile::encodeName(target).constData()) != 0) {
    message("cannot write file: " + path);
    return false;
  }
  temporary.setAutoRemove(false);  // it is the report now
  return true;
}

bool loadRecord(const std::string& path, Zem::LastAndGlobalTransformation* record) {
  Zem::ErrorLog log;
  if (record->load(qs(path), &log, 0, 0)) return true;
  message(path + ": not a readable .trafo record");
  messageLog(log);
  return false;
}

bool readPoints(const std::string& path, Zem::PointNames* names, Zem::PointFile* file) {
  if (file->read(qs(path), names)) return true;
  message(str(file->getError()));
  return false;
}

BaVec3d<double> anglesOf(const Transformation& t, int order) {
  return order == kThreeArgumentForm ? t.getAngles() : t.getAngles(Transformation::RotationOrder_t(order));
}

std::string orderText(int order) {
  return order == kThreeArgumentForm ? "the three-argument form: Y acts first, then X, then Z"
                                     : std::string("order ") + kOrderNames[order] + ", the first letter acts first";
}

std::string format(const char* pattern, double a, double b = 0.0, double c = 0.0) {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, pattern, a, b, c);
  return buffer;
}

/// v for a fixed-point line of six decimals: 0 when it rounds to zero, so
/// that no "-0.000000" shows.
double shown(double v) { return std::fabs(v) < 5e-7 ? 0.0 : v; }

/// `text` right-aligned in a column of 13 characters.
std::string padded(const std::string& text) {
  constexpr std::size_t kWidth = 13;
  return text.size() >= kWidth ? " " + text : std::string(kWidth - text.size(), ' ') + text;
}

/// A length in mm with six decimals, right-aligned in 13 characters; a value
/// that rounds to zero shows as 0.000000, never as -0.000000.
void appendFixed(std::string* out, double v) {
  if (std::fabs(v) < 5e-7) v = 0.0;
  char buffer[400];  // the longest fixed form of a double, 309 digits and 6 decimals, fits
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed, 6);
  const std::size_t length = r.ec == std::errc() ? std::size_t(r.ptr - buffer) : 0;
  if (length < 13) out->append(13 - length, ' ');
  out->append(buffer, length);
}

std::string matrixText(const Transformation& t, const char* indent) {
  std::string out;
  for (unsigned r = 0; r < 4; ++r) {
    out += indent;
    for (unsigned c = 0; c < 4; ++c) out += format(" %16.10f", t.getMatrix(c, r));
    out += '\n';
  }
  return out;
}

/// The record named by --global, when there is one.
bool loadPrevious(const RecordOptions& options, std::unique_ptr<Zem::LastAndGlobalTransformation>* previous) {
  if (options.global.empty()) return true;
  *previous = std::make_unique<Zem::LastAndGlobalTransformation>(Transformation::identity(), false,
                                                                 Transformation::identity(), false);
  return loadRecord(options.global, previous->get());
}

/// Saves the record with last = t and global = the previous global followed
/// by t (or t alone), to --out or else back to --global, and its report.
bool writeRecord(const Transformation& t, const Zem::LastAndGlobalTransformation* previous,
                 const RecordOptions& options) {
  Transformation global = t;
  if (previous && previous->isGlobalTransformationValid()) {
    global = previous->getGlobalTransformation();
    global.append(t);
  }
  Zem::LastAndGlobalTransformation record(t, true, global, true);
  const std::string path = !options.out.empty() ? options.out : options.global;
  if (!path.empty()) {
    Zem::ErrorLog log;
    if (!record.save(qs(path), &log, 0, 0)) {
      messageLog(log);
      return false;
    }
  }
  return options.report.empty() || exportReportSafely(record, options.report);
}

/// The transformation's lines of the text output.
std::string transformationText(const Transformation& t, int order) {
  const BaVec3d<double> a = anglesOf(t, order) * kDegPerRad;
  const BaVec3d<double> tr = t.getTranslation();
  std::string out = "  angles (deg) about X, Y, Z (" + orderText(order) + "):\n";
  out += format("      %.6f %.6f %.6f\n", shown(a.x), shown(a.y), shown(a.z));
  out += format("  translation (mm): %.6f %.6f %.6f\n", shown(tr.x), shown(tr.y), shown(tr.z));
  out += format("  scale: %.12f\n", t.getScale());
  return out + "  matrix (p' = (R p + t) / m33):\n" + matrixText(t, "  ");
}

// ---------------------------------------------------------------- JSON

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

std::string jsonNumber(double v) { return format("%.17g", v); }

std::string jsonVec(const BaVec3d<double>& v) {
  return "[" + jsonNumber(v.x) + ", " + jsonNumber(v.y) + ", " + jsonNumber(v.z) + "]";
}

std::string jsonNames(const Points& points, const Zem::PointNames& names) {
  std::string out = "[";
  for (std::size_t i = 0; i < points.size(); ++i) out += (i ? ", " : "") + jsonString(names.nameOf(points[i].id));
  return out + "]";
}

// ---------------------------------------------------------------- fit output

/// What the fit command shows besides the FitResult.
struct FitReport {
  std::vector<std::string> pairNames;  ///< name of each pair
  Points unpairedNominal, unpairedMeasured;
  bool byPosition = false;
};

void printText(const Zem::FitResult& fit, const FitReport& report, const Zem::PointNames& names, int order) {
  std::string out = "best fit of the measured points onto the nominal points, " + std::to_string(fit.pairCount) +
                    " pairs " + (report.byPosition ? "by position" : "by identifier") + "\n";
  out += transformationText(fit.transformation, order);
  std::fputs(out.c_str(), stdout);

  // A million rows go out in blocks, formatted by to_chars (printf would
  // take most of the command's time).
  out = "\n" + padded("id") + padded("dx (mm)") + padded("dy (mm)") + padded("dz (mm)") + padded("dist (mm)") + "\n";
  for (std::size_t i = 0; i < fit.residuals.size(); ++i) {
    const BaPoint3d<double>& r = fit.residuals[i];
    out += padded(report.pairNames[i]);
    for (double v : {r.x, r.y, r.z, fit.distances[i]}) appendFixed(&out, v);
    out += '\n';
    if (out.size() > (1u << 20)) {
      std::fputs(out.c_str(), stdout);
      out.clear();
    }
  }
  std::fputs(out.c_str(), stdout);
  std::printf("\npairs: %zu  mean: %.6f mm  rms: %.6f mm  largest: %.6f mm\n", fit.pairCount, fit.mean, fit.rms,
              fit.largest);
  const auto listUnpaired = [&names](const char* what, const Points& points) {
    if (points.empty()) return;
    std::string line = std::string("unpaired ") + what + " points (" + std::to_string(points.size()) + "):";
    for (const auto& p : points) line += " " + names.nameOf(p.id);
    std::printf("%s\n", line.c_str());
  };
  listUnpaired("nominal", report.unpairedNominal);
  listUnpaired("measured", report.unpairedMeasured);
}

void printJson(const Zem::FitResult& fit, const FitReport& report, const Zem::PointNames& names, int order,
               bool withScale) {
  const Transformation& t = fit.transformation;
  std::string out = "{\n";
  out += "  \"pairing\": \"" + std::string(report.byPosition ? "position" : "identifier") + "\",\n";
  out += "  \"scale_estimated\": " + std::string(withScale ? "true" : "false") + ",\n";
  out += "  \"angle_order\": \"" + std::string(order == kThreeArgumentForm ? "set" : kOrderNames[order]) + "\",\n";
  out += "  \"angles_deg\": " + jsonVec(anglesOf(t, order) * kDegPerRad) + ",\n";
  out += "  \"translation_mm\": " + jsonVec(t.getTranslation()) + ",\n";
  out += "  \"scale\": " + jsonNumber(t.getScale()) + ",\n";
  out += "  \"matrix\": [";
  for (unsigned r = 0; r < 4; ++r) {
    out += r ? ", [" : "[";
    for (unsigned c = 0; c < 4; ++c) out += (c ? ", " : "") + jsonNumber(t.getMatrix(c, r));
    out += "]";
  }
  out += "],\n";
  out += "  \"pair_count\": " + std::to_string(fit.pairCount) + ",\n";
  out += "  \"mean_mm\": " + jsonNumber(fit.mean) + ",\n  \"rms_mm\": " + jsonNumber(fit.rms) +
         ",\n  \"largest_mm\": " + jsonNumber(fit.largest) + ",\n";
  out += "  \"mean_weighted_mm\": " + jsonNumber(fit.meanWeighted) + ",\n";
  std::fputs(out.c_str(), stdout);
  std::fputs("  \"pairs\": [", stdout);
  for (std::size_t i = 0; i < fit.residuals.size(); ++i) {
    const std::string row = std::string(i ? ",\n    " : "\n    ") + "{\"id\": " + jsonString(report.pairNames[i]) +
                            ", \"d_mm\": " + jsonVec(fit.residuals[i]) +
                            ", \"distance_mm\": " + jsonNumber(fit.distances[i]) + "}";
    std::fputs(row.c_str(), stdout);
  }
  out = "\n  ],\n  \"unpaired_nominal\": " + jsonNames(report.unpairedNominal, names) +
        ",\n  \"unpaired_measured\": " + jsonNames(report.unpairedMeasured, names) + "\n}\n";
  std::fputs(out.c_str(), stdout);
}

std::string csvField(const std::string& s) {
  if (s.find_first_of(",\"\n") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + '"';
}

std::string csvText(const Zem::FitResult& fit, const FitReport& report) {
  std::string out = "id,dx_mm,dy_mm,dz_mm,distance_mm\n";
  out.reserve(fit.residuals.size() * 80);
  for (std::size_t i = 0; i < fit.residuals.size(); ++i) {
    const BaPoint3d<double>& r = fit.residuals[i];
    out += csvField(report.pairNames[i]) + format(",%.9g,%.9g", r.x, r.y) +
           format(",%.9g,%.9g\n", r.z, fit.distances[i]);
  }
  return out;
}

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

/// A bar per pair (at most kMaxBars bars: beyond that, each bar shows the
/// largest distance of a run of consecutive pairs), the mean as a dashed
/// line, the tolerance (when given) as a red line, bars above it red.
std::string svgText(const Zem::FitResult& fit, const FitReport& report, double tolerance) {
  constexpr std::size_t kMaxBars = 2000;
  const std::size_t n = fit.distances.size();
  const std::size_t perBar = (n + kMaxBars - 1) / kMaxBars;
  const std::size_t bars = (n + perBar - 1) / perBar;
  const double barWidth = bars <= 100 ? 12.0 : 1200.0 / double(bars);
  const double left = 70.0, top = 30.0, height = 300.0, width = barWidth * double(bars);
  const double topValue = std::max({fit.largest, tolerance, 1e-9}) * 1.1;
  const auto y = [&](double v) { return top + height * (1.0 - v / topValue); };

  std::string out = format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
                           "font-family=\"sans-serif\" font-size=\"11\">\n",
                           left + width + 20.0, top + height + 70.0);
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
      if (fit.distances[i] > v) v = fit.distances[worst = i];
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

/// Names of the pairs, and the points left unpaired.
FitReport describePairs(const Zem::FitResult& fit, const Points& nominal, const Points& measured,
                        bool byPosition, const Zem::PointNames& names) {
  FitReport report;
  report.byPosition = byPosition;
  report.pairNames.reserve(fit.residuals.size());
  if (byPosition) {
    for (std::size_t i = 0; i < fit.residuals.size(); ++i)
      report.pairNames.push_back(nominal[i].id != -1 ? names.nameOf(nominal[i].id) : std::to_string(i + 1));
    return report;
  }
  for (const auto& r : fit.residuals) report.pairNames.push_back(names.nameOf(r.id));
  const auto idsOf = [](const Points& points) {
    std::vector<int> ids;
    ids.reserve(points.size());
    for (const auto& p : points) ids.push_back(p.id);
    std::sort(ids.begin(), ids.end());
    return ids;
  };
  const std::vector<int> nominalIds = idsOf(nominal), measuredIds = idsOf(measured);
  for (const auto& p : nominal)
    if (!std::binary_search(measuredIds.begin(), measuredIds.end(), p.id)) report.unpairedNominal.push_back(p);
  for (const auto& p : measured)
    if (!std::binary_search(nominalIds.begin(), nominalIds.end(), p.id)) report.unpairedMeasured.push_back(p);
  return report;
}

}  // namespace

int runFit(const FitOptions& options) {
  Zem::PointNames names;
  Zem::PointFile nominal, measured;
  if (!readPoints(options.nominal, &names, &nominal) || !readPoints(options.measured, &names, &measured))
    return kBadInput;
  const bool byPosition = options.byPosition || !nominal.hasIdentifiers() || !measured.hasIdentifiers();
  if (byPosition && nominal.getPoints().size() != measured.getPoints().size()) {
    message("pairing by position needs as many measured points as nominal points; " + options.measured + " has " +
            std::to_string(measured.getPoints().size()) + ", " + options.nominal + " has " +
            std::to_string(nominal.getPoints().size()));
    return kBadInput;
  }
  const Points noWeights;
  const Points* weights = &noWeights;
  if (options.weights) {
    if (nominal.hasWeights() && measured.hasWeights()) {
      message("--weights: both files have weight columns; keep the weights in one of them");
      return kBadInput;
    }
    if (!nominal.hasWeights() && !measured.hasWeights()) {
      message("--weights: neither file has weight columns (x y z wx wy wz)");
      return kBadInput;
    }
    weights = nominal.hasWeights() ? &nominal.getWeights() : &measured.getWeights();
  } else if (nominal.hasWeights() || measured.hasWeights()) {
    message("note: the weight columns are not used without --weights");
  }

  std::unique_ptr<Zem::LastAndGlobalTransformation> previous;
  if (!loadPrevious(options.record, &previous)) return kBadInput;

  const Zem::FitResult fit =
      byPosition ? Zem::FitResult::fitByPosition(measured.getPoints(), nominal.getPoints(), *weights, options.withScale)
                 : Zem::FitResult::fitById(measured.getPoints(), nominal.getPoints(), *weights, options.withScale);
  if (!fit.isSucceeded()) {
    message(std::string("the fit failed: ") + Zem::FitResult::getStatusText(fit.status) + " (" +
            std::to_string(fit.pairCount) + " pairs " + (byPosition ? "by position" : "by identifier") + ")");
    return kFitFailed;
  }
  const FitReport report = describePairs(fit, nominal.getPoints(), measured.getPoints(), byPosition, names);

  if (!writeRecord(fit.transformation, previous.get(), options.record)) return kBadInput;
  if (!options.csv.empty() && !writeFileSafely(options.csv, csvText(fit, report))) return kBadInput;
  if (!options.svg.empty() && !writeFileSafely(options.svg, svgText(fit, report, options.tolerance)))
    return kBadInput;

  if (options.json)
    printJson(fit, report, names, options.order, options.withScale);
  else
    printText(fit, report, names, options.order);
  return std::fflush(stdout) == 0 ? kDone : kBadInput;
}

int finishAlignment(const Transformation& t, const AlignOptions& options) {
  std::unique_ptr<Zem::LastAndGlobalTransformation> previous;
  if (!loadPrevious(options.record, &previous) || !writeRecord(t, previous.get(), options.record)) return kBadInput;
  const std::string out =
      "alignment of the measured features onto the nominal ones\n" + transformationText(t, options.order);
  std::fputs(out.c_str(), stdout);
  return std::fflush(stdout) == 0 ? kDone : kBadInput;
}

int runApply(const ApplyOptions& options) {
  Zem::LastAndGlobalTransformation record(Transformation::identity(), false, Transformation::identity(), false);
  if (!loadRecord(options.trafo, &record)) return kBadInput;
  const bool valid = options.global ? record.isGlobalTransformationValid() : record.isLastTransformationValid();
  if (!valid) {
    message(options.trafo + ": the " + (options.global ? "global" : "last") + " transformation is marked not valid");
    return kBadInput;
  }
  Transformation t = options.global ? record.getGlobalTransformation() : record.getLastTransformation();
  if (options.inverse) t = t.inverse();

  Zem::PointNames names;
  Zem::PointFile file;
  if (!readPoints(options.points, &names, &file)) return kBadInput;
  Points moved = file.getPoints();
  for (auto& p : moved) p = t.transformPoint(p);
  const std::string text = file.format(moved, names);
  if (!options.out.empty()) return writeFileSafely(options.out, text) ? kDone : kBadInput;
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0 ? kDone
                                                                                                      : kBadInput;
}

int runShow(const std::string& trafo) {
  Zem::LastAndGlobalTransformation record(Transformation::identity(), false, Transformation::identity(), false);
  if (!loadRecord(trafo, &record)) return kBadInput;
  std::string out;
  const auto section = [&out](const char* title, const Transformation& t, bool valid) {
    out += std::string(title) + " transformation (" + (valid ? "valid" : "marked not valid") + ")\n";
    const BaVec3d<double> tr = t.getTranslation();
    out += format("  translation (mm): %.6f %.6f %.6f\n", shown(tr.x), shown(tr.y), shown(tr.z));
    out += format("  scale: %.12f\n", t.getScale());
    out += "  angles (deg) about X, Y, Z:\n";
    const BaVec3d<double> a = t.getAngles() * kDegPerRad;
    out += format("    set (Y, then X, then Z) %12.6f %12.6f %12.6f\n", shown(a.x), shown(a.y), shown(a.z));
    for (int o = 0; o < 6; ++o) {
      const BaVec3d<double> b = t.getAngles(Transformation::RotationOrder_t(o)) * kDegPerRad;
      out += std::string("    ") + kOrderNames[o] +
             format("                     %12.6f %12.6f %12.6f\n", shown(b.x), shown(b.y), shown(b.z));
    }
    out += "  matrix (p' = (R p + t) / m33):\n" + matrixText(t, "  ");
  };
  section("last", record.getLastTransformation(), record.isLastTransformationValid());
  out += '\n';
  section("global", record.getGlobalTransformation(), record.isGlobalTransformationValid());
  std::fputs(out.c_str(), stdout);
  return std::fflush(stdout) == 0 ? kDone : kBadInput;
}

int runReport(const std::string& trafo, const std::string& out) {
  Zem::LastAndGlobalTransformation record(Transformation::identity(), false, Transformation::identity(), false);
  if (!loadRecord(trafo, &record)) return kBadInput;
  return exportReportSafely(record, out) ? kDone : kBadInput;
}

}  // namespace zemtrafo
