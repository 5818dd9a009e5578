// Float layout for messages and strict float parsing.
#include "core/format.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <system_error>

namespace tw {

namespace {

// ASCII case-insensitive equality with an all-lowercase word.
bool ieq(std::string_view a, std::string_view lower) {
    if (a.size() != lower.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string format_number(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    std::string out;
    if (std::signbit(v)) {
        out.push_back('-');
        v = -v;
    }
    if (v == 0.0) {
        out.push_back('0');
        return out;
    }
    // Shortest round-trip form "d.ddde±xx"; lay its digits out positionally.
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
    const std::size_t epos = sci.find('e');
    std::string digits;
    for (std::size_t i = 0; i < epos; ++i) {
        if (sci[i] != '.') digits.push_back(sci[i]);
    }
    int exp10 = 0;
    std::from_chars(sci.data() + epos + (sci[epos + 1] == '+' ? 2 : 1), sci.data() + sci.size(),
                    exp10);
    const long k = static_cast<long>(digits.size());
    if (exp10 >= k - 1) {
        out += digits;
        out.append(static_cast<std::size_t>(exp10 - (k - 1)), '0');
    } else if (exp10 >= 0) {
        out.append(digits, 0, static_cast<std::size_t>(exp10 + 1));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(exp10 + 1));
    } else {
        out += "0.";
        out.append(static_cast<std::size_t>(-exp10 - 1), '0');
        out += digits;
    }
    return out;
}

std::optional<double> parse_float_strict(std::string_view text) {
    std::string_view s = text;
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (ieq(s, "inf") || ieq(s, "infinity")) {
        const double inf = std::numeric_limits<double>::infinity();
        return negative ? -inf : inf;
    }
    if (ieq(s, "nan")) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return negative ? -nan : nan;
    }
    // digits [ '.' digits ] [ (e|E) [sign] digits ], at least one mantissa digit.
    std::size_t i = 0;
    std::size_t int_digits = 0, frac_digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++int_digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && is_digit(s[i])) ++i, ++frac_digits;
    }
    if (int_digits + frac_digits == 0) return std::nullopt;
    const std::size_t mantissa_end = i;
    bool exp_negative = false;
    long long exp_value = 0;  // saturated, only used to classify out-of-range results
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
            exp_negative = s[i] == '-';
            ++i;
        }
        std::size_t exp_digits = 0;
        while (i < s.size() && is_digit(s[i])) {
            if (exp_value < 1000000000LL) exp_value = exp_value * 10 + (s[i] - '0');
            ++i, ++exp_digits;
        }
        if (exp_digits == 0) return std::nullopt;
    }
    if (i != s.size()) return std::nullopt;

    double value = 0.0;
    const auto res = std::from_chars(s.data(), s.data() + s.size(), value,
                                     std::chars_format::general);
    if (res.ec == std::errc::result_out_of_range) {
        // Too large or too small to represent: decide by the decimal magnitude
        // of the first significant digit.
        long long lead = 0;
        bool found = false;
        std::size_t pos = 0;
        long long place = static_cast<long long>(int_digits);
        for (; pos < mantissa_end; ++pos) {
            if (s[pos] == '.') continue;
            --place;
            if (s[pos] != '0') {
                lead = place;
                found = true;
                break;
            }
        }
        const long long magnitude = lead + (exp_negative ? -exp_value : exp_value);
        value = (found && magnitude > 0) ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (res.ec != std::errc() || res.ptr != s.data() + s.size()) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

}  // namespace tw
