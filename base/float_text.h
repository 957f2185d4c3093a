#pragma once
// Shortest decimal text that reads back to the same value, without exponent,
// with ".0" after a whole number; "inf", "-inf" and "NaN" for the rest.
#include <string>

namespace base {

std::string shortest(float v);
std::string shortest(double v);

}  // namespace base
