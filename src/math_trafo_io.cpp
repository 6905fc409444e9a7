// The persisted last/global transformation pair: its ".trafo" stream and its
// text report.
#include "math_trafo_io.h"

#include <array>
#include <charconv>
#include <cstdio>

#include "zem_io.h"
#include "zem_token.h"

namespace Zem {

namespace {

constexpr unsigned kStreamVersion = 1;
constexpr unsigned kBlockId = 258;
constexpr unsigned kBlockVersion = 1;
constexpr const char* kSourceFile = "math_trafo_io";

// A null log is allowed: the result stays the same, only no entry is written.
void logEntry(ErrorLog* log, const QString& text) {
  if (log) *log << text << END_LOG;
}

void writeMatrix(IO::OutStream& out, const Transformation& t) {
  for (unsigned r = 0; r < 4; ++r)
    for (unsigned c = 0; c < 4; ++c) out.writeDouble(t.getMatrix(c, r));
}

Transformation readMatrix(IO::InStream& in) {
  double m[4][4];
  for (auto& row : m)
    for (double& value : row) in.readDouble(&value);
  return Transformation(m);
}

// One value line: the value in fixed notation with the unit's number of
// decimals, the unit name right after it.
void writeValueLine(FILE* file, const char* format, double internalValue, const UnitLinear* unit) {
  const QString text = QString::fromLatin1("%1").arg(unit->to(internalValue), 0, 'f',
                                                     TokenFormat::getDefaultPrecision(unit), QLatin1Char(' ')) +
                       unit->getName();
  std::fprintf(file, format, toExportCodec(text).constData());
}

// A number as the C library's "%e" prints it in the "C" locale (six digits
// after the point, at least two exponent digits), whatever the process's
// locale: a host's German locale must not turn the point into a comma.
std::array<char, 32> scientific(double value) {
  std::array<char, 32> text{};  // "-1.797693e+308" and "-nan" fit with room to spare
  std::to_chars(text.data(), text.data() + text.size() - 1, value, std::chars_format::scientific, 6);
  return text;
}

// One section of the report. Write errors are sticky in the C stream; the
// caller checks them once at the end.
void writeSection(FILE* file, const Transformation& t, const QString& title) {
  const UnitLinear* angleUnit = uAngle();
  const UnitLinear* lengthUnit = uLength();
  const BaVec3d<double> translation = t.getTranslation();  // as stored, not divided by m33
  const BaVec3d<double> angles = t.getAngles();            // Y acts first, then X, then Z
  const double scale = t.getScale();

  std::fprintf(file, "%s:\n\n", toExportCodec(title).constData());
  writeValueLine(file, "Rotation y-Axis: %s\n", angles.y, angleUnit);
  writeValueLine(file, "Rotation x-Axis: %s\n", angles.x, angleUnit);
  writeValueLine(file, "Rotation z-Axis: %s\n\n", angles.z, angleUnit);
  writeValueLine(file, "Translation x: %s\n", translation.x, lengthUnit);
  writeValueLine(file, "Translation y: %s\n", translation.y, lengthUnit);
  writeValueLine(file, "Translation z: %s\n\n", translation.z, lengthUnit);
  std::fprintf(file, "Scale: %s\n\n", scientific(scale).data());
  std::fprintf(file, "Matrix:\n");
  for (unsigned r = 0; r < 4; ++r) {
    for (unsigned c = 0; c < 4; ++c) std::fprintf(file, "%s ", scientific(t.getMatrix(c, r)).data());
    std::fprintf(file, "\n");
  }
}

}  // namespace

const char* const LastAndGlobalTransformation::FILE_TYPE = "LAST-GLOBAL-TRAFO";

LastAndGlobalTransformation::LastAndGlobalTransformation(const Transformation& last, bool lastValid,
                                                         const Transformation& global, bool globalValid)
    : Object(QStringLiteral("NoName")), last_(last), lastValid_(lastValid), global_(global),
      globalValid_(globalValid) {}

LastAndGlobalTransformation::~LastAndGlobalTransformation() = default;

LastAndGlobalTransformation::LastAndGlobalTransformation(const LastAndGlobalTransformation&)
    : Object(QStringLiteral("NoName")), lastValid_(false), globalValid_(false) {
  throw ProgError("Zem::LastAndGlobalTransformation::LastAndGlobalTransformation", kSourceFile, __LINE__,
                  "No copy constructor");
}

LastAndGlobalTransformation& LastAndGlobalTransformation::operator=(const LastAndGlobalTransformation&) {
  throw ProgError("Zem::LastAndGlobalTransformation::operator =", kSourceFile, __LINE__,
                  "Assignment is not allowed!");
}

const char* LastAndGlobalTransformation::getMagicKey() const { return FILE_TYPE; }

QString LastAndGlobalTransformation::getFileNameExtension() const { return QStringLiteral(".trafo"); }

bool LastAndGlobalTransformation::saveStream(std::ostream* out, ErrorLog* log, int, int) {
  try {
    IO::OutStream stream(out, QString::fromLatin1(FILE_TYPE), kStreamVersion);
    stream.beginBlock(kBlockId, kBlockVersion);
    stream.writeBool(lastValid_);
    writeMatrix(stream, last_);
    stream.writeBool(globalValid_);
    writeMatrix(stream, global_);
    stream.endBlock();
    stream.finish();  // report a failing end record here, not in the destructor
    return true;
  } catch (const IO::StreamException& e) {
    logEntry(log, e.getText());
    return false;
  }
}

bool LastAndGlobalTransformation::loadStream(std::istream* in, ErrorLog* log, int, int) {
  try {
    IO::InStream stream(in);
    if (!stream.isOfType(QString::fromLatin1(FILE_TYPE))) {
      logEntry(log, translate("TRANSFORMATION_err", "invalid file type"));
      return false;
    }
    if (stream.getVersion() != kStreamVersion) {
      logEntry(log, translate("TRANSFORMATION_err", "invalid file version") + QLatin1Char(' ') +
                        QString::number(stream.getVersion()));
      return false;
    }
    return loadStreamVersion1(in, log, &stream);
  } catch (const IO::StreamException& e) {
    logEntry(log, e.getText());
    return false;
  }
}

bool LastAndGlobalTransformation::loadStreamVersion1(std::istream*, ErrorLog* log, IO::InStream* stream) {
  try {
    stream->openBlock();
    if (stream->getBlockVersion() != kBlockVersion) {
      logEntry(log, translate("TRANSFORMATION_err", "invalid header block version"));
      return false;
    }
    // Everything goes into temporaries first: a stream that breaks off half
    // way must not leave a mixture of old and new values behind.
    bool lastValid = false;
    stream->readBool(&lastValid);
    const Transformation last = readMatrix(*stream);
    bool globalValid = false;
    stream->readBool(&globalValid);
    const Transformation global = readMatrix(*stream);
    // Later versions of block 258 may carry more; it is passed over.
    stream->skipBlock();
    // The record is this one block: anything after it, even a well-formed
    // further block, means a damaged or foreign file.
    if (!stream->isStreamEnd()) {
      logEntry(log, translate("TRANSFORMATION_err", "unexpected data after the transformation block"));
      return false;
    }

    lastValid_ = lastValid;
    last_ = last;
    globalValid_ = globalValid;
    global_ = global;
    return true;
  } catch (const IO::StreamException& e) {
    logEntry(log, e.getText());
    return false;
  }
}

bool LastAndGlobalTransformation::exportASCII(const QString& fileName, ErrorLog* log) const {
  FILE* file = OS::openFileStream(fileName, OS::OPEN_WRITE);
  if (!file) {
    logEntry(log, QStringLiteral("unable to open file: ") + fileName);
    return false;
  }
  writeSection(file, last_, QStringLiteral("Last transformation"));
  std::fprintf(file, "\n\n");
  writeSection(file, global_, QStringLiteral("Global transformation"));

  // A full disk shows only when the buffer goes out: check the flush and the
  // close, not just the stream's error flag.
  bool written = std::fflush(file) == 0 && !std::ferror(file);
  written = (std::fclose(file) == 0) && written;
  if (!written) {
    logEntry(log, QStringLiteral("unable to write file: ") + fileName);
    return false;
  }
  return true;
}

}  // namespace Zem
