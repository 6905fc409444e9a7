// zemtrafo.LastAndGlobalTransformation: the persisted record of the last and
// the global transformation (".trafo" files) and its text report.
#include <QString>
#include <memory>
#include <string>

#include "arrays.h"
#include "bindings.h"
#include "math_trafo_io.h"

namespace zempy {

namespace {

using Zem::ErrorLog;
using Zem::LastAndGlobalTransformation;
using Zem::Transformation;

constexpr const char* kClassDoc = R"doc(The host's last and global transformations, each with a validity flag.

Saved as a ".trafo" block stream of type "LAST-GLOBAL-TRAFO", version 1: the
flags and the two matrices exactly as stored (m[3, 3] = 1/scale), so a record
loads back bit for bit. A flag may be False while its matrix holds anything;
both are kept. Files are written safely: a failed save leaves an existing
file as it was.)doc";

/// The log's entries, one per line.
std::string logText(const ErrorLog& log) { return log.getEntries().join(QStringLiteral("\n")).toStdString(); }

/// A failed load: the file's content is not a record (another type or
/// version) raises ValueError; a file that cannot be read or a damaged
/// stream raises OSError. The log's entry says which: the record's own
/// content messages are recognised by their (translated) texts.
[[noreturn]] void raiseLoadError(const ErrorLog& log) {
  const QString text = log.getEntries().value(0);
  for (const char* message : {"invalid file type", "invalid file version", "invalid header block version"})
    if (text.startsWith(Zem::translate("TRANSFORMATION_err", message))) throw py::value_error(logText(log));
  PyErr_SetString(PyExc_OSError, logText(log).c_str());
  throw py::error_already_set();
}

[[noreturn]] void raiseOSError(const ErrorLog& log) {
  PyErr_SetString(PyExc_OSError, logText(log).c_str());
  throw py::error_already_set();
}

std::unique_ptr<LastAndGlobalTransformation> load(const py::object& path) {
  auto record = std::make_unique<LastAndGlobalTransformation>(Transformation::identity(), false,
                                                              Transformation::identity(), false);
  ErrorLog log;
  if (!record->load(fileNameOf(path), &log, 0, 0)) raiseLoadError(log);
  return record;
}

}  // namespace

void bindTrafoIO(py::module_& m) {
  py::class_<LastAndGlobalTransformation, std::unique_ptr<LastAndGlobalTransformation>>(
      m, "LastAndGlobalTransformation", kClassDoc)
      .def(py::init<const Transformation&, bool, const Transformation&, bool>(), py::arg("last_transformation"),
           py::arg("last_valid"), py::arg("global_transformation"), py::arg("global_valid"))
      .def_readonly_static("FILE_TYPE", &LastAndGlobalTransformation::FILE_TYPE, "\"LAST-GLOBAL-TRAFO\"")
      // Copies: changing them must not change the record behind its back.
      .def_property_readonly(
          "last_transformation", [](const LastAndGlobalTransformation& r) { return r.getLastTransformation(); },
          "A copy of the last transformation.")
      .def_property_readonly(
          "global_transformation", [](const LastAndGlobalTransformation& r) { return r.getGlobalTransformation(); },
          "A copy of the global transformation.")
      .def_property_readonly("last_valid", &LastAndGlobalTransformation::isLastTransformationValid)
      .def_property_readonly("global_valid", &LastAndGlobalTransformation::isGlobalTransformationValid)
      .def("__repr__",
           [](const LastAndGlobalTransformation& r) {
             const auto text = [](const py::handle& h) { return py::repr(h).cast<std::string>(); };
             return "LastAndGlobalTransformation(" + text(py::cast(r.getLastTransformation())) + ", " +
                    (r.isLastTransformationValid() ? "True" : "False") + ", " +
                    text(py::cast(r.getGlobalTransformation())) + ", " +
                    (r.isGlobalTransformationValid() ? "True" : "False") + ")";
           })
      .def(py::pickle(
          [](const LastAndGlobalTransformation& r) {
            return py::make_tuple(r.getLastTransformation(), r.isLastTransformationValid(),
                                  r.getGlobalTransformation(), r.isGlobalTransformationValid());
          },
          [](const py::tuple& state) {
            return std::make_unique<LastAndGlobalTransformation>(
                state[0].cast<Transformation>(), state[1].cast<bool>(), state[2].cast<Transformation>(),
                state[3].cast<bool>());
          }))
      .def(
          "save",
          [](LastAndGlobalTransformation& r, const py::object& path) {
            ErrorLog log;
            if (!r.save(fileNameOf(path), &log, 0, 0)) raiseOSError(log);
          },
          py::arg("path"), "Writes the record to the file (name as given, no extension added); OSError on failure.")
      .def_static("load", &load, py::arg("path"),
                  "Reads a record from a file. ValueError when the file holds no record of this type and version, "
                  "OSError when it cannot be read or its stream is damaged.")
      .def(
          "export_report",
          [](const LastAndGlobalTransformation& r, const py::object& path) {
            ErrorLog log;
            if (!r.exportASCII(fileNameOf(path), &log)) raiseOSError(log);
          },
          py::arg("path"),
          "Writes a readable text report of both transformations (angles of Order.YXZ, translation, scale, "
          "matrix) in the host's display units (degree and millimetre by default); OSError on failure.");
}

}  // namespace zempy
