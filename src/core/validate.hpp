// Input checks shared by every fitting path, the max_features rule and the
// number formatting used in messages.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/matrix.hpp"

namespace tw {

// First non-finite value of x (row by row), then of y; nullopt when all finite.
std::optional<std::string> validate_finite(const MatrixView& x, Vec y);

// Length, then the first NaN / infinite / negative weight.
std::optional<std::string> validate_weights(Vec weights, std::size_t n_samples);

// Resolves the textual max_features setting against n_features columns.
std::uint64_t resolve_max_features(const std::optional<std::string>& setting,
                                   std::size_t n_features);

// Strict decimal float parse: optional sign, digits with optional point and
// exponent, or inf / infinity / nan in any case. No whitespace, no hex.
std::optional<double> parse_float_strict(std::string_view text);

// Shortest round-trip digits laid out without exponent; "NaN", "inf", "-inf";
// whole numbers without ".0" (-1.0 -> "-1", -0.0 -> "-0").
std::string format_number(double v);

// Class index of a target: truncation toward zero, negatives and NaN give 0,
// values beyond the 64-bit range saturate.
std::uint64_t class_index(double y);

}  // namespace tw
