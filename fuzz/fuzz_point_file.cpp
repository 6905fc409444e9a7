// Feeds arbitrary bytes to PointFile::parse. It must never crash; a parse
// that fails leaves no points and names a line within the text; one that
// succeeds gives finite coordinates and non-negative weights, and its
// shortest written form reads back to the same points, bit for bit, and
// its form with the file's own decimals to the same values.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "math_point_file.h"

namespace {

/// The same identifiers and coordinates: to the bit, or only of equal values
/// (a fixed form writes -0 as "0").
bool samePoints(const std::vector<Zem::BaPoint3d<double>>& a, const std::vector<Zem::BaPoint3d<double>>& b,
                bool bits = true) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [bits](const auto& p, const auto& q) {
    const bool same = bits ? std::memcmp(&p.x, &q.x, 3 * sizeof(double)) == 0 : p.x == q.x && p.y == q.y && p.z == q.z;
    return same && p.id == q.id;
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Zem::PointNames names;
  Zem::PointFile file;
  if (!file.parse(text, QStringLiteral("fuzz"), &names)) {
    const std::size_t lines = std::size_t(std::count(text.begin(), text.end(), '\n')) + 1;
    if (!file.getPoints().empty() || file.getError().isEmpty() || file.getErrorLine() > lines) std::abort();
    return 0;
  }
  for (const auto& p : file.getPoints()) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) std::abort();
    if (file.hasIdentifiers() == (p.id == -1)) std::abort();
  }
  for (const auto& w : file.getWeights())
    if (!(w.x >= 0.0 && w.y >= 0.0 && w.z >= 0.0)) std::abort();
  for (const auto& n : file.getNormals())
    if (!(std::fabs(n.length() - 1.0) <= 1e-15)) std::abort();
  Zem::PointFile again;
  if (!again.parse(file.format(file.getPoints(), names, &file.getNormals()), QStringLiteral("again"), &names) ||
      !samePoints(again.getPoints(), file.getPoints()) || !samePoints(again.getWeights(), file.getWeights()) ||
      again.getNormals().size() != file.getNormals().size())
    std::abort();
  for (std::size_t i = 0; i < file.getNormals().size(); ++i)
    if (!((again.getNormals()[i] - file.getNormals()[i]).length() <= 1e-15)) std::abort();
  // Written with the file's own number of decimals, the points read back too.
  Zem::PointFile fixed;
  if (!fixed.parse(file.format(file.getPoints(), names, &file.getNormals(), file.getDecimals()),
                   QStringLiteral("fixed"), &names) ||
      !samePoints(fixed.getPoints(), file.getPoints(), false))
    std::abort();
  return 0;
}
