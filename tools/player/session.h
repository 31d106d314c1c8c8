// SPDX-License-Identifier: MIT
// The player's session: one simulated board, one device, the scenario's calls
// made on it in order. player.cpp drives the session; calls.cpp makes the
// driver calls and checks their expectations.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "device/device.h"
#include "driver_view.h"
#include "measure/intervals.h"
#include "player/player.h"
#include "measure/summary.h"
#include "trace/trace.h"

namespace vibra_tool::session {

// Marks a byte count that the driver did not write.
inline constexpr ULONG kUntouched = 0xFFFFFFFF;

inline uint32_t read_u32(const uint8_t *bytes, size_t offset)
{
    uint32_t value = 0;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

// A buffer handed to the driver, allocated with exactly its stated length so
// that a read past it is caught by the address sanitizer.
struct ExactBuffer {
    explicit ExactBuffer(uint32_t length, const std::vector<uint8_t> &contents = {})
        : bytes(new uint8_t[length]), size(length)
    {
        std::memset(bytes.get(), 0, size);
        if (!contents.empty()) {
            std::memcpy(bytes.get(), contents.data(), std::min<size_t>(size, contents.size()));
        }
    }
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t size;
};

// The trace masks as they were, put back when the player goes.
struct SavedMasks {
    SavedMasks() { std::memcpy(masks, TraceLevelMask, sizeof masks); }
    ~SavedMasks() { std::memcpy(TraceLevelMask, masks, sizeof masks); }
    SavedMasks(const SavedMasks &) = delete;
    SavedMasks &operator=(const SavedMasks &) = delete;
    ULONG masks[TRACE_LEVEL_MASK_COUNT];
};

class Player {
public:
    Player(const Scenario &scenario, const PlayerOptions &options);
    Recording run();

private:
    static vsim::Options simulator_options(const PlayerOptions &options);
    static bool waits_for_calls(CommandKind kind);
    void spawn(const Command &command);
    Ticks now() const { return sim_.now() - base_; }
    void record_trace(const vsim::TraceLine &line);
    // On real threads the platform's threads report writes and changes while
    // this one samples the state: the streams take one at a time.
    std::unique_lock<std::mutex> stream_lock();
    void record_write(const vsim::GpioWrite &write);
    void record_change(const vsim::LineChange &change);
    // An armed fault taking effect, told to the fault command that armed it.
    void record_fault(const vsim::FaultTaken &taken);
    void arm(const Command &command);
    // Faults armed and not taken become warnings, with `why`.
    void drop_armed(const char *why);
    void advance_to(Ticks target);
    bool settle();
    void progress();
    bool interrupted() const;
    CallRecord &add_call(const Command *command, std::string text);
    // The implicit (or explicit) set-up: load, add, initialise.
    void set_up(const Command *command);
    PDEVICE_CONTEXT context() const;
    void sample_state();
    bool device_usable(const Command &command);
    void execute(const Command &command);
    void run_command(const Command &command);
    void lifecycle(const Command &command);
    void info(const Command &command);
    void set_state(const Command &command);
    // The driver may fold a blink pattern in the caller's record.
    static void note_rewrites(CallRecord &call, const std::vector<uint8_t> &before, const ExactBuffer &after);
    void get_state(const Command &command);
    static std::string to_hex(const std::vector<uint8_t> &bytes);
    void check(const Command &command);
    void check_interval(const Command &command, CallRecord &call);
    void remove(const Command &command);
    void unload(const Command &command);
    void check_status(const Command &command, CallRecord &call);
    void check_bytes(const Command &command, CallRecord &call);
    void expectation_failed(const Command &command, CallRecord &call, const std::string &expected,
                            const std::string &got, bool skipped = false);
    // A call that could not be made: each of its expectations fails as
    // skipped, with `why`.
    void skip_expectations(const Command &command, CallRecord &call, const std::string &why);
    // Records an expectation; one that did not hold is reported as failed.
    void expectation(const Command &command, CallRecord &call, bool held, const std::string &expected,
                     const std::string &got);
    void finish();

    const Scenario &scenario_;
    const PlayerOptions &options_;
    SavedMasks saved_masks_;  // restored once the simulator's threads have stopped
    Recording recording_;
    Summariser summariser_;
    IntervalMeter intervals_;  // the timing checks' windows, fed with the line changes
    std::mutex stream_mutex_;
    struct Armed {
        const Command *command;
        uint64_t taken;
    };
    std::vector<Armed> armed_;  // the fault commands played and not cleared
    bool finished_ = false;
    Ticks base_ = 0;
    vsim::DeviceId device_ = 0;
    bool setup_done_ = false;
    bool loaded_ = false;
    bool present_ = false;
    bool initialised_ = false;
    // Last: on real threads a callback may trace into the members above until
    // the simulator has stopped its threads.
    vsim::Simulator sim_;
};

}  // namespace vibra_tool::session
