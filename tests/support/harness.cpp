// SPDX-License-Identifier: MIT
#include "support/harness.h"

#include <algorithm>
#include <cstring>

namespace vtest {

void set_trace_masks(const std::array<ULONG, TRACE_LEVEL_MASK_COUNT> &masks)
{
    std::copy(masks.begin(), masks.end(), TraceLevelMask);
}

void open_trace_masks() { set_trace_masks({0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}); }

Buffer::Buffer(size_t size, uint8_t fill) : bytes_(new uint8_t[size == 0 ? 1 : size]), size_(size)
{
    std::memset(bytes_.get(), fill, size_);
}

uint32_t Buffer::u32(size_t offset) const
{
    uint32_t value = 0;
    std::memcpy(&value, bytes_.get() + offset, sizeof value);
    return value;
}

void Buffer::set_u32(size_t offset, uint32_t value) { std::memcpy(bytes_.get() + offset, &value, sizeof value); }

Record Record::state(ULONG state)
{
    Record record;
    record.settings[HWN_SETTING_STATE] = state;
    return record;
}

Record Record::blink(ULONG period_ms, ULONG duty_percent, ULONG cycles)
{
    Record record = state(HWN_STATE_BLINK);
    record.settings[HWN_SETTING_BLINK_PERIOD] = period_ms;
    record.settings[HWN_SETTING_BLINK_DUTY] = duty_percent;
    record.settings[HWN_SETTING_BLINK_CYCLES] = cycles;
    return record;
}

Buffer payload(const PayloadShape &shape)
{
    const size_t natural = HWN_HEADER_SIZE + sizeof(HWN_SETTINGS) * shape.records.size();
    Buffer buffer(shape.length.value_or(natural));
    uint8_t header[HWN_HEADER_SIZE];
    const uint32_t fields[3] = {shape.payload_size.value_or(static_cast<ULONG>(natural)), shape.version,
                                shape.requests.value_or(static_cast<ULONG>(shape.records.size()))};
    std::memcpy(header, fields, sizeof fields);
    std::memcpy(buffer.data(), header, std::min(buffer.size(), sizeof header));
    for (size_t i = 0; i < shape.records.size(); ++i) {
        HWN_SETTINGS record = {};
        record.HwNId = shape.records[i].id;
        record.HwNType = shape.records[i].type;
        std::copy(shape.records[i].settings.begin(), shape.records[i].settings.end(), record.HwNSettings);
        const size_t offset = HWN_HEADER_SIZE + sizeof(HWN_SETTINGS) * i;
        if (offset < buffer.size()) {
            std::memcpy(buffer.data() + offset, &record, std::min(sizeof record, buffer.size() - offset));
        }
    }
    return buffer;
}

Buffer payload(const Record &record)
{
    PayloadShape one;
    one.records = {record};
    return payload(one);
}

SimTest::SimTest() { open_trace_masks(); }

SimTest::SimTest(vsim::Options options) : sim(options) { open_trace_masks(); }

SimTest::~SimTest() { set_trace_masks(kInitialMasks); }

void SimTest::TearDown()
{
    // Requests still in flight are legitimate; any other live request was
    // never deleted, and with nothing in flight no lock may stay held either.
    const auto in_flight = std::count_if(sim.writes().begin(), sim.writes().end(),
                                         [](const vsim::GpioWrite &write) { return write.completed < 0; });
    if (in_flight == 0) {
        sim.check_quiescent();
    } else if (sim.live_objects(vsim::ObjectType::Request) > static_cast<size_t>(in_flight)) {
        ADD_FAILURE() << "a request that is not in flight was never deleted";
    }
    for (const std::string &failure : sim.verifier_failures()) {
        ADD_FAILURE() << "verifier: " << failure;
    }
}

vsim::ResourceList SimTest::standard_resources() { return {vsim::gpio_io(kEnableId), vsim::gpio_io(kDriveId)}; }

vsim::DeviceId SimTest::bring_up(const vsim::ResourceList &resources)
{
    sim.add_line(kEnableId, "enable");
    sim.add_line(kDriveId, "drive");
    EXPECT_EQ(sim.load_driver(), STATUS_SUCCESS);
    vsim::DeviceId id = -1;
    EXPECT_EQ(sim.add_device(&id), STATUS_SUCCESS);
    EXPECT_EQ(sim.initialize_device(id, resources, resources), STATUS_SUCCESS);
    sim.clear_trace();
    return id;
}

void SimTest::run_together(const std::vector<std::function<void()>> &calls)
{
    for (size_t i = 0; i < calls.size(); ++i) {
        sim.spawn_thread("call " + std::to_string(i), calls[i]);
    }
    sim.run_threads();
}

PDEVICE_CONTEXT SimTest::context(vsim::DeviceId id) const { return driver_view::context(sim, id); }

NTSTATUS SimTest::set_state(vsim::DeviceId id, const Record &record)
{
    Buffer buffer = payload(record);
    ULONG written = 0;
    return sim.set_state(id, buffer.data(), buffer.length(), &written);
}

std::vector<std::string> SimTest::trace_texts() const
{
    std::vector<std::string> texts;
    for (const vsim::TraceLine &line : sim.trace()) {
        texts.push_back(line.text);
    }
    return texts;
}

bool SimTest::traced(std::string_view text) const { return trace_count(text) > 0; }

size_t SimTest::trace_count(std::string_view text) const
{
    return static_cast<size_t>(std::count_if(sim.trace().begin(), sim.trace().end(),
                                             [&](const vsim::TraceLine &line) { return line.text == text; }));
}

std::vector<std::pair<Ticks, int>> SimTest::line_writes(std::string_view line) const
{
    std::vector<std::pair<Ticks, int>> result;
    for (const vsim::LineChange &change : sim.line_changes()) {
        if (change.line == line) {
            result.emplace_back(change.time, change.value);
        }
    }
    return result;
}

}  // namespace vtest
