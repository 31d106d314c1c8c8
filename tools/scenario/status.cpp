// SPDX-License-Identifier: MIT
#include "scenario/status.h"

#include "scenario/catalogue.h"

#include <array>
#include <charconv>
#include <cstdio>

namespace vibra_tool {
namespace {

struct NamedStatus {
    uint32_t value;
    std::string_view name;
};

// The statuses that the driver, the framework and the simulated GPIO
// controller produce, and a few that scenarios commonly inject.
constexpr std::array kStatuses = {
    NamedStatus{0x00000000, "STATUS_SUCCESS"},
    NamedStatus{0x00000102, "STATUS_TIMEOUT"},
    NamedStatus{0x00000103, "STATUS_PENDING"},
    NamedStatus{0x80000005, "STATUS_BUFFER_OVERFLOW"},
    NamedStatus{0xC0000001, "STATUS_UNSUCCESSFUL"},
    NamedStatus{0xC0000002, "STATUS_NOT_IMPLEMENTED"},
    NamedStatus{0xC0000004, "STATUS_INFO_LENGTH_MISMATCH"},
    NamedStatus{0xC0000008, "STATUS_INVALID_HANDLE"},
    NamedStatus{0xC000000D, "STATUS_INVALID_PARAMETER"},
    NamedStatus{0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
    NamedStatus{0xC0000017, "STATUS_NO_MEMORY"},
    NamedStatus{0xC0000022, "STATUS_ACCESS_DENIED"},
    NamedStatus{0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
    NamedStatus{0xC0000033, "STATUS_OBJECT_NAME_INVALID"},
    NamedStatus{0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
    NamedStatus{0xC000003E, "STATUS_DATA_ERROR"},
    NamedStatus{0xC0000043, "STATUS_SHARING_VIOLATION"},
    NamedStatus{0xC0000056, "STATUS_DELETE_PENDING"},
    NamedStatus{0xC0000059, "STATUS_REVISION_MISMATCH"},
    NamedStatus{0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
    NamedStatus{0xC000009D, "STATUS_DEVICE_NOT_CONNECTED"},
    NamedStatus{0xC00000B5, "STATUS_IO_TIMEOUT"},
    NamedStatus{0xC00000BB, "STATUS_NOT_SUPPORTED"},
    NamedStatus{0xC0000120, "STATUS_CANCELLED"},
    NamedStatus{0xC0000184, "STATUS_INVALID_DEVICE_STATE"},
    NamedStatus{0xC0200212, "STATUS_WDF_PARENT_NOT_SPECIFIED"},
};

std::optional<int32_t> parse_number(std::string_view text)
{
    bool negative = false;
    if (!text.empty() && text.front() == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    if (negative ? value > 0x80000000ULL : value > 0xFFFFFFFFULL) {
        return std::nullopt;
    }
    const uint32_t bits = negative ? static_cast<uint32_t>(0 - value) : static_cast<uint32_t>(value);
    return static_cast<int32_t>(bits);
}

}  // namespace

std::string_view status_name(int32_t status)
{
    for (const NamedStatus &entry : kStatuses) {
        if (entry.value == static_cast<uint32_t>(status)) {
            return entry.name;
        }
    }
    return {};
}

std::string describe_status(int32_t status)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<uint32_t>(status));
    const std::string_view name = status_name(status);
    return name.empty() ? std::string(hex) : std::string(name) + " (" + hex + ")";
}

std::vector<std::string> status_names()
{
    std::vector<std::string> names;
    for (const NamedStatus &entry : kStatuses) {
        names.emplace_back(entry.name);
    }
    return names;
}

std::optional<int32_t> parse_status(std::string_view text)
{
    for (const NamedStatus &entry : kStatuses) {
        if (entry.name == text) {
            return static_cast<int32_t>(entry.value);
        }
    }
    return parse_number(text);
}

}  // namespace vibra_tool
