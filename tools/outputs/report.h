// SPDX-License-Identifier: MIT
// The readable report on standard output: every call with its time, status
// and byte count, get-state payloads decoded field by field, and a summary of
// what each GPIO line did.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "player/recording.h"

namespace vibra_tool {

// "HwNPayloadSize=48 HwNPayloadVersion=1 HwNRequests=1", then one line a
// record; as far as the bytes go.
std::vector<std::string> decode_payload(const std::vector<uint8_t> &bytes);

void write_report(std::ostream &out, const Recording &recording);

}  // namespace vibra_tool
