// Stable radix sorts of doubles by their bits (core/radix_sort.hpp).
#include "core/radix_sort.hpp"

#include <utility>

namespace tw {
namespace {

constexpr std::size_t kBits = 11, kDigits = 6, kRadix = std::size_t{1} << kBits;

// Stable passes over digits [low, kDigits) of the keys (and payload), from
// the lowest; the result is left in keys (and payload).
template <bool kPayload>
void passes(std::vector<std::uint64_t>& keys, std::vector<std::uint64_t>& other,
            std::vector<std::uint32_t>* payload, std::vector<std::uint32_t>* payload_other,
            std::size_t low) {
    const std::size_t n = keys.size();
    // Two tables a digit, for even and odd keys: runs of keys sharing a digit
    // (the exponent's) then do not wait on one counter's increments.
    std::vector<std::uint32_t> count(2 * kDigits * kRadix, 0);
    std::uint32_t* const even = count.data();
    std::uint32_t* const odd = count.data() + kDigits * kRadix;
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const std::uint64_t k = keys[i], l = keys[i + 1];
#pragma GCC unroll 6
        for (std::size_t d = low; d < kDigits; ++d) {
            ++even[d * kRadix + ((k >> (kBits * d)) & (kRadix - 1))];
            ++odd[d * kRadix + ((l >> (kBits * d)) & (kRadix - 1))];
        }
    }
    if (i < n) {
        for (std::size_t d = low; d < kDigits; ++d) {
            ++even[d * kRadix + ((keys[i] >> (kBits * d)) & (kRadix - 1))];
        }
    }
    for (std::size_t j = low * kRadix; j < kDigits * kRadix; ++j) even[j] += odd[j];
    std::uint64_t* from = keys.data();
    std::uint64_t* to = other.data();
    std::uint32_t* from_p = kPayload ? payload->data() : nullptr;
    std::uint32_t* to_p = kPayload ? payload_other->data() : nullptr;
    std::vector<std::uint32_t> start(kRadix);
    for (std::size_t d = low; d < kDigits; ++d) {
        const std::uint32_t* c = count.data() + d * kRadix;
        const std::size_t shift = kBits * d;
        if (c[(from[0] >> shift) & (kRadix - 1)] == n) continue;
        std::uint32_t sum = 0;
        for (std::size_t b = 0; b < kRadix; ++b) {
            start[b] = sum;
            sum += c[b];
        }
        for (std::size_t j = 0; j < n; ++j) {
            const std::uint32_t at = start[(from[j] >> shift) & (kRadix - 1)]++;
            to[at] = from[j];
            if constexpr (kPayload) to_p[at] = from_p[j];
        }
        std::swap(from, to);
        if constexpr (kPayload) std::swap(from_p, to_p);
    }
    // An odd number of passes leaves the result in the scratch.
    if (from != keys.data()) {
        keys.swap(other);
        if constexpr (kPayload) payload->swap(*payload_other);
    }
}

// Keys in order of their high digits put in full order by insertion, which
// moves each key past the greater ones before it (only keys of its own high
// digits: the others are in order already). Stable. False, with the keys
// still a permutation of the input, once more than `budget` moves were
// needed (many keys share their high digits).
template <bool kPayload>
bool finish_by_insertion(std::uint64_t* keys, std::uint32_t* payload, std::size_t n,
                         std::size_t budget) {
    std::size_t moves = 0;
    for (std::size_t i = 1; i < n; ++i) {
        const std::uint64_t k = keys[i];
        if (keys[i - 1] <= k) continue;
        std::uint32_t p = 0;
        if constexpr (kPayload) p = payload[i];
        std::size_t j = i;
        for (; j > 0 && keys[j - 1] > k; --j) {
            keys[j] = keys[j - 1];
            if constexpr (kPayload) payload[j] = payload[j - 1];
        }
        keys[j] = k;
        if constexpr (kPayload) payload[j] = p;
        moves += i - j;
        if (moves > budget) return false;
    }
    return true;
}

// Digits below the high ones sorted by passes first: the high digits (the
// sign, the exponent and the leading 20 bits of the mantissa) part the
// values of most columns into groups of one or a few keys, which insertion
// then orders; a column whose keys crowd into few groups takes the low
// passes as well.
constexpr std::size_t kLowDigits = 3;
constexpr std::size_t kMovesPerKey = 4;

template <bool kPayload>
void sort_keys(std::vector<std::uint64_t>& keys, std::vector<std::uint64_t>& other,
               std::vector<std::uint32_t>* payload, std::vector<std::uint32_t>* payload_other) {
    const std::size_t n = keys.size();
    if (n == 0) return;
    other.resize(n);
    if constexpr (kPayload) payload_other->resize(n);
    passes<kPayload>(keys, other, payload, payload_other, kLowDigits);
    if (finish_by_insertion<kPayload>(keys.data(), kPayload ? payload->data() : nullptr, n,
                                      kMovesPerKey * n)) {
        return;
    }
    // Equal keys kept their order through the insertion, so the passes over
    // every digit give the stable order still.
    passes<kPayload>(keys, other, payload, payload_other, 0);
}

}  // namespace

void radix_sort_keys(std::vector<std::uint64_t>& keys, std::vector<std::uint64_t>& other,
                     std::vector<std::uint32_t>* payload,
                     std::vector<std::uint32_t>* payload_other) {
    if (payload != nullptr) {
        sort_keys<true>(keys, other, payload, payload_other);
    } else {
        sort_keys<false>(keys, other, nullptr, nullptr);
    }
}

void radix_sort_values(std::vector<double>& column, std::vector<std::uint64_t>& keys,
                       std::vector<std::uint64_t>& other) {
    const std::size_t n = column.size();
    keys.resize(n);
    for (std::size_t i = 0; i < n; ++i) keys[i] = order_key(column[i]);
    radix_sort_keys(keys, other);
    for (std::size_t i = 0; i < n; ++i) column[i] = from_order_key(keys[i]);
}

}  // namespace tw
