// Number formatting services: how many decimals a value is shown with.
#ifndef ZEM_TOKEN_H
#define ZEM_TOKEN_H

namespace Zem {

class Unit;

/// Formatting rules for numbers shown to the user.
class TokenFormat {
 public:
  /// Number of decimals a value in `unit` is shown with by default: the
  /// unit's own number of decimals (4 for mm and deg, 5 for in, 6 for rad).
  /// A null unit (a plain number) gets 6.
  static int getDefaultPrecision(const Unit* unit);

  /// Decimals used for a value without a unit.
  static constexpr int PLAIN_NUMBER_PRECISION = 6;
};

}  // namespace Zem

#endif  // ZEM_TOKEN_H
