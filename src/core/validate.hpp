// Reading the inputs of fits and predictions: the checks every fit runs on
// x, y and sample_weight, the width check of prediction matrices, the class
// index of a target and the max_features rule.
//
// Width: the column count of a matrix. The columns a model reads are one
// past the largest feature index any of its splits tests; a prediction
// matrix narrower than that cannot be routed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/matrix.hpp"

namespace tw {

// Which feature values a fit refuses: the supervised fits refuse NaN and the
// infinities (only the infinities where missing values are allowed), the
// unsupervised fit only NaN.
enum class Refuse { non_finite, nan, infinite };

// First refused value of x (row by row), as the fit's message; nullopt when
// there is none.
std::optional<std::string> validate_features(const MatrixView& x,
                                             Refuse refuse = Refuse::non_finite);

// First non-finite value of x (row by row), then of y; nullopt when all finite.
std::optional<std::string> validate_finite(const MatrixView& x, Vec y,
                                           Refuse refuse = Refuse::non_finite);

// Length, then the first NaN / infinite / negative weight.
std::optional<std::string> validate_weights(Vec weights, std::size_t n_samples);

// The input checks of every supervised fit, in this order: finite x, finite
// y, y's length against x's rows, then the weight length and values. Throws
// ValueError with the first failure, before the caller changes anything;
// returns the weights to fit with (1.0 per row without sample_weight).
std::vector<double> checked_fit_inputs(const MatrixView& x, Vec y,
                                       const std::optional<Vec>& sample_weight,
                                       Refuse refuse = Refuse::non_finite);

// Throws ValueError when x is narrower than the `needed` columns a model
// reads. The message names the argument and what reads it, e.g. for "x" and
// "the fitted forest reads column":
//   "x has 2 columns, but the fitted forest reads column 4"
// followed by " (the model was fitted on N columns)" when fitted_columns is N.
void require_width(const MatrixView& x, std::uint64_t needed, std::string_view argument,
                   std::string_view reader,
                   std::optional<std::size_t> fitted_columns = std::nullopt);

// The categorical columns of a fit: empty (none), or one entry per column
// of x, 0 for a numeric column and k (1..256) for a column of category codes
// 0..k-1, a missing value being NaN (a column of 256 categories may hold
// none: its codes fill the 8-bit bins). Throws ValueError naming the first
// column or value that breaks this.
void check_categories(const MatrixView& x, const std::vector<std::uint16_t>& categories);

// Class index of a target: truncation toward zero, negatives and NaN give 0,
// values beyond the 64-bit range saturate.
std::uint64_t class_index(double y);

// The distinct class indices of y, ascending.
std::vector<std::uint64_t> distinct_classes(Vec y);

// Resolves the textual max_features setting against n_features columns.
std::uint64_t resolve_max_features(const std::optional<std::string>& setting,
                                   std::size_t n_features);

}  // namespace tw
