#include "explore.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <ostream>
#include <sstream>

#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

#include "device/device.h"
#include "hwn/request.h"
#include "vibration/vibration.h"
#include "payload.h"
#include "player.h"
#include "rest_check.h"
#include "status.h"

namespace vibra_tool {
namespace {

constexpr uint32_t kStoredSize = 48;
constexpr uint32_t kStoredSetting4 = 0x5555;
constexpr uint32_t kStoredSetting5 = 0xFFFFFFFF;
// The settle phase allows this much virtual time for pending work to end.
constexpr Ticks kSettleBound = 5 * vsim::kTicksPerSecond;
// How long the clean cycle lets the motor run before it stops it.
constexpr Ticks kCleanRun = 50 * vsim::kTicksPerMs;

class Random : public vsim::SplitMix64 {
public:
    using SplitMix64::SplitMix64;
    uint32_t below(uint32_t bound) { return bound == 0 ? 0 : static_cast<uint32_t>(next() % bound); }
    bool chance(double probability) { return static_cast<double>(next() >> 11) * 0x1.0p-53 < probability; }
    template <typename T, size_t N>
    T pick(const std::array<T, N> &values) { return values[below(N)]; }
};

// ---------------------------------------------------------------------------
// Generation

constexpr std::array<int32_t, 6> kFaultStatuses = {
    static_cast<int32_t>(0xC0000001), static_cast<int32_t>(0xC000009A), static_cast<int32_t>(0xC000009D),
    static_cast<int32_t>(0xC00000B5), static_cast<int32_t>(0xC0000120), static_cast<int32_t>(0xC0000184),
};

// Buffer lengths around the ones the driver tells apart.
uint32_t odd_length(Random &random)
{
    static constexpr std::array<uint32_t, 11> lengths = {0, 4, 11, 12, 13, 36, 47, 49, 52, 84, 96};
    return random.chance(0.7) ? random.pick(lengths) : random.below(101);
}

class Generator {
public:
    Generator(uint64_t seed, double fault_rate) : random_(seed), fault_rate_(fault_rate) {}

    Command next(Ticks time)
    {
        Command command;
        command.time = time;
        if (random_.chance(fault_rate_)) {
            fault(command);
            return command;
        }
        const uint32_t roll = random_.below(100);
        concurrent(command);
        if (roll < 48) {
            set_state(command);
        } else if (roll < 55) {
            raw_set_state(command);
        } else if (roll < 70) {
            get_state(command);
        } else if (roll < 77) {
            command.kind = CommandKind::Stop;
        } else if (roll < 84) {
            command.kind = CommandKind::Start;
        } else if (roll < 89) {
            trace_mask(command);
        } else if (roll < 94) {
            command.kind = CommandKind::Info;
        } else {
            command.kind = CommandKind::Wait;
        }
        return command;
    }

private:
    // Decided for every command so that the rest of the stream does not
    // depend on it; only class-extension calls take it.
    void concurrent(Command &command) { command.concurrent = random_.chance(0.3); }

    void set_state(Command &command)
    {
        command.kind = CommandKind::SetState;
        const uint32_t state = random_.below(3);
        command.payload = one_record(state);
        if (state == 2) {
            static constexpr std::array<uint32_t, 12> periods = {0, 1, 2, 3, 7, 10, 50, 100, 250, 500, 1000, 0xFFFFFFFF};
            static constexpr std::array<uint32_t, 9> duties = {0, 1, 25, 50, 99, 100, 101, 150, 0xFFFFFFFF};
            static constexpr std::array<uint32_t, 8> cycles = {0, 1, 2, 3, 5, 10, 1000, 0xFFFFFFFF};
            put_u32(command.payload, 24, random_.chance(0.7) ? random_.pick(periods) : 1 + random_.below(2000));
            put_u32(command.payload, 28, random_.chance(0.7) ? random_.pick(duties) : random_.below(101));
            put_u32(command.payload, 32, random_.chance(0.8) ? random_.pick(cycles) : random_.below(20));
        }
        command.length = kOnePayload;
        if (random_.chance(0.1)) {
            override_field(command);
        }
        if (random_.chance(0.1)) {
            command.length = odd_length(random_);
        }
    }

    // One header or record field out of the ordinary.
    void override_field(Command &command)
    {
        switch (random_.below(6)) {
        case 0: {
            static constexpr std::array<uint32_t, 7> sizes = {0, 12, 40, 47, 49, 1000, 0xFFFFFFFF};
            put_u32(command.payload, 0, random_.pick(sizes));
            break;
        }
        case 1:
            put_u32(command.payload, 4, random_.chance(0.5) ? 0 : 2);
            break;
        case 2: {
            static constexpr std::array<uint32_t, 3> requests = {0, 2, 0xFFFFFFFF};
            const uint32_t value = random_.pick(requests);
            put_u32(command.payload, 8, value);
            if (value == 0 && random_.chance(0.5)) {
                command.length = 12;  // a valid payload of no record
            }
            break;
        }
        case 3:
            put_u32(command.payload, 12, random_.chance(0.5) ? 1 : 0xFFFFFFFF);
            break;
        case 4: {
            static constexpr std::array<uint32_t, 3> types = {0, 1, 3};
            put_u32(command.payload, 16, random_.pick(types));
            break;
        }
        default:
            put_u32(command.payload, 44, random_.chance(0.5) ? 3 : 0xFFFFFFFF);
            break;
        }
    }

    void raw_set_state(Command &command)
    {
        command.kind = CommandKind::SetState;
        const uint32_t size = random_.below(101);
        command.payload.resize(size);
        for (uint8_t &byte : command.payload) {
            byte = static_cast<uint8_t>(random_.next());
        }
        if (size >= 12 && random_.chance(0.6)) {
            // A plausible header over random records.
            static constexpr std::array<uint32_t, 4> requests = {0, 1, 1, 2};
            const uint32_t count = random_.pick(requests);
            put_u32(command.payload, 0, 12 + 36 * count);
            put_u32(command.payload, 4, 1);
            put_u32(command.payload, 8, count);
            if (size >= 48 && random_.chance(0.7)) {
                put_u32(command.payload, 12, 0);
                put_u32(command.payload, 16, kStoredType);
                put_u32(command.payload, 44, random_.below(4));
            }
        }
        command.length = random_.chance(0.8) ? size : odd_length(random_);
    }

    void get_state(Command &command)
    {
        command.kind = CommandKind::GetState;
        command.output_length = random_.chance(0.6) ? kOnePayload : odd_length(random_);
        if (random_.chance(0.6)) {
            return;
        }
        const bool empty = random_.chance(0.25);
        std::vector<uint8_t> input = one_record(random_.below(3));
        if (empty) {
            input.resize(12);
            put_u32(input, 0, 12);
            put_u32(input, 8, 0);
        }
        if (random_.chance(0.25)) {
            static constexpr std::array<uint32_t, 5> sizes = {0, 12, 40, 48, 96};
            put_u32(input, 0, random_.pick(sizes));
        }
        if (random_.chance(0.1)) {
            static constexpr std::array<uint32_t, 3> requests = {0, 1, 2};
            put_u32(input, 8, random_.pick(requests));
        }
        if (!empty && random_.chance(0.1)) {
            put_u32(input, 12, 1);  // another element
        }
        command.input_length = random_.chance(0.8) ? static_cast<uint32_t>(input.size()) : odd_length(random_);
        command.input = std::move(input);
        command.same_buffer = random_.chance(0.35);
    }

    void trace_mask(Command &command)
    {
        command.kind = CommandKind::TraceMask;
        switch (random_.below(3)) {
        case 0:
            for (int level = 1; level <= 5; ++level) {
                command.masks.emplace_back(level, 0xFFFFFFFFu);
            }
            break;
        case 1:
            command.masks = {{1, 0xFFFFFFFFu}, {2, 0xFFFFFFFEu}, {3, 0xFFFFFFFEu}, {4, 0u}, {5, 0u}};
            break;
        default: {
            static constexpr std::array<uint32_t, 4> masks = {0, 0x4, 0x4000, 0xFFFFFFFF};
            command.masks.emplace_back(1 + static_cast<int>(random_.below(5)),
                                       random_.chance(0.8) ? random_.pick(masks) : static_cast<uint32_t>(random_.next()));
            break;
        }
        }
    }

    void fault(Command &command)
    {
        if (random_.chance(0.15)) {
            command.kind = CommandKind::ClearFaults;
            return;
        }
        command.kind = CommandKind::Fault;
        // Only failures the real platform can produce: a timer start and a
        // typed-context look-up cannot fail there.
        static constexpr std::array<vsim::Op, 12> ops = {
            vsim::Op::WdfRequestSend,        vsim::Op::WdfRequestSend,       vsim::Op::RequestCompletion,
            vsim::Op::RequestCompletion,     vsim::Op::WdfWaitLockAcquire,   vsim::Op::WdfWaitLockAcquire,
            vsim::Op::WdfRequestCreate,      vsim::Op::WdfMemoryCreatePreallocated,
            vsim::Op::WdfIoTargetFormatRequestForIoctl,                      vsim::Op::WdfRequestSend,
            vsim::Op::RequestCompletion,                                     vsim::Op::WdfRequestGetStatus,
        };
        command.op = random_.pick(ops);
        command.status = command.op == vsim::Op::WdfWaitLockAcquire && random_.chance(0.8)
                             ? STATUS_TIMEOUT
                             : random_.pick(kFaultStatuses);
        const uint32_t roll = random_.below(10);
        command.nth = roll < 7 ? 1 + random_.below(3) : roll < 9 ? 4 + random_.below(7) : 0;
    }

    Random random_;
    double fault_rate_;
};

// ---------------------------------------------------------------------------
// Formatting

std::string hex(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char pair[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0 && i % 4 == 0) {
            text += '_';
        }
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

std::string format_status(int32_t status)
{
    const std::string_view name = status_name(status);
    if (!name.empty()) {
        return std::string(name);
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(status));
    return text;
}

std::string format_u32(uint32_t value)
{
    if (value < 0x10000) {
        return std::to_string(value);
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// on, off or blink with the fields that differ from the built ones, when the
// payload is one of those forms; raw bytes otherwise.
std::string set_state_words(const std::vector<uint8_t> &payload)
{
    const bool plain = payload.size() == kOnePayload && u32_at(payload, 20) == 0 && u32_at(payload, 36) == 0 &&
                       u32_at(payload, 40) == 0;
    if (!plain) {
        return "raw=" + hex(payload);
    }
    const uint32_t state = u32_at(payload, 44);
    const bool no_blink = u32_at(payload, 24) == 0 && u32_at(payload, 28) == 0 && u32_at(payload, 32) == 0;
    std::string words;
    uint32_t built_state = 2;
    if (no_blink && state != 2) {
        built_state = state == 1 ? 1 : 0;
        words = built_state == 1 ? "on" : "off";
    } else {
        words = "blink period=" + format_u32(u32_at(payload, 24)) + " duty=" + format_u32(u32_at(payload, 28)) +
                " cycles=" + format_u32(u32_at(payload, 32));
    }
    const std::pair<const char *, std::pair<size_t, uint32_t>> fields[] = {
        {"size", {0, kOnePayload}}, {"version", {4, 1}},          {"requests", {8, 1}},
        {"id", {12, 0}},            {"type", {16, kStoredType}}, {"state", {44, built_state}},
    };
    for (const auto &[key, field] : fields) {
        if (u32_at(payload, field.first) != field.second) {
            words += std::string(" ") + key + "=" + format_u32(u32_at(payload, field.first));
        }
    }
    return words;
}

std::string fault_words(const Command &command)
{
    std::string words;
    if (command.op == vsim::Op::WdfWaitLockAcquire && command.status == STATUS_TIMEOUT) {
        words = "lock-timeout";
    } else if (command.op == vsim::Op::WdfRequestSend) {
        words = "refuse-send status=" + format_status(command.status);
    } else if (command.op == vsim::Op::RequestCompletion) {
        words = "fail-completion status=" + format_status(command.status);
    } else {
        words = std::string("fault ") + vsim::op_name(command.op) + " status=" + format_status(command.status);
    }
    if (command.nth == 0) {
        words += " every";
    } else if (command.nth != 1) {
        words += " nth=" + std::to_string(command.nth);
    }
    return words;
}

std::string trace_mask_words(const Command &command)
{
    const std::vector<std::pair<int, uint32_t>> open = {
        {1, 0xFFFFFFFFu}, {2, 0xFFFFFFFFu}, {3, 0xFFFFFFFFu}, {4, 0xFFFFFFFFu}, {5, 0xFFFFFFFFu}};
    const std::vector<std::pair<int, uint32_t>> initial = {
        {1, 0xFFFFFFFFu}, {2, 0xFFFFFFFEu}, {3, 0xFFFFFFFEu}, {4, 0u}, {5, 0u}};
    if (command.masks == open) {
        return "trace-mask open";
    }
    if (command.masks == initial) {
        return "trace-mask initial";
    }
    // A scenario line sets one level; several pairs are written as the last
    // one, which is what they leave behind for a level given once.
    char mask[16];
    const auto &[level, value] = command.masks.empty() ? std::pair<int, uint32_t>{1, 0xFFFFFFFFu} : command.masks.back();
    std::snprintf(mask, sizeof mask, "0x%08X", value);
    return "trace-mask level=" + std::to_string(level) + " mask=" + mask;
}

// The words of a command without its time and expectations.
std::string command_words(const Command &command)
{
    switch (command.kind) {
    case CommandKind::Setup: return "setup";
    case CommandKind::Start: return "start";
    case CommandKind::Stop: return "stop";
    case CommandKind::Teardown: return "teardown";
    case CommandKind::Info: return "info";
    case CommandKind::Remove: return "remove";
    case CommandKind::Unload: return "unload";
    case CommandKind::ClearFaults: return "clear-faults";
    case CommandKind::Wait: return "wait";
    case CommandKind::End: return "end";
    case CommandKind::TraceMask: return trace_mask_words(command);
    case CommandKind::Fault: return fault_words(command);
    case CommandKind::SetState: {
        std::string words = "set-state " + set_state_words(command.payload);
        if (command.length != command.payload.size()) {
            words += " length=" + std::to_string(command.length);
        }
        return words;
    }
    case CommandKind::GetState: {
        std::string words = "get-state";
        if (command.input) {
            words += " input=" + hex(*command.input);
            if (command.input_length != command.input->size()) {
                words += " input-length=" + std::to_string(command.input_length);
            }
        }
        if (command.output_length != kOnePayload) {
            words += " output-length=" + std::to_string(command.output_length);
        }
        if (command.same_buffer) {
            words += " same-buffer";
        }
        return words;
    }
    case CommandKind::Check: {
        std::string words = "check";
        if (command.enable) {
            words += " enable=" + std::to_string(*command.enable);
        }
        if (command.drive) {
            words += " drive=" + std::to_string(*command.drive);
        }
        if (command.state) {
            words += " state=" + std::to_string(*command.state);
        }
        return words;
    }
    }
    return "wait";
}

std::string expectation_words(const Command &command)
{
    std::string words;
    if (command.expect_status) {
        words += " expect=" + format_status(*command.expect_status);
    }
    if (command.expect_bytes) {
        words += " expect-bytes=" + std::to_string(*command.expect_bytes);
    }
    if (command.expect_output) {
        words += " expect-output=" + hex(*command.expect_output);
    }
    return words;
}

// ---------------------------------------------------------------------------
// The settle phase

PDEVICE_CONTEXT device_context(vsim::Simulator &sim, vsim::DeviceId device)
{
    return static_cast<PDEVICE_CONTEXT>(sim.client_context(device));
}

uint32_t stored_state(vsim::Simulator &sim, vsim::DeviceId device)
{
    return device_context(sim, device)->ClientInformation.HwNSettingsInfo[0].HwNSettings[HWN_SETTING_STATE];
}

// The drive's step state (every field before the resolution flag) changes
// only under IntensityLock.
void watch_intensity(vsim::Simulator &sim, vsim::DeviceId device)
{
    PDEVICE_CONTEXT context = device_context(sim, device);
    if (context->IntensityTimer == nullptr || context->IntensityLock == nullptr) {
        return;
    }
    const void *timer_context = sim.typed_context(context->IntensityTimer);
    if (timer_context != nullptr) {
        sim.watch(timer_context, offsetof(INTENSITY_TIMER_CONTEXT, DeviceContext) + sizeof(PDEVICE_CONTEXT),
                  context->IntensityLock, "the intensity timer's context");
    }
}

void settle_phase(vsim::Simulator &sim, vsim::DeviceId device, SettleObservation &seen)
{
    seen.device = true;
    seen.verifier_before = sim.verifier_failures();
    const HWN_HEADER &stored = device_context(sim, device)->ClientInformation;
    seen.header[0] = stored.HwNPayloadSize;
    seen.header[1] = stored.HwNPayloadVersion;
    seen.header[2] = stored.HwNRequests;
    seen.id = stored.HwNSettingsInfo[0].HwNId;
    seen.type = stored.HwNSettingsInfo[0].HwNType;
    seen.fixed_settings[0] = stored.HwNSettingsInfo[0].HwNSettings[4];
    seen.fixed_settings[1] = stored.HwNSettingsInfo[0].HwNSettings[5];
    seen.state = stored.HwNSettingsInfo[0].HwNSettings[HWN_SETTING_STATE];

    // A motor the device reports off must be off, before anything else is
    // played; the rest observation clears the faults and stops the device.
    seen.rest = observe_rest(sim, device, &seen.stop_status);
    seen.idle_after_stop = sim.run_until_idle(kSettleBound);
    seen.state_after_stop = stored_state(sim, device);

    // Whatever the faults left behind, a clean cycle must work again.
    seen.off_status = set_state_to(sim, device, 0);
    sim.run_until_idle(kSettleBound);
    seen.on_status = set_state_to(sim, device, 1);
    sim.run_for(kCleanRun);
    seen.enable_while_running = sim.level(kEnableLine);
    seen.resolution_while_running = sim.outstanding_resolution_requests();
    seen.final_stop_status = sim.stop_device(device);
    seen.idle_at_end = sim.run_until_idle(kSettleBound);
    seen.enable_at_end = sim.level(kEnableLine);
    seen.drive_at_end = sim.level(kDriveLine);
    seen.resolution_at_end = sim.outstanding_resolution_requests();
    seen.state_at_end = stored_state(sim, device);
    seen.verifier_at_end = sim.check_quiescent();
}

// ---------------------------------------------------------------------------
// The stored state the calls' results allow, as a set of states 0 to 2.

using States = unsigned;  // bit s: state s is possible
constexpr States kAnyState = 0x7;

std::string describe_states(States states)
{
    std::string text;
    for (uint32_t state = 0; state < 3; ++state) {
        if (states & (1u << state)) {
            text += (text.empty() ? "" : " or ") + std::to_string(state);
        }
    }
    return text.empty() ? "none" : text;
}

class StateModel {
public:
    explicit StateModel(const Scenario &scenario)
    {
        for (const Command &command : scenario.commands) {
            data_error_injected_ |= command.kind == CommandKind::Fault && command.status == STATUS_DATA_ERROR;
        }
    }

    States states() const { return states_; }

    // After a set-state call returned `status`; a finding when it succeeded
    // where it must not have.
    std::optional<std::string> set_state(const Command &command, int32_t status)
    {
        std::vector<uint8_t> buffer = command.payload;
        buffer.resize(command.length, 0);  // what the driver was given
        const bool has_header = buffer.size() >= 12;
        const uint32_t records = u32_at(buffer, 8);
        const uint32_t requested = u32_at(buffer, 44);
        const bool one_record = has_header && records == 1 && buffer.size() >= kOnePayload && requested <= 2;
        if (status >= 0) {
            if (has_header && records == 0 && buffer.size() == 12) {
                return std::nullopt;  // nothing to apply
            }
            if (one_record && buffer.size() == kOnePayload) {
                states_ = 1u << requested;
                return std::nullopt;
            }
            states_ = kAnyState;
            return "succeeded with a buffer of " + std::to_string(buffer.size()) + " bytes, " +
                   std::to_string(records) + " records, state " + std::to_string(requested) +
                   "; such a payload must be refused";
        }
        // A length that does not match comes after the record was applied; a
        // buffer too short for its record has nothing applied.
        if (status == STATUS_DATA_ERROR && one_record && buffer.size() > kOnePayload) {
            const States applied = 1u << requested;
            states_ = data_error_injected_ ? (applied | after_failure()) : applied;
            return std::nullopt;
        }
        states_ = after_failure();
        return std::nullopt;
    }

private:
    // A failing request may have ended a blink (state 0) before it failed.
    States after_failure() const { return states_ | ((states_ & 0x4) ? 0x1 : 0); }

    States states_ = 0x1;  // initially off
    bool data_error_injected_ = false;
};

std::string where(const Command &command)
{
    return "line " + std::to_string(command.line) + " (at " + format_time(command.time) + " " + command.text + ")";
}

std::string hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

// ---------------------------------------------------------------------------
// Crash notes: what to print if the process dies in the middle of a run.

std::string crash_note;

void write_crash_note()
{
    if (!crash_note.empty()) {
        ssize_t ignored = ::write(STDERR_FILENO, crash_note.data(), crash_note.size());
        (void)ignored;
    }
}

extern "C" void on_fatal_signal(int signal)
{
    write_crash_note();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

class CrashNotes {
public:
    CrashNotes()
    {
        for (size_t i = 0; i < kSignals.size(); ++i) {
            previous_[i] = std::signal(kSignals[i], on_fatal_signal);
        }
#if defined(__SANITIZE_ADDRESS__)
        __sanitizer_set_death_callback(write_crash_note);
#endif
    }
    ~CrashNotes()
    {
#if defined(__SANITIZE_ADDRESS__)
        __sanitizer_set_death_callback(nullptr);
#endif
        for (size_t i = 0; i < kSignals.size(); ++i) {
            std::signal(kSignals[i], previous_[i]);
        }
        crash_note.clear();
    }

private:
    static constexpr std::array<int, 5> kSignals = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
    std::array<void (*)(int), 5> previous_{};
};

std::string options_line(const ExploreOptions &options)
{
    std::ostringstream text;
    text << "--seed " << options.seed << " --runs " << options.runs << " --steps " << options.steps
         << " --fault-rate " << options.fault_rate << " --schedule " << vsim::format_schedule(options.schedule);
    return text.str();
}

// The last switches of a run, enough to follow how the threads met.
void write_switches(std::ostream &out, const RunResult &result)
{
    constexpr size_t kShown = 60;
    const auto &switches = result.switches;
    out << "schedule: " << result.scheduling_points << " scheduling points, " << switches.size()
        << " switches" << (switches.size() > kShown ? "; the last " + std::to_string(kShown) + ":" : ":") << "\n";
    for (size_t i = switches.size() > kShown ? switches.size() - kShown : 0; i < switches.size(); ++i) {
        const vsim::SwitchRecord &record = switches[i];
        out << "  " << format_time(record.time) << "  " << record.from << " -> " << record.to << "  (" << record.at
            << ")\n";
    }
}

void write_findings(std::ostream &out, const std::vector<Finding> &findings)
{
    for (const Finding &finding : findings) {
        out << "  - " << (finding.stuck ? "stuck: " : "") << finding.text << "\n";
    }
}

}  // namespace

uint64_t run_seed(uint64_t seed, uint32_t run)
{
    Random random(seed ^ (0xD1B54A32D192ED03ULL * (static_cast<uint64_t>(run) + 1)));
    return random.next();
}

// The phase ends of a blink pattern asked for at `start`, as the driver would
// time them if it ran the pattern.
struct BlinkPhases {
    Ticks start;
    Ticks on;
    Ticks period;

    static std::optional<BlinkPhases> of(const Command &command)
    {
        if (command.kind != CommandKind::SetState || command.payload.size() < kOnePayload ||
            u32_at(command.payload, 44) != 2) {
            return std::nullopt;
        }
        const uint64_t period = u32_at(command.payload, 24);
        const uint64_t on = period * std::min<uint64_t>(u32_at(command.payload, 28), 100) / 100;
        if (period == 0 || on == 0 || period > 100'000) {
            return std::nullopt;
        }
        return BlinkPhases{command.time, Ticks(on) * vsim::kTicksPerMs, Ticks(period) * vsim::kTicksPerMs};
    }

    // The first phase end at or after `time`.
    Ticks next_end(Ticks time) const
    {
        const Ticks into = time - start;
        const Ticks periods = into / period;
        for (Ticks k = periods;; ++k) {
            for (const Ticks end : {start + k * period + on, start + (k + 1) * period}) {
                if (end >= time) {
                    return end;
                }
            }
        }
    }
};

Scenario generate_scenario(uint64_t seed, uint32_t steps, double fault_rate)
{
    Random timing(seed ^ 0xA0761D6478BD642FULL);
    Generator generator(seed, fault_rate);
    Scenario scenario;
    char name[32];
    std::snprintf(name, sizeof name, "run-%016llx", static_cast<unsigned long long>(seed));
    scenario.name = name;
    Command start;
    start.kind = CommandKind::Start;
    scenario.commands.push_back(start);
    Ticks time = 0;
    std::optional<BlinkPhases> blink;
    for (uint32_t step = 0; step < steps; ++step) {
        // Whole milliseconds mostly; microseconds to land anywhere in a drive
        // step; now and then at the same instant as the command before, or
        // right on a phase end of the last blink pattern asked for, where a
        // request meets the blink callback.
        const Ticks phase_end = blink ? blink->next_end(time) : -1;
        if (blink && phase_end - time <= 60 * vsim::kTicksPerMs && timing.chance(0.25)) {
            time = phase_end;
        } else if (!timing.chance(0.15)) {
            time += timing.chance(0.5) ? timing.below(61) * vsim::kTicksPerMs
                                       : timing.below(60001) * vsim::kTicksPerUs;
        }
        scenario.commands.push_back(generator.next(time));
        if (std::optional<BlinkPhases> asked = BlinkPhases::of(scenario.commands.back())) {
            blink = asked;
        }
    }
    for (size_t i = 0; i < scenario.commands.size(); ++i) {
        Command &command = scenario.commands[i];
        command.line = static_cast<int>(i + 1);
        command.text = command_words(command);
        command.concurrent = command.concurrent && runs_on_own_thread(command.kind);
    }
    return scenario;
}

std::string format_command(const Command &command)
{
    return "at " + format_time(command.time) + (command.concurrent ? " & " : " ") + command_words(command) +
           expectation_words(command);
}

std::string format_scenario(const Scenario &scenario)
{
    std::string text;
    for (const Command &command : scenario.commands) {
        text += format_command(command) + "\n";
    }
    return text;
}

std::vector<Finding> check_run(const Scenario &scenario, const Recording &recording,
                               const SettleObservation &seen)
{
    std::vector<Finding> findings;
    const auto wrong = [&](std::string text) { findings.push_back({false, std::move(text)}); };
    const auto stuck = [&](std::string text) { findings.push_back({true, std::move(text)}); };

    // Safety, with the faults still armed.
    for (const std::string &failure : recording.expectation_failures) {
        wrong("expectation: " + failure);
    }
    for (const std::string &failure : seen.verifier_before) {
        wrong("verifier: " + failure);
    }
    if (!recording.setup_ok || !seen.device) {
        wrong("no initialised device after the commands, so nothing could be checked");
        return findings;
    }
    if (seen.header[0] != kStoredSize || seen.header[1] != 1 || seen.header[2] != 1) {
        wrong("stored header changed to " + std::to_string(seen.header[0]) + "/" + std::to_string(seen.header[1]) +
              "/" + std::to_string(seen.header[2]) + "; it must stay 48/1/1");
    }
    if (seen.id != 0 || seen.type != kStoredType || seen.fixed_settings[0] != kStoredSetting4 ||
        seen.fixed_settings[1] != kStoredSetting5) {
        wrong("stored record's fixed fields changed: HwNId " + std::to_string(seen.id) + ", HwNType " +
              std::to_string(seen.type) + ", HwNSettings[4] " + hex32(seen.fixed_settings[0]) + ", HwNSettings[5] " +
              hex32(seen.fixed_settings[1]) + "; they must stay 0, 2, 0x5555, 0xFFFFFFFF");
    }

    std::map<int, const Command *> by_line;
    for (const Command &command : scenario.commands) {
        by_line[command.line] = &command;
    }
    StateModel model(scenario);
    for (const CallRecord &call : recording.calls) {
        const auto found = by_line.find(call.line);
        if (call.line == 0 || found == by_line.end() || !call.status) {
            continue;
        }
        const Command &command = *found->second;
        if (command.kind == CommandKind::SetState) {
            if (std::optional<std::string> finding = model.set_state(command, *call.status)) {
                wrong("set-state at " + where(command) + " " + *finding);
            }
        } else if (command.kind == CommandKind::GetState && *call.status >= 0 && call.bytes &&
                   *call.bytes == kOnePayload && call.output.size() >= kOnePayload) {
            const uint32_t state = u32_at(call.output, 44);
            if (u32_at(call.output, 0) != kStoredSize || u32_at(call.output, 4) != 1) {
                wrong("get-state at " + where(command) + " reported the header " +
                      std::to_string(u32_at(call.output, 0)) + "/" + std::to_string(u32_at(call.output, 4)) +
                      "; the stored one is 48/1");
            }
            if (state > 2 || !(model.states() & (1u << state))) {
                wrong("get-state at " + where(command) + " reported state " + std::to_string(state) +
                      "; the results of the set-state calls before it allow " + describe_states(model.states()));
            }
        }
    }
    if (seen.state > 2 || !(model.states() & (1u << seen.state))) {
        wrong("stored state " + std::to_string(seen.state) + " after the last command; the results of the "
              "set-state calls allow " + describe_states(model.states()));
    }

    // At rest: faults cleared, before anything else was played.
    for (std::string &finding : check_rest(seen.rest)) {
        wrong(std::move(finding));
    }

    // Settle: faults cleared, device stopped.
    if (!seen.idle_after_stop) {
        stuck("still busy " + format_time(kSettleBound) + " after the faults were cleared and the device stopped");
    }
    if (seen.stop_status < 0) {
        wrong("stop without faults failed with " + describe_status(seen.stop_status));
    }
    if (seen.state_after_stop != seen.state) {
        wrong("stop changed the stored state from " + std::to_string(seen.state) + " to " +
              std::to_string(seen.state_after_stop));
    }
    if (seen.off_status < 0 || seen.on_status < 0 || seen.final_stop_status < 0) {
        wrong("the clean cycle failed: set-state off " + describe_status(seen.off_status) + ", set-state on " +
              describe_status(seen.on_status) + ", stop " + describe_status(seen.final_stop_status));
    }
    if (seen.enable_while_running != 1) {
        wrong("the enable line was low " + format_time(kCleanRun) + " after a clean set-state on");
    }
    if (seen.resolution_while_running != 1) {
        wrong(std::to_string(seen.resolution_while_running) +
              " timer-resolution requests outstanding while the motor ran; expected 1");
    }
    if (!seen.idle_at_end) {
        stuck("still busy " + format_time(kSettleBound) + " after the clean cycle's stop");
    }
    if (seen.enable_at_end != 0 || seen.drive_at_end != 1) {
        wrong("after the clean cycle's stop sequence: enable=" + std::to_string(seen.enable_at_end) +
              " drive=" + std::to_string(seen.drive_at_end) + "; the sequence leaves enable=0 drive=1");
    }
    if (seen.resolution_at_end != 0) {
        wrong(std::to_string(seen.resolution_at_end) + " timer-resolution requests outstanding at rest; expected 0");
    }
    if (seen.state_at_end != 1) {
        wrong("stored state " + std::to_string(seen.state_at_end) + " after the clean cycle; expected 1");
    }
    for (size_t i = seen.verifier_before.size(); i < seen.verifier_at_end.size(); ++i) {
        wrong("verifier, at rest: " + seen.verifier_at_end[i]);
    }
    return findings;
}

bool RunResult::stuck() const
{
    return std::any_of(findings.begin(), findings.end(), [](const Finding &finding) { return finding.stuck; });
}

int exit_status(const std::vector<Finding> &findings)
{
    if (findings.empty()) {
        return 0;
    }
    return std::any_of(findings.begin(), findings.end(), [](const Finding &finding) { return finding.stuck; })
               ? kExitStuck
               : kExitWrongResult;
}

RunResult check_scenario(const Scenario &scenario, const vsim::Schedule &schedule)
{
    RunResult result;
    PlayerOptions options;
    options.settle = kSettleBound;
    options.schedule = schedule;
    options.keep_records = false;  // the checks read the calls, the simulator and the summaries
    options.after_setup = [](vsim::Simulator &sim, vsim::DeviceId device) { watch_intensity(sim, device); };
    OffMonitor monitor(scenario);
    options.before_command = [&monitor](vsim::Simulator &sim, vsim::DeviceId device, const Recording &recording) {
        monitor.observe(sim, device, recording);
    };
    options.after_commands = [&result](vsim::Simulator &sim, vsim::DeviceId device) {
        // The interleaving of the commands, before the settle phase adds its own.
        result.switches = sim.switches();
        result.scheduling_points = sim.scheduling_points();
        settle_phase(sim, device, result.observation);
        result.races = sim.races();
    };
    result.recording = play(scenario, options);
    result.findings = check_run(scenario, result.recording, result.observation);
    for (const std::string &race : result.races) {
        result.findings.push_back({false, "race: " + race});
    }
    if (!monitor.finding().empty()) {
        result.findings.push_back({false, monitor.finding()});
    }
    return result;
}

int explore(const ExploreOptions &options, std::ostream &out, std::ostream &progress)
{
    out << "vibra-sim explore: " << options_line(options) << "\n" << std::flush;
    CrashNotes notes;
    uint64_t commands = 0;
    uint64_t faults = 0;
    uint64_t failed_calls = 0;
    uint64_t points = 0;
    uint64_t switches = 0;
    for (uint32_t run = 0; run < options.runs; ++run) {
        const uint64_t seed = run_seed(options.seed, run);
        const std::string text = format_scenario(generate_scenario(seed, options.steps, options.fault_rate));
        const ParseResult parsed = parse_scenario(text, "run " + std::to_string(run));
        if (!parsed.scenario) {
            out << "internal error: the generated scenario of run " << run << " does not parse: " << parsed.error
                << "\n" << text;
            return 2;
        }
        char seed_text[32];
        std::snprintf(seed_text, sizeof seed_text, "0x%016llx", static_cast<unsigned long long>(seed));
        const std::string heading = "run " + std::to_string(run) + " of " + std::to_string(options.runs) +
                                    " (seed " + std::to_string(options.seed) + ", run seed " + seed_text + ")";
        const std::string reproduce =
            "reproduce: vibra-sim --explore " + options_line(options) + "   (stops at this run)\n"
            "or save the scenario below and run: vibra-sim --explore --scenario FILE --schedule " +
            vsim::format_schedule(options.schedule) + " --seed " + std::to_string(seed) + "   (this run alone)\n";
        crash_note = "\nvibra-sim explore: CRASH in " + heading + "\n" + reproduce + "scenario:\n" + text;

        vsim::Schedule schedule = options.schedule;
        schedule.seed = seed;
        const RunResult result = check_scenario(*parsed.scenario, schedule);
        commands += parsed.scenario->commands.size();
        for (const Command &command : parsed.scenario->commands) {
            faults += command.kind == CommandKind::Fault;
        }
        for (const CallRecord &call : result.recording.calls) {
            failed_calls += call.status && *call.status < 0;
        }
        points += result.scheduling_points;
        switches += result.switches.size();
        if (!result.findings.empty()) {
            const int status = exit_status(result.findings);
            out << "\nFAILED " << heading << ": " << (status == kExitStuck ? "a stuck run" : "a wrong result")
                << "\nfindings:\n";
            write_findings(out, result.findings);
            out << reproduce << "schedule: " << vsim::format_schedule(schedule) << ", seed " << seed_text
                << " (replay: --schedule " << vsim::format_schedule(schedule) << " --seed " << seed << ")\n";
            write_switches(out, result);
            out << "scenario:\n" << text;
            return status;
        }
        if ((run + 1) % 10 == 0) {
            progress << "explore: " << run + 1 << "/" << options.runs << " runs held\n" << std::flush;
        }
    }
    out << "all " << options.runs << " runs held: " << commands << " commands, " << faults << " faults armed, "
        << failed_calls << " calls returned a failure status; " << points << " scheduling points, " << switches
        << " thread switches\n";
    return 0;
}

int explore_scenario(const Scenario &scenario, const vsim::Schedule &schedule, std::ostream &out)
{
    out << "vibra-sim explore: " << scenario.name << ", " << scenario.commands.size() << " commands, schedule "
        << vsim::format_schedule(schedule) << ", seed " << schedule.seed << "\n";
    const RunResult result = check_scenario(scenario, schedule);
    if (result.findings.empty()) {
        out << "the run held\n";
        return 0;
    }
    const int status = exit_status(result.findings);
    out << "FAILED: " << (status == kExitStuck ? "a stuck run" : "a wrong result") << "\nfindings:\n";
    write_findings(out, result.findings);
    write_switches(out, result);
    return status;
}

}  // namespace vibra_tool
