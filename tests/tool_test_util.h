// Helpers of the tool's tests (test_zemtrafo*.cpp): zemtrafo run as a
// process in a temporary directory, and readers of its outputs that say
// what they did not find.
#ifndef ZEM_TOOL_TEST_UTIL_H
#define ZEM_TOOL_TEST_UTIL_H

#include <QDir>
#include <QTemporaryDir>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "test_util.h"

namespace Zem {
namespace test {

struct ToolRun {
  int status;  ///< the exit status, -1 when killed by a signal
  std::string out, err;
};

class ToolTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return dir_.filePath(QString::fromStdString(name)).toStdString(); }
  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(path(name), std::ios::binary) << text;
    return path(name);
  }
  /// Runs the tool with `args` in a shell, after the shell commands `before`.
  ToolRun run(const std::string& args, const std::string& before = "") const {
    const std::string out = path("stdout"), err = path("stderr");
    const int raw = std::system((before + std::string(ZEMTRAFO_EXE) + " " + args + " >" + out + " 2>" + err).c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, fileBytes(out), fileBytes(err)};
  }
  /// The directory's entries other than the captured stdout and stderr.
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const QString& name : QDir(dir_.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden))
      if (name != "stdout" && name != "stderr") names.push_back(name.toStdString());
    return names;
  }
  const std::string nominal_ = ZEM_EXAMPLE_DATA_DIR "/nominal_points.txt";
  const std::string measured_ = ZEM_EXAMPLE_DATA_DIR "/measured_points.txt";
  QTemporaryDir dir_;
};

inline ::testing::AssertionResult Contains(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << part << "\" not in:\n" << text;
}

inline std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

/// The `count` numbers that follow `key` in `text` (a JSON array, a line of
/// fields); fewer when they are not there.
inline std::vector<double> numbersAfter(const std::string& text, const std::string& key, int count) {
  std::vector<double> values;
  const std::size_t at = text.find(key);
  if (at == std::string::npos) return values;
  const char* p = text.c_str() + at + key.size();
  for (char* end = nullptr; int(values.size()) < count; p = end) {
    while (*p == ' ' || *p == '[' || *p == ',') ++p;
    values.push_back(std::strtod(p, &end));
    if (end == p) return {};
  }
  return values;
}

inline ::testing::AssertionResult Near(const std::vector<double>& values, const std::vector<double>& expected,
                                       double tol) {
  if (values.size() != expected.size()) return ::testing::AssertionFailure() << "found " << values.size() << " values";
  for (std::size_t i = 0; i < values.size(); ++i)
    if (!(std::fabs(values[i] - expected[i]) <= tol))
      return ::testing::AssertionFailure() << "value " << i << ": " << values[i] << " vs " << expected[i];
  return ::testing::AssertionSuccess();
}

}  // namespace test
}  // namespace Zem

#endif  // ZEM_TOOL_TEST_UTIL_H
