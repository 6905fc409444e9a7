#include "zem_token.h"

#include "zem_base.h"

namespace Zem {

int TokenFormat::getDefaultPrecision(const Unit* unit) {
  return unit ? unit->getDecimals() : PLAIN_NUMBER_PRECISION;
}

}  // namespace Zem
