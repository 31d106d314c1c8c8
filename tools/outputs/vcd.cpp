#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "waveforms.h"

namespace vibra_tool {
namespace {

// The identifier codes of the variables, in their fixed order within one
// instant: enable, drive, state[0], state[1].
constexpr char kCodes[] = {'!', '"', '&', '%'};

}  // namespace

void VcdWriter::header(const std::string &scenario, const std::string &version)
{
    char date[64] = "";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) != nullptr) {
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
    }
    *out_ << "$date " << date << " $end\n"
         << "$version vibra-sim " << version << " $end\n"
         << "$comment scenario " << scenario << "; state[1:0]: stored element state (0 off, 1 on, 2 blink) $end\n"
         << "$timescale " << (divisor_ == vsim::kTicksPerUs ? "1us" : "100ns") << " $end\n"
         << "$scope module vibra $end\n"
         << "$var wire 1 ! enable $end\n"
         << "$var wire 1 \" drive $end\n"
         << "$var wire 1 % state[1] $end\n"
         << "$var wire 1 & state[0] $end\n"
         << "$upscope $end\n"
         << "$enddefinitions $end\n"
         << "#0\n$dumpvars\n0!\n0\"\n0%\n0&\n$end\n";
}

void VcdWriter::change(const LevelChange &change)
{
    int *level = change.line == kEnableLine ? &enable_ : change.line == kDriveLine ? &drive_ : nullptr;
    if (level == nullptr || *level == change.value) {
        return;
    }
    *level = change.value;
    add(change.time, level == &enable_ ? 0 : 1, change.value);
}

// The state as two scalar bits rather than one vector, since not every
// viewer reads vector values: bit 0 is set for on, bit 1 for blink.
void VcdWriter::state(const StateSample &sample)
{
    for (uint32_t bit = 0; bit < 2; ++bit) {
        const uint32_t value = (sample.state >> bit) & 1;
        if (value != ((state_ >> bit) & 1)) {
            add(sample.time, 2 + static_cast<int>(bit), static_cast<int>(value));
        }
    }
    state_ = sample.state;
}

void VcdWriter::add(Ticks time, int order, int value)
{
    if (!pending_.empty() && time > instant_) {
        flush();
    }
    if (pending_.empty()) {
        // On real threads two threads may report one instant slightly out
        // of order; a late change joins the instant being gathered.
        instant_ = std::max(time, current_);
    }
    pending_.push_back({order, static_cast<char>('0' + value)});
}

void VcdWriter::flush()
{
    if (pending_.empty()) {
        return;
    }
    // A handful at most: an insertion sort, stable and without allocating.
    for (size_t i = 1; i < pending_.size(); ++i) {
        for (size_t j = i; j > 0 && pending_[j - 1].order > pending_[j].order; --j) {
            std::swap(pending_[j - 1], pending_[j]);
        }
    }
    text_.clear();
    if (instant_ != current_) {
        current_ = instant_;
        time_mark(current_);
    }
    for (const Pending &change : pending_) {
        const char row[] = {change.value, kCodes[change.order], '\n'};
        text_.append(row, 3);
    }
    out_->write(text_.data(), static_cast<std::streamsize>(text_.size()));
    pending_.clear();
}

void VcdWriter::finish(Ticks end)
{
    flush();
    if (end > current_) {
        text_.clear();
        time_mark(end);
        out_->write(text_.data(), static_cast<std::streamsize>(text_.size()));
    }
    out_->flush();
}

// Appends "#TIME" to the instant's text.
void VcdWriter::time_mark(Ticks time)
{
    if (time % divisor_ != 0 && rescale_) {
        out_ = &rescale_();
        divisor_ = 1;
    }
    char text[24] = "#";
    char *end = put_decimal(text + 1, static_cast<uint64_t>(std::max<Ticks>(time, 0) / divisor_));
    *end++ = '\n';
    text_.append(text, end);
}

// Whole microseconds when every change falls on one, else 100 ns steps.
void write_vcd(std::ostream &out, const Recording &recording, const std::string &version)
{
    bool whole_us = recording.end % vsim::kTicksPerUs == 0;
    for (const char *line : {kEnableLine, kDriveLine}) {
        for (const Edge &edge : level_edges(recording, line)) {
            whole_us &= edge.time % vsim::kTicksPerUs == 0;
        }
    }
    const std::vector<StateSample> states = state_changes(recording);
    for (const StateSample &sample : states) {
        whole_us &= sample.time % vsim::kTicksPerUs == 0;
    }
    VcdWriter writer(out, whole_us);
    writer.header(recording.scenario, version);
    // The line changes and the state samples, merged in time order.
    auto state = states.begin();
    for (const LevelChange &change : recording.changes) {
        for (; state != states.end() && state->time <= change.time; ++state) {
            writer.state(*state);
        }
        writer.change(change);
    }
    for (; state != states.end(); ++state) {
        writer.state(*state);
    }
    writer.finish(recording.end);
}

bool rescale_vcd_file(const std::string &path)
{
    const std::string scaled = path + ".rescaling";
    {
        std::ifstream in(path, std::ios::binary);
        std::ofstream out(scaled, std::ios::binary | std::ios::trunc);
        if (!in || !out) {
            return false;
        }
        std::string line;
        while (std::getline(in, line)) {
            if (line == "$timescale 1us $end") {
                out << "$timescale 100ns $end\n";
            } else if (line.size() > 1 && line[0] == '#') {
                out << '#' << std::stoll(line.substr(1)) * vsim::kTicksPerUs << '\n';
            } else {
                out << line << '\n';
            }
        }
        if (!out) {
            return false;
        }
    }
    std::error_code error;
    std::filesystem::rename(scaled, path, error);
    return !error;
}

}  // namespace vibra_tool
