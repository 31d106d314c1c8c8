// SPDX-License-Identifier: MIT
// Machine-readable results of a run of one or more scenarios: a JSON
// document and JUnit XML, as test runners and CI systems read them. Both are
// written once every scenario has been played. Their fields are described in
// docs/vibra-sim.md.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "player/recording.h"

namespace vibra_tool {

inline constexpr const char *kJsonSchema = "vibra-sim/1";

// One played scenario and the exit status it alone would have given.
struct ScenarioResult {
    Recording recording;
    int exit_status = 0;
    // A scenario refused before it played: why (its errors, one a line);
    // the recording then holds only its name.
    std::string parse_error;
    // False for a well-formed scenario left unplayed because another of the
    // run was refused.
    bool played = true;
};

// The exit status of several scenarios: the worst of theirs, where 2 (bad
// usage, an output not written) is worse than 3 (verifier findings), which
// is worse than 1 (an expectation failed), which is worse than 0.
int worst_exit_status(int a, int b);

void write_json(std::ostream &out, const std::vector<ScenarioResult> &results, const std::string &version);
void write_junit(std::ostream &out, const std::vector<ScenarioResult> &results);

// The JUnit class name of each scenario: "vibra-sim." and the file's stem,
// with the folders before it where two scenarios' stems are the same.
std::vector<std::string> junit_class_names(const std::vector<ScenarioResult> &results);

// Text quoted as a JSON string, with its quotes; bytes that are not UTF-8
// become U+FFFD.
std::string json_string(std::string_view text);
// Text as XML 1.0 character data, or as an attribute value (where line
// breaks and tabs are written as references, or they would read as spaces);
// characters XML cannot hold, and bytes that are not UTF-8, become U+FFFD.
std::string xml_text(std::string_view text, bool attribute = false);

// Helpers the writers share.
namespace results_detail {
// Calls each code point of `text`, with -1 for a byte that is not UTF-8 and
// the bytes of the (valid) sequence.
template <typename Visit> void for_each_code_point(std::string_view text, Visit visit);
// Ticks as microseconds, exactly: "3300", "0.5".
std::string microseconds(Ticks ticks);
LineSummaries line_summaries(const Recording &recording);
}  // namespace results_detail

template <typename Visit> void results_detail::for_each_code_point(std::string_view text, Visit visit)
{
    for (size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        size_t length = byte < 0x80 ? 1 : (byte >> 5) == 0x6 ? 2 : (byte >> 4) == 0xE ? 3 : (byte >> 3) == 0x1E ? 4 : 0;
        int32_t code = length == 1 ? byte : length == 2 ? byte & 0x1F : length == 3 ? byte & 0x0F : byte & 0x07;
        bool valid = length != 0 && at + length <= text.size();
        for (size_t i = 1; valid && i < length; ++i) {
            const auto next = static_cast<unsigned char>(text[at + i]);
            valid = (next >> 6) == 0x2;
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        static constexpr int32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        valid = valid && code >= kLeast[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        if (!valid) {
            visit(-1, text.substr(at, 1));
            ++at;
            continue;
        }
        visit(code, text.substr(at, length));
        at += length;
    }
}

}  // namespace vibra_tool
