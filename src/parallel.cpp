#include "parallel.h"

#include <cstdlib>

namespace Zem {
namespace parallel {

namespace {

unsigned decide() {
  if (const char* setting = std::getenv("ZEM_THREADS")) {
    char* end = nullptr;
    const long n = std::strtol(setting, &end, 10);
    if (end != setting && *end == '\0' && n >= 1 && n <= 64) return unsigned(n);
  }
  const unsigned hardware = std::thread::hardware_concurrency();  // 0 when unknown
  return std::max(1u, std::min(hardware, 8u));
}

}  // namespace

unsigned threadCount() {
  static const unsigned count = decide();
  return count;
}

}  // namespace parallel
}  // namespace Zem
