// The parts of the zemtrafo module, one function per area; module.cpp calls
// them in order (each may use the classes bound before it).
#ifndef ZEM_PY_BINDINGS_H
#define ZEM_PY_BINDINGS_H

#include <pybind11/pybind11.h>

#include <string>

namespace zempy {

/// Thrown by the bindings when a transformation cannot be computed from the
/// given geometry; Python sees zemtrafo.FitError with the reason.
struct FitFailure {
  std::string reason;
};

void bindTransformation(pybind11::module_& m);
void bindFit(pybind11::module_& m);
void bindCoordinateSystem(pybind11::module_& m);
void bindTrafoIO(pybind11::module_& m);
void bindQuaternion(pybind11::module_& m);
void bindAffine(pybind11::module_& m);
void bindPointFile(pybind11::module_& m);
void bindAlignment(pybind11::module_& m);
void bindConventions(pybind11::module_& m);
void bindFeatures(pybind11::module_& m);

}  // namespace zempy

#endif  // ZEM_PY_BINDINGS_H
