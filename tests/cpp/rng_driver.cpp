// Line-oriented driver for the generator: one command per input line, one
// output line per command. Used by tests/test_rng.py.
//
//   seed <u64> | seed none       make the current generator
//   block <64 hex digits>        make it from a raw 32-byte block
//   state                        "<state hex> <increment hex>"
//   u64 <k> / u32 <k>            k outputs
//   range64 <m> <k> / range32 <m> <k>   k draws below m, then "| <steps>"
//   shuffle <len>                shuffled 0..len-1, then "| <steps>"
#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "core/rng.hpp"

using tw::Rng;
using tw::u128;

namespace {

std::string hex128(u128 v) {
    static const char* digits = "0123456789abcdef";
    std::string s(32, '0');
    for (int i = 31; i >= 0; --i) {
        s[static_cast<std::size_t>(i)] = digits[static_cast<unsigned>(v & 15u)];
        v >>= 4;
    }
    return s;
}

// Steps taken between two snapshots of the same generator.
std::uint64_t steps_between(Rng before, const Rng& after) {
    std::uint64_t k = 0;
    while (before.state() != after.state() && k < 100000000) {
        before.next_u64();
        ++k;
    }
    return k;
}

}  // namespace

int main() {
    Rng rng = tw::seed_rng(0);
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        std::ostringstream out;
        if (cmd == "seed") {
            std::string arg;
            in >> arg;
            rng = arg == "none" ? tw::seed_rng(std::nullopt) : tw::seed_rng(std::stoull(arg));
            out << "ok";
        } else if (cmd == "block") {
            std::string hex;
            in >> hex;
            std::array<std::uint8_t, 32> block{};
            for (std::size_t i = 0; i < 32; ++i) {
                block[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
            }
            rng = Rng::from_seed_block(block);
            out << "ok";
        } else if (cmd == "state") {
            out << hex128(rng.state()) << ' ' << hex128(rng.increment());
        } else if (cmd == "u64" || cmd == "u32") {
            std::uint64_t k = 0;
            in >> k;
            for (std::uint64_t i = 0; i < k; ++i) {
                if (i) out << ' ';
                if (cmd == "u64") out << rng.next_u64();
                else out << rng.next_u32();
            }
        } else if (cmd == "range64" || cmd == "range32") {
            std::uint64_t m = 0, k = 0;
            in >> m >> k;
            const Rng before = rng;
            for (std::uint64_t i = 0; i < k; ++i) {
                if (cmd == "range64") out << tw::gen_range_u64(rng, m) << ' ';
                else out << tw::gen_range_u32(rng, static_cast<std::uint32_t>(m)) << ' ';
            }
            out << "| " << steps_between(before, rng);
        } else if (cmd == "rangefill64") {
            // The block form of range64: the same draws and steps.
            std::uint64_t m = 0, k = 0;
            in >> m >> k;
            const Rng before = rng;
            std::vector<std::uint64_t> draws(k);
            tw::fill_range_u64(rng, m, draws.data(), draws.size());
            for (const std::uint64_t v : draws) out << v << ' ';
            out << "| " << steps_between(before, rng);
        } else if (cmd == "shuffle") {
            std::size_t len = 0;
            in >> len;
            std::vector<std::size_t> items(len);
            for (std::size_t i = 0; i < len; ++i) items[i] = i;
            const Rng before = rng;
            tw::shuffle(rng, std::span<std::size_t>(items));
            for (const std::size_t v : items) out << v << ' ';
            out << "| " << steps_between(before, rng);
        } else {
            out << "error unknown command";
        }
        std::cout << out.str() << '\n';
    }
    return 0;
}
