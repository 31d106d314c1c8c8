// SPDX-License-Identifier: MIT
// How fast the driver runs on the simulated platform, and what it keeps alive.
//
//   cmake --preset bench && cmake --build --preset bench && build/bench/bench/vibra_bench
//
// On a busy machine wall and CPU times wander; instruction counts do not.
// valgrind --tool=callgrind --toggle-collect='*BM_IntensityStep*' counts one
// benchmark, set-up and calibration runs included: compare two builds by
// their counts at two --benchmark_min_time values (the difference over the
// difference in iterations is close to the count per iteration).
#include <benchmark/benchmark.h>

#include <cstring>

#include "sim.h"

#include "device/device.h"
#include "driver_view.h"
#include "hwn/request.h"
#include "trace/trace.h"
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

    PDEVICE_CONTEXT context() { return driver_view::context(sim, id); }
};

// One intensity step: 3.3 ms of virtual time while the motor runs steadily,
// that is one timer run, one drive-line request sent, completed and deleted.
constexpr vsim::Ticks kStepTicks = 33000;

// A trace line below the driver's level mask: the cost every entry/exit line
// pays in a normal run.
void BM_TraceFilteredOut(benchmark::State &state)
{
    Bench bench;
    for (auto _ : state) {
        QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "+QM38_205_PerformHardwareWrite\n");
    }
    benchmark::DoNotOptimize(bench.sim.trace().size());
}
BENCHMARK(BM_TraceFilteredOut);

// A trace line that passes the mask, formatted by the kernel's debug print and
// handed to a sink that drops it.
void BM_TracePrintedToNullSink(benchmark::State &state)
{
    Bench bench;
    size_t lines = 0;
    bench.sim.set_trace_sink([&](const vsim::TraceLine &) { ++lines; });
    uint32_t n = 0;
    for (auto _ : state) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_PerformHardwareWrite Error: WdfRequestSend failed %x\n", 0xC0000001u);
        if ((++n & 4095) == 0) {
            bench.sim.clear_trace();  // what is kept is another matter: measure the line alone
        }
    }
    state.counters["lines"] = static_cast<double>(lines);
}
BENCHMARK(BM_TracePrintedToNullSink);

// One drive-line write from the driver's entry point through the controller's
// completion and the completion routine's deletion of request and memory.
void BM_HardwareWriteRoundTrip(benchmark::State &state)
{
    Bench bench;
    const WDFIOTARGET drive = bench.context()->VibraIoTarget[VIBRA_DRIVE_LINE];
    BOOLEAN value = TRUE;
    for (auto _ : state) {
        QM38_205_PerformHardwareWrite(drive, value);
        bench.sim.run_until_idle();
        value = value ? FALSE : TRUE;
    }
    state.counters["live_requests"] = static_cast<double>(bench.sim.live_objects(vsim::ObjectType::Request));
    state.counters["failures"] = static_cast<double>(bench.sim.verifier_failures().size());
}
BENCHMARK(BM_HardwareWriteRoundTrip);

void BM_IntensityStep(benchmark::State &state)
{
    Bench bench;
    bench.set_state(HWN_STATE_ON);
    bench.sim.run_for(vsim::kTicksPerSecond);  // past the kick-start
    const size_t before = bench.sim.writes().size();
    for (auto _ : state) {
        bench.sim.run_for(kStepTicks);
    }
    state.counters["writes/step"] =
        static_cast<double>(bench.sim.writes().size() - before) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_IntensityStep);

void BM_DataValidate(benchmark::State &state)
{
    Bench bench;
    HWN_HEADER payload = {};
    payload.HwNPayloadSize = sizeof payload;
    payload.HwNPayloadVersion = 1;
    payload.HwNRequests = 1;
    payload.HwNSettingsInfo[0].HwNType = 2;
    payload.HwNSettingsInfo[0].HwNSettings[HWN_SETTING_STATE] = HWN_STATE_ON;
    const PDEVICE_CONTEXT context = bench.context();
    NTSTATUS status = STATUS_SUCCESS;
    for (auto _ : state) {
        benchmark::DoNotOptimize(payload);
        status = QM38_205_DataValidate(&payload, context);
        benchmark::DoNotOptimize(status);
    }
    state.counters["valid"] = NT_SUCCESS(status) ? 1 : 0;
}
BENCHMARK(BM_DataValidate);

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

// The cost of the class extension's calls themselves: on, off, and the stop
// sequence the off starts, run to its end.
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

// The two set-state calls alone, the off arriving before the first step.
void BM_SetStateCalls(benchmark::State &state)
{
    Bench bench;
    for (auto _ : state) {
        bench.set_state(HWN_STATE_ON);
        bench.set_state(HWN_STATE_OFF);
        state.PauseTiming();
        bench.sim.run_until_idle();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_SetStateCalls)->Unit(benchmark::kMicrosecond);

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
