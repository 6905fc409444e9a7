// zemtrafo: best fits, transformations and reports on point files from the
// command line. main only declares the command line (CLI11) and dispatches;
// the work is in zemtrafo_commands.cpp.
#include <CLI/CLI.hpp>

#include <map>
#include <string>

#include "zemtrafo_commands.h"

namespace {

const std::map<std::string, int> kOrders = {
    {"xyz", Zem::Transformation::ORDER_XYZ}, {"xzy", Zem::Transformation::ORDER_XZY},
    {"yxz", Zem::Transformation::ORDER_YXZ}, {"yzx", Zem::Transformation::ORDER_YZX},
    {"zxy", Zem::Transformation::ORDER_ZXY}, {"zyx", Zem::Transformation::ORDER_ZYX},
    {"set", zemtrafo::kThreeArgumentForm}};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Best fits, transformations and reports on point files (mm, degrees)."};
  app.set_version_flag("--version", "zemtrafo " ZEM_VERSION);
  app.require_subcommand(1);
  app.footer("Exit status: 0 done, 1 the fit failed, 2 bad usage or bad input.\n"
             "Point files: one point per line, \"x y z\" or \"id x y z\", optionally followed by three weights;\n"
             "fields separated by blanks, tabs, commas or semicolons; '#' comments; one optional header line.");

  zemtrafo::FitOptions fit;
  CLI::App* fitCmd = app.add_subcommand("fit", "Fit the measured points onto the nominal ones (least squares).");
  fitCmd->add_option("NOMINAL", fit.nominal, "Nominal points (the target frame)")->required();
  fitCmd->add_option("MEASURED", fit.measured, "Measured points (mapped onto the nominal ones)")->required();
  fitCmd->add_flag("--by-position", fit.byPosition, "Pair the n-th measured with the n-th nominal point");
  fitCmd->add_flag("--scale", fit.withScale, "Estimate a uniform scale too (else the scale is 1)");
  fitCmd->add_flag("--weights", fit.weights, "Weigh each pair by the weight columns of the file that has them");
  std::string order = "set";
  fitCmd->add_option("--order", order, "Rotation order of the printed angles, the first letter acting first: "
                                       "xyz, xzy, yxz, yzx, zxy, zyx, or set, the three-argument form "
                                       "(Y, then X, then Z; the default)")
      ->type_name("ORDER")
      ->transform(CLI::IsMember(kOrders, CLI::ignore_case));
  fitCmd->add_option("--out", fit.out, "Save the fit as a .trafo record (last = global = this fit)");
  fitCmd->add_option("--global", fit.global,
                     "Read this .trafo record and write it (or --out) with last = this fit and "
                     "global = its global followed by this fit")
      ->check(CLI::ExistingFile);
  fitCmd->add_option("--report", fit.report, "Write the text report of the saved record");
  fitCmd->add_flag("--json", fit.json, "Print everything as JSON instead of text");
  fitCmd->add_option("--csv", fit.csv, "Write the pair table as CSV");
  CLI::Option* svg = fitCmd->add_option("--svg", fit.svg, "Draw the pair distances as an SVG bar chart");
  fitCmd->add_option("--tolerance", fit.tolerance, "Draw this distance (mm) as a line in the chart")
      ->needs(svg)
      ->check(CLI::NonNegativeNumber);
  fitCmd->footer("Example: zemtrafo fit nominal.txt measured.txt --out part.trafo --report part.txt");

  zemtrafo::ApplyOptions apply;
  CLI::App* applyCmd = app.add_subcommand("apply", "Transform a point file by a .trafo record.");
  applyCmd->add_option("TRAFO", apply.trafo, ".trafo record")->required()->check(CLI::ExistingFile);
  applyCmd->add_option("POINTS", apply.points, "Point file")->required();
  applyCmd->add_option("--out", apply.out, "Write the points here instead of to stdout");
  applyCmd->add_flag("--inverse", apply.inverse, "Apply the inverse transformation");
  applyCmd->add_flag("--global", apply.global, "Use the global transformation (default: the last one)");
  applyCmd->footer("Example: zemtrafo apply part.trafo measured.txt --out aligned.txt");

  std::string showFile;
  CLI::App* showCmd = app.add_subcommand("show", "Print both transformations of a .trafo record.");
  showCmd->add_option("TRAFO", showFile, ".trafo record")->required()->check(CLI::ExistingFile);
  showCmd->footer("Example: zemtrafo show part.trafo");

  std::string reportIn, reportOut;
  CLI::App* reportCmd = app.add_subcommand("report", "Write the text report of a .trafo record.");
  reportCmd->add_option("TRAFO", reportIn, ".trafo record")->required()->check(CLI::ExistingFile);
  reportCmd->add_option("OUT", reportOut, "Report file")->required();
  reportCmd->footer("Example: zemtrafo report part.trafo part.txt");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? zemtrafo::kDone : zemtrafo::kBadInput;  // --help and --version are not errors
  }
  if (fitCmd->parsed()) {
    fit.order = kOrders.at(order);
    return zemtrafo::runFit(fit);
  }
  if (applyCmd->parsed()) return zemtrafo::runApply(apply);
  if (showCmd->parsed()) return zemtrafo::runShow(showFile);
  return zemtrafo::runReport(reportIn, reportOut);
}
