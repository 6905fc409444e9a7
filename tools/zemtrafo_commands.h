// The subcommands of zemtrafo as functions: each takes its parsed options,
// writes results to stdout and messages to stderr, and returns the exit
// status (0 done, 1 the fit failed, 2 bad input or usage).
#ifndef ZEMTRAFO_COMMANDS_H
#define ZEMTRAFO_COMMANDS_H

#include <string>

#include "math_point_file.h"
#include "math_rotation_convention.h"
#include "math_transformation.h"

namespace zemtrafo {

enum ExitStatus { kDone = 0, kFitFailed = 1, kBadInput = 2 };

/// How angles are printed: in one of Transformation's six orders (the same
/// values), or in the three-argument form of getAngles() (ORDER_YXZ in closed
/// form, printed under its own name).
enum class AngleOrder {
  XYZ = Zem::Transformation::ORDER_XYZ,
  XZY = Zem::Transformation::ORDER_XZY,
  YXZ = Zem::Transformation::ORDER_YXZ,
  YZX = Zem::Transformation::ORDER_YZX,
  ZXY = Zem::Transformation::ORDER_ZXY,
  ZYX = Zem::Transformation::ORDER_ZYX,
  ThreeArgumentForm = -1,
  /// From here on one of SciPy's 24 conventions ("--order scipy:ZYX"),
  /// printed as right-hand angles in its letter sequence; see conventionOrder.
  FirstConvention = 100
};

/// The AngleOrder of a convention, and back (for an order from FirstConvention on).
AngleOrder conventionOrder(const Zem::RotationConvention& convention);
Zem::RotationConvention conventionOf(AngleOrder order);

/// Where a new transformation goes: --out, --global, --report.
struct RecordOptions {
  std::string out, global, report;
};

struct FitOptions {
  std::string nominal, measured;
  bool byPosition = false;
  bool withScale = false;
  bool weights = false;
  bool alongNormals = false;
  AngleOrder order = AngleOrder::ThreeArgumentForm;
  RecordOptions record;
  std::string csv, svg;
  double tolerance = -1.0;  ///< below 0: none
  bool json = false;
  std::string rotation = "free";   ///< free, x, y, z or none
  std::string translation = "xyz"; ///< the free axes, or none
  double sigma = 0.0;              ///< a-priori sigma (mm); 0: estimated
  bool reject = false;
  double alpha = 0.001;
  bool diagnostics = false;  ///< print them (also with --sigma or --reject)
  std::string jsonFile = "-";  ///< where --json writes ("-": standard output)
  Zem::PointFile::ReadOptions reading;
};

/// zemtrafo features POINTS ELEMENTS.
struct FeaturesOptions {
  std::string points, features;
  bool json = false;
};

/// With `points` set, `features` is an element file (zemtrafo_elements.h)
/// whose elements are fitted to those points; else a feature file of
/// measured and nominal values.
struct Align321Options {
  std::string features, points;
  Zem::Transformation::TransformMode_t mode = Zem::Transformation::ALIGN_ZYX;
  bool negativeFirst = false;   ///< the plane's normal points negative
  bool negativeSecond = false;  ///< the direction points negative
  AngleOrder order = AngleOrder::ThreeArgumentForm;
  RecordOptions record;
};

struct AlignPlpOptions {
  std::string features, points;
  Zem::Transformation::TrafoPLPMode_t mode = Zem::Transformation::PLP_PLANE_LINE_POINT;
  AngleOrder order = AngleOrder::ThreeArgumentForm;
  RecordOptions record;
};

struct ApplyOptions {
  std::string trafo, points, out;
  bool inverse = false;
  bool global = false;
  int precision = -1;  ///< decimals of the written coordinates; -1: those of the input
  Zem::PointFile::ReadOptions reading;
};

int runFit(const FitOptions& options);
int runFeatures(const FeaturesOptions& options);
int runAlign321(const Align321Options& options);
int runAlignPlp(const AlignPlpOptions& options);
/// Shows an alignment's result (after `senses`, lines saying which senses
/// it used) and writes its record and report.
int finishAlignment(const Zem::Transformation& t, AngleOrder order, const RecordOptions& record,
                    const std::string& features, const std::string& senses);
int runApply(const ApplyOptions& options);
/// Every order and the rotation vector; a convention `order` adds its angles.
int runShow(const std::string& trafo, AngleOrder order);
int runReport(const std::string& trafo, const std::string& out);

}  // namespace zemtrafo

#endif  // ZEMTRAFO_COMMANDS_H
