// SPDX-License-Identifier: MIT
#include "player/player.h"

#include "hwn/request.h"
#include "player/session.h"
#include "scenario/status.h"
#include "player/trace_log.h"
#include "simulated_local.h"

namespace vibra_tool {
namespace session {
namespace {

constexpr Ticks kSlice = 100 * vsim::kTicksPerMs;

// The start time of the call that the current simulated thread runs, when it
// runs on a thread of its own.
vsim::SimulatedLocal<std::optional<Ticks>> tls_started;
// The scenario call the current thread is making, for the faults it meets.
vsim::SimulatedLocal<const Command *> tls_command;
vsim::SimulatedLocal<bool> tls_setup;

bool is_setup_option(const Command &command)
{
    return command.time == 0 && (command.kind == CommandKind::TraceMask || command.kind == CommandKind::Fault ||
                                 command.kind == CommandKind::ClearFaults);
}

}  // namespace

Player::Player(const Scenario &scenario, const PlayerOptions &options)
    : scenario_(scenario), options_(options), sim_(simulator_options(options))
{
    recording_.scenario = scenario.name;
    for (const Command &command : scenario.commands) {
        intervals_.add(command);
    }
    sim_.add_line(kEnableConnectionId, kEnableLine);
    sim_.add_line(kDriveConnectionId, kDriveLine);
    base_ = sim_.now();
    // Counted only, unless a caller reads the lines.
    sim_.set_trace_sink([this](const vsim::TraceLine &line) { record_trace(line); },
                        options.on_trace || options.keep_records);
    sim_.set_write_sink([this](const vsim::GpioWrite &write) { record_write(write); });
    sim_.set_line_change_sink([this](const vsim::LineChange &change) { record_change(change); });
    sim_.set_fault_sink([this](const vsim::FaultTaken &taken) { record_fault(taken); });
}

Recording Player::run()
{
    for (size_t i = 0; i < options_.masks.size(); ++i) {
        if (options_.masks[i]) {
            TraceLevelMask[i] = *options_.masks[i];
        }
    }
    bool ended = false;
    for (const Command &command : scenario_.commands) {
        if (interrupted()) {
            break;
        }
        if (!setup_done_ && !is_setup_option(command)) {
            set_up(command.kind == CommandKind::Setup ? &command : nullptr);
            if (command.kind == CommandKind::Setup) {
                continue;
            }
        }
        advance_to(base_ + command.time);
        if (interrupted()) {
            break;
        }
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
    recording_.idle = ended || interrupted() ? sim_.pending_events() == 0 : settle();
    recording_.interrupted = interrupted();
    finish();
    return std::move(recording_);
}

vsim::Options Player::simulator_options(const PlayerOptions &options)
{
    vsim::Options result;
    result.gpio_latency = options.gpio_latency;
    result.schedule = options.schedule;
    result.completions = options.completions;
    result.timer_clock = options.timer_clock;
    result.serialise_client_calls = options.serialise_client_calls;
    result.power_transitions = options.power_transitions;
    result.keep_records = false;  // the player takes what it keeps from the sinks
    result.log_consultations = options.log_consultations;
    if (options.realtime) {
        result.threads = vsim::Threads::Real;
    }
    return result;
}

bool Player::waits_for_calls(CommandKind kind)
{
    return kind == CommandKind::Teardown || kind == CommandKind::Remove || kind == CommandKind::Unload ||
           kind == CommandKind::End;
}

void Player::spawn(const Command &command)
{
    const Ticks started = now();
    sim_.spawn_thread(command.text + " (line " + std::to_string(command.line) + ")", [this, &command, started] {
        *tls_started = started;
        execute(command);
        tls_started->reset();
    });
}

void Player::record_trace(const vsim::TraceLine &line)
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
std::unique_lock<std::mutex> Player::stream_lock()
{
    return options_.realtime ? std::unique_lock<std::mutex>(stream_mutex_) : std::unique_lock<std::mutex>();
}

void Player::record_write(const vsim::GpioWrite &write)
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

void Player::record_change(const vsim::LineChange &change)
{
    LevelChange record{change.time - base_, change.line, change.value};
    const auto lock = stream_lock();
    if (finished_) {
        return;
    }
    summariser_.change(record);
    intervals_.change(record.time, record.line, record.value);
    if (options_.on_change) {
        options_.on_change(record);
    }
    if (options_.keep_records) {
        recording_.changes.push_back(std::move(record));
    }
}

void Player::arm(const Command &command)
{
    sim_.inject(command.op, command.status, command.nth);
    const auto lock = stream_lock();
    armed_.push_back({&command, 0});
}

void Player::record_fault(const vsim::FaultTaken &taken)
{
    const auto lock = stream_lock();
    if (finished_) {
        return;
    }
    // The earliest armed one-shot of this operation and status not yet
    // taken, else an every-call one.
    Armed *owner = nullptr;
    for (Armed &armed : armed_) {
        const Command &command = *armed.command;
        if (command.op != taken.op || command.status != taken.status || (command.nth != 0 && armed.taken != 0)) {
            continue;
        }
        if (owner == nullptr || (owner->command->nth == 0 && command.nth != 0)) {
            owner = &armed;
        }
    }
    FaultRecord record{taken.time - base_, vsim::op_name(taken.op), taken.call, taken.status, 0, 0, {}};
    if (owner) {
        ++owner->taken;
        record.armed_line = owner->command->line;
    }
    if (const Command *during = *tls_command) {
        record.during_line = during->line;
        record.during = during->text;
    } else if (*tls_setup) {
        record.during = "set-up";
    }
    recording_.faults.push_back(std::move(record));
    if (options_.on_fault) {
        options_.on_fault(recording_.faults.back());
    }
}

void Player::drop_armed(const char *why)
{
    const auto lock = stream_lock();
    for (const Armed &armed : armed_) {
        if (armed.taken == 0) {
            recording_.warnings.push_back(scenario_.name + ":" + std::to_string(armed.command->line) + ": " +
                                          armed.command->text + ": never took effect (" + why + ")");
        }
    }
    armed_.clear();
}

void Player::advance_to(Ticks target)
{
    while (sim_.now() < target && !interrupted()) {
        sim_.run_until(std::min(target, sim_.now() + kSlice));
        progress();
    }
}

bool Player::settle()
{
    const Ticks deadline = sim_.now() + options_.settle;
    while (sim_.pending_events() != 0 && sim_.now() < deadline && !interrupted()) {
        sim_.run_until_idle(std::min(kSlice, deadline - sim_.now()));
        progress();
    }
    return sim_.pending_events() == 0;
}

bool Player::interrupted() const
{
    return options_.interrupt != nullptr && options_.interrupt->load(std::memory_order_relaxed);
}

void Player::progress()
{
    if (options_.realtime && options_.on_progress) {
        options_.on_progress(now());
    }
}

CallRecord &Player::add_call(const Command *command, std::string text)
{
    CallRecord call;
    call.time = tls_started->value_or(now());
    call.returned = now();
    call.line = command ? command->line : 0;
    call.repetition = command ? command->repetition : 0;
    call.text = std::move(text);
    if (*tls_started) {
        call.text = "& " + call.text;
        call.notes.push_back("on a thread of its own; returned at " + format_time(now()));
    }
    recording_.calls.push_back(std::move(call));
    if (options_.on_call) {
        const auto lock = stream_lock();
        options_.on_call(recording_.calls.back());
    }
    return recording_.calls.back();
}

// The implicit (or explicit) set-up: load, add, initialise.
void Player::set_up(const Command *command)
{
    setup_done_ = true;
    *tls_setup = true;
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
    *tls_setup = false;
    recording_.setup_ok = initialised_;
    if (initialised_ && options_.after_setup) {
        options_.after_setup(sim_, device_);
    }
    if (command) {
        check_status(*command, recording_.calls.back());
    }
    // A set-up meant to fail says so with `setup expect=...`; any other
    // failed set-up fails the run, whatever is skipped after it.
    if (!initialised_ && !(command && command->expect_status)) {
        const CallRecord &last = recording_.calls.back();
        recording_.setup_failure = last.text + " returned " +
                                   (last.status ? describe_status(*last.status) : std::string("nothing"));
    }
    sample_state();
}

PDEVICE_CONTEXT Player::context() const
{
    return initialised_ && present_ ? driver_view::context(sim_, device_) : nullptr;
}

void Player::sample_state()
{
    if (PDEVICE_CONTEXT device = context()) {
        const StateSample sample{now(), driver_view::stored_state(*device)};
        const auto lock = stream_lock();
        recording_.states.push_back(sample);
        if (options_.on_state) {
            options_.on_state(sample);
        }
    }
}

bool Player::device_usable(const Command &command)
{
    if (initialised_ && present_) {
        return true;
    }
    const char *why = !loaded_ ? "the driver is not loaded" : !present_ ? "there is no device"
                                                                         : "the device was not initialised";
    CallRecord &call = add_call(&command, command.text);
    call.notes.push_back(std::string("skipped: ") + why);
    skip_expectations(command, call, why);
    return false;
}

void Player::execute(const Command &command)
{
    const Command *outer = *tls_command;
    *tls_command = &command;
    run_command(command);
    *tls_command = outer;
}

void Player::run_command(const Command &command)
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
        arm(command);
        add_call(&command, command.text)
            .notes.push_back(std::string("armed: ") + vsim::op_name(command.op) + " fails with " +
                             describe_status(command.status) +
                             (command.nth == 0 ? " on every call"
                                               : " on call " + std::to_string(command.nth) + " from now"));
        break;
    case CommandKind::ClearFaults:
        sim_.clear_faults();
        drop_armed("cleared first");
        add_call(&command, command.text);
        break;
    case CommandKind::Setup:
    case CommandKind::Wait:
    case CommandKind::End:
        add_call(&command, command.text);
        break;
    }
}

void Player::lifecycle(const Command &command)
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

void Player::remove(const Command &command)
{
    if (!present_) {
        add_call(&command, command.text).notes.push_back("skipped: there is no device");
        return;
    }
    sim_.remove_device(device_);
    present_ = false;
    add_call(&command, command.text);
}

void Player::unload(const Command &command)
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

void Player::finish()
{
    recording_.end = now();
    recording_.verifier_failures = recording_.idle ? sim_.check_quiescent() : sim_.verifier_failures();
    drop_armed(recording_.interrupted ? "the run was interrupted" : "no matching call was made");
    if (options_.at_end) {
        options_.at_end(sim_);
    }
    const auto lock = stream_lock();
    recording_.summaries = summariser_.finish(recording_.end);
    finished_ = true;
}

}  // namespace session

Recording play(const Scenario &scenario, const PlayerOptions &options)
{
    session::Player player(scenario, options);
    return player.run();
}

}  // namespace vibra_tool
