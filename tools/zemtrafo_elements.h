// zemtrafo's element files: geometric elements named by the points they are
// fitted to. One element per line (mm; '#' comments and blank lines
// skipped; fields separated by blanks, tabs, commas or semicolons):
//
//   TYPE NAME POINT... [= NOMINAL...]
//
//   TYPE     plane, line, circle, sphere or cylinder
//   NAME     any word, for the output
//   POINT    an identifier or name of the points file, or a range A-B of
//            numeric identifiers (every identifier from A to B must be there)
//   NOMINAL  what an alignment takes the element to: align321 one number
//            (plane: height along the primary axis; line or cylinder: the
//            secondary coordinate; circle or sphere centre: the tertiary
//            coordinate); align-plp the reference element (plane: a b c d;
//            line or cylinder axis: px py pz dx dy dz; circle or sphere
//            centre: x y z). The features command ignores it.
#ifndef ZEMTRAFO_ELEMENTS_H
#define ZEMTRAFO_ELEMENTS_H

#include <string>
#include <vector>

#include "math_features.h"
#include "math_point_names.h"

namespace zemtrafo {

/// One line of an element file and its fit.
struct Element {
  std::string type, name, where;  ///< where: "file:line"
  std::vector<Zem::BaPoint3d<double>> points;
  std::vector<double> nominal;
  Zem::LineFit line;
  Zem::PlaneFit plane;
  Zem::CircleFit circle;
  Zem::SphereFit sphere;
  Zem::CylinderFit cylinder;

  /// The fit of this element's type.
  const Zem::FeatureFit& fit() const;
  /// A circle's or sphere's centre.
  bool isPoint() const { return type == "circle" || type == "sphere"; }
  Zem::BaVec3d<double> center() const { return type == "circle" ? circle.center : sphere.center; }
  /// A line or a cylinder's axis.
  bool isLine() const { return type == "line" || type == "cylinder"; }
  Zem::Line3d axis() const { return type == "line" ? line.toLine3d() : cylinder.toLine3d(); }
};

/// Reads the points file and the element file and fits every element. False
/// (after a message naming file and line) for bad input; a fit that fails
/// is not bad input: its status is in the element.
bool readElements(const std::string& pointsPath, const std::string& elementsPath, Zem::PointNames* names,
                  std::vector<Element>* elements);

/// "file:line: circle BORE1: degenerate: ..." for each failed fit; true
/// when every fit succeeded.
bool reportFailedFits(const std::vector<Element>& elements);

}  // namespace zemtrafo

#endif  // ZEMTRAFO_ELEMENTS_H
