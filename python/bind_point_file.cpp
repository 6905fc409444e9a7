// zemtrafo.PointFile and zemtrafo.PointNames: text files of 3D points, one
// point per line, as measuring software exports them.
#include <QString>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "arrays.h"
#include "bindings.h"
#include "math_point_file.h"

namespace zempy {

namespace {

using Zem::PointFile;
using Zem::PointNames;
using Points = std::vector<Zem::BaPoint3d<double>>;

constexpr const char* kFileDoc =
    R"doc(The points of one text file: one point per line, "x y z", "id x y z", "x y z wx wy wz"
or "id x y z wx wy wz", separated by blanks, tabs, commas or semicolons, '#'
comments, an optional header line of names. Numbers are read the same in every
locale. An identifier of decimal digits is its own id; any other identifier
("P1") is a name, which the run's PointNames turns into an id below -1, the same
id in every file read with the same PointNames. So read the files of one fit
with one PointNames, and pair them with fit(a.points, b.points, a.ids, b.ids).)doc";

py::array_t<double> xyzOf(const Points& points) {
  py::array_t<double> a({py::ssize_t(points.size()), py::ssize_t(3)});
  double* p = a.mutable_data();
  for (const auto& q : points) *p++ = q.x, *p++ = q.y, *p++ = q.z;
  return a;
}

/// A file that cannot be read raises OSError; an error on a line of it
/// ValueError; both with the reader's message "<file>:<line>: <reason>".
PointFile checked(PointFile file, bool ok) {
  if (ok) return file;
  const std::string text = file.getError().toStdString();
  if (file.getErrorLine() > 0) throw py::value_error(text);
  PyErr_SetString(PyExc_OSError, text.c_str());
  throw py::error_already_set();
}

}  // namespace

void bindPointFile(py::module_& m) {
  py::class_<PointNames>(m, "PointNames",
                         "The identifier names of one run: the same name gets the same id (below -1) in every "
                         "file read with this object.")
      .def(py::init<>())
      .def(
          "id_of", [](PointNames& n, const std::string& field) { return n.idOf(field); }, py::arg("identifier"),
          "The id of an identifier: its value when it is decimal digits, else the name's id (assigned now if new).")
      .def("name_of", &PointNames::nameOf, py::arg("id"), "The identifier's text; '' for -1.")
      .def("__len__", &PointNames::nameCount, "Number of names (not numeric identifiers) seen.")
      .def("__repr__",
           [](const PointNames& n) { return "PointNames(" + std::to_string(n.nameCount()) + " names)"; })
      // The names in the order they were seen, which gives each its id again.
      .def(py::pickle(
          [](const PointNames& n) {
            py::list names;
            for (std::size_t k = 0; k < n.nameCount(); ++k) names.append(py::bytes(n.nameOf(-2 - int(k))));
            return py::make_tuple(names);
          },
          [](const py::tuple& state) {
            PointNames n;
            for (const py::handle name : state[0].cast<py::list>()) n.idOf(name.cast<std::string>());
            return n;
          }));

  py::class_<PointFile>(m, "PointFile", kFileDoc)
      .def_static(
          "read",
          [](const py::object& path, PointNames& names) {
            PointFile file;
            const bool ok = file.read(fileNameOf(path), &names);
            return checked(std::move(file), ok);
          },
          py::arg("path"), py::arg("names"),
          "Reads a file. OSError when it cannot be read, ValueError for an error on one of its lines.")
      .def_static(
          "parse",
          [](const std::string& text, PointNames& names, const std::string& sourceName) {
            PointFile file;
            const bool ok = file.parse(text, QString::fromStdString(sourceName), &names);
            return checked(std::move(file), ok);
          },
          py::arg("text"), py::arg("names"), py::arg("source_name") = "<text>",
          "Reads points from a string; source_name names it in messages.")
      .def_property_readonly(
          "points", [](const PointFile& f) { return xyzOf(f.getPoints()); }, "New (N, 3) array of the points.")
      .def_property_readonly(
          "ids",
          [](const PointFile& f) -> py::object {
            if (!f.hasIdentifiers()) return py::none();
            py::array_t<std::int64_t> ids(py::ssize_t(f.getPoints().size()));
            for (std::size_t i = 0; i < f.getPoints().size(); ++i) ids.mutable_data()[i] = f.getPoints()[i].id;
            return std::move(ids);
          },
          "New (N,) array of the points' ids, or None when the file has no identifiers.")
      .def_property_readonly(
          "weights",
          [](const PointFile& f) -> py::object {
            if (!f.hasWeights()) return py::none();
            return xyzOf(f.getWeights());
          },
          "New (N, 3) array of the weights wx, wy, wz, or None when the file has none.")
      .def_property_readonly(
          "lines",
          [](const PointFile& f) {
            py::array_t<std::int64_t> lines(py::ssize_t(f.getPoints().size()));
            for (std::size_t i = 0; i < f.getPoints().size(); ++i) lines.mutable_data()[i] = std::int64_t(f.getLine(i));
            return lines;
          },
          "New (N,) array: the line of each point (1 for the first line).")
      .def_property_readonly("source_name", [](const PointFile& f) { return f.getSourceName().toStdString(); })
      .def("__len__", [](const PointFile& f) { return f.getPoints().size(); })
      .def("__repr__", [](const PointFile& f) {
        return "<PointFile " + py::repr(py::str(f.getSourceName().toStdString())).cast<std::string>() + ": " +
               std::to_string(f.getPoints().size()) + " points" + (f.hasIdentifiers() ? ", ids" : "") +
               (f.hasWeights() ? ", weights" : "") + ">";
      });
}

}  // namespace zempy
