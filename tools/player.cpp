#include "player.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "device/device.h"
#include "hwn/request.h"
#include "status.h"
#include "summary.h"
#include "trace/trace.h"
#include "trace_log.h"

namespace vibra_tool {
namespace {

// Marks a byte count that the driver did not write.
constexpr ULONG kUntouched = 0xFFFFFFFF;
constexpr Ticks kSlice = 100 * vsim::kTicksPerMs;

// The start time of the call that the current simulated thread runs, when it
// runs on a thread of its own (each simulated thread is an OS thread).
thread_local std::optional<Ticks> tls_started;

uint32_t read_u32(const uint8_t *bytes, size_t offset)
{
    uint32_t value = 0;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

bool is_setup_option(const Command &command)
{
    return command.time == 0 && (command.kind == CommandKind::TraceMask || command.kind == CommandKind::Fault ||
                                 command.kind == CommandKind::ClearFaults);
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
    Player(const Scenario &scenario, const PlayerOptions &options)
        : scenario_(scenario), options_(options), sim_(simulator_options(options))
    {
        recording_.scenario = scenario.name;
        sim_.add_line(kEnableConnectionId, kEnableLine);
        sim_.add_line(kDriveConnectionId, kDriveLine);
        base_ = sim_.now();
        sim_.set_trace_sink([this](const vsim::TraceLine &line) { record_trace(line); });
        sim_.set_write_sink([this](const vsim::GpioWrite &write) { record_write(write); });
        sim_.set_line_change_sink([this](const vsim::LineChange &change) { record_change(change); });
    }

    Recording run()
    {
        for (size_t i = 0; i < options_.masks.size(); ++i) {
            if (options_.masks[i]) {
                TraceLevelMask[i] = *options_.masks[i];
            }
        }
        bool ended = false;
        for (const Command &command : scenario_.commands) {
            if (!setup_done_ && !is_setup_option(command)) {
                set_up(command.kind == CommandKind::Setup ? &command : nullptr);
                if (command.kind == CommandKind::Setup) {
                    continue;
                }
            }
            advance_to(base_ + command.time);
            if (options_.before_command && initialised_ && present_) {
                options_.before_command(sim_, device_, recording_);
            }
            if (command.concurrent) {
                spawn(command);
                continue;
            }
            if (waits_for_calls(command.kind)) {
                sim_.run_threads();
            }
            execute(command);
            ended = command.kind == CommandKind::End;
        }
        if (!setup_done_) {
            set_up(nullptr);
        }
        sim_.run_threads();
        if (options_.before_command && initialised_ && present_) {
            options_.before_command(sim_, device_, recording_);
        }
        if (options_.after_commands && initialised_ && present_) {
            options_.after_commands(sim_, device_);
        }
        recording_.idle = ended ? sim_.pending_events() == 0 : settle();
        finish();
        return std::move(recording_);
    }

private:
    static vsim::Options simulator_options(const PlayerOptions &options)
    {
        vsim::Options result;
        result.gpio_latency = options.gpio_latency;
        result.schedule = options.schedule;
        result.keep_records = false;  // the player takes what it keeps from the sinks
        if (options.realtime) {
            result.threads = vsim::Threads::Real;
        }
        return result;
    }

    static bool waits_for_calls(CommandKind kind)
    {
        return kind == CommandKind::Teardown || kind == CommandKind::Remove || kind == CommandKind::Unload ||
               kind == CommandKind::End;
    }

    void spawn(const Command &command)
    {
        const Ticks started = now();
        sim_.spawn_thread(command.text + " (line " + std::to_string(command.line) + ")", [this, &command, started] {
            tls_started = started;
            execute(command);
            tls_started.reset();
        });
    }

    Ticks now() const { return sim_.now() - base_; }

    void record_trace(const vsim::TraceLine &line)
    {
        ++recording_.trace_lines;
        if (!options_.on_trace && !options_.keep_records) {
            return;
        }
        const TraceShape shape = trace_shape(line.format);
        TraceRecord record{line.time - base_, shape.level, shape.flags, line.text};
        if (options_.on_trace) {
            options_.on_trace(record);
        }
        if (options_.keep_records) {
            recording_.trace.push_back(std::move(record));
        }
    }

    // On real threads the platform's threads report writes and changes while
    // this one samples the state: the streams take one at a time.
    std::unique_lock<std::mutex> stream_lock()
    {
        return options_.realtime ? std::unique_lock<std::mutex>(stream_mutex_) : std::unique_lock<std::mutex>();
    }

    void record_write(const vsim::GpioWrite &write)
    {
        if (!options_.on_write && !options_.keep_records) {
            return;
        }
        WriteRecord record{write.sent - base_, write.completed - base_, write.line, write.value, write.status};
        const auto lock = stream_lock();
        if (finished_) {
            return;  // the simulator going away abandons what is in flight
        }
        if (options_.on_write) {
            options_.on_write(record);
        }
        if (options_.keep_records) {
            recording_.writes.push_back(std::move(record));
        }
    }

    void record_change(const vsim::LineChange &change)
    {
        LevelChange record{change.time - base_, change.line, change.value};
        const auto lock = stream_lock();
        if (finished_) {
            return;
        }
        summariser_.change(record);
        if (options_.on_change) {
            options_.on_change(record);
        }
        if (options_.keep_records) {
            recording_.changes.push_back(std::move(record));
        }
    }

    void advance_to(Ticks target)
    {
        while (sim_.now() < target) {
            sim_.run_until(std::min(target, sim_.now() + kSlice));
            progress();
        }
    }

    bool settle()
    {
        const Ticks deadline = sim_.now() + options_.settle;
        while (sim_.pending_events() != 0 && sim_.now() < deadline) {
            sim_.run_until_idle(std::min(kSlice, deadline - sim_.now()));
            progress();
        }
        return sim_.pending_events() == 0;
    }

    void progress()
    {
        if (options_.realtime && options_.on_progress) {
            options_.on_progress(now());
        }
    }

    CallRecord &add_call(const Command *command, std::string text)
    {
        CallRecord call;
        call.time = tls_started.value_or(now());
        call.returned = now();
        call.line = command ? command->line : 0;
        call.text = std::move(text);
        if (tls_started) {
            call.text = "& " + call.text;
            call.notes.push_back("on a thread of its own; returned at " + format_time(now()));
        }
        recording_.calls.push_back(std::move(call));
        return recording_.calls.back();
    }

    // The implicit (or explicit) set-up: load, add, initialise.
    void set_up(const Command *command)
    {
        setup_done_ = true;
        NTSTATUS status = sim_.load_driver();
        add_call(command, "load driver").status = status;
        loaded_ = NT_SUCCESS(status);
        if (loaded_) {
            status = sim_.add_device(&device_);
            add_call(command, "add device").status = status;
            present_ = NT_SUCCESS(status);
        }
        if (present_) {
            const vsim::ResourceList resources = {vsim::gpio_io(kEnableConnectionId), vsim::gpio_io(kDriveConnectionId)};
            status = sim_.initialize_device(device_, resources, resources);
            CallRecord &call = add_call(command, "initialize device");
            call.status = status;
            call.notes.push_back("resources: GPIO I/O connections enable 0x00000001000000ab, drive 0x00000001000000ac");
            initialised_ = NT_SUCCESS(status);
        }
        recording_.setup_ok = initialised_;
        if (initialised_ && options_.after_setup) {
            options_.after_setup(sim_, device_);
        }
        if (command) {
            check_status(*command, recording_.calls.back());
        }
        sample_state();
    }

    PDEVICE_CONTEXT context() const
    {
        return initialised_ && present_ ? static_cast<PDEVICE_CONTEXT>(sim_.client_context(device_)) : nullptr;
    }

    void sample_state()
    {
        if (PDEVICE_CONTEXT device = context()) {
            const StateSample sample{now(), device->ClientInformation.HwNSettingsInfo[0].HwNSettings[HWN_SETTING_STATE]};
            const auto lock = stream_lock();
            recording_.states.push_back(sample);
            if (options_.on_state) {
                options_.on_state(sample);
            }
        }
    }

    bool device_usable(const Command &command)
    {
        if (initialised_ && present_) {
            return true;
        }
        const char *why = !loaded_ ? "the driver is not loaded" : !present_ ? "there is no device"
                                                                             : "the device was not initialised";
        add_call(&command, command.text).notes.push_back(std::string("skipped: ") + why);
        return false;
    }

    void execute(const Command &command)
    {
        switch (command.kind) {
        case CommandKind::Start:
        case CommandKind::Stop:
        case CommandKind::Teardown:
            if (device_usable(command)) {
                lifecycle(command);
            }
            break;
        case CommandKind::Info:
            if (device_usable(command)) {
                info(command);
            }
            break;
        case CommandKind::SetState:
            if (device_usable(command)) {
                set_state(command);
            }
            break;
        case CommandKind::GetState:
            if (device_usable(command)) {
                get_state(command);
            }
            break;
        case CommandKind::Check:
            check(command);
            break;
        case CommandKind::Remove:
            remove(command);
            break;
        case CommandKind::Unload:
            unload(command);
            break;
        case CommandKind::TraceMask:
            for (const auto &[level, mask] : command.masks) {
                TraceLevelMask[level - 1] = mask;
            }
            add_call(&command, command.text);
            break;
        case CommandKind::Fault:
            sim_.inject(command.op, command.status, command.nth);
            add_call(&command, command.text)
                .notes.push_back(std::string("armed: ") + vsim::op_name(command.op) + " fails with " +
                                 describe_status(command.status) +
                                 (command.nth == 0 ? " on every call"
                                                   : " on call " + std::to_string(command.nth) + " from now"));
            break;
        case CommandKind::ClearFaults:
            sim_.clear_faults();
            add_call(&command, command.text);
            break;
        case CommandKind::Setup:
        case CommandKind::Wait:
        case CommandKind::End:
            add_call(&command, command.text);
            break;
        }
    }

    void lifecycle(const Command &command)
    {
        NTSTATUS status = STATUS_SUCCESS;
        if (command.kind == CommandKind::Start) {
            status = sim_.start_device(device_);
        } else if (command.kind == CommandKind::Stop) {
            status = sim_.stop_device(device_);
        } else {
            status = sim_.uninitialize_device(device_);
        }
        CallRecord &call = add_call(&command, command.text);
        call.status = status;
        check_status(command, call);
        sample_state();
    }

    void info(const Command &command)
    {
        HWN_DEVICE_INFORMATION information = {};
        const NTSTATUS status = sim_.query_device_information(device_, &information);
        CallRecord &call = add_call(&command, command.text);
        call.status = status;
        if (NT_SUCCESS(status)) {
            call.notes.push_back("Version=" + std::to_string(information.Version) +
                                 " Size=" + std::to_string(information.Size) +
                                 " HwNCount=" + std::to_string(information.HwNCount));
        }
        check_status(command, call);
    }

    void set_state(const Command &command)
    {
        ExactBuffer buffer(command.length, command.payload);
        const std::vector<uint8_t> before(buffer.bytes.get(), buffer.bytes.get() + buffer.size);
        ULONG written = kUntouched;
        const NTSTATUS status = sim_.set_state(device_, buffer.bytes.get(), buffer.size, &written);
        CallRecord &call = add_call(&command, command.text);
        call.status = status;
        call.bytes_label = "written";
        if (written != kUntouched) {
            call.bytes = written;
        }
        note_rewrites(call, before, buffer);
        check_status(command, call);
        check_bytes(command, call);
        sample_state();
    }

    // The driver may fold a blink pattern in the caller's record.
    static void note_rewrites(CallRecord &call, const std::vector<uint8_t> &before, const ExactBuffer &after)
    {
        for (size_t offset = 0; offset + 4 <= after.size; offset += 4) {
            const uint32_t old_value = read_u32(before.data(), offset);
            const uint32_t new_value = read_u32(after.bytes.get(), offset);
            if (old_value != new_value) {
                call.notes.push_back("the driver rewrote payload offset " + std::to_string(offset) + ": " +
                                     std::to_string(old_value) + " -> " + std::to_string(new_value));
            }
        }
    }

    void get_state(const Command &command)
    {
        const std::vector<uint8_t> input = command.input.value_or(std::vector<uint8_t>{});
        ExactBuffer output(command.same_buffer ? std::max(command.input_length, command.output_length)
                                               : command.output_length,
                           command.same_buffer ? input : std::vector<uint8_t>{});
        std::optional<ExactBuffer> separate;
        if (command.input && !command.same_buffer) {
            separate.emplace(command.input_length, input);
        }
        void *input_buffer = command.same_buffer ? output.bytes.get() : separate ? separate->bytes.get() : nullptr;
        ULONG read = kUntouched;
        const NTSTATUS status = sim_.get_state(device_, output.bytes.get(), command.output_length, input_buffer,
                                               command.input ? command.input_length : 0, &read);
        CallRecord &call = add_call(&command, command.text);
        call.status = status;
        call.bytes_label = "read";
        if (read != kUntouched) {
            call.bytes = read;
            call.output.assign(output.bytes.get(), output.bytes.get() + std::min<uint32_t>(read, output.size));
        }
        check_status(command, call);
        check_bytes(command, call);
        if (command.expect_output) {
            const std::vector<uint8_t> &expected = *command.expect_output;
            const size_t compared = std::min<size_t>(expected.size(), output.size);
            if (compared != expected.size() || !std::equal(expected.begin(), expected.end(), output.bytes.get())) {
                expectation_failed(command, call, "output " + to_hex(expected),
                                   to_hex(std::vector<uint8_t>(output.bytes.get(), output.bytes.get() + compared)));
            }
        }
    }

    static std::string to_hex(const std::vector<uint8_t> &bytes)
    {
        std::string text;
        char pair[4];
        for (uint8_t byte : bytes) {
            std::snprintf(pair, sizeof pair, "%02x", byte);
            text += pair;
        }
        return text;
    }

    void check(const Command &command)
    {
        CallRecord &call = add_call(&command, command.text);
        if (command.enable && sim_.level(kEnableLine) != *command.enable) {
            expectation_failed(command, call, "enable=" + std::to_string(*command.enable),
                               "enable=" + std::to_string(sim_.level(kEnableLine)));
        }
        if (command.drive && sim_.level(kDriveLine) != *command.drive) {
            expectation_failed(command, call, "drive=" + std::to_string(*command.drive),
                               "drive=" + std::to_string(sim_.level(kDriveLine)));
        }
        if (command.state) {
            PDEVICE_CONTEXT device = context();
            if (!device) {
                expectation_failed(command, call, "state=" + std::to_string(*command.state), "no initialised device");
            } else if (const uint32_t state = device->ClientInformation.HwNSettingsInfo[0].HwNSettings[HWN_SETTING_STATE];
                       state != *command.state) {
                expectation_failed(command, call, "state=" + std::to_string(*command.state),
                                   "state=" + std::to_string(state));
            }
        }
    }

    void remove(const Command &command)
    {
        if (!present_) {
            add_call(&command, command.text).notes.push_back("skipped: there is no device");
            return;
        }
        sim_.remove_device(device_);
        present_ = false;
        add_call(&command, command.text);
    }

    void unload(const Command &command)
    {
        if (!loaded_) {
            add_call(&command, command.text).notes.push_back("skipped: the driver is not loaded");
            return;
        }
        CallRecord &call = add_call(&command, command.text);
        if (present_) {
            // The system removes a driver's devices before it unloads it.
            sim_.remove_device(device_);
            present_ = false;
            call.notes.push_back("the device was removed first");
        }
        sim_.unload_driver();
        loaded_ = false;
    }

    void check_status(const Command &command, CallRecord &call)
    {
        if (command.expect_status && call.status && *call.status != *command.expect_status) {
            expectation_failed(command, call, "status " + describe_status(*command.expect_status),
                               describe_status(*call.status));
        }
    }

    void check_bytes(const Command &command, CallRecord &call)
    {
        if (!command.expect_bytes) {
            return;
        }
        if (!call.bytes || *call.bytes != *command.expect_bytes) {
            expectation_failed(command, call, std::to_string(*command.expect_bytes) + " bytes " + call.bytes_label,
                               call.bytes ? std::to_string(*call.bytes) + " bytes" : "the count not written");
        }
    }

    void expectation_failed(const Command &command, CallRecord &call, const std::string &expected,
                            const std::string &got)
    {
        call.failed_expectation = true;
        const std::string message = scenario_.name + ":" + std::to_string(command.line) + ": " + command.text +
                                    ": expected " + expected + ", got " + got;
        call.notes.push_back("EXPECTATION FAILED: expected " + expected + ", got " + got);
        recording_.expectation_failures.push_back(message);
    }

    void finish()
    {
        recording_.end = now();
        recording_.verifier_failures = recording_.idle ? sim_.check_quiescent() : sim_.verifier_failures();
        const auto lock = stream_lock();
        recording_.summaries = summariser_.finish(recording_.end);
        finished_ = true;
    }

    const Scenario &scenario_;
    const PlayerOptions &options_;
    SavedMasks saved_masks_;  // restored once the simulator's threads have stopped
    Recording recording_;
    Summariser summariser_;
    std::mutex stream_mutex_;
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

}  // namespace

Recording play(const Scenario &scenario, const PlayerOptions &options)
{
    Player player(scenario, options);
    return player.run();
}

}  // namespace vibra_tool
