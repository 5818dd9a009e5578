// Stable radix sorts of doubles by their bits (core/radix_sort.hpp).
#include "core/radix_sort.hpp"

#include <utility>

namespace tw {
namespace {

constexpr std::size_t kBits = 11, kDigits = 6, kRadix = std::size_t{1} << kBits;

template <bool kPayload>
void sort_keys(std::vector<std::uint64_t>& keys, std::vector<std::uint64_t>& other,
               std::vector<std::uint32_t>* payload, std::vector<std::uint32_t>* payload_other) {
    const std::size_t n = keys.size();
    if (n == 0) return;
    other.resize(n);
    if constexpr (kPayload) payload_other->resize(n);
    // Two tables a digit, for even and odd keys: runs of keys sharing a digit
    // (the exponent's) then do not wait on one counter's increments.
    std::vector<std::uint32_t> count(2 * kDigits * kRadix, 0);
    std::uint32_t* const even = count.data();
    std::uint32_t* const odd = count.data() + kDigits * kRadix;
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const std::uint64_t k = keys[i], l = keys[i + 1];
#pragma GCC unroll 6
        for (std::size_t d = 0; d < kDigits; ++d) {
            ++even[d * kRadix + ((k >> (kBits * d)) & (kRadix - 1))];
            ++odd[d * kRadix + ((l >> (kBits * d)) & (kRadix - 1))];
        }
    }
    if (i < n) {
        for (std::size_t d = 0; d < kDigits; ++d) {
            ++even[d * kRadix + ((keys[i] >> (kBits * d)) & (kRadix - 1))];
        }
    }
    for (std::size_t j = 0; j < kDigits * kRadix; ++j) even[j] += odd[j];
    std::uint64_t* from = keys.data();
    std::uint64_t* to = other.data();
    std::uint32_t* from_p = kPayload ? payload->data() : nullptr;
    std::uint32_t* to_p = kPayload ? payload_other->data() : nullptr;
    std::vector<std::uint32_t> start(kRadix);
    for (std::size_t d = 0; d < kDigits; ++d) {
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
