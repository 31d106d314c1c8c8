// SPDX-License-Identifier: MIT
// The values of scenario arguments: numbers, hex bytes, statuses, levels and times.
#include "scenario/parse.h"

#include <cctype>
#include <charconv>
#include <cstring>

#include "scenario/catalogue.h"
#include "scenario/status.h"
#include "scenario/suggest.h"

namespace vibra_tool {

std::string quote(std::string_view word)
{
    constexpr size_t kShown = 40;
    if (word.size() <= kShown) {
        return "'" + std::string(word) + "'";
    }
    return "'" + std::string(word.substr(0, kShown)) + "...' (" + std::to_string(word.size()) + " characters)";
}

uint32_t parse_u32(std::string_view key, std::string_view text)
{
    int base = 10;
    std::string_view digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || error != std::errc{} || end != digits.data() + digits.size() || value > 0xFFFFFFFFULL) {
        fail("bad number " + quote(text) + " for " + std::string(key) +
             "=; expected a decimal or 0x-prefixed hex number from 0 to 4294967295");
    }
    return static_cast<uint32_t>(value);
}

std::vector<uint8_t> parse_hex(std::string_view key, std::string_view text)
{
    std::string digits;
    for (char c : text) {
        if (c == '_') {
            continue;  // grouping, for readability
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            fail("bad hex " + quote(text) + " for " + std::string(key) + "=: " + quote(std::string(1, c)) +
                 " is not a hex digit; expected pairs of hex digits, e.g. 30000000");
        }
        digits += c;
    }
    if (digits.size() / 2 > kMaxBufferLength) {
        fail(std::to_string(digits.size() / 2) + " bytes of hex for " + std::string(key) +
             "= is too many; expected at most " + std::to_string(kMaxBufferLength) + " bytes");
    }
    if (digits.size() % 2 != 0) {
        fail("bad hex " + quote(text) + " for " + std::string(key) + "=: " + std::to_string(digits.size()) +
             " digits; expected pairs of hex digits, one pair a byte");
    }
    const auto nibble = [](char c) {
        return static_cast<uint8_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);  // a checked hex digit
    };
    std::vector<uint8_t> bytes;
    bytes.reserve(digits.size() / 2);
    for (size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(nibble(digits[i]) << 4 | nibble(digits[i + 1])));
    }
    return bytes;
}

int32_t parse_status_arg(std::string_view key, std::string_view text)
{
    const std::optional<int32_t> status = parse_status(text);
    if (!status) {
        const std::vector<std::string> names = status_names();
        std::string hint = did_you_mean(text, names);
        if (hint == "; " && !text.starts_with("STATUS_")) {
            hint = did_you_mean("STATUS_" + std::string(text), names);
        }
        fail("bad status " + quote(text) + " for " + std::string(key) + "=" + hint +
             "expected a name such as STATUS_SUCCESS or a value such as 0xC000000D");
    }
    return *status;
}

int parse_level_value(std::string_view key, std::string_view text)
{
    if (text != "0" && text != "1") {
        fail("bad line level " + quote(text) + " for " + std::string(key) + "=; expected 0 or 1");
    }
    return text == "1" ? 1 : 0;
}

double parse_decimal(std::string_view key, std::string_view text, std::string_view unit, std::string_view expected)
{
    std::string_view number = text;
    if (!unit.empty() && number.ends_with(unit)) {
        number.remove_suffix(unit.size());
    }
    const size_t dot = number.find('.');
    const std::string_view whole = number.substr(0, dot);
    const std::string_view fraction = dot == std::string_view::npos ? std::string_view{} : number.substr(dot + 1);
    const auto digits_only = [](std::string_view s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (whole.empty() || whole.size() > 9 || fraction.size() > 9 || (dot != std::string_view::npos && fraction.empty()) ||
        !digits_only(whole) || !digits_only(fraction)) {
        fail("bad number " + quote(text) + " for " + std::string(key) + "=; expected " + std::string(expected));
    }
    return std::stod(std::string(number));
}

// "12ms", "3.3ms", "250us", "2s", "5min", "20h"; a whole number of 100 ns
// ticks.
Ticks parse_time(std::string_view text)
{
    const auto bad = [text] {
        return "bad time " + quote(text) + "; expected a number with a unit ms, us, s, min or h, e.g. 10ms";
    };
    Ticks unit = 0;
    std::string_view number = text;
    if (number.ends_with("min")) {
        unit = 60 * vsim::kTicksPerSecond;
        number.remove_suffix(3);
    } else if (number.ends_with("h")) {
        unit = 3600 * vsim::kTicksPerSecond;
        number.remove_suffix(1);
    } else if (number.ends_with("ms")) {
        unit = vsim::kTicksPerMs;
        number.remove_suffix(2);
    } else if (number.ends_with("us")) {
        unit = vsim::kTicksPerUs;
        number.remove_suffix(2);
    } else if (number.ends_with("s")) {
        unit = vsim::kTicksPerSecond;
        number.remove_suffix(1);
    } else {
        fail(bad());
    }
    const size_t dot = number.find('.');
    const std::string_view whole = number.substr(0, dot);
    std::string_view fraction = dot == std::string_view::npos ? std::string_view{} : number.substr(dot + 1);
    if (whole.empty() || (dot != std::string_view::npos && fraction.empty()) || whole.size() > 12 ||
        fraction.size() > 7) {
        fail(bad());
    }
    const auto digits_only = [](std::string_view s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!digits_only(whole) || !digits_only(fraction)) {
        fail(bad());
    }
    while (fraction.size() > 1 && fraction.back() == '0') {
        fraction.remove_suffix(1);
    }
    Ticks ticks = 0;
    if (__builtin_mul_overflow(std::stoll(std::string(whole)), unit, &ticks)) {
        fail("time " + quote(text) + " is out of range; expected at most " + format_time(kMaxTicks));
    }
    Ticks scale = unit;
    for (char c : fraction) {
        if (scale % 10 != 0) {
            fail("time " + quote(text) + " is finer than 0.1 us; expected at most one decimal in us");
        }
        scale /= 10;
        if (__builtin_add_overflow(ticks, (c - '0') * scale, &ticks)) {
            fail("time " + quote(text) + " is out of range; expected at most " + format_time(kMaxTicks));
        }
    }
    return ticks;
}

}  // namespace vibra_tool
