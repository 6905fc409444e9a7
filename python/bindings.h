// The parts of the zemtrafo module, one function per area; module.cpp calls
// them in order (each may use the classes bound before it).
#ifndef ZEM_PY_BINDINGS_H
#define ZEM_PY_BINDINGS_H

#include <pybind11/pybind11.h>

namespace zempy {

void bindTransformation(pybind11::module_& m);
void bindFit(pybind11::module_& m);
void bindCoordinateSystem(pybind11::module_& m);
void bindTrafoIO(pybind11::module_& m);

}  // namespace zempy

#endif  // ZEM_PY_BINDINGS_H
