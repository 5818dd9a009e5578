// Error types of the engine. The Python boundary maps ValueError to Python's
// ValueError and every other std::exception to the internal-failure exception.
#pragma once
#include <stdexcept>
#include <string>

namespace tw {

// A failure the estimator detects itself (bad input values, not fitted, ...).
struct ValueError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A violated invariant or an operating-system failure.
struct InternalError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace tw
