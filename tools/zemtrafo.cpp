// zemtrafo: best fits, transformations and reports on point files from the
// command line. main only declares the command line (CLI11) and dispatches;
// the work is in zemtrafo_commands.cpp.
#include <CLI/CLI.hpp>

#include <cctype>
#include <cstdio>
#include <exception>
#include <map>
#include <string>

#include "zemtrafo_commands.h"

namespace {

using zemtrafo::AngleOrder;
using Zem::Transformation;

const std::map<std::string, AngleOrder> kOrders = {
    {"xyz", AngleOrder::XYZ}, {"xzy", AngleOrder::XZY}, {"yxz", AngleOrder::YXZ}, {"yzx", AngleOrder::YZX},
    {"zxy", AngleOrder::ZXY}, {"zyx", AngleOrder::ZYX}, {"set", AngleOrder::ThreeArgumentForm}};

const std::map<std::string, Transformation::TransformMode_t> k321Modes = {
    {"zyx", Transformation::ALIGN_ZYX}, {"zxy", Transformation::ALIGN_ZXY}, {"yzx", Transformation::ALIGN_YZX},
    {"yxz", Transformation::ALIGN_YXZ}, {"xyz", Transformation::ALIGN_XYZ}, {"xzy", Transformation::ALIGN_XZY}};

const std::map<std::string, Transformation::TrafoPLPMode_t> kPlpModes = {
    {"plane-line-point", Transformation::PLP_PLANE_LINE_POINT},
    {"plane-point-line", Transformation::PLP_PLANE_POINT_LINE},
    {"line-plane-point", Transformation::PLP_LINE_PLANE_POINT},
    {"line-point-plane", Transformation::PLP_LINE_POINT_PLANE},
    {"point-plane-line", Transformation::PLP_POINT_PLANE_LINE},
    {"point-line-plane", Transformation::PLP_POINT_LINE_PLANE}};

/// Turns a word of `words` (any case) into its enum value for the option's
/// variable; the help lists the words, and so does the message for any other
/// word ("--mode: bad not in {xyz,...}").
template <typename Enum>
CLI::Validator wordOf(const std::map<std::string, Enum>& words) {
  std::string list;
  for (const auto& word : words) list += (list.empty() ? "{" : ",") + word.first;
  list += "}";
  return CLI::Validator(
      [&words, list](std::string& word) {
        std::string lower = word;
        for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
        const auto found = words.find(lower);
        if (found == words.end()) return word + " not in " + list;
        word = std::to_string(static_cast<int>(found->second));
        return std::string();
      },
      list);
}

void addOrderOption(CLI::App* command, AngleOrder* order) {
  command
      ->add_option("--order", *order, "Rotation order of the printed angles, the first letter acting first: "
                                      "xyz, xzy, yxz, yzx, zxy, zyx, or set, the three-argument form "
                                      "(Y, then X, then Z; the default)")
      ->type_name("ORDER")
      ->transform(wordOf(kOrders));
}

void addRecordOptions(CLI::App* command, zemtrafo::RecordOptions* record, const std::string& what) {
  command->add_option("--out", record->out, "Save the " + what + " as a .trafo record (last = global = this " +
                                                what + ")");
  command
      ->add_option("--global", record->global,
                   "Read this .trafo record and write it (or --out) with last = this " + what +
                       " and global = its global followed by this " + what)
      ->check(CLI::ExistingFile);
  command->add_option("--report", record->report, "Write the text report of the saved record");
}

int dispatch(int argc, char** argv);

}  // namespace

int main(int argc, char** argv) {
  // The library's precondition errors would end the program unexplained: a
  // message and exit status 2 instead.
  try {
    return dispatch(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zemtrafo: %s\n", e.what());
    return zemtrafo::kBadInput;
  }
}

namespace {

int dispatch(int argc, char** argv) {
  CLI::App app{"Best fits, transformations and reports on point files (mm, degrees)."};
  app.set_version_flag("--version", "zemtrafo " ZEM_VERSION);
  app.require_subcommand(1);
  app.footer("Exit status: 0 done, 1 the fit or alignment failed, 2 bad usage or bad input.\n"
             "Point files: one point per line, \"x y z\" or \"id x y z\", optionally followed by three weights;\n"
             "fields separated by blanks, tabs, commas or semicolons; '#' comments; one optional header line.");

  zemtrafo::FitOptions fit;
  CLI::App* fitCmd = app.add_subcommand("fit", "Fit the measured points onto the nominal ones (least squares).");
  fitCmd->add_option("NOMINAL", fit.nominal, "Nominal points (the target frame)")->required();
  fitCmd->add_option("MEASURED", fit.measured, "Measured points (mapped onto the nominal ones)")->required();
  fitCmd->add_flag("--by-position", fit.byPosition, "Pair the n-th measured with the n-th nominal point");
  fitCmd->add_flag("--scale", fit.withScale, "Estimate a uniform scale too (else the scale is 1)");
  fitCmd->add_flag("--weights", fit.weights, "Weigh each pair by the weight columns of the file that has them");
  fitCmd->add_option("--rotation", fit.rotation, "Rotation freedom: free, x, y, z (about that nominal axis) or none")
      ->check(CLI::IsMember({"free", "x", "y", "z", "none"}));
  fitCmd->add_option("--translation", fit.translation, "Free translation axes: xyz (default), xy, z, ... or none");
  fitCmd->add_option("--sigma", fit.sigma, "A-priori standard deviation of unit weight (mm); else estimated")
      ->check(CLI::PositiveNumber);
  std::string rejectAlpha;
  CLI::Option* reject =
      fitCmd->add_option("--reject", rejectAlpha, "Set gross errors aside at significance ALPHA (default 0.001)")
          ->expected(0, 1)
          ->check(CLI::Range(1e-12, 0.5));
  addOrderOption(fitCmd, &fit.order);
  addRecordOptions(fitCmd, &fit.record, "fit");
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

  zemtrafo::Align321Options align321;
  CLI::App* align321Cmd = app.add_subcommand("align321", "3-2-1 alignment from a feature file.");
  align321Cmd->add_option("FEATURES", align321.features,
                          "Feature file: three \"plane x y z height\", two \"direction x y z value\" and one "
                          "\"point x y z value\" lines (measured point, nominal coordinate)")
      ->required();
  align321Cmd
      ->add_option("--mode", align321.mode, "Primary, secondary and tertiary axis: zyx (default), zxy, yzx, yxz, xyz, xzy")
      ->type_name("AXES")
      ->transform(wordOf(k321Modes));
  align321Cmd->add_flag("--plane-negative", align321.negativeFirst, "The plane's normal points to negative values");
  align321Cmd->add_flag("--direction-negative", align321.negativeSecond,
                        "The direction points to negative values");
  addOrderOption(align321Cmd, &align321.order);
  addRecordOptions(align321Cmd, &align321.record, "alignment");
  align321Cmd->footer("Example: zemtrafo align321 features.txt --mode zyx --out part.trafo");

  zemtrafo::AlignPlpOptions alignPlp;
  CLI::App* alignPlpCmd = app.add_subcommand("align-plp", "Plane-line-point alignment from a feature file.");
  alignPlpCmd->add_option("FEATURES", alignPlp.features,
                          "Feature file: \"plane a b c d a b c d\", \"line px py pz dx dy dz px py pz dx dy dz\" "
                          "and \"point x y z x y z\" (measured, then nominal)")
      ->required();
  alignPlpCmd
      ->add_option("--mode", alignPlp.mode, "Priority of the features: plane-line-point (default), plane-point-line, "
                                      "line-plane-point, line-point-plane, point-plane-line, point-line-plane")
      ->type_name("PRIORITY")
      ->transform(wordOf(kPlpModes));
  addOrderOption(alignPlpCmd, &alignPlp.order);
  addRecordOptions(alignPlpCmd, &alignPlp.record, "alignment");
  alignPlpCmd->footer("Example: zemtrafo align-plp features.txt --out part.trafo");

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
    fit.reject = reject->count() > 0;
    if (!rejectAlpha.empty()) fit.alpha = std::stod(rejectAlpha);
    return zemtrafo::runFit(fit);
  }
  if (align321Cmd->parsed()) return zemtrafo::runAlign321(align321);
  if (alignPlpCmd->parsed()) return zemtrafo::runAlignPlp(alignPlp);
  if (applyCmd->parsed()) return zemtrafo::runApply(apply);
  if (showCmd->parsed()) return zemtrafo::runShow(showFile);
  return zemtrafo::runReport(reportIn, reportOut);
}

}  // namespace
