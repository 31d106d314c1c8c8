// SPDX-License-Identifier: MIT
// The scheduling policies of the interleaved schedules, and their names.
#include "internal.h"

#include <algorithm>
#include <charconv>

namespace vsim {

namespace detail {
namespace {

class Random : public SplitMix64 {
public:
    using SplitMix64::SplitMix64;
    uint64_t below(uint64_t bound) { return next() % bound; }
};

class RandomWalk final : public Policy {
public:
    explicit RandomWalk(uint64_t seed) : random_(seed) {}
    void created(Carrier &) override {}
    void step(Carrier &, uint64_t) override {}
    Carrier *pick(const std::vector<Carrier *> &candidates) override
    {
        return candidates[random_.below(candidates.size())];
    }

private:
    Random random_;
};

// Initial priorities lie above 2^32 in random order; the i-th change point
// drops the running thread to priority i, below every initial one.
class Pct final : public Policy {
public:
    Pct(uint64_t seed, uint32_t depth, uint32_t steps) : random_(seed)
    {
        for (uint32_t i = 1; i < depth; ++i) {
            change_points_.push_back(1 + random_.below(std::max<uint32_t>(steps, 1)));
        }
    }
    void created(Carrier &carrier) override { carrier.priority = (1ULL << 32) | (random_.next() >> 1); }
    void step(Carrier &running, uint64_t number) override
    {
        for (size_t i = 0; i < change_points_.size(); ++i) {
            if (change_points_[i] == number) {
                running.priority = i + 1;
            }
        }
    }
    Carrier *pick(const std::vector<Carrier *> &candidates) override
    {
        return *std::max_element(candidates.begin(), candidates.end(),
                                 [](const Carrier *a, const Carrier *b) { return a->priority < b->priority; });
    }

private:
    Random random_;
    std::vector<uint64_t> change_points_;
};

}  // namespace

static bool parse_u32(std::string_view text, uint32_t *value)
{
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, *value);
    return ec == std::errc() && ptr == end;
}

std::unique_ptr<Policy> make_policy(const Schedule &schedule)
{
    switch (schedule.policy) {
    case SchedulePolicy::Random:
        return std::make_unique<RandomWalk>(schedule.seed);
    case SchedulePolicy::Pct:
        return std::make_unique<Pct>(schedule.seed, schedule.depth, schedule.steps);
    case SchedulePolicy::Choices:
        return make_choices(schedule);
    case SchedulePolicy::Sequential:
        break;
    }
    return nullptr;
}

}  // namespace detail

std::optional<Schedule> parse_schedule(std::string_view text, std::string *error)
{
    Schedule schedule;
    if (text == "sequential") {
        return schedule;
    }
    if (text == "random") {
        schedule.policy = SchedulePolicy::Random;
        return schedule;
    }
    if (text.substr(0, 3) == "pct" && (text.size() == 3 || text[3] == ':')) {
        schedule.policy = SchedulePolicy::Pct;
        std::string_view rest = text.size() > 3 ? text.substr(4) : std::string_view{};
        const size_t colon = rest.find(':');
        const std::string_view depth = rest.substr(0, colon);
        const std::string_view steps = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
        if (text.size() > 3 && (!detail::parse_u32(depth, &schedule.depth) || schedule.depth < 1 || schedule.depth > 100)) {
            *error = "the depth of pct must be a number from 1 to 100";
            return std::nullopt;
        }
        if (colon != std::string_view::npos && (!detail::parse_u32(steps, &schedule.steps) || schedule.steps < 1)) {
            *error = "the step count of pct must be a number from 1 to 4294967295";
            return std::nullopt;
        }
        return schedule;
    }
    if (text.substr(0, 7) == "choices" && (text.size() == 7 || text[7] == ':')) {
        schedule.policy = SchedulePolicy::Choices;
        if (!detail::parse_choices(text.substr(std::min<size_t>(text.size(), 8)), &schedule.forced, error)) {
            return std::nullopt;
        }
        return schedule;
    }
    *error = "expected sequential, random, pct, pct:DEPTH, pct:DEPTH:STEPS or choices[:POINT.INDEX,...]";
    return std::nullopt;
}

std::string format_schedule(const Schedule &schedule)
{
    switch (schedule.policy) {
    case SchedulePolicy::Random:
        return "random";
    case SchedulePolicy::Pct:
        return "pct:" + std::to_string(schedule.depth) + ":" + std::to_string(schedule.steps);
    case SchedulePolicy::Choices:
        return detail::format_choices(schedule.forced);
    case SchedulePolicy::Sequential:
        break;
    }
    return "sequential";
}

}  // namespace vsim
