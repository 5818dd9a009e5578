// PCG-64 (XSL-RR 128/64) generator, its seeding, uniform integer draws and
// the Fisher-Yates shuffle. Every random choice of the library comes from here.
// A keyed shuffle draws from a counter stream mixed from a key instead of a
// generator, so that its order depends on the key alone.
//
// Range draw: a uniform integer below m from one 64-bit (or 32-bit) output by
// the widening multiply; the low half of the product must lie within the
// acceptance zone, else the output is rejected and the next one tried.
// Jump: k generator steps applied at once as one multiply-add of the state.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <algorithm>
#include <utility>

namespace tw {

using u128 = unsigned __int128;

// k steps of the generator map a state s to s * mul + inc * add, with
// mul = M^k and add = M^(k-1) + ... + M + 1.
struct RngJump {
    u128 mul;
    u128 add;
};

constexpr std::array<RngJump, 65> make_rng_jumps(u128 multiplier) {
    std::array<RngJump, 65> j{};
    j[0] = RngJump{1, 0};
    for (std::size_t k = 1; k < j.size(); ++k) {
        j[k] = RngJump{j[k - 1].mul * multiplier, j[k - 1].add * multiplier + 1};
    }
    return j;
}

class Rng {
public:
    // Builds the generator from a 32-byte seed block: bytes 0..15 are the
    // state, bytes 16..31 the increment (both little-endian, increment forced
    // odd); the state becomes state + increment and the generator steps once.
    static Rng from_seed_block(const std::array<std::uint8_t, 32>& block);

    std::uint64_t next_u64() {
        state_ = state_ * kMultiplier + inc_;
        return output(state_);
    }
    std::uint32_t next_u32() { return static_cast<std::uint32_t>(next_u64()); }

    // The next `count` outputs of next_u64, in order, leaving the generator
    // as `count` calls would. Two interleaved state chains that each jump two
    // steps halve the multiply latency per output.
    void fill_u64(std::uint64_t* out, std::size_t count) {
        if (count == 0) return;
        const u128 inc2 = inc_ * kMultiplier + inc_;
        u128 a = state_ * kMultiplier + inc_;  // state after output 0
        u128 b = a * kMultiplier + inc_;       // state after output 1
        for (std::size_t i = 0;; i += 2) {
            out[i] = output(a);
            if (i + 1 == count) {
                state_ = a;
                return;
            }
            out[i + 1] = output(b);
            if (i + 2 == count) {
                state_ = b;
                return;
            }
            a = a * kMultiplier2 + inc2;
            b = b * kMultiplier2 + inc2;
        }
    }

    // The generator `steps` outputs past `from` (a state of this generator),
    // for steps <= kMaxJump: one multiply-add instead of `steps` of them.
    static constexpr std::size_t kMaxJump = 64;
    void set_after(u128 from, std::size_t steps) {
        state_ = from * kJumps[steps].mul + inc_ * kJumps[steps].add;
    }

    u128 state() const { return state_; }
    u128 increment() const { return inc_; }
    // The generator with this state and increment (as state() and
    // increment() report them, for saved states); the increment must be odd.
    static Rng from_parts(u128 state, u128 increment) {
        Rng r;
        r.state_ = state;
        r.inc_ = increment | 1;
        return r;
    }

    static constexpr u128 kMultiplier = (static_cast<u128>(0x2360ed051fc65da4ULL) << 64) |
                                        static_cast<u128>(0x4385df649fccf645ULL);
    static constexpr u128 kMultiplier2 = kMultiplier * kMultiplier;
    static constexpr std::array<RngJump, 65> kJumps = make_rng_jumps(kMultiplier);

private:
    static std::uint64_t output(u128 state) {
        const unsigned rot = static_cast<unsigned>(state >> 122);
        const std::uint64_t xsl =
            static_cast<std::uint64_t>(state >> 64) ^ static_cast<std::uint64_t>(state);
        return rot == 0 ? xsl : (xsl >> rot) | (xsl << (64u - rot));
    }

    u128 state_ = 0;
    u128 inc_ = 1;
};

// Seeds from a 64-bit value (a 32-bit PCG step expands it into the 32-byte
// seed block), or from 32 bytes of operating-system entropy when `seed` is empty
// (throws InternalError "from_entropy failed: ..." when the OS fails).
Rng seed_rng(std::optional<std::uint64_t> seed);

[[noreturn]] void empty_range(const char* where);  // throws InternalError

// Acceptance zone of the range draw below m >= 1: the largest accepted low
// half of the product, in the 64-bit and the 32-bit form.
constexpr std::uint64_t range_zone_u64(std::uint64_t m) { return (m << __builtin_clzll(m)) - 1; }
constexpr std::uint32_t range_zone_u32(std::uint32_t m) { return (m << __builtin_clz(m)) - 1; }

// Uniform integer in [0, m), m >= 1: widening multiply with rejection.
// 64-bit form.
inline std::uint64_t gen_range_u64(Rng& rng, std::uint64_t m) {
    if (m == 0) empty_range("gen_range_u64");
    const std::uint64_t zone = range_zone_u64(m);
    for (;;) {
        const u128 prod = static_cast<u128>(rng.next_u64()) * m;
        if (static_cast<std::uint64_t>(prod) <= zone) return static_cast<std::uint64_t>(prod >> 64);
    }
}

// `count` successive gen_range_u64(rng, m) draws into out (64-bit words),
// leaving rng as those calls would. The outputs come kMaxJump at a time from
// the two-chain fill, and the rejected ones are dropped without a branch (a
// zone can turn away up to half the outputs, a branch no predictor learns);
// the outputs of the last block past the last draw are given back by
// jumping from the block's start to just after that draw's output.
template <class Out>
inline void fill_range_u64(Rng& rng, std::uint64_t m, Out* out, std::size_t count) {
    static_assert(sizeof(Out) >= sizeof(std::uint64_t));
    if (count == 0) return;
    if (m == 0) empty_range("gen_range_u64");
    const std::uint64_t zone = range_zone_u64(m);
    constexpr std::size_t kBlock = Rng::kMaxJump;
    std::uint64_t raw[kBlock];
    for (std::size_t done = 0; done < count;) {
        const u128 from = rng.state();
        rng.fill_u64(raw, kBlock);
        // The accepted draws move to the front of the block, in order (a
        // draw is written before the next output is read over it).
        std::size_t kept = 0;
        for (std::size_t i = 0; i < kBlock; ++i) {
            const u128 prod = static_cast<u128>(raw[i]) * m;
            raw[kept] = static_cast<std::uint64_t>(prod >> 64);
            kept += static_cast<std::uint64_t>(prod) <= zone ? 1 : 0;
        }
        const std::size_t take = std::min(kept, count - done);
        for (std::size_t i = 0; i < take; ++i) out[done + i] = static_cast<Out>(raw[i]);
        done += take;
        if (done == count) {
            // The generator stops after the output of the block's take-th
            // accepted draw (rejected outputs after it belong to the next
            // draw): the outputs are formed again from `from` to find it.
            Rng again = rng;
            again.set_after(from, 0);
            std::size_t used = 0;
            for (std::size_t accepted = 0; accepted < take; ++used) {
                const u128 prod = static_cast<u128>(again.next_u64()) * m;
                accepted += static_cast<std::uint64_t>(prod) <= zone ? 1 : 0;
            }
            rng.set_after(from, used);
        }
    }
}

// 32-bit form.
inline std::uint32_t gen_range_u32(Rng& rng, std::uint32_t m) {
    if (m == 0) empty_range("gen_range_u32");
    const std::uint32_t zone = range_zone_u32(m);
    for (;;) {
        const std::uint64_t prod = static_cast<std::uint64_t>(rng.next_u32()) * m;
        if (static_cast<std::uint32_t>(prod) <= zone) return static_cast<std::uint32_t>(prod >> 32);
    }
}

// Acceptance zones of the 32-bit range draw for m = 1..64, looked up by the
// short shuffles.
inline constexpr std::array<std::uint32_t, 65> kShuffleZone = [] {
    std::array<std::uint32_t, 65> z{};
    for (std::uint32_t m = 1; m < z.size(); ++m) z[m] = range_zone_u32(m);
    return z;
}();

// Fisher-Yates: for i = L-1 down to 1, j uniform below i+1 (32-bit form while
// i+1 < 2^32), swap(i, j).
template <typename T>
inline void shuffle_items(Rng& rng, std::span<T> items) {
    const std::size_t n = items.size();
    if (n >= 2 && n <= 64) {
        // Short lists (a node's features): outputs are drawn ahead in
        // batches and the attempts run without branches on their data. Each
        // attempt takes the next output; a rejected one only moves on, an
        // accepted one swaps and moves to the next i. The generator is
        // finally rewound to just after the last output taken.
        constexpr std::size_t kBatch = Rng::kMaxJump;
        std::uint64_t draws[kBatch];
        std::size_t have = 0;
        std::size_t used = 0;
        u128 start = rng.state();  // state before the current batch
        std::size_t i = n - 1;
        while (i >= 1) {
            if (used == have) {
                start = rng.state();
                have = std::min<std::size_t>(i + i / 2 + 4, kBatch);
                rng.fill_u64(draws, have);
                used = 0;
            }
            const auto m = static_cast<std::uint32_t>(i + 1);
            const std::uint32_t zone = kShuffleZone[m];
            const std::uint64_t prod =
                static_cast<std::uint64_t>(static_cast<std::uint32_t>(draws[used++])) * m;
            const bool accept = static_cast<std::uint32_t>(prod) <= zone;
            const std::size_t j = accept ? static_cast<std::size_t>(prod >> 32) : i;
            const T a = items[i];
            items[i] = items[j];
            items[j] = a;
            i -= accept ? 1 : 0;
        }
        rng.set_after(start, used);
        return;
    }
    for (std::size_t i = n; i-- > 1;) {
        const std::size_t j = i + 1 <= 0xFFFFFFFFull
                                  ? gen_range_u32(rng, static_cast<std::uint32_t>(i + 1))
                                  : static_cast<std::size_t>(gen_range_u64(rng, i + 1));
        std::swap(items[i], items[j]);
    }
}

// The first k steps of the Fisher-Yates shuffle: items[n-k..n-1] become a
// uniformly drawn k-subset in random order, with k draws instead of n - 1.
inline void choose_last(Rng& rng, std::span<std::uint32_t> items, std::size_t k) {
    const std::size_t n = items.size();
    for (std::size_t i = n; i-- > 1 && n - i <= k;) {
        std::swap(items[i], items[gen_range_u32(rng, static_cast<std::uint32_t>(i + 1))]);
    }
}

inline void shuffle(Rng& rng, std::span<std::size_t> items) { shuffle_items(rng, items); }
inline void shuffle(Rng& rng, std::span<std::uint32_t> items) { shuffle_items(rng, items); }

// The 64-bit finalising mix of a counter (bijective, every bit mixed).
inline std::uint64_t mix64(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Fisher-Yates shuffle of items driven by the mixed counter stream of key:
// cheap enough for every tree node. (A draw below m is the high half of
// r * m, off uniform by at most m / 2^64.) With steps, only its first steps
// are taken: items[n-steps..n-1] become a uniformly drawn subset in random
// order, as choose_last makes them.
inline void shuffle_by_key(std::span<std::uint32_t> items, std::uint64_t key,
                           std::size_t steps = ~std::size_t{0}) {
    const std::uint64_t z = mix64(key);
    const std::size_t n = items.size();
    const std::size_t total = n > 1 ? (steps < n - 1 ? steps : n - 1) : 0;
    // Step t swaps item n-1-t with the draw below n-t from counter t + 1.
    // The draws of a batch are made before its swaps, so that their mixes
    // do not wait on the swaps' loads and stores.
    constexpr std::size_t kBatch = 8;
    for (std::size_t t = 0; t < total; t += kBatch) {
        const std::size_t m = total - t < kBatch ? total - t : kBatch;
        std::size_t j[kBatch];
        for (std::size_t b = 0; b < m; ++b) {
            const std::uint64_t r = mix64(z + 0x9E3779B97F4A7C15ull * (t + b + 1));
            j[b] = static_cast<std::size_t>((static_cast<u128>(r) * (n - t - b)) >> 64);
        }
        for (std::size_t b = 0; b < m; ++b) std::swap(items[n - 1 - t - b], items[j[b]]);
    }
}

}  // namespace tw
