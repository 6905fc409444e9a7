// The Python module zemtrafo: the library's classes on numpy arrays.
#include <pybind11/pybind11.h>

#include <string>

#include "bindings.h"
#include "zem_base.h"
#include "zem_io.h"

namespace {

namespace py = pybind11;

/// "text (Zem::Class::function)": the library's message, then where it arose.
std::string messageOf(const Zem::Exception& e) {
  std::string text = e.getText().toStdString();
  if (!e.getFunction().isEmpty()) text += " (" + e.getFunction().toStdString() + ")";
  return text;
}

constexpr const char* kModuleDoc =
    R"doc(3D similarity transformations, best fits and coordinate systems for metrology, on numpy arrays.

Conventions (as in the C++ library):
  * points are column vectors, arrays of points have shape (N, 3), float64;
  * a Transformation maps p to s (R p + t); its 4x4 matrix holds 1/s in m[3, 3];
  * angles are radians; a positive turn about Z carries +Y onto +X (the
    elementary rotations are the transposes of the usual active ones);
  * in a rotation Order the first letter acts first.
Errors: ValueError for invalid arguments (also the library's precondition
errors), TypeError for non-numeric arrays, OSError for files and streams,
FitError when a fit finds no transformation.)doc";

}  // namespace

PYBIND11_MODULE(zemtrafo, m) {
  m.doc() = kModuleDoc;
  // The library's exceptions are std::exceptions, which pybind11 alone would
  // raise as RuntimeError with what(). This translator, registered after
  // pybind11's own and so tried before them, gives each kind its Python
  // counterpart with the library's text and the function it arose in.
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const Zem::IO::StreamException& e) {
      PyErr_SetString(PyExc_OSError, messageOf(e).c_str());
    } catch (const Zem::ProgError& e) {
      PyErr_SetString(PyExc_ValueError, messageOf(e).c_str());
    } catch (const Zem::Exception& e) {
      PyErr_SetString(PyExc_RuntimeError, messageOf(e).c_str());
    }
  });
  zempy::bindTransformation(m);
  zempy::bindFit(m);
  zempy::bindCoordinateSystem(m);
  zempy::bindTrafoIO(m);
  zempy::bindQuaternion(m);
  zempy::bindAffine(m);
  zempy::bindPointFile(m);
  zempy::bindAlignment(m);
  zempy::bindConventions(m);
  zempy::bindFeatures(m);
}
