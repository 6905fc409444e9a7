// Best fit of a measured part onto its nominal points.
//
// Reads two point files (one point per line: "id x y z" in mm; blank lines and
// lines starting with '#' are skipped), pairs the points by identifier and
// computes the rigid transformation (scale fixed at 1) that carries the
// measured points onto the nominal ones in the least-squares sense. Prints the
// transformation, the deviation of every pair after the fit, the points
// without a partner and the mean residual; then, for comparison, the fit with
// an estimated scale.
//
// Finally it stores the fit as the last transformation, and the fit after the
// fixture's alignment as the global one, in a ".trafo" file, reads that file
// back and writes its text report.
//
// Usage: zem_bestfit_demo [nominal.txt measured.txt [output-directory]]
// Without arguments it reads the bracket bundled in examples/data and writes
// bestfit.trafo and bestfit_report.txt into the current directory.
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "math_trafo_io.h"
#include "math_transformation.h"

using Zem::BaPoint3d;
using Zem::BaVec3d;
using Zem::Transformation;

namespace {

using Points = std::vector<BaPoint3d<double>>;

const double kRadToDeg = 57.29577951308232;

bool readPoints(const std::string& path, Points* points) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    return false;
  }
  std::string line;
  unsigned lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') continue;
    std::istringstream fields(line);
    BaPoint3d<double> p;
    std::string rest;
    if (!(fields >> p.id >> p.x >> p.y >> p.z) || (fields >> rest)) {
      std::fprintf(stderr, "%s:%u: expected \"id x y z\"\n", path.c_str(), lineNo);
      return false;
    }
    points->push_back(p);
  }
  return true;
}

void printTransformation(const Transformation& t) {
  const BaVec3d<double> a = t.getAngles();
  const BaVec3d<double> tr = t.getTranslation();
  std::printf("  angles (deg, about X, Y, Z; Y acts first, then X, then Z): %10.5f %10.5f %10.5f\n",
              a.x * kRadToDeg, a.y * kRadToDeg, a.z * kRadToDeg);
  std::printf("  translation (mm):                                          %10.4f %10.4f %10.4f\n", tr.x, tr.y,
              tr.z);
  std::printf("  scale:                                                     %.9f\n", t.getScale());
}

// Stores the fit as the last transformation and, as the global one, the
// fixture's alignment followed by the fit; reads the file back and writes the
// report beside it.
bool saveRecord(const Transformation& fit, const QString& outputDir) {
  const Transformation fixture(BaVec3d<double>(-400.0, 120.0, -95.0), BaVec3d<double>(), 1.0);
  Transformation global = fixture;
  global.append(fit);
  Zem::LastAndGlobalTransformation record(fit, true, global, true);
  const QString trafoName = outputDir + QStringLiteral("/bestfit.trafo");
  const QString reportName = outputDir + QStringLiteral("/bestfit_report.txt");
  Zem::ErrorLog log;
  Zem::LastAndGlobalTransformation reread(Transformation::identity(), false, Transformation::identity(), false);
  if (!record.save(trafoName, &log, 0, 0) || !reread.load(trafoName, &log, 0, 0) ||
      !reread.exportASCII(reportName, &log)) {
    for (const QString& entry : log.getEntries()) std::fprintf(stderr, "%s\n", entry.toLocal8Bit().constData());
    return false;
  }
  std::printf("\nsaved %s, read it back and wrote its report %s:\n\n", trafoName.toLocal8Bit().constData(),
              reportName.toLocal8Bit().constData());
  std::ifstream report(reportName.toLocal8Bit().constData());
  std::string line;
  while (std::getline(report, line)) std::printf("    %s\n", line.c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 1 && argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: %s [nominal.txt measured.txt [output-directory]]\n", argv[0]);
    return 2;
  }
  const std::string nominalPath = argc >= 3 ? argv[1] : ZEM_EXAMPLE_DATA_DIR "/nominal_points.txt";
  const std::string measuredPath = argc >= 3 ? argv[2] : ZEM_EXAMPLE_DATA_DIR "/measured_points.txt";
  const QString outputDir = argc == 4 ? QString::fromLocal8Bit(argv[3]) : QStringLiteral(".");
  Points nominal, measured;
  if (!readPoints(nominalPath, &nominal) || !readPoints(measuredPath, &measured)) return 1;
  std::printf("nominal:  %zu points from %s\nmeasured: %zu points from %s\n\n", nominal.size(),
              nominalPath.c_str(), measured.size(), measuredPath.c_str());

  // Measured (machine coordinates) onto nominal (drawing coordinates).
  Transformation fit = Transformation::identity();
  const double mean = fit.computeTransformation(measured, nominal, false);
  if (mean < 0.0) {
    std::printf("best fit failed (fewer than three pairs, repeated identifiers or degenerate points)\n");
    return 1;
  }
  std::printf("best fit, measured onto nominal, scale fixed at 1:\n");
  printTransformation(fit);

  std::map<int, BaPoint3d<double>> nominalById;
  for (const auto& p : nominal)
    if (p.id != -1) nominalById.emplace(p.id, p);
  std::map<int, bool> paired;
  std::printf("\n    id      dx (mm)    dy (mm)    dz (mm)   |d| (mm)\n");
  std::map<int, BaPoint3d<double>> measuredById;
  for (const auto& p : measured) measuredById.emplace(p.id, p);
  for (const auto& [id, m] : measuredById) {
    const auto n = nominalById.find(id);
    if (n == nominalById.end()) continue;
    paired[id] = true;
    const BaVec3d<double> d = fit.transformPoint(static_cast<const BaVec3d<double>&>(m)) - n->second;
    std::printf("  %4d %10.4f %10.4f %10.4f %10.4f\n", id, d.x, d.y, d.z, d.length());
  }
  std::printf("  mean residual: %.4f mm over %zu pairs\n", mean, paired.size());
  for (const auto& p : nominal)
    if (!paired.count(p.id)) std::printf("  nominal point %d was not measured\n", p.id);
  for (const auto& p : measured)
    if (!nominalById.count(p.id)) std::printf("  measured point %d has no nominal partner\n", p.id);

  Transformation scaled = Transformation::identity();
  const double meanScaled = scaled.computeTransformation(measured, nominal, true);
  if (meanScaled >= 0.0) {
    std::printf("\nfor comparison, with the scale estimated:\n");
    printTransformation(scaled);
    std::printf("  scale − 1: %.1f ppm; mean residual: %.4f mm\n", (scaled.getScale() - 1.0) * 1e6, meanScaled);
  }
  return saveRecord(fit, outputDir) ? 0 : 1;
}
