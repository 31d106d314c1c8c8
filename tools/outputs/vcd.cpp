// SPDX-License-Identifier: MIT
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "scenario/scenario.h"
#include "scenario/status.h"
#include "outputs/waveforms.h"

namespace vibra_tool {
namespace {

// The identifier codes of the variables, in their fixed order within one
// instant: enable, drive, state[0], state[1], call, fault.
constexpr char kCodes[] = {'!', '"', '&', '%', '\'', '('};
constexpr int kCallOrder = 4;
constexpr int kFaultOrder = 5;
constexpr size_t kCommentLength = 120;
constexpr size_t kListedCalls = 1000;

// The header's date: that of SOURCE_DATE_EPOCH when set (as reproducible
// builds set it), in UTC; else none.
std::string header_date()
{
    // Read once per file on the main thread; nothing sets the environment.
    const char *epoch = std::getenv("SOURCE_DATE_EPOCH");  // NOLINT(concurrency-mt-unsafe)
    if (epoch == nullptr || *epoch == '\0') {
        return "";
    }
    char *end = nullptr;
    errno = 0;
    const long long seconds = std::strtoll(epoch, &end, 10);
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm utc{};
    char date[64] = "";
    if (*end != '\0' || errno != 0 || seconds < 0 || gmtime_r(&time, &utc) == nullptr ||
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", &utc) == 0) {
        return "";
    }
    return std::string("$date ") + date + " $end\n";
}

// A call's text inside a $comment: no "$" (which could end it early), no
// control characters, cut to a readable length.
void put_comment_text(std::string &out, const std::string &text)
{
    const size_t length = std::min(text.size(), kCommentLength);
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i];
        out += c == '$' || static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    }
    if (text.size() > length) {
        out += "...";
    }
}

// "$comment calls, ..." listing the calls, the first thousand of them.
std::string call_list(const std::vector<VcdCall> &calls)
{
    if (calls.empty()) {
        return "";
    }
    std::string text = "$comment calls (the wire call toggles at each of their instants):\n";
    for (size_t i = 0; i < std::min(calls.size(), kListedCalls); ++i) {
        text += "  " + format_time(calls[i].time) + "  ";
        text += calls[i].line == 0 ? std::string("set-up") : "line " + std::to_string(calls[i].line);
        text += ": ";
        put_comment_text(text, calls[i].text);
        text += '\n';
    }
    if (calls.size() > kListedCalls) {
        text += "  and " + std::to_string(calls.size() - kListedCalls) + " more\n";
    }
    return text + "$end\n";
}

// "$comment faults taken, ..." listing them, the first thousand of them.
std::string fault_list(const std::vector<FaultRecord> &faults)
{
    if (faults.empty()) {
        return "";
    }
    std::string text = "$comment faults taken (the wire fault toggles at each of their instants):\n";
    for (size_t i = 0; i < std::min(faults.size(), kListedCalls); ++i) {
        const FaultRecord &fault = faults[i];
        std::string line = fault.op + " call " + std::to_string(fault.call) + " failed with " +
                           describe_status(fault.status) + ", armed by " +
                           (fault.armed_line ? "line " + std::to_string(fault.armed_line) : std::string("no line"));
        if (!fault.during.empty()) {
            line += ", during " +
                    (fault.during_line ? "line " + std::to_string(fault.during_line) + ": " : std::string()) +
                    fault.during;
        }
        text += "  " + format_time(fault.time) + "  ";
        put_comment_text(text, line);
        text += '\n';
    }
    if (faults.size() > kListedCalls) {
        text += "  and " + std::to_string(faults.size() - kListedCalls) + " more\n";
    }
    return text + "$end\n";
}

// Rewrites the file at `path` line by line through `edit`, which appends
// what each line becomes.
template <typename Edit> bool rewrite_vcd_file(const std::string &path, Edit edit)
{
    const std::string rewritten = path + ".rewriting";
    {
        std::ifstream in(path, std::ios::binary);
        std::ofstream out(rewritten, std::ios::binary | std::ios::trunc);
        if (!in || !out) {
            return false;
        }
        std::string line;
        while (std::getline(in, line)) {
            edit(line, out);
        }
        if (!out) {
            return false;
        }
    }
    std::error_code error;
    std::filesystem::rename(rewritten, path, error);
    return !error;
}

}  // namespace

void VcdWriter::header(const std::string &scenario, const std::string &version, const std::vector<VcdCall> &calls,
                       const std::vector<FaultRecord> &faults)
{
    *out_ << header_date() << "$version vibra-sim " << version << " $end\n"
          << "$comment scenario " << scenario << "; state[1:0]: stored element state (0 off, 1 on, 2 blink) $end\n"
          << call_list(calls) << fault_list(faults) << "$timescale "
          << (divisor_ == vsim::kTicksPerUs ? "1us" : "100ns") << " $end\n"
          << "$scope module vibra $end\n"
          << "$var wire 1 ! enable $end\n"
          << "$var wire 1 \" drive $end\n"
          << "$var wire 1 % state[1] $end\n"
          << "$var wire 1 & state[0] $end\n"
          << "$var wire 1 ' call $end\n"
          << "$var wire 1 ( fault $end\n"
          << "$upscope $end\n"
          << "$enddefinitions $end\n"
          << "#0\n$dumpvars\n0!\n0\"\n0%\n0&\n0'\n0(\n$end\n";
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

void VcdWriter::call(Ticks time)
{
    gather(time);
    called_ = true;
}

void VcdWriter::fault(Ticks time)
{
    gather(time);
    faulted_ = true;
}

// Starts the instant at `time`, or joins the one being gathered.
void VcdWriter::gather(Ticks time)
{
    if ((!pending_.empty() || called_ || faulted_) && time > instant_) {
        flush();
    }
    if (pending_.empty() && !called_ && !faulted_) {
        // On real threads two threads may report one instant slightly out
        // of order, and a call on a thread of its own is reported when it
        // returns; a late change joins the instant being gathered.
        instant_ = std::max(time, current_);
    }
}

void VcdWriter::add(Ticks time, int order, int value)
{
    gather(time);
    pending_.push_back({order, static_cast<char>('0' + value)});
}

void VcdWriter::flush()
{
    if (pending_.empty() && !called_ && !faulted_) {
        return;
    }
    if (called_) {
        call_level_ ^= 1;
        pending_.push_back({kCallOrder, static_cast<char>('0' + call_level_)});
    }
    if (faulted_) {
        fault_level_ ^= 1;
        pending_.push_back({kFaultOrder, static_cast<char>('0' + fault_level_)});
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
    called_ = false;
    faulted_ = false;
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
    for (const CallRecord &call : recording.calls) {
        whole_us &= call.time % vsim::kTicksPerUs == 0;
    }
    for (const FaultRecord &fault : recording.faults) {
        whole_us &= fault.time % vsim::kTicksPerUs == 0;
    }
    std::vector<VcdCall> listed;
    for (const CallRecord &call : recording.calls) {
        listed.push_back({call.time, call.line, call.text});
    }
    VcdWriter writer(out, whole_us);
    writer.header(recording.scenario, version, listed, recording.faults);
    // The calls, the faults, the state samples and the line changes, merged
    // in time order.
    std::vector<const CallRecord *> calls;
    for (const CallRecord &call : recording.calls) {
        calls.push_back(&call);
    }
    std::stable_sort(calls.begin(), calls.end(),
                     [](const CallRecord *a, const CallRecord *b) { return a->time < b->time; });
    auto call = calls.begin();
    auto state = states.begin();
    auto fault = recording.faults.begin();
    const auto up_to = [&](Ticks time) {
        for (; call != calls.end() && (*call)->time <= time; ++call) {
            for (; fault != recording.faults.end() && fault->time <= (*call)->time; ++fault) {
                writer.fault(fault->time);
            }
            writer.call((*call)->time);
            for (; state != states.end() && state->time <= (*call)->time; ++state) {
                writer.state(*state);
            }
        }
        for (; fault != recording.faults.end() && fault->time <= time; ++fault) {
            writer.fault(fault->time);
        }
        for (; state != states.end() && state->time <= time; ++state) {
            writer.state(*state);
        }
    };
    for (const LevelChange &change : recording.changes) {
        up_to(change.time);
        writer.change(change);
    }
    up_to(recording.end);
    writer.finish(recording.end);
}

bool rescale_vcd_file(const std::string &path)
{
    return rewrite_vcd_file(path, [](const std::string &line, std::ostream &out) {
        if (line == "$timescale 1us $end") {
            out << "$timescale 100ns $end\n";
        } else if (line.size() > 1 && line[0] == '#') {
            out << '#' << std::stoll(line.substr(1)) * vsim::kTicksPerUs << '\n';
        } else {
            out << line << '\n';
        }
    });
}

bool list_vcd_faults(const std::string &path, const std::vector<FaultRecord> &faults)
{
    const std::string list = fault_list(faults);
    return rewrite_vcd_file(path, [&list](const std::string &line, std::ostream &out) {
        if (line.starts_with("$timescale ")) {
            out << list;
        }
        out << line << '\n';
    });
}

}  // namespace vibra_tool
