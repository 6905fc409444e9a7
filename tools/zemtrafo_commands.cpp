// The work of zemtrafo's subcommands: read the inputs, compute, write the
// files (zemtrafo_files.h), print the result (zemtrafo_output.h).
#include "zemtrafo_commands.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <unordered_map>
#include <string>
#include <vector>

#include "math_fit_pairing.h"
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
  // Computed only when printed: they cost passes over the pairs.
  out->diagnostics = options.diagnostics || options.sigma > 0.0 || options.reject;
  return true;
}

/// The deviation of each pair along the nominal point's normal,
/// (T·measured − nominal)·n; empty when the nominal file has no normals.
std::vector<double> deviationsAlongNormals(const Zem::FitResult& fit, const Zem::PointFile& nominal, bool byPosition) {
  std::vector<double> along;
  if (!nominal.hasNormals()) return along;
  const Points& points = nominal.getPoints();
  std::unordered_map<int, std::size_t> indexOf;
  if (!byPosition)
    for (std::size_t i = points.size(); i-- > 0;) indexOf[points[i].id] = i;  // the first of a repeated id
  along.reserve(fit.residuals.size());
  for (std::size_t k = 0; k < fit.residuals.size(); ++k) {
    const std::size_t i = byPosition ? k : indexOf.at(fit.residuals[k].id);
    const Zem::BaVec3d<double>& n = nominal.getNormals()[i];
    const Zem::BaPoint3d<double>& r = fit.residuals[k];
    along.push_back(r.x * n.x + r.y * n.y + r.z * n.z);
  }
  return along;
}

/// The fit by the deviations along the nominal normals: each pair weighed
/// by W = n·nᵀ of its nominal point's unit normal n, so that only
/// (T·measured − nominal)·n counts (a point may slide along its surface).
Zem::FitResult fitAlongNormals(const Zem::PointFile& measured, const Zem::PointFile& nominal, bool byPosition,
                               const Zem::FitOptions& options) {
  std::vector<Zem::FitPair> pairs;
  if (byPosition) {
    for (std::size_t i = 0; i < measured.getPoints().size(); ++i) pairs.push_back({i, i});
  } else if (!Zem::pairByIdentifier(measured.getPoints(), nominal.getPoints(), &pairs)) {
    Zem::FitResult ambiguous;
    ambiguous.status = Zem::FitResult::FIT_AMBIGUOUS_PAIRING;
    ambiguous.pairCount = pairs.size();
    return ambiguous;
  }
  Points src, dst;
  std::vector<Zem::FitWeightMatrix> weights;
  for (const Zem::FitPair& pair : pairs) {
    src.push_back(measured.getPoints()[pair.source]);
    dst.push_back(nominal.getPoints()[pair.destination]);
    const Zem::BaVec3d<double>& n = nominal.getNormals()[pair.destination];
    const double v[3] = {n.x, n.y, n.z};
    Zem::FitWeightMatrix w;
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) w.m[r][c] = v[r] * v[c];
    weights.push_back(w);
  }
  return Zem::FitResult::fitByPosition(src, dst, weights, options);
}

}  // namespace

int runFit(const FitOptions& options) {
  Outputs outputs;
  outputs.addInput(options.nominal);
  outputs.addInput(options.measured);
  outputs.addInput(options.record.global, options.record.out.empty());  // rewritten when there is no --out
  if (!claimRecord(options.record, &outputs) || !outputs.claim(options.csv, "--csv") ||
      !outputs.claim(options.svg, "--svg") || (options.json && !outputs.claim(options.jsonFile, "--json")))
    return kBadInput;
  if (options.nominal == "-" && options.measured == "-") {
    message("only one input can be standard input (-)");
    return kBadInput;
  }

  Zem::PointNames names;
  Zem::PointFile nominal, measured;
  // Repeated identifiers are harmless when the points pair by position.
  Zem::PointFile::ReadOptions reading = options.reading;
  reading.allowRepeatedIdentifiers = options.byPosition;
  if (!readPoints(options.nominal, reading, &names, &nominal) ||
      !readPoints(options.measured, reading, &names, &measured))
    return kBadInput;
  const bool byPosition = options.byPosition || !nominal.hasIdentifiers() || !measured.hasIdentifiers();
  if (byPosition && nominal.getPoints().size() != measured.getPoints().size()) {
    message("pairing by position needs as many measured points as nominal points; " + options.measured + " has " +
            std::to_string(measured.getPoints().size()) + ", " + options.nominal + " has " +
            std::to_string(nominal.getPoints().size()));
    return kBadInput;
  }
  if (options.alongNormals && (!nominal.hasNormals() || options.weights)) {
    message(options.weights ? std::string("--along-normals weighs by the normals; it cannot be combined with --weights")
                            : "--along-normals: " + options.nominal + " has no normals (a header \"id x y z i j k\" "
                              "names them)");
    return kBadInput;
  }
  if (measured.hasNormals()) message("note: the normals of " + options.measured + " are not used (only the nominal ones)");
  const Points noWeights;
  const Points* weights = &noWeights;
  if (options.weights) {
    weights = chosenWeights(nominal, measured);
    if (!weights) return kBadInput;
    // The fit would call this degenerate ("points on one line"): say why.
    double sum[3] = {0.0, 0.0, 0.0};
    for (const auto& w : *weights) sum[0] += w.x, sum[1] += w.y, sum[2] += w.z;
    for (int axis = 0; axis < 3; ++axis)
      if (sum[axis] == 0.0) {
        message(std::string("the fit failed: every weight of the ") + "xyz"[axis] +
                " coordinates is 0, so nothing fixes the transformation along that axis");
        return kFitFailed;
      }
  } else if (nominal.hasWeights() || measured.hasWeights()) {
    message("note: the weight columns are not used without --weights");
  }

  std::unique_ptr<Zem::LastAndGlobalTransformation> previous;
  if (!loadPrevious(options.record, &previous)) return kBadInput;

  Zem::FitOptions fitOptions;
  if (!libraryFitOptions(options, &fitOptions)) return kBadInput;
  const Zem::FitResult fit =
      options.alongNormals ? fitAlongNormals(measured, nominal, byPosition, fitOptions)
      : byPosition ? Zem::FitResult::fitByPosition(measured.getPoints(), nominal.getPoints(), *weights, fitOptions)
                   : Zem::FitResult::fitById(measured.getPoints(), nominal.getPoints(), *weights, fitOptions);
  if (!byPosition && fit.pairCount == 0) {
    message("no identifier in common between " + options.nominal + " and " + options.measured +
            " (\"1\" and \"1.0\" are different names); --by-position pairs the points in file order");
    return kBadInput;
  }
  if (!fit.isSucceeded()) {
    message(std::string("the fit failed: ") + Zem::FitResult::getStatusText(fit.status) +
            (fit.undetermined ? std::string(", ") + fit.undetermined + " undetermined" : std::string()) + " (" +
            std::to_string(fit.pairCount) + " pairs " + (byPosition ? "by position" : "by identifier") + ")");
    return kFitFailed;
  }
  FitReport report = describePairs(fit, nominal.getPoints(), measured.getPoints(), byPosition, names);
  report.nominalFile = options.nominal;
  report.measuredFile = options.measured;
  report.alongNormal = deviationsAlongNormals(fit, nominal, byPosition);

  if (!addRecordOutputs(fit.transformation, previous.get(), options.record, &outputs)) return kBadInput;
  if (!options.csv.empty() && !outputs.addText(options.csv, fitCsv(fit, report))) return kBadInput;
  if (!options.svg.empty() && !outputs.addText(options.svg, fitSvg(fit, report, options.tolerance)))
    return kBadInput;
  const std::string json = options.json ? fitJson(fit, report, names, options.order, options.withScale) : "";
  if (options.json && options.jsonFile != "-" && !outputs.addText(options.jsonFile, json)) return kBadInput;
  if (!outputs.commit()) return kBadInput;

  if (options.json && options.jsonFile == "-") return printed(json);
  if (!options.json) printFitText(fit, report, names, options.order);
  return std::fflush(stdout) == 0 ? kDone : kBadInput;
}

int finishAlignment(const Transformation& t, AngleOrder order, const RecordOptions& record,
                    const std::string& features, const std::string& senses) {
  Outputs outputs;
  outputs.addInput(features);
  outputs.addInput(record.global, record.out.empty());
  if (!claimRecord(record, &outputs)) return kBadInput;
  std::unique_ptr<Zem::LastAndGlobalTransformation> previous;
  if (!loadPrevious(record, &previous) || !addRecordOutputs(t, previous.get(), record, &outputs) ||
      !outputs.commit())
    return kBadInput;
  return printed("alignment of the measured features onto the nominal ones (maps measured -> nominal; features: " +
                 features + ")\n" + senses + transformationText(t, order));
}

int runApply(const ApplyOptions& options) {
  Outputs outputs;
  outputs.addInput(options.trafo);
  outputs.addInput(options.points, true);  // read first, then replaced
  if (!outputs.claim(options.out, "--out")) return kBadInput;
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
  Zem::PointFile::ReadOptions reading = options.reading;
  reading.allowRepeatedIdentifiers = true;  // apply moves each point; it pairs nothing
  if (!readPoints(options.points, reading, &names, &file)) return kBadInput;
  Points moved = file.getPoints();
  for (auto& p : moved) p = t.transformPoint(p);
  std::vector<Zem::BaVec3d<double>> normals = file.getNormals();
  for (auto& n : normals) n = t.rotateVector(n);
  const std::string text = file.format(moved, names, &normals, options.precision >= 0 ? options.precision : file.getDecimals());
  if (options.out.empty() || options.out == "-") return printed(text);
  return outputs.addText(options.out, text) && outputs.commit() ? kDone : kBadInput;
}

int runShow(const std::string& trafo, AngleOrder order) {
  Zem::LastAndGlobalTransformation record = emptyRecord();
  if (!loadRecord(trafo, &record)) return kBadInput;
  return printed("record " + trafo + " (each transformation maps measured -> nominal)\n" + recordText(record, order));
}

int runReport(const std::string& trafo, const std::string& out) {
  Outputs outputs;
  outputs.addInput(trafo);
  if (!outputs.claim(out, "OUT")) return kBadInput;
  Zem::LastAndGlobalTransformation record = emptyRecord();
  if (!loadRecord(trafo, &record)) return kBadInput;
  return outputs.addReport(out, record) && outputs.commit() ? kDone : kBadInput;
}

}  // namespace zemtrafo
