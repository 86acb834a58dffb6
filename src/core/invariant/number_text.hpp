#pragma once
// Number texts for the human-readable limits and reasons of the behavioural checks. These texts
// are matched by hosts, so their shape is fixed: never an exponent, and NaN / inf / -inf for the
// non-finite values.
#include <string>

namespace ostrel::core {

// Shortest decimal that reads back to the same double, in positional notation, without a
// decimal point when the value is integral: 1000.0 -> "1000", 0.5 -> "0.5",
// 1e21 -> "1000000000000000000000", 1e-7 -> "0.0000001".
std::string plain_number_text(double value);

// Positional notation with exactly `decimals` digits after the point, rounded half to even on
// the exact binary value: (2.25, 1) -> "2.2", (100.0, 1) -> "100.0".
std::string fixed_number_text(double value, int decimals);

}  // namespace ostrel::core
