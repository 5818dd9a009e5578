// PCG-64 (XSL-RR 128/64) generator, its seeding, uniform integer draws and
// the Fisher-Yates shuffle. Every random choice of the library comes from here.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tw {

using u128 = unsigned __int128;

class Rng {
public:
    // Builds the generator from a 32-byte seed block: bytes 0..15 are the
    // state, bytes 16..31 the increment (both little-endian, increment forced
    // odd); the state becomes state + increment and the generator steps once.
    static Rng from_seed_block(const std::array<std::uint8_t, 32>& block);

    std::uint64_t next_u64();
    std::uint32_t next_u32() { return static_cast<std::uint32_t>(next_u64()); }

    u128 state() const { return state_; }
    u128 increment() const { return inc_; }

private:
    u128 state_ = 0;
    u128 inc_ = 1;
};

// Seeds from a 64-bit value the way the reference generator library does,
// or from 32 bytes of operating-system entropy when `seed` is empty
// (throws InternalError "from_entropy failed: ..." when the OS fails).
Rng seed_rng(std::optional<std::uint64_t> seed);

// Uniform integer in [0, m), m >= 1: widening multiply with rejection.
std::uint64_t gen_range_u64(Rng& rng, std::uint64_t m);  // 64-bit form
std::uint32_t gen_range_u32(Rng& rng, std::uint32_t m);  // 32-bit form

// Fisher-Yates: for i = L-1 down to 1, j uniform below i+1 (32-bit form while
// i+1 < 2^32), swap(i, j).
void shuffle(Rng& rng, std::span<std::size_t> items);
void shuffle(Rng& rng, std::span<std::uint32_t> items);

}  // namespace tw
