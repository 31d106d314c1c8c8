// SPDX-License-Identifier: MIT
// The stored state the calls' results allow, as a set of states 0 to 2: what
// each get-state may report and the device may hold after the last command.
#include "explore/state_model.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>

#include "hwn/request.h"
#include "scenario/payload.h"

namespace vibra_tool {
namespace {

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
    void assume(States states) { states_ = states; }

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

// The calls of the recording that the model judges, in groups of calls that
// overlapped, in the order the groups began. Two calls overlap when one ran on
// a thread of its own and their time spans meet; a group holds every call
// linked to another of it by overlaps, however the calls are listed (they are
// listed as they returned, so a call that returned late comes after calls
// that began after it). Other calls are groups of one.
std::vector<std::vector<const CallRecord *>> overlapping_groups(const std::vector<CallRecord> &calls,
                                                                const std::map<int, const Command *> &by_line)
{
    std::vector<const CallRecord *> judged;
    for (const CallRecord &call : calls) {
        if (call.line != 0 && by_line.count(call.line) && call.status) {
            judged.push_back(&call);
        }
    }
    std::stable_sort(judged.begin(), judged.end(), [](const CallRecord *a, const CallRecord *b) {
        return a->time != b->time ? a->time < b->time : a->line < b->line;
    });
    const auto concurrent = [](const CallRecord *call) { return call->text.starts_with("& "); };
    const auto overlap = [&](const CallRecord *a, const CallRecord *b) {
        return (concurrent(a) || concurrent(b)) && a->time <= b->returned && b->time <= a->returned;
    };
    std::vector<size_t> group_of(judged.size());
    std::vector<std::vector<const CallRecord *>> groups;
    for (size_t i = 0; i < judged.size(); ++i) {
        group_of[i] = groups.size();
        for (size_t j = 0; j < i; ++j) {
            if (!overlap(judged[i], judged[j]) || group_of[j] == group_of[i]) {
                continue;
            }
            // Join the earlier group; a group this call joined before merges
            // into it too.
            const size_t keep = std::min(group_of[i], group_of[j]);
            const size_t drop = std::max(group_of[i], group_of[j]);
            for (size_t k = 0; k <= i; ++k) {
                group_of[k] = group_of[k] == drop ? keep : group_of[k];
            }
        }
        if (group_of[i] == groups.size()) {
            groups.emplace_back();
        }
    }
    for (size_t i = 0; i < judged.size(); ++i) {
        groups[group_of[i]].push_back(judged[i]);
    }
    std::erase_if(groups, [](const std::vector<const CallRecord *> &group) { return group.empty(); });
    return groups;
}

void check_reported_state(const Command &command, const CallRecord &call, States allowed,
                          std::vector<std::string> &findings)
{
    const uint32_t state = u32_at(call.output, 44);
    if (u32_at(call.output, 0) != kOnePayload || u32_at(call.output, 4) != 1) {
        findings.push_back("get-state at " + where(command) + " reported the header " +
                           std::to_string(u32_at(call.output, 0)) + "/" + std::to_string(u32_at(call.output, 4)) +
                           "; the stored one is 48/1");
    }
    if (state > 2 || !(allowed & (1u << state))) {
        findings.push_back("get-state at " + where(command) + " reported state " + std::to_string(state) +
                           "; the results of the set-state calls before it allow " + describe_states(allowed));
    }
}

}  // namespace

std::vector<std::string> check_states(const Scenario &scenario, const Recording &recording, uint32_t stored_state)
{
    std::vector<std::string> findings;
    std::map<int, const Command *> by_line;
    for (const Command &command : scenario.commands) {
        by_line[command.line] = &command;
    }
    StateModel model(scenario);
    for (const std::vector<const CallRecord *> &group : overlapping_groups(recording.calls, by_line)) {
        // Calls that overlap may take effect in any order: each set-state is
        // applied to every state the group may have reached, and a get-state
        // may read any of them.
        const States before = model.states();
        States reached = before;
        for (int pass = 0; pass < 2; ++pass) {
            for (const CallRecord *call : group) {
                const Command &command = *by_line.at(call->line);
                if (command.kind != CommandKind::SetState) {
                    continue;
                }
                model.assume(group.size() == 1 ? before : reached);
                std::optional<std::string> finding = model.set_state(command, *call->status);
                if (finding && pass == 0) {
                    findings.push_back("set-state at " + where(command) + " " + *finding);
                }
                reached = group.size() == 1 ? model.states() : reached | model.states();
            }
        }
        model.assume(reached);
        for (const CallRecord *call : group) {
            const Command &command = *by_line.at(call->line);
            if (command.kind == CommandKind::GetState && *call->status >= 0 && call->bytes &&
                *call->bytes == kOnePayload && call->output.size() >= kOnePayload) {
                check_reported_state(command, *call, group.size() == 1 ? before : reached, findings);
            }
        }
    }
    if (stored_state > 2 || !(model.states() & (1u << stored_state))) {
        findings.push_back("stored state " + std::to_string(stored_state) +
                           " after the last command; the results of the "
                           "set-state calls allow " +
                           describe_states(model.states()));
    }
    return findings;
}

}  // namespace vibra_tool
