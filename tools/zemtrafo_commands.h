// The subcommands of zemtrafo as functions: each takes its parsed options,
// writes results to stdout and messages to stderr, and returns the exit
// status (0 done, 1 the fit failed, 2 bad input or usage).
#ifndef ZEMTRAFO_COMMANDS_H
#define ZEMTRAFO_COMMANDS_H

#include <string>

#include "math_transformation.h"

namespace zemtrafo {

enum ExitStatus { kDone = 0, kFitFailed = 1, kBadInput = 2 };

/// How angles are printed: an order of Transformation, or the three-argument
/// form (getAngles() without an order).
constexpr int kThreeArgumentForm = -1;

/// Where a new transformation goes: --out, --global, --report.
struct RecordOptions {
  std::string out, global, report;
};

struct FitOptions {
  std::string nominal, measured;
  bool byPosition = false;
  bool withScale = false;
  bool weights = false;
  int order = kThreeArgumentForm;
  RecordOptions record;
  std::string csv, svg;
  double tolerance = -1.0;  ///< below 0: none
  bool json = false;
};

/// align321 and align-plp.
struct AlignOptions {
  std::string features;
  int mode = 0;                 ///< Transformation::TransformMode_t or TrafoPLPMode_t
  bool negativeFirst = false;   ///< 3-2-1: the plane's normal points negative
  bool negativeSecond = false;  ///< 3-2-1: the direction points negative
  int order = kThreeArgumentForm;
  RecordOptions record;
};

struct ApplyOptions {
  std::string trafo, points, out;
  bool inverse = false;
  bool global = false;
};

int runFit(const FitOptions& options);
int runAlign321(const AlignOptions& options);
int runAlignPlp(const AlignOptions& options);
/// Shows an alignment's result and writes its record and report.
int finishAlignment(const Zem::Transformation& t, const AlignOptions& options);
int runApply(const ApplyOptions& options);
int runShow(const std::string& trafo);
int runReport(const std::string& trafo, const std::string& out);

}  // namespace zemtrafo

#endif  // ZEMTRAFO_COMMANDS_H
