// Feeds arbitrary bytes to LastAndGlobalTransformation::loadStream. It must
// never crash; a load that fails must leave the object exactly as it was,
// with one log entry, and a load that succeeds must survive a save/load
// round trip bit for bit.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "math_trafo_io.h"

namespace {

// The record's stream: equal bytes mean equal flags and bit-equal matrices.
std::string saved(Zem::LastAndGlobalTransformation& record) {
  std::ostringstream out;
  if (!record.saveStream(&out, nullptr, 0, 0)) std::abort();
  return out.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Zem::Transformation last(Zem::BaVec3d<double>(1, 2, 3), Zem::BaVec3d<double>(0.1, 0.2, 0.3), 1.5);
  const Zem::Transformation global = Zem::Transformation::identity();
  Zem::LastAndGlobalTransformation record(last, true, global, false);
  const std::string before = saved(record);

  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  Zem::ErrorLog log;
  if (!record.loadStream(&in, &log, 0, 0)) {
    if (saved(record) != before || log.getEntries().size() != 1) std::abort();
    return 0;
  }
  const std::string loaded = saved(record);
  Zem::LastAndGlobalTransformation again(global, false, last, true);
  std::istringstream back(loaded);
  if (!log.isEmpty() || !again.loadStream(&back, &log, 0, 0) || saved(again) != loaded) std::abort();
  return 0;
}
