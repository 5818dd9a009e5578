// Numbers as text: the decimal layout of floats inside error messages and
// the strict float syntax accepted for textual settings such as
// max_features. "Shortest round-trip" digits are the fewest decimal digits
// that read back to the same double.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace tw {

// Shortest round-trip digits laid out without exponent; "NaN", "inf", "-inf";
// whole numbers without ".0" (-1.0 -> "-1", -0.0 -> "-0").
std::string format_number(double v);

// Strict decimal float parse: optional sign, digits with optional point and
// exponent, or inf / infinity / nan in any case. No whitespace, no hex.
// Magnitudes beyond the double range give an infinity, tiny ones zero.
std::optional<double> parse_float_strict(std::string_view text);

}  // namespace tw
