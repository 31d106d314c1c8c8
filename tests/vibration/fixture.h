// SPDX-License-Identifier: MIT
// Fixture for the vibration engine's tests: one initialised device with the
// lines "enable" and "drive", and helpers to read what the engine did.
#pragma once

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>
#include <vector>

#include "support/harness.h"

namespace vtest {

using Writes = std::vector<std::pair<Ticks, int>>;

inline Writes operator+(Writes head, const Writes &tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// Time of the nth 3.3 ms intensity step after a start at `from`.
constexpr Ticks step(int n, Ticks from = 0) { return from + us(3300) * n; }

// The drive line's writes of a start at `from` up to step `last`: the
// kick-start high, then odd steps low and even steps high.
inline Writes square_wave(int last, Ticks from = 0)
{
    Writes writes = {{from, 1}};
    for (int n = 1; n <= last; ++n) {
        writes.emplace_back(step(n, from), n % 2 == 0 ? 1 : 0);
    }
    return writes;
}

class VibrationTest : public SimTest {
protected:
    VibrationTest() = default;
    explicit VibrationTest(vsim::Options options) : SimTest(options) {}

    void SetUp() override { id = bring_up(); }

    PDEVICE_CONTEXT dev() const { return context(id); }
    PINTENSITY_TIMER_CONTEXT intensity() const { return GetIntensityTimerContext(dev()->IntensityTimer); }
    PBLINK_TIMER_CONTEXT blink() const { return GetBlinkTimerContext(dev()->BlinkTimer); }
    bool pending(WDFTIMER timer) const { return driver_view::timer_pending(sim, timer); }
    Ticks due(WDFTIMER timer) const { return sim.timer_info(timer)->due; }

    // Platform calls so far, the trace's own left out.
    size_t platform_calls() const
    {
        return sim.call_log().size() - static_cast<size_t>(sim.calls(vsim::Op::vDbgPrintEx));
    }

    // The engine's calls as a set-state makes them: the timer resolution is
    // settled once the call has returned.
    static NTSTATUS settled(NTSTATUS status)
    {
        QM38_205_SettleResolution();
        return status;
    }
    NTSTATUS start_drive() { return settled(QM38_205_StartVibration(dev())); }
    NTSTATUS stop_drive() { return settled(QM38_205_StopVibration(dev())); }
    NTSTATUS start_blink(PHWN_SETTINGS record) { return settled(QM38_205_StartBlink(record, dev())); }
    NTSTATUS stop_blink() { return settled(QM38_205_StopBlink(dev())); }

    Writes enable_writes() const { return line_writes("enable"); }
    Writes drive_writes() const { return line_writes("drive"); }

    // Virtual times at which a trace line with exactly this text was printed.
    std::vector<Ticks> times_of(std::string_view text) const
    {
        std::vector<Ticks> times;
        for (const vsim::TraceLine &line : sim.trace()) {
            if (line.text == text) {
                times.push_back(line.time);
            }
        }
        return times;
    }

    // Runs everything out, then checks that every write request was deleted,
    // no lock is held and the timer resolution was given back.
    void expect_settled()
    {
        EXPECT_TRUE(sim.run_until_idle()) << "the engine must come to rest";
        EXPECT_EQ(sim.created_objects(vsim::ObjectType::Request), sim.deleted_objects(vsim::ObjectType::Request))
            << "every write request is deleted exactly once";
        EXPECT_EQ(sim.live_objects(vsim::ObjectType::Memory), 0u) << "memory objects go with their requests";
        EXPECT_EQ(sim.outstanding_resolution_requests(), 0) << "each resolution request is released";
        EXPECT_TRUE(sim.check_quiescent().empty());
    }

    vsim::DeviceId id = -1;
};

// A settings record as request processing hands it over, in a buffer of
// exactly its size.
class BlinkRecord {
public:
    BlinkRecord(ULONG period_ms, ULONG duty, ULONG cycles, ULONG id = 0) : buffer_(sizeof(HWN_SETTINGS))
    {
        get()->HwNId = id;
        get()->HwNType = 2;
        get()->HwNSettings[HWN_SETTING_BLINK_PERIOD] = period_ms;
        get()->HwNSettings[HWN_SETTING_BLINK_DUTY] = duty;
        get()->HwNSettings[HWN_SETTING_BLINK_CYCLES] = cycles;
        get()->HwNSettings[HWN_SETTING_STATE] = HWN_STATE_BLINK;
    }
    PHWN_SETTINGS get() { return reinterpret_cast<PHWN_SETTINGS>(buffer_.data()); }
    // Period, duty cycle and cycle count as the record now holds them.
    std::array<ULONG, 3> pattern()
    {
        return {get()->HwNSettings[HWN_SETTING_BLINK_PERIOD], get()->HwNSettings[HWN_SETTING_BLINK_DUTY],
                get()->HwNSettings[HWN_SETTING_BLINK_CYCLES]};
    }

private:
    Buffer buffer_;
};

}  // namespace vtest
