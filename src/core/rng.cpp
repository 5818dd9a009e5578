// PCG-64 (XSL-RR 128/64) seeding: from a 64-bit value through a PCG32
// stream, or from operating-system entropy.
#include "core/rng.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "core/errors.hpp"

namespace tw {

namespace {

constexpr u128 kMultiplier = Rng::kMultiplier;

constexpr std::uint64_t kSeedMul = 6364136223846793005ULL;
constexpr std::uint64_t kSeedInc = 11634580027462260723ULL;

u128 read_le128(const std::uint8_t* p) {
    u128 v = 0;
    for (int i = 15; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

std::uint32_t rotr32(std::uint32_t v, unsigned r) {
    r &= 31u;
    return r == 0 ? v : (v >> r) | (v << (32u - r));
}

}  // namespace

Rng Rng::from_seed_block(const std::array<std::uint8_t, 32>& block) {
    Rng r;
    const u128 state = read_le128(block.data());
    r.inc_ = read_le128(block.data() + 16) | 1u;
    r.state_ = state + r.inc_;
    r.state_ = r.state_ * kMultiplier + r.inc_;
    return r;
}

Rng seed_rng(std::optional<std::uint64_t> seed) {
    std::array<std::uint8_t, 32> block{};
    if (seed) {
        std::uint64_t state = *seed;
        for (std::size_t chunk = 0; chunk < 8; ++chunk) {
            state = state * kSeedMul + kSeedInc;
            const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
            const std::uint32_t word = rotr32(xorshifted, static_cast<unsigned>(state >> 59));
            for (std::size_t b = 0; b < 4; ++b) {
                block[chunk * 4 + b] = static_cast<std::uint8_t>(word >> (8 * b));
            }
        }
    } else {
        std::size_t filled = 0;
        while (filled < block.size()) {
            const ssize_t got = getrandom(block.data() + filled, block.size() - filled, 0);
            if (got < 0) {
                if (errno == EINTR) continue;
                throw InternalError(std::string("from_entropy failed: ") + std::strerror(errno));
            }
            filled += static_cast<std::size_t>(got);
        }
    }
    return Rng::from_seed_block(block);
}

void empty_range(const char* where) { throw InternalError(std::string(where) + ": empty range"); }

}  // namespace tw
