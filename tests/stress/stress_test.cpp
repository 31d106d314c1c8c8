// SPDX-License-Identifier: MIT
// Several threads drive one device on real threads while its timers run, then
// the device is quiesced and its end state checked. The run is bounded by
// wall time (VIBRA_STRESS_SECONDS, 2 s by default) and asserts no timing.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "support/harness.h"
#include "support/sim_modes.h"

namespace vtest::stress {
namespace {

constexpr int kThreads = 4;
constexpr std::chrono::milliseconds kCycle{200};
constexpr std::chrono::milliseconds kStorm{40};

double stress_seconds()
{
    const char *text = std::getenv("VIBRA_STRESS_SECONDS");
    const double seconds = text ? std::atof(text) : 0;
    return seconds > 0 ? seconds : 2.0;
}

ULONG stored(PDEVICE_CONTEXT context, size_t index) { return driver_view::stored_record(*context).HwNSettings[index]; }

// What the threads did. The class extension makes one call at a time per
// device, so a set-state and its bookkeeping under one test lock see the
// order the driver saw.
struct Book {
    std::mutex lock;
    bool accepted = false;
    std::array<ULONG, HWN_TOTAL_SETTINGS> last{};  // the last accepted record, as the driver left it
    uint64_t calls = 0;
    uint64_t set_states = 0;
    std::vector<std::string> failures;
};

class Driver {
public:
    Driver(vsim::Simulator &sim, vsim::DeviceId id, Book &book, unsigned seed) : sim_(sim), id_(id), book_(book), rng_(seed)
    {
    }

    // Cycles of a storm, in which every thread calls with short gaps, and a
    // calm, in which each makes at most one call, so that the timers run on
    // their own too (steps, stop sequences, blink phases).
    void run(std::chrono::steady_clock::time_point begin, std::chrono::steady_clock::time_point end)
    {
        using std::chrono::microseconds;
        using std::chrono::milliseconds;
        const auto now = [] { return std::chrono::steady_clock::now(); };
        for (auto cycle = begin; cycle < end; cycle += kCycle) {
            while (now() < std::min(cycle + kStorm, end)) {
                step();
                std::this_thread::sleep_for(microseconds(pick(0, 1500)));
            }
            std::this_thread::sleep_until(cycle + kStorm + milliseconds(pick(0, 150)));
            if (pick(0, 2) == 0 && now() < end) {
                step();
            }
            std::this_thread::sleep_until(cycle + kCycle);
        }
    }

private:
    unsigned pick(unsigned low, unsigned high) { return std::uniform_int_distribution<unsigned>(low, high)(rng_); }

    void step()
    {
        const unsigned choice = pick(0, 9);
        NTSTATUS status;
        const char *what;
        if (choice < 3) {
            status = set_state(Record::state(HWN_STATE_ON)), what = "set-state on";
        } else if (choice < 5) {
            status = set_state(Record::state(HWN_STATE_OFF)), what = "set-state off";
        } else if (choice < 7) {
            // Short patterns, some with an on-phase too short to run.
            status = set_state(Record::blink(pick(40, 120), pick(30, 100), pick(1, 3))), what = "set-state blink";
        } else if (choice == 7) {
            Buffer output(HWN_HEADER_SIZE + sizeof(HWN_SETTINGS));
            ULONG read = 0;
            status = sim_.get_state(id_, output.data(), output.length(), nullptr, 0, &read), what = "get-state";
        } else if (choice == 8) {
            status = sim_.stop_device(id_), what = "device stop";
        } else {
            status = sim_.start_device(id_), what = "device start";
        }
        std::lock_guard guard(book_.lock);
        ++book_.calls;
        if (!NT_SUCCESS(status)) {
            book_.failures.push_back(std::string(what) + " failed with " + std::to_string(status));
        }
    }

    NTSTATUS set_state(const Record &record)
    {
        Buffer buffer = payload(record);
        ULONG written = 0;
        std::lock_guard guard(book_.lock);
        const NTSTATUS status = sim_.set_state(id_, buffer.data(), buffer.length(), &written);
        ++book_.set_states;
        if (NT_SUCCESS(status)) {
            book_.accepted = true;
            const size_t settings = HWN_HEADER_SIZE + offsetof(HWN_SETTINGS, HwNSettings);
            std::memcpy(book_.last.data(), buffer.data() + settings, sizeof book_.last);
        }
        return status;
    }

    vsim::Simulator &sim_;
    vsim::DeviceId id_;
    Book &book_;
    std::mt19937 rng_;
};

TEST(Stress, ThreadsDrivingOneDeviceLeaveItStoppedAndClean)
{
    vsim::Simulator sim(vibra_test::on_real_threads());
    sim.add_line(kEnableId, "enable");
    sim.add_line(kDriveId, "drive");
    ASSERT_EQ(sim.load_driver(), STATUS_SUCCESS);
    vsim::DeviceId id = 0;
    ASSERT_EQ(sim.add_device(&id), STATUS_SUCCESS);
    const vsim::ResourceList resources = {vsim::gpio_io(kEnableId), vsim::gpio_io(kDriveId)};
    ASSERT_EQ(sim.initialize_device(id, resources, resources), STATUS_SUCCESS);
    ASSERT_EQ(sim.start_device(id), STATUS_SUCCESS);
    PDEVICE_CONTEXT context = driver_view::context(sim, id);

    Book book;
    const double seconds = stress_seconds();
    const auto began = std::chrono::steady_clock::now();
    const auto end = began + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(seconds));
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] { Driver(sim, id, book, 1000u + unsigned(i)).run(began, end); });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }

    // Quiesce: a last device stop, its stop sequence, nothing left running.
    ASSERT_EQ(sim.stop_device(id), STATUS_SUCCESS);
    ASSERT_TRUE(sim.run_until_idle(10 * vsim::kTicksPerSecond)) << "still busy 10 s after the final stop";
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

    const auto intensity = sim.timer_info(context->IntensityTimer);
    const auto blink = sim.timer_info(context->BlinkTimer);
    ASSERT_TRUE(intensity && blink);
    std::printf("stress: %d threads, %llu class-extension calls (%llu set-state), %.2f s; %llu intensity steps, "
                "%llu blink phases, %zu line writes, %llu requests\n",
                kThreads, static_cast<unsigned long long>(book.calls), static_cast<unsigned long long>(book.set_states),
                elapsed, static_cast<unsigned long long>(intensity->fired),
                static_cast<unsigned long long>(blink->fired), sim.writes().size(),
                static_cast<unsigned long long>(sim.created_objects(vsim::ObjectType::Request)));

    EXPECT_TRUE(book.failures.empty()) << book.failures.front();
    EXPECT_GT(book.set_states, 0u);
    EXPECT_EQ(sim.level("enable"), 0) << "the motor is enabled after the final stop sequence";
    EXPECT_FALSE(intensity->pending);
    EXPECT_FALSE(blink->pending);
    EXPECT_EQ(sim.created_objects(vsim::ObjectType::Request), sim.deleted_objects(vsim::ObjectType::Request));
    EXPECT_EQ(sim.live_objects(vsim::ObjectType::Request), 0u);
    EXPECT_EQ(sim.outstanding_resolution_requests(), 0) << "timer resolution requests and releases do not balance";
    ASSERT_TRUE(book.accepted);
    EXPECT_EQ(stored(context, HWN_SETTING_STATE), book.last[HWN_SETTING_STATE]);
    for (size_t index = 0; index <= HWN_SETTING_BLINK_CYCLES; ++index) {
        EXPECT_EQ(stored(context, index), book.last[index]) << "setting " << index;
    }
    for (const std::string &failure : sim.check_quiescent()) {
        ADD_FAILURE() << "verifier: " << failure;
    }
}

}  // namespace
}  // namespace vtest::stress
