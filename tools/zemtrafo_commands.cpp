// The work of zemtrafo's subcommands: read the inputs, compute, write the
// files (zemtrafo_files.h), print the result (zemtrafo_output.h).
#include "zemtrafo_commands.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "math_fit_pairing.h"
#include "math_fit_result.h"
#include "math_point_file.h"
#include "math_trafo_io.h"
#include "zemtrafo_files.h"
#include "zemtrafo_output.h"

namespace zemtrafo {

namespace {

using Zem::Transformation;

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
  // The fit's own pairing (measured points onto nominal ones), in its order.
  std::vector<Zem::FitPair> pairs;
  Zem::pairByIdentifier(measured, nominal, &pairs);
  std::vector<bool> nominalPaired(nominal.size(), false), measuredPaired(measured.size(), false);
  for (const Zem::FitPair& pair : pairs) {
    report.pairNames.push_back(names.nameOf(measured[pair.source].id));
    measuredPaired[pair.source] = true;
    nominalPaired[pair.destination] = true;
  }
  for (std::size_t i = 0; i < nominal.size(); ++i)
    if (!nominalPaired[i]) report.unpairedNominal.push_back(nominal[i]);
  for (std::size_t i = 0; i < measured.size(); ++i)
    if (!measuredPaired[i]) report.unpairedMeasured.push_back(measured[i]);
  return report;
}

/// The weights --weights names: those of the one file that has weight
/// columns. Null (after a message) when that is not exactly one file.
const Points* chosenWeights(const Zem::PointFile& nominal, const Zem::PointFile& measured) {
  if (nominal.hasWeights() && measured.hasWeights()) {
    message("--weights: both files have weight columns; keep the weights in one of them");
    return nullptr;
  }
  if (!nominal.hasWeights() && !measured.hasWeights()) {
    message("--weights: neither file has weight columns (x y z wx wy wz)");
    return nullptr;
  }
  return nominal.hasWeights() ? &nominal.getWeights() : &measured.getWeights();
}

/// A record with both transformations the identity, marked not valid: what
/// load() fills.
Zem::LastAndGlobalTransformation emptyRecord() {
  return Zem::LastAndGlobalTransformation(Transformation::identity(), false, Transformation::identity(), false);
}

/// Writes `text` to stdout; kDone when every byte went out.
int printed(const std::string& text) {
  const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  return std::fflush(stdout) == 0 && written ? kDone : kBadInput;
}

/// The library's fit options from the command's; false (with a message)
/// for a --translation that names no axes.
bool libraryFitOptions(const FitOptions& options, Zem::FitOptions* out) {
  out->withScale = options.withScale;
  const std::string axes = options.translation == "none" ? "" : options.translation;
  for (const char c : axes)
    if (c < 'x' || c > 'z' || std::count(axes.begin(), axes.end(), c) > 1) {
      message("--translation takes the free axes (xyz, xy, z, ... or none), not '" + options.translation + "'");
      return false;
    }
  for (int a = 0; a < 3; ++a) out->translation[a] = axes.find(char('x' + a)) != std::string::npos;
  const char* const rotations[] = {"free", "x", "y", "z", "none"};
  for (int k = 0; k < 5; ++k)
    if (options.rotation == rotations[k]) out->rotation = Zem::FitRotation(k);
  out->sigma = options.sigma;
  out->reject = options.reject;
  out->alpha = options.alpha;
  return true;
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
    weights = chosenWeights(nominal, measured);
    if (!weights) return kBadInput;
  } else if (nominal.hasWeights() || measured.hasWeights()) {
    message("note: the weight columns are not used without --weights");
  }

  std::unique_ptr<Zem::LastAndGlobalTransformation> previous;
  if (!loadPrevious(options.record, &previous)) return kBadInput;

  Zem::FitOptions fitOptions;
  if (!libraryFitOptions(options, &fitOptions)) return kBadInput;
  const Zem::FitResult fit =
      byPosition ? Zem::FitResult::fitByPosition(measured.getPoints(), nominal.getPoints(), *weights, fitOptions)
                 : Zem::FitResult::fitById(measured.getPoints(), nominal.getPoints(), *weights, fitOptions);
  if (!fit.isSucceeded()) {
    message(std::string("the fit failed: ") + Zem::FitResult::getStatusText(fit.status) +
            (fit.undetermined ? std::string(", ") + fit.undetermined + " undetermined" : std::string()) + " (" +
            std::to_string(fit.pairCount) + " pairs " + (byPosition ? "by position" : "by identifier") + ")");
    return kFitFailed;
  }
  const FitReport report = describePairs(fit, nominal.getPoints(), measured.getPoints(), byPosition, names);

  if (!writeRecord(fit.transformation, previous.get(), options.record)) return kBadInput;
  if (!options.csv.empty() && !writeFileSafely(options.csv, fitCsv(fit, report))) return kBadInput;
  if (!options.svg.empty() && !writeFileSafely(options.svg, fitSvg(fit, report, options.tolerance)))
    return kBadInput;

  if (options.json)
    printFitJson(fit, report, names, options.order, options.withScale);
  else
    printFitText(fit, report, names, options.order);
  return std::fflush(stdout) == 0 ? kDone : kBadInput;
}

int finishAlignment(const Transformation& t, AngleOrder order, const RecordOptions& record) {
  std::unique_ptr<Zem::LastAndGlobalTransformation> previous;
  if (!loadPrevious(record, &previous) || !writeRecord(t, previous.get(), record)) return kBadInput;
  return printed("alignment of the measured features onto the nominal ones\n" + transformationText(t, order));
}

int runApply(const ApplyOptions& options) {
  Zem::LastAndGlobalTransformation record = emptyRecord();
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
  return printed(text);
}

int runShow(const std::string& trafo) {
  Zem::LastAndGlobalTransformation record = emptyRecord();
  if (!loadRecord(trafo, &record)) return kBadInput;
  return printed(recordText(record));
}

int runReport(const std::string& trafo, const std::string& out) {
  Zem::LastAndGlobalTransformation record = emptyRecord();
  if (!loadRecord(trafo, &record)) return kBadInput;
  return exportReportSafely(record, out) ? kDone : kBadInput;
}

}  // namespace zemtrafo
