// zemtrafo's output formats. Lengths are in mm and angles in degrees in
// everything printed; the .trafo record keeps radians.
//   text  zemtrafo_text.cpp  the transformation, the fit's pair table, show
//   JSON  zemtrafo_json.cpp  the fit as one object (--json)
//   CSV   zemtrafo_csv.cpp   the fit's pair table (--csv)
//   SVG   zemtrafo_svg.cpp   the pair distances as a bar chart (--svg)
#ifndef ZEMTRAFO_OUTPUT_H
#define ZEMTRAFO_OUTPUT_H

#include <string>
#include <vector>

#include "math_fit_result.h"
#include "math_point_names.h"
#include "math_trafo_io.h"
#include "zemtrafo_commands.h"

namespace zemtrafo {

using Points = std::vector<Zem::BaPoint3d<double>>;

/// What the fit command shows besides the FitResult.
struct FitReport {
  std::vector<std::string> pairNames;  ///< name of each pair
  Points unpairedNominal, unpairedMeasured;
  bool byPosition = false;
  std::string nominalFile, measuredFile;
  /// Each pair's deviation along the nominal normal, (T·measured − nominal)·n
  /// in mm; empty when the nominal file has no normals.
  std::vector<double> alongNormal;
};

/// printf of up to three numbers into a string (the patterns are short).
std::string format(const char* pattern, double a, double b = 0.0, double c = 0.0);

/// The angles of `t` in degrees, in `order`.
Zem::BaVec3d<double> anglesInDegrees(const Zem::Transformation& t, AngleOrder order);

/// "XYZ" ... "ZYX".
const char* orderName(Zem::Transformation::RotationOrder_t order);

/// The transformation's lines of the text output.
std::string transformationText(const Zem::Transformation& t, AngleOrder order);

/// Both transformations of a record in every angle order and as rotation
/// vectors, and in `order` when that is a convention (the show command).
std::string recordText(const Zem::LastAndGlobalTransformation& record, AngleOrder order);

/// Prints the fit as text to stdout.
void printFitText(const Zem::FitResult& fit, const FitReport& report, const Zem::PointNames& names,
                  AngleOrder order);

/// JSON pieces: a quoted string, a number of 17 significant digits, [x, y, z].
std::string jsonString(const std::string& s);
std::string jsonNumber(double v);
std::string jsonVec(const Zem::BaVec3d<double>& v);


/// The fit as JSON.
std::string fitJson(const Zem::FitResult& fit, const FitReport& report, const Zem::PointNames& names,
                  AngleOrder order, bool withScale);

/// The pair table as CSV.
std::string fitCsv(const Zem::FitResult& fit, const FitReport& report);

/// The pair distances as an SVG bar chart; `tolerance` below 0: none drawn.
std::string fitSvg(const Zem::FitResult& fit, const FitReport& report, double tolerance);

}  // namespace zemtrafo

#endif  // ZEMTRAFO_OUTPUT_H
