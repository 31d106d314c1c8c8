// SPDX-License-Identifier: MIT
// Generation: one seed gives a scenario of random but mostly sensible
// commands, faults and concurrent calls among them.
#include "explore/explore.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "scenario/payload.h"
#include "scenario/status.h"
#include "explore/words.h"

namespace vibra_tool {
namespace {

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

    Command fault_at(Ticks time)
    {
        Command command;
        command.time = time;
        fault(command);
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
        // The operations a running device calls, each failing only as the
        // real platform can fail it (vsim::possible_failures).
        static constexpr std::array<vsim::Op, 12> ops = {
            vsim::Op::WdfRequestSend,        vsim::Op::WdfRequestSend,       vsim::Op::RequestCompletion,
            vsim::Op::RequestCompletion,     vsim::Op::WdfWaitLockAcquire,   vsim::Op::WdfWaitLockAcquire,
            vsim::Op::WdfRequestCreate,      vsim::Op::WdfMemoryCreatePreallocated,
            vsim::Op::WdfIoTargetFormatRequestForIoctl,                      vsim::Op::WdfRequestSend,
            vsim::Op::RequestCompletion,                                     vsim::Op::RequestCompletion,
        };
        command.op = random_.pick(ops);
        const std::span<const NTSTATUS> statuses = vsim::possible_failures(command.op);
        command.status = statuses[random_.below(static_cast<uint32_t>(statuses.size()))];
        const uint32_t roll = random_.below(10);
        command.nth = roll < 7 ? 1 + random_.below(3) : roll < 9 ? 4 + random_.below(7) : 0;
    }

    Random random_;
    double fault_rate_;
};


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
    // One run in five ends with the device torn down, half of them just
    // after a fault is armed, so that what follows a teardown is judged.
    Random ending(seed ^ 0x8BB84B93962EACC9ULL);
    if (ending.chance(0.2)) {
        if (ending.chance(0.5)) {
            scenario.commands.push_back(generator.fault_at(time));
        }
        Command teardown;
        teardown.kind = CommandKind::Teardown;
        teardown.time = time + (ending.chance(0.5) ? ending.below(20001) * vsim::kTicksPerUs : 0);
        scenario.commands.push_back(teardown);
    }
    for (size_t i = 0; i < scenario.commands.size(); ++i) {
        Command &command = scenario.commands[i];
        command.line = static_cast<int>(i + 1);
        command.text = command_words(command);
        command.concurrent = command.concurrent && runs_on_own_thread(command.kind);
    }
    return scenario;
}

}  // namespace vibra_tool
