// SPDX-License-Identifier: MIT
// Little-endian 32-bit fields of an HwN payload as bytes, and the plain
// one-record payload that the tool's own calls send.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "sim.h"

namespace vibra_tool {

inline constexpr uint32_t kOnePayload = 48;  // a header and one record
inline constexpr uint32_t kStoredType = 2;   // the device's element type

// The field at `offset`, or 0 when the bytes end before it.
inline uint32_t u32_at(const std::vector<uint8_t> &bytes, size_t offset)
{
    uint32_t value = 0;
    if (offset + 4 <= bytes.size()) {
        std::memcpy(&value, bytes.data() + offset, sizeof value);
    }
    return value;
}

inline void put_u32(std::vector<uint8_t> &bytes, size_t offset, uint32_t value)
{
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

// Size 48, version 1, one record of the device's type asking for `state`.
inline std::vector<uint8_t> one_record(uint32_t state)
{
    std::vector<uint8_t> payload(kOnePayload, 0);
    put_u32(payload, 0, kOnePayload);
    put_u32(payload, 4, 1);
    put_u32(payload, 8, 1);
    put_u32(payload, 16, kStoredType);
    put_u32(payload, 44, state);
    return payload;
}

// A set-state of one_record(state), in a buffer of exactly its length so that
// a read past it is caught.
inline NTSTATUS set_state_to(vsim::Simulator &sim, vsim::DeviceId device, uint32_t state)
{
    std::vector<uint8_t> payload = one_record(state);
    ULONG written = 0;
    return sim.set_state(device, payload.data(), static_cast<ULONG>(payload.size()), &written);
}

}  // namespace vibra_tool
