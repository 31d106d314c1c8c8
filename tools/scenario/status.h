// SPDX-License-Identifier: MIT
// NTSTATUS values by name, both ways, for the report and for expectations.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vibra_tool {

// "STATUS_DATA_ERROR", or "" for a value without a name here.
std::string_view status_name(int32_t status);
// "STATUS_DATA_ERROR (0xC000003E)", or "0x12345678" without a name.
std::string describe_status(int32_t status);
// A status name, a 0x-prefixed hex value or a decimal value.
std::optional<int32_t> parse_status(std::string_view text);

}  // namespace vibra_tool
