// SPDX-License-Identifier: MIT
// The Choices schedule: an interleaving told point by point, for the bounded
// exhaustive search and for replaying one of its schedules.
#include "internal.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace vsim::detail {
namespace {

class Choices final : public Policy {
public:
    Choices(std::vector<Choice> forced, std::shared_ptr<ChoiceLog> log)
        : forced_(std::move(forced)),
          log_(std::move(log))
    {
    }
    void created(Carrier &) override {}
    void step(Carrier &, uint64_t) override {}
    Carrier *pick(const std::vector<Carrier *> &candidates) override { return choose(candidates, nullptr, nullptr); }
    Carrier *choose(const std::vector<Carrier *> &candidates, const Carrier *stay, const Carrier *delay) override
    {
        ChoicePoint point;
        point.candidates = uint16_t(std::min<size_t>(candidates.size(), std::numeric_limits<uint16_t>::max()));
        const auto index_of = [&](const Carrier *carrier) {
            const auto it = std::find(candidates.begin(), candidates.end(), carrier);
            return carrier == nullptr || it == candidates.end() ? int16_t(-1) : int16_t(it - candidates.begin());
        };
        point.stay = index_of(stay);
        point.delay = index_of(delay);
        // Unforced: the running thread goes on, else the first thread that
        // does not cost a preemption.
        if (point.stay >= 0) {
            point.fallback = uint16_t(point.stay);
        } else {
            point.fallback = point.delay == 0 && point.candidates > 1 ? 1 : 0;
        }
        point.taken = point.fallback;
        if (next_ < forced_.size() && forced_[next_].point == number_) {
            if (forced_[next_].index < point.candidates) {
                point.taken = uint16_t(forced_[next_].index);
            } else if (log_) {
                log_->mismatch = true;
            }
            ++next_;
        }
        ++number_;
        if (log_) {
            log_->points.push_back(point);
        }
        return candidates[point.taken];
    }

private:
    std::vector<Choice> forced_;
    std::shared_ptr<ChoiceLog> log_;
    size_t next_ = 0;      // the next forced choice
    uint32_t number_ = 0;  // of the next choice point
};

bool parse_number(std::string_view text, uint32_t *value)
{
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, *value);
    return !text.empty() && ec == std::errc() && ptr == end;
}

}  // namespace

std::unique_ptr<Policy> make_choices(const Schedule &schedule)
{
    return std::make_unique<Choices>(schedule.forced, schedule.log);
}

bool parse_choices(std::string_view text, std::vector<Choice> *forced, std::string *error)
{
    forced->clear();
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        const size_t dot = item.find('.');
        Choice choice;
        if (dot == std::string_view::npos || !parse_number(item.substr(0, dot), &choice.point) ||
            !parse_number(item.substr(dot + 1), &choice.index)) {
            *error = "a forced choice must be POINT.INDEX, e.g. choices:12.1,40.0";
            return false;
        }
        if (!forced->empty() && choice.point <= forced->back().point) {
            *error = "the forced choices' points must increase, e.g. choices:12.1,40.0";
            return false;
        }
        forced->push_back(choice);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        if (comma != std::string_view::npos && text.empty()) {
            *error = "a forced choice must follow each comma";
            return false;
        }
    }
    return true;
}

std::string format_choices(const std::vector<Choice> &forced)
{
    std::string text = "choices";
    for (size_t i = 0; i < forced.size(); ++i) {
        text += (i == 0 ? ":" : ",") + std::to_string(forced[i].point) + "." + std::to_string(forced[i].index);
    }
    return text;
}

}  // namespace vsim::detail
