// SPDX-License-Identifier: MIT
// Shared fixture and helpers for tests that run the driver on the simulated
// platform.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim.h"

#include "device/device.h"
#include "driver_view.h"
#include "driver/driver.h"
#include "hwn/request.h"
#include "trace/trace.h"
#include "vibration/vibration.h"

namespace vtest {

using vsim::Ticks;
using vsim::ms;
using vsim::us;

// Connection identifiers of the two motor lines in the standard resource list.
inline constexpr uint64_t kEnableId = 0x00000001000000abULL;
inline constexpr uint64_t kDriveId = 0x00000001000000acULL;

// The masks as the driver ships them.
inline constexpr std::array<ULONG, TRACE_LEVEL_MASK_COUNT> kInitialMasks = {0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFE,
                                                                             0x00000000, 0x00000000};
void set_trace_masks(const std::array<ULONG, TRACE_LEVEL_MASK_COUNT> &masks);
void open_trace_masks();

// A buffer of exactly `size` bytes on the heap, so that the address sanitizer
// catches any access past it.
class Buffer {
public:
    explicit Buffer(size_t size, uint8_t fill = 0);
    uint8_t *data() { return bytes_.get(); }
    const uint8_t *data() const { return bytes_.get(); }
    size_t size() const { return size_; }
    ULONG length() const { return static_cast<ULONG>(size_); }
    PHWN_HEADER header() { return reinterpret_cast<PHWN_HEADER>(bytes_.get()); }
    uint32_t u32(size_t offset) const;
    void set_u32(size_t offset, uint32_t value);

private:
    std::unique_ptr<uint8_t[]> bytes_;
    size_t size_;
};

struct Record {
    ULONG id = 0;
    ULONG type = 2;
    std::array<ULONG, HWN_TOTAL_SETTINGS> settings = {};

    static Record state(ULONG state);  // settings 0 to 5 zero
    static Record blink(ULONG period_ms, ULONG duty_percent, ULONG cycles);
};

// A payload of header and records. payload_size defaults to 12 + 36 x records;
// requests defaults to the record count; length (the buffer's size) defaults
// to 12 + 36 x records.
struct PayloadShape {
    std::vector<Record> records;
    std::optional<ULONG> payload_size;
    ULONG version = 1;
    std::optional<ULONG> requests;
    std::optional<size_t> length;
};
Buffer payload(const PayloadShape &shape);
Buffer payload(const Record &record);  // one record, 48 bytes

// Fixture: a fresh simulator with the trace masks open; on tear-down the
// verifier must have found nothing and the masks are restored.
class SimTest : public ::testing::Test {
protected:
    SimTest();
    explicit SimTest(vsim::Options options);
    ~SimTest() override;
    void TearDown() override;

    // Loads the driver, adds one device with the given resource list (two GPIO
    // I/O connections by default), initialises it and clears the trace.
    vsim::DeviceId bring_up(const vsim::ResourceList &resources = standard_resources());
    static vsim::ResourceList standard_resources();
    PDEVICE_CONTEXT context(vsim::DeviceId id) const;

    // set-state with one record in a 48-byte buffer; returns the status.
    NTSTATUS set_state(vsim::DeviceId id, const Record &record);

    // Runs each call on a simulated thread of its own, all at this instant,
    // and lets them run until each has returned or waits.
    void run_together(const std::vector<std::function<void()>> &calls);

    std::vector<std::string> trace_texts() const;
    bool traced(std::string_view text) const;
    size_t trace_count(std::string_view text) const;

    // Successful writes of one line as (time, value).
    std::vector<std::pair<Ticks, int>> line_writes(std::string_view line) const;

    vsim::Simulator sim;
};

}  // namespace vtest
