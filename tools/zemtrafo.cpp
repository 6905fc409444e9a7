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
#include "zemtrafo_files.h"

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

/// The six orders and "set" as wordOf takes them, or "scipy:" and one of
/// SciPy's 24 convention names, whose case matters ("scipy:ZYX" intrinsic,
/// "scipy:zyx" extrinsic).
CLI::Validator orderWord() {
  const CLI::Validator words = wordOf(kOrders);
  return CLI::Validator(
      [words](std::string& word) {
        Zem::RotationConvention convention(Zem::RotationConvention::AXIS_X, Zem::RotationConvention::AXIS_Y,
                                           Zem::RotationConvention::AXIS_Z, false);
        if (word.rfind("scipy:", 0) != 0) return words(word);
        if (!Zem::RotationConvention::parse(QString::fromStdString(word.substr(6)), &convention))
          return word + " is not scipy: followed by one of SciPy's 24 conventions (xyz, ZYX, zxz, ...)";
        word = std::to_string(static_cast<int>(zemtrafo::conventionOrder(convention)));
        return std::string();
      },
      "");
}

void addOrderOption(CLI::App* command, AngleOrder* order) {
  command
      ->add_option("--order", *order, "Rotation order of the printed angles, the first letter acting first: "
                                      "xyz, xzy, yxz, yzx, zxy, zyx, or set, the three-argument form "
                                      "(Y, then X, then Z; the default); or scipy:SEQ with one of SciPy's 24 "
                                      "conventions (scipy:ZYX intrinsic, scipy:zyx extrinsic, scipy:zxz, ...) "
                                      "for right-hand angles in its letter sequence")
      ->type_name("ORDER")
      ->transform(orderWord());
}

/// The angle convention, for the help of every command that prints angles.
constexpr const char* kAngleConvention =
    "Angles: degrees; a positive angle about Z carries +Y towards +X (the opposite of the right-hand rule), "
    "likewise about X (+Z towards +Y) and Y (+X towards +Z). The transformation maps measured -> nominal.";

/// --decimal-comma, --decimal-point and --skip-lines of the commands that read point files.
void addReadingOptions(CLI::App* command, Zem::PointFile::ReadOptions* reading) {
  using Mark = Zem::PointFile::DecimalMark;
  command->add_flag_callback("--decimal-comma", [reading] { reading->decimalMark = Mark::Comma; },
                             "Numbers have a decimal comma (fields then separated by ';', tabs or blanks); "
                             "default: decided from the first data line");
  command->add_flag_callback("--decimal-point", [reading] { reading->decimalMark = Mark::Point; },
                             "Numbers have a decimal point, also in files of ';' or tabs");
  command->add_option("--skip-lines", reading->skipLines, "Skip this many lines at the start of each point file")
      ->type_name("N");
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

constexpr const char* kElementFile =
    "Element file: one element per line, \"TYPE NAME POINT...\" (see below)";
constexpr const char* kElementFormat =
    "Element file: one element per line, \"TYPE NAME POINT... [= NOMINAL...]\": TYPE plane, line, circle,\n"
    "sphere or cylinder (least-squares fits of the orthogonal distances); POINT an identifier or name of\n"
    "the points file, or a range A-B of numeric identifiers; NOMINAL what an alignment takes the element\n"
    "to (ignored by features). '#' comments. Example:\n"
    "  plane    A      1 2 3 4 5   = 0\n"
    "  line     B      6-8         = 0\n"
    "  circle   BORE1  10-17       = 25\n"
    "  sphere   BALL1  20-28\n"
    "  cylinder PIN    30-45\n"
    "Residuals are signed (plane: along the normal; circle, sphere, cylinder: positive outside; line:\n"
    "distances); form is the largest minus the smallest residual (line: twice the largest distance).";

/// What the alignments share after their own options: the angle order, the
/// record outputs, and a footer of examples, the element file's format and
/// the angle convention.
void addAlignmentTail(CLI::App* command, AngleOrder* order, zemtrafo::RecordOptions* record, const char* examples) {
  addOrderOption(command, order);
  addRecordOptions(command, record, "alignment");
  command->footer(std::string(examples) + kElementFormat + "\n" + kAngleConvention);
}

/// The inputs of an alignment: its FEATURES file, or --points with --features.
void addAlignmentInputs(CLI::App* command, std::string* features, const std::string& featuresHelp,
                        std::string* points, std::string* elements, const std::string& roles) {
  CLI::Option* featureFile = command->add_option("FEATURES", *features, featuresHelp);
  CLI::Option* pointsOption =
      command->add_option("--points", *points, "Probed points with identifiers (\"id x y z\"), with --features");
  CLI::Option* elementsOption = command->add_option(
      "--features", *elements, "Element file naming the probed points of " + roles);
  pointsOption->needs(elementsOption)->excludes(featureFile);
  elementsOption->needs(pointsOption);
  command->callback([command, featureFile, pointsOption]() {
    if (featureFile->count() == 0 && pointsOption->count() == 0)
      throw CLI::RequiredError(command->get_name() + ": a FEATURES file or --points with --features");
  });
}

int dispatch(int argc, char** argv);

}  // namespace

int main(int argc, char** argv) {
  zemtrafo::installSignalHandlers();
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
  CLI::App app{"Best fits, transformations and reports on point files (mm, degrees).", "zemtrafo"};
  app.set_version_flag("--version", "zemtrafo " ZEM_VERSION);
  app.require_subcommand(1);
  app.footer(std::string("Exit status: 0 done, 1 the fit or alignment failed, 2 bad usage or bad input.\n"
                         "Point files: one point per line, \"x y z\" or \"id x y z\", optionally followed by three "
                         "weights\n(or a normal, under a header \"id x y z i j k\"); fields separated by blanks, tabs, "
                         "commas or semicolons\n(decimal commas in files of ';' or tabs); '#' comments; header lines; "
                         "\"-\" is standard input or output.\n") +
             kAngleConvention);

  zemtrafo::FitOptions fit;
  CLI::App* fitCmd = app.add_subcommand("fit", "Fit the measured points onto the nominal ones (least squares).");
  fitCmd->add_option("NOMINAL", fit.nominal, "Nominal points (the target frame)")->required();
  fitCmd->add_option("MEASURED", fit.measured, "Measured points (mapped onto the nominal ones)")->required();
  fitCmd->add_flag("--by-position", fit.byPosition, "Pair the n-th measured with the n-th nominal point");
  fitCmd->add_flag("--scale", fit.withScale, "Estimate a uniform scale too (else the scale is 1)");
  fitCmd->add_flag("--weights", fit.weights, "Weigh each pair by the weight columns of the file that has them");
  fitCmd->add_flag("--along-normals", fit.alongNormals,
                   "Fit by the deviations along the nominal normals only, each point free to slide along its "
                   "surface (needs a nominal file with normals, header \"id x y z i j k\")");
  addReadingOptions(fitCmd, &fit.reading);
  fitCmd->add_option("--rotation", fit.rotation, "Rotation freedom: free, x, y, z (about that nominal axis) or none")
      ->check(CLI::IsMember({"free", "x", "y", "z", "none"}));
  fitCmd->add_option("--translation", fit.translation, "Free translation axes: xyz (default), xy, z, ... or none");
  fitCmd->add_option("--sigma", fit.sigma, "A-priori standard deviation of unit weight (mm); else estimated")
      ->check(CLI::PositiveNumber);
  fitCmd->add_flag("--diagnostics", fit.diagnostics,
                   "Report the standard deviations of the parameters, sigma0, the redundancy and the test "
                   "statistic T of each pair (also with --sigma or --reject)");
  std::string rejectAlpha;
  CLI::Option* reject =
      fitCmd->add_option("--reject", rejectAlpha, "Set gross errors aside at significance ALPHA (default 0.001)")
          ->expected(0, 1)
          ->check(CLI::Range(1e-12, 0.5));
  addOrderOption(fitCmd, &fit.order);
  addRecordOptions(fitCmd, &fit.record, "fit");
  fitCmd->add_option("--json", fit.jsonFile, "Write everything as JSON instead of text, to FILE or standard output")
      ->expected(0, 1)
      ->type_name("[FILE]")
      ->default_str("-");
  fitCmd->add_option("--csv", fit.csv, "Write the pair table as CSV");
  CLI::Option* svg = fitCmd->add_option("--svg", fit.svg, "Draw the pair distances as an SVG bar chart");
  fitCmd->add_option("--tolerance", fit.tolerance, "Draw this distance (mm) as a line in the chart")
      ->needs(svg)
      ->check(CLI::PositiveNumber);
  fitCmd->footer(std::string("Example: zemtrafo fit nominal.txt measured.txt --out part.trafo --report part.txt\n") +
                 kAngleConvention);

  zemtrafo::ApplyOptions apply;
  CLI::App* applyCmd = app.add_subcommand("apply", "Transform a point file by a .trafo record.");
  applyCmd->add_option("TRAFO", apply.trafo, ".trafo record")->required()->check(CLI::ExistingFile);
  applyCmd->add_option("POINTS", apply.points, "Point file")->required();
  applyCmd->add_option("--out", apply.out, "Write the points here instead of to stdout");
  applyCmd->add_flag("--inverse", apply.inverse, "Apply the inverse transformation");
  applyCmd->add_flag("--global", apply.global, "Use the global transformation (default: the last one)");
  applyCmd
      ->add_option("--precision", apply.precision,
                   "Decimals of the written coordinates (default: as many as the input's coordinates need, at "
                   "most 17; beyond that the shortest exact form)")
      ->check(CLI::Range(0, 17));
  addReadingOptions(applyCmd, &apply.reading);
  applyCmd->footer("Example: zemtrafo apply part.trafo measured.txt --out aligned.txt");

  zemtrafo::FeaturesOptions features;
  CLI::App* featuresCmd =
      app.add_subcommand("features", "Fit planes, lines, circles, spheres and cylinders to probed points.");
  featuresCmd->add_option("POINTS", features.points, "Probed points with identifiers (\"id x y z\")")->required();
  featuresCmd->add_option("ELEMENTS", features.features, kElementFile)->required();
  featuresCmd->add_flag("--json", features.json, "Print the elements and every point's residual as JSON");
  featuresCmd->footer(kElementFormat);

  zemtrafo::Align321Options align321;
  std::string align321Features;
  CLI::App* align321Cmd =
      app.add_subcommand("align321", "3-2-1 alignment from a feature file, or from probed points and an element file.");
  addAlignmentInputs(align321Cmd, &align321.features,
                     "Feature file: three \"plane x y z height\", two \"direction x y z value\" and one "
                     "\"point x y z value\" lines (measured point, nominal coordinate)",
                     &align321.points, &align321Features,
                     "one plane \"= height\", one line or cylinder \"= value\" (secondary axis) and one circle "
                     "or sphere \"= value\" (tertiary axis); the plane's normal and the line's direction are the "
                     "fitted ones (right-hand order of the plane's first three points, first to last point)");
  align321Cmd
      ->add_option("--mode", align321.mode, "Primary, secondary and tertiary axis: zyx (default), zxy, yzx, yxz, xyz, xzy")
      ->type_name("AXES")
      ->transform(wordOf(k321Modes));
  align321Cmd->add_flag("--plane-negative", align321.negativeFirst,
                        "The plane's normal is -(P1 - P0) x (P2 - P0) of the plane lines in file order "
                        "(default: +; swapping two plane lines also reverses it)");
  align321Cmd->add_flag("--direction-negative", align321.negativeSecond,
                        "The direction runs from the second direction point to the first (default: first to "
                        "second)");
  addAlignmentTail(align321Cmd, &align321.order, &align321.record,
                   "Examples: zemtrafo align321 features.txt --mode zyx --out part.trafo\n"
                   "          zemtrafo align321 --points probed.txt --features datums.txt --out part.trafo\n");

  zemtrafo::AlignPlpOptions alignPlp;
  std::string alignPlpFeatures;
  CLI::App* alignPlpCmd = app.add_subcommand(
      "align-plp", "Plane-line-point alignment from a feature file, or from probed points and an element file.");
  addAlignmentInputs(alignPlpCmd, &alignPlp.features,
                     "Feature file: \"plane a b c d a b c d\", \"line px py pz dx dy dz px py pz dx dy dz\" "
                     "and \"point x y z x y z\" (measured, then nominal)",
                     &alignPlp.points, &alignPlpFeatures,
                     "one plane \"= a b c d\", one line or cylinder \"= px py pz dx dy dz\" and one circle or "
                     "sphere \"= x y z\": the nominal elements");
  alignPlpCmd
      ->add_option("--mode", alignPlp.mode, "Priority of the features: plane-line-point (default), plane-point-line, "
                                      "line-plane-point, line-point-plane, point-plane-line, point-line-plane")
      ->type_name("PRIORITY")
      ->transform(wordOf(kPlpModes));
  addAlignmentTail(alignPlpCmd, &alignPlp.order, &alignPlp.record,
                   "Examples: zemtrafo align-plp features.txt --out part.trafo\n"
                   "          zemtrafo align-plp --points probed.txt --features datums.txt\n");

  std::string showFile;
  CLI::App* showCmd = app.add_subcommand("show", "Print both transformations of a .trafo record.");
  showCmd->add_option("TRAFO", showFile, ".trafo record")->required()->check(CLI::ExistingFile);
  AngleOrder showOrder = AngleOrder::ThreeArgumentForm;
  addOrderOption(showCmd, &showOrder);
  showCmd->footer(std::string("Example: zemtrafo show part.trafo\n") + kAngleConvention);

  std::string reportIn, reportOut;
  CLI::App* reportCmd = app.add_subcommand("report", "Write the text report of a .trafo record.");
  reportCmd->add_option("TRAFO", reportIn, ".trafo record")->required()->check(CLI::ExistingFile);
  reportCmd->add_option("OUT", reportOut, "Report file")->required();
  reportCmd->footer("Example: zemtrafo report part.trafo part.txt");

  // An unknown subcommand is a word CLI11 would call an extra argument.
  const auto isCommand = [&app](const std::string& word) {
    return !app.get_subcommands([&word](const CLI::App* command) { return command->check_name(word); }).empty();
  };
  if (argc > 1 && argv[1][0] != '-' && !isCommand(argv[1])) {
    std::fprintf(stderr, "zemtrafo: unknown command \"%s\"; the commands are fit, apply, align321, align-plp, show "
                         "and report (zemtrafo --help)\n", argv[1]);
    return zemtrafo::kBadInput;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e) == 0 ? zemtrafo::kDone : zemtrafo::kBadInput;  // --help, --version
    std::fprintf(stderr, "zemtrafo: %s\nRun with --help for more information.\n", e.what());
    return zemtrafo::kBadInput;
  }
  if (!align321.points.empty()) align321.features = align321Features;
  if (!alignPlp.points.empty()) alignPlp.features = alignPlpFeatures;
  fit.json = fitCmd->count("--json") > 0;
  if (fit.json && fit.jsonFile.empty()) fit.jsonFile = "-";
  if (fitCmd->parsed()) {
    fit.reject = reject->count() > 0;
    if (!rejectAlpha.empty()) fit.alpha = std::stod(rejectAlpha);
    return zemtrafo::runFit(fit);
  }
  if (featuresCmd->parsed()) return zemtrafo::runFeatures(features);
  if (align321Cmd->parsed()) return zemtrafo::runAlign321(align321);
  if (alignPlpCmd->parsed()) return zemtrafo::runAlignPlp(alignPlp);
  if (applyCmd->parsed()) return zemtrafo::runApply(apply);
  if (showCmd->parsed()) return zemtrafo::runShow(showFile, showOrder);
  return zemtrafo::runReport(reportIn, reportOut);
}

}  // namespace
