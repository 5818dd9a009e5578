// Stable radix sorts of doubles by their bits.
//
// Terms:
//  order key   an unsigned 64-bit integer in the order of a double's value:
//              negatives have every bit flipped, the others just the sign
//              bit. It orders -0.0 below +0.0 and is meaningless for NaN, so
//              callers keep NaN out and fold -0.0 into +0.0 where the two
//              must compare equal.
//  pass        one stable distribution of the keys by an 11-bit digit, least
//              significant first; a pass in which every key has the same
//              digit is skipped.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tw {

// Both ways without a branch on the sign (signs of data are random): the
// mask is all ones for a negative value, else the sign bit.
inline std::uint64_t order_key(double v) {
    std::uint64_t k;
    std::memcpy(&k, &v, sizeof k);
    const auto sign = static_cast<std::uint64_t>(static_cast<std::int64_t>(k) >> 63);
    return k ^ (sign | std::uint64_t{1} << 63);
}

inline double from_order_key(std::uint64_t k) {
    const auto negative = static_cast<std::uint64_t>(static_cast<std::int64_t>(~k) >> 63);
    const std::uint64_t bits = k ^ (negative | std::uint64_t{1} << 63);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// Ascending sort of keys (keys.size() below 2^32); other is scratch of any
// size. With payload (of keys.size() entries, payload_other its scratch),
// each entry travels with its key, so equal keys keep their entries in the
// order they came: the order of a stable comparison sort.
void radix_sort_keys(std::vector<std::uint64_t>& keys, std::vector<std::uint64_t>& other,
                     std::vector<std::uint32_t>* payload = nullptr,
                     std::vector<std::uint32_t>* payload_other = nullptr);

// Ascending sort of a column without NaN or -0.0 (such values are equal
// exactly when their bits are, so the result is the sequence a comparison
// sort gives); keys and other are scratch.
void radix_sort_values(std::vector<double>& column, std::vector<std::uint64_t>& keys,
                       std::vector<std::uint64_t>& other);

}  // namespace tw
