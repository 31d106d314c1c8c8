// SPDX-License-Identifier: MIT
#include "outputs/outputs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "complain.h"
#include "scenario/errno_text.h"

namespace vibra_tool {
namespace {

// An output file with a buffer of 256 KB: a soak run writes tens of MB row by
// row. The buffer is a base so that it outlives the stream that flushes it.
struct OutputBuffer {
    std::unique_ptr<char[]> bytes = std::make_unique<char[]>(kSize);
    static constexpr size_t kSize = size_t{256} * 1024;
};
class OutputFile : private OutputBuffer, public std::ofstream {
public:
    explicit OutputFile(const std::string &path)
    {
        rdbuf()->pubsetbuf(bytes.get(), kSize);
        open(path, std::ios::binary | std::ios::trunc);
    }
};

// A run in virtual time whose commands and GPIO latency fall on whole
// microseconds has its changes on them too: the driver's timers count in
// microseconds and milliseconds. Should one not, the file is rescaled.
bool whole_microseconds(const Scenario &scenario, const PlayerOptions &options)
{
    if (options.realtime || options.gpio_latency % vsim::kTicksPerUs != 0) {
        return false;
    }
    return std::all_of(scenario.commands.begin(), scenario.commands.end(),
                       [](const Command &command) { return command.time % vsim::kTicksPerUs == 0; });
}

// The calls a scenario makes, for the VCD's header: the set-up's at 0 (at
// the set-up's line when written), then one a command.
std::vector<VcdCall> scenario_calls(const Scenario &scenario)
{
    std::vector<VcdCall> calls;
    int setup_line = 0;
    for (const Command &command : scenario.commands) {
        if (command.kind == CommandKind::Setup) {
            setup_line = command.line;
        }
    }
    for (const char *text : {"load driver", "add device", "initialize device"}) {
        calls.push_back({0, setup_line, text});
    }
    for (const Command &command : scenario.commands) {
        if (command.kind != CommandKind::Setup) {
            calls.push_back({command.time, command.line, (command.concurrent ? "& " : "") + command.text});
        }
    }
    return calls;
}

}  // namespace

std::unique_ptr<std::ofstream> open_output(const std::string &path, std::string &error)
{
    // The directories it goes in are made first, as --out makes its own.
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    std::error_code made;
    if (!parent.empty() && !std::filesystem::is_directory(parent, made) &&
        !std::filesystem::create_directories(parent, made) && made) {
        error = path + ": cannot make its directory " + parent.string() + " (" +
                made.message() + ")";
        return nullptr;
    }
    errno = 0;
    std::unique_ptr<std::ofstream> file = std::make_unique<OutputFile>(path);
    if (!*file) {
        error = path + ": cannot write this file (" + (errno ? errno_text(errno) : "cannot open it") + ")";
        return nullptr;
    }
    return file;
}

bool close_output(std::ofstream &file, const std::string &path, std::string &error)
{
    if (!file.is_open()) {
        return true;
    }
    errno = 0;
    file.flush();
    if (!file) {
        // A write that failed earlier left the stream failed; try once more
        // for the system's reason.
        file.clear();
        errno = 0;
        file.flush();
    }
    const int reason = errno;
    const bool flushed = static_cast<bool>(file);
    file.close();
    if (!flushed || !file) {
        error = path + ": could not write all of this file (" +
                (reason ? errno_text(reason) : errno ? errno_text(errno) : "write failed") + ")";
        return false;
    }
    return true;
}

bool Streams::open(const Outputs &paths, const Scenario &scenario, const std::string &version, PlayerOptions &options,
                   std::string &error)
{
    paths_ = paths;
    if (!paths.events.empty() && !(events_ = open_output(paths.events, error))) {
        return false;
    }
    if (!paths.vcd.empty() && !(vcd_file_ = open_output(paths.vcd, error))) {
        return false;
    }
    if (!paths.svg.empty() && !(svg_ = open_output(paths.svg, error))) {
        return false;
    }
    options.keep_records = false;
    picture_ = SvgPicture(2048, paths.svg_window);
    picture_.scenario(scenario);
    if (events_) {
        write_events_header(*events_);
        options.on_write = [this](const WriteRecord &write) { write_event_row(*events_, write); };
    }
    if (vcd_file_) {
        vcd_.emplace(*vcd_file_, whole_microseconds(scenario, options));
        vcd_->header(scenario.name, version, scenario_calls(scenario));
        vcd_->on_rescale([this]() -> std::ostream & { return rescale_vcd(); });
        options.on_state = [this](const StateSample &sample) { vcd_->state(sample); };
        options.on_call = [this](const CallRecord &call) { vcd_->call(call.time); };
        options.on_fault = [this](const FaultRecord &fault) { vcd_->fault(fault.time); };
    }
    if (vcd_file_ || svg_) {
        options.on_change = [this](const LevelChange &change) {
            if (vcd_) {
                vcd_->change(change);
            }
            picture_.change(change);
        };
    }
    return true;
}

bool Streams::finish(const Recording &recording, std::string &error)
{
    if (vcd_) {
        vcd_->finish(recording.end);
    }
    if (svg_) {
        write_svg(*svg_, recording, picture_);
    }
    error.clear();
    bool written = true;
    for (const auto &[file, path] : {std::pair{events_.get(), paths_.events}, std::pair{vcd_file_.get(), paths_.vcd},
                                    std::pair{svg_.get(), paths_.svg}}) {
        std::string failure;
        if (file && !close_output(*file, path, failure)) {
            error += (error.empty() ? "" : "\nvibra-sim: ") + failure;
            written = false;
        } else if (file && file == vcd_file_.get() && !recording.faults.empty() &&
                   !list_vcd_faults(path, recording.faults)) {
            // Its header was written before any fault took effect.
            error += (error.empty() ? "" : "\nvibra-sim: ") + path + ": could not list the faults taken in its header";
            written = false;
        }
    }
    return written;
}

std::ostream &Streams::rescale_vcd()
{
    vcd_file_->close();
    if (!rescale_vcd_file(paths_.vcd)) {
        complain() << paths_.vcd << ": could not rewrite it in 100 ns steps\n";
    }
    vcd_file_->open(paths_.vcd, std::ios::binary | std::ios::app);
    return *vcd_file_;
}

}  // namespace vibra_tool
