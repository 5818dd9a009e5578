// PCG-64 (XSL-RR 128/64), 64-bit seeding through a PCG32 stream, widening
// multiply range draws with rejection and the Fisher-Yates shuffle.
#include "tree/rng.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tree/errors.hpp"

namespace tw {

namespace {

constexpr u128 kMultiplier =
    (static_cast<u128>(0x2360ed051fc65da4ULL) << 64) | static_cast<u128>(0x4385df649fccf645ULL);

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

std::uint64_t rotr64(std::uint64_t v, unsigned r) {
    r &= 63u;
    return r == 0 ? v : (v >> r) | (v << (64u - r));
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

std::uint64_t Rng::next_u64() {
    state_ = state_ * kMultiplier + inc_;
    const unsigned rot = static_cast<unsigned>(state_ >> 122);
    const std::uint64_t xsl =
        static_cast<std::uint64_t>(state_ >> 64) ^ static_cast<std::uint64_t>(state_);
    return rotr64(xsl, rot);
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

std::uint64_t gen_range_u64(Rng& rng, std::uint64_t m) {
    if (m == 0) throw InternalError("gen_range_u64: empty range");
    const std::uint64_t zone = (m << __builtin_clzll(m)) - 1;
    for (;;) {
        const u128 prod = static_cast<u128>(rng.next_u64()) * m;
        if (static_cast<std::uint64_t>(prod) <= zone) return static_cast<std::uint64_t>(prod >> 64);
    }
}

std::uint32_t gen_range_u32(Rng& rng, std::uint32_t m) {
    if (m == 0) throw InternalError("gen_range_u32: empty range");
    const std::uint32_t zone = (m << __builtin_clz(m)) - 1;
    for (;;) {
        const std::uint64_t prod = static_cast<std::uint64_t>(rng.next_u32()) * m;
        if (static_cast<std::uint32_t>(prod) <= zone) return static_cast<std::uint32_t>(prod >> 32);
    }
}

namespace {

// Index below `bound` as the shuffle draws it: the 32-bit form whenever the
// bound fits in 32 bits.
inline std::size_t shuffle_index(Rng& rng, std::size_t bound) {
    if (bound <= 0xFFFFFFFFull) return gen_range_u32(rng, static_cast<std::uint32_t>(bound));
    return static_cast<std::size_t>(gen_range_u64(rng, bound));
}

template <typename T>
void shuffle_impl(Rng& rng, std::span<T> items) {
    for (std::size_t i = items.size(); i-- > 1;) {
        const std::size_t j = shuffle_index(rng, i + 1);
        std::swap(items[i], items[j]);
    }
}

}  // namespace

void shuffle(Rng& rng, std::span<std::size_t> items) { shuffle_impl(rng, items); }
void shuffle(Rng& rng, std::span<std::uint32_t> items) { shuffle_impl(rng, items); }

}  // namespace tw
