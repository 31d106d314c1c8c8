// How fast the driver runs on the simulated platform, and what it keeps alive.
//
//   cmake --preset bench && cmake --build --preset bench && build/bench/bench/vibra_bench
#include <benchmark/benchmark.h>

#include <cstring>

#include "sim.h"

#include "device/device.h"
#include "hwn/request.h"
#include "vibration/vibration.h"

namespace {

constexpr uint64_t kEnableId = 0x00000001000000abULL;
constexpr uint64_t kDriveId = 0x00000001000000acULL;

struct Bench {
    vsim::Simulator sim;
    vsim::DeviceId id = -1;

    Bench()
    {
        sim.add_line(kEnableId, "enable");
        sim.add_line(kDriveId, "drive");
        sim.load_driver();
        sim.add_device(&id);
        const vsim::ResourceList lines = {vsim::gpio_io(kEnableId), vsim::gpio_io(kDriveId)};
        sim.initialize_device(id, lines, lines);
        sim.start_device(id);
        sim.run_until_idle();
    }

    NTSTATUS set_state(ULONG state, ULONG period = 0, ULONG duty = 0, ULONG cycles = 0)
    {
        HWN_HEADER payload = {};
        payload.HwNPayloadSize = sizeof payload;
        payload.HwNPayloadVersion = 1;
        payload.HwNRequests = 1;
        payload.HwNSettingsInfo[0].HwNType = 2;
        payload.HwNSettingsInfo[0].HwNSettings[HWN_SETTING_BLINK_PERIOD] = period;
        payload.HwNSettingsInfo[0].HwNSettings[HWN_SETTING_BLINK_DUTY] = duty;
        payload.HwNSettingsInfo[0].HwNSettings[HWN_SETTING_BLINK_CYCLES] = cycles;
        payload.HwNSettingsInfo[0].HwNSettings[HWN_SETTING_STATE] = state;
        ULONG written = 0;
        return sim.set_state(id, &payload, sizeof payload, &written);
    }
};

// One second of steady vibration: about 303 drive-line steps, each a timer run
// and a GPIO request. Reports simulated seconds per wall second.
void BM_SteadyVibrationSecond(benchmark::State &state)
{
    Bench bench;
    bench.set_state(HWN_STATE_ON);
    size_t steps = 0;
    for (auto _ : state) {
        const size_t before = bench.sim.writes().size();
        bench.sim.run_for(vsim::kTicksPerSecond);
        steps += bench.sim.writes().size() - before;
    }
    state.counters["steps/s"] = benchmark::Counter(static_cast<double>(steps), benchmark::Counter::kIsRate);
    state.counters["live_requests"] = static_cast<double>(bench.sim.live_objects(vsim::ObjectType::Request));
    state.counters["live_memory_objects"] = static_cast<double>(bench.sim.live_objects(vsim::ObjectType::Memory));
}
BENCHMARK(BM_SteadyVibrationSecond)->Unit(benchmark::kMillisecond);

// A whole 500 ms / 40 % / 3-cycle blink pattern, from the request to the last
// stop step.
void BM_BlinkPattern(benchmark::State &state)
{
    Bench bench;
    for (auto _ : state) {
        bench.set_state(HWN_STATE_BLINK, 500, 40, 3);
        bench.sim.run_until_idle();
        bench.set_state(HWN_STATE_OFF);
        bench.sim.run_until_idle();
    }
    state.counters["writes"] = static_cast<double>(bench.sim.writes().size());
}
BENCHMARK(BM_BlinkPattern)->Unit(benchmark::kMillisecond);

// The cost of the class extension's calls themselves.
void BM_SetStateOnOff(benchmark::State &state)
{
    Bench bench;
    for (auto _ : state) {
        bench.set_state(HWN_STATE_ON);
        bench.set_state(HWN_STATE_OFF);
        bench.sim.run_until_idle();
    }
}
BENCHMARK(BM_SetStateOnOff)->Unit(benchmark::kMicrosecond);

void BM_GetState(benchmark::State &state)
{
    Bench bench;
    HWN_HEADER output = {};
    ULONG read = 0;
    for (auto _ : state) {
        bench.sim.get_state(bench.id, &output, sizeof output, nullptr, 0, &read);
        benchmark::DoNotOptimize(output);
    }
}
BENCHMARK(BM_GetState);

// Load, add, initialise, start, stop, tear down, remove, unload.
void BM_DeviceLifecycle(benchmark::State &state)
{
    for (auto _ : state) {
        Bench bench;
        bench.sim.stop_device(bench.id);
        bench.sim.uninitialize_device(bench.id);
        bench.sim.remove_device(bench.id);
        bench.sim.unload_driver();
    }
}
BENCHMARK(BM_DeviceLifecycle)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
